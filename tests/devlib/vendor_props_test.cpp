// Vendor property-set access: the request buffers byte for byte, the BDA
// register forms, the limits of the long request, and both probes.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <map>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/trace.h"
#include "devlib/vendor_props.h"
#include "fake_video.h"
#include "library_scope.h"

namespace lumavix::test {
namespace {

using Buffer = std::vector<std::uint8_t>;

std::uint32_t id_of(const Buffer& b) { return le32(b, kPropIdAt); }
std::uint32_t flags_of(const Buffer& b) { return le32(b, kPropFlagsAt); }
std::uint32_t a_of(const Buffer& b) { return le32(b, kPropWordAAt); }
std::uint32_t b_of(const Buffer& b) { return le32(b, kPropWordBAt); }
std::uint32_t c_of(const Buffer& b) { return le32(b, kPropWordCAt); }

// A bridge behind a property set: 256 byte registers reached by the
// register select/value pair and by the BDA pseudo-slave 0xFF.
struct Bridge {
  std::map<std::uint32_t, std::uint8_t> regs;
  std::uint32_t select = 0;
  FakePropertyDevice::Handler handler() {
    return [this](std::span<std::uint8_t> r) {
      Buffer b(r.begin(), r.end());
      const std::uint32_t id = id_of(b);
      const bool get = flags_of(b) == kPropGet;
      auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
      };
      if (id == kPropRegSelect) select = a_of(b);
      if (id == kPropRegValue && get) {
        const std::uint32_t addr = select >> 8, len = select & 0xFF;
        std::uint32_t v = 0;
        for (std::uint32_t i = 0; i < len; ++i) v |= std::uint32_t{regs[addr + i]} << (8 * i);
        put(kPropWordAAt, v);
      }
      if (id == kPropBdaI2c && get && a_of(b) == 0xFF) {
        for (std::uint32_t i = 0; i < c_of(b); ++i) r[kPropPayloadAt + i] = regs[b[kPropPayloadAt] + i];
      }
      return static_cast<int>(r.size());
    };
  }
};

TEST(PropertyRequests, VendorVideoRegisterReadDropsTheHighAddressByte) {
  Bridge bridge;
  bridge.regs[0x34] = 0xCD;
  bridge.regs[0x35] = 0xAB;
  std::vector<Buffer> log;
  FakePropertyDevice d("usb-1-1:1.0", bridge.handler(), &log);
  RegRequest r;
  r.addr = 0x1234;
  r.len = 2;
  ASSERT_TRUE(sysreg_RegRead(&d, r));
  EXPECT_EQ(r.value, 0xABCDu);
  ASSERT_EQ(log.size(), 2u);
  const Buffer select = {0xFB, 0x8E, 0x54, 0x85, 0xC8, 0x86, 0x57, 0x4E, 0xB2, 0xFA, 0x80,
                         0x2B, 0x1B, 0x86, 0xC2, 0xAA, 0x05, 0x10, 0x00, 0x00, 0x02, 0x00,
                         0x00, 0x00, 0x02, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(log[0], select) << "set 0x1005 with A = 0x3402, 32 bytes";
  EXPECT_EQ(log[1].size(), kShortRequest);
  EXPECT_EQ(id_of(log[1]), kPropRegValue);
  EXPECT_EQ(flags_of(log[1]), kPropGet);
  EXPECT_EQ(a_of(log[1]), 0u);
}

TEST(PropertyRequests, VendorVideoRegisterLengthsTheSizeFieldCannotSay) {
  std::vector<Buffer> log;
  FakePropertyDevice d("usb-1-1:1.0", {}, &log);
  for (std::uint8_t len : {0, 3, 5}) {
    RegRequest r;
    r.addr = 0x10;
    r.len = len;
    EXPECT_FALSE(sysreg_RegWrite(&d, r)) << int(len);
    EXPECT_FALSE(sysreg_RegRead(&d, r)) << int(len);
  }
  EXPECT_TRUE(log.empty()) << "refused before anything is sent";
  RegRequest r;
  r.addr = 0x10;
  r.len = 4;
  r.value = 0x11223344;
  ASSERT_TRUE(sysreg_RegWrite(&d, r));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(a_of(log[0]), 0x1004u);
  EXPECT_EQ(flags_of(log[1]), kPropSet);
  EXPECT_EQ(a_of(log[1]), 0x11223344u);
}

TEST(PropertyRequests, BdaRegisterFormDependsOnTheChipId) {
  struct Case {
    std::uint8_t chip;
    std::uint16_t addr;
    bool wide;
  } cases[] = {{0x9F, 0x0100, false}, {0xA2, 0x0100, true}, {0xA2, 0x00FF, false}};
  for (const Case& k : cases) {
    Bridge bridge;
    bridge.regs[0x0A] = k.chip;
    bridge.regs[0x00] = 0x77;
    bridge.regs[0x0100] = 0x66;
    bridge.regs[0xFF] = 0x55;
    std::vector<Buffer> log;
    FakePropertyDevice d("usb-1-1:1.0", bridge.handler(), &log);
    RegRequest r;
    r.addr = k.addr;
    r.len = 1;
    ASSERT_TRUE(bdareg_RegRead(&d, r));
    ASSERT_GE(log.size(), 2u);
    // First the chip id, narrow.
    EXPECT_EQ(log[0].size(), kLongRequest);
    EXPECT_EQ(id_of(log[0]), kPropBdaI2c);
    EXPECT_EQ(a_of(log[0]), 0xFFu);
    EXPECT_EQ(b_of(log[0]), 1u);
    EXPECT_EQ(c_of(log[0]), 1u);
    EXPECT_EQ(log[0][kPropPayloadAt], 0x0A);
    if (k.wide) {
      ASSERT_EQ(log.size(), 3u);
      EXPECT_EQ(id_of(log[1]), kPropRegSelect);
      EXPECT_EQ(a_of(log[1]), 0x010001u) << "the whole address and the length";
      EXPECT_EQ(r.value, 0x66u);
    } else {
      ASSERT_EQ(log.size(), 2u);
      EXPECT_EQ(log[1][kPropPayloadAt], k.addr & 0xFF) << "the high address byte is dropped";
      EXPECT_EQ(r.value, k.addr == 0xFF ? 0x55u : 0x77u);
    }
  }
}

TEST(PropertyRequests, LongRequestLayoutsAndTheirLimit) {
  std::vector<Buffer> log;
  FakePropertyDevice d("usb-1-1:1.0", {}, &log);
  I2cRequest w;
  w.slave = 0xA0;
  w.sub[0] = 0x01;
  w.sub[1] = 0x02;
  w.subLen = 2;
  w.data[0] = 0x33;
  w.dataLen = 1;
  ASSERT_TRUE(sysreg_I2cWrite(&d, w));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].size(), kLongRequest);
  EXPECT_EQ(id_of(log[0]), kPropI2cData);
  EXPECT_EQ(a_of(log[0]), 0xA0u);
  EXPECT_EQ(b_of(log[0]), 3u);
  EXPECT_EQ(c_of(log[0]), 0u);
  EXPECT_EQ((Buffer(log[0].begin() + kPropPayloadAt, log[0].begin() + kPropPayloadAt + 4)),
            (Buffer{0x01, 0x02, 0x33, 0x00}));

