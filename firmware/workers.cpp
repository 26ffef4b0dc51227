#include "firmware/workers.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "devlib/clock.h"
#include "firmware/flash.h"
#include "firmware/image.h"
#include "devlib/file_io.h"

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

// Bytes read back between two verification reports: a few dozen reports for
// a whole image, each a visible step of the ring.
constexpr std::uint32_t kVerifyReportStep = 0x1000;

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
bool flash_equals(std::uint32_t address, std::uint32_t length, const std::uint8_t* expected,
                  ProgressSink* sink = nullptr) {
  if (length == 0) return true;
  std::vector<std::uint8_t> back(length, 0);
  if (!ReadFlashReporting(address, length, back.data(), kVerifyReportStep, sink)) return false;
  return std::equal(back.begin(), back.end(), expected);
}

// The read-back of the image's bulk as UPD_VALIDATE_POS, the bytes read so
// far: without it the window would sit at the end of the writing, looking
// hung, for as long as the read-back takes.
class VerifySink final : public ProgressSink {
 public:
  explicit VerifySink(Reporter& report) : report_(report) {}
  void range(std::uint32_t) override {}
  void position(std::uint32_t done) override { report_(UPD_VALIDATE_POS, done); }

 private:
  Reporter& report_;
};

// Bytes bound for one place in the flash.
struct Span {
  std::uint32_t address = 0;
  std::uint32_t length = 0;
  const std::uint8_t* data = nullptr;
};

// Programs `span` page by page in address order (it starts on a page
// boundary, so no program wraps inside its page); `progress` gets each
// page's byte count. The span's sectors were erased by this run, so a page
// of nothing but 0xFF is skipped: programming 0xFF leaves erased NOR flash
// as it is, and the read-back that follows still covers the page, so a
// sector that failed to erase is caught all the same.
template <typename Progress>
bool program_pages(const Span& span, std::uint32_t page, Progress&& progress) {
  for (std::uint32_t done = 0; done < span.length;) {
    const std::uint32_t n = std::min(span.length - done, page);
    const std::uint8_t* bytes = span.data + done;
    const bool blank = std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0xFF; });
    if (!blank && !kvVidHidCls_SPI_Flash_PageProgram(0, span.address + done, n, bytes)) {
      return false;
    }
    done += n;
    progress(n);
  }
  return true;
}

}  // namespace

// The order of writing keeps the camera recoverable at every point where the
// run can be cut (an unplug, a crash, a flat battery): its flash holds either
// the old image, with its boot configuration and user-data block intact, or
// an image that is visibly unfinished, its boot configuration erased.
//  1. Nothing is erased before the part is identified and the image is known
//     to fit it.
//  2. The sectors are erased in ascending order, so the boot configuration
//     at address 0 is the first thing to go.
//  3. Everything but the first page is programmed and read back; the
//     identity the tool and the bridge read (boot configuration, user-data
//     block) is unreachable meanwhile, as both are found through address 0.
//  4. The first page, which holds the boot configuration, is programmed last
//     of all and read back.
// The frames, the bytes programmed and the final contents are those of a run
// in address order; only the order differs, and the read-back takes two
// reads instead of one.
Notification DownloadWorkerBootHeader(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  s.refusal.clear();
  Reporter report(notify);
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
  const std::uint32_t image_at = s.complete_image ? 0 : boot_addr;
  const std::uint32_t sectors = erase_sector_count(image_at, total);
  const FlashFit fit = CheckFlashFits(std::uint64_t{sectors} * kSectorSize);
  if (!fit.ok()) {
    s.refusal = fit.why;
    return report.end(UPD_DOWNLOAD_FAILED);
  }
  const std::uint32_t page = fit.type->page_size;

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

  // The first page: the complete image's first page, or the synthesised
  // header of a code-only image (whose code starts at a page boundary
  // behind it, as the start checked). The rest: everything else.
  const Span first = s.complete_image ? Span{0, std::min(total, page), s.file_buffer.data()}
                                      : Span{0, kBootConfigSize, header};
  const Span rest = s.complete_image
                        ? Span{first.length, total - first.length, s.file_buffer.data() + first.length}
                        : Span{boot_addr, total, s.file_buffer.data()};
  const std::uint32_t written = first.length + rest.length;
  report(UPD_RANGE, written);
  report(UPD_DOWNLOAD_POS, 0);
  std::uint32_t done = 0;
  auto progress = [&](std::uint32_t n) { report(UPD_DOWNLOAD_POS, done += n); };

  if (!program_pages(rest, page, progress)) return report.end(UPD_DOWNLOAD_FAILED);
  VerifySink verify(report);
  const bool rest_ok = flash_equals(rest.address, rest.length, rest.data, &verify);
  if (rest_ok && !program_pages(first, page, progress)) return report.end(UPD_DOWNLOAD_FAILED);

  report(UPD_VALIDATE_POS, 0);
  report(UPD_VALIDATE_RANGE, total);
  if (!rest_ok || !flash_equals(first.address, first.length, first.data)) {
    return report.end(UPD_VALIDATE_RESULT, 0);
  }
  report(UPD_VALIDATE_RESULT, 1);
  (void)kvVidHidCls_SPI_Flash_SetProtection(0, 1);
  report(UPD_ELAPSED_MS, elapsed_since(s.start_tick));
  return report.end(UPD_DOWNLOAD_DONE);
}

