#include "firmware/flash.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

#include <vector>

#include "devlib/access.h"
#include "devlib/frame.h"
#include "devlib/clock.h"
#include "devlib/trace.h"

namespace lumavix {
namespace {

constexpr std::uint32_t kKiB = 1024;
constexpr SpiFlashType kTypes[] = {
    {"MX25L512E-512Kbit", {0xC2, 0x20, 0x10}, 256, 0x10000, 64 * kKiB},
    {"MX25L5121E-512Kbit", {0xC2, 0x22, 0x10}, 32, 0x10000, 64 * kKiB},
    {"MX25L1021E-1Mbit", {0xC2, 0x22, 0x11}, 256, 0x20000, 128 * kKiB},
    {"MX25L1006E-1Mbit", {0xC2, 0x20, 0x11}, 256, 0x20000, 128 * kKiB},
    {"MX25L3206E-32Mbit", {0xC2, 0x20, 0x16}, 256, 0x400000, 4096 * kKiB},
    {"Pm25LD512C-512Kbit", {0x7F, 0x9D, 0x20}, 256, 0x10000, 64 * kKiB},
    {"WinBond 20X10 - 1Mbit", {0xEF, 0x30, 0x11}, 256, 0x10000, 128 * kKiB},
    {"WinBond 20X20 - 2Mbit", {0xEF, 0x30, 0x12}, 256, 0x20000, 256 * kKiB},
    {"WinBond 20X40 - 4Mbit", {0xEF, 0x30, 0x13}, 256, 0x20000, 512 * kKiB},
    {"WinBond 20X80 - 8Mbit", {0xEF, 0x30, 0x14}, 256, 0x20000, 1024 * kKiB},
};

void address_bytes(std::uint8_t op, std::uint32_t address, std::uint8_t (&cmd)[4]) {
  cmd[0] = op;
  cmd[1] = (address >> 16) & 0xFF;
  cmd[2] = (address >> 8) & 0xFF;
  cmd[3] = address & 0xFF;
}

// Sends a command of one to four bytes as data, finish 1.
bool send_short(std::int32_t device, std::initializer_list<std::uint8_t> bytes) {
  std::uint8_t b[4] = {};
  std::copy(bytes.begin(), bytes.end(), b);
  return kvVidHidCls_SpiCmdWriteDev(device, 0, 1, 0, nullptr,
                                    static_cast<std::uint8_t>(bytes.size()), b) >= 0;
}

bool read_status(std::int32_t device, std::uint8_t& status) {
  const std::uint8_t op = 0x05;
  return kvVidHidCls_SpiCmdReadDev(device, 0, 1, 1, &op, 1, &status) >= 0;
}

// Polls the status register until `(status & mask) == want` or 3000 ms pass.
// A failed status read counts as "not yet"; only the time-out ends the wait.
// Elapsed time is taken in unsigned arithmetic, so a wrapping tick counter
// neither shortens nor ends the wait.
bool wait_status(std::int32_t device, std::uint8_t mask, std::uint8_t want) {
  Clock& c = lumavix::clock();
  const std::uint32_t start = c.ticks_ms();
  for (;;) {
    if (c.ticks_ms() - start >= kFlashBusyTimeoutMs) return false;
    std::uint8_t status = 0;
    if (read_status(device, status) && (status & mask) == want) return true;
  }
}

}  // namespace

std::span<const SpiFlashType> spi_flash_types() { return kTypes; }

const SpiFlashType* find_spi_flash_type(std::span<const std::uint8_t, 3> id) {
  for (const SpiFlashType& t : kTypes) {
    if (std::equal(t.id.begin(), t.id.end(), id.begin())) return &t;
  }
  return nullptr;
}

bool ReadSpiFlashStatus(std::uint8_t& status) { return read_status(0, status); }

bool spi_flash_read_id(std::array<std::uint8_t, 3>& id) {
  const std::uint8_t op = 0x9F;
  return kvVidHidCls_SpiCmdRead(0, 1, 1, &op, 3, id.data()) >= 0;
}

const SpiFlashType* IdentifySpiFlash(std::array<std::uint8_t, 3>& id, bool* answered) {
  static constexpr const char* kTag = "kvVidHidCls_SPI_Flash_GetInfo";
  Clock& c = lumavix::clock();
  const std::uint32_t start = c.ticks_ms();
  id = {};
  if (answered) *answered = false;
  while (c.ticks_ms() - start < kFlashIdTimeoutMs) {
    std::array<std::uint8_t, 3> read{};
    if (!spi_flash_read_id(read)) return nullptr;
    id = read;
    if (answered) *answered = true;
    if (const SpiFlashType* t = find_spi_flash_type(id)) {
      DebugTrace("[%s] SPI FlashType : %s", kTag, t->name);
      return t;
    }
    DebugTrace("[%s] retry...", kTag);
  }
  DebugTrace("[%s] Read SFlash Info fail.", kTag);
  return nullptr;
}

FlashFit CheckFlashFits(std::uint64_t end) {
  FlashFit fit;
  std::array<std::uint8_t, 3> id{};
  bool answered = false;
  fit.type = IdentifySpiFlash(id, &answered);
  char buf[160];
  if (!fit.type && !answered) {
    fit.why = "the flash could not be identified: the camera did not answer";
  } else if (!fit.type) {
    std::snprintf(buf, sizeof buf,
                  "the flash answers %02X %02X %02X, which is no part this tool can program",
                  id[0], id[1], id[2]);
    fit.why = buf;
  } else if (end > fit.type->size) {
    std::snprintf(buf, sizeof buf,
                  "%s%llu bytes but the flash %s (%02X %02X %02X) holds %u",
                  std::string(kRefusalImageTooLarge).c_str(), static_cast<unsigned long long>(end), fit.type->name, id[0], id[1], id[2],
                  fit.type->size);
    fit.why = buf;
  }
  if (!fit.why.empty()) DebugTrace("refused before erasing: %s", fit.why.c_str());
  return fit;
}

}  // namespace lumavix

