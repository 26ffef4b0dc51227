#include "firmware/workers.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "devlib/clock.h"
#include "firmware/flash.h"
#include "firmware/image.h"

namespace lumavix {
namespace {

// Posts to the target and remembers the outcome of the run.
class Reporter {
 public:
  explicit Reporter(NotifyTarget& target) : target_(target) {}

  void operator()(std::uint32_t code, std::uint32_t value) {
    target_.post(code, value);
    if (is_outcome({code, value})) outcome_ = {code, value};
  }
  Notification end(std::uint32_t code, std::uint32_t value = 0) {
    (*this)(code, value);
    return outcome_;
  }
  [[nodiscard]] const Notification& outcome() const { return outcome_; }

 private:
  NotifyTarget& target_;
  Notification outcome_{};
};

// The engine's progress sink for the range operations.
class PostingSink final : public ProgressSink {
 public:
  explicit PostingSink(Reporter& report) : report_(report) {}
  void range(std::uint32_t total) override { report_(UPD_RANGE, total); }
  void position(std::uint32_t done) override { report_(UPD_DOWNLOAD_POS, done); }

 private:
  Reporter& report_;
};

// Milliseconds since the worker started; 0 once the tick counter has wrapped.
std::uint32_t elapsed_since(std::uint32_t start) {
  const std::uint32_t now = lumavix::clock().ticks_ms();
  return now > start ? now - start : 0;
}

std::uint32_t get_le24(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
}

void put_le24(std::uint8_t* p, std::uint32_t v) {
  p[0] = v & 0xFF;
  p[1] = (v >> 8) & 0xFF;
  p[2] = (v >> 16) & 0xFF;
}

std::uint32_t count_differences(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n) {
  std::uint32_t diff = 0;
  for (std::uint32_t i = 0; i < n; ++i) diff += a[i] != b[i] ? 1 : 0;
  return diff;
}

// Reads `length` bytes at `address` and compares them with `expected`. A
// read that fails counts as a difference: nothing unread is ever reported as
// verified.
bool flash_equals(std::uint32_t address, std::uint32_t length, const std::uint8_t* expected) {
  std::vector<std::uint8_t> back(length, 0);
  if (!kvVidHidCls_SPI_Flash_Read(address, length, back.data())) return false;
  return std::equal(back.begin(), back.end(), expected);
}

}  // namespace

Notification DownloadWorkerBootHeader(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  Reporter report(notify);
  PostingSink sink(report);
  const std::uint32_t total = s.byte_count;
  std::uint8_t* header = s.boot_header.data();

  const std::uint32_t boot_addr = get_le24(header + 2);
  if (header[13] != 0 || header[14] != 0 || header[15] != 0) {
    put_le24(header + 10, boot_addr + get_le24(header + 5));
  }
  report(UPD_DOWNLOAD_POS, 0);

  // Every sector the image will occupy: a complete image lies at [0, total),
  // a code-only one behind its header at [BootAddr, BootAddr + total). The
  // start refuses an empty image, so there is at least one.
  const std::uint32_t sectors = erase_sector_count(s.complete_image ? 0 : boot_addr, total);
  report(UPD_ERASE_RANGE, sectors - 1);
  for (std::uint32_t i = 0; i < sectors; ++i) {
    if (!kvVidHidCls_SPI_Flash_SectorErase(0, i * kSectorSize)) {
      return report.end(UPD_ERASE_RESULT, 0);
    }
    report(UPD_ERASE_POS, i);
  }
  report(UPD_ERASE_RESULT, 1);
  report(UPD_DOWNLOAD_BEGIN, 0);
  report(UPD_RANGE, total);
  report(UPD_DOWNLOAD_POS, 0);

  std::uint32_t write_addr = 0;
  if (!s.complete_image) {
    if (!ProgramRange(0, kBootConfigSize, header, &sink)) {
      return report.end(UPD_DOWNLOAD_FAILED);
    }
    write_addr = boot_addr;
  }
  if (!ProgramRange(write_addr, total, s.file_buffer.data(), &sink)) {
    return report.end(UPD_DOWNLOAD_FAILED);
  }

  report(UPD_VALIDATE_POS, 0);
  report(UPD_VALIDATE_RANGE, total);
  const bool header_ok = s.complete_image || flash_equals(0, kBootConfigSize, header);
  if (!header_ok || !flash_equals(write_addr, total, s.file_buffer.data())) {
    return report.end(UPD_VALIDATE_RESULT, 0);
  }
  report(UPD_VALIDATE_RESULT, 1);
  (void)kvVidHidCls_SPI_Flash_SetProtection(0, 1);
  report(UPD_ELAPSED_MS, elapsed_since(s.start_tick));
  return report.end(UPD_DOWNLOAD_DONE);
}

Notification DownloadWorkerPlainFlash(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  Reporter report(notify);
  PostingSink sink(report);
  const std::uint32_t total = s.byte_count;
  std::uint8_t* buffer = s.file_buffer.data();

  // Every failure below is a device failure; it leaves the flash as the
  // failing step left it, without restoring the protection.
  auto run = [&]() -> bool {
    report(UPD_RANGE, 0xFFFF);
    report(UPD_DOWNLOAD_POS, 0);
    for (std::uint32_t a = 0; a < kPlainSpiEraseSize; a += kSectorSize) {
      if (!kvVidHidCls_SPI_Flash_SectorErase(0, a)) return false;
      report(UPD_DOWNLOAD_POS, a);
    }
    report(UPD_DOWNLOAD_BEGIN, 0);
    report(UPD_RANGE, total);
    report(UPD_DOWNLOAD_POS, 0);
    if (!EraseProgramRange(kPlainSpiImageAddr, total, buffer, &sink)) return false;
    if (!EraseProgramRange(kPlainSpiCopyAddr, kPlainCopySize, buffer + kPlainCopyFileOffset,
                           nullptr)) {
      return false;
    }
    if (!kvVidHidCls_SPI_Flash_SectorErase(0, 0x3000)) return false;

    report(UPD_VALIDATE_BEGIN, 0);
    std::vector<std::uint8_t> back(std::max(total, kPlainCopySize), 0);
    if (!kvVidHidCls_SPI_Flash_Read(kPlainSpiImageAddr, total, back.data())) return false;
    std::uint32_t diff = count_differences(back.data(), buffer, total);
    if (!kvVidHidCls_SPI_Flash_Read(kPlainSpiCopyAddr, kPlainCopySize, back.data())) {
      return false;
    }
    diff += count_differences(back.data(), buffer + kPlainCopyFileOffset, kPlainCopySize);

    if (diff == 0) {
      const auto record = plain_boot_record(PlainTarget::SpiFlash, s.plain_type, s.plain_flags);
      std::copy(record.begin(), record.end(), buffer);
      if (!EraseProgramRange(0, record.size(), buffer, &sink)) return false;
      report(UPD_DOWNLOAD_DONE, 0);
      report(UPD_ELAPSED_MS, elapsed_since(s.start_tick));
    } else {
      report(UPD_DOWNLOAD_FAILED, 0);
    }
    return true;
  };

  if (!run()) return report.end(UPD_ACCESS_FAILED);
  (void)kvVidHidCls_SPI_Flash_SetWriteLatch(0, 1);
  (void)kvVidHidCls_SPI_Flash_SetProtection(0, 1);
  (void)kvVidHidCls_SPI_Flash_SetWriteLatch(0, 0);
  return report.outcome();
}

Notification DownloadWorkerPlainEeprom(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  Reporter report(notify);
  const std::uint32_t total = s.byte_count;
  std::uint8_t* buffer = s.file_buffer.data();
  const EepromTypeInfo* type = find_eeprom_type(s.plain_type);
  const std::uint32_t fill = type ? type->fill_size : 0;

  // Walks [0, length) in 32-byte pieces; `after_piece` reports each full
  // piece, the remainder piece is not reported. Positions are unsigned: a
  // 32 KiB fill ends at 0x8000, not at a negative value.
  auto pieces = [](std::uint32_t length, auto&& op, auto&& after_piece) -> bool {
    std::uint32_t a = 0;
    for (; length - a >= kEepromPiece; a += kEepromPiece) {
      if (!op(a, kEepromPiece)) return false;
      after_piece(a + kEepromPiece);
    }
    return a == length || op(a, length - a);
  };

  const std::array<std::uint8_t, kEepromPiece> blank = [] {
    std::array<std::uint8_t, kEepromPiece> b;
    b.fill(0xFF);
    return b;
  }();

  report(UPD_RANGE, fill);
  report(UPD_DOWNLOAD_POS, 0);
  const bool filled = pieces(
      fill,
      [&](std::uint32_t a, std::uint32_t n) {
        return I2cEepromWriteRetry(static_cast<std::uint16_t>(a), n, blank.data());
      },
      [&](std::uint32_t pos) { report(UPD_DOWNLOAD_POS, pos); });
  if (!filled) return report.end(UPD_ACCESS_FAILED);

  report(UPD_DOWNLOAD_POS, total);
  report(UPD_DOWNLOAD_BEGIN, 0);
  report(UPD_RANGE, total);
  report(UPD_DOWNLOAD_POS, 0);
  const bool programmed = pieces(
      total,
      [&](std::uint32_t a, std::uint32_t n) {
        return I2cEepromWriteRetry(static_cast<std::uint16_t>(a), n, buffer + a);
      },
      [&](std::uint32_t pos) { report(UPD_DOWNLOAD_POS, pos); });
  if (!programmed) return report.end(UPD_ACCESS_FAILED);
  report(UPD_DOWNLOAD_POS, total);

  report(UPD_VALIDATE_BEGIN, 0);
  report(UPD_VALIDATE_POS, 0);
  std::uint32_t diff = 0;
  const bool verified = pieces(
      total,
      [&](std::uint32_t a, std::uint32_t n) {
        std::array<std::uint8_t, kEepromPiece> back{};
        if (!I2cEepromReadRetry(static_cast<std::uint16_t>(a), n, back.data())) return false;
        diff += count_differences(back.data(), buffer + a, n);
        return true;
      },
      [&](std::uint32_t pos) { report(UPD_VALIDATE_POS, pos); });
  if (!verified) return report.end(UPD_ACCESS_FAILED);
  report(UPD_VALIDATE_POS, total);

  if (diff != 0) return report.end(UPD_DOWNLOAD_FAILED);
  const auto record = plain_boot_record(PlainTarget::I2cEeprom, s.plain_type, s.plain_flags);
  std::copy(record.begin(), record.end(), buffer);
  if (!I2cEepromWriteRetry(0, record.size(), buffer)) return report.end(UPD_ACCESS_FAILED);
  report(UPD_DOWNLOAD_DONE, 0);
  report(UPD_ELAPSED_MS, elapsed_since(s.start_tick));
  return report.outcome();
}

Notification UploadWorkerFlashDump(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  Reporter report(notify);
  const std::uint32_t length = std::min(s.upload_length, kMaxUploadLength);
  constexpr std::uint32_t kHalf = 0x10000;

  std::array<std::uint8_t, kBootConfigSize> head{};
  if (!kvVidHidCls_SPI_Flash_Read(0, head.size(), head.data())) {
    return report.end(UPD_ACCESS_FAILED);
  }
  report(UPD_RANGE, length);
  report(UPD_UPLOAD_BEGIN, 0);
  s.dump_buffer.fill(0);
  std::uint8_t* data = s.dump_buffer.data() + kDumpCrcSlot;

  bool read_ok = false;
  if (length > kHalf) {
    // Above 64 KiB the dump is always the first 128 KiB of the flash, read
    // in two halves; any further bytes stay zero.
    report(UPD_RANGE, kHalf);
    read_ok = kvVidHidCls_SPI_Flash_Read(0, kHalf, data);
    if (read_ok) {
      lumavix::clock().sleep_ms(100);
      report(UPD_RANGE, kHalf);
      read_ok = kvVidHidCls_SPI_Flash_Read(kHalf, kHalf, data + kHalf);
    }
  } else {
    read_ok = kvVidHidCls_SPI_Flash_Read(s.upload_start, length, data);
  }
  if (!read_ok) return report.end(UPD_ACCESS_FAILED);

  const std::uint32_t crc = Crc32(data, length);
  for (std::uint32_t i = 0; i < kDumpCrcSlot; ++i) {
    s.dump_buffer[i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  std::ofstream out(s.upload_path, std::ios::binary | std::ios::trunc);
  if (!out) return report.end(UPD_FILE_WRITE_FAILED);
  out.write(reinterpret_cast<const char*>(s.dump_buffer.data()),
            static_cast<std::streamsize>(kDumpCrcSlot + length));
  out.close();
  // close() flushes: a full disk shows up here rather than as a short file
  // reported as written.
  if (!out) return report.end(UPD_FILE_WRITE_FAILED);

  report(UPD_UPLOAD_DONE, 0);
  report(UPD_ELAPSED_MS, elapsed_since(s.start_tick));
  report(UPD_DOWNLOAD_POS, length);
  return report.outcome();
}

}  // namespace lumavix