// The boot record at address 0 is what makes the bridge boot the image: its
// sector is the first one erased, the record is written only after the whole
// image verified, and it is read back. A run cut anywhere before leaves a
// camera without a boot record, which the next download finishes.
Notification DownloadWorkerPlainFlash(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  s.refusal.clear();
  Reporter report(notify);
  PostingSink sink(report);
  const std::uint32_t total = s.byte_count;
  std::uint8_t* buffer = s.file_buffer.data();

  const FlashFit fit = CheckFlashFits(
      std::max<std::uint64_t>(kPlainSpiEraseSize, std::uint64_t{kPlainSpiImageAddr} + total));
  if (!fit.ok()) {
    s.refusal = fit.why;
    return report.end(UPD_ACCESS_FAILED);
  }

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
      if (!kvVidHidCls_SPI_Flash_Read(0, record.size(), back.data())) return false;
      if (count_differences(back.data(), record.data(), record.size()) != 0) {
        report(UPD_DOWNLOAD_FAILED, 0);
        return true;
      }
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

// The boot record at EEPROM address 0 is what makes the bridge boot the
// image. The fill's first piece overwrites it before anything else is
// written; the file is then programmed from its second piece on and its
// first piece (which puts the file's CRC bytes where the record goes) last,
// so that no half-written image ever sits behind something that could pass
// for a record; the record itself is written only after the whole file
// verified, and is read back.
Notification DownloadWorkerPlainEeprom(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  s.refusal.clear();
  Reporter report(notify);
  const std::uint32_t total = s.byte_count;
  std::uint8_t* buffer = s.file_buffer.data();
  const EepromTypeInfo* type = find_eeprom_type(s.plain_type);
  const std::uint32_t fill = type ? type->fill_size : 0;

  // Walks [from, length) in 32-byte pieces; `after_piece` reports each full
  // piece, the remainder piece is not reported. Positions are unsigned: a
  // 32 KiB fill ends at 0x8000, not at a negative value.
  auto pieces = [](std::uint32_t from, std::uint32_t length, auto&& op,
                   auto&& after_piece) -> bool {
    std::uint32_t a = from;
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
      0, fill,
      [&](std::uint32_t a, std::uint32_t n) {
        return I2cEepromWriteRetry(static_cast<std::uint16_t>(a), n, blank.data());
      },
      [&](std::uint32_t pos) { report(UPD_DOWNLOAD_POS, pos); });
  if (!filled) return report.end(UPD_ACCESS_FAILED);

  report(UPD_DOWNLOAD_POS, total);
  report(UPD_DOWNLOAD_BEGIN, 0);
  report(UPD_RANGE, total);
  report(UPD_DOWNLOAD_POS, 0);
  auto program = [&](std::uint32_t a, std::uint32_t n) {
    return I2cEepromWriteRetry(static_cast<std::uint16_t>(a), n, buffer + a);
  };
  // Positions count the bytes programmed so far.
  const std::uint32_t head = std::min(total, kEepromPiece);
  const bool programmed =
      pieces(head, total, program,
             [&](std::uint32_t pos) { report(UPD_DOWNLOAD_POS, pos - head); }) &&
      program(0, head);
  if (!programmed) return report.end(UPD_ACCESS_FAILED);
  // The first piece completes the full pieces' count; a remainder is not
  // reported on its own.
  if (head == kEepromPiece) report(UPD_DOWNLOAD_POS, total - total % kEepromPiece);
  report(UPD_DOWNLOAD_POS, total);

  report(UPD_VALIDATE_BEGIN, 0);
  report(UPD_VALIDATE_POS, 0);
  std::uint32_t diff = 0;
  const bool verified = pieces(
      0, total,
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
  std::array<std::uint8_t, 4> back{};
  if (!I2cEepromReadRetry(0, back.size(), back.data())) return report.end(UPD_ACCESS_FAILED);
  if (!std::equal(back.begin(), back.end(), record.begin())) {
    return report.end(UPD_DOWNLOAD_FAILED);
  }
  report(UPD_DOWNLOAD_DONE, 0);
  report(UPD_ELAPSED_MS, elapsed_since(s.start_tick));
  return report.outcome();
}

// Reads [start, start + length) of the flash, exactly that range: a range
// that runs past the end of the part is refused before anything is read
// (nothing beyond the part is ever invented). Above 64 KiB the range is read
// in 64 KiB pieces with a pause of 100 ms between them.
Notification UploadWorkerFlashDump(EngineState& s, NotifyTarget& notify) {
  s.start_tick = lumavix::clock().ticks_ms();
  s.refusal.clear();
  Reporter report(notify);
  const std::uint32_t length = std::min(s.upload_length, kMaxUploadLength);
  const std::uint32_t start = s.upload_start;
  constexpr std::uint32_t kPiece = 0x10000;

  std::array<std::uint8_t, kBootConfigSize> head{};
  if (!kvVidHidCls_SPI_Flash_Read(0, head.size(), head.data())) {
    return report.end(UPD_ACCESS_FAILED);
  }
  const FlashFit fit = CheckFlashFits(std::uint64_t{start} + length);
  if (!fit.ok()) {
    s.refusal = fit.why;
    return report.end(UPD_ACCESS_FAILED);
  }
  report(UPD_RANGE, length);
  report(UPD_UPLOAD_BEGIN, 0);
  s.dump_buffer.fill(0);
  std::uint8_t* data = s.dump_buffer.data() + kDumpCrcSlot;

  bool read_ok = true;
  if (length > kPiece) {
    for (std::uint32_t done = 0; read_ok && done < length; done += kPiece) {
      if (done != 0) lumavix::clock().sleep_ms(100);
      const std::uint32_t n = std::min(length - done, kPiece);
      report(UPD_RANGE, n);
      read_ok = kvVidHidCls_SPI_Flash_Read(start + done, n, data + done);
    }
  } else {
    read_ok = kvVidHidCls_SPI_Flash_Read(start, length, data);
  }
  if (!read_ok) return report.end(UPD_ACCESS_FAILED);

  const std::uint32_t crc = Crc32(data, length);
  for (std::uint32_t i = 0; i < kDumpCrcSlot; ++i) {
    s.dump_buffer[i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  std::ofstream out(path_from_utf8(s.upload_path), std::ios::binary | std::ios::trunc);
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
