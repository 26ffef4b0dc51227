// A serial NOR flash as the bridge chip sees it on its SPI bus: bytes are
// clocked in and out while the chip is selected, and a command runs when the
// chip is deselected, with the write-enable latch, block protection, erase
// and program times and the program-clears-bits-only rule of real parts.
// Not thread-safe: the camera that owns it guards it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lumavix::sim {

// Opcodes the model understands.
inline constexpr std::uint8_t kOpWriteStatus = 0x01;
inline constexpr std::uint8_t kOpPageProgram = 0x02;
inline constexpr std::uint8_t kOpRead = 0x03;
inline constexpr std::uint8_t kOpWriteDisable = 0x04;
inline constexpr std::uint8_t kOpReadStatus = 0x05;
inline constexpr std::uint8_t kOpWriteEnable = 0x06;
inline constexpr std::uint8_t kOpSectorErase = 0x20;
inline constexpr std::uint8_t kOpChipErase = 0x60;
inline constexpr std::uint8_t kOpChipErase2 = 0xC7;
inline constexpr std::uint8_t kOpBlockErase = 0xD8;
inline constexpr std::uint8_t kOpReadId = 0x9F;

// Status register bits.
inline constexpr std::uint8_t kStatusWip = 0x01;
inline constexpr std::uint8_t kStatusWel = 0x02;
inline constexpr std::uint8_t kStatusBp = 0x0C;
inline constexpr std::uint8_t kStatusSrwd = 0x80;
// Bits a status write changes, and bits that survive a power cycle.
inline constexpr std::uint8_t kStatusWritable = kStatusBp | kStatusSrwd;

// How long each operation keeps the write-in-progress bit set, in ms.
struct SpiFlashTiming {
  std::uint32_t page_program_ms = 1;
  std::uint32_t sector_erase_ms = 40;
  std::uint32_t block_erase_ms = 400;
  std::uint32_t chip_erase_ms = 1000;
  std::uint32_t status_write_ms = 5;
};

struct SpiFlashStats {
  std::uint64_t page_programs = 0;
  std::uint64_t sector_erases = 0;
  std::uint64_t block_erases = 0;
  std::uint64_t chip_erases = 0;
  std::uint64_t status_writes = 0;
  // Status writes that set block-protect bits: how a download ends.
  std::uint64_t protecting_writes = 0;
  // Writing commands that a real part would ignore: no write-enable latch,
  // still busy, a protected area, or a wrong number of bytes.
  std::uint64_t ignored = 0;
};

// One operation the part carried out, for a record of what a run did to it.
struct SpiFlashOp {
  enum class Kind : std::uint8_t { Erase, Program, Read };
  Kind kind;
  std::uint32_t address;
  std::uint32_t length;
};

// Geometry of a part from its identification bytes: the real size of the
// parts of the known table, 128 KiB with 256-byte pages for anything else.
struct SpiFlashGeometry {
  std::uint32_t capacity;
  std::uint32_t page_size;
};
[[nodiscard]] SpiFlashGeometry spi_flash_geometry(const std::array<std::uint8_t, 3>& id);

class SimSpiFlash {
 public:
  // An absent flash leaves the data line floating high: every byte read is
  // 0xFF and nothing is ever written.
  SimSpiFlash(const std::array<std::uint8_t, 3>& id, bool present);

  // Bus side. Selecting is implicit with the first byte of a transaction.
  void clock_in(std::span<const std::uint8_t> bytes);
  [[nodiscard]] std::uint8_t clock_out();
  // Ends the transaction; a complete writing command starts here.
  void deselect();
  [[nodiscard]] bool selected() const { return selected_; }

  // Test and state side.
  [[nodiscard]] bool present() const { return present_; }
  [[nodiscard]] const std::array<std::uint8_t, 3>& id() const { return id_; }
  [[nodiscard]] std::uint32_t page_size() const { return page_size_; }
  [[nodiscard]] std::vector<std::uint8_t>& memory() { return mem_; }
  [[nodiscard]] const std::vector<std::uint8_t>& memory() const { return mem_; }
  // The status register as a read would return it now.
  [[nodiscard]] std::uint8_t status();
  // The non-volatile bits (block protection, SRWD).
  [[nodiscard]] std::uint8_t nv_status() const { return status_ & kStatusWritable; }
  void set_nv_status(std::uint8_t bits);
  // Whether `address` lies in the area the block-protect bits cover.
  [[nodiscard]] bool is_protected(std::uint32_t address) const;

  // Power loss: the open transaction, the latch and a running operation are
  // gone; memory and the non-volatile status bits stay.
  void power_cycle();

  void set_busy_times(bool on) { busy_times_ = on; }
  void set_stuck_busy(bool on) { stuck_busy_ = on; }
  void set_timing(const SpiFlashTiming& t) { timing_ = t; }
  [[nodiscard]] const SpiFlashStats& stats() const { return stats_; }

  // Keeps a record of every erase, page program and read carried out
  // (ignored commands are not); turning it on clears the record.
  void set_recording(bool on);
  [[nodiscard]] const std::vector<SpiFlashOp>& recorded() const { return ops_; }

 private:
  void start_busy(std::uint32_t ms);
  void update_busy();
  void finish_cycle();
  [[nodiscard]] bool busy();
  void execute();
  [[nodiscard]] std::uint32_t wrap(std::uint32_t address) const { return address % capacity_; }
  [[nodiscard]] std::uint32_t command_address() const;
  [[nodiscard]] bool range_protected(std::uint32_t start, std::uint32_t length) const;

  std::array<std::uint8_t, 3> id_;
  bool present_;
  std::uint32_t capacity_;
  std::uint32_t page_size_;
  std::vector<std::uint8_t> mem_;

  std::uint8_t status_ = 0;  // WEL, BP and SRWD; WIP comes from the busy state
  bool busy_active_ = false;
  // A status write takes effect when its write cycle ends, as on real parts.
  std::optional<std::uint8_t> pending_status_;
  std::uint32_t busy_start_ms_ = 0;
  std::uint32_t busy_ms_ = 0;
  bool busy_times_ = true;
  bool stuck_busy_ = false;
  bool recording_ = false;
  std::vector<SpiFlashOp> ops_;
  void record(SpiFlashOp::Kind kind, std::uint32_t address, std::uint32_t length);
  SpiFlashTiming timing_;

  // The open transaction.
  bool selected_ = false;
  bool busy_at_select_ = false;
  std::vector<std::uint8_t> cmd_;  // opcode and address bytes (at most 4 kept)
  std::uint64_t data_count_ = 0;   // bytes clocked in after the address
  std::vector<std::uint8_t> latch_;  // page buffer of a page program
  std::vector<bool> latched_;
  std::uint32_t out_count_ = 0;      // bytes clocked out so far
  std::uint32_t read_addr_ = 0;

  SpiFlashStats stats_;
};

}  // namespace lumavix::sim
