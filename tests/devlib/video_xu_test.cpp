// Extension-unit access: the frames of each unit byte for byte, the
// fallbacks from the extended to the legacy selectors, the unit search and
// the video-class probe with its re-enumeration rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <set>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/internal/library_state.h"
#include "devlib/trace.h"
#include "devlib/video_xu.h"
#include "fake_video.h"
#include "library_scope.h"

namespace lumavix::test {
namespace {

// One transfer as text: "S10 34 12 02" for a set with its bytes (trailing
// zeros of a 32-byte frame dropped, its length noted), "G10/2" for a get of
// two bytes, "Q2" for the set-support question on node 2.
std::string show(const XuCall& c) {
  char head[32];
  if (c.q.flags == kXuFlagSetSupport) {
    std::snprintf(head, sizeof head, "Q%u", c.q.node);
    return head;
  }
  if (c.q.flags == kXuFlagGet) {
    std::snprintf(head, sizeof head, "G%u/%zu", c.q.selector, c.bytes.size());
    return head;
  }
  std::snprintf(head, sizeof head, "S%u", c.q.selector);
  std::string s = head;
  std::size_t n = c.bytes.size();
  if (n == 32) {
    while (n > 0 && c.bytes[n - 1] == 0) --n;
    s += "/32";
  }
  for (std::size_t i = 0; i < n; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, " %02X", c.bytes[i]);
    s += b;
  }
  return s;
}

std::vector<std::string> shown(const std::vector<XuCall>& log) {
  std::vector<std::string> out;
  for (const XuCall& c : log) out.push_back(show(c));
  return out;
}

// A unit that refuses the sets of `refused`, answers gets from `reply`
// (selector, length → bytes) and accepts everything else.
FakeVideoControl::Handler unit(std::set<std::uint32_t> refused,
                               std::function<void(std::uint32_t, std::span<std::uint8_t>)> reply = {}) {
  return [refused, reply](const XuQuery& q, std::span<std::uint8_t> data) {
    if (q.flags == kXuFlagSet && refused.count(q.selector)) return -EPIPE;
    if (q.flags == kXuFlagGet) {
      std::fill(data.begin(), data.end(), 0);
      if (reply) reply(q.selector, data);
    }
    return static_cast<int>(data.size());
  };
}

class XuProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    library_state().node_ids[0] = 2;  // Kavex
    library_state().node_ids[1] = 3;  // Aveo
  }
  void TearDown() override { library_state().node_ids[0] = library_state().node_ids[1] = 0; }
  FakeVideoControl make(FakeVideoControl::Handler h) {
    return FakeVideoControl("usb-1-1:1.0", {false, false, true, true}, std::move(h), &log_);
  }
  std::vector<XuCall> log_;
};

TEST_F(XuProtocol, RequestsNameTheUnitSelectorFlagsAndNode) {
  auto c = make(unit({}, [](std::uint32_t, std::span<std::uint8_t> d) { d[0] = 0xB2; }));
  RegRequest r;
  r.addr = 0x0000;
  r.len = 4;
  std::uint8_t gen = 0;
  ASSERT_TRUE(vidxu_GetChipGen(&c, gen));
  EXPECT_EQ(gen, 2);
  ASSERT_EQ(shown(log_), (std::vector<std::string>{"S26/32 00 00 04", "G26/32"}));
  const auto wire = encode_xu_query(log_[0].q);
  const std::array<std::uint8_t, 32> expected = {
      0x26, 0x52, 0x21, 0x5A, 0x89, 0x32, 0x56, 0x41, 0x89, 0x4A, 0x5C, 0x55, 0x7C, 0xDF, 0x96, 0x64,
      26,   0,    0,    0,    0x02, 0x00, 0x00, 0x10, 2,    0,    0,    0,    0,    0,    0,    0};
  EXPECT_EQ(wire, expected) << "GUID in wire order, selector, SET_CUR flags, Kavex node 2";
  EXPECT_EQ(guid_text(kKavexUnitGuid), "{5A215226-3289-4156-894A-5C557CDF9664}");
}