using namespace lumavix;

bool kvVidHidCls_SPI_Flash_WriteDisable(std::int32_t device) {
  (void)send_short(device, {0x04});
  return wait_status(device, 0x03, 0x00);
}

bool kvVidHidCls_SPI_Flash_WriteEnable(std::int32_t device) {
  (void)send_short(device, {0x06});
  return wait_status(device, 0x03, 0x02);
}

bool kvVidHidCls_SPI_Flash_Unprotect(std::int32_t device) {
  std::uint8_t status = 0;
  if (read_status(device, status) && (status & 0x0C) != 0) {
    (void)send_short(device, {0x01, static_cast<std::uint8_t>(status & 0xF3)});
    // Some parts show the new protect bits while the status write still
    // runs; a write enable sent then would be ignored, so wait for both.
    if (!wait_status(device, 0x0D, 0x00)) return false;
  }
  (void)kvVidHidCls_SPI_Flash_WriteEnable(device);
  return true;
}

bool kvVidHidCls_SPI_Flash_Protect(std::int32_t device) {
  std::uint8_t status = 0;
  // An unreadable status is treated as "not protected yet": the write below
  // and its wait decide.
  const bool known = read_status(device, status);
  if (known && (status & 0x0C) == 0x0C) return true;
  (void)send_short(device, {0x01, static_cast<std::uint8_t>(status | 0x0C)});
  return wait_status(device, 0x0D, 0x0C);
}

bool kvVidHidCls_SPI_Flash_SetProtection(std::int32_t device, std::uint8_t protect) {
  if (!kvVidHidCls_SPI_Flash_WriteEnable(device)) return false;
  const bool ok = protect ? kvVidHidCls_SPI_Flash_Protect(device)
                          : kvVidHidCls_SPI_Flash_Unprotect(device);
  if (!ok) return false;
  return kvVidHidCls_SPI_Flash_WriteDisable(device);
}

bool kvVidHidCls_SPI_Flash_SetWriteLatch(std::int32_t device, std::uint8_t flag) {
  return flag == 1 ? kvVidHidCls_SPI_Flash_WriteEnable(device)
                   : kvVidHidCls_SPI_Flash_WriteDisable(device);
}

bool kvVidHidCls_SPI_Flash_SectorErase(std::int32_t device, std::uint32_t address) {
  if (!kvVidHidCls_SPI_Flash_WriteEnable(device)) return false;
  (void)kvVidHidCls_SPI_Flash_Unprotect(device);
  std::uint8_t cmd[4];
  address_bytes(0x20, address, cmd);
  if (kvVidHidCls_SpiCmdWriteDev(device, 0, 1, 0, nullptr, 4, cmd) < 0) return false;
  if (!wait_status(device, 0x03, 0x00)) return false;
  (void)kvVidHidCls_SPI_Flash_WriteDisable(device);
  return true;
}

