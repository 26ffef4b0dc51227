#include "app/qt/single_instance.h"

#include "devlib/trace.h"

namespace lumavix {

SingleInstance::SingleInstance(LockBackend& locks, const std::string& name) {
  SysError err;
  lock_ = locks.create(name, err);
  if (!lock_) {
    DebugTrace("single instance lock unavailable: %s", err.message.c_str());
    return;
  }
  // flock is released by the kernel when its holder ends, so a held lock is
  // a running copy.
  seen_ = lock_->try_acquire() ? InstanceLock::Taken : InstanceLock::HeldByRunningCopy;
  if (seen_ != InstanceLock::Taken) lock_.reset();
}

SingleInstance::~SingleInstance() {
  if (lock_) lock_->release();
}

}  // namespace lumavix
