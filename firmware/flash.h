// Serial (SPI NOR) flash operations over the library's command transactions:
// identification against the known flash types, and reads. All operations
// work on the first attached camera and poll on the injectable clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumavix {

struct SpiFlashType {
  const char* name;
  std::array<std::uint8_t, 3> id;  // manufacturer, memory type, capacity code
  std::uint32_t page_size;
  // The table's capacity column, kept as it was for display and traces. For
  // the WinBond rows it is smaller than the part (0x10000 for the 1 Mbit
  // part): never use it to decide what fits.
  std::uint32_t capacity;
  // The part's real size, as its name states it. What fits is decided on
  // this.
  std::uint32_t size;
};

struct SpiFlashInfo {
  std::uint32_t page_size = 0;
  std::uint32_t capacity = 0;  // the table's column (see SpiFlashType)
  std::uint32_t size = 0;      // the part's real size: what fits is decided on this
};

inline constexpr std::uint32_t kSectorSize = 4096;
inline constexpr std::uint32_t kFlashPiece = 32;
inline constexpr std::uint32_t kFlashIdTimeoutMs = 1000;
inline constexpr std::uint32_t kFlashBusyTimeoutMs = 3000;

// Receives the progress of a range operation: its total, then positions.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void range(std::uint32_t total) = 0;
  virtual void position(std::uint32_t done) = 0;
};

// One piece of a sector rewrite: bytes placed at an offset inside the sector.
struct SectorPatch {
  std::uint32_t offset = 0;
  std::span<const std::uint8_t> bytes;
};

inline constexpr std::uint16_t kEepromAddressSlave = 0xA0;
inline constexpr std::uint32_t kEepromPiece = 32;
inline constexpr std::uint32_t kEepromRetryMs = 3000;

// Programs an erased region page by page, reporting range then positions.
// `address` must be a multiple of the page size.
[[nodiscard]] bool ProgramRange(std::uint32_t address, std::uint32_t length,
                                const std::uint8_t* data, ProgressSink* sink);
// Erases each sector as the first piece in it is reached, then programs it.
[[nodiscard]] bool EraseProgramRange(std::uint32_t address, std::uint32_t length,
                                     const std::uint8_t* data, ProgressSink* sink);
// kvVidHidCls_SPI_Flash_Read with the same transfers, telling `sink` the
// bytes read so far after every `step` bytes and at the end (no range). A
// read that fails ends its transaction (EndFlashTransaction) before it
// reports the failure.
[[nodiscard]] bool ReadFlashReporting(std::uint32_t address, std::uint32_t count,
                                      std::uint8_t* out, std::uint32_t step,
                                      ProgressSink* sink);
// Releases the flash's chip select, ending whatever transaction is open;
// tried until the bridge takes it, at most kEndTransactionAttempts times.
// A read cut by a failed transfer leaves its read command open: the next
// command would be clocked in as more of it, and the bytes that read
// returned would continue the old read instead of starting at its own
// address (a whole camera then reads as erased flash).
inline constexpr int kEndTransactionAttempts = 3;
[[nodiscard]] bool EndFlashTransaction();
// Offsets [offset, offset + length) inside a sector.
struct SectorRange {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
};

// Read-modify-write of one 4 KiB sector, verified by reading it back. The
// pages that hold `last` are programmed after every other page of the
// sector, so that what they carry (a signature that vouches for the rest)
// is in place only once the rest is; an interruption before leaves it
// erased. A failed erase or program ends the writing at once (and the
// rewrite fails, unless the sector reads back as wanted all the same).
[[nodiscard]] bool RewriteSectorVerified(std::uint32_t sector,
                                         std::span<const SectorPatch> patches,
                                         SectorRange last = {});

// One EEPROM transfer of at most 32 bytes, on the first camera.
[[nodiscard]] bool I2cEepromRead(std::uint16_t address, std::uint32_t count, std::uint8_t* out);
[[nodiscard]] bool I2cEepromWrite(std::uint16_t address, std::uint32_t count,
                                  const std::uint8_t* data);
