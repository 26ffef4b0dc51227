// The monotonic clock's sleeps: never shorter than asked, and short ones not
// stretched to a scheduler tick (Windows rounds sleeps up to 1-15.6 ms), or a
// simulated camera's 100 us transfer latency would cost whole ticks.
#include <gtest/gtest.h>

#include <chrono>

#include "devlib/clock.h"

namespace lumavix {
namespace {

using std::chrono::steady_clock;

double elapsed_ms(steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(steady_clock::now() - start).count();
}

TEST(SteadyClockSleep, ShortSleepsAreNotStretchedToATick) {
  SteadyClock c;
  const auto start = steady_clock::now();
  for (int i = 0; i < 200; ++i) c.sleep_us(100);
  const double ms = elapsed_ms(start);
  EXPECT_GE(ms, 20.0) << "200 sleeps of 100 us take at least 20 ms";
  EXPECT_LT(ms, 200.0) << "200 sleeps of 100 us took " << ms
                       << " ms: each was stretched to a scheduler tick";
}

TEST(SteadyClockSleep, MillisecondSleepsLastAtLeastTheirTime) {
  SteadyClock c;
  for (std::uint32_t ms : {1u, 3u, 20u}) {
    const auto start = steady_clock::now();
    c.sleep_ms(ms);
    const double took = elapsed_ms(start);
    EXPECT_GE(took, ms) << "sleep_ms(" << ms << ") returned after " << took << " ms";
    EXPECT_LT(took, ms + 50.0) << "sleep_ms(" << ms << ") took " << took << " ms";
  }
}

}  // namespace
}  // namespace lumavix
