// The simulated camera's read-corruption and stuck-protection faults, which
// the soak relies on to mean what they say.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <vector>

#include "sim/sim_camera.h"
#include "sim/spi_flash.h"

namespace lumavix::sim {
namespace {

// One serial-flash command over the HID reports: `bytes` clocked in with
// finish 0 (or 1 when `then_read` is 0), then `then_read` bytes read back.
std::vector<std::uint8_t> spi(SimCamera& cam, std::vector<std::uint8_t> bytes,
                              std::uint8_t then_read) {
  const std::array<std::uint8_t, 5> write_cmd = {kReport87, 0x0B, 0, 0, 0};
  EXPECT_GT(cam.set_feature(write_cmd), 0);
  std::array<std::uint8_t, kDataPayload + 1> data{};
  data[0] = kReport93;
  data[1] = 0;  // target
  data[2] = static_cast<std::uint8_t>(bytes.size());
  data[3] = then_read == 0 ? 1 : 0;  // finish
  std::copy(bytes.begin(), bytes.end(), data.begin() + 4);
  EXPECT_GT(cam.set_feature(data), 0);
  if (then_read == 0) return {};
  const std::array<std::uint8_t, 5> read_cmd = {kReport87, 0x0A, 0, then_read, 1};
  EXPECT_GT(cam.set_feature(read_cmd), 0);
  std::array<std::uint8_t, kDataReply> reply{};
  reply[0] = kReport93;
  EXPECT_EQ(cam.get_feature(reply), static_cast<int>(kDataReply));
  return {reply.begin(), reply.begin() + then_read};
}

std::vector<std::uint8_t> read_flash(SimCamera& cam, std::uint8_t n) {
  return spi(cam, {kOpRead, 0, 0, 0}, n);
}

TEST(SoakSimFaults, CorruptReadFlipsExactlyTheNthReplyByteOnce) {
  SimCameraConfig c;
  c.flash_content = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
  SimCamera cam(c);
  cam.set_corrupt_flash_read(11, 0x01);  // the third byte of the second read
  EXPECT_EQ(read_flash(cam, 8), c.flash_content);
  std::vector<std::uint8_t> want = c.flash_content;
  want[2] ^= 0x01;
  EXPECT_EQ(read_flash(cam, 8), want) << "byte 11 of the replies must come back flipped";
  EXPECT_EQ(read_flash(cam, 8), c.flash_content) << "the fault strikes once";
  EXPECT_EQ(cam.flash_bytes(0, 8), c.flash_content) << "the flash itself stays intact";
}

TEST(SoakSimFaults, StuckProtectionKeepsBlockProtectBitsThroughStatusWrites) {
  for (const bool stuck : {false, true}) {
    SimCameraConfig c;
    c.busy_times = false;
    SimCamera cam(c);
    cam.set_flash_protection(kStatusBp);
    cam.set_stuck_protection(stuck);
    (void)spi(cam, {kOpWriteEnable}, 0);
    (void)spi(cam, {kOpWriteStatus, 0x00}, 0);
    const std::uint8_t status = spi(cam, {kOpReadStatus}, 1).at(0);
    EXPECT_EQ(status & kStatusBp, stuck ? kStatusBp : 0)
        << (stuck ? "stuck protection must survive a status write"
                  : "without the fault a status write clears the protection");
  }
}

}  // namespace
}  // namespace lumavix::sim