TEST_F(XuProtocol, RegisterReadFallsBackThroughEachForm) {
  struct Case {
    const char* what;
    std::set<std::uint32_t> refused;
    std::vector<std::string> frames;
  } cases[] = {
      {"extended form", {}, {"S26/32 34 12 02", "G26/32"}},
      {"selector 26 refused",
       {26},
       {"S26/32 34 12 02", "S1 03", "S10 34 12 02", "G10/2", "S1 01"}},
      {"selectors 26 and 10 refused",
       {26, 10},
       {"S26/32 34 12 02", "S1 03", "S10 34 12 02", "S1 01", "S1 02", "S2 34 02", "G2/2", "S1 01"}},
  };
  for (const Case& k : cases) {
    log_.clear();
    auto c = make(unit(k.refused, [](std::uint32_t, std::span<std::uint8_t> d) {
      d[0] = 0xCD;
      d[1] = 0xAB;
    }));
    RegRequest r;
    r.addr = 0x1234;
    r.len = 2;
    ASSERT_TRUE(vidxu_RegRead(&c, r)) << k.what;
    EXPECT_EQ(r.value, 0xABCDu) << k.what;
    EXPECT_EQ(shown(log_), k.frames) << k.what;
  }
}

TEST_F(XuProtocol, RegisterWriteFallsBackToTheLegacySelector) {
  auto c = make(unit({27, 11}));
  RegRequest r;
  r.addr = 0x12;
  r.len = 1;
  r.value = 0xAB;
  ASSERT_TRUE(vidxu_RegWrite(&c, r));
  EXPECT_EQ(shown(log_), (std::vector<std::string>{"S27/32 12 00 01 AB", "S1 04", "S11 12 00 01 AB",
                                                   "S1 01", "S1 03", "S3 12 01 AB", "S1 01"}));
}

TEST_F(XuProtocol, RegisterLengthsBeyondTheValueAreRefusedUnsent) {
  auto c = make(unit({}));
  for (std::uint8_t len : {0, 5, 0xFF}) {
    RegRequest r;
    r.len = len;
    EXPECT_FALSE(vidxu_RegRead(&c, r)) << int(len);
    EXPECT_FALSE(vidxu_RegWrite(&c, r)) << int(len);
  }
  EXPECT_TRUE(log_.empty());
}

TEST_F(XuProtocol, ExtendedI2cReadCopiesWhatTheCountSays) {
  struct Case {
    std::uint8_t count;
    std::uint8_t asked;
    bool ok;
  } cases[] = {{2, 2, true}, {0, 2, false}, {1, 2, false}, {32, 2, false}, {31, 2, true}};
  for (const Case& k : cases) {
    log_.clear();
    auto c = make(unit({}, [&](std::uint32_t, std::span<std::uint8_t> d) {
      d[0] = k.count;
      for (std::size_t i = 1; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0x40 + i);
    }));
    I2cRequest r;
    r.flags = 1;
    r.slave = 0xA0;
    r.sub[0] = 0x01;
    r.sub[1] = 0x02;
    r.subLen = 2;
    r.dataLen = k.asked;
    EXPECT_EQ(vidxu_I2cRead(&c, r), k.ok) << "count " << int(k.count);
    EXPECT_EQ(shown(log_), (std::vector<std::string>{"S20/32 00 A0 00 02 01 02 02", "G20/32"}))
        << "count " << int(k.count) << ": no legacy retry once the unit answered";
    if (k.ok) {
      EXPECT_EQ(r.data[0], 0x41);
      EXPECT_EQ(r.data[1], 0x42);
      EXPECT_EQ(r.data[2], 0x00) << "only the bytes asked are copied";
    }
  }
}

TEST_F(XuProtocol, I2cReadTooLongForTheExtendedReplyGoesLegacy) {
  auto c = make(unit({}, [](std::uint32_t sel, std::span<std::uint8_t> d) {
    if (sel == 4) std::fill(d.begin(), d.end(), 0x5A);
    // Register 0x05 (bus status) reads 0: the slave answered.
  }));
  I2cRequest r;
  r.flags = 1;
  r.slave = 0xA0;
  r.sub[0] = 0x00;
  r.sub[1] = 0x40;
  r.subLen = 2;
  r.dataLen = 32;
  ASSERT_TRUE(vidxu_I2cRead(&c, r));
  EXPECT_EQ(r.data[31], 0x5A);
  EXPECT_EQ(shown(log_), (std::vector<std::string>{
                             "S21/32 00 A0 00 02 00 40",       // the sub-address, extended write
                             "S1 03", "S4 A0 20 01", "G4/32", "S1 01",
                             "S26/32 05 00 01", "G26/32"}));  // bus status
}

