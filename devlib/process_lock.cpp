#include <atomic>
#include <map>
#include <mutex>

#include "devlib/platform.h"

namespace lumavix {

namespace {

// One flag per lock name for the life of the process, so that every
// NamedLock created under the same name excludes the others. Entries are
// never erased: a lock may still be held through another handle. A flag
// rather than a std::mutex, because the library shares one handle between
// its threads and a mutex must be unlocked by the thread that locked it.
std::atomic<bool>& flag_for(const std::string& name) {
  static std::mutex table_guard;
  static std::map<std::string, std::atomic<bool>> table;
  std::lock_guard<std::mutex> guard(table_guard);
  return table[name];
}

class ProcessLock final : public NamedLock {
 public:
  explicit ProcessLock(std::atomic<bool>& taken) : taken_(taken) {}
  ~ProcessLock() override { release(); }

  bool try_acquire() override {
    bool expected = false;
    if (!taken_.compare_exchange_strong(expected, true, std::memory_order_acquire)) return false;
    held_.store(true, std::memory_order_relaxed);
    return true;
  }

  // Releases only what this handle took, so a stray release cannot free a
  // lock held through another handle.
  void release() override {
    if (held_.exchange(false, std::memory_order_relaxed))
      taken_.store(false, std::memory_order_release);
  }

 private:
  std::atomic<bool>& taken_;
  std::atomic<bool> held_{false};
};

}  // namespace

std::unique_ptr<NamedLock> ProcessLockBackend::create(const std::string& name, SysError& err) {
  err = {};
  return std::make_unique<ProcessLock>(flag_for(name));
}

}  // namespace lumavix
