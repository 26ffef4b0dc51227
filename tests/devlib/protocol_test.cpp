// The HID command protocol, checked frame by frame against a recording
// device: what goes on the wire for each operation, and how replies and
// failures are read.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <map>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/internal/library_state.h"
#include "devlib/hid_protocol.h"
#include "devlib/hid_transport.h"
#include "fake_hid.h"
#include "library_scope.h"

namespace lumavix::test {
namespace {

std::string hex(const std::vector<std::uint8_t>& v, std::size_t n = SIZE_MAX) {
  std::string s;
  for (std::size_t i = 0; i < v.size() && i < n; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v[i]);
    if (!s.empty()) s += ' ';
    s += b;
  }
  return s;
}

// A minimal bridge behind the recording device: answers register reads from
// a map keyed by address (register 0x0000 gives the chip id), extended I2C
// reads with a fixed reply, and refuses report 0x97 when asked to.
struct MiniBridge {
  std::map<std::uint16_t, std::uint32_t> regs{{0x0000, 0x000000B1}};
  std::vector<std::uint8_t> i2c_reply = {0x02, 0x55, 0xAA};
  bool refuse_97 = false;
  bool fail_gets = false;
  std::uint8_t last_cmd[4] = {};

  void attach(FakeHidDevice& d) {
    d.on_set = [this](std::span<const std::uint8_t> r) -> int {
      if (r[0] == 0x97 && refuse_97) return -EPIPE;
      if (r[0] == 0x87) std::memcpy(last_cmd, r.data() + 1, 4);
      if (r[0] == 0x93 && (last_cmd[0] == 0x09 || last_cmd[0] == 0x01)) {
        const bool wide = last_cmd[0] == 0x09;
        const std::uint16_t addr = wide ? (r[1] | r[2] << 8) : r[1];
        const std::uint8_t* v = r.data() + (wide ? 4 : 3);
        regs[addr] = v[0] | v[1] << 8 | v[2] << 16 | v[3] << 24;
      }
      if (r[0] == 0x97) last_cmd[0] = r[1];
      return static_cast<int>(r.size());
    };
    d.on_get = [this](std::span<std::uint8_t> r) -> int {
      if (fail_gets) return -EIO;
      std::fill(r.begin(), r.end(), 0);
      if (last_cmd[0] == 0x08 || last_cmd[0] == 0x00) {
        const std::uint16_t addr =
            last_cmd[0] == 0x08 ? (last_cmd[1] | last_cmd[2] << 8) : last_cmd[1];
        const std::uint32_t v = regs.count(addr) ? regs[addr] : 0;
        for (int i = 0; i < 4; ++i) r[i] = (v >> (8 * i)) & 0xFF;
      } else if (last_cmd[0] == 0x0C) {
        std::copy(i2c_reply.begin(), i2c_reply.end(), r.begin());
      }
      return static_cast<int>(r.size());
    };
  }
};

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = &backend_.add("/dev/hidraw0", camera_descriptor());
    bridge_.attach(*dev_);
    scope_.emplace(&clock_, Platform{&backend_, &locks_});
  }
  void TearDown() override { scope_.reset(); }
  void open() {
    ASSERT_EQ(kvVidHidCls_Init(), 1) << "the fake camera should be found";
    dev_->log.clear();
  }
  // The transfers seen, as "S 87 08 00 00 04" (a set, its first `bytes`
  // bytes) or "G 93" (a get of that report).
  std::vector<std::string> wire(std::size_t bytes = 8) const {
    std::vector<std::string> out;
    for (const Transfer& t : dev_->log)
      out.push_back(t.set ? "S " + hex(t.bytes, bytes) : "G " + hex(t.bytes, 1));
    return out;
  }

  VirtualClock clock_;
  FakeHidBackend backend_;
  ProcessLockBackend locks_;
  FakeHidDevice* dev_ = nullptr;
  MiniBridge bridge_;
  std::optional<lumavix::test::LibraryScope> scope_;
};

