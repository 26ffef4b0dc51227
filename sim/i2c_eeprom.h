// A 24-series I2C EEPROM with 16-bit word addresses: a write transaction sets
// the address pointer from its first two bytes and stores the rest inside the
// addressed page (wrapping at the page end, as the parts do); a read
// continues from the pointer. Not thread-safe: the camera guards it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace lumavix::sim {

inline constexpr std::uint8_t kEepromSlave = 0xA0;

class SimEeprom {
 public:
  explicit SimEeprom(std::uint32_t size = 32 * 1024, std::uint32_t page_size = 64);

  // One write transaction (the bytes after the slave address). With
  // `write_protected` the part acknowledges and moves its pointer but keeps
  // its content.
  void write(std::span<const std::uint8_t> bytes, bool write_protected);
  // One read transaction from the current pointer.
  void read(std::span<std::uint8_t> out);

  [[nodiscard]] std::vector<std::uint8_t>& memory() { return mem_; }
  [[nodiscard]] const std::vector<std::uint8_t>& memory() const { return mem_; }
  [[nodiscard]] std::uint32_t pointer() const { return pointer_; }

 private:
  std::vector<std::uint8_t> mem_;
  std::uint32_t page_size_;
  std::uint32_t pointer_ = 0;
};

}  // namespace lumavix::sim
