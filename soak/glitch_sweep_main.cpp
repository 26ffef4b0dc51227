// The glitch sweep on the simulated camera: one failed transfer at every
// transfer number of `update --yes` on a finished camera (newer than the
// file, and at its version) up to where an update's first erase would fall,
// then random failures, one run per seed. Prints the counts; exits 1 when
// any run wrote to a finished camera or ended as a success, or the sweep
// could not run.
//
//   glitch_sweep [RANDOM_RUNS [FAIL_RATE [FIRST_SEED]]]   (default 1000 0.01 1)
#include <cstdio>
#include <cstdlib>

#include "soak/glitch_sweep.h"

int main(int argc, char** argv) {
  lumavix::soak::GlitchConfig config;
  if (argc > 1) config.random_runs = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (argc > 2) config.fail_rate = std::strtod(argv[2], nullptr);
  if (argc > 3) config.first_seed = std::strtoull(argv[3], nullptr, 10);
  if (argc > 4 || !(config.fail_rate >= 0.0 && config.fail_rate <= 1.0)) {
    std::fprintf(stderr, "usage: glitch_sweep [RANDOM_RUNS [FAIL_RATE [FIRST_SEED]]]\n");
    return 2;
  }
  const lumavix::soak::GlitchReport r = lumavix::soak::run_glitch_sweep(config);
  std::printf("%s", r.summary().c_str());
  return r.sound() ? 0 : 1;
}
