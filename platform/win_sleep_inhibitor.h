// The sleep inhibitor of the Windows programs.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/sleep_inhibitor.h"

namespace lumavix {

// Keeps the system from sleeping while held: SetThreadExecutionState on the
// thread that acquires it (the window's), released on the same thread. With
// a window it also names the reason the session may not end
// (ShutdownBlockReasonCreate), which the system shows beside the window at
// shutdown or log-off; the window itself refuses WM_QUERYENDSESSION meanwhile.
class WinSleepInhibitor final : public SleepInhibitor {
 public:
  ~WinSleepInhibitor() override { Release(); }
  bool Acquire(std::string_view why, std::string& error) override;
  void Release() override;
  [[nodiscard]] bool held() const override { return held_; }

  // The window whose end blocks the session's (null: none), and the reason
  // shown, in the user's language. Set on the window's thread while nothing
  // is held.
  void SetShutdownWindow(HWND window, std::wstring reason);
  [[nodiscard]] bool shutdownBlocked() const { return blocked_; }

 private:
  bool held_ = false;
  bool blocked_ = false;
  HWND window_ = nullptr;
  std::wstring reason_;
};

}  // namespace lumavix
