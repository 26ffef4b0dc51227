// The glitch sweep: proof that a failed transfer is never taken for evidence
// about the camera. Two finished cameras, one newer than the firmware file
// and one at its version, are each run through `update --yes FILE` as the
// command line runs it (the device-watch pass, the file and image checks,
// then the update only when the pass offers one):
//  - with one failed transfer (`fail-at=N`) at every transfer number of the
//    pass and of the start of an update up to its first erase (measured on a
//    camera that does need the update);
//  - with random failures (`fail-rate`), one run per seed.
// A run is at fault when anything was written to the finished camera (an
// erase, a page program or a status write, or any byte of its flash
// changed), or when it ends as a success would (the update's verified end,
// or a presentation that makes `update` exit 0). Runs in virtual time, in
// process.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lumavix::soak {

struct GlitchConfig {
  // One failure at each transfer number from 1 to the measured range; 0
  // skips that part, and a smaller number than the range stops there.
  std::uint32_t single_limit = 0xFFFFFFFF;
  // Random runs per camera, with seeds first_seed, first_seed + 1, ...
  std::uint32_t random_runs = 1000;
  double fail_rate = 0.01;
  std::uint64_t first_seed = 1;
};

struct GlitchReport {
  std::uint64_t pass_transfers = 0;   // the pass on a finished camera, without failure
  std::uint64_t first_erase = 0;      // the transfer that erases first, on an older camera
  std::uint32_t single_points = 0;    // fail-at runs (both cameras)
  std::uint32_t random_points = 0;    // fail-rate runs (both cameras)
  std::uint32_t finished_writes = 0;  // runs that wrote to a finished camera
  std::uint32_t false_successes = 0;  // runs that ended as a success
  // How the runs ended: the pass's presentation, or the update's outcome.
  std::map<std::string, std::uint32_t> endings;
  std::vector<std::string> faults;  // the first faulty runs, described
  std::string setup_error;

  [[nodiscard]] std::uint32_t points() const { return single_points + random_points; }
  [[nodiscard]] bool sound() const {
    return setup_error.empty() && finished_writes == 0 && false_successes == 0;
  }
  [[nodiscard]] std::string summary() const;
};

// Installs the clock, platform and library for its runs and restores the
// defaults.
[[nodiscard]] GlitchReport run_glitch_sweep(const GlitchConfig& config);

}  // namespace lumavix::soak