bool kvVidHidCls_SPI_Flash_PageProgram(std::int32_t device, std::uint32_t address,
                                       std::uint32_t count, const std::uint8_t* data) {
  if (count > 0 && !data) return false;
  if (!kvVidHidCls_SPI_Flash_WriteEnable(device)) return false;
  std::uint8_t cmd[4];
  address_bytes(0x02, address, cmd);
  if (count <= kFlashPiece) {
    if (kvVidHidCls_SpiCmdWriteDev(device, 0, 1, 4, cmd, static_cast<std::uint8_t>(count), data) <
        0)
      return false;
  } else {
    if (kvVidHidCls_SpiCmdWriteDev(device, 0, 0, 0, nullptr, 4, cmd) < 0) return false;
    std::uint32_t done = 0;
    while (done < count) {
      const std::uint32_t n = std::min(count - done, kFlashPiece);
      const std::uint8_t finish = (count - done <= kFlashPiece) ? 1 : 0;
      if (kvVidHidCls_SpiCmdWriteDev(device, 0, finish, 0, nullptr, static_cast<std::uint8_t>(n),
                                     data + done) < 0)
        return false;
      done += n;
    }
  }
  if (!wait_status(device, 0x03, 0x00)) return false;
  (void)kvVidHidCls_SPI_Flash_WriteDisable(device);
  return true;
}

bool kvVidHidCls_SPI_Flash_GetInfo(SpiFlashInfo& info) {
  std::array<std::uint8_t, 3> id{};
  const SpiFlashType* t = IdentifySpiFlash(id);
  if (!t) return false;
  info.capacity = t->capacity;
  info.page_size = t->page_size;
  info.size = t->size;
  return true;
}

bool kvVidHidCls_SPI_Flash_Read(std::uint32_t address, std::uint32_t count, std::uint8_t* out) {
  return lumavix::ReadFlashReporting(address, count, out, 0, nullptr);
}

bool lumavix::EndFlashTransaction() {
  // A read of no bytes that finishes: the chip select goes, nothing is
  // clocked, and it waits for the library lock as briefly as a read does.
  std::uint8_t none[1] = {};
  for (int attempt = 0; attempt < kEndTransactionAttempts; ++attempt) {
    if (kvVidHidCls_SpiCmdRead(0, 1, 0, nullptr, 0, none) >= 0) return true;
  }
  return false;
}

bool lumavix::ReadFlashReporting(std::uint32_t address, std::uint32_t count, std::uint8_t* out,
                                 std::uint32_t step, ProgressSink* sink) {
  const auto failed = [] {
    (void)EndFlashTransaction();
    return false;
  };
  std::uint8_t cmd[4];
  address_bytes(0x03, address, cmd);
  if (count <= kFlashPiece) {
    const bool ok = kvVidHidCls_SpiCmdRead(0, 1, 4, cmd, static_cast<std::uint8_t>(count), out) >= 0;
    if (!ok) return failed();
    if (sink) sink->position(count);
    return true;
  }
  if (kvVidHidCls_SpiCmdWrite(0, 0, 0, nullptr, 4, cmd) < 0) return failed();
  std::uint32_t done = 0;
  std::uint32_t reported = 0;
  while (done < count) {
    const std::uint32_t n = std::min(count - done, kFlashPiece);
    const std::uint8_t finish = (count - done <= kFlashPiece) ? 1 : 0;
    if (kvVidHidCls_SpiCmdRead(0, finish, 0, nullptr, static_cast<std::uint8_t>(n), out + done) < 0)
      return failed();
    done += n;
    if (sink && (done == count || (step > 0 && done - reported >= step))) {
      sink->position(done);
      reported = done;
    }
  }
  return true;
}

namespace lumavix {

bool ProgramRange(std::uint32_t address, std::uint32_t length, const std::uint8_t* data,
                  ProgressSink* sink) {
  SpiFlashInfo info;
  if (!kvVidHidCls_SPI_Flash_GetInfo(info)) return false;
  if (sink) {
    sink->range(length);
    sink->position(0);
  }
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t n = std::min(length - done, info.page_size);
    if (!kvVidHidCls_SPI_Flash_PageProgram(0, address + done, n, data + done)) return false;
    done += n;
    if (sink) sink->position(done);
  }
  return true;
}