using Wire = std::vector<std::string>;

// Each transfer must start with the expected text; trailing bytes not given
// in the expectation are not compared.
::testing::AssertionResult WireIs(const std::vector<std::string>& actual, const Wire& expected) {
  bool ok = actual.size() == expected.size();
  for (std::size_t i = 0; ok && i < actual.size(); ++i)
    ok = actual[i].rfind(expected[i], 0) == 0;
  if (ok) return ::testing::AssertionSuccess();
  auto join = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += "\n  " + x;
    return s;
  };
  return ::testing::AssertionFailure() << "expected:" << join(expected) << "\nactual:" << join(actual);
}

TEST_F(ProtocolTest, RegisterReadChoosesAddressWidthByGenerationAndAddress) {
  struct Case {
    std::uint32_t chip_id;
    std::uint16_t addr;
    std::uint8_t len;
    const char* command;  // the 0x87 frame after the generation probe
  } cases[] = {
      {0x00000051, 0x00FF, 1, "S 87 00 FF 01 00"},  // generation 0, 8-bit address
      {0x00000051, 0x0100, 2, "S 87 08 00 01 02"},  // above 0xFF: always 16-bit
      {0x000000B1, 0x0012, 4, "S 87 08 12 00 04"},  // generation 2: always 16-bit
      {0x000000C3, 0x0012, 1, "S 87 08 12 00 01"},  // 0xC counts as generation 2 too
  };
  for (const Case& c : cases) {
    bridge_.regs[0x0000] = c.chip_id;
    open();
    std::uint32_t v = 0;
    ASSERT_GE(kvVidHidCls_RegRead(c.addr, c.len, v), 0);
    EXPECT_TRUE(WireIs(wire(5), (Wire{"S 87 08 00 00 04", "G 93", c.command, "G 93"})))
        << "chip id " << std::hex << c.chip_id << " address " << c.addr;
    EXPECT_EQ(dev_->log[3].bytes.size(), 41u) << "a get asks for the report id and 40 bytes";
  }
}

TEST_F(ProtocolTest, RegisterReadReturnsAllFourReplyBytes) {
  bridge_.regs[0x0034] = 0xDDCCBBAA;
  open();
  std::uint32_t v = 0;
  ASSERT_GE(kvVidHidCls_RegRead(0x0034, 1, v), 0);
  EXPECT_EQ(v, 0xDDCCBBAAu) << "the value carries the four reply bytes whatever the length";
}

TEST_F(ProtocolTest, RegisterWriteFramesInBothWidths) {
  open();
  ASSERT_GE(kvVidHidCls_RegWriteDev(0, 0x0012, 1, 0x34), 0);
  EXPECT_TRUE(WireIs(wire(), (Wire{"S 87 08 00 00 04", "G 93", "S 87 09 00 00 00",
                          "S 93 12 00 01 34 00 00 00"})));
  EXPECT_EQ(dev_->log[3].bytes.size(), 41u);

  bridge_.regs[0x0000] = 0x51;
  open();
  ASSERT_GE(kvVidHidCls_RegWriteDev(0, 0x0080, 2, 0xBEEF), 0);
  EXPECT_TRUE(WireIs(wire(), (Wire{"S 87 08 00 00 04", "G 93", "S 87 01 00 00 00",
                          "S 93 80 02 EF BE 00 00 00"})));
}

TEST_F(ProtocolTest, ExtendedI2cReadFramesAndReply) {
  open();
  // The EEPROM preparation runs first for slave 0xA0; look at slave 0x50.
  const std::uint8_t sub[] = {0x00, 0x10};
  std::uint8_t out[2] = {};
  ASSERT_GE(kvVidHidCls_I2cRead(0x50, 2, sub, 2, out), 0);
  EXPECT_TRUE(WireIs(wire(9), (Wire{"S 97 0C 00 50 00 02 00 10 02", "G 93"})))
      << "slave 0x50 needs no EEPROM preparation";
  EXPECT_EQ(out[0], 0x55);
  EXPECT_EQ(out[1], 0xAA);
}

