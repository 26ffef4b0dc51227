// What the Qt window runs on: the Linux HID, video4linux and property-set
// backends with the flock locks of the device library, or the built-in
// simulated camera (--simulate).
#pragma once

#include <memory>

#include "app/program_platform.h"
#include "platform/linux_lock.h"

namespace lumavix {

class LinuxHidBackend;
class LinuxUvcBackend;
class LinuxPropertySetBackend;

class AppPlatform final : public ProgramPlatform {
 public:
  AppPlatform();
  ~AppPlatform() override;

  [[nodiscard]] LockBackend& locks() { return locks_; }

 protected:
  void InstallDevices(Platform& p) override;
  // The window takes the system-wide lock even for a simulated camera, so
  // that a second window's camera is not written beside it.
  LockBackend* SimulationLocks() override { return &locks_; }
  LockBackend* SimulationWriterLocks() override { return &locks_; }

 private:
  FlockLockBackend locks_;
  SharedFlockLockBackend writers_;
  std::unique_ptr<LinuxHidBackend> hid_;
  std::unique_ptr<LinuxUvcBackend> video_;
  std::unique_ptr<LinuxPropertySetBackend> props_;
};

}  // namespace lumavix
