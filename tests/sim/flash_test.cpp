#include <gtest/gtest.h>

#include <numeric>

#include "devlib/clock.h"
#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 37);
  return v;
}

SimCameraConfig with_flash(std::array<std::uint8_t, 3> id) {
  SimOptions o;
  o.latency_us = 0;
  o.busy = false;
  o.flash_id = id;
  return camera_config_for(o);
}

TEST(SimFlash, AnswersIdentificationAsConfigured) {
  const std::array<std::uint8_t, 3> ids[] = {
      {0xC2, 0x20, 0x11}, {0xC2, 0x22, 0x10}, {0xEF, 0x30, 0x14}, {0x00, 0x00, 0x00},
      {0xAB, 0xCD, 0xEF}};
  for (const auto& id : ids) {
    SimCamera cam(with_flash(id));
    Frames f(cam);
    EXPECT_EQ(f.flash_id(), std::vector<std::uint8_t>(id.begin(), id.end()));
    EXPECT_FALSE(cam.flash_selected()) << "finish=1 deselects";
  }
  // No flash at all: the data line floats high.
  SimCamera none(quiet_config(SimProfile::Gen0Eeprom));
  Frames f(none);
  EXPECT_EQ(f.flash_id(), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(f.flash_status(), 0xFF);
}

TEST(SimFlash, EraseProgramReadBack) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  EXPECT_EQ(f.flash_status() & 0x03, 0x00);
  f.write_enable();
  EXPECT_EQ(f.flash_status() & 0x03, 0x02) << "latch set";
  f.sector_erase(0x1234);  // any address inside the sector
  EXPECT_EQ(f.flash_status() & 0x03, 0x00) << "erase done, latch cleared";
  EXPECT_EQ(cam.flash_bytes(0x1000, 0x1000), std::vector<std::uint8_t>(0x1000, 0xFF));
  EXPECT_NE(cam.flash_bytes(0x2000, 1)[0], 0xFF) << "the next sector keeps its image";

  const auto data = pattern(256, 3);
  f.write_enable();
  f.page_program(0x1100, data);
  EXPECT_EQ(f.flash_read(0x1100, 256), data);
  EXPECT_EQ(cam.flash_bytes(0x1100, 256), data);
  EXPECT_EQ(f.flash_read(0x10FE, 4), (std::vector<std::uint8_t>{0xFF, 0xFF, data[0], data[1]}));
  const SpiFlashStats s = cam.flash_stats();
  EXPECT_EQ(s.sector_erases, 1u);
  EXPECT_EQ(s.page_programs, 1u);
  EXPECT_EQ(s.ignored, 0u);
  EXPECT_TRUE(cam.violations().empty());
}

TEST(SimFlash, ProgramOnlyClearsBits) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  f.write_enable();
  f.sector_erase(0);
  f.write_enable();
  f.page_program(0x10, {0xF0, 0x3C});
  f.write_enable();
  f.page_program(0x10, {0x0F, 0xFF});
  EXPECT_EQ(cam.flash_bytes(0x10, 2), (std::vector<std::uint8_t>{0x00, 0x3C}));
  f.write_enable();
  f.sector_erase(0);
  EXPECT_EQ(cam.flash_bytes(0x10, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
}

TEST(SimFlash, ProgramWrapsInsideItsPage) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  f.write_enable();
  f.sector_erase(0);
  f.write_enable();
  f.page_program(0x01FC, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(cam.flash_bytes(0x01FC, 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(cam.flash_bytes(0x0100, 4), (std::vector<std::uint8_t>{5, 6, 7, 8}))
      << "bytes past the page end wrap to the page start";
  EXPECT_EQ(cam.flash_bytes(0x0200, 4), std::vector<std::uint8_t>(4, 0xFF))
      << "the next page is not touched";

  // More than a page: only the last page-full is programmed.
  f.write_enable();
  f.sector_erase(0);
  const auto data = pattern(300, 9);
  f.write_enable();
  f.page_program(0x0300, data);
  const auto page = cam.flash_bytes(0x0300, 256);
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint8_t want = i < 44 ? data[256 + i] : data[i];
    ASSERT_EQ(page[i], want) << "page offset " << i;
  }
}

TEST(SimFlash, SmallPagePartWrapsAt32) {
  SimCamera cam(with_flash({0xC2, 0x22, 0x10}));
  Frames f(cam);
  f.write_enable();
  f.sector_erase(0);
  const auto data = pattern(40, 1);
  f.write_enable();
  f.page_program(0, data);
  const auto got = cam.flash_bytes(0, 40);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(got[i], data[32 + i]) << i;
  EXPECT_EQ(got[32], 0xFF) << "nothing reaches the next 32-byte page";
}

TEST(SimFlash, WritesWithoutLatchAreIgnored) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  const auto before = cam.flash_bytes(0, 0x1000);
  f.sector_erase(0);
  f.page_program(0x20, {0x00, 0x00});
  EXPECT_EQ(cam.flash_bytes(0, 0x1000), before);
  EXPECT_EQ(cam.flash_stats().ignored, 2u);

  f.write_enable();
  f.write_disable();
  EXPECT_EQ(f.flash_status() & 0x02, 0);
  f.sector_erase(0);
  EXPECT_EQ(cam.flash_bytes(0, 0x1000), before);

  // A latch is used up by one operation.
  f.write_enable();
  f.sector_erase(0);
  f.page_program(0x20, {0x00});
  EXPECT_EQ(cam.flash_bytes(0x20, 1)[0], 0xFF);
}

TEST(SimFlash, ProtectedBlocksAreIgnored) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  // Both protect bits, through a status write as the library does it.
  f.write_enable();
  f.spi_write(1, {0x01, 0x0C});
  EXPECT_EQ(f.flash_status() & 0x0C, 0x0C);
  const auto before = cam.flash_bytes(0, 0x20000);
  f.write_enable();
  f.sector_erase(0x5000);
  f.write_enable();
  f.page_program(0x100, {0x00});
  EXPECT_EQ(cam.flash_bytes(0, 0x20000), before) << "everything protected";

  // BP = 01 protects the top quarter only.
  f.write_enable();
  f.spi_write(1, {0x01, 0x04});
  f.write_enable();
  f.sector_erase(0x1F000);
  EXPECT_EQ(cam.flash_bytes(0x1F000, 16), std::vector<std::uint8_t>(before.begin() + 0x1F000,
                                                                    before.begin() + 0x1F010));
  f.write_enable();
  f.sector_erase(0x0000);
  EXPECT_EQ(cam.flash_bytes(0, 16), std::vector<std::uint8_t>(16, 0xFF));

  // A status write without the latch changes nothing.
  f.spi_write(1, {0x01, 0x00});
  EXPECT_EQ(f.flash_status() & 0x0C, 0x04);
}