TEST_F(ProtocolTest, ExtendedI2cReadStatusOutsideOneTo38Fails) {
  open();
  const std::uint8_t sub[] = {0x00, 0x10};
  for (std::uint8_t status : {std::uint8_t{0}, std::uint8_t{39}, std::uint8_t{0xFF}}) {
    bridge_.i2c_reply = {status, 0x55, 0xAA};
    std::uint8_t out[2] = {0x11, 0x22};
    EXPECT_LT(kvVidHidCls_I2cRead(0x50, 2, sub, 2, out), 0) << "status " << int(status);
    EXPECT_EQ(out[0], 0x11) << "output untouched on failure";
  }
  bridge_.i2c_reply = {38, 0x55, 0xAA};
  std::uint8_t out[2] = {};
  EXPECT_GE(kvVidHidCls_I2cRead(0x50, 2, sub, 2, out), 0) << "status 38 is still a success";
}

TEST_F(ProtocolTest, LegacyI2cReadWhenExtendedCommandRefused) {
  bridge_.refuse_97 = true;
  open();
  const std::uint8_t sub[] = {0x00, 0x10};
  std::uint8_t out[2] = {};
  ASSERT_GE(kvVidHidCls_I2cRead(0x50, 2, sub, 2, out), 0);
  const Wire expected = {
      "S 97 0C 00 50 00 02 00 10 02",  // refused
      "S 87 03 00 00 00",              // address written the old way
      "S 93 50 02 00 00 10",
      "S 87 08 00 00 04", "G 93", "S 87 08 05 00 01", "G 93",  // bus status
      "S 87 02 50 02 01", "G 93",                              // the read
      "S 87 08 00 00 04", "G 93", "S 87 08 05 00 01", "G 93",  // bus status
  };
  EXPECT_TRUE(WireIs(wire(9), expected));
}

TEST_F(ProtocolTest, LegacyI2cFailsWhenSlaveDidNotAnswerOrStatusUnreadable) {
  bridge_.refuse_97 = true;
  open();
  const std::uint8_t data[] = {0x00, 0x10, 0x42};
  bridge_.regs[0x0005] = 0x10;
  EXPECT_LT(kvVidHidCls_I2cWriteDev(0, 0x50, 3, data), 0) << "bit 4 of register 0x05: no answer";

  bridge_.regs[0x0005] = 0x00;
  EXPECT_GE(kvVidHidCls_I2cWriteDev(0, 0x50, 3, data), 0);

  // Gets fail from now on: the write itself goes through but its bus status
  // cannot be read, which must not count as success.
  bridge_.fail_gets = true;
  EXPECT_LT(kvVidHidCls_I2cWriteDev(0, 0x50, 3, data), 0);
}

TEST_F(ProtocolTest, EepromPreparationClearsWriteProtectBeforeTransfer) {
  bridge_.regs[0x0006] = 0x4F;
  open();
  const std::uint8_t sub[] = {0x00, 0x00};
  std::uint8_t out[2] = {};
  ASSERT_GE(kvVidHidCls_I2cRead(0xA0, 2, sub, 2, out), 0);
  EXPECT_EQ(bridge_.regs[0x0006], 0x4Bu) << "bit 2 cleared, other bits kept";
  const Wire w = wire(5);
  ASSERT_GE(w.size(), 9u);
  EXPECT_EQ(w[2], "S 87 08 06 00 01") << "register 0x06 read first";
  EXPECT_EQ(w[6], "S 87 09 00 00 00") << "then written";
  EXPECT_EQ(w[8].substr(0, 5), "S 97 ") << "then the EEPROM transfer";
}

