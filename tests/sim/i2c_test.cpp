#include <gtest/gtest.h>

#include <cerrno>

#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

constexpr std::uint8_t kEeprom = 0xA0;
constexpr std::uint8_t kNobody = 0x50;

void allow_eeprom_writes(Frames& f) {
  const std::uint8_t v = static_cast<std::uint8_t>(f.reg_read16(0x0006, 1));
  f.reg_write16(0x0006, {static_cast<std::uint8_t>(v & ~0x04)});
}

TEST(SimI2c, ExtendedReadOfTheEeprom) {
  SimCamera cam(quiet_config());
  cam.write_eeprom_bytes(0x0010, std::vector<std::uint8_t>{0x55, 0xAA, 0x77});
  Frames f(cam);
  EXPECT_EQ(f.set97({0x0C, 0x00, kEeprom, 0x00, 0x02, 0x00, 0x10, 0x02}), 41);
  const auto r = f.get93();
  EXPECT_EQ(r[0], 0x02) << "status byte = bytes read";
  EXPECT_EQ(r[1], 0x55);
  EXPECT_EQ(r[2], 0xAA);
  EXPECT_EQ(r[3], 0x00) << "nothing beyond the count";
  // Without a sub-address the read continues from the pointer.
  EXPECT_EQ(f.set97({0x0C, 0x00, kEeprom, 0x00, 0x00, 0x01}), 41);
  EXPECT_EQ(f.get93()[1], 0x77);
  EXPECT_TRUE(cam.violations().empty());
}

TEST(SimI2c, ExtendedWriteHonoursWriteProtect) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  const std::vector<std::uint8_t> frame = {0x0D, 0x00, kEeprom, 0x00, 0x00, 0x05,
                                           0x01, 0x00, 0x11, 0x22, 0x33};
  // Register 0x06 starts with bit 2 set: the EEPROM keeps its content.
  EXPECT_EQ(f.set97(frame), 41);
  EXPECT_EQ(f.set93(frame), 41);
  EXPECT_EQ(cam.eeprom_bytes(0x0100, 3), std::vector<std::uint8_t>(3, 0xFF));

  allow_eeprom_writes(f);
  EXPECT_EQ(f.set97(frame), 41);
  EXPECT_EQ(f.set93(frame), 41);
  EXPECT_EQ(cam.eeprom_bytes(0x0100, 3), (std::vector<std::uint8_t>{0x11, 0x22, 0x33}));
  EXPECT_TRUE(cam.violations().empty());
}

TEST(SimI2c, EepromPageWriteWrapsAt64Bytes) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  allow_eeprom_writes(f);
  std::vector<std::uint8_t> frame = {0x0D, 0, kEeprom, 0, 0, 6, 0x00, 0x3E, 1, 2, 3, 4};
  EXPECT_EQ(f.set97(frame), 41);
  EXPECT_EQ(f.set93(frame), 41);
  EXPECT_EQ(cam.eeprom_bytes(0x3E, 2), (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(cam.eeprom_bytes(0x00, 2), (std::vector<std::uint8_t>{3, 4}));
  EXPECT_EQ(cam.eeprom_bytes(0x40, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
}

TEST(SimI2c, ExtendedReadOfAMissingSlaveFails) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  EXPECT_EQ(f.set97({0x0C, 0x00, kNobody, 0x00, 0x01, 0x00, 0x04}), 41);
  const auto r = f.get93();
  EXPECT_EQ(r[0], 0x00) << "no answer: status 0";
  EXPECT_EQ(f.reg_read16(0x0005, 1) & 0x10u, 0u) << "bit 4 reports legacy transfers only";
}

TEST(SimI2c, LegacyPathWhenExtendedIsRefused) {
  SimCamera cam(quiet_config());
  cam.set_refuse_97(true);
  cam.write_eeprom_bytes(0x0010, std::vector<std::uint8_t>{0x5A, 0xA5});
  Frames f(cam);
  EXPECT_LT(f.set97({0x0C, 0x00, kEeprom, 0x00, 0x02, 0x00, 0x10, 0x02}), 0);
  // Sub-address first as a write without data, then the read.
  EXPECT_EQ(f.set87({0x03, 0, 0, 0}), 5);
  EXPECT_EQ(f.set93({kEeprom, 0x02, 0x00, 0x00, 0x10}), 41);
  EXPECT_EQ(f.set87({0x02, kEeprom, 0x02, 0x01}), 5);
  const auto r = f.get93();
  EXPECT_EQ(r[0], 0x5A) << "legacy replies carry data from byte 0";
  EXPECT_EQ(r[1], 0xA5);
  EXPECT_EQ(f.reg_read16(0x0005, 1) & 0x10u, 0u);
  EXPECT_TRUE(cam.violations().empty()) << "a refused 0x97 is not a protocol breach";
}

TEST(SimI2c, LegacyTransferToMissingSlaveSetsBit4) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  EXPECT_EQ(f.set87({0x03, 0, 0, 0}), 5);
  EXPECT_EQ(f.set93({kNobody, 0x01, 0x00, 0x00}), 41);
  EXPECT_EQ(f.reg_read16(0x0005, 1) & 0x10u, 0x10u);
  EXPECT_EQ(f.set87({0x02, kNobody, 0x04, 0x01}), 5);
  EXPECT_EQ(f.get93()[0], 0xFF) << "an undriven bus reads high";
  EXPECT_EQ(f.reg_read16(0x0005, 1) & 0x10u, 0x10u);

  // The next answered transfer clears it again.
  allow_eeprom_writes(f);
  EXPECT_EQ(f.set87({0x03, 0, 0, 0}), 5);
  EXPECT_EQ(f.set93({kEeprom, 0x03, 0x01, 0x00, 0x20, 0x42}), 41);
  EXPECT_EQ(f.reg_read16(0x0005, 1) & 0x10u, 0u);
  EXPECT_EQ(cam.eeprom_bytes(0x20, 1)[0], 0x42);
}

}  // namespace
}  // namespace lumavix::sim::test