class SimFlashTime : public ::testing::Test {
 protected:
  void SetUp() override { set_clock(&clock_); }
  void TearDown() override { set_clock(nullptr); }
  VirtualClock clock_{1000};
};

TEST_F(SimFlashTime, BusyUntilTheOperationTimePasses) {
  SimCameraConfig cfg = quiet_config();
  cfg.busy_times = true;
  SimCamera cam(cfg);
  Frames f(cam);
  f.write_enable();
  f.sector_erase(0x3000);
  EXPECT_EQ(f.flash_status() & 0x03, 0x03) << "busy, latch still set";
  // While busy the part hears nothing but status reads.
  f.write_enable();
  f.write_disable();
  EXPECT_EQ(f.flash_read(0x3000, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(f.flash_id(), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF}));
  clock_.advance_ms(39);
  EXPECT_EQ(f.flash_status() & 0x01, 0x01) << "sector erase takes 40 ms";
  clock_.advance_ms(1);
  EXPECT_EQ(f.flash_status() & 0x03, 0x00) << "done, latch cleared by the erase";

  f.write_enable();
  f.page_program(0x3000, {0x12});
  EXPECT_EQ(f.flash_status() & 0x01, 0x01);
  clock_.advance_ms(1);
  EXPECT_EQ(f.flash_status() & 0x01, 0x00);
  EXPECT_EQ(cam.flash_bytes(0x3000, 1)[0], 0x12);
}

TEST_F(SimFlashTime, StuckBusyNeverClears) {
  SimCameraConfig cfg = quiet_config();
  cfg.busy_times = false;
  SimCamera cam(cfg);
  cam.set_stuck_busy(true);
  Frames f(cam);
  EXPECT_EQ(f.flash_status() & 0x01, 0x00) << "idle until an operation starts";
  f.write_enable();
  f.sector_erase(0);
  clock_.advance_ms(60'000);
  EXPECT_EQ(f.flash_status() & 0x01, 0x01);
}

TEST(SimFlash, TransactionStaysOpenAcrossPieces) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  const auto image = cam.flash_bytes(0x40, 80);
  f.spi_write(0, {0x03, 0x00, 0x00, 0x40});
  EXPECT_TRUE(cam.flash_selected());
  std::vector<std::uint8_t> got;
  for (int piece = 0; piece < 3; ++piece) {
    EXPECT_TRUE(cam.flash_selected());
    const auto p = f.spi_read(piece == 2 ? 16 : 32, piece == 2 ? 1 : 0);
    got.insert(got.end(), p.begin(), p.end());
  }
  EXPECT_FALSE(cam.flash_selected());
  EXPECT_EQ(got, image) << "each read piece continues where the last one stopped";
  // A new transaction starts from its own address.
  EXPECT_EQ(f.flash_read(0x40, 4), std::vector<std::uint8_t>(image.begin(), image.begin() + 4));
}

}  // namespace
}  // namespace lumavix::sim::test
