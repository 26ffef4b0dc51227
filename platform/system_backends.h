// The system's own device layers and locks, chosen once for the build's
// system: what every program installs for the device library when it does
// not simulate a camera. The parts are made by linux_system_backends.cpp or
// win_system_backends.cpp, whichever the build takes.
#pragma once

#include <memory>

#include "devlib/platform.h"

namespace lumavix {

class SystemBackends {
 public:
  SystemBackends();
  ~SystemBackends();
  SystemBackends(const SystemBackends&) = delete;
  SystemBackends& operator=(const SystemBackends&) = delete;

  // Makes the HID, video and property-set layers (once) and puts them in
  // `p` with both lock backends below.
  void install(Platform& p);

  // The named locks of this user's programs: the library's lock, the
  // single-instance lock, a state file's turn.
  [[nodiscard]] LockBackend& locks() { return *locks_; }
  // The cameras' write locks, shared by every user of the machine.
  [[nodiscard]] LockBackend& writers() { return *writers_; }
  // The backend under the write locks at which programs sharing a simulated
  // camera's state file meet (named with the state file's prefix).
  [[nodiscard]] LockBackend& sharedSimulationLocks() { return *sharedSimulation_; }

 private:
  // The system's own parts: the locks at once, the device layers only when
  // installed.
  void MakeLocks();
  void MakeDevices();

  std::unique_ptr<LockBackend> locks_;
  std::unique_ptr<LockBackend> writers_;
  LockBackend* sharedSimulation_ = nullptr;
  std::unique_ptr<HidBackend> hid_;
  std::unique_ptr<VideoClassBackend> video_;
  std::unique_ptr<PropertySetBackend> props_;
};

}  // namespace lumavix
