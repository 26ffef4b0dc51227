// The library's system-wide lock around each device transaction. The wait is
// a poll of the platform lock on the injectable clock, so a time-out means the
// same in virtual time (tests, benchmarks) as in real time.
#pragma once

#include <cstdint>
#include <memory>

#include "devlib/platform.h"

namespace lumavix {

inline constexpr const char* kLibraryLockName = "Kavex VideoClass HidClass Library";
inline constexpr std::uint32_t kLockTimeoutMs = 1000;
inline constexpr std::uint32_t kFlashReadLockTimeoutMs = 100;

class LibraryLock {
 public:
  // Opens the named lock on `backend` (the process-local one when null).
  [[nodiscard]] static std::unique_ptr<LibraryLock> open(LockBackend* backend, SysError& err);

  // Waits at most `timeout_ms` for the lock; false on time-out.
  [[nodiscard]] bool wait(std::uint32_t timeout_ms);
  void release();

 private:
  explicit LibraryLock(std::unique_ptr<NamedLock> lock) : lock_(std::move(lock)) {}
  std::unique_ptr<NamedLock> lock_;
};

// Holds the library lock for one scope once `acquired()` says it was taken.
class LockGuard {
 public:
  LockGuard(LibraryLock* lock, std::uint32_t timeout_ms)
      : lock_(lock), held_(lock && lock->wait(timeout_ms)) {}
  ~LockGuard() {
    if (held_) lock_->release();
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  [[nodiscard]] bool acquired() const { return held_; }

 private:
  LibraryLock* lock_;
  bool held_;
};

}  // namespace lumavix