bool EraseProgramRange(std::uint32_t address, std::uint32_t length, const std::uint8_t* data,
                       ProgressSink* sink) {
  std::uint32_t sector = address & ~(kSectorSize - 1);
  SpiFlashInfo info;
  if (!kvVidHidCls_SPI_Flash_GetInfo(info)) return false;
  if (!kvVidHidCls_SPI_Flash_SectorErase(0, sector)) return false;
  if (sink) {
    sink->position(0);
    sink->range(length);
  }
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t at = address + done;
    const std::uint32_t n = std::min(length - done, info.page_size);
    if ((at & ~(kSectorSize - 1)) != sector) {
      sector = at & ~(kSectorSize - 1);
      if (!kvVidHidCls_SPI_Flash_SectorErase(0, sector)) return false;
    }
    if (!kvVidHidCls_SPI_Flash_PageProgram(0, at, n, data + done)) return false;
    done += n;
  }
  return true;
}

bool RewriteSectorVerified(std::uint32_t sector, std::span<const SectorPatch> patches,
                           SectorRange last) {
  std::vector<std::uint8_t> image(kSectorSize);
  // Without the sector's current content the rewrite would wipe the rest of
  // it, so a failed first read ends the operation before anything is erased.
  if (!kvVidHidCls_SPI_Flash_Read(sector, kSectorSize, image.data())) return false;
  for (const SectorPatch& p : patches) {
    if (p.offset > kSectorSize || p.bytes.size() > kSectorSize - p.offset) return false;
    std::copy(p.bytes.begin(), p.bytes.end(), image.begin() + p.offset);
  }
  SpiFlashInfo info;
  if (!kvVidHidCls_SPI_Flash_GetInfo(info) || info.page_size == 0) return false;
  const auto held_back = [&](std::uint32_t page_at) {
    return last.length != 0 && page_at < last.offset + last.length &&
           last.offset < page_at + info.page_size;
  };
  // Every other page first, in address order, then the held-back ones. A
  // failed erase or program ends the writing there, so the held-back pages
  // are never programmed over a sector that is not whole; the read-back
  // below then tells the failure.
  bool writing = kvVidHidCls_SPI_Flash_SectorErase(0, sector);
  for (const bool second_round : {false, true}) {
    for (std::uint32_t at = 0; writing && at < kSectorSize; at += info.page_size) {
      if (held_back(at) != second_round) continue;
      const std::uint32_t n = std::min(info.page_size, kSectorSize - at);
      writing = kvVidHidCls_SPI_Flash_PageProgram(0, sector + at, n, image.data() + at);
    }
  }
  std::vector<std::uint8_t> back(kSectorSize);
  if (!kvVidHidCls_SPI_Flash_Read(sector, kSectorSize, back.data()) || back != image) {
    DebugTrace("Write sector data != Read back verifier \n");
    return false;
  }
  return true;
}

bool I2cEepromRead(std::uint16_t address, std::uint32_t count, std::uint8_t* out) {
  if (count > kEepromPiece) return false;
  const std::uint8_t sub[2] = {static_cast<std::uint8_t>(address >> 8),
                               static_cast<std::uint8_t>(address & 0xFF)};
  return kvVidHidCls_I2cRead(kEepromAddressSlave, 2, sub, static_cast<std::uint8_t>(count), out) >=
         0;
}

bool I2cEepromWrite(std::uint16_t address, std::uint32_t count, const std::uint8_t* data) {
  if (count > kEepromPiece || (count > 0 && !data)) return false;
  std::uint8_t payload[2 + kEepromPiece];
  payload[0] = static_cast<std::uint8_t>(address >> 8);
  payload[1] = static_cast<std::uint8_t>(address & 0xFF);
  std::copy(data, data + count, payload + 2);
  // The camera at position 0 only, the one the read verifies: writing every
  // attached camera would program cameras nobody chose, and verify none of
  // them but the first.
  return kvVidHidCls_I2cWriteDev(0, kEepromAddressSlave, static_cast<std::uint8_t>(count + 2),
                                 payload) >= 0;
}

namespace {
template <typename Op>
bool retry_for(std::uint32_t window_ms, Op op) {
  Clock& c = lumavix::clock();
  const std::uint32_t start = c.ticks_ms();
  while (c.ticks_ms() - start < window_ms) {
    if (op()) return true;
  }
  return false;
}
}  // namespace

bool I2cEepromReadRetry(std::uint16_t address, std::uint32_t count, std::uint8_t* out) {
  return retry_for(kEepromRetryMs, [&] { return I2cEepromRead(address, count, out); });
}

bool I2cEepromWriteRetry(std::uint16_t address, std::uint32_t count, const std::uint8_t* data) {
  return retry_for(kEepromRetryMs, [&] { return I2cEepromWrite(address, count, data); });
}

}  // namespace lumavix