TEST_F(XuProtocol, LegacyI2cFailsWhenTheBusStatusSaysNoAnswer) {
  auto c = make(unit({20, 21}, [](std::uint32_t sel, std::span<std::uint8_t> d) {
    if (sel == 26) d[0] = 0x10;  // register 0x05: the slave did not answer
  }));
  I2cRequest r;
  r.slave = 0x50;
  r.dataLen = 1;
  EXPECT_FALSE(vidxu_I2cRead(&c, r));
  EXPECT_FALSE(vidxu_I2cWrite(&c, r));
}

TEST_F(XuProtocol, EepromSizedWriteDoesNotFitTheExtendedFrame) {
  auto c = make(unit({}));
  I2cRequest r;
  r.slave = 0xA0;
  r.dataLen = 34;  // two address bytes and a 32-byte page
  for (std::uint8_t i = 0; i < r.dataLen; ++i) r.data[i] = i;
  ASSERT_TRUE(vidxu_I2cWrite(&c, r));
  ASSERT_GE(log_.size(), 3u);
  EXPECT_EQ(show(log_[0]), "S1 25") << "37 bytes announced, no 32-byte frame overrun";
  EXPECT_EQ(log_[1].q.selector, 5u);
  ASSERT_EQ(log_[1].bytes.size(), 37u);
  EXPECT_EQ(log_[1].bytes[0], 0xA0);
  EXPECT_EQ(log_[1].bytes[1], 34);
  EXPECT_EQ(log_[1].bytes[2], 1);
  EXPECT_EQ(log_[1].bytes[36], 33);
}

TEST_F(XuProtocol, ExtendedI2cWriteFrame) {
  auto c = make(unit({}));
  I2cRequest r;
  r.flags = 1;
  r.slave = 0xA0;
  r.sub[0] = 0x01;
  r.subLen = 1;
  r.data[0] = 0x77;
  r.dataLen = 1;
  ASSERT_TRUE(vidxu_I2cWrite(&c, r));
  EXPECT_EQ(shown(log_), (std::vector<std::string>{"S21/32 00 A0 00 01 01 01 77"}));
}

TEST_F(XuProtocol, SerialFlashReadSendsTheCommandThenReads) {
  auto c = make(unit({}, [](std::uint32_t, std::span<std::uint8_t> d) {
    const std::uint8_t id[3] = {0xC2, 0x20, 0x11};
    std::copy_n(id, std::min<std::size_t>(3, d.size()), d.begin());
  }));
  SpiRequest r;
  r.finish = 1;
  r.wdata[0] = 0x9F;
  r.wlen = 1;
  r.rlen = 3;
  ASSERT_TRUE(vidxu_SpiRead(&c, r));
  EXPECT_EQ(r.data[0], 0xC2);
  EXPECT_EQ(r.data[2], 0x11);
  EXPECT_EQ(shown(log_), (std::vector<std::string>{"S1 04", "S9 00 01 00 9F", "S1 01", "S1 03",
                                                   "S8 00 03 01", "G8/3", "S1 01"}));
}

TEST_F(XuProtocol, SerialFlashWriteFrame) {
  auto c = make(unit({}));
  SpiRequest r;
  r.finish = 1;
  const std::uint8_t cmd[4] = {0x02, 0x00, 0x81, 0x00};
  std::copy(cmd, cmd + 4, r.wdata);
  r.wlen = 4;
  r.data[0] = 0xEE;
  r.data[1] = 0xFF;
  r.rlen = 2;
  ASSERT_TRUE(vidxu_SpiWrite(&c, r));
  EXPECT_EQ(shown(log_), (std::vector<std::string>{"S1 09", "S9 00 06 01 02 00 81 00 EE FF",
                                                   "S1 01"}));
}

