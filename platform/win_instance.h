// One running copy of the window on the machine: the program's named mutex
// under the name earlier versions used (the session's) and under the same
// name in the machine-wide namespace, held for the program's life.
#pragma once

#include <string>

#include "platform/win_sys_call.h"

namespace lumavix {

class WinInstanceMutex {
 public:
  explicit WinInstanceMutex(const std::string& name, WinApi& api = system_win_api());
  ~WinInstanceMutex();
  WinInstanceMutex(const WinInstanceMutex&) = delete;
  WinInstanceMutex& operator=(const WinInstanceMutex&) = delete;

  // Another copy made one of the two first. A mutex that exists but may not
  // be opened (made by a copy started as administrator, or by an earlier
  // version under another user) is another copy too. A mutex that cannot be
  // made for any other reason lets the program run: a second window is
  // better than none.
  [[nodiscard]] bool another_runs() const { return another_runs_; }

 private:
  WinApi& api_;
  HANDLE local_ = nullptr;
  HANDLE global_ = nullptr;
  bool another_runs_ = false;
};

}  // namespace lumavix
