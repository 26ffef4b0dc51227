#include "platform/system_backends.h"

#include "platform/linux_hid.h"
#include "platform/linux_lock.h"
#include "platform/linux_props.h"
#include "platform/linux_uvc.h"

namespace lumavix {

struct SystemBackends::Impl {
  FlockLockBackend locks;
  SharedFlockLockBackend writers;
  std::unique_ptr<LinuxHidBackend> hid;
  std::unique_ptr<LinuxUvcBackend> video;
  std::unique_ptr<LinuxPropertySetBackend> props;
};

SystemBackends::SystemBackends() : impl_(std::make_unique<Impl>()) {}
SystemBackends::~SystemBackends() = default;

void SystemBackends::install(Platform& p) {
  // Cameras without the HID interface are reached through their video node.
  if (!impl_->hid) {
    impl_->hid = std::make_unique<LinuxHidBackend>();
    impl_->video = std::make_unique<LinuxUvcBackend>();
    impl_->props = std::make_unique<LinuxPropertySetBackend>();
  }
  p.hid = impl_->hid.get();
  p.video = impl_->video.get();
  p.props = impl_->props.get();
  p.locks = &impl_->locks;
  p.writers = &impl_->writers;
}

LockBackend& SystemBackends::locks() { return impl_->locks; }
LockBackend& SystemBackends::writers() { return impl_->writers; }
// This user's flock locks, as for a state file's turn.
LockBackend& SystemBackends::sharedSimulationLocks() { return impl_->locks; }

}  // namespace lumavix