TEST_F(XuProtocol, AveoFrames) {
  auto c = make(unit({}, [](std::uint32_t, std::span<std::uint8_t> d) {
    d[0] = 0x01;
    d[1] = 0x34;
    d[2] = 0x12;
    d[3] = 0x99;
  }));
  RegRequest r;
  r.addr = 0x0102;
  r.len = 4;
  ASSERT_TRUE(vidxu_Aveo_RegRead(&c, r));
  EXPECT_EQ(r.value, 0x1234u) << "16 bits whatever the length";
  r.value = 0xBEEF;
  ASSERT_TRUE(vidxu_Aveo_RegWrite(&c, r));

  I2cRequest i2c;
  i2c.flags = 1;
  i2c.slave = 0xA0;
  i2c.sub[0] = 0x12;
  i2c.sub[1] = 0x34;
  i2c.subLen = 2;
  i2c.dataLen = 1;
  ASSERT_TRUE(vidxu_Aveo_I2cRead(&c, i2c));
  EXPECT_EQ(i2c.data[0], 0x34) << "reply byte 1";
  i2c.data[0] = 0x5A;
  ASSERT_TRUE(vidxu_Aveo_I2cWrite(&c, i2c));

  EXPECT_EQ(shown(log_), (std::vector<std::string>{
                             "S2/32 01 02 01", "G2/32",
                             "S2/32 01 02 01", "S2/32 03 EF BE",
                             "S2/32 E0 00 00 34 12 A0 10", "G2/32",
                             "S2/32 05 5A 00 34 12 A0 10"}));
  for (const XuCall& call : log_) {
    EXPECT_EQ(call.q.unit, kAveoUnitGuid);
    EXPECT_EQ(call.q.node, 3u) << "the Aveo node id";
  }
}

TEST_F(XuProtocol, AveoRefusesTransfersItsFrameCannotCarry) {
  auto c = make(unit({}));
  I2cRequest r;
  r.slave = 0xA0;
  r.dataLen = 32;
  EXPECT_FALSE(vidxu_Aveo_I2cRead(&c, r)) << "one byte per transfer";
  EXPECT_FALSE(vidxu_Aveo_I2cWrite(&c, r));
  r.dataLen = 0;
  EXPECT_FALSE(vidxu_Aveo_I2cWrite(&c, r)) << "a write of nothing would still write a byte";
  r.dataLen = 1;
  r.subLen = 3;
  EXPECT_FALSE(vidxu_Aveo_I2cRead(&c, r)) << "the sub-address word holds two bytes";
  EXPECT_TRUE(log_.empty());
}

// ---------------------------------------------------------- unit search --

TEST(XuUnitSearch, BridgeMakersUnitMustBeTheFirstDeviceSpecificNode) {
  // Node types: terminal, unit, unit, unit. Which GUID each unit carries is
  // the handler's answer to the set-support question.
  const auto topology = [](std::vector<const Guid*> units) {
    return [units](const XuQuery& q, std::span<std::uint8_t>) {
      return q.node < units.size() && units[q.node] && *units[q.node] == q.unit ? 0 : -ENOENT;
    };
  };
  const Guid other = make_guid(1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11});
  struct Case {
    const char* what;
    std::vector<const Guid*> units;
    bool kavex, aveo, etron;
    std::uint32_t node;  // of the unit found first in search order
  } cases[] = {
      {"bridge maker's unit first", {nullptr, &kKavexUnitGuid, &kAveoUnitGuid, nullptr}, true, true, false, 1},
      {"another vendor's unit first", {nullptr, &other, &kKavexUnitGuid, &kAveoUnitGuid}, false, true, false, 3},
      {"Etron after others", {nullptr, &other, &other, &kEtronUnitGuid}, false, false, true, 3},
  };
  for (const Case& k : cases) {
    std::vector<XuCall> log;
    FakeVideoControl c("usb-1-1:1.0", {false, true, true, true}, topology(k.units), &log);
    const bool kavex = vidxu_FindUnit(&c, XuVariant::Kavex);
    EXPECT_EQ(kavex, k.kavex) << k.what;
    if (!k.kavex) {
      ASSERT_EQ(log.size(), 1u) << k.what << ": only the first device-specific node is asked";
      EXPECT_EQ(log[0].q.node, 1u);
      EXPECT_EQ(log[0].q.flags, kXuFlagSetSupport);
      EXPECT_EQ(log[0].q.selector, 0u);
    }
    EXPECT_EQ(vidxu_FindUnit(&c, XuVariant::Aveo), k.aveo) << k.what;
    EXPECT_EQ(vidxu_FindUnit(&c, XuVariant::Etron), k.etron) << k.what;
    const int first = k.kavex ? 0 : k.aveo ? 1 : 2;
    EXPECT_EQ(library_state().node_ids[first], k.node) << k.what;
  }
  library_state().node_ids[0] = library_state().node_ids[1] = library_state().node_ids[2] = 0;
}

// -------------------------------------------------------- the probe --

