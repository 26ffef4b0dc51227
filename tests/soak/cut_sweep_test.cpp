// A bounded cut-point sweep per profile: no cut of an update, a download or
// a user-data write may leave a camera the tool cannot finish (the full
// sweep is the program soak/cut_sweep).
#include "soak/cut_sweep.h"

#include <gtest/gtest.h>

namespace lumavix::soak {
namespace {

TEST(CutSweep, NoCutStrandsACamera) {
  for (const sim::SimProfile profile :
       {sim::SimProfile::Q, sim::SimProfile::Gen0Flash, sim::SimProfile::Gen0Eeprom}) {
    SweepConfig config;
    config.profile = profile;
    config.points = 24;
    config.tail_points = 8;
    const SweepReport r = run_cut_sweep(config);
    ASSERT_TRUE(r.setup_error.empty()) << r.summary();
    EXPECT_GE(r.tried, 24u) << r.summary();
    EXPECT_EQ(r.stranded, 0u) << "every cut expected to be recovered:\n" << r.summary();
  }
}

// The user-data write, cut: the pass never calls a half-written sector
// finished, and the update it offers and the write again end where an uncut
// write does.
TEST(CutSweep, NoCutOfTheUserDataWriteStrandsACamera) {
  SweepConfig config;
  config.profile = sim::SimProfile::Q;
  config.job = SweepJob::UserDataWrite;
  config.points = 40;
  config.tail_points = 8;
  const SweepReport r = run_cut_sweep(config);
  ASSERT_TRUE(r.setup_error.empty()) << r.summary();
  EXPECT_GE(r.tried, 40u) << r.summary();
  EXPECT_EQ(r.stranded, 0u) << "every cut expected to be recovered:\n" << r.summary();
}

}  // namespace
}  // namespace lumavix::soak
