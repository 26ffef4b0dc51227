// The one single-instance rule of both windows: only a lock seen held by a
// running copy ends a start; what each system's lock reports is tested with
// that lock (tests/qtapp for flock, tests/win for the mutexes).
#include <gtest/gtest.h>

#include "app/core/main_window_core.h"

namespace lumavix {
namespace {

TEST(InstanceRule, OnlyARunningCopyEndsAStart) {
  const struct {
    InstanceLock seen;
    bool ends;
    const char* why;
  } cases[] = {
      {InstanceLock::Taken, false, "this copy holds the lock"},
      {InstanceLock::HeldByRunningCopy, true, "another copy runs"},
      {InstanceLock::Unavailable, false,
       "a lock that cannot be made is no evidence of another copy"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EndsAsSecondCopy(c.seen), c.ends) << c.why;
}

}  // namespace
}  // namespace lumavix