// A camera whose unit of `variant` sits at node 1 and whose register 0x0000
// reads `chip`.
FakeVideoBackend::Device camera(const std::string& path, XuVariant variant,
                                std::uint8_t chip = 0xB2) {
  const Guid guid = xu_unit_guid(variant);
  return {{"LUMAVIX Q", path},
          {false, true, false},
          [guid, chip](const XuQuery& q, std::span<std::uint8_t> d) {
            if (q.node != 1 || q.unit != guid) return -ENOENT;
            if (q.flags == kXuFlagGet) {
              std::fill(d.begin(), d.end(), 0);
              if (!d.empty()) d[0] = chip;
            }
            return static_cast<int>(d.size());
          }};
}

class VideoProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    scope_.emplace(&clock_, Platform{nullptr, &locks_, &video_, nullptr});
    reset_table();
  }
  void TearDown() override {
    kvVidHidCls_DeInit();
    reset_table();
    scope_.reset();
  }
  static void reset_table() {
    LibraryState& s = library_state();
    s.known = 0;
    s.current = 0;
    for (DeviceEntry& e : s.table) e = DeviceEntry{};
  }
  std::vector<std::string> table_paths() {
    std::vector<std::string> out;
    for (std::int32_t i = 0; i < kvVidHidCls_GetDevCount(); ++i)
      out.push_back(library_state().table[i].path);
    return out;
  }

  VirtualClock clock_;
  ProcessLockBackend locks_;
  FakeVideoBackend video_;
  std::optional<lumavix::test::LibraryScope> scope_;
};

TEST_F(VideoProbe, FindsEachVariantWithItsGenerationAndTraces) {
  video_.devices = {camera("usb-1-1:1.0", XuVariant::Kavex),
                    camera("usb-1-2:1.0", XuVariant::Aveo),
                    camera("usb-1-3:1.0", XuVariant::Etron),
                    {{"Webcam", "usb-1-4:1.0"}, {false, true}, {}}};
  video_.devices[3].handler = [](const XuQuery&, std::span<std::uint8_t>) { return -ENOENT; };
  std::vector<std::string> trace;
  set_trace_sink([&](std::string_view l) { trace.emplace_back(l); });

  ASSERT_EQ(kvVidHidCls_Init(), 1);
  const LibraryState& s = library_state();
  EXPECT_EQ(s.kind, DeviceKind::VideoClass);
  ASSERT_EQ(kvVidHidCls_GetDevCount(), 3);
  EXPECT_EQ(s.table[0].variant, XuVariant::Kavex);
  EXPECT_EQ(s.table[0].gen, 2);
  EXPECT_EQ(s.table[1].variant, XuVariant::Aveo);
  EXPECT_EQ(s.table[1].gen, 0);
  EXPECT_EQ(s.table[2].variant, XuVariant::Etron);
  EXPECT_EQ(s.table[2].gen, 0);
  for (const char* line :
       {"EnumVideoDevice found 4 Cap Filters", "Get Kavex UVC Device : usb-1-1:1.0",
        "Get 2595 UVC Device : usb-1-2:1.0", "Get 1 Etron UVC Device", "Etron Node Id:1",
        "Found UVC Device:3 Mutex:0", "kvVidHidCls_InitIs Video Class Device"}) {
    EXPECT_NE(std::find(trace.begin(), trace.end(), line), trace.end()) << line;
  }
  std::uint8_t gen = 9;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1);
  EXPECT_EQ(gen, 2);
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(1, gen), 1);
  EXPECT_EQ(gen, 0) << "only the bridge maker's unit answers the generation";
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(5, gen), 0);
}