// The same, repeated until one succeeds or 3000 ms pass.
[[nodiscard]] bool I2cEepromReadRetry(std::uint16_t address, std::uint32_t count,
                                      std::uint8_t* out);
[[nodiscard]] bool I2cEepromWriteRetry(std::uint16_t address, std::uint32_t count,
                                       const std::uint8_t* data);

// The known flash types, searched in this order.
[[nodiscard]] std::span<const SpiFlashType> spi_flash_types();
[[nodiscard]] const SpiFlashType* find_spi_flash_type(std::span<const std::uint8_t, 3> id);

// Reads the status register once (command 0x05): bit 0 busy, bit 1 write
// enable latch, bits 2 and 3 block protection, bit 7 status write protect.
[[nodiscard]] bool ReadSpiFlashStatus(std::uint8_t& status);

// Reads the three identification bytes once (command 0x9F).
[[nodiscard]] bool spi_flash_read_id(std::array<std::uint8_t, 3>& id);

// Identifies the flash as GetInfo does (retrying for up to 1000 ms while
// the bytes match no known part). Returns the part, or null with `id` set
// to the last bytes read; `answered` (when given) tells whether any read of
// them succeeded.
[[nodiscard]] const SpiFlashType* IdentifySpiFlash(std::array<std::uint8_t, 3>& id,
                                                   bool* answered = nullptr);

// The check made before anything is erased: the flash is a known part and
// [0, end) lies inside it. On a refusal `why` names the identification
// bytes and the sizes; `type` is the part found, or null.
struct FlashFit {
  const SpiFlashType* type = nullptr;
  std::string why;  // empty when the image fits
  [[nodiscard]] bool ok() const { return type != nullptr && why.empty(); }
};
[[nodiscard]] FlashFit CheckFlashFits(std::uint64_t end);
// How a refusal for an image larger than the part begins: the file is at
// fault, not the camera, so the command line reports it as bad input.
inline constexpr std::string_view kRefusalImageTooLarge = "the image needs ";

}  // namespace lumavix

// Write latch and block protection. `device` is the table position; every
// caller in this system passes 0.
[[nodiscard]] bool kvVidHidCls_SPI_Flash_WriteDisable(std::int32_t device);
[[nodiscard]] bool kvVidHidCls_SPI_Flash_WriteEnable(std::int32_t device);
[[nodiscard]] bool kvVidHidCls_SPI_Flash_Unprotect(std::int32_t device);
[[nodiscard]] bool kvVidHidCls_SPI_Flash_Protect(std::int32_t device);
[[nodiscard]] bool kvVidHidCls_SPI_Flash_SetProtection(std::int32_t device, std::uint8_t protect);
[[nodiscard]] bool kvVidHidCls_SPI_Flash_SetWriteLatch(std::int32_t device, std::uint8_t flag);
// Erases the 4 KiB sector holding `address` (sent unchanged).
[[nodiscard]] bool kvVidHidCls_SPI_Flash_SectorErase(std::int32_t device, std::uint32_t address);
// Programs `count` bytes (at most one page) at `address`.
[[nodiscard]] bool kvVidHidCls_SPI_Flash_PageProgram(std::int32_t device, std::uint32_t address,
                                                     std::uint32_t count,
                                                     const std::uint8_t* data);
// Identifies the flash, retrying for up to 1000 ms while the bytes match no
// known type; false at once when a transfer fails.
[[nodiscard]] bool kvVidHidCls_SPI_Flash_GetInfo(lumavix::SpiFlashInfo& info);
// Reads `count` bytes from `address` in pieces of at most 32 bytes.
[[nodiscard]] bool kvVidHidCls_SPI_Flash_Read(std::uint32_t address, std::uint32_t count,
                                              std::uint8_t* out);
