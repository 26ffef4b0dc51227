// The simulated camera reached through its extension units and property
// sets, driven by the device access library: the same memories as over HID,
// and the library's frames must not break the camera's protocol.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/vendor_props.h"
#include "devlib/video_xu.h"
#include "firmware/flash.h"
#include "sim_frames.h"
#include "library_scope.h"

namespace lumavix::sim::test {
namespace {

void expect_no_violations(SimCamera& cam, const std::string& what) {
  for (const Violation& v : cam.violations())
    ADD_FAILURE() << what << ": transfer " << v.transfer << ": " << v.message;
}

class SimOtherTransports : public ::testing::Test {
 protected:
  void SetUp() override {
    scope_.emplace(&clock_, Platform{});
    reset_table();
  }
  void TearDown() override {
    kvVidHidCls_DeInit();
    reset_table();
    scope_.reset();
  }
  static void reset_table() { forget_enumerations_for_testing(); }
  std::unique_ptr<Simulator> start(const std::string& text) {
    SimOptions o;
    std::string err;
    EXPECT_TRUE(parse_sim_options(text, o, err)) << err;
    o.latency_us = text.find("latency") == std::string::npos ? 0 : o.latency_us;
    o.busy = false;
    auto sim = Simulator::create(o, err);
    install(*sim);
    return sim;
  }
  void install(Simulator& sim) {
    Platform p;
    p.hid = &sim.hid();
    p.video = &sim.video();
    p.props = &sim.props();
    p.locks = &locks_;
    scope_->install(p);
  }
  VirtualClock clock_{5000};
  ProcessLockBackend locks_;
  std::optional<lumavix::test::LibraryScope> scope_;
};

// Reads, programs and reads back the flash, and writes and reads the EEPROM,
// through whatever transport the profile offers.
void exercise_memories(Simulator& sim, const std::string& what, bool eeprom = true) {
  SimCamera& cam = *sim.camera(0);
  std::array<std::uint8_t, 3> id{};
  ASSERT_TRUE(spi_flash_read_id(id)) << what;
  EXPECT_EQ(id, (std::array<std::uint8_t, 3>{0xC2, 0x20, 0x11})) << what;

  std::vector<std::uint8_t> head(100);
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_Read(0, 100, head.data())) << what;
  EXPECT_EQ(head, cam.flash_bytes(0, 100)) << what;

  std::vector<std::uint8_t> page(256);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_SectorErase(0, 0x9000)) << what;
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_PageProgram(0, 0x9100, 256, page.data())) << what;
  EXPECT_EQ(cam.flash_bytes(0x9100, 256), page) << what;
  std::vector<std::uint8_t> back(256);
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_Read(0x9100, 256, back.data())) << what;
  EXPECT_EQ(back, page) << what;

  if (eeprom) {
    std::vector<std::uint8_t> bytes(32);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    ASSERT_TRUE(I2cEepromWrite(0x0140, 32, bytes.data())) << what;
    EXPECT_EQ(cam.eeprom_bytes(0x0140, 32), bytes) << what;
    std::vector<std::uint8_t> got(32);
    ASSERT_TRUE(I2cEepromRead(0x0140, 32, got.data())) << what;
    EXPECT_EQ(got, bytes) << what;
    EXPECT_EQ(cam.reg(0x0006) & 0x04, 0) << what << ": the EEPROM was unprotected first";
  }
  expect_no_violations(cam, what);
}

TEST_F(SimOtherTransports, EachTransportReachesTheSameMemories) {
  struct Case {
    const char* profile;
    DeviceKind kind;
    std::uint8_t gen;
  } cases[] = {
      {"uvc-kavex", DeviceKind::VideoClass, 2},
      {"uvc-kavex,xu-legacy=1", DeviceKind::VideoClass, 2},
      {"vendor-video", DeviceKind::VendorVideo, 0},
  };
  for (const Case& c : cases) {
    auto sim = start(c.profile);
    ASSERT_EQ(kvVidHidCls_Init(), 1) << c.profile;
    EXPECT_EQ(library_kind(), c.kind) << c.profile;
    std::uint8_t gen = 9;
    ASSERT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1) << c.profile;
    EXPECT_EQ(gen, c.gen) << c.profile;
    exercise_memories(*sim, c.profile);
    kvVidHidCls_DeInit();
  }
}

