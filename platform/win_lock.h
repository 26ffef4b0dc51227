// The library's named, inter-process lock on Windows: a named mutex in the
// session's namespace, and one of the same name in the machine-wide
// namespace (Global\NAME) that every session can open. The system hands a
// mutex whose holder died to the next waiter as abandoned; the holder is
// gone, so that counts as acquired.
#pragma once

#include <memory>
#include <string>

#include "devlib/platform.h"
#include "platform/win_sys_call.h"

namespace lumavix {

class WinMutexLockBackend final : public LockBackend {
 public:
  explicit WinMutexLockBackend(WinApi& api = system_win_api()) : api_(api) {}

  // Opens (creating if needed) the mutex named `name`; nullptr with `err`
  // when it cannot be (for example a non-mutex object holds the name).
  [[nodiscard]] std::unique_ptr<NamedLock> create(const std::string& name,
                                                  SysError& err) override;

  // Backslashes are the object namespace's separators: "a\\b" -> "a_b".
  [[nodiscard]] static std::wstring object_name_for(const std::string& name);
  // "Global\\" and object_name_for(name).
  [[nodiscard]] static std::wstring global_name_for(const std::string& name);

 private:
  WinApi& api_;
};

// The cameras' write locks (devlib/writer_lock.h), shared by every session
// and user of the machine: a named mutex in the global namespace,
// "Global\\lumavix-camera-<key>" (the key is the camera's port). A mutex
// made by another user carries that user's default security, which lets
// nobody else open it; it exists only while its maker holds a write lock
// (the handle is closed with the lock), so a name that exists but is denied
// to this user is another user's write in progress: the lock returned then
// never succeeds.
class WinCameraLockBackend final : public LockBackend {
 public:
  explicit WinCameraLockBackend(WinApi& api = system_win_api()) : api_(api) {}

  [[nodiscard]] std::unique_ptr<NamedLock> create(const std::string& key,
                                                  SysError& err) override;

  // "usb-1-2" -> L"Global\\lumavix-camera-usb-1-2"; backslashes in the key
  // become '_'.
  [[nodiscard]] static std::wstring object_name_for(const std::string& key);

 private:
  WinApi& api_;
};

}  // namespace lumavix
