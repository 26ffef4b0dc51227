#include "platform/system_backends.h"

#include "platform/win_hid.h"
#include "platform/win_ks.h"
#include "platform/win_lock.h"

namespace lumavix {

void SystemBackends::MakeLocks() {
  locks_ = std::make_unique<WinMutexLockBackend>();
  writers_ = std::make_unique<WinCameraLockBackend>();
  // The cameras' named mutexes, as for a real camera.
  sharedSimulation_ = writers_.get();
}

void SystemBackends::MakeDevices() {
  hid_ = std::make_unique<WinHidBackend>();
  video_ = std::make_unique<WinKsVideoBackend>();
  props_ = std::make_unique<WinKsPropertySetBackend>();
}

}  // namespace lumavix