TEST_F(SimOtherTransports, LegacySelectorsAreUsedOnlyWhenTheExtendedAreRefused) {
  for (const bool legacy : {false, true}) {
    auto sim = start(legacy ? "uvc-kavex,xu-legacy=1" : "uvc-kavex");
    ASSERT_EQ(kvVidHidCls_Init(), 1);
    SimCamera& cam = *sim->camera(0);
    cam.reset_counters();
    std::uint32_t v = 0;
    ASSERT_EQ(kvVidHidCls_RegWrite(0x0300, 2, 0xBEEF), kOk);
    ASSERT_EQ(kvVidHidCls_RegRead(0x0300, 2, v), kOk);
    EXPECT_EQ(v, 0xBEEFu);
    const TransferCounters t = cam.counters();
    if (legacy) {
      EXPECT_EQ(t.xu_sets[XU_XDATA_WRITE], 1u);
      EXPECT_EQ(t.xu_gets[XU_XDATA_READ], 1u);
      EXPECT_EQ(t.failed, 2u) << "the two refused extended sets";
    } else {
      EXPECT_EQ(t.total, 3u) << "one set to write, a set and a get to read";
      EXPECT_EQ(t.xu_sets[XU_LENGTH], 0u);
    }
    expect_no_violations(cam, legacy ? "legacy" : "extended");
    kvVidHidCls_DeInit();
  }
}

TEST_F(SimOtherTransports, AveoRegistersAre16BitsAndEepromNeedsOneByteTransfers) {
  auto sim = start("uvc-aveo");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  ASSERT_EQ(device_variant(0), XuVariant::Aveo);
  SimCamera& cam = *sim->camera(0);
  ASSERT_EQ(kvVidHidCls_RegWrite(0x0300, 2, 0x1234), kOk);
  EXPECT_EQ(cam.reg(0x0300), 0x34);
  EXPECT_EQ(cam.reg(0x0301), 0x12);
  std::uint32_t v = 0;
  ASSERT_EQ(kvVidHidCls_RegRead(0x0000, 4, v), kOk);
  EXPECT_EQ(v, 0x31B2u) << "16 bits of the chip id";

  cam.write_eeprom_bytes(0x1234, std::vector<std::uint8_t>{0x5C});
  const std::uint8_t sub[2] = {0x12, 0x34};
  std::uint8_t got = 0;
  ASSERT_EQ(kvVidHidCls_I2cRead(0xA0, 2, sub, 1, &got), kOk);
  EXPECT_EQ(got, 0x5C);
  std::uint8_t many[4];
  EXPECT_EQ(kvVidHidCls_I2cRead(0xA0, 2, sub, 4, many), E_FAIL) << "one byte per transfer";
  std::array<std::uint8_t, 3> id{};
  EXPECT_FALSE(spi_flash_read_id(id))
      << "flash commands address the bridge maker's unit, which this camera lacks";
  expect_no_violations(cam, "aveo");
}

TEST_F(SimOtherTransports, EtronCameraIsFoundButRegisterReadsFailAtOnce) {
  auto sim = start("uvc-etron");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(device_variant(0), XuVariant::Etron);
  SimCamera& cam = *sim->camera(0);
  cam.reset_counters();
  std::uint32_t v = 0x77;
  EXPECT_EQ(kvVidHidCls_RegRead(0x0000, 1, v), E_FAIL);
  EXPECT_EQ(v, 0x77u);
  EXPECT_EQ(cam.counters().total, 0u) << "no transfer at all";
  std::uint8_t gen = 9;
  EXPECT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1);
  EXPECT_EQ(gen, 0);
}

