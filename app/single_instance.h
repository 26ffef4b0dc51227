// One running copy per user: the program holds a named lock for its whole
// life; a second start that finds it held ends at once, silently.
#pragma once

#include <memory>
#include <string>

#include "devlib/platform.h"

namespace lumavix {

inline constexpr const char* kSingleInstanceLockName = "LUMAVIX_Firmware_Update_Tool";

class SingleInstance {
 public:
  // Tries to take the lock through `locks`. Holds it until destroyed.
  explicit SingleInstance(LockBackend& locks, const std::string& name = kSingleInstanceLockName);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when this process is the only copy. When the lock cannot be made at
  // all (no runtime directory) the program still runs: refusing to start
  // over a missing lock file would be worse than a second window.
  [[nodiscard]] bool first() const { return first_; }

 private:
  std::unique_ptr<NamedLock> lock_;
  bool first_ = true;
};

}  // namespace lumavix
