// The cut-point sweep over the camera profiles: q and uvc-kavex through the
// device watch and `update`, gen0-flash and gen0-eeprom through `download`,
// and the user-data write on q. Prints
// one summary line per profile (and every stranded cut); exits 1 when any
// cut was stranded or a sweep could not run.
//
//   cut_sweep [POINTS [TAIL_POINTS]]     (default 96 and 32)
#include <cstdio>
#include <cstdlib>

#include "soak/cut_sweep.h"

int main(int argc, char** argv) {
  lumavix::soak::SweepConfig config;
  config.points = 96;
  config.tail_points = 32;
  if (argc > 1) config.points = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (argc > 2) config.tail_points = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  if (config.points < 2) {
    std::fprintf(stderr, "usage: cut_sweep [POINTS [TAIL_POINTS]]  (POINTS at least 2)\n");
    return 2;
  }
  bool sound = true;
  for (const auto profile : {lumavix::sim::SimProfile::Q, lumavix::sim::SimProfile::UvcKavex,
                             lumavix::sim::SimProfile::Gen0Flash,
                             lumavix::sim::SimProfile::Gen0Eeprom}) {
    config.profile = profile;
    const lumavix::soak::SweepReport r = lumavix::soak::run_cut_sweep(config);
    std::printf("%s", r.summary().c_str());
    std::fflush(stdout);
    sound = sound && r.setup_error.empty() && r.stranded == 0;
  }
  config.profile = lumavix::sim::SimProfile::Q;
  config.job = lumavix::soak::SweepJob::UserDataWrite;
  const lumavix::soak::SweepReport r = lumavix::soak::run_cut_sweep(config);
  std::printf("%s", r.summary().c_str());
  sound = sound && r.setup_error.empty() && r.stranded == 0;
  return sound ? 0 : 1;
}
