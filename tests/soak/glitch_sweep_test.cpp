// A bounded glitch sweep: a failed transfer anywhere in `update --yes` on a
// finished camera, up to where an update's first erase would fall, never
// writes to it nor ends as a success (the full sweep is the program
// soak/glitch_sweep, with a thousand random runs per camera).
#include "soak/glitch_sweep.h"

#include <gtest/gtest.h>

namespace lumavix::soak {
namespace {

TEST(GlitchSweep, NoFailedTransferWritesAFinishedCameraOrSucceeds) {
  GlitchConfig config;
  config.random_runs = 60;
  config.fail_rate = 0.02;
  const GlitchReport r = run_glitch_sweep(config);
  ASSERT_TRUE(r.setup_error.empty()) << r.summary();
  EXPECT_GT(r.pass_transfers, 10u) << r.summary();
  EXPECT_GT(r.first_erase, r.pass_transfers) << "an update erases after its pass\n" << r.summary();
  EXPECT_EQ(r.single_points, 2 * std::max(r.pass_transfers, r.first_erase)) << r.summary();
  EXPECT_EQ(r.finished_writes, 0u) << "no run expected to write to a finished camera:\n"
                                   << r.summary();
  EXPECT_EQ(r.false_successes, 0u) << "no run expected to end as a success:\n" << r.summary();
}

}  // namespace
}  // namespace lumavix::soak
