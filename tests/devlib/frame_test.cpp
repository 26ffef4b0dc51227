// Initialisation, the device table, shutdown and the library lock.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/internal/library_state.h"
#include "devlib/hid_transport.h"
#include "devlib/trace.h"
#include "fake_hid.h"
#include "library_scope.h"

namespace lumavix::test {
namespace {

// Answers the generation probe with a generation-2 chip id.
void answer_gen2(FakeHidDevice& d) {
  d.on_get = [](std::span<std::uint8_t> r) {
    std::fill(r.begin(), r.end(), 0);
    r[0] = 0xB1;
    return static_cast<int>(r.size());
  };
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override { scope_.emplace(&clock_, Platform{&backend_, &locks_}); }
  void TearDown() override { scope_.reset(); }
  FakeHidDevice& add_camera(const std::string& path) {
    FakeHidDevice& d = backend_.add(path, camera_descriptor());
    answer_gen2(d);
    return d;
  }

  VirtualClock clock_;
  FakeHidBackend backend_;
  ProcessLockBackend locks_;
  std::optional<lumavix::test::LibraryScope> scope_;
};

TEST_F(FrameTest, FindsCameraAmongOtherInterfacesAndReadsGeneration) {
  backend_.add("/dev/hidraw0", mouse_descriptor());
  add_camera("/dev/hidraw1");
  std::vector<std::string> trace;
  set_trace_sink([&](std::string_view l) { trace.emplace_back(l); });

  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(library_kind(), DeviceKind::Hid);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 1);
  EXPECT_EQ(device_path(0), "/dev/hidraw1");
  EXPECT_EQ(device_chip_gen(0), 2);
  std::uint8_t gen = 0;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1);
  EXPECT_EQ(gen, 2);
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.front(), "LibBuildTimeDec 23 2020 13:52:46 ");
  EXPECT_NE(std::find(trace.begin(), trace.end(), "kvVidHidCls_Init Is HID Device"), trace.end());
}

TEST_F(FrameTest, SelectionRuleOnRealShapedDescriptors) {
  // Only 0x87 declared.
  std::vector<std::uint8_t> only87 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                      0x26, 0xFF, 0x00, 0x75, 0x08, 0x85, 0x87, 0x95, 0x04,
                                      0x09, 0x02, 0xB1, 0x02, 0xC0};
  // 0x87 and 0x93 plus two more feature reports: four data items.
  std::vector<std::uint8_t> four = camera_descriptor(true);
  four.pop_back();
  const std::uint8_t extra[] = {0x85, 0x99, 0x95, 0x01, 0x09, 0x05, 0xB1, 0x02, 0xC0};
  four.insert(four.end(), std::begin(extra), std::end(extra));

  struct Case {
    const char* what;
    std::vector<std::uint8_t> desc;
    bool camera;
  } cases[] = {
      {"0x87, 0x93 and 0x97", camera_descriptor(true), true},
      {"0x87 and 0x93", camera_descriptor(false), true},
      {"0x87 only", only87, false},
      {"four feature data items", four, false},
      {"mouse", mouse_descriptor(), false},
      {"empty", {}, false},
      {"truncated mid-item", {0x06, 0x00}, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(hid_interface_is_camera(c.desc), c.camera) << c.what;
}

TEST_F(FrameTest, TakesAtMost24CamerasInEnumerationOrder) {
  for (int i = 0; i < 30; ++i) add_camera("/dev/hidraw" + std::to_string(i));
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 24);
  EXPECT_EQ(device_path(23), "/dev/hidraw23");
  EXPECT_EQ(backend_.opens, 24) << "the 25th acceptable interface ends the enumeration";
  std::uint8_t gen = 9;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(24, gen), 0) << "position 24 is outside the table";
  EXPECT_EQ(gen, 0);
}

TEST_F(FrameTest, FreePositionsAndOutOfRangeIndexesFailWithoutTraffic) {
  FakeHidDevice& d = add_camera("/dev/hidraw0");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  d.log.clear();
  std::uint8_t gen = 9;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(5, gen), 0);
  EXPECT_EQ(gen, 0);
  std::uint32_t v = 0;
  EXPECT_LT(kvVidHidCls_RegReadDev(-1, 0, 1, v), 0);
  EXPECT_LT(kvVidHidCls_RegReadDev(24, 0, 1, v), 0);
  EXPECT_LT(kvVidHidCls_RegWriteDev(3, 0, 1, v), 0);
  EXPECT_TRUE(d.log.empty());
}

TEST_F(FrameTest, ReinitialisationShutsDownFirstAndGivesTheSameResult) {
  add_camera("/dev/hidraw0");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 1);
  EXPECT_EQ(backend_.opens, 2);
  kvVidHidCls_DeInit();
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 0);
  EXPECT_EQ(library_state().table[0].hid, nullptr) << "released handles are cleared";
  std::uint32_t v = 0;
  EXPECT_LT(kvVidHidCls_RegRead(0, 1, v), 0);
  kvVidHidCls_DeInit();  // twice is harmless
}

