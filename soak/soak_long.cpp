// The long fault soak: by default 10,000 downloads with seeded faults over
// images of 16 KiB to 128 KiB. Prints a progress line every 1,000 runs and a
// summary at the end; exits 1 when any run broke an invariant.
//
//   soak_long [RUNS [FIRST_SEED]]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "soak/soak_harness.h"

int main(int argc, char** argv) {
  lumavix::soak::SoakConfig config;
  config.runs = 10000;
  config.image_sizes = {0x4000, 0x8000, 0x10000, 0x20000};
  if (argc > 1) config.runs = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  if (argc > 2) config.first_seed = std::strtoull(argv[2], nullptr, 10);
  if (config.runs == 0) {
    std::fprintf(stderr, "usage: soak_long [RUNS [FIRST_SEED]]\n");
    return 2;
  }
  std::uint32_t done = 0;
  const lumavix::soak::SoakReport report =
      lumavix::soak::run_soak(config, [&done](const lumavix::soak::RunRecord& r) {
        ++done;
        if (!r.problems.empty())
          std::printf("seed %llu: %s\n", static_cast<unsigned long long>(r.seed),
                      r.problems.front().c_str());
        if (done % 1000 == 0) {
          std::printf("%u runs\n", done);
          std::fflush(stdout);
        }
      });
  std::printf("%s", report.summary().c_str());
  return report.problem_runs == 0 ? 0 : 1;
}
