// SIGUSR1 from outside reaches the window's thread as one toggle per signal,
// and the handler is gone again once the receiver is destroyed.
#include <signal.h>

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "app/qt/plug_signal.h"

namespace lumavix {
namespace {

TEST(PlugSignal, EachSignalBecomesOneToggleOnTheWindowThread) {
  {
    PlugSignal plug;
    ASSERT_TRUE(plug.installed());
    QSignalSpy spy(&plug, &PlugSignal::toggleRequested);
    ASSERT_EQ(::raise(SIGUSR1), 0);
    ASSERT_EQ(::raise(SIGUSR1), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return spy.count() >= 2; }, 2000))
        << "expected two toggles, got " << spy.count();
    QTest::qWait(50);
    EXPECT_EQ(spy.count(), 2) << "expected exactly one toggle per signal";
  }
  struct sigaction now = {};
  ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL) << "the handler must be removed with its receiver";

  // A second receiver sets itself up again.
  PlugSignal again;
  EXPECT_TRUE(again.installed());
}

}  // namespace
}  // namespace lumavix