TEST_F(SimOtherTransports, BdaReceiverRegistersAndI2c) {
  auto sim = start("bda");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(library_kind(), DeviceKind::BdaVendor);
  SimCamera& cam = *sim->camera(0);
  ASSERT_EQ(kvVidHidCls_RegWrite(0x0123, 2, 0xCAFE), kOk) << "wide form (chip id 0xB2)";
  EXPECT_EQ(cam.reg(0x0123), 0xFE);
  EXPECT_EQ(cam.reg(0x0124), 0xCA);
  ASSERT_EQ(kvVidHidCls_RegWrite(0x0042, 1, 0x99), kOk) << "narrow form";
  EXPECT_EQ(cam.reg(0x0042), 0x99);
  std::uint32_t v = 0;
  ASSERT_EQ(kvVidHidCls_RegRead(0x0123, 2, v), kOk);
  EXPECT_EQ(v, 0xCAFEu);
  std::vector<std::uint8_t> bytes(32, 0x3C);
  ASSERT_TRUE(I2cEepromWrite(0x0200, 32, bytes.data()));
  std::vector<std::uint8_t> got(32);
  ASSERT_TRUE(I2cEepromRead(0x0200, 32, got.data()));
  EXPECT_EQ(got, bytes);
  const std::uint8_t sub[1] = {0};
  std::uint8_t none = 0;
  EXPECT_EQ(kvVidHidCls_I2cRead(0x50, 1, sub, 1, &none), E_FAIL) << "a missing slave fails";
  std::array<std::uint8_t, 3> id{};
  EXPECT_FALSE(spi_flash_read_id(id)) << "no serial-flash commands over the BDA set";
  expect_no_violations(cam, "bda");
}

TEST_F(SimOtherTransports, CameraWithHidAndAUnitIsDrivenOverHid) {
  SimOptions o;
  o.latency_us = 0;
  std::string err;
  auto sim = Simulator::create(o, err);
  ASSERT_TRUE(sim);
  // A second camera offering both interfaces.
  SimCameraConfig both = camera_config_for(o);
  both.nodes = {SimNode::Terminal, SimNode::KavexUnit, SimNode::Terminal};
  sim->backend().add_camera(both);
  install(*sim);
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(library_kind(), DeviceKind::Hid);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 2) << "HID interfaces only";
  EXPECT_EQ(sim->camera(1)->counters().xu_sets[XU_XDATA_EX_READ], 0u);
}

TEST_F(SimOtherTransports, CameraMovedToAnotherPortTakesANewPosition) {
  SimOptions o;
  o.profile = SimProfile::UvcKavex;
  o.latency_us = 0;
  std::string err;
  auto sim = Simulator::create(o, err);
  sim->backend().add_camera(camera_config_for(o));  // usb-1-2:1.0
  install(*sim);
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(device_path(0), "usb-1-1:1.0");
  EXPECT_EQ(device_path(1), "usb-1-2:1.0");
  kvVidHidCls_DeInit();

  sim->camera(0)->set_port("usb-1-7:1.0");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(device_path(0), "usb-1-2:1.0") << "the camera still in its port";
  EXPECT_EQ(device_path(1), "usb-1-7:1.0");
  kvVidHidCls_DeInit();

  sim->camera(1)->unplug();
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  EXPECT_EQ(kvVidHidCls_GetDevCount(), 1);
  EXPECT_EQ(device_path(0), "usb-1-7:1.0");
}

TEST_F(SimOtherTransports, InjectedFailuresCountControlTransfers) {
  auto sim = start("uvc-kavex,fail-at=3");
  // The probe's generation read takes transfers 1 and 2.
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  SimCamera& cam = *sim->camera(0);
  std::uint32_t v = 0;
  ASSERT_EQ(kvVidHidCls_RegRead(0x0000, 1, v), kOk)
      << "transfer 3 fails, the legacy form takes over";
  EXPECT_EQ(cam.counters().failed, 1u);
  EXPECT_EQ(cam.counters().xu_gets[XU_XDATA_READ], 1u);
}

// ------------------------------------------------------- raw endpoints --

