#include "sim/spi_flash.h"

#include <algorithm>

#include "devlib/clock.h"

namespace lumavix::sim {

namespace {

struct KnownPart {
  std::array<std::uint8_t, 3> id;
  SpiFlashGeometry geometry;
};

// Real sizes of the parts the tool knows (the size in the part's name).
constexpr KnownPart kKnownParts[] = {
    {{0xC2, 0x20, 0x10}, {0x10000, 256}},  {{0xC2, 0x22, 0x10}, {0x10000, 32}},
    {{0xC2, 0x22, 0x11}, {0x20000, 256}},  {{0xC2, 0x20, 0x11}, {0x20000, 256}},
    {{0xC2, 0x20, 0x16}, {0x400000, 256}}, {{0x7F, 0x9D, 0x20}, {0x10000, 256}},
    {{0xEF, 0x30, 0x11}, {0x20000, 256}},  {{0xEF, 0x30, 0x12}, {0x40000, 256}},
    {{0xEF, 0x30, 0x13}, {0x80000, 256}},  {{0xEF, 0x30, 0x14}, {0x100000, 256}},
};

constexpr std::uint32_t kBlockSize = 0x10000;
constexpr std::uint32_t kSectorBytes = 0x1000;

}  // namespace

SpiFlashGeometry spi_flash_geometry(const std::array<std::uint8_t, 3>& id) {
  for (const KnownPart& p : kKnownParts) {
    if (p.id == id) return p.geometry;
  }
  return {0x20000, 256};
}

SimSpiFlash::SimSpiFlash(const std::array<std::uint8_t, 3>& id, bool present)
    : id_(id), present_(present) {
  const SpiFlashGeometry g = spi_flash_geometry(id);
  capacity_ = g.capacity;
  page_size_ = g.page_size;
  mem_.assign(present ? capacity_ : 0, 0xFF);
  latch_.assign(page_size_, 0xFF);
  latched_.assign(page_size_, false);
}

void SimSpiFlash::start_busy(std::uint32_t ms) {
  if (!busy_times_ && !stuck_busy_) {
    finish_cycle();
    return;
  }
  busy_active_ = true;
  busy_start_ms_ = clock().ticks_ms();
  busy_ms_ = busy_times_ ? ms : 0;
}

void SimSpiFlash::update_busy() {
  if (!busy_active_ || stuck_busy_) return;
  if (clock().ticks_ms() - busy_start_ms_ >= busy_ms_) {
    busy_active_ = false;
    finish_cycle();
  }
}

void SimSpiFlash::finish_cycle() {
  if (pending_status_) {
    set_nv_status(*pending_status_);
    pending_status_.reset();
  }
  // A finished erase, program or status write clears the latch.
  status_ &= static_cast<std::uint8_t>(~kStatusWel);
}

bool SimSpiFlash::busy() {
  update_busy();
  return busy_active_;
}

std::uint8_t SimSpiFlash::status() {
  if (!present_) return 0xFF;
  update_busy();
  return static_cast<std::uint8_t>(status_ | (busy_active_ ? kStatusWip : 0));
}

void SimSpiFlash::power_cycle() {
  selected_ = false;
  cmd_.clear();
  data_count_ = 0;
  out_count_ = 0;
  busy_active_ = false;
  pending_status_.reset();
  status_ &= kStatusWritable;
}

void SimSpiFlash::set_nv_status(std::uint8_t bits) {
  status_ = static_cast<std::uint8_t>((status_ & ~kStatusWritable) | (bits & kStatusWritable));
}

bool SimSpiFlash::range_protected(std::uint32_t start, std::uint32_t length) const {
  const unsigned level = (status_ & kStatusBp) >> 2;
  if (level == 0 || length == 0) return false;
  // Level 1 covers the top quarter, level 2 the top half, level 3 everything.
  const std::uint32_t protected_size = capacity_ >> (3 - level);
  const std::uint32_t first_protected = capacity_ - protected_size;
  const std::uint32_t s = wrap(start);
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{s} + length, capacity_);
  return end > first_protected;
}

bool SimSpiFlash::is_protected(std::uint32_t address) const {
  return range_protected(address, 1);
}

std::uint32_t SimSpiFlash::command_address() const {
  if (cmd_.size() < 4) return 0;
  return std::uint32_t{cmd_[1]} << 16 | std::uint32_t{cmd_[2]} << 8 | cmd_[3];
}

void SimSpiFlash::clock_in(std::span<const std::uint8_t> bytes) {
  if (!present_) return;
  if (!selected_) {
    selected_ = true;
    busy_at_select_ = busy();
    cmd_.clear();
    data_count_ = 0;
    out_count_ = 0;
    std::fill(latched_.begin(), latched_.end(), false);
  }
  for (std::uint8_t b : bytes) {
    if (cmd_.size() < 4) {
      cmd_.push_back(b);
      continue;
    }
    if (cmd_[0] == kOpPageProgram) {
      // The page buffer wraps: byte i lands at (A7..A0 + i) within the page,
      // so of more than a page only the last page-full is kept.
      const std::uint32_t off =
          static_cast<std::uint32_t>((command_address() + data_count_) % page_size_);
      latch_[off] = b;
      latched_[off] = true;
    }
    ++data_count_;
  }
}

