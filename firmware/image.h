// Firmware files and the camera's memory layouts: the file's CRC-32, the
// 16-byte boot configuration at the start of a boot-header image, the rule
// that locates the user-data block behind the code, the plain layouts of the
// older chips (boot record, option byte, EEPROM size classes), and a builder
// of valid firmware files for the simulated camera and `make-firmware`.
//
// Nothing here touches a device; every function is pure and thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "devlib/file_io.h"
#include "devlib/types.h"
#include "firmware/product_config.h"

namespace lumavix {

// A firmware file is a 4-byte little-endian CRC-32 of the rest, then the image.
inline constexpr std::uint32_t kFirmwareCrcSize = 4;
// The update engine loads at most this much of a file.
inline constexpr std::uint32_t kMaxFirmwareLoad = 0x40000;
// The device watch reads only this much of a file.
inline constexpr std::uint32_t kFirmwareWatchRead = 0x10000;

// The message box of a file whose size does not fit what it is written to:
// a firmware file at the start of an update, a setting table at its download.
inline constexpr const char* kMsgFirmwareSizeError = "Firmware size Error!!";

inline constexpr std::uint32_t kBootConfigSize = 16;
inline constexpr std::uint16_t kBootConfigMagic = 0x3C7A;

// The user-data block lies this far behind the code base and must start below
// kUserDataLimit. It is read as two overlapping pieces of one 4 KiB sector: a
// head of 0x10C bytes from the block start and a tail of 0x22 bytes from
// block start + 0x100.
inline constexpr std::uint32_t kUserDataDistance = 0x2000;
inline constexpr std::uint32_t kUserDataLimit = 0x10000;
inline constexpr std::uint32_t kUserDataBlockSize = 0x122;
inline constexpr std::uint32_t kUserDataHeadSize = 0x10C;
inline constexpr std::uint32_t kUserDataTailOffset = 0x100;
inline constexpr std::uint32_t kUserDataTailSize = 0x22;
inline constexpr std::uint32_t kUserDataSignature = 0x95673C7A;
inline constexpr std::uint32_t kLayoutSectorSize = 4096;

// Offsets inside the user-data block.
inline constexpr std::uint32_t kUdSignature = 0x000;
inline constexpr std::uint32_t kUdFirmwareVersion = 0x004;
inline constexpr std::uint32_t kUdVendorId = 0x006;
inline constexpr std::uint32_t kUdProductId = 0x008;
inline constexpr std::uint32_t kUdManufacturer = 0x00A;
inline constexpr std::uint32_t kUdProduct = 0x048;
inline constexpr std::uint32_t kUdSerialNumber = 0x086;
inline constexpr std::uint32_t kUdStringSlot = 62;
inline constexpr std::uint32_t kUdUvcDefaults = 0x104;
inline constexpr std::uint32_t kUdUvcDefaultsSize = 30;

// ---------------------------------------------------------------- CRC-32 --

// The CRC-32 of IEEE 802.3 and zlib (reflected polynomial 0xEDB88320).
// `crc` is a previous result (0 to start); the value equals zlib's crc32.
[[nodiscard]] std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* bytes,
                                        std::size_t length);
[[nodiscard]] std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length);
[[nodiscard]] inline std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  return Crc32(bytes.data(), bytes.size());
}

// True when the little-endian value at offset 0 equals the CRC of bytes
// 4..size-1. A buffer of fewer than 4 bytes never passes.
[[nodiscard]] bool CheckImageCrc(const std::uint8_t* buffer, std::size_t size);
[[nodiscard]] inline bool CheckImageCrc(std::span<const std::uint8_t> file) {
  return CheckImageCrc(file.data(), file.size());
}
// Loads at most kMaxFirmwareLoad bytes of the file and checks them; false
// when the file cannot be opened or read.
[[nodiscard]] bool CheckFileCrc(const std::string& path);

// A firmware file read once, from its start. These bytes are the ones whose
// size and CRC are checked, whose version and product id are compared, and
// the ones written: nothing that takes a LoadedFirmware opens the file again,
// so a file replaced meanwhile (a sync client, a download finishing) changes
// nothing that was already decided. `path` names the file in messages.
struct LoadedFirmware {
  std::string path;
  bool opened = false;  // false: it could not be opened or read (`error` says why)
  // errno of the failed open or read, or kNotRegularFileError (a FIFO, a
  // device or a folder where only a regular file is taken)
  int error = 0;
  // The file's length when it was read; above kMaxFirmwareLoad only the
  // first kMaxFirmwareLoad bytes are kept.
  std::uint64_t size = 0;
  std::vector<std::uint8_t> bytes;