TEST_F(FrameTest, NoCameraSaysWhy) {
  backend_.add("/dev/hidraw0", mouse_descriptor());
  std::vector<std::string> trace;
  set_trace_sink([&](std::string_view l) { trace.emplace_back(l); });
  EXPECT_EQ(kvVidHidCls_Init(), 0);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 0);
  EXPECT_NE(std::find(trace.begin(), trace.end(), "No found HID Device."), trace.end());
  ASSERT_EQ(library_causes().size(), 1u);
  EXPECT_NE(library_causes()[0].find("none of the 1 HID interface is"), std::string::npos)
      << library_causes()[0];

  // A camera interface the user may not open: the cause names the node.
  add_camera("/dev/hidraw3");
  backend_.entries.back().open_error = EACCES;
  EXPECT_EQ(kvVidHidCls_Init(), 0);
  ASSERT_EQ(library_causes().size(), 1u);
  EXPECT_EQ(library_causes()[0], "permission denied on /dev/hidraw3");
}

// The lock is held by another thread for longer than any wait: operations
// give up after their own time-out (virtual time) and never touch the device.
TEST_F(FrameTest, LockTimeOutsDependOnTheOperation) {
  FakeHidDevice& d = add_camera("/dev/hidraw0");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  SysError err;
  auto other = locks_.create(kLibraryLockName, err);
  ASSERT_TRUE(other);

  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    ASSERT_TRUE(other->try_acquire());
    held = true;
    while (!done) std::this_thread::yield();
    other->release();
  });
  while (!held) std::this_thread::yield();
  d.log.clear();

  struct Case {
    const char* what;
    std::function<HRESULT32()> op;
    std::uint32_t timeout_ms;
  } cases[] = {
      {"flash read", [] { std::uint8_t b[3]; const std::uint8_t op = 0x9F;
                          return kvVidHidCls_SpiCmdRead(0, 1, 1, &op, 3, b); }, 100},
      {"flash write", [] { const std::uint8_t op = 0x06;
                           return kvVidHidCls_SpiCmdWrite(0, 1, 0, nullptr, 1, &op); }, 1000},
      {"register read", [] { std::uint32_t v; return kvVidHidCls_RegRead(0, 1, v); }, 1000},
      {"register write", [] { return kvVidHidCls_RegWriteDev(0, 0x80, 1, 1); }, 1000},
  };
  for (const Case& c : cases) {
    const std::uint64_t start = clock_.now_us();
    EXPECT_LT(c.op(), 0) << c.what;
    const std::uint64_t waited_ms = (clock_.now_us() - start) / 1000;
    EXPECT_GE(waited_ms, c.timeout_ms) << c.what;
    EXPECT_LE(waited_ms, c.timeout_ms + 2) << c.what;
  }
  std::uint8_t gen = 9;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 0) << "the generation query needs the lock too";
  EXPECT_TRUE(d.log.empty()) << "no device traffic without the lock";

  done = true;
  holder.join();
  std::uint32_t v = 0;
  EXPECT_GE(kvVidHidCls_RegRead(0, 1, v), 0) << "works again once the lock is free";
}

TEST_F(FrameTest, WaitSurvivesTickCounterWrap) {
  VirtualClock wrapping(0xFFFFFF00u);  // wraps 256 ms into the wait
  set_clock(&wrapping);
  add_camera("/dev/hidraw0");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  SysError err;
  auto other = locks_.create(kLibraryLockName, err);
  ASSERT_TRUE(other);
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    ASSERT_TRUE(other->try_acquire());
    held = true;
    while (!done) std::this_thread::yield();
    other->release();
  });
  while (!held) std::this_thread::yield();
  const std::uint64_t start = wrapping.now_us();
  std::uint32_t v = 0;
  EXPECT_LT(kvVidHidCls_RegRead(0, 1, v), 0);
  EXPECT_GE((wrapping.now_us() - start) / 1000, 1000u) << "the wrap must not end the wait early";
  done = true;
  holder.join();
}

}  // namespace
}  // namespace lumavix::test

namespace lumavix::test {
namespace {

// The frame and the access layer call probe, release, path and writer_key of
// whichever transport holds the camera without looking; an operation a
// transport lacks is refused by the access layer, so only those may be null.
TEST(TransportTables, ProbeOrderAndTheOperationsEachKindLacks) {
  struct Expected {
    DeviceKind kind;
    bool chip_gen;
    bool spi;
  };
  const Expected expected[] = {
      {DeviceKind::Hid, true, true},
      {DeviceKind::VideoClass, true, true},
      {DeviceKind::VendorVideo, false, true},
      {DeviceKind::BdaVendor, false, false},
  };
  const auto order = transports();
  ASSERT_EQ(order.size(), std::size(expected));
  for (std::size_t i = 0; i < order.size(); ++i) {
    const Transport& t = *order[i];
    const char* name = device_kind_name(expected[i].kind);
    EXPECT_EQ(t.kind, expected[i].kind) << "probe " << i << " should be " << name;
    EXPECT_TRUE(t.found_trace && t.probe && t.release && t.path && t.writer_key) << name;
    EXPECT_TRUE(t.reg_read && t.reg_write && t.i2c_read && t.i2c_write) << name;
    EXPECT_EQ(t.chip_gen != nullptr, expected[i].chip_gen) << name;
    EXPECT_EQ(t.spi_read != nullptr, expected[i].spi) << name;
    EXPECT_EQ(t.spi_write != nullptr, expected[i].spi) << name;
  }
}

}  // namespace
}  // namespace lumavix::test
