// Raw feature-report frames for talking to a SimCamera byte for byte, as the
// bridge's HID interface expects them.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "sim/simulator.h"

namespace lumavix::sim::test {

// A camera of profile q with no latency and no busy times unless asked.
inline SimCameraConfig quiet_config(SimProfile profile = SimProfile::Q) {
  SimOptions o;
  o.profile = profile;
  o.latency_us = 0;
  o.busy = false;
  return camera_config_for(o);
}

class Frames {
 public:
  explicit Frames(SimCamera& cam) : cam_(cam) {}

  int set87(std::array<std::uint8_t, 4> p) {
    const std::uint8_t buf[5] = {0x87, p[0], p[1], p[2], p[3]};
    return cam_.set_feature(buf);
  }
  int set93(const std::vector<std::uint8_t>& payload) { return set40(0x93, payload); }
  int set97(const std::vector<std::uint8_t>& payload) { return set40(0x97, payload); }
  int set40(std::uint8_t id, const std::vector<std::uint8_t>& payload) {
    std::array<std::uint8_t, 41> buf{};
    buf[0] = id;
    for (std::size_t i = 0; i < payload.size() && i < 40; ++i) buf[1 + i] = payload[i];
    return cam_.set_feature(buf);
  }
  // The device's 41 reply bytes; byte 0 is its first reply byte.
  int get93(std::array<std::uint8_t, 41>& out) {
    out.fill(0);
    out[0] = 0x93;
    return cam_.get_feature(out);
  }
  std::array<std::uint8_t, 41> get93() {
    std::array<std::uint8_t, 41> r{};
    EXPECT_EQ(get93(r), 41);
    return r;
  }

  std::uint32_t reg_read16(std::uint16_t addr, std::uint8_t len) {
    EXPECT_EQ(set87({0x08, static_cast<std::uint8_t>(addr), static_cast<std::uint8_t>(addr >> 8),
                     len}),
              5);
    const auto r = get93();
    return std::uint32_t{r[0]} | std::uint32_t{r[1]} << 8 | std::uint32_t{r[2]} << 16 |
           std::uint32_t{r[3]} << 24;
  }
  std::uint32_t reg_read8(std::uint8_t addr, std::uint8_t len) {
    EXPECT_EQ(set87({0x00, addr, len, 0x00}), 5);
    const auto r = get93();
    return std::uint32_t{r[0]} | std::uint32_t{r[1]} << 8 | std::uint32_t{r[2]} << 16 |
           std::uint32_t{r[3]} << 24;
  }
  void reg_write16(std::uint16_t addr, std::vector<std::uint8_t> value) {
    EXPECT_EQ(set87({0x09, 0, 0, 0}), 5);
    std::vector<std::uint8_t> p = {static_cast<std::uint8_t>(addr),
                                   static_cast<std::uint8_t>(addr >> 8),
                                   static_cast<std::uint8_t>(value.size())};
    p.insert(p.end(), value.begin(), value.end());
    EXPECT_EQ(set93(p), 41);
  }
  void reg_write8(std::uint8_t addr, std::vector<std::uint8_t> value) {
    EXPECT_EQ(set87({0x01, 0, 0, 0}), 5);
    std::vector<std::uint8_t> p = {addr, static_cast<std::uint8_t>(value.size())};
    p.insert(p.end(), value.begin(), value.end());
    EXPECT_EQ(set93(p), 41);
  }

  // One serial-flash write piece: [target 0, count, finish, bytes].
  void spi_write(std::uint8_t finish, const std::vector<std::uint8_t>& bytes) {
    EXPECT_EQ(set87({0x0B, 0, 0, 0}), 5);
    std::vector<std::uint8_t> p = {0x00, static_cast<std::uint8_t>(bytes.size()), finish};
    p.insert(p.end(), bytes.begin(), bytes.end());
    EXPECT_EQ(set93(p), 41);
  }
  // One serial-flash read piece of n bytes.
  std::vector<std::uint8_t> spi_read(std::uint8_t n, std::uint8_t finish) {
    EXPECT_EQ(set87({0x0A, 0, n, finish}), 5);
    const auto r = get93();
    return {r.begin(), r.begin() + n};
  }

  std::uint8_t flash_status() {
    spi_write(0, {0x05});
    return spi_read(1, 1)[0];
  }
  std::vector<std::uint8_t> flash_id() {
    spi_write(0, {0x9F});
    return spi_read(3, 1);
  }
  void write_enable() { spi_write(1, {0x06}); }
  void write_disable() { spi_write(1, {0x04}); }
  void sector_erase(std::uint32_t a) {
    spi_write(1, {0x20, static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                  static_cast<std::uint8_t>(a)});
  }
  // Page program as the library sends it: the command, then 32-byte pieces.
  void page_program(std::uint32_t a, const std::vector<std::uint8_t>& data) {
    const std::vector<std::uint8_t> cmd = {0x02, static_cast<std::uint8_t>(a >> 16),
                                           static_cast<std::uint8_t>(a >> 8),
                                           static_cast<std::uint8_t>(a)};
    spi_write(0, cmd);
    std::size_t done = 0;
    while (done < data.size()) {
      const std::size_t n = std::min<std::size_t>(32, data.size() - done);
      spi_write(done + n == data.size() ? 1 : 0,
                std::vector<std::uint8_t>(data.begin() + done, data.begin() + done + n));
      done += n;
    }
  }
  std::vector<std::uint8_t> flash_read(std::uint32_t a, std::size_t count) {
    spi_write(0, {0x03, static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                  static_cast<std::uint8_t>(a)});
    std::vector<std::uint8_t> out;
    while (out.size() < count) {
      const std::size_t n = std::min<std::size_t>(32, count - out.size());
      const auto piece = spi_read(static_cast<std::uint8_t>(n), out.size() + n == count ? 1 : 0);
      out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
  }

 private:
  SimCamera& cam_;
};

}  // namespace lumavix::sim::test