  log.clear();
  SpiRequest s;
  s.finish = 1;
  s.wdata[0] = 0x03;
  s.wdata[1] = 0x00;
  s.wdata[2] = 0x20;
  s.wdata[3] = 0x00;
  s.wlen = 4;
  s.rlen = 32;
  ASSERT_TRUE(sysreg_SpiRead(&d, s));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(id_of(log[0]), kPropSpiReadSetup);
  EXPECT_EQ(b_of(log[0]), 5u);
  EXPECT_EQ(c_of(log[0]), 32u);
  EXPECT_EQ((Buffer(log[0].begin() + kPropPayloadAt, log[0].begin() + kPropPayloadAt + 6)),
            (Buffer{0x01, 0x03, 0x00, 0x20, 0x00, 0x00}));
  EXPECT_EQ(id_of(log[1]), kPropSpiData);
  EXPECT_EQ(flags_of(log[1]), kPropGet);

  log.clear();
  SpiRequest big;
  big.wlen = 4;
  big.rlen = 64;  // 1 + 4 + 64 > 68
  EXPECT_FALSE(sysreg_SpiWrite(&d, big));
  I2cRequest long_i2c;
  long_i2c.subLen = 8;
  long_i2c.dataLen = 61;
  EXPECT_FALSE(sysreg_I2cWrite(&d, long_i2c));
  EXPECT_FALSE(bdareg_I2cWrite(&d, long_i2c));
  EXPECT_TRUE(log.empty()) << "requests beyond the 68 payload bytes are refused unsent";
}

