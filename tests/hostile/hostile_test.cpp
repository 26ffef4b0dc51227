// Every library operation against a device whose replies are arbitrary:
// random status bytes, counts and lengths, short replies, failed and
// swallowed transfers and made-up report descriptors. Run under ASan (the
// asan preset) this also proves that no reply makes the library read or
// write outside a buffer.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "sim/simulator.h"
#include "soak/hostile_device.h"

namespace lumavix::hostile {
namespace {

class HostileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string templ = (std::filesystem::temp_directory_path() / "lumavix-hostile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    FirmwareBuildOptions o;
    o.image_size = 0x4000;
    file_ = build_firmware_file(o);
    path_ = dir_ + "/fw.bin";
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(file_.data()), static_cast<std::streamsize>(file_.size()));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static sim::SimCameraConfig camera_config() {
    sim::SimOptions o;
    o.profile = sim::SimProfile::Q;
    return sim::camera_config_for(o);
  }

  // One pass over every operation; returns the broken guarantees.
  static std::vector<std::string> drive(ByteSource& src, std::uint8_t hostility, bool download,
                                        HostileStats* stats = nullptr) {
    sim::SimCamera cam(camera_config());
    HostileHid device(src, cam, hostility, 100, WhenExhausted::PassThrough);
    auto problems = drive_library(device, cam, download, path_, file_);
    if (stats) *stats = device.stats();
    return problems;
  }

  static std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& p : v) s += "\n  " + p;
    return s;
  }

  static inline std::string dir_;
  static inline std::string path_;
  static inline std::vector<std::uint8_t> file_;
};

// Without tampering the drive itself must pass and the download succeed:
// otherwise the checks below would prove nothing.
TEST_F(HostileTest, FriendlyDevicePassesEveryCheck) {
  RandomSource src(7);
  sim::SimCamera cam(camera_config());
  HostileHid device(src, cam, 0, 100, WhenExhausted::PassThrough);
  const auto problems = drive_library(device, cam, true, path_, file_);
  EXPECT_TRUE(problems.empty()) << join(problems);
  EXPECT_EQ(device.stats().passed, device.stats().transfers);
  EXPECT_EQ(cam.flash_bytes(0, static_cast<std::uint32_t>(file_.size() - 4)),
            std::vector<std::uint8_t>(file_.begin() + 4, file_.end()))
      << "the download must have written the image";
  EXPECT_TRUE(cam.violations().empty()) << cam.violations().front().message;
}

TEST_F(HostileTest, ArbitraryRepliesNeitherBreakBuffersNorLoopNorFakeSuccess) {
  // Hostility from a transfer in 256 to every transfer; the download is
  // driven on the milder levels, where it gets far enough to matter.
  struct Level {
    std::uint8_t hostility;
    bool download;
    int seeds;
  };
  const Level levels[] = {{1, true, 40}, {8, true, 40}, {40, true, 30}, {128, false, 40},
                          {255, false, 40}};
  std::uint64_t transfers = 0, tampered = 0;
  for (const Level& level : levels) {
    for (int seed = 1; seed <= level.seeds; ++seed) {
      RandomSource src(static_cast<std::uint64_t>(seed) * 1000 + level.hostility);
      HostileStats stats;
      const auto problems = drive(src, level.hostility, level.download, &stats);
      EXPECT_TRUE(problems.empty()) << "hostility " << int(level.hostility) << "/256, seed "
                                    << seed << ":" << join(problems);
      transfers += stats.transfers;
      tampered += stats.transfers - stats.passed;
    }
  }
  EXPECT_GT(tampered, 1000u) << "the device must really have been hostile";
  std::printf("hostile drive: %llu transfers, %llu tampered with\n",
              static_cast<unsigned long long>(transfers), static_cast<unsigned long long>(tampered));
}

TEST_F(HostileTest, DeviceThatVanishesMidwayEndsEveryOperation) {
  // A short script then "unplugged" for ever: every wait must run out.
  for (std::size_t length : {0u, 5u, 40u, 400u}) {
    std::vector<std::uint8_t> script(length);
    for (std::size_t i = 0; i < length; ++i) script[i] = static_cast<std::uint8_t>(i * 37 + 11);
    ScriptSource src(script);
    sim::SimCamera cam(camera_config());
    HostileHid device(src, cam, 200, 500, WhenExhausted::Unplugged);
    const auto problems = drive_library(device, cam, true, path_, file_);
    EXPECT_TRUE(problems.empty()) << "script of " << length << " bytes:" << join(problems);
  }
}

}  // namespace
}  // namespace lumavix::hostile
