// The progress ring as the window drives it from the worker's notifications:
// dot counts of whole runs, the dots that survive a repaint, and the
// single-instance lock.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

#include <QApplication>
#include <QImage>
#include <QLabel>

#include "app/qt/qt_bridge.h"
#include "app/qt/ring.h"
#include "app/qt/single_instance.h"
#include "firmware/engine.h"
#include "platform/linux_lock.h"
#include "window_fixture.h"

namespace lumavix::qtapp_test {
namespace {

// Posts one notification as the worker would and lets the window handle it
// and draw the ring step it asks for.
void Notify(MainWindow& w, std::uint32_t code, std::uint32_t value) {
  QCoreApplication::postEvent(&w, new NotifyEvent(code, value));
  QTest::qWait(0);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
}

// Centre of the dot at progress angle `degrees` in ring-area pixels: 0 at the
// top, clockwise, radius 82 around (87, 87), pi taken as 3.14.
QPointF DotCentre(float degrees) {
  const float r = (degrees + 270.0f) * 3.14f / 180.0f;
  return {std::cos(r) * 82.0f + 87.0f, std::sin(r) * 82.0f + 87.0f};
}

bool IsDotGreen(QRgb c) { return qGreen(c) > 200 && qRed(c) < 170 && qBlue(c) < 140; }

struct StepCase {
  const char* name;
  std::vector<int> percents;  // positions notified, as percentages of the range
  int dots;
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class RingStepsTest : public WindowTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(RingStepsTest, DrawsTheDotsOfEachStep) {
  const StepCase& c = GetParam();
  StartWindow(std::string("none,") + kFast);
  if (HasFatalFailure()) return;
  Notify(window(), UPD_RANGE, 100000);
  for (int p : c.percents) {
    // Half a percent above the step keeps single-precision rounding from
    // landing just below it.
    const std::uint32_t pos = static_cast<std::uint32_t>(p) * 1000 + (p < 100 ? 500 : 0);
    Notify(window(), UPD_DOWNLOAD_POS, pos);
    ASSERT_TRUE(WaitFor([&] { return label(1043)->text() == QString("%1%").arg(p); }, 1000))
        << c.name << ": percentage expected " << p << "%, is "
        << label(1043)->text().toStdString();
  }
  EXPECT_EQ(ring()->dotsDrawn(), c.dots) << c.name << ": dots drawn";
  EXPECT_EQ(ring()->lastAngle(), 360) << c.name << ": ring expected closed at 360 degrees";
}

std::vector<int> OnePercentSteps() {
  std::vector<int> v;
  for (int p = 1; p <= 100; ++p) v.push_back(p);
  return v;
}

INSTANTIATE_TEST_SUITE_P(Runs, RingStepsTest,
                         ::testing::Values(StepCase{"one_percent_steps", OnePercentSteps(), 286},
                                           StepCase{"one_step_to_100", {100}, 201}),
                         [](const ::testing::TestParamInfo<StepCase>& tp) {
                           return std::string(tp.param.name);
                         });

TEST_F(WindowTest, RepaintKeepsTheDotsOfTheProgressReached) {
  StartWindow(std::string("none,") + kFast);
  if (HasFatalFailure()) return;
  Notify(window(), UPD_RANGE, 10000);
  for (int p = 10; p <= 50; p += 10) Notify(window(), UPD_DOWNLOAD_POS, p * 100);
  ASSERT_TRUE(WaitFor([&] { return ring()->lastAngle() == 180; }, 1000))
      << "ring expected at 180 degrees, is " << ring()->lastAngle();

  // Repaint everything: the window, then the ring on its own.
  ring()->show();
  window().repaint();
  ring()->repaint();
  const QImage img = ring()->grab().toImage();
  ASSERT_FALSE(img.isNull());
  const qreal dpr = img.devicePixelRatio();
  auto pixel = [&](float degrees) {
    const QPointF c = DotCentre(degrees) * dpr;
    return img.pixel(static_cast<int>(c.x()), static_cast<int>(c.y()));
  };
  for (float a : {0.0f, 45.0f, 90.0f, 135.0f, 178.2f}) {
    EXPECT_TRUE(IsDotGreen(pixel(a))) << "a dot expected at " << a << " degrees after a repaint, "
                                      << "pixel is #" << std::hex << pixel(a);
  }
  for (float a : {190.0f, 225.0f, 270.0f, 315.0f, 355.0f}) {
    EXPECT_FALSE(IsDotGreen(pixel(a))) << "no dot expected yet at " << a << " degrees";
  }
  // A new pass empties the ring for the next run.
  window().OnDeviceChange();
  ASSERT_TRUE(WaitForPasses(2));
  const QImage after = ring()->grab().toImage();
  const QPointF top = DotCentre(0.0f) * dpr;
  EXPECT_FALSE(IsDotGreen(after.pixel(static_cast<int>(top.x()), static_cast<int>(top.y()))))
      << "the ring expected empty after a pass";
}

// -------------------------------------------------------- one instance --

TEST_F(WindowTest, ASecondInstanceIsNotFirst) {
  FlockLockBackend locks;
  {
    SingleInstance first(locks);
    ASSERT_EQ(first.seen(), InstanceLock::Taken) << "the first instance expected to hold the lock";
    SingleInstance second(locks);
    EXPECT_EQ(second.seen(), InstanceLock::HeldByRunningCopy) << "a second instance in the same process expected refused";

    // Another process with the same lock name.
    const pid_t pid = fork();
    if (pid == 0) {
      FlockLockBackend childLocks;
      SingleInstance other(childLocks);
      _exit(other.seen() == InstanceLock::HeldByRunningCopy ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "a second process expected to find the lock held";
  }
  SingleInstance again(locks);
  EXPECT_EQ(again.seen(), InstanceLock::Taken) << "the lock expected free once the first instance ended";
  SingleInstance otherName(locks, "lumavix_other_tool");
  EXPECT_EQ(otherName.seen(), InstanceLock::Taken) << "a lock of another name expected independent";
}

}  // namespace
}  // namespace lumavix::qtapp_test
