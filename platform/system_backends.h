// The system's own device layers and locks, chosen once for the build's
// system (linux_system_backends.cpp or win_system_backends.cpp, one of which
// the build takes): what every program installs for the device library when
// it does not simulate a camera.
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
  [[nodiscard]] LockBackend& locks();
  // The cameras' write locks, shared by every user of the machine.
  [[nodiscard]] LockBackend& writers();
  // The backend under the write locks at which programs sharing a simulated
  // camera's state file meet (named with the state file's prefix).
  [[nodiscard]] LockBackend& sharedSimulationLocks();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lumavix
