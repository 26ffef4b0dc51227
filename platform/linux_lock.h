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

// The cameras' write locks (devlib/writer_lock.h), shared by every user of
// the machine: flock(2) on one file per camera in /run/lock, the system's
// directory for lock files, which every user may create files in and nobody
// may delete another's. A file is made by the first writer of the camera
// since the machine started, with mode 0644 whatever the umask, and opened
// read-only by everyone (flock needs no more), so it never holds data anyone
// but its maker could write. The name is never followed as a link, and only
// a regular file is taken: a link or a pipe planted at the name is refused.
// Another user's file is opened without O_CREAT, which the kernel's
// protection of such directories (fs.protected_regular) would refuse.
//
// Where /run/lock is missing or this user may not create files in it (some
// systems keep it for root) and the camera's file does not exist yet, the
// lock falls back to this user's private lock directory: other runs of this
// user are still kept out, other users' are not, and the create() that did
// so says why in `err` while returning the lock.
class SharedFlockLockBackend final : public LockBackend {
 public:
  // Files go to `shared_directory`, named kCameraLockPrefix + the key; the
  // fallback is `fallback` (by default the library lock's directory).
  explicit SharedFlockLockBackend(std::string shared_directory = "/run/lock");
  SharedFlockLockBackend(std::string shared_directory, std::unique_ptr<FlockLockBackend> fallback);
  ~SharedFlockLockBackend() override;

  [[nodiscard]] std::unique_ptr<NamedLock> create(const std::string& key,
                                                  SysError& err) override;

  // "usb-1-2" -> "lumavix-camera-usb-1-2.lock". Characters other than
  // letters, digits, '.', '-' and '_' become '_'; a long key is cut and
  // followed by a hash of the whole, so that the name stays short and
  // distinct.
  [[nodiscard]] static std::string file_name_for(const std::string& key);
  [[nodiscard]] const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  std::unique_ptr<FlockLockBackend> fallback_;
};

}  // namespace lumavix
