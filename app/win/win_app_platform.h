// What the native window runs on: the Windows HID and kernel-streaming
// layers, or the built-in simulated camera (--simulate), installed for the
// device library as the command line does; and the sleep inhibitor that
// keeps Windows awake while the flash is written.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "app/program_platform.h"
#include "platform/sleep_inhibitor.h"
#include "platform/win_lock.h"

namespace lumavix {

class WinHidBackend;
class WinKsVideoBackend;
class WinKsPropertySetBackend;

using WinPlatformOptions = PlatformOptions;

class WinAppPlatform final : public ProgramPlatform {
 public:
  WinAppPlatform();
  ~WinAppPlatform() override;

 protected:
  void InstallDevices(Platform& p) override;
  // The simulated camera lives in this process: no other program can reach
  // it, so it needs no system-wide lock.
  LockBackend* SimulationLocks() override { return nullptr; }
  // A state file may be shared with another program, whose camera is then
  // the same one.
  LockBackend* SimulationWriterLocks() override { return &writers_; }

 private:
  WinMutexLockBackend locks_;
  WinCameraLockBackend writers_;
  std::unique_ptr<WinHidBackend> hid_;
  std::unique_ptr<WinKsVideoBackend> video_;
  std::unique_ptr<WinKsPropertySetBackend> props_;
};

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