// -------------------------------------------------------------- probes --

class PropertyProbe : public ::testing::Test {
 protected:
  void SetUp() override { scope_.emplace(&clock_, Platform{nullptr, &locks_, nullptr, &props_}); }
  void TearDown() override { scope_.reset(); }
  // Answers only requests of `set`.
  static FakePropertyDevice::Handler answers(const Guid& set) {
    return [set](std::span<std::uint8_t> r) {
      return std::equal(set.begin(), set.end(), r.begin()) ? static_cast<int>(r.size()) : -ENOENT;
    };
  }

  VirtualClock clock_;
  ProcessLockBackend locks_;
  FakePropertyBackend props_;
  std::optional<lumavix::test::LibraryScope> scope_;
};

TEST_F(PropertyProbe, VendorVideoTakesTheDevicesThatAnswer) {
  props_.devices = {
      {DeviceCategory::VideoCapture, {"Webcam", "usb-1-1:1.0"}, answers(kBdaVendorSetGuid)},
      {DeviceCategory::VideoCapture, {"LUMAVIX Q", "usb-1-2:1.0"}, answers(kVendorVideoSetGuid)},
  };
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(library_kind(), DeviceKind::VendorVideo);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 1);
  std::uint8_t gen = 7;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1);
  EXPECT_EQ(gen, 0);
}

TEST_F(PropertyProbe, BdaSecondPassOverCaptureDevices) {
  props_.devices = {
      {DeviceCategory::VideoCapture, {"Capture", "usb-1-3:1.0"}, answers(kBdaVendorSetGuid)},
  };
  std::vector<std::string> trace;
  set_trace_sink([&](std::string_view l) { trace.emplace_back(l); });
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(library_kind(), DeviceKind::BdaVendor);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 1);
  const auto logged = std::find_if(trace.begin(), trace.end(), [](const std::string& l) {
    return l.rfind("Found BDA Device Num:0 DeviceHandle:0x", 0) == 0;
  });
  EXPECT_NE(logged, trace.end());
  EXPECT_NE(std::find(trace.begin(), trace.end(), "kvVidHidCls_Init Is BDA Vendor Device"),
            trace.end());
  std::uint8_t buf[1];
  EXPECT_EQ(kvVidHidCls_SpiCmdRead(0, 1, 0, nullptr, 1, buf), E_FAIL)
      << "the BDA set carries no serial-flash commands";
}

TEST_F(PropertyProbe, NoDriverIsACause) {
  class NoDriver final : public PropertySetBackend {
   public:
    bool list(DeviceCategory, std::vector<CategoryDevice>&, SysError& err) override {
      err = {EOPNOTSUPP, "no Linux driver carries the vendor video or BDA property sets"};
      return false;
    }
    std::unique_ptr<PropertySetDevice> bind(DeviceCategory, const std::string&, SysError&) override {
      return nullptr;
    }
  } none;
  scope_->install({nullptr, &locks_, nullptr, &none});
  EXPECT_EQ(kvVidHidCls_Init(), 0);
  const auto& causes = library_causes();
  EXPECT_EQ(std::count(causes.begin(), causes.end(),
                       "no Linux driver carries the vendor video or BDA property sets"),
            1)
      << "said once for both probes";
  EXPECT_EQ(library_kind(), DeviceKind::None);
}

}  // namespace
}  // namespace lumavix::test
