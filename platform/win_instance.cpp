#include "platform/win_instance.h"

#include "devlib/trace.h"
#include "platform/win_lock.h"

namespace lumavix {

WinInstanceMutex::WinInstanceMutex(const std::string& name, WinApi& api) : api_(api) {
  auto take = [&](const std::wstring& object, bool every_session) -> HANDLE {
    const HANDLE h = api_.create_mutex(object, every_session);
    const DWORD code = api_.last_error();
    if (h == nullptr) {
      if (code == ERROR_ACCESS_DENIED) {
        seen_ = InstanceLock::HeldByRunningCopy;
      } else {
        if (seen_ == InstanceLock::Taken) seen_ = InstanceLock::Unavailable;
        DebugTrace("the single-instance mutex cannot be made: %s", win32_error_text(code).c_str());
      }
    } else if (code == ERROR_ALREADY_EXISTS) {
      seen_ = InstanceLock::HeldByRunningCopy;
    }
    return h;
  };
  local_ = take(WinMutexLockBackend::object_name_for(name), false);
  if (seen_ != InstanceLock::HeldByRunningCopy)
    global_ = take(WinMutexLockBackend::global_name_for(name), true);
}

WinInstanceMutex::~WinInstanceMutex() {
  if (global_) api_.close_handle(global_);
  if (local_) api_.close_handle(local_);
}

}  // namespace lumavix
