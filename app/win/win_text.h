// Small helpers of the native window: the core's UTF-16 and UTF-8 texts as
// the system's wide strings, and a window's dpi.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <string_view>

namespace lumavix {

// char16_t and wchar_t are both UTF-16 code units on Windows.
[[nodiscard]] inline std::wstring ToWide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}
[[nodiscard]] std::wstring Widen(std::string_view utf8);
[[nodiscard]] std::string Narrow(std::wstring_view wide);

// The window's dpi: GetDpiForWindow where the system has it (Windows 10
// 1607 and later), else the screen's logical dpi. 96 when neither answers.
[[nodiscard]] int WindowDpi(HWND hwnd);
// value * dpi / 96, truncated (ScalePixels).
[[nodiscard]] int ScaleForDpi(int value, int dpi);

// The text of a window, whole.
[[nodiscard]] std::wstring WindowText(HWND hwnd);

}  // namespace lumavix
