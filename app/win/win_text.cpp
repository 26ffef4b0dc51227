// Before windows.h (through the header), whose macros would clash with the
// engine's names.
#include "app/core/device_watch.h"

#include "app/win/win_text.h"
#include "platform/win_sys_call.h"

namespace lumavix {

std::wstring Widen(std::string_view utf8) { return widen(utf8); }
std::string Narrow(std::wstring_view wide) { return narrow(wide); }

int WindowDpi(HWND hwnd) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi != nullptr && hwnd != nullptr) {
    const UINT dpi = getDpi(hwnd);
    if (dpi > 0) return static_cast<int>(dpi);
  }
  int dpi = 0;
  if (HDC dc = ::GetDC(hwnd)) {
    dpi = ::GetDeviceCaps(dc, LOGPIXELSX);
    ::ReleaseDC(hwnd, dc);
  }
  return dpi > 0 ? dpi : 96;
}

int ScaleForDpi(int value, int dpi) { return ScalePixels(value, dpi); }

std::wstring WindowText(HWND hwnd) {
  const int n = ::GetWindowTextLengthW(hwnd);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n) + 1, L'\0');
  const int got = ::GetWindowTextW(hwnd, out.data(), n + 1);
  out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return out;
}

}  // namespace lumavix
