// What the native window runs on: the Windows HID and kernel-streaming
// layers, or the built-in simulated camera (--simulate), installed for the
// device library as the command line does. The sleep inhibitor that keeps
// Windows awake while the flash is written is platform/win_sleep_inhibitor.h.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "app/core/program_platform.h"
#include "platform/system_backends.h"

namespace lumavix {

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
  LockBackend* SimulationWriterLocks() override { return &system_.sharedSimulationLocks(); }

 private:
  SystemBackends system_;
};

}  // namespace lumavix
