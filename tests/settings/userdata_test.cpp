// The user-data block: its codec, the text rules of the page, the model
// variant rule, and the device operations against the simulated camera's
// flash through the real protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/trace.h"
#include "settings/userdata.h"
#include "sim/simulator.h"
#include "sim_camera.h"

namespace lumavix::test {
namespace {

EepromUserData sample_record() {
  EepromUserData r;
  r.chipType = 2;
  r.chipName = "QT62100";
  r.vendorId = 0x1234;
  r.productId = 0xBEEF;
  r.firmwareVersion = 0x0207;
  r.vendorString = "Maker";
  r.productString = "AB";
  r.serialNumber = std::string(30, 'S');
  for (std::size_t i = 0; i < r.uvcDefaults.size(); ++i)
    r.uvcDefaults[i] = static_cast<std::uint8_t>(0xA0 + i);
  r.carriedA = 0x11;
  r.carriedB = 0x22;
  r.carriedC = 0x3344;
  r.carriedD = 0x5566;
  r.carriedE = 0x7788;
  r.carriedF = 0x99AA;
  for (std::size_t i = 0; i < r.carriedG.size(); ++i)
    r.carriedG[i] = static_cast<std::uint8_t>(0x40 + i);
  return r;
}

// ---------------------------------------------------------------- codec --

TEST(UserDataCodec, EncodeDecodeRoundTripAndLayout) {
  const EepromUserData r = sample_record();
  const std::uint8_t kept[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  const UserDataBlock b = encode_user_data_block(r, kept);

  EXPECT_EQ(b[0], 0x7A);
  EXPECT_EQ(b[1], 0x3C);
  EXPECT_EQ(b[2], 0x67);
  EXPECT_EQ(b[3], 0x95) << "a write always stores signature 0x95673C7A";
  EXPECT_EQ(b[kUdProduct], 6) << "a 2-character string has bLength 6";
  EXPECT_EQ(b[kUdProduct + 1], 3);
  EXPECT_EQ(b[kUdSerialNumber], 62) << "a 30-character string has bLength 62";
  for (std::uint32_t i = kUdReserved; i < kUdDeviceKept; ++i)
    EXPECT_EQ(b[i], 0) << "reserved byte 0x" << std::hex << i << " is written as zero";
  EXPECT_EQ(b[0x100], 0xDE);
  EXPECT_EQ(b[0x103], 0xEF) << "bytes 0x100..0x103 come from the device";
  EXPECT_EQ(b[0x116], 0xA0 + 18);

  EepromUserData back;
  ASSERT_TRUE(decode_user_data_block(b, 2, back));
  EXPECT_EQ(back, r);
}

TEST(UserDataCodec, LongStringsAreCutTo30Units) {
  EepromUserData r = sample_record();
  r.vendorString = std::string(200, 'V');
  const std::uint8_t kept[4] = {};
  const UserDataBlock b = encode_user_data_block(r, kept);
  EXPECT_EQ(b[kUdManufacturer], 62);
  EXPECT_EQ(b[kUdProduct], 6) << "the next slot is not overrun";
  EepromUserData back;
  ASSERT_TRUE(decode_user_data_block(b, 2, back));
  EXPECT_EQ(back.vendorString, std::string(30, 'V'));
}

TEST(UserDataCodec, ShortBufferIsRefused) {
  const std::vector<std::uint8_t> shorter(kUserDataBlockSize - 1, 0x41);
  EepromUserData r = sample_record();
  EXPECT_FALSE(decode_user_data_block(shorter, 2, r));
  EXPECT_EQ(r, sample_record()) << "a refused decode leaves the record as it was";
}

TEST(UserDataCodec, StringDescriptorDecoding) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> slot;
    std::string expected;
  };
  std::vector<std::uint8_t> full(kUdStringSlot, 0);
  full[0] = 0x3E;
  for (std::size_t i = 0; i < 30; ++i) full[2 + 2 * i] = static_cast<std::uint8_t>('a' + i % 26);
  std::vector<std::uint8_t> huge = full;
  huge[0] = 0xFF;
  const std::string thirty = "abcdefghijklmnopqrstuvwxyzabcd";
  const std::vector<Case> cases = {
      {"bLength 0", {0, 3, 'x', 0}, ""},
      {"bLength 1", {1, 3, 'x', 0}, ""},
      {"bLength 2", {2, 3, 'x', 0}, ""},
      {"bLength 5 takes one unit", {5, 3, 'x', 0, 'y', 0}, "x"},
      {"bLength 0x3E takes 30 units", full, thirty},
      {"bLength 0xFF is capped at 30 units", huge, thirty},
      {"a zero unit ends the string", {10, 3, 'a', 0, 0, 0, 'b', 0, 'c', 0}, "a"},
      {"units beyond one byte become '?'", {8, 3, 'a', 0, 0x3B, 0x30, 0xE9, 0}, "a?\xE9"},
      {"a surrogate pair is one '?'", {8, 3, 0x3D, 0xD8, 0x00, 0xDE, 'z', 0}, "?z"},
      {"bLength past a short buffer", {62, 3, 'q', 0, 'r'}, "q"},
      {"no room for a header", {62}, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(decode_string_descriptor(c.slot), c.expected) << c.what;
}

// ----------------------------------------------------------- text rules --

TEST(UserDataText, HexParsing) {
  struct Case {
    std::u16string text;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {u"", 0},           {u"0", 0},          {u"ABCD", 0xABCD}, {u"abcd", 0xABCD},
      {u"1G", 0x10},      {u" 5", 5},         {u"5 ", 0x50},     {u"12345", 0x12345},
      {u"fF", 0xFF},      {u"0x10", 0x10},    {u"-1", 1},        {u"123456789", 0x23456789},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ParseHexText(c.text), c.expected)
        << "text \"" << narrow_wide_text(c.text) << "\" should give 0x" << std::hex
        << c.expected;
}

// -------------------------------------------------------- model variant --

TEST(UserDataVariant, RuleTable) {
  struct Case {
    std::int32_t chipType;
    std::uint16_t productId;
    std::int32_t altBefore;
    ModelVariant variant;
    std::int32_t altAfter;
    std::u16string text;
  };
  const Case cases[] = {
      {2, ProductIdQA, 1, ModelVariant::Q, 0, u"LUMAVIX Q "},
      {2, ProductIdQB, 1, ModelVariant::Q, 0, u"LUMAVIX Q "},
      {2, ProductIdQAlt, 0, ModelVariant::Q, 1, u"LUMAVIX Q "},
      {2, 0x1234, 1, ModelVariant::Q, 1, u"LUMAVIX Q "},
      {2, ProductIdRA, 0, ModelVariant::Q, 0, u"LUMAVIX Q "},
      {1, ProductIdRA, 1, ModelVariant::R, 1, u"LUMAVIX R "},
      {1, ProductIdRB, 0, ModelVariant::R, 0, u"LUMAVIX R "},
      {1, ProductIdR2, 0, ModelVariant::R2, 0, u"LUMAVIX R2 "},
      {1, ProductIdQAlt, 0, ModelVariant::R2, 0, u"LUMAVIX R2 "},
      {0, 0x0000, 1, ModelVariant::R2, 1, u"LUMAVIX R2 "},
  };
  for (const Case& c : cases) {
    CameraIdentity cam;
    cam.cameraAltProductId = c.altBefore;
    ApplyModelVariant(c.chipType, c.productId, cam);
    const std::string what = "chip type " + std::to_string(c.chipType) + ", product id " +
                             std::to_string(c.productId) + ", flag before " +
                             std::to_string(c.altBefore);
    EXPECT_EQ(cam.CameraVariant, c.variant) << what;
    EXPECT_EQ(cam.cameraAltProductId, c.altAfter) << what;
    EXPECT_EQ(cam.cameraModelText, c.text) << what;
  }
}

// ------------------------------------------------------------- the page --

TEST(UserDataPageLogic, FillShowsRecordInPageFormats) {
  UserDataPage page;
  page.created = true;
  page.redGainValue = 0x33;
  EepromUserData r = sample_record();
  r.vendorId = 0x00AB;
  r.firmwareVersion = 0x0104;
  r.uvcDefaults[kUvcBrightness] = 0x05;
  r.uvcDefaults[kUvcBrightness + 1] = 0x00;
  r.uvcDefaults[kUvcHue] = 0x45;
  r.uvcDefaults[kUvcHue + 1] = 0x23;
  page.FillFromRecord(r);
  EXPECT_EQ(page.chipName, u"QT62100");
  EXPECT_EQ(page.firmwareVersion, u"0104");
  EXPECT_EQ(page.vendorId, u"AB");
  EXPECT_EQ(page.productId, u"BEEF");
  EXPECT_EQ(page.vendorString, u"Maker");
  EXPECT_EQ(page.brightness, u"05");
  EXPECT_EQ(page.hue, u"2345") << "a value above 0xFF shows all its digits";
  EXPECT_EQ(page.redGain, u"0");
  EXPECT_EQ(page.redGainValue, 0) << "a read shows the gains as 0";
  EXPECT_EQ(page.aeTarget, u"0");

  UserDataPage absent;
  absent.FillFromRecord(r);
  EXPECT_TRUE(absent.vendorId.empty()) << "a page not yet created is left alone";
}

TEST(UserDataPageLogic, CollectParsesTypedTexts) {
  UserDataPage page;
  page.created = true;
  page.vendorId = u"abcd";
  page.productId = u"12345";
  page.firmwareVersion = u"0105";
  page.vendorString = u"Caf\u00E9";
  page.productString = std::u16string(300, u'p');
  page.serialNumber = u"";
  page.hue = u"12345";
  page.gamma = u"3F";
  page.redGain = u"1FF";
  page.aeTarget = u"7";
  EepromUserData r;
  page.CollectIntoRecord(r);
  EXPECT_EQ(r.vendorId, 0xABCD);
  EXPECT_EQ(r.productId, 0x2345) << "values wider than the field keep their low bits";
  EXPECT_EQ(r.firmwareVersion, 0x0105);
  EXPECT_EQ(r.vendorString, "Caf\xE9");
  EXPECT_EQ(r.productString.size(), kUserDataTextMax) << "strings are bounded";
  EXPECT_EQ(r.uvcDefaults[kUvcHue], 0x45);
  EXPECT_EQ(r.uvcDefaults[kUvcHue + 1], 0x23);
  EXPECT_EQ(r.uvcDefaults[kUvcGamma], 0x3F);
  EXPECT_EQ(r.uvcDefaults[0], 0) << "bytes the page does not show stay zero";
  EXPECT_EQ(page.redGainValue, 0xFF);
  EXPECT_EQ(page.aeTargetValue, 7);

  UserDataPage hidden;
  hidden.created = true;
  hidden.showUvcDefaults = false;
  hidden.hue = u"12";
  EepromUserData h;
  hidden.CollectIntoRecord(h);
  EXPECT_EQ(h.uvcDefaults[kUvcHue], 0) << "hidden UVC fields are not collected";
}

// --------------------------------------------------- the simulated camera --

class UserDataDevice : public ::testing::Test {
 protected:
  void TearDown() override {
    kvVidHidCls_DeInit();
    camera_.reset();
    set_trace_sink({});
  }

  void start(std::string_view options = "q") {
    camera_.emplace(test::SimulatedCamera::Profile(options));
    ASSERT_EQ(kvVidHidCls_Init(), 1) << "the simulated camera should be found";
    set_trace_sink([this](std::string_view line) { trace_.emplace_back(line); });
  }

  sim::SimCamera& cam() { return camera_->camera(); }

  // Moves the user code base of the camera's image (and the block with it).
  void move_code_base(std::uint32_t code_base) {
    auto boot = cam().flash_bytes(0, kBootConfigSize);
    const auto old_loc =
        locate_user_data(std::span<const std::uint8_t, kBootConfigSize>(boot.data(), 16));
    const auto block = cam().flash_bytes(old_loc.block_addr, kUserDataBlockSize);
    boot[10] = static_cast<std::uint8_t>(code_base);
    boot[11] = static_cast<std::uint8_t>(code_base >> 8);
    boot[12] = static_cast<std::uint8_t>(code_base >> 16);
    cam().write_flash_bytes(0, boot);
    const std::uint32_t to = code_base + kUserDataDistance;
    if (to + kUserDataBlockSize <= cam().flash_size()) cam().write_flash_bytes(to, block);
  }

  bool traced(std::string_view line) const {
    return std::find(trace_.begin(), trace_.end(), line) != trace_.end();
  }

  std::optional<test::SimulatedCamera> camera_;
  std::vector<std::string> trace_;
};

TEST_F(UserDataDevice, ReadsTheBlockOfTheDefaultImage) {
  start();
  EepromUserData r;
  ASSERT_TRUE(ReadUserDataBlock(r));
  EXPECT_EQ(r.chipType, 2);
  EXPECT_EQ(r.chipName, "QT62100");
  EXPECT_EQ(r.firmwareVersion, 0x0104);
  EXPECT_EQ(r.productId, ProductIdQA);
  EXPECT_EQ(r.vendorId, VendorId);
  EXPECT_EQ(r.vendorString, "LUMAVIX");
  EXPECT_EQ(r.productString, "LUMAVIX Q");
  EXPECT_EQ(r.uvcDefaults[kUvcBrightness], 0x80);

  EXPECT_TRUE(traced("Boot config Info :"));
  EXPECT_TRUE(traced("UserCodeAddr :\t0x00001000"));
  EXPECT_TRUE(traced("Signature:0x95673c7a VID:0x2a9c PID:0x0e51 FwVersion:0x0104"));
  EXPECT_TRUE(traced("Default UVC property value: 0x0001"));
}

TEST_F(UserDataDevice, ReadUserDataSetsCameraFieldsAndStatus) {
  start();
  UserDataPage page;
  page.created = true;
  CameraIdentity cam;
  cam.cameraAltProductId = 1;

  const UserDataOutcome closed = ReadUserData(0, page, cam);
  EXPECT_FALSE(closed.ok);
  EXPECT_EQ(closed.status, nullptr) << "a closed library changes nothing";
  EXPECT_TRUE(page.vendorId.empty());

  const UserDataOutcome got = ReadUserData(1, page, cam);
  EXPECT_TRUE(got.ok);
  EXPECT_STREQ(got.status, "Read eeprom OK.");
  EXPECT_EQ(cam.cameraChipType, 2);
  EXPECT_EQ(cam.cameraFirmwareVersion, 0x0104);
  EXPECT_EQ(cam.cameraProductId, ProductIdQA);
  EXPECT_EQ(cam.CameraVariant, ModelVariant::Q);
  EXPECT_EQ(cam.cameraAltProductId, 0);
  EXPECT_EQ(cam.cameraModelText, u"LUMAVIX Q ");
  EXPECT_EQ(page.firmwareVersion, u"0104");
}

TEST_F(UserDataDevice, UnreadableLocationsFailTheRead) {
  struct Case {
    const char* what;
    std::uint32_t code_base;
  };
  const Case cases[] = {
      {"block above 0x10000", 0xF000},
      {"block at exactly 0x10000", 0xE000},
      {"block running past its sector", 0x1F00},
  };
  for (const Case& c : cases) {
    start();
    move_code_base(c.code_base);
    const auto before = cam().flash_bytes(0, cam().flash_size());
    EepromUserData r;
    EXPECT_FALSE(ReadUserDataBlock(r)) << c.what;
    EXPECT_FALSE(WriteUserDataBlock(sample_record())) << c.what;
    EXPECT_EQ(cam().flash_bytes(0, cam().flash_size()), before) << c.what;
    UserDataPage page;
    CameraIdentity id;
    const UserDataOutcome o = ReadUserData(1, page, id);
    EXPECT_FALSE(o.ok);
    EXPECT_STREQ(o.status, "Read user data Fail.") << c.what;
    EXPECT_EQ(id.cameraChipType, 0) << "a failed read leaves the camera fields";
    TearDown();
  }
}

TEST_F(UserDataDevice, WriteKeepsTheRestOfTheSector) {
  // Code base 0x1000 puts the block at the start of sector 0x3000; the other
  // two put it inside the sector, with the old copy left behind at 0x3000.
  for (const std::uint32_t code_base : {0x1000u, 0x1400u, 0x1E00u}) {
    start();
    move_code_base(code_base);
    const std::uint32_t addr = code_base + kUserDataDistance;
    const std::uint32_t sector = addr & 0xF000;
    // Give the bytes the write must keep values of their own.
    const std::uint8_t kept[4] = {0x01, 0x02, 0x03, 0x04};
    cam().write_flash_bytes(addr + kUdDeviceKept, kept);
    const std::uint8_t bad_sig[4] = {0, 0, 0, 0};
    cam().write_flash_bytes(addr, bad_sig);
    const auto sector_before = cam().flash_bytes(sector, kLayoutSectorSize);
    const auto next_before = cam().flash_bytes(sector + kLayoutSectorSize, kLayoutSectorSize);

    EepromUserData r;
    ASSERT_TRUE(ReadUserDataBlock(r)) << "a block without the signature reads normally";
    EepromUserData w = sample_record();
    ASSERT_TRUE(WriteUserDataBlock(w)) << "code base 0x" << std::hex << code_base;
    EepromUserData back;
    ASSERT_TRUE(ReadUserDataBlock(back));
    EXPECT_EQ(back, w);

    const auto sector_after = cam().flash_bytes(sector, kLayoutSectorSize);
    const std::uint32_t off = addr - sector;
    for (std::uint32_t i = 0; i < kLayoutSectorSize; ++i) {
      if (i >= off && i < off + kUserDataBlockSize) continue;
      ASSERT_EQ(sector_after[i], sector_before[i])
          << "sector byte 0x" << std::hex << i << " outside the block changed";
    }
    EXPECT_EQ(sector_after[off], 0x7A) << "the signature is written";
    for (std::uint32_t i = 0; i < 4; ++i)
      EXPECT_EQ(sector_after[off + kUdDeviceKept + i], kept[i]) << "bytes 0x100..0x103 kept";
    EXPECT_EQ(cam().flash_bytes(sector + kLayoutSectorSize, kLayoutSectorSize), next_before);
    TearDown();
  }
}

TEST_F(UserDataDevice, ReadBackDifferenceIsAFailure) {
  start();
  // A flash that never leaves its busy state: the erase runs but the
  // programming never does, so the read-back cannot match.
  cam().set_stuck_busy(true);
  EXPECT_FALSE(WriteUserDataBlock(sample_record()));
  EXPECT_TRUE(traced("Write sector data != Read back verifier \n"));
}

TEST_F(UserDataDevice, NoTransferFailureIsReportedAsSuccess) {
  // A clean write's transfer count, then the same write with one failed
  // transfer at each position in turn. A failure the protocol absorbs (a
  // status poll that is simply repeated) may still succeed, but then the
  // flash must hold the new block; otherwise the write must report failure.
  start();
  EepromUserData w = sample_record();
  cam().reset_counters();
  ASSERT_TRUE(WriteUserDataBlock(w));
  const std::uint64_t total = cam().counters().total;
  TearDown();

  int failures = 0;
  for (std::uint64_t at = 1; at <= total; at += 3) {
    start();
    w.vendorId = static_cast<std::uint16_t>(at);
    cam().reset_counters();
    cam().set_fail_at(at);
    const bool ok = WriteUserDataBlock(w);
    cam().set_fail_at(0);
    // Inspected directly: a failed transfer may leave the flash selected,
    // which would disturb the next read through the protocol.
    EepromUserData back;
    ASSERT_TRUE(decode_user_data_block(cam().flash_bytes(0x3000, kUserDataBlockSize), 2, back));
    if (ok)
      EXPECT_EQ(back, w) << "a write reported as done after failed transfer " << at;
    else
      ++failures;
    TearDown();
  }
  EXPECT_GT(failures, 0) << "some failed transfers must fail the write";
}

// A write cut at any transfer leaves the block signed only over a whole
// sector (as it was, or as the write leaves it): the page holding the
// signature is programmed after every other page of the sector. Otherwise a
// cut leaves erased code under a block that still reads as valid.
TEST_F(UserDataDevice, ACutWriteNeverLeavesASignedBlockOverAPartlyWrittenSector) {
  // 0x1DFE puts the signature across two pages.
  for (const std::uint32_t code_base : {0x1000u, 0x1400u, 0x1DFEu}) {
    const std::uint32_t addr = code_base + kUserDataDistance;
    const std::uint32_t sector = addr & 0xF000;
    const std::uint32_t off = addr - sector;
    const EepromUserData w = sample_record();
    start();
    move_code_base(code_base);
    const auto sector_before = cam().flash_bytes(sector, kLayoutSectorSize);
    cam().reset_counters();
    ASSERT_TRUE(WriteUserDataBlock(w));
    const std::uint64_t total = cam().counters().total;
    const auto sector_written = cam().flash_bytes(sector, kLayoutSectorSize);
    TearDown();

    int unsigned_cuts = 0;
    for (std::uint64_t cut = 1; cut < total; cut += 5) {
      start();
      move_code_base(code_base);
      cam().reset_counters();
      cam().set_unplug_after(cut);
      (void)WriteUserDataBlock(w);
      const auto now = cam().flash_bytes(sector, kLayoutSectorSize);
      const std::uint32_t signature = std::uint32_t{now[off]} | std::uint32_t{now[off + 1]} << 8 |
                                      std::uint32_t{now[off + 2]} << 16 |
                                      std::uint32_t{now[off + 3]} << 24;
      if (signature == kUserDataSignature) {
        EXPECT_TRUE(now == sector_before || now == sector_written)
            << "code base 0x" << std::hex << code_base << ", cut after transfer " << std::dec
            << cut << ": a signed block over a sector that is neither old nor new";
      } else {
        ++unsigned_cuts;
      }
      TearDown();
    }
    EXPECT_GT(unsigned_cuts, 0) << "cuts inside the rewrite expected to leave it unsigned";
  }
}

TEST_F(UserDataDevice, GenerationZeroCameraIsRefused) {
  start("gen0-flash");
  const auto before = cam().flash_bytes(0, cam().flash_size());
  EepromUserData r = sample_record();
  EXPECT_FALSE(ReadUserDataBlock(r));
  EXPECT_EQ(r, sample_record());
  EXPECT_FALSE(WriteUserDataBlock(sample_record()));
  EXPECT_EQ(cam().flash_bytes(0, cam().flash_size()), before);
  EXPECT_EQ(cam().flash_stats().sector_erases, 0u);
  EXPECT_TRUE(trace_.empty()) << "the flash was not read";
}

TEST_F(UserDataDevice, WriteUserDataFromThePage) {
  start();
  UserDataPage page;
  page.created = true;
  CameraIdentity id;
  ASSERT_TRUE(ReadUserData(1, page, id).ok);
  EepromUserData original;
  ASSERT_TRUE(ReadUserDataBlock(original));

  const UserDataOutcome off = WriteUserData(1, page);
  EXPECT_FALSE(off.ok);
  EXPECT_EQ(off.status, nullptr) << "this build has no user-data page";
  EXPECT_EQ(WriteUserData(0, page, true).status, nullptr);

  page.vendorId = u"abcd";
  page.hue = u"12345";
  page.serialNumber = u"SN-1";
  const UserDataOutcome o = WriteUserData(1, page, true);
  EXPECT_TRUE(o.ok);
  EXPECT_STREQ(o.status, "EEPROM write data OK.");
  EXPECT_TRUE(page.controlsEnabled);

  EepromUserData back;
  ASSERT_TRUE(ReadUserDataBlock(back));
  EXPECT_EQ(back.vendorId, 0xABCD);
  EXPECT_EQ(back.serialNumber, "SN-1");
  EXPECT_EQ(back.uvcDefaults[kUvcHue], 0x45);
  EXPECT_EQ(back.uvcDefaults[kUvcHue + 1], 0x23) << "\"12345\" stores 0x2345 at 0x116";
  EXPECT_EQ(back.productId, original.productId);
  EXPECT_EQ(back.firmwareVersion, original.firmwareVersion);
  EXPECT_EQ(back.uvcDefaults[0], original.uvcDefaults[0])
      << "UVC defaults the page does not show are kept";
  EXPECT_EQ(back.carriedG, original.carriedG);

  page.showUvcDefaults = false;
  page.vendorId = u"1";
  ASSERT_TRUE(WriteUserData(1, page, true).ok);
  ASSERT_TRUE(ReadUserDataBlock(back));
  EXPECT_EQ(back.vendorId, 1);
  EXPECT_EQ(back.uvcDefaults[kUvcHue + 1], 0x23) << "hidden UVC defaults are kept as read";
}

TEST_F(UserDataDevice, WriteUserDataFailures) {
  start();
  UserDataPage absent;  // not created: no typed values exist
  const auto before = cam().flash_bytes(0x3000, kLayoutSectorSize);
  const UserDataOutcome none = WriteUserData(1, absent, true);
  EXPECT_FALSE(none.ok);
  EXPECT_STREQ(none.status, "EEPROM write data fail.");
  EXPECT_EQ(cam().flash_bytes(0x3000, kLayoutSectorSize), before) << "nothing was written";

  UserDataPage page;
  page.created = true;
  CameraIdentity id;
  ASSERT_TRUE(ReadUserData(1, page, id).ok);
  cam().set_stuck_busy(true);
  const UserDataOutcome o = WriteUserData(1, page, true);
  EXPECT_FALSE(o.ok);
  EXPECT_STREQ(o.status, "EEPROM write data fail.");
  EXPECT_TRUE(page.controlsEnabled) << "the controls come back after a failure";
}

}  // namespace
}  // namespace lumavix::test
