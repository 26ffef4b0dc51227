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
// library's clock. The lock is both mutexes, the session's name first (the
// one peers know) and then the machine-wide one; `global` is null when that
// one could not be had.
class WinMutexLock final : public NamedLock {
 public:
  WinMutexLock(WinApi& api, HANDLE local, HANDLE global, std::atomic<bool>& taken)
      : api_(api), local_(local), global_(global), taken_(taken) {}
  ~WinMutexLock() override {
    release();
    api_.close_handle(local_);
    if (global_) api_.close_handle(global_);
  }
  WinMutexLock(const WinMutexLock&) = delete;
  WinMutexLock& operator=(const WinMutexLock&) = delete;

  bool try_acquire() override {
    bool expected = false;
    if (!taken_.compare_exchange_strong(expected, true, std::memory_order_acquire)) return false;
    if (take(local_)) {
      if (!global_ || take(global_)) {
        held_.store(true, std::memory_order_relaxed);
        return true;
      }
      give_back(local_);
    }
    taken_.store(false, std::memory_order_release);
    return false;
  }

  // Releases only what this handle took (on the thread that took it), so a
  // stray release cannot free a lock held through another handle.
  void release() override {
    if (!held_.exchange(false, std::memory_order_relaxed)) return;
    if (global_) give_back(global_);
    give_back(local_);
    taken_.store(false, std::memory_order_release);
  }

 private:
  bool take(HANDLE h) {
    const DWORD r = api_.wait_for(h, 0);
    // Abandoned: the previous holder died holding it; the device
    // transaction it was in is over either way.
    if (r == WAIT_ABANDONED)
      DebugTrace("the camera lock's previous holder ended without releasing it");
    if (r == WAIT_FAILED)
      DebugTrace("waiting for the camera lock failed: %s",
                 win32_error_text(api_.last_error()).c_str());
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
  }

  void give_back(HANDLE h) {
    if (!api_.release_mutex(h))
      DebugTrace("releasing the camera lock failed: %s",
                 win32_error_text(api_.last_error()).c_str());
  }

  WinApi& api_;
  HANDLE local_;
  HANDLE global_;
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

std::wstring WinMutexLockBackend::global_name_for(const std::string& name) {
  return L"Global\\" + object_name_for(name);
}

std::unique_ptr<NamedLock> WinMutexLockBackend::create(const std::string& name, SysError& err) {
  if (name.empty()) {
    err = {EINVAL, "a named lock needs a name"};
    return nullptr;
  }
  const std::wstring object = object_name_for(name);
  const HANDLE h = api_.create_mutex(object, false);
  if (h == nullptr) {
    const DWORD code = api_.last_error();
    err = {errno_from_win32(code),
           "cannot create the lock \"" + name + "\": " + win32_error_text(code)};
    return nullptr;
  }
  // Other sessions (a second user, a command line run as SYSTEM by a
  // deployment tool) share only the Global\ name. Without it the lock
  // still excludes this session, as it always did.
  const HANDLE global = api_.create_mutex(global_name_for(name), true);
  if (global == nullptr)
    DebugTrace("the lock \"%s\" holds for this session only: %s", name.c_str(),
               win32_error_text(api_.last_error()).c_str());
  err = {};
  return std::make_unique<WinMutexLock>(api_, h, global, flag_for(object));
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
  // Machine-wide, with a descriptor every session and user may open, so
  // that a second user's run and a deployment tool's meet at it.
  const HANDLE h = api_.create_mutex(object, true);
  if (h == nullptr) {
    const DWORD code = api_.last_error();
    // A mutex made by an older copy without that descriptor.
    if (code == ERROR_ACCESS_DENIED) {
      err = {};
      return std::make_unique<HeldElsewhereLock>();
    }
    err = {errno_from_win32(code),
           "cannot create the camera lock \"" + narrow(object) + "\": " + win32_error_text(code)};
    return nullptr;
  }
  err = {};
  // The name is already the machine-wide one: a single mutex.
  return std::make_unique<WinMutexLock>(api_, h, nullptr, flag_for(object));
}

}  // namespace lumavix
