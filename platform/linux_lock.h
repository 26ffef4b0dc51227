// The library's named, inter-process lock on Linux: flock(2) on a file named
// after the lock in the user's runtime directory. The kernel drops the lock
// when its holder dies, however it dies.
#pragma once

#include <memory>
#include <string>

#include "devlib/platform.h"

namespace lumavix {

class FlockLockBackend final : public LockBackend {
 public:
  // Lock files go to $XDG_RUNTIME_DIR, or to /tmp/lumavix-<uid> (created
  // 0700 and refused unless it is this user's own private directory).
  FlockLockBackend();
  // Lock files go to `directory` (created 0700 when missing).
  explicit FlockLockBackend(std::string directory);

  // Opens (creating if needed) the lock file for `name`; nullptr with `err`
  // when the directory or the file cannot be made or opened.
  [[nodiscard]] std::unique_ptr<NamedLock> create(const std::string& name,
                                                  SysError& err) override;

  // "Kavex VideoClass HidClass Library" -> "Kavex_VideoClass_HidClass_Library.lock".
  [[nodiscard]] static std::string file_name_for(const std::string& name);
  [[nodiscard]] const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  bool check_private_ = false;  // the shared /tmp fallback must be ours alone
};

}  // namespace lumavix
