#include "platform/win_lock.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "devlib/trace.h"

namespace lumavix {

namespace {

// One flag per lock name for the life of the process. A mutex belongs to
// the thread that took it and nests for that thread, whatever handle it is
// asked through; the library shares one handle between its threads and never
// nests. So the flag excludes this process's handles and threads, and the
// mutex is asked only by the thread that won the flag: other processes.
std::atomic<bool>& flag_for(const std::wstring& name) {
  static std::mutex table_guard;
  static std::map<std::wstring, std::atomic<bool>> table;
  std::lock_guard<std::mutex> guard(table_guard);
  return table[name];
}

// A wait of 0 ms keeps try_acquire non-blocking; LibraryLock polls it on the
// library's clock.
class WinMutexLock final : public NamedLock {
 public:
  WinMutexLock(WinApi& api, HANDLE h, std::atomic<bool>& taken)
      : api_(api), handle_(h), taken_(taken) {}
  ~WinMutexLock() override {
    release();
    api_.close_handle(handle_);
  }
  WinMutexLock(const WinMutexLock&) = delete;
  WinMutexLock& operator=(const WinMutexLock&) = delete;

  bool try_acquire() override {
    bool expected = false;
    if (!taken_.compare_exchange_strong(expected, true, std::memory_order_acquire)) return false;
    const DWORD r = api_.wait_for(handle_, 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
      // Abandoned: the previous holder died holding it; the device
      // transaction it was in is over either way.
      if (r == WAIT_ABANDONED)
        DebugTrace("the camera lock's previous holder ended without releasing it");
      held_.store(true, std::memory_order_relaxed);
      return true;
    }
    if (r == WAIT_FAILED)
      DebugTrace("waiting for the camera lock failed: %s",
                 win32_error_text(api_.last_error()).c_str());
    taken_.store(false, std::memory_order_release);
    return false;
  }

  // Releases only what this handle took (on the thread that took it), so a
  // stray release cannot free a lock held through another handle.
  void release() override {
    if (!held_.exchange(false, std::memory_order_relaxed)) return;
    if (!api_.release_mutex(handle_))
      DebugTrace("releasing the camera lock failed: %s",
                 win32_error_text(api_.last_error()).c_str());
    taken_.store(false, std::memory_order_release);
  }

 private:
  WinApi& api_;
  HANDLE handle_;
  std::atomic<bool>& taken_;
  std::atomic<bool> held_{false};
};

}  // namespace

std::wstring WinMutexLockBackend::object_name_for(const std::string& name) {
  std::wstring w = widen(name);
  for (wchar_t& c : w) {
    if (c == L'\\') c = L'_';
  }
  return w;
}

std::unique_ptr<NamedLock> WinMutexLockBackend::create(const std::string& name, SysError& err) {
  if (name.empty()) {
    err = {EINVAL, "a named lock needs a name"};
    return nullptr;
  }
  const std::wstring object = object_name_for(name);
  const HANDLE h = api_.create_mutex(object);
  if (h == nullptr) {
    const DWORD code = api_.last_error();
    err = {errno_from_win32(code),
           "cannot create the lock \"" + name + "\": " + win32_error_text(code)};
    return nullptr;
  }
  err = {};
  return std::make_unique<WinMutexLock>(api_, h, flag_for(object));
}

namespace {

// Another user's write in progress (see WinCameraLockBackend).
class HeldElsewhereLock final : public NamedLock {
 public:
  bool try_acquire() override { return false; }
  void release() override {}
};

}  // namespace

std::wstring WinCameraLockBackend::object_name_for(const std::string& key) {
  return L"Global\\lumavix-camera-" + WinMutexLockBackend::object_name_for(key);
}

std::unique_ptr<NamedLock> WinCameraLockBackend::create(const std::string& key, SysError& err) {
  if (key.empty()) {
    err = {EINVAL, "a camera lock needs the camera's key"};
    return nullptr;
  }
  const std::wstring object = object_name_for(key);
  const HANDLE h = api_.create_mutex(object);
  if (h == nullptr) {
    const DWORD code = api_.last_error();
    if (code == ERROR_ACCESS_DENIED) {
      err = {};
      return std::make_unique<HeldElsewhereLock>();
    }
    err = {errno_from_win32(code),
           "cannot create the camera lock \"" + narrow(object) + "\": " + win32_error_text(code)};
    return nullptr;
  }
  err = {};
  return std::make_unique<WinMutexLock>(api_, h, flag_for(object));
}

}  // namespace lumavix
