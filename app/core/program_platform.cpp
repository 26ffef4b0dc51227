#include "app/core/program_platform.h"

#include "devlib/trace.h"
#include "devlib/writer_lock.h"
#include "firmware/engine.h"
#include "sim/simulator.h"

namespace lumavix {

ProgramPlatform::ProgramPlatform() = default;

ProgramPlatform::~ProgramPlatform() { set_platform({}); }

bool ProgramPlatform::setup(const PlatformOptions& options, std::string& error) {
  init_trace_from_environment();
  Platform p;
  if (options.simulate) {
    simState_ = options.simState;
    simulator_ = sim::create_simulator(*options.simulate, simState_, error);
    if (!simulator_) return false;
    p.locks = SimulationLocks();
    const std::string prefix = sim::simulated_camera_lock_prefix(simState_);
    if (LockBackend* base = SimulationWriterLocks(); base && !prefix.empty()) {
      simWriters_ = std::make_unique<PrefixedLockBackend>(*base, prefix);
      p.writers = simWriters_.get();
    }
    p.hid = &simulator_->hid();
    p.video = &simulator_->video();
    p.props = &simulator_->props();
  } else {
    InstallDevices(p);
  }
  set_platform(p);
  return true;
}

bool ProgramPlatform::finish(std::string& error) {
  WaitForWorker();
  if (DevicesOpen()) CloseDevices();
  if (simulator_ && !simState_.empty()) {
    if (!simulator_->save_state(simState_, error)) return false;
  }
  return true;
}

bool ProgramPlatform::toggle_simulated_plug(bool& plugged) {
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

bool ProgramPlatform::simulated_plug_changed() {
  if (!simulator_ || simulator_->camera_count() == 0) return false;
  const bool plugged = !simulator_->camera(0)->unplugged();
  if (plugged == simPlugged_) return false;
  simPlugged_ = plugged;
  return true;
}

}  // namespace lumavix
