#include "platform/system_backends.h"

#include "platform/linux_hid.h"
#include "platform/linux_lock.h"
#include "platform/linux_props.h"
#include "platform/linux_uvc.h"

namespace lumavix {

void SystemBackends::MakeLocks() {
  locks_ = std::make_unique<FlockLockBackend>();
  writers_ = std::make_unique<SharedFlockLockBackend>();
  // This user's flock locks, as for a state file's turn.
  sharedSimulation_ = locks_.get();
}

// Cameras without the HID interface are reached through their video node.
void SystemBackends::MakeDevices() {
  hid_ = std::make_unique<LinuxHidBackend>();
  video_ = std::make_unique<LinuxUvcBackend>();
  props_ = std::make_unique<LinuxPropertySetBackend>();
}

}  // namespace lumavix