  [[nodiscard]] bool oversized() const { return size > kMaxFirmwareLoad; }
  // The file's length for a 32-bit size field (clamped; it fails the size
  // checks all the same).
  [[nodiscard]] std::uint32_t size32() const {
    return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(size);
  }
};

// Reads at most kMaxFirmwareLoad bytes of the file at `path` (UTF-8) in one
// open, and its length. Only a regular file is read unless `kind` takes a
// pipe too; nothing waits on a FIFO nobody writes (devlib/file_io.h).
[[nodiscard]] LoadedFirmware LoadFirmwareFile(const std::string& path,
                                              InputKind kind = InputKind::kRegularFile);

// The image (file offset 4 on) starts with the boot configuration's magic.
[[nodiscard]] bool IsCompleteFlashImage(std::span<const std::uint8_t> file);

// ----------------------------------------------------------- BootConfig --

// The 16-byte boot configuration. Address and size fields are 24-bit
// little-endian in memory; bytes 8 and 9 are carried unchanged.
struct BootConfig {
  std::uint16_t magic = 0;
  std::uint32_t boot_addr = 0;
  std::uint32_t boot_size = 0;
  std::array<std::uint8_t, 2> reserved = {};
  std::uint32_t user_code_addr = 0;
  std::uint32_t user_code_size = 0;

  [[nodiscard]] bool has_magic() const { return magic == kBootConfigMagic; }
};

[[nodiscard]] BootConfig decode_boot_config(std::span<const std::uint8_t, kBootConfigSize> bytes);
// Fields wider than 24 bits are truncated to their low 24 bits.
[[nodiscard]] std::array<std::uint8_t, kBootConfigSize> encode_boot_config(const BootConfig& cfg);

// Chip type 2 ("QT62100") when the configuration names a user code area,
// else 1 ("QT6200").
[[nodiscard]] const char* chip_name(int chip_type);

// Where the user-data block of an image or of the camera's flash lies.
struct UserDataLocation {
  int chip_type = 1;
  const char* chip_name = "QT6200";
  std::uint32_t code_base = 0;
  std::uint32_t block_addr = 0;  // code base + 0x2000
  std::uint32_t sector = 0;      // block_addr & 0xF000
  std::uint32_t offset = 0;      // block_addr - sector
  // False when the block cannot be read: it starts at or above 0x10000, or it
  // does not fit in the sector that is read for it (it would run past the
  // sector's 4096 bytes). Callers treat that as a failed read.
  bool readable = false;
};

[[nodiscard]] UserDataLocation locate_user_data(const BootConfig& cfg);
[[nodiscard]] UserDataLocation locate_user_data(
    std::span<const std::uint8_t, kBootConfigSize> boot_config);

// What a firmware file says it is: the chip type and code base named by its
// boot configuration, and the firmware version and product id of the
// user-data block at code base + 0x2000. The block counts only when it lies
// wholly inside the file's first kFirmwareWatchRead bytes (the part the
// device watch reads); otherwise version and product id are 0. A field the
// file does not hold whole reads as zero, as in the pass's zero-filled
// buffer.
struct FirmwareIdentity {
  int chip_type = 1;
  std::uint32_t code_base = 0;
  bool block_in_reach = false;
  std::uint16_t firmware_version = 0;
  std::uint16_t product_id = 0;
};

[[nodiscard]] FirmwareIdentity ReadFirmwareIdentity(std::span<const std::uint8_t> file);

// --------------------------------------------------------- kinds of image --

enum class ImageKind : std::uint8_t {
  CompleteFlash,  // boot-header image that carries its own BootConfig
  CodeOnly,       // boot-header image without the magic: a header is synthesised
  Plain,          // generation-0 chips: the whole file is stored as it is
};

// Generation-2 chips take boot-header images, all others the plain layout.
[[nodiscard]] ImageKind classify_image(std::span<const std::uint8_t> file, ChipGen gen);

// The BootConfig written at flash address 0 for a code-only image: the
// request's 16 header bytes with BootSize = file 0's length and, only when
// file 1 has bytes, UserCodeSize = its length and UserCodeAddr = BootAddr +
// BootSize.
[[nodiscard]] std::array<std::uint8_t, kBootConfigSize> synthesize_boot_header(
    std::span<const std::uint8_t, kBootConfigSize> request_header, std::uint32_t file0_length,
    std::uint32_t file1_length);

// Number of 4 KiB sectors, from sector 0, erased before a boot-header
// download of `total_length` bytes placed at `boot_addr`: every sector that
// any byte of [0, boot_addr + total_length) touches.
[[nodiscard]] std::uint32_t erase_sector_count(std::uint32_t boot_addr,
                                               std::uint32_t total_length);

// ----------------------------------------------------------- plain layouts --

enum class PlainTarget : std::uint8_t { SpiFlash, I2cEeprom };

