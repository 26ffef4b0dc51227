// A bounded cut-point sweep per profile: no cut of an update or download
// may leave a camera the tool cannot finish (the full sweep is the program
// soak/cut_sweep).
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

}  // namespace
}  // namespace lumavix::soak
