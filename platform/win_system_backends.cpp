#include "platform/system_backends.h"

#include "platform/win_hid.h"
#include "platform/win_ks.h"
#include "platform/win_lock.h"

namespace lumavix {

struct SystemBackends::Impl {
  WinMutexLockBackend locks;
  WinCameraLockBackend writers;
  std::unique_ptr<WinHidBackend> hid;
  std::unique_ptr<WinKsVideoBackend> video;
  std::unique_ptr<WinKsPropertySetBackend> props;
};

SystemBackends::SystemBackends() : impl_(std::make_unique<Impl>()) {}
SystemBackends::~SystemBackends() = default;

void SystemBackends::install(Platform& p) {
  if (!impl_->hid) {
    impl_->hid = std::make_unique<WinHidBackend>();
    impl_->video = std::make_unique<WinKsVideoBackend>();
    impl_->props = std::make_unique<WinKsPropertySetBackend>();
  }
  p.hid = impl_->hid.get();
  p.video = impl_->video.get();
  p.props = impl_->props.get();
  p.locks = &impl_->locks;
  p.writers = &impl_->writers;
}

LockBackend& SystemBackends::locks() { return impl_->locks; }
LockBackend& SystemBackends::writers() { return impl_->writers; }
// The cameras' named mutexes, as for a real camera.
LockBackend& SystemBackends::sharedSimulationLocks() { return impl_->writers; }

}  // namespace lumavix
