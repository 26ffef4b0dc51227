// A simulated camera installed as the device library's platform for the
// length of a test, on a virtual clock; removing it waits for a worker still
// running and closes the library first, so no test leaves either behind.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "sim/simulator.h"

namespace lumavix::test {

class SimulatedCamera {
 public:
  explicit SimulatedCamera(sim::SimOptions options = Fast()) {
    set_clock(&clock_);
    std::string error;
    sim_ = sim::Simulator::create(options, error);
    EXPECT_TRUE(sim_) << "the simulated camera could not be made: " << error;
    if (sim_) set_platform({&sim_->hid(), &locks_});
  }
  ~SimulatedCamera() {
    WaitForWorker();
    CloseDevices();
    set_platform({});
    set_clock(nullptr);
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

  [[nodiscard]] sim::Simulator& sim() { return *sim_; }

 private:
  VirtualClock clock_{1000};
  ProcessLockBackend locks_;
  std::unique_ptr<sim::Simulator> sim_;
};

}  // namespace lumavix::test
