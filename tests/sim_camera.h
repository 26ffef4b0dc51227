// A simulated camera installed as the device library's platform for the
// length of a test, on a virtual clock (through LibraryScope); removing it
// waits for a worker still running and closes the library first, so no test
// leaves either behind.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "library_scope.h"
#include "sim/sim_options.h"
#include "sim/simulator.h"

namespace lumavix::test {

class SimulatedCamera {
 public:
  // `clock_start_ms` is where the virtual clock starts: a test of the
  // 32-bit tick count's wrap starts it just short of it.
  explicit SimulatedCamera(sim::SimOptions options = Fast(), std::uint32_t clock_start_ms = 1000)
      : clock_(clock_start_ms) {
    std::string error;
    sim_ = sim::Simulator::create(options, error);
    EXPECT_TRUE(sim_) << "the simulated camera could not be made: " << error;
    Platform platform;
    if (sim_) platform = {&sim_->hid(), &locks_};
    scope_.emplace(&clock_, platform);
  }
  ~SimulatedCamera() {
    WaitForWorker();
    CloseDevices();
    scope_.reset();
  }
  SimulatedCamera(const SimulatedCamera&) = delete;
  SimulatedCamera& operator=(const SimulatedCamera&) = delete;

  // No transfer latency and no flash busy time.
  [[nodiscard]] static sim::SimOptions Fast() {
    sim::SimOptions o;
    o.latency_us = 0;
    o.busy = false;
    return o;
  }

  // The options a --simulate text gives ("q", "gen0-flash,fw=0105").
  [[nodiscard]] static sim::SimOptions Profile(std::string_view text) {
    sim::SimOptions o;
    std::string error;
    EXPECT_TRUE(sim::parse_sim_options(text, o, error)) << "simulator options: " << error;
    return o;
  }

  [[nodiscard]] sim::Simulator& sim() { return *sim_; }
  // The first camera, the one most tests talk to.
  [[nodiscard]] sim::SimCamera& camera() { return *sim_->camera(0); }
  // The virtual clock the library and the camera run on while installed.
  [[nodiscard]] VirtualClock& clock() { return clock_; }

 private:
  VirtualClock clock_;
  ProcessLockBackend locks_;
  std::unique_ptr<sim::Simulator> sim_;
  std::optional<LibraryScope> scope_;
};

}  // namespace lumavix::test
