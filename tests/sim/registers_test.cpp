#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

TEST(SimRegisters, IdentityFollowsProfile) {
  struct Case {
    SimProfile profile;
    bool gen2;
    bool spi_boot;
  };
  const Case cases[] = {{SimProfile::Q, true, true},
                        {SimProfile::Gen0Flash, false, true},
                        {SimProfile::Gen0Eeprom, false, false}};
  for (const Case& c : cases) {
    SimCamera cam(quiet_config(c.profile));
    Frames f(cam);
    const std::uint32_t id = f.reg_read16(0x0000, 4);
    const unsigned nibble = (id & 0xF0u) >> 4;
    EXPECT_EQ(nibble == 0xB || nibble == 0xC, c.gen2) << profile_name(c.profile);
    // The window's wider test (mask 0xB0) must agree.
    EXPECT_EQ((id & 0xB0u) != 0, c.gen2) << profile_name(c.profile);
    EXPECT_EQ((f.reg_read16(0x0005, 1) & 0x80u) != 0, c.spi_boot) << profile_name(c.profile);
    EXPECT_EQ(f.reg_read8(0x0A, 1) >= 0xA0, c.gen2) << profile_name(c.profile);
    EXPECT_TRUE(cam.violations().empty());
  }
}

TEST(SimRegisters, NarrowAndWideAccessShareOneRegisterFile) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  // [0x09,0,0,0] then [0x12, 0x00, 0x01, 0x34].
  f.reg_write16(0x0012, {0x34});
  EXPECT_EQ(f.reg_read8(0x12, 1), 0x34u);
  EXPECT_EQ(f.reg_read16(0x0012, 1), 0x34u);

  f.reg_write8(0x40, {0x11, 0x22, 0x33, 0x44});
  EXPECT_EQ(f.reg_read16(0x0040, 4), 0x44332211u) << "little-endian value bytes";
  EXPECT_EQ(f.reg_read16(0x0041, 2), 0x3322u);
  EXPECT_EQ(f.reg_read8(0x40, 1), 0x11u) << "a 1-byte read returns only that byte";

  f.reg_write16(0x1234, {0xAB, 0xCD});
  EXPECT_EQ(cam.reg(0x1234), 0xAB);
  EXPECT_EQ(cam.reg(0x1235), 0xCD);
  EXPECT_EQ(cam.reg(0x0034), 0x00) << "the high address byte is not dropped";
  EXPECT_TRUE(cam.violations().empty());
}

