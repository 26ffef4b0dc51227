#include "platform/system_backends.h"

namespace lumavix {

SystemBackends::SystemBackends() { MakeLocks(); }
SystemBackends::~SystemBackends() = default;

void SystemBackends::install(Platform& p) {
  if (!hid_) MakeDevices();
  p.hid = hid_.get();
  p.video = video_.get();
  p.props = props_.get();
  p.locks = locks_.get();
  p.writers = writers_.get();
}

}  // namespace lumavix
