#include "app/app_platform.h"

#include "devlib/frame.h"
#include "platform/linux_hid.h"
#include "platform/linux_props.h"
#include "platform/linux_uvc.h"

namespace lumavix {

AppPlatform::AppPlatform() = default;

AppPlatform::~AppPlatform() { set_platform({}); }

void AppPlatform::InstallDevices(Platform& p) {
  // Cameras without the HID interface are reached through their video
  // node, as on the command line.
  hid_ = std::make_unique<LinuxHidBackend>();
  video_ = std::make_unique<LinuxUvcBackend>();
  props_ = std::make_unique<LinuxPropertySetBackend>();
  p.locks = &locks_;
  p.writers = &writers_;
  p.hid = hid_.get();
  p.video = video_.get();
  p.props = props_.get();
}

}  // namespace lumavix
