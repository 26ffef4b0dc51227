#include "platform/win_instance.h"

#include "devlib/trace.h"
#include "platform/win_lock.h"

namespace lumavix {

WinInstanceMutex::WinInstanceMutex(const std::string& name, WinApi& api) : api_(api) {
  auto take = [&](const std::wstring& object, bool every_session) -> HANDLE {
    const HANDLE h = api_.create_mutex(object, every_session);
    const DWORD code = api_.last_error();
    if (h == nullptr) {
      if (code == ERROR_ACCESS_DENIED)
        another_runs_ = true;
      else
        DebugTrace("the single-instance mutex cannot be made: %s", win32_error_text(code).c_str());
    } else if (code == ERROR_ALREADY_EXISTS) {
      another_runs_ = true;
    }
    return h;
  };
  local_ = take(WinMutexLockBackend::object_name_for(name), false);
  if (!another_runs_) global_ = take(WinMutexLockBackend::global_name_for(name), true);
}

WinInstanceMutex::~WinInstanceMutex() {
  if (global_) api_.close_handle(global_);
  if (local_) api_.close_handle(local_);
}

}  // namespace lumavix
