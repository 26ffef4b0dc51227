// One running copy per user: the program holds a named lock for its whole
// life; a second start that finds it held ends at once, silently.
#pragma once

#include <memory>
#include <string>

#include "devlib/platform.h"
#include "platform/instance_lock.h"

namespace lumavix {

inline constexpr const char* kSingleInstanceLockName = "LUMAVIX_Firmware_Update_Tool";

class SingleInstance {
 public:
  // Tries to take the lock through `locks`. Holds it until destroyed.
  explicit SingleInstance(LockBackend& locks, const std::string& name = kSingleInstanceLockName);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // What taking the lock showed. A lock that cannot be made at all (no
  // runtime directory, a lock file this user may not open) is Unavailable:
  // a lock file outlives its owner, so it is no evidence of a running copy.
  [[nodiscard]] InstanceLock seen() const { return seen_; }

 private:
  std::unique_ptr<NamedLock> lock_;
  InstanceLock seen_ = InstanceLock::Unavailable;
};

}  // namespace lumavix
