#include "app/single_instance.h"

#include "devlib/trace.h"

namespace lumavix {

SingleInstance::SingleInstance(LockBackend& locks, const std::string& name) {
  SysError err;
  lock_ = locks.create(name, err);
  if (!lock_) {
    DebugTrace("single instance lock unavailable: %s", err.message.c_str());
    return;
  }
  first_ = lock_->try_acquire();
  if (!first_) lock_.reset();
}

SingleInstance::~SingleInstance() {
  if (lock_) lock_->release();
}

}  // namespace lumavix
