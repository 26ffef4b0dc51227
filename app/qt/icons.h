// The program's two icons, drawn by code so that they scale to any size
// without image files: the window icon (a document camera on its arm) and
// the confirmation dialog's warning (a yellow triangle with an exclamation
// mark and a round update badge).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace lumavix {

// Window icon (resource 128) at `size` x `size` logical pixels.
[[nodiscard]] QPixmap CameraIconPixmap(int size, qreal devicePixelRatio = 1.0);
// Every usual size, for the window and the task bar.
[[nodiscard]] QIcon CameraIcon();

// Confirmation icon (resource 142) at `size` x `size` logical pixels.
[[nodiscard]] QPixmap UpdateWarningPixmap(int size, qreal devicePixelRatio = 1.0);

}  // namespace lumavix
