// Fault soak of the update engine: many boot-header downloads to the
// simulated camera in virtual time, each with one fault drawn from its seed,
// and the invariants every run must keep whatever the fault:
//  - exactly one outcome notification reaches the receiver, it equals the
//    engine's LastOutcome, and only the elapsed time or a last position may
//    follow it;
//  - success is reported only when the simulated flash holds the image;
//  - the worker ends (no hang, checked against a wall-clock watchdog) and
//    its virtual run time stays within the time-outs the fault can cost.
// Shared by the short soak in the test suite and the long soak program.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace lumavix::soak {

enum class Fault : std::uint8_t {
  None,
  FailAt,           // one transfer fails at a random point
  Unplug,           // the camera goes away at a random point
  StuckBusy,        // the flash's busy bit never clears
  CorruptRead,      // one byte of a flash read reply is flipped
  LockHeld,         // another party holds the library lock for a while
  StuckProtection,  // the block-protect bits cannot be cleared
  FailRate,         // transfers fail now and then
  kCount,
};

[[nodiscard]] const char* fault_name(Fault f);

struct SoakConfig {
  std::uint64_t first_seed = 1;
  std::uint32_t runs = 300;
  // Image sizes drawn from; small images keep the short soak quick.
  std::vector<std::uint32_t> image_sizes = {0x4000, 0x8000};
  // Share of code-only images (header synthesised, image at BootAddr 0x1000).
  double code_only_share = 0.25;
  // A worker still running after this much wall time counts as hung.
  std::uint32_t hang_wall_ms = 60000;
  // Virtual time a run may take beyond a clean run of the same image.
  std::uint32_t fault_allowance_ms = 20000;
  std::uint32_t latency_us = 50;  // per transfer, on the virtual clock
};

struct RunRecord {
  std::uint64_t seed = 0;
  Fault fault = Fault::None;
  std::uint64_t fault_param = 0;  // transfer number, byte number or hold time
  std::uint32_t image_size = 0;
  bool code_only = false;
  std::string outcome;  // "UPD_DOWNLOAD_DONE", ...
  std::uint64_t virtual_ms = 0;
  std::uint64_t wall_us = 0;
  std::vector<std::string> problems;  // broken invariants; empty when sound
};

struct SoakReport {
  std::uint32_t runs = 0;
  std::map<std::string, std::uint32_t> outcomes;      // by outcome name
  std::map<std::string, std::uint32_t> by_fault;      // runs per fault
  std::map<std::string, std::uint32_t> successes_by_fault;
  std::map<std::string, std::uint64_t> slowest_by_fault;  // virtual ms
  std::uint32_t false_successes = 0;
  std::uint32_t multiple_or_missing_outcomes = 0;
  std::uint32_t over_time = 0;
  std::uint32_t hung = 0;
  std::uint32_t clean_violations = 0;  // protocol violations in fault-free runs
  std::uint32_t problem_runs = 0;
  RunRecord slowest;                   // by virtual time
  std::uint64_t wall_ms = 0;
  std::vector<RunRecord> problems;     // the first few problem runs

  [[nodiscard]] std::string summary() const;
};

// Runs the soak. `progress`, when given, is called after every run. The
// library, clock and platform are installed for the run and restored to
// defaults afterwards. A hung worker ends the soak early (report.hung > 0):
// the engine cannot start another run while it lives.
[[nodiscard]] SoakReport run_soak(const SoakConfig& config,
                                  const std::function<void(const RunRecord&)>& progress = {});

}  // namespace lumavix::soak