TEST(SimRegisters, ReadOnlyAndDeviceOwnedBits) {
  SimCamera cam(quiet_config(SimProfile::Gen0Eeprom));
  Frames f(cam);
  const std::uint32_t id = f.reg_read16(0x0000, 4);
  f.reg_write16(0x0000, {0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(f.reg_read16(0x0000, 4), id) << "the chip id cannot be written";

  f.reg_write8(0x05, {0xFF});
  EXPECT_EQ(f.reg_read8(0x05, 1), 0x6Fu) << "bits 7 (memory kind) and 4 (I2C) belong to the chip";

  EXPECT_EQ(f.reg_read8(0x06, 1), 0x4Fu) << "reset value of the EEPROM control register";

  f.reg_write16(0x0080, {0x12});
  f.reg_write16(0x0081, {0x34});
  EXPECT_EQ(f.reg_read16(0x0084, 1), 0x12u);
  EXPECT_EQ(f.reg_read16(0x0085, 1), 0x34u);
  f.reg_write16(0x0084, {0x99});
  EXPECT_EQ(f.reg_read16(0x0084, 1), 0x12u) << "the read-back address is an input";
}

TEST(SimViolations, AreRecordedAndStalled) {
  struct Case {
    const char* what;
    std::function<int(Frames&, SimCamera&)> run;  // returns the last transfer's result
    const char* expect;                           // part of the recorded message
  };
  const Case cases[] = {
      {"0x93 get without command",
       [](Frames& f, SimCamera&) {
         std::array<std::uint8_t, 41> r{};
         return f.get93(r);
       },
       "without a preceding read command"},
      {"0x93 set without command", [](Frames& f, SimCamera&) { return f.set93({1, 2, 3}); },
       "without a preceding write command"},
      {"0x93 set after a read command",
       [](Frames& f, SimCamera&) {
         (void)f.set87({0x08, 0, 0, 4});
         return f.set93({0});
       },
       "without a preceding write command"},
      {"unknown 0x87 command", [](Frames& f, SimCamera&) { return f.set87({0x42, 0, 0, 0}); },
       "unknown command 0x42"},
      {"unknown 0x97 command",
       [](Frames& f, SimCamera&) { return f.set97({0x0E, 0, 0xA0, 0, 0, 1}); },
       "unknown command 0x0E on report 0x97"},
      {"0x87 of 6 payload bytes",
       [](Frames&, SimCamera& c) {
         const std::uint8_t b[7] = {0x87, 0x08, 0, 0, 4, 0, 0};
         return c.set_feature(b);
       },
       "SET_REPORT 0x87 of 7 bytes (expected 5)"},
      {"short 0x93 get",
       [](Frames& f, SimCamera& c) {
         (void)f.set87({0x08, 0, 0, 4});
         std::array<std::uint8_t, 21> r{};
         r[0] = 0x93;
         return c.get_feature(r);
       },
       "GET_REPORT 0x93 of 21 bytes"},
      {"get of the command report",
       [](Frames&, SimCamera& c) {
         std::array<std::uint8_t, 5> r{0x87};
         return c.get_feature(r);
       },
       "only set"},
      {"unknown report", [](Frames& f, SimCamera&) { return f.set40(0x42, {}); },
       "unknown report 0x42"},
      {"register length 3", [](Frames& f, SimCamera&) { return f.set87({0x08, 0, 0, 3}); },
       "register read of length 3"},
      {"legacy I2C write of 38",
       [](Frames& f, SimCamera&) {
         (void)f.set87({0x03, 0, 0, 0});
         return f.set93({0xA0, 38, 1});
       },
       "at most 37"},
      {"flash write of 38",
       [](Frames& f, SimCamera&) {
         (void)f.set87({0x0B, 0, 0, 0});
         return f.set93({0, 38, 1});
       },
       "at most 37"},
      {"flash read of 41", [](Frames& f, SimCamera&) { return f.set87({0x0A, 0, 41, 1}); },
       "at most 40"},
      {"flash target 1", [](Frames& f, SimCamera&) { return f.set87({0x0A, 1, 4, 1}); },
       "target 1"},
      {"extended read of 40",
       [](Frames& f, SimCamera&) { return f.set97({0x0C, 0, 0xA0, 0, 2, 0, 0, 40}); },
       "at most 39"},
      {"extended write of 35",
       [](Frames& f, SimCamera&) {
         std::vector<std::uint8_t> p(40, 0);
         p[0] = 0x0D;
         p[2] = 0xA0;
         p[4] = 30;  // sub-address length
         p[35] = 5;  // data length
         return f.set97(p);
       },
       "at most 34"},
  };
  for (const Case& c : cases) {
    SimCamera cam(quiet_config());
    Frames f(cam);
    EXPECT_EQ(c.run(f, cam), -EPIPE) << c.what;
    const auto v = cam.violations();
    ASSERT_EQ(v.size(), 1u) << c.what;
    EXPECT_NE(v[0].message.find(c.expect), std::string::npos)
        << c.what << ": got \"" << v[0].message << "\", expected it to contain \"" << c.expect
        << "\"";
  }
}

TEST(SimViolations, AbandonedCommandIsNotedButNextCommandRuns) {
  SimCamera cam(quiet_config());
  Frames f(cam);
  EXPECT_EQ(f.set87({0x08, 0x00, 0x00, 0x04}), 5);
  EXPECT_EQ(f.reg_read16(0x0006, 1), 0x4Fu) << "the second command is served";
  auto v = cam.violations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].transfer, 2u);
  EXPECT_NE(v[0].message.find("0x08 was not followed"), std::string::npos) << v[0].message;

  cam.clear_violations();
  // An extended write must be followed by its 0x93 copy.
  EXPECT_EQ(f.set97({0x0D, 0, 0xA0, 0, 2, 0, 0, 1, 0x55}), 41);
  EXPECT_EQ(f.set87({0x08, 0, 0, 4}), 5);
  v = cam.violations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].message.find("extended I2C write"), std::string::npos) << v[0].message;
}

}  // namespace
}  // namespace lumavix::sim::test
