#include "app/app_platform.h"

#include "devlib/frame.h"
#include "devlib/trace.h"
#include "firmware/engine.h"
#include "platform/linux_hid.h"
#include "platform/linux_props.h"
#include "platform/linux_uvc.h"
#include "sim/simulator.h"

namespace lumavix {

AppPlatform::AppPlatform() = default;

AppPlatform::~AppPlatform() { set_platform({}); }

bool AppPlatform::setup(const PlatformOptions& options, std::string& error) {
  init_trace_from_environment();
  Platform p;
  p.locks = &locks_;
  if (options.simulate) {
    simState_ = options.simState;
    simulator_ = sim::create_simulator(*options.simulate, simState_, error);
    if (!simulator_) return false;
    p.hid = &simulator_->hid();
    p.video = &simulator_->video();
    p.props = &simulator_->props();
  } else {
    // Cameras without the HID interface are reached through their video
    // node, as on the command line.
    hid_ = std::make_unique<LinuxHidBackend>();
    video_ = std::make_unique<LinuxUvcBackend>();
    props_ = std::make_unique<LinuxPropertySetBackend>();
    p.hid = hid_.get();
    p.video = video_.get();
    p.props = props_.get();
  }
  set_platform(p);
  return true;
}

bool AppPlatform::finish(std::string& error) {
  // A worker still running at exit would write the flash of a closed
  // library; the window waits for it before it closes.
  WaitForWorker();
  if (DevicesOpen()) CloseDevices();
  if (simulator_ && !simState_.empty()) {
    if (!simulator_->save_state(simState_, error)) return false;
  }
  return true;
}

bool AppPlatform::toggle_simulated_plug(bool& plugged) {
  if (!simulator_ || simulator_->camera_count() == 0) return false;
  sim::SimCamera* cam = simulator_->camera(0);
  if (cam->unplugged()) {
    cam->replug();
  } else {
    cam->unplug();
  }
  plugged = !cam->unplugged();
  simPlugged_ = plugged;
  return true;
}

bool AppPlatform::simulated_plug_changed() {
  if (!simulator_ || simulator_->camera_count() == 0) return false;
  const bool plugged = !simulator_->camera(0)->unplugged();
  if (plugged == simPlugged_) return false;
  simPlugged_ = plugged;
  return true;
}

}  // namespace lumavix