TEST_F(VideoProbe, ReEnumerationKeepsPositionsByPath) {
  const auto a = camera("usb-1-1:1.0", XuVariant::Kavex);
  const auto b = camera("usb-1-2:1.0", XuVariant::Kavex);
  const auto c = camera("usb-1-3:1.0", XuVariant::Aveo);
  struct Step {
    std::vector<FakeVideoBackend::Device> present;
    std::vector<std::string> table;
  } steps[] = {
      {{a, b}, {"usb-1-1:1.0", "usb-1-2:1.0"}},
      {{c, a}, {"usb-1-1:1.0", "usb-1-3:1.0"}},  // B dropped, C appended
      {{b, c, a}, {"usb-1-1:1.0", "usb-1-3:1.0", "usb-1-2:1.0"}},
      {{b}, {"usb-1-2:1.0"}},
  };
  for (const Step& st : steps) {
    video_.devices = st.present;
    ASSERT_EQ(kvVidHidCls_Init(), 1);
    EXPECT_EQ(table_paths(), st.table);
    EXPECT_EQ(library_state().known, static_cast<std::int32_t>(st.table.size()));
    kvVidHidCls_DeInit();
    EXPECT_EQ(library_state().table[0].control, nullptr) << "DeInit releases the interfaces";
    EXPECT_EQ(library_state().table[0].path, st.table[0]) << "but keeps the paths";
  }
  // The variants follow their cameras.
  video_.devices = {c, b};
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(table_paths(), (std::vector<std::string>{"usb-1-2:1.0", "usb-1-3:1.0"}));
  EXPECT_EQ(device_variant(0), XuVariant::Kavex);
  EXPECT_EQ(device_variant(1), XuVariant::Aveo);
}

TEST_F(VideoProbe, PathsAreComparedExactlyAndOnlyUsbPathsLookedUp) {
  video_.devices = {camera("usb-1-1:1.0", XuVariant::Kavex)};
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  kvVidHidCls_DeInit();
  video_.devices = {camera("usb-1-2:1.0", XuVariant::Kavex), camera("usb-1-1:1.0", XuVariant::Kavex),
                    camera("USB-1-3:1.0", XuVariant::Kavex)};
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(table_paths(), (std::vector<std::string>{"usb-1-1:1.0", "usb-1-2:1.0"}))
      << "the upper-case path is not looked up";
  kvVidHidCls_DeInit();

  video_.devices = {camera("USB-1-1:1.0", XuVariant::Kavex)};
  EXPECT_EQ(kvVidHidCls_Init(), 0);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 0);
  EXPECT_EQ(library_kind(), DeviceKind::None);
}

TEST_F(VideoProbe, TakesAtMost24Cameras) {
  for (int i = 0; i < 25; ++i)
    video_.devices.push_back(camera("usb-1-" + std::to_string(i + 1) + ":1.0", XuVariant::Kavex));
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 24);
  EXPECT_EQ(video_.binds, 24) << "the 25th is not even bound";
}

TEST_F(VideoProbe, NothingFoundSaysWhy) {
  video_.devices = {{{"Webcam", "usb-1-4:1.0"}, {false, true},
                     [](const XuQuery&, std::span<std::uint8_t>) { return -ENOENT; }}};
  EXPECT_EQ(kvVidHidCls_Init(), 0);
  const auto& causes = library_causes();
  EXPECT_NE(std::find(causes.begin(), causes.end(),
                      "none of the 1 video capture device carries the camera's extension unit"),
            causes.end());
  EXPECT_FALSE(library_state().lock) << "the lock is closed again";

  video_.devices.clear();
  EXPECT_EQ(kvVidHidCls_Init(), 0);
  EXPECT_NE(std::find(library_causes().begin(), library_causes().end(),
                      "no video capture device is present"),
            library_causes().end());
}

TEST_F(VideoProbe, DispatchFollowsTheCurrentDevicesVariant) {
  video_.devices = {camera("usb-1-1:1.0", XuVariant::Kavex), camera("usb-1-2:1.0", XuVariant::Etron),
                    camera("usb-1-3:1.0", XuVariant::Aveo)};
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  video_.log.clear();
  std::uint32_t value = 0x55;
  EXPECT_EQ(kvVidHidCls_RegReadDev(1, 0x0000, 1, value), E_FAIL) << "Etron: no register reads";
  EXPECT_EQ(value, 0x55u);
  EXPECT_EQ(kvVidHidCls_RegWriteDev(1, 0x0010, 1, 1), E_FAIL);
  EXPECT_TRUE(video_.log.empty()) << "an Etron camera is not sent Aveo requests";

  ASSERT_EQ(kvVidHidCls_RegReadDev(2, 0x0000, 2, value), kOk);
  ASSERT_FALSE(video_.log.empty());
  EXPECT_EQ(video_.log[0].q.unit, kAveoUnitGuid);
  video_.log.clear();
  ASSERT_EQ(kvVidHidCls_RegRead(0x0000, 4, value), kOk);
  EXPECT_EQ(value & 0xFF, 0xB2u);
  EXPECT_EQ(video_.log[0].q.unit, kKavexUnitGuid);
}

}  // namespace
}  // namespace lumavix::test
