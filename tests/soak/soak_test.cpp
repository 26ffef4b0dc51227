// The short fault soak: a few hundred seeded downloads with faults, every
// invariant of the harness checked on every run. The long soak (soak_long)
// runs the same harness for 10,000 runs and larger images.
#include <gtest/gtest.h>

#include <cstdio>

#include "soak/soak_harness.h"

namespace lumavix::soak {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST(FaultSoak, EveryRunEndsOnceWithinItsTimeOutsAndNeverFalselySucceeds) {
  SoakConfig config;
  config.first_seed = 1;
  // Sanitized builds run some thirty times slower; fewer runs keep the test
  // well inside its time-out there.
  config.runs = kSanitized ? 120 : 400;
  config.image_sizes = {0x4000, 0x6000, 0x8000};
  const SoakReport report = run_soak(config);
  std::printf("%s", report.summary().c_str());

  EXPECT_EQ(report.runs, config.runs) << "the soak stopped early (a hung worker?)";
  EXPECT_EQ(report.false_successes, 0u) << "success reported while the flash differs";
  EXPECT_EQ(report.multiple_or_missing_outcomes, 0u) << "each run must post exactly one outcome";
  EXPECT_EQ(report.hung, 0u);
  EXPECT_EQ(report.over_time, 0u) << "a run outlasted the time-outs its fault can cost";
  EXPECT_EQ(report.problem_runs, 0u) << report.summary();
  // Every fault kind was drawn, and the fault-free runs all succeeded.
  EXPECT_EQ(report.by_fault.size(), static_cast<std::size_t>(Fault::kCount));
  EXPECT_EQ(report.successes_by_fault.count("none") ? report.successes_by_fault.at("none") : 0u,
            report.by_fault.count("none") ? report.by_fault.at("none") : 0u);
}

}  // namespace
}  // namespace lumavix::soak
