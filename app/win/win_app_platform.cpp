// Before windows.h (through the header), whose macros would clash with the
// engine's names.
#include "devlib/frame.h"
#include "devlib/trace.h"
#include "firmware/engine.h"
#include "sim/simulator.h"

#include "app/win/win_app_platform.h"

#include "platform/win_hid.h"
#include "platform/win_ks.h"

namespace lumavix {

WinAppPlatform::WinAppPlatform() = default;

WinAppPlatform::~WinAppPlatform() { set_platform({}); }

bool WinAppPlatform::setup(const WinPlatformOptions& options, std::string& error) {
  init_trace_from_environment();
  Platform p;
  // The simulated camera lives in this process: no other program can reach
  // it, so it needs no system-wide lock.
  p.locks = options.simulate ? nullptr : &locks_;
  if (options.simulate) {
    simState_ = options.simState;
    simulator_ = sim::create_simulator(*options.simulate, simState_, error);
    if (!simulator_) return false;
    p.hid = &simulator_->hid();
    p.video = &simulator_->video();
    p.props = &simulator_->props();
  } else {
    hid_ = std::make_unique<WinHidBackend>();
    video_ = std::make_unique<WinKsVideoBackend>();
    props_ = std::make_unique<WinKsPropertySetBackend>();
    p.hid = hid_.get();
    p.video = video_.get();
    p.props = props_.get();
  }
  set_platform(p);
  return true;
}

bool WinAppPlatform::finish(std::string& error) {
  // A worker still running at exit would write the flash of a closed
  // library; the window only closes once the run has ended, but the
  // worker's thread may still be finishing.
  WaitForWorker();
  if (DevicesOpen()) CloseDevices();
  if (simulator_ && !simState_.empty()) {
    if (!simulator_->save_state(simState_, error)) return false;
  }
  return true;
}

bool WinAppPlatform::simulated_plug_changed() {
  if (!simulator_ || simulator_->camera_count() == 0) return false;
  const bool plugged = !simulator_->camera(0)->unplugged();
  if (plugged == simPlugged_) return false;
  simPlugged_ = plugged;
  return true;
}

bool WinSleepInhibitor::Acquire(std::string_view, std::string& error) {
  if (::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
    error = "SetThreadExecutionState refused";
    return false;
  }
  held_ = true;
  return true;
}

void WinSleepInhibitor::Release() {
  if (!held_) return;
  ::SetThreadExecutionState(ES_CONTINUOUS);
  held_ = false;
}

}  // namespace lumavix