TEST(SimXuEndpoint, ProtocolBreachesAreViolations) {
  SimCameraConfig c = quiet_config(SimProfile::UvcKavex);
  c.nodes = {SimNode::Terminal, SimNode::KavexUnit, SimNode::AveoUnit};
  SimCamera cam(c);
  const auto q = [](const Guid& g, std::uint32_t sel, std::uint32_t flags, std::uint32_t node) {
    return XuQuery{g, sel, flags, node};
  };
  std::uint8_t two[2] = {0x00, 0x01};
  std::uint8_t buf[32] = {};
  struct Case {
    const char* what;
    XuQuery query;
    std::span<std::uint8_t> data;
    int rc;
  } cases[] = {
      {"set-support on the unit", q(kKavexUnitGuid, 0, kXuFlagSetSupport, 1), {}, 0},
      {"wrong GUID for the node", q(kAveoUnitGuid, 0, kXuFlagSetSupport, 1), {}, -ENOENT},
      {"a terminal", q(kKavexUnitGuid, 26, kXuFlagGet, 0), buf, -ENOENT},
      {"length not announced", q(kKavexUnitGuid, XU_REG_READ, kXuFlagSet, 1), two, -EPIPE},
      {"get without set", q(kKavexUnitGuid, XU_XDATA_EX_READ, kXuFlagGet, 1), buf, -EPIPE},
      {"extended of 2 bytes", q(kKavexUnitGuid, XU_XDATA_EX_READ, kXuFlagSet, 1), two, -EPIPE},
      {"Aveo on selector 1", q(kAveoUnitGuid, 1, kXuFlagSet, 2), buf, -EPIPE},
  };
  std::size_t expected_violations = 0;
  for (const Case& k : cases) {
    EXPECT_EQ(cam.xu_request(k.query, k.data), k.rc) << k.what;
    if (k.rc == -EPIPE) ++expected_violations;
    EXPECT_EQ(cam.violations().size(), expected_violations) << k.what;
  }
}

TEST(SimPropertyEndpoint, AnswersOnlyItsOwnSetAndChecksForms) {
  SimCamera cam(quiet_config(SimProfile::VendorVideo));
  PropRequest other(kBdaVendorSetGuid, kPropRegSelect, kPropSet, false);
  EXPECT_EQ(cam.property(std::span(other.bytes.data(), other.size)), -ENOENT);
  PropRequest longsel(kVendorVideoSetGuid, kPropRegSelect, kPropSet, true);
  EXPECT_EQ(cam.property(std::span(longsel.bytes.data(), longsel.size)), -EPIPE);
  PropRequest value(kVendorVideoSetGuid, kPropRegValue, kPropGet, false);
  EXPECT_EQ(cam.property(std::span(value.bytes.data(), value.size)), -EPIPE)
      << "a value without a select";
  EXPECT_EQ(cam.violations().size(), 2u);
  PropRequest sel(kVendorVideoSetGuid, kPropRegSelect, kPropSet, false);
  sel.set_word(kPropWordAAt, 0x0A01);
  EXPECT_EQ(cam.property(std::span(sel.bytes.data(), sel.size)), 32);
  PropRequest get(kVendorVideoSetGuid, kPropRegValue, kPropGet, false);
  EXPECT_EQ(cam.property(std::span(get.bytes.data(), get.size)), 32);
  EXPECT_EQ(get.word(kPropWordAAt), 0xB2u) << "register 0x0A, the chip id";
}

TEST(SimProfilesOtherTransports, ParseAndShape) {
  struct Case {
    const char* text;
    SimProfile profile;
    bool hid;
    bool receiver;
  } cases[] = {
      {"uvc-kavex", SimProfile::UvcKavex, false, false},
      {"uvc-aveo", SimProfile::UvcAveo, false, false},
      {"uvc-etron", SimProfile::UvcEtron, false, false},
      {"vendor-video", SimProfile::VendorVideo, false, false},
      {"bda", SimProfile::Bda, false, true},
  };
  for (const Case& c : cases) {
    SimOptions o;
    std::string err;
    ASSERT_TRUE(parse_sim_options(c.text, o, err)) << c.text << ": " << err;
    EXPECT_EQ(o.profile, c.profile) << c.text;
    EXPECT_STREQ(profile_name(o.profile), c.text);
    const SimCameraConfig cfg = camera_config_for(o);
    EXPECT_EQ(cfg.hid, c.hid) << c.text;
    EXPECT_EQ(cfg.receiver_device, c.receiver) << c.text;
    EXPECT_FALSE(cfg.flash_content.empty()) << c.text << ": the same memories as profile q";
  }
  SimOptions o;
  std::string err;
  EXPECT_FALSE(parse_sim_options("uvc-kavex,xu-legacy=2", o, err));
  EXPECT_NE(err.find("xu-legacy"), std::string::npos) << err;
}


// ------------------------------------------------- the two routes --

