#include "platform/win_sleep_inhibitor.h"

#include <utility>

namespace lumavix {

bool WinSleepInhibitor::Acquire(std::string_view, std::string& error) {
  if (::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
    error = "SetThreadExecutionState refused";
    return false;
  }
  held_ = true;
  if (window_ != nullptr) {
    blocked_ = ::ShutdownBlockReasonCreate(window_, reason_.c_str()) != FALSE;
  }
  return true;
}

void WinSleepInhibitor::Release() {
  if (!held_) return;
  if (blocked_) ::ShutdownBlockReasonDestroy(window_);
  blocked_ = false;
  ::SetThreadExecutionState(ES_CONTINUOUS);
  held_ = false;
}

void WinSleepInhibitor::SetShutdownWindow(HWND window, std::wstring reason) {
  // The reason belongs to its window: it goes with it.
  if (blocked_) ::ShutdownBlockReasonDestroy(window_);
  blocked_ = false;
  window_ = window;
  reason_ = std::move(reason);
}

}  // namespace lumavix
