// Before windows.h (through the header), whose macros would clash with the
// engine's names.
#include "devlib/frame.h"

#include "app/win/win_app_platform.h"

#include "platform/win_hid.h"
#include "platform/win_ks.h"

namespace lumavix {

WinAppPlatform::WinAppPlatform() = default;

WinAppPlatform::~WinAppPlatform() { set_platform({}); }

void WinAppPlatform::InstallDevices(Platform& p) {
  hid_ = std::make_unique<WinHidBackend>();
  video_ = std::make_unique<WinKsVideoBackend>();
  props_ = std::make_unique<WinKsPropertySetBackend>();
  p.locks = &locks_;
  p.writers = &writers_;
  p.hid = hid_.get();
  p.video = video_.get();
  p.props = props_.get();
}

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
