// The program's icons, drawn in code as on Linux (app/icons.cpp): the
// camera of the window and the task bar, and the warning of the
// confirmation dialog. Each is a colour bitmap with its mask; the caller
// destroys the icon (DestroyIcon).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace lumavix {

// `size` pixels square; null when the bitmaps cannot be made.
[[nodiscard]] HICON MakeCameraIcon(int size);
[[nodiscard]] HICON MakeWarningIcon(int size);

}  // namespace lumavix