// Plain SPI-flash layout: boot record at 0, the 256 file bytes from 0x54 at
// 0x1000, the whole file at 0x5000; the first 64 KiB are erased first.
inline constexpr std::uint32_t kPlainSpiImageAddr = 0x5000;
inline constexpr std::uint32_t kPlainSpiCopyAddr = 0x1000;
inline constexpr std::uint32_t kPlainCopyFileOffset = 0x54;
inline constexpr std::uint32_t kPlainCopySize = 0x100;
inline constexpr std::uint32_t kPlainSpiEraseSize = 0x10000;
// The firmware version of a plain file: two bytes at this offset, high first.
inline constexpr std::uint32_t kPlainVersionOffset = 0x154;

// Version of a plain file; bytes beyond the file count as zero.
[[nodiscard]] std::uint16_t plain_firmware_version(std::span<const std::uint8_t> file);

// Option byte of the boot record from the request's `eepromType` and flags.
[[nodiscard]] std::uint8_t plain_option_byte(PlainTarget target, std::uint8_t eeprom_type,
                                             std::uint8_t flags);
// The 4-byte boot record written at memory address 0 after verification.
[[nodiscard]] std::array<std::uint8_t, 4> plain_boot_record(PlainTarget target,
                                                            std::uint8_t eeprom_type,
                                                            std::uint8_t flags);

// Memory size class of a plain download.
struct EepromTypeInfo {
  std::uint32_t max_file_size;  // largest file accepted
  std::uint32_t fill_size;      // EEPROM bytes set to 0xFF before programming
  bool option_bit1;             // option byte bit 1 may be set
};
inline constexpr std::uint8_t kMaxEepromType = 8;
// Null for values above 8, which are not valid in a request.
[[nodiscard]] const EepromTypeInfo* find_eeprom_type(std::uint8_t eeprom_type);

// ------------------------------------------------------ occupied regions --

// A range [start, end) of the camera's boot memory that its firmware needs.
struct FlashRegion {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  const char* what = "";
};

// What a boot-header flash holds for its firmware, from the 16 bytes at
// flash address 0: the boot configuration itself, the boot code, the user
// code and the user-data block behind the code base, each where the
// configuration places it. A size or an address of 0xFFFFFF (erased) counts
// as absent.
[[nodiscard]] std::vector<FlashRegion> boot_header_regions(
    std::span<const std::uint8_t, kBootConfigSize> boot_config);
// The plain SPI-flash layout: the first 64 KiB, which every plain download
// erases (boot record, copy, image).
[[nodiscard]] std::vector<FlashRegion> plain_flash_regions();

// The first region that the 4 KiB sectors touched by `size` bytes at
// `address` overlap (an erase takes whole sectors); null when none.
[[nodiscard]] const FlashRegion* sectors_overlap(const std::vector<FlashRegion>& regions,
                                                 std::uint32_t address, std::uint64_t size);

// ---------------------------------------------------------------- builder --

struct FirmwareBuildOptions {
  std::uint16_t firmware_version = 0x0105;
  std::uint16_t product_id = ProductIdQA;
  std::uint16_t vendor_id = VendorId;
  std::uint32_t image_size = 0x20000;
  bool code_only = false;
};

// Smallest image the builder can make (the user-data block must fit) and the
// largest the update engine loads.
[[nodiscard]] std::uint32_t min_firmware_image_size(bool code_only);
inline constexpr std::uint32_t kMaxFirmwareImageSize = kMaxFirmwareLoad - kFirmwareCrcSize;

// A complete firmware file: 4-byte CRC, then the image. A complete flash
// image carries a BootConfig (boot code at 0x10, user code at 0x1000) and its
// user-data block at 0x3000; a code-only image has no magic, locates to code
// base 0 and carries the block at 0x2000. Everything else is deterministic
// pseudo-random "code" that depends on the version and product id. Returns an
// empty vector when image_size is outside [min_firmware_image_size,
// kMaxFirmwareImageSize].
[[nodiscard]] std::vector<std::uint8_t> build_firmware_file(const FirmwareBuildOptions& o);

// A plain (generation-0) firmware file of `file_size` bytes, CRC included,
// carrying `firmware_version` at file offset 0x154. Empty when file_size is
// below 0x156 or above kMaxFirmwareLoad.
[[nodiscard]] std::vector<std::uint8_t> build_plain_firmware_file(std::uint16_t firmware_version,
                                                                  std::uint32_t file_size);

// Fills a 290-byte user-data block as the tool writes it: signature, version,
// ids, the three string descriptors and the UVC property defaults.
void fill_user_data_block(std::span<std::uint8_t, kUserDataBlockSize> block,
                          std::uint16_t firmware_version, std::uint16_t vendor_id,
                          std::uint16_t product_id);

}  // namespace lumavix