std::uint8_t SimSpiFlash::clock_out() {
  if (!present_) return 0xFF;
  if (!selected_) {
    // Reading without an opcode: the part drives nothing.
    clock_in({});
  }
  const std::uint32_t n = out_count_++;
  if (cmd_.empty()) return 0xFF;
  const std::uint8_t op = cmd_[0];
  if (op == kOpReadStatus && cmd_.size() == 1) return status();
  if (busy_at_select_) return 0xFF;
  if (op == kOpReadId && cmd_.size() == 1) return id_[n % 3];
  if (op == kOpRead && cmd_.size() == 4 && data_count_ == 0) {
    if (n == 0) read_addr_ = command_address();
    return mem_[wrap(read_addr_++)];
  }
  return 0xFF;
}

void SimSpiFlash::deselect() {
  if (!selected_) return;
  selected_ = false;
  if (!cmd_.empty() && cmd_[0] == kOpRead && cmd_.size() == 4 && data_count_ == 0 &&
      out_count_ > 0 && !busy_at_select_) {
    record(SpiFlashOp::Kind::Read, wrap(command_address()), out_count_);
  }
  execute();
}

void SimSpiFlash::set_recording(bool on) {
  recording_ = on;
  ops_.clear();
}

void SimSpiFlash::record(SpiFlashOp::Kind kind, std::uint32_t address, std::uint32_t length) {
  if (recording_) ops_.push_back({kind, address, length});
}

void SimSpiFlash::execute() {
  if (cmd_.empty()) return;
  const std::uint8_t op = cmd_[0];
  const std::uint64_t total = cmd_.size() + data_count_;
  const bool writing = op == kOpWriteEnable || op == kOpWriteDisable ||
                       op == kOpWriteStatus || op == kOpPageProgram ||
                       op == kOpSectorErase || op == kOpBlockErase || op == kOpChipErase ||
                       op == kOpChipErase2;
  if (!writing) return;
  // While an operation runs, the part listens to nothing but status reads.
  if (busy_at_select_ || busy()) {
    ++stats_.ignored;
    return;
  }
  const bool wel = (status_ & kStatusWel) != 0;
  switch (op) {
    case kOpWriteEnable:
      if (total != 1) break;
      status_ |= kStatusWel;
      return;
    case kOpWriteDisable:
      if (total != 1) break;
      status_ &= static_cast<std::uint8_t>(~kStatusWel);
      return;
    case kOpWriteStatus:
      if (total != 2 || !wel) break;
      pending_status_ = cmd_[1];
      ++stats_.status_writes;
      if ((cmd_[1] & kStatusBp) != 0) ++stats_.protecting_writes;
      start_busy(timing_.status_write_ms);
      return;
    case kOpPageProgram: {
      if (cmd_.size() < 4 || data_count_ == 0 || !wel) break;
      const std::uint32_t a = wrap(command_address());
      const std::uint32_t page_base = a - a % page_size_;
      if (range_protected(page_base, page_size_)) break;
      for (std::uint32_t off = 0; off < page_size_; ++off) {
        // Programming can only clear bits; only an erase sets them again.
        if (latched_[off]) mem_[page_base + off] &= latch_[off];
      }
      ++stats_.page_programs;
      record(SpiFlashOp::Kind::Program, page_base, page_size_);
      start_busy(timing_.page_program_ms);
      return;
    }
    case kOpSectorErase:
    case kOpBlockErase: {
      if (total != 4 || !wel) break;
      const std::uint32_t unit = op == kOpSectorErase ? kSectorBytes : kBlockSize;
      const std::uint32_t a = wrap(command_address());
      const std::uint32_t start = a - a % unit;
      const std::uint32_t length = std::min(unit, capacity_ - start);
      if (range_protected(start, length)) break;
      std::fill(mem_.begin() + start, mem_.begin() + start + length, 0xFF);
      record(SpiFlashOp::Kind::Erase, start, length);
      if (op == kOpSectorErase) {
        ++stats_.sector_erases;
        start_busy(timing_.sector_erase_ms);
      } else {
        ++stats_.block_erases;
        start_busy(timing_.block_erase_ms);
      }
      return;
    }
    case kOpChipErase:
    case kOpChipErase2:
      if (total != 1 || !wel || (status_ & kStatusBp) != 0) break;
      std::fill(mem_.begin(), mem_.end(), 0xFF);
      record(SpiFlashOp::Kind::Erase, 0, capacity_);
      ++stats_.chip_erases;
      start_busy(timing_.chip_erase_ms);
      return;
    default:
      return;
  }
  ++stats_.ignored;
}

}  // namespace lumavix::sim