TEST_F(ProtocolTest, SerialFlashReadOfIdentification) {
  open();
  const std::uint8_t op = 0x9F;
  std::uint8_t id[3];
  ASSERT_GE(kvVidHidCls_SpiCmdRead(0, 1, 1, &op, 3, id), 0);
  EXPECT_TRUE(WireIs(wire(6), (Wire{"S 87 0B 00 00 00", "S 93 00 01 00 9F 00", "S 87 0A 00 03 01", "G 93"})));
}

TEST_F(ProtocolTest, SerialFlashWriteCarriesCommandThenData) {
  open();
  const std::uint8_t cmd[] = {0x02, 0x01, 0x02, 0x03};
  const std::uint8_t data[] = {0xAA, 0xBB};
  ASSERT_GE(kvVidHidCls_SpiCmdWrite(0, 1, 4, cmd, 2, data), 0);
  EXPECT_TRUE(WireIs(wire(10), (Wire{"S 87 0B 00 00 00", "S 93 00 06 01 02 01 02 03 AA BB"})));
}

TEST_F(ProtocolTest, RequestsBeyondFrameLimitsAreRefusedBeforeAnythingIsSent) {
  open();
  std::uint8_t buf[64] = {};
  EXPECT_LT(kvVidHidCls_SpiCmdWrite(0, 1, 4, buf, 34, buf), 0) << "wlen + dlen 38 > 37";
  EXPECT_LT(kvVidHidCls_SpiCmdRead(0, 1, 0, nullptr, 41, buf), 0) << "read of 41 > 40";
  EXPECT_LT(kvVidHidCls_I2cRead(0x50, 2, buf, 40, buf), 0) << "extended read of 40 > 39";
  EXPECT_LT(kvVidHidCls_I2cWriteDev(0, 0x50, 35, buf), 0) << "extended write of 35 > 34";
  EXPECT_LT(kvVidHidCls_I2cRead(0x50, 65, buf, 1, buf), 0) << "sub-address beyond the block";
  std::uint32_t v = 0;
  EXPECT_LT(kvVidHidCls_RegRead(0x0010, 3, v), 0) << "register length 3";
  EXPECT_LT(kvVidHidCls_RegWriteDev(0, 0x0010, 8, 1), 0) << "register length 8";
  EXPECT_TRUE(dev_->log.empty()) << "nothing may reach the device: " << wire().size()
                                 << " transfers seen";
  EXPECT_GE(kvVidHidCls_SpiCmdWrite(0, 1, 4, buf, 33, buf), 0) << "37 bytes still fit";
}

TEST_F(ProtocolTest, TransportFramesHaveExactLengths) {
  open();
  std::uint8_t out[40];
  const std::uint8_t four[4] = {1, 2, 3, 4};
  ASSERT_TRUE(hidreq_SetFeature(library_state().table[0].hid, 0x87, four, 4));
  EXPECT_EQ(hex(dev_->log.back().bytes), "87 01 02 03 04") << "5 bytes: report id, 4 payload";
  bridge_.regs[0x0000] = 0x44332211;
  ASSERT_TRUE(hidreg_GetChipGen(library_state().table[0].hid, out[0]));
  ASSERT_TRUE(hidreq_GetFeature(library_state().table[0].hid, 0x93, out, 40));
  EXPECT_EQ(out[0], 0x11) << "the device's first reply byte comes first";
  EXPECT_EQ(out[3], 0x44);
  EXPECT_FALSE(hidreq_SetFeature(library_state().table[0].hid, 0x93, out, 65))
      << "a payload over 64 bytes is refused";
}

TEST_F(ProtocolTest, FailedTransfersFailOperationsAndKeepOutputs) {
  open();
  bridge_.fail_gets = true;
  std::uint32_t v = 0x12345678;
  EXPECT_LT(kvVidHidCls_RegRead(0x0010, 1, v), 0);
  EXPECT_EQ(v, 0x12345678u);
  EXPECT_EQ(last_transfer_error().code, EIO) << "the platform's cause is kept";
  std::uint8_t gen = 7;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1) << "the query answers even when the chip does not";
  EXPECT_EQ(gen, 0);
}

}  // namespace
}  // namespace lumavix::test