// A video platform that sends every request through the video driver, as a
// library without the raw route would: the driver's fixed lengths must
// then stop the flash operations.
class DriverOnlyVideo final : public VideoClassBackend {
 public:
  explicit DriverOnlyVideo(VideoClassBackend& inner) : inner_(inner) {}
  bool list(DeviceCategory c, std::vector<CategoryDevice>& out, SysError& err) override {
    return inner_.list(c, out, err);
  }
  std::unique_ptr<VideoControl> bind(DeviceCategory c, const std::string& path,
                                     SysError& err) override {
    auto inner = inner_.bind(c, path, err);
    return inner ? std::make_unique<Control>(std::move(inner)) : nullptr;
  }

 private:
  struct Control final : VideoControl {
    explicit Control(std::unique_ptr<VideoControl> c) : c_(std::move(c)) {}
    std::uint32_t node_count() override { return c_->node_count(); }
    bool node_is_extension_unit(std::uint32_t n) override { return c_->node_is_extension_unit(n); }
    int xu_request(const XuQuery& q, std::span<std::uint8_t> data, SysError& err) override {
      XuQuery driver = q;
      driver.route = XuRoute::Driver;
      return c_->xu_request(driver, data, err);
    }
    const std::string& path() const override { return c_->path(); }
    std::unique_ptr<VideoControl> c_;
  };
  VideoClassBackend& inner_;
};

TEST_F(SimOtherTransports, FlashAndI2cNeedTheRawRouteRegistersDoNot) {
  for (const char* profile : {"uvc-kavex", "uvc-kavex,xu-legacy=1"}) {
    auto sim = start(profile);
    auto& video = static_cast<SimVideoBackend&>(sim->video());
    ASSERT_EQ(kvVidHidCls_Init(), 1) << profile;
    std::uint32_t v = 0;
    ASSERT_EQ(kvVidHidCls_RegWrite(0x0300, 2, 0xBEEF), kOk) << profile;
    ASSERT_EQ(kvVidHidCls_RegRead(0x0300, 2, v), kOk) << profile;
    const bool legacy = std::string(profile).find("legacy") != std::string::npos;
    // Extended register access leaves the camera with its driver; the
    // legacy forms vary in length and must go raw.
    EXPECT_EQ(video.hand_overs(), legacy ? 1u : 0u)
        << profile << ": hand-overs after register access";
    exercise_memories(*sim, profile);
    EXPECT_EQ(video.driver_refusals(), 0u) << profile << ": nothing may reach the driver with a "
                                                        "length it does not take";
    EXPECT_EQ(video.hand_overs(), 1u) << profile << ": one hand-over while the library holds it";
    EXPECT_GT(video.raw_requests(), 0u) << profile;
    kvVidHidCls_DeInit();

    // Given back at the close, the driver serves registers again.
    ASSERT_EQ(kvVidHidCls_Init(), 1) << profile;
    const std::uint64_t raw_before = video.raw_requests();
    ASSERT_EQ(kvVidHidCls_RegRead(0x0300, 2, v), kOk) << profile;
    EXPECT_EQ(video.raw_requests() == raw_before, !legacy)
        << profile << ": extended register reads after the close go through the driver";
    kvVidHidCls_DeInit();
  }
}

TEST_F(SimOtherTransports, VariableLengthThroughTheDriverFailsWithItsCause) {
  auto sim = start("uvc-kavex");
  auto& video = static_cast<SimVideoBackend&>(sim->video());
  DriverOnlyVideo driver_only(video);
  Platform p = platform();
  p.video = &driver_only;
  scope_->install(p);
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  std::uint8_t gen = 9;
  ASSERT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1) << "fixed-length register access works";

  std::vector<std::uint8_t> head(100);
  std::vector<std::uint8_t> status(1);
  const bool read = kvVidHidCls_SPI_Flash_Read(0, 100, head.data()) &&
                    kvVidHidCls_SPI_Flash_Read(0, 1, status.data());
  EXPECT_FALSE(read) << "serial-flash reads of two lengths through the driver must fail";
  EXPECT_GT(video.driver_refusals(), 0u);
  EXPECT_EQ(last_transfer_error().code, ENOBUFS) << last_transfer_error().message;
  EXPECT_NE(last_transfer_error().message.find("bytes, not"), std::string::npos)
      << "the failure names both lengths: " << last_transfer_error().message;
  kvVidHidCls_DeInit();
}

}  // namespace
}  // namespace lumavix::sim::test
