// What both windows share of the platform they run on: the simulated
// cameras of --simulate (with the memories of --sim-state), the library's
// installed backends, and the orderly end (the worker waited for, the
// library closed, the memories saved). Each window's platform adds the real
// device backends of its system and its named locks.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "devlib/frame.h"

namespace lumavix {

namespace sim {
class Simulator;
}

struct PlatformOptions {
  std::optional<std::string> simulate;  // profile text when simulating
  std::string simState;                 // state file of the simulated camera
};

class ProgramPlatform {
 public:
  ProgramPlatform();
  // Uninstalls the platform from the library.
  virtual ~ProgramPlatform();
  ProgramPlatform(const ProgramPlatform&) = delete;
  ProgramPlatform& operator=(const ProgramPlatform&) = delete;

  // Installs the platform for the device library: the simulated cameras
  // when `options.simulate`, otherwise the system's backends
  // (InstallDevices). False with `error` when the simulated camera cannot
  // be made or its state file is refused.
  [[nodiscard]] bool setup(const PlatformOptions& options, std::string& error);
  // Waits for a worker still running (it would write the flash of a closed
  // library), closes the library and saves the simulated camera's memories
  // when a state file was given.
  [[nodiscard]] bool finish(std::string& error);

  [[nodiscard]] bool simulating() const { return simulator_ != nullptr; }
  // Unplugs the simulated camera, or plugs it back in; false when there is
  // no simulated camera. Returns the new state through `plugged`.
  bool toggle_simulated_plug(bool& plugged);
  // True when the simulated camera has left or come back by itself (its
  // reconnection after an update) since the last call or toggle.
  [[nodiscard]] bool simulated_plug_changed();

 protected:
  // The system's device backends and locks, into `p`.
  virtual void InstallDevices(Platform& p) = 0;
  // The named locks while simulating; null: a process-local lock.
  virtual LockBackend* SimulationLocks() = 0;
  // The locks that the write locks of simulated cameras kept in a state
  // file are made in, under a name of that file (other programs on the
  // same file share its cameras); null: process-local ones.
  virtual LockBackend* SimulationWriterLocks() = 0;

 private:
  std::unique_ptr<sim::Simulator> simulator_;
  std::unique_ptr<LockBackend> simWriters_;
  std::string simState_;
  bool simPlugged_ = true;
};

}  // namespace lumavix
