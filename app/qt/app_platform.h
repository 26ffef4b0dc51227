// What the Qt window runs on: the Linux HID, video4linux and property-set
// backends with the flock locks of the device library, or the built-in
// simulated camera (--simulate).
#pragma once

#include <memory>

#include "app/core/program_platform.h"
#include "platform/system_backends.h"

namespace lumavix {

class AppPlatform final : public ProgramPlatform {
 public:
  AppPlatform();
  ~AppPlatform() override;

  [[nodiscard]] LockBackend& locks() { return system_.locks(); }

 protected:
  void InstallDevices(Platform& p) override;
  // The window takes the system-wide lock even for a simulated camera, so
  // that a second window's camera is not written beside it.
  LockBackend* SimulationLocks() override { return &system_.locks(); }
  LockBackend* SimulationWriterLocks() override { return &system_.sharedSimulationLocks(); }

 private:
  SystemBackends system_;
};

}  // namespace lumavix
