#include "sim/i2c_eeprom.h"

namespace lumavix::sim {

SimEeprom::SimEeprom(std::uint32_t size, std::uint32_t page_size)
    : mem_(size, 0xFF), page_size_(page_size) {}

void SimEeprom::write(std::span<const std::uint8_t> bytes, bool write_protected) {
  // A transaction cut short inside the word address changes nothing.
  if (bytes.size() < 2) return;
  const std::uint32_t size = static_cast<std::uint32_t>(mem_.size());
  pointer_ = (std::uint32_t{bytes[0]} << 8 | bytes[1]) % size;
  const std::span<const std::uint8_t> data = bytes.subspan(2);
  if (data.empty()) return;
  const std::uint32_t page_base = pointer_ - pointer_ % page_size_;
  std::uint32_t offset = pointer_ % page_size_;
  for (std::uint8_t b : data) {
    if (!write_protected) mem_[page_base + offset] = b;
    offset = (offset + 1) % page_size_;
  }
  pointer_ = page_base + offset;
}

void SimEeprom::read(std::span<std::uint8_t> out) {
  const std::uint32_t size = static_cast<std::uint32_t>(mem_.size());
  for (std::uint8_t& b : out) {
    b = mem_[pointer_];
    pointer_ = (pointer_ + 1) % size;
  }
}

}  // namespace lumavix::sim
