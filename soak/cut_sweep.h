// The cut-point sweep: proof that no interruption of an update leaves a
// camera the tool cannot finish updating. For one simulated camera profile it
// runs the whole job once uncut to learn how many transfers it takes, then,
// for cut points spread over every phase (the identity checks, the first
// erase, programming, the read-back, the last page), runs it again with the
// camera unplugged after that many transfers, plugs it back in with its
// memories as the cut left them, and does what a user would:
//  - profile q and the other generation-2 profiles: the device-watch pass
//    (what the window and `status` say), then the update it offers, as
//    `update --yes` runs it;
//  - the generation-0 profiles: `download` again (the window does not serve
//    those chips).
// A cut is recovered when the camera's memory ends up byte for byte as the
// uncut run left it, and the pass after the cut never called a camera whose
// memory differs "up to date", "not this product" or unidentified. Anything
// else is stranded. Runs in virtual time, in process.
//
// The user-data write is swept the same way on a camera that runs the
// file's firmware: after a cut the pass, the update it offers (a block left
// unsigned is an unfinished camera), then the write again. A camera whose
// memory is neither as it was nor as the uncut write left it must never be
// called anything but unfinished.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace lumavix::soak {

// What is cut.
enum class SweepJob : std::uint8_t {
  Firmware,       // the profile's update, or its download
  UserDataWrite,  // `userdata write --serial ABC123 --yes` (generation-2 profiles)
};

struct SweepConfig {
  sim::SimProfile profile = sim::SimProfile::Q;
  SweepJob job = SweepJob::Firmware;
  // Cut points spread evenly over the uncut run, from its first transfer to
  // its last; a further `tail_points` fall in its last 2 %, where the boot
  // configuration or boot record is written and verified.
  std::uint32_t points = 64;
  std::uint32_t tail_points = 16;
};

struct CutRecord {
  std::uint64_t cut = 0;           // the camera was unplugged after this transfer
  std::string cut_outcome;         // the cut run's outcome, "UPD_..." or "none"
  std::string presentation;        // the pass after the replug ("-" for download profiles)
  bool recovered = false;
  std::string problem;             // why it is stranded
};

struct SweepReport {
  std::string profile;
  std::uint64_t uncut_transfers = 0;  // the whole job, uncut
  std::uint32_t tried = 0;
  std::uint32_t recovered = 0;
  std::uint32_t stranded = 0;
  std::vector<CutRecord> stranded_cuts;  // every stranded cut
  std::string setup_error;               // the sweep could not run at all

  [[nodiscard]] std::string summary() const;
};

// Runs the sweep for one profile: q (or another generation-2 profile, such
// as uvc-kavex), gen0-flash or gen0-eeprom. Installs the
// clock, platform and library for its runs and restores the defaults.
[[nodiscard]] SweepReport run_cut_sweep(const SweepConfig& config);

}  // namespace lumavix::soak
