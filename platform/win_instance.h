// One running copy of the window on the machine: the program's named mutex
// under the name earlier versions used (the session's) and under the same
// name in the machine-wide namespace, held for the program's life.
#pragma once

#include <string>

#include "platform/instance_lock.h"
#include "platform/win_sys_call.h"

namespace lumavix {

class WinInstanceMutex {
 public:
  explicit WinInstanceMutex(const std::string& name, WinApi& api = system_win_api());
  ~WinInstanceMutex();
  WinInstanceMutex(const WinInstanceMutex&) = delete;
  WinInstanceMutex& operator=(const WinInstanceMutex&) = delete;

  // HeldByRunningCopy when another copy made one of the two first. A mutex
  // that exists but may not be opened (made by a copy started as
  // administrator, or by an earlier version under another user) is another
  // copy too: a named mutex lives only as long as a handle to it. A mutex
  // that cannot be made for any other reason is Unavailable.
  [[nodiscard]] InstanceLock seen() const { return seen_; }

 private:
  WinApi& api_;
  HANDLE local_ = nullptr;
  HANDLE global_ = nullptr;
  InstanceLock seen_ = InstanceLock::Taken;
};

}  // namespace lumavix
