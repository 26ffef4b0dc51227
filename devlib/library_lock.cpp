#include "devlib/library_lock.h"

#include "devlib/clock.h"

namespace lumavix {

std::unique_ptr<LibraryLock> LibraryLock::open(LockBackend* backend, SysError& err) {
  static ProcessLockBackend process_locks;
  LockBackend& b = backend ? *backend : process_locks;
  auto named = b.create(kLibraryLockName, err);
  if (!named) return nullptr;
  return std::unique_ptr<LibraryLock>(new LibraryLock(std::move(named)));
}

bool LibraryLock::wait(std::uint32_t timeout_ms) {
  if (lock_->try_acquire()) return true;
  Clock& c = clock();
  const std::uint32_t start = c.ticks_ms();
  for (;;) {
    c.sleep_ms(1);
    if (lock_->try_acquire()) return true;
    if (c.ticks_ms() - start >= timeout_ms) return false;
  }
}

void LibraryLock::release() { lock_->release(); }

}  // namespace lumavix
