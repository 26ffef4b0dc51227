// The simulated camera seen through the device access library, as the tool
// sees it: the library must find it, and the library's own frames must not
// break the camera's protocol.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/hid_transport.h"
#include "firmware/flash.h"
#include "firmware/image.h"
#include "sim_frames.h"
#include "library_scope.h"

namespace lumavix::sim::test {
namespace {

// A boot keyboard: input and output reports only.
std::vector<std::uint8_t> keyboard_descriptor() {
  return {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
          0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
          0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
          0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
          0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
}

TEST(SimBackend, ListsCamerasAmongOtherInterfaces) {
  SimHidBackend backend;
  backend.add_interface({"/sim/keyboard", keyboard_descriptor(), 0x046D, 0xC31C, "keyboard"});
  SimCamera& cam = *backend.add_camera(quiet_config());
  backend.add_interface({"/sim/other", {}, 0, 0, "no descriptor"});
  backend.set_open_error("/sim/other", EACCES);

  EXPECT_TRUE(hid_interface_is_camera(camera_report_descriptor()))
      << "the library's selection rule accepts the camera's descriptor";
  EXPECT_FALSE(hid_interface_is_camera(keyboard_descriptor()));

  std::vector<HidInterfaceInfo> list;
  SysError err;
  ASSERT_TRUE(backend.enumerate(list, err));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].path, "/sim/keyboard");
  EXPECT_EQ(list[1].path, cam.path());
  EXPECT_EQ(list[1].vendor_id, VendorId);
  EXPECT_EQ(list[1].product_id, ProductIdQA);

  auto kbd = backend.open("/sim/keyboard", err);
  ASSERT_NE(kbd, nullptr);
  const std::uint8_t cmd[5] = {0x87, 0x08, 0, 0, 4};
  EXPECT_EQ(kbd->set_feature(cmd), -EPIPE);
  EXPECT_EQ(backend.open("/sim/other", err), nullptr);
  EXPECT_EQ(err.code, EACCES);
  EXPECT_EQ(err.message, "permission denied on /sim/other");
  EXPECT_EQ(backend.open("/sim/absent", err), nullptr);
}

class SimThroughLibrary : public ::testing::Test {
 protected:
  void SetUp() override { scope_.emplace(&clock_, Platform{}); }
  void TearDown() override { scope_.reset(); }
  std::unique_ptr<Simulator> start(const char* text) {
    SimOptions o;
    std::string err;
    EXPECT_TRUE(parse_sim_options(text, o, err)) << err;
    auto sim = Simulator::create(o, err);
    Platform p;
    p.hid = &sim->hid();
    scope_->install(p);
    return sim;
  }
  VirtualClock clock_{5000};
  std::optional<lumavix::test::LibraryScope> scope_;
};

TEST_F(SimThroughLibrary, FoundIdentifiedAndProgrammed) {
  auto sim = start("q,fw=0109");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  ASSERT_EQ(kvVidHidCls_GetDevCount(), 1);
  std::uint8_t gen = 0;
  ASSERT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1);
  EXPECT_EQ(gen, 2);

  SpiFlashInfo info;
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_GetInfo(info));
  EXPECT_EQ(info.page_size, 256u);
  EXPECT_EQ(info.capacity, 0x20000u);

  std::uint8_t boot[16] = {};
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_Read(0, 16, boot));
  const UserDataLocation loc = locate_user_data(std::span<const std::uint8_t, 16>(boot, 16));
  ASSERT_TRUE(loc.readable);
  std::vector<std::uint8_t> block(kUserDataBlockSize);
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_Read(loc.block_addr, kUserDataBlockSize, block.data()));
  EXPECT_EQ(block[kUdFirmwareVersion] | block[kUdFirmwareVersion + 1] << 8, 0x0109);

  // Erase and program through the library, with the flash's real busy times
  // passing on the virtual clock.
  std::vector<std::uint8_t> page(256);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_SectorErase(0, 0x8000));
  ASSERT_TRUE(kvVidHidCls_SPI_Flash_PageProgram(0, 0x8100, 256, page.data()));
  EXPECT_EQ(sim->camera(0)->flash_bytes(0x8100, 256), page);
  EXPECT_EQ(sim->camera(0)->flash_bytes(0x8000, 4), std::vector<std::uint8_t>(4, 0xFF));
  EXPECT_EQ(sim->camera(0)->flash_status() & 0x03, 0);

  // The EEPROM through the extended I2C path.
  const std::uint8_t w[5] = {0x01, 0x20, 0xDE, 0xAD, 0xBE};
  ASSERT_EQ(kvVidHidCls_I2cWriteDev(0, 0xA0, 5, w), kOk);
  const std::uint8_t sub[2] = {0x01, 0x20};
  std::uint8_t got[3] = {};
  ASSERT_EQ(kvVidHidCls_I2cRead(0xA0, 2, sub, 3, got), kOk);
  EXPECT_EQ(std::vector<std::uint8_t>(got, got + 3), (std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE}));

  for (const Violation& v : sim->camera(0)->violations())
    ADD_FAILURE() << "transfer " << v.transfer << ": " << v.message;
}

TEST_F(SimThroughLibrary, LegacyI2cAndGenerationZero) {
  auto sim = start("gen0-eeprom,refuse-97=1");
  ASSERT_EQ(kvVidHidCls_Init(), 1);
  std::uint8_t gen = 9;
  ASSERT_EQ(kvVidHidCls_GetDevChipGen(0, gen), 1);
  EXPECT_EQ(gen, 0);
  const std::uint8_t sub[2] = {0x00, 0x00};
  std::uint8_t got[4] = {};
  ASSERT_EQ(kvVidHidCls_I2cRead(0xA0, 2, sub, 4, got), kOk);
  EXPECT_EQ(std::vector<std::uint8_t>(got, got + 4),
            (std::vector<std::uint8_t>{0x26, 0x00, 0x03, 0x00}));
  std::uint8_t none[1] = {};
  EXPECT_LT(kvVidHidCls_I2cRead(0x50, 2, sub, 1, none), 0) << "a missing slave fails";
  for (const Violation& v : sim->camera(0)->violations())
    ADD_FAILURE() << "transfer " << v.transfer << ": " << v.message;
}

TEST_F(SimThroughLibrary, NoneProfileFindsNothing) {
  auto sim = start("none");
  EXPECT_EQ(kvVidHidCls_Init(), 0);
}

}  // namespace
}  // namespace lumavix::sim::test
