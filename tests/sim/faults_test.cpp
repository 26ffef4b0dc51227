#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "devlib/clock.h"
#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

TEST(SimFaults, FailAtOneTransferAndCountEverything) {
  SimCameraConfig cfg = quiet_config();
  cfg.fail_at = 3;
  SimCamera cam(cfg);
  Frames f(cam);
  std::array<std::uint8_t, 41> r{};
  EXPECT_EQ(f.set87({0x08, 0, 0, 4}), 5);  // 1
  EXPECT_EQ(f.get93(r), 41);               // 2
  EXPECT_EQ(f.set87({0x08, 0, 0, 4}), -EIO);  // 3
  EXPECT_EQ(f.get93(r), -EPIPE);              // 4
  // Transfer 3 fails and does nothing, so transfer 4 has no command.
  EXPECT_EQ(f.set87({0x08, 0, 0, 4}), 5);
  EXPECT_EQ(f.get93(r), 41);
  const TransferCounters c = cam.counters();
  EXPECT_EQ(c.total, 6u);
  EXPECT_EQ(c.sets[0x87], 3u);
  EXPECT_EQ(c.gets[0x93], 3u);
  EXPECT_EQ(c.failed, 2u) << "the injected failure and the orphaned get";
}

TEST(SimFaults, InjectedFailureOnAReplyLeavesNoViolationBehind) {
  SimCameraConfig cfg = quiet_config();
  cfg.fail_at = 2;
  SimCamera cam(cfg);
  Frames f(cam);
  std::array<std::uint8_t, 41> r{};
  EXPECT_EQ(f.set87({0x08, 0, 0, 4}), 5);
  EXPECT_EQ(f.get93(r), -EIO);
  EXPECT_EQ(f.reg_read16(0x0006, 1), 0x4Fu) << "the caller simply starts over";
  EXPECT_TRUE(cam.violations().empty());
}

TEST(SimFaults, UnplugAfterN) {
  SimHidBackend backend;
  SimCameraConfig cfg = quiet_config();
  cfg.unplug_after = 2;
  SimCamera& cam = *backend.add_camera(cfg);
  std::vector<HidInterfaceInfo> list;
  SysError err;
  ASSERT_TRUE(backend.enumerate(list, err));
  ASSERT_EQ(list.size(), 1u);
  auto dev = backend.open(list[0].path, err);
  ASSERT_NE(dev, nullptr);

  const std::uint8_t cmd[5] = {0x87, 0x08, 0, 0, 4};
  std::array<std::uint8_t, 41> reply{0x93};
  EXPECT_EQ(dev->set_feature(cmd), 5);
  EXPECT_EQ(dev->get_feature(reply), 41);
  EXPECT_EQ(dev->set_feature(cmd), -ENODEV);
  EXPECT_EQ(dev->get_feature(reply), -ENODEV) << "every later transfer fails";
  EXPECT_TRUE(cam.unplugged());

  list.clear();
  ASSERT_TRUE(backend.enumerate(list, err));
  EXPECT_TRUE(list.empty()) << "an unplugged camera is not listed";
  EXPECT_EQ(backend.open(cam.path(), err), nullptr);
  EXPECT_EQ(err.code, ENODEV);

  cam.replug();
  list.clear();
  ASSERT_TRUE(backend.enumerate(list, err));
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(dev->set_feature(cmd), 5);
}

TEST(SimFaults, RandomFailuresFollowTheSeed) {
  auto failures = [](double p, std::uint64_t seed) {
    SimCameraConfig cfg = quiet_config();
    cfg.fail_rate = p;
    cfg.seed = seed;
    SimCamera cam(cfg);
    Frames f(cam);
    std::vector<int> failed;
    for (int i = 1; i <= 400; ++i) {
      const std::uint8_t b[5] = {0x87, 0x08, 0, 0, 4};
      if (cam.set_feature(b) < 0) failed.push_back(i);
    }
    return failed;
  };
  EXPECT_TRUE(failures(0.0, 1).empty());
  EXPECT_EQ(failures(1.0, 1).size(), 400u);
  const auto a = failures(0.25, 42);
  EXPECT_EQ(a, failures(0.25, 42)) << "same seed, same failures";
  EXPECT_NE(a, failures(0.25, 43));
  EXPECT_GT(a.size(), 60u);
  EXPECT_LT(a.size(), 140u);
}

TEST(SimFaults, LatencyRunsOnTheInstalledClock) {
  VirtualClock vc;
  set_clock(&vc);
  {
    SimCameraConfig cfg = quiet_config();
    cfg.latency_us = 250;
    SimCamera cam(cfg);
    Frames f(cam);
    (void)f.reg_read16(0, 4);
    (void)f.reg_read16(0, 4);
    EXPECT_EQ(vc.now_us(), 1000u);
  }
  set_clock(nullptr);
}

TEST(SimFaults, CountersCanBeReadWhileAnotherThreadDrivesTheCamera) {
  SimCamera cam(quiet_config());
  constexpr int kReads = 3000;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    Frames f(cam);
    for (int i = 0; i < kReads; ++i) (void)f.flash_status();
    done = true;
  });
  std::uint64_t last = 0;
  while (!done) {
    const std::uint64_t now = cam.counters().total;
    EXPECT_GE(now, last);
    last = now;
  }
  worker.join();
  EXPECT_EQ(cam.counters().total, 4u * kReads);
  EXPECT_TRUE(cam.violations().empty());
}

}  // namespace
}  // namespace lumavix::sim::test
