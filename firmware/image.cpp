#include "firmware/image.h"
#include "devlib/bytes.h"
#include "devlib/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumavix {

namespace {

constexpr std::uint32_t kCrcPolynomial = 0xEDB88320u;

struct CrcTable {
  std::uint32_t entry[256];
  CrcTable() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
      entry[i] = c;
    }
  }
};

const CrcTable& crc_table() {
  // Built on first use; the initialisation of a function-local static is
  // thread-safe.
  static const CrcTable table;
  return table;
}

// Deterministic "code" bytes (xorshift32); the seed decides the content so
// that two versions of a firmware differ everywhere.
void fill_pseudo_random(std::span<std::uint8_t> out, std::uint32_t seed) {
  std::uint32_t x = seed ? seed : 0x9E3779B9u;
  for (std::uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
}

// A USB string descriptor in a 62-byte slot: bLength, type 3, UTF-16LE code
// units of an ASCII text, at most 30 of them.
void put_string_descriptor(std::uint8_t* slot, const char* text) {
  std::memset(slot, 0, kUdStringSlot);
  const std::size_t n = std::min<std::size_t>(std::strlen(text), (kUdStringSlot - 2) / 2);
  slot[0] = static_cast<std::uint8_t>(2 + 2 * n);
  slot[1] = 3;
  for (std::size_t i = 0; i < n; ++i) {
    slot[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    slot[3 + 2 * i] = 0;
  }
}

const char* product_text(std::uint16_t product_id) {
  switch (product_id) {
    case ProductIdRA:
    case ProductIdRB:
      return "LUMAVIX R";
    case ProductIdR2:
      return "LUMAVIX R2";
    default:
      return "LUMAVIX Q";
  }
}

}  // namespace

// ---------------------------------------------------------------- CRC-32 --

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length) {
  const CrcTable& t = crc_table();
  std::uint32_t c = ~crc;
  for (std::size_t i = 0; i < length; ++i) c = (c >> 8) ^ t.entry[(c ^ bytes[i]) & 0xFFu];
  return ~c;
}

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length) {
  return Crc32Update(Crc32Update(0, nullptr, 0), bytes, length);
}

bool CheckImageCrc(const std::uint8_t* buffer, std::size_t size) {
  if (!buffer || size < kFirmwareCrcSize) return false;
  const std::uint32_t stored = load_le32(buffer);
  return Crc32(buffer + kFirmwareCrcSize, size - kFirmwareCrcSize) == stored;
}

bool CheckFileCrc(const std::string& path) {
  const LoadedFirmware file = LoadFirmwareFile(path);
  return file.opened && CheckImageCrc(file.bytes);
}

LoadedFirmware LoadFirmwareFile(const std::string& path, InputKind kind) {
  LoadedFirmware file;
  file.path = path;
  if (path.empty()) {
    file.error = ENOENT;
    return file;
  }
  // One byte beyond the load tells an oversized file without a second look;
  // the length is that of the file that was opened, not of whatever the
  // path names now.
  InputFile in = read_input_file(path_from_utf8(path), kMaxFirmwareLoad, kind);
  if (!in.ok()) {
    file.error = in.error;
    return file;
  }
  file.size = in.size;
  file.bytes = std::move(in.bytes);
  file.opened = true;
  return file;
}

bool IsCompleteFlashImage(std::span<const std::uint8_t> file) {
  return file.size() >= kFirmwareCrcSize + 2 && file[4] == 0x7A && file[5] == 0x3C;
}

// ----------------------------------------------------------- BootConfig --

BootConfig decode_boot_config(std::span<const std::uint8_t, kBootConfigSize> b) {
  BootConfig cfg;
  cfg.magic = load_le16(&b[0]);
  cfg.boot_addr = load_le24(&b[2]);
  cfg.boot_size = load_le24(&b[5]);
  cfg.reserved = {b[8], b[9]};
  cfg.user_code_addr = load_le24(&b[10]);
  cfg.user_code_size = load_le24(&b[13]);
  return cfg;
}

std::array<std::uint8_t, kBootConfigSize> encode_boot_config(const BootConfig& cfg) {
  std::array<std::uint8_t, kBootConfigSize> b{};
  store_le16(&b[0], cfg.magic);
  store_le24(&b[2], cfg.boot_addr);
  store_le24(&b[5], cfg.boot_size);
  b[8] = cfg.reserved[0];
  b[9] = cfg.reserved[1];
  store_le24(&b[10], cfg.user_code_addr);
  store_le24(&b[13], cfg.user_code_size);
  return b;
}

const char* chip_name(int chip_type) { return chip_type == 2 ? "QT62100" : "QT6200"; }

UserDataLocation locate_user_data(const BootConfig& cfg) {
  UserDataLocation loc;
  if (cfg.user_code_size != 0) {
    loc.chip_type = 2;
    loc.code_base = cfg.user_code_addr;
  } else {
    loc.chip_type = 1;
    loc.code_base = cfg.boot_addr;
  }
  loc.chip_name = chip_name(loc.chip_type);
  loc.block_addr = loc.code_base + kUserDataDistance;
  loc.sector = loc.block_addr & 0xF000u;
  loc.offset = loc.block_addr - loc.sector;
  // A block at 0x10000 or above would be looked for in the wrong sector (the
  // mask keeps only bits 12..15), and one that runs past its sector would be
  // read from bytes that were never fetched: both count as unreadable.
  loc.readable = loc.block_addr < kUserDataLimit &&
                 loc.offset + kUserDataBlockSize <= kLayoutSectorSize;
  return loc;
}

UserDataLocation locate_user_data(std::span<const std::uint8_t, kBootConfigSize> boot_config) {
  return locate_user_data(decode_boot_config(boot_config));
}

FirmwareIdentity ReadFirmwareIdentity(std::span<const std::uint8_t> file) {
  const std::span<const std::uint8_t> head =
      file.first(std::min<std::size_t>(file.size(), kFirmwareWatchRead));
  // The boot configuration's address and size fields lie behind the CRC.
  BootConfig cfg;
  cfg.boot_addr = le24_at(head, kFirmwareCrcSize + 2);
  cfg.user_code_addr = le24_at(head, kFirmwareCrcSize + 10);
  cfg.user_code_size = le24_at(head, kFirmwareCrcSize + 13);
  const UserDataLocation loc = locate_user_data(cfg);

  FirmwareIdentity id;
  id.chip_type = loc.chip_type;
  id.code_base = loc.code_base;
  const std::uint64_t block = std::uint64_t{kFirmwareCrcSize} + loc.code_base + kUserDataDistance;
  id.block_in_reach = block + kUserDataBlockSize <= kFirmwareWatchRead;
  if (id.block_in_reach) {
    id.firmware_version = le16_at(head, static_cast<std::size_t>(block) + kUdFirmwareVersion);
    id.product_id = le16_at(head, static_cast<std::size_t>(block) + kUdProductId);
  }
  return id;
}

// --------------------------------------------------------- kinds of image --

ImageKind classify_image(std::span<const std::uint8_t> file, ChipGen gen) {
  if (gen != 2) return ImageKind::Plain;
  return IsCompleteFlashImage(file) ? ImageKind::CompleteFlash : ImageKind::CodeOnly;
}

std::array<std::uint8_t, kBootConfigSize> synthesize_boot_header(
    std::span<const std::uint8_t, kBootConfigSize> request_header, std::uint32_t file0_length,
    std::uint32_t file1_length) {
  std::array<std::uint8_t, kBootConfigSize> h{};
  std::copy(request_header.begin(), request_header.end(), h.begin());
  store_le24(&h[5], file0_length);
  if (file1_length != 0) {
    store_le24(&h[13], file1_length);
    store_le24(&h[10], load_le24(&h[2]) + file0_length);
  }
  return h;
}

std::uint32_t erase_sector_count(std::uint32_t boot_addr, std::uint32_t total_length) {
  const std::uint64_t end = std::uint64_t{boot_addr} + total_length;
  return static_cast<std::uint32_t>((end + kLayoutSectorSize - 1) / kLayoutSectorSize);
}

// ----------------------------------------------------------- plain layouts --

std::uint16_t plain_firmware_version(std::span<const std::uint8_t> file) {
  const std::uint8_t hi = file.size() > kPlainVersionOffset ? file[kPlainVersionOffset] : 0;
  const std::uint8_t lo = file.size() > kPlainVersionOffset + 1 ? file[kPlainVersionOffset + 1] : 0;
  return static_cast<std::uint16_t>(hi << 8 | lo);
}

namespace {

constexpr EepromTypeInfo kEepromTypes[kMaxEepromType + 1] = {
    {2048, 4096, false},   {4096, 4096, false},   {4096, 8192, false},
    {8192, 8192, false},   {8192, 16384, false},  {16384, 16384, true},
    {8192, 32768, false},  {16384, 32768, true},  {20480, 32768, true},
};

}  // namespace

const EepromTypeInfo* find_eeprom_type(std::uint8_t eeprom_type) {
  return eeprom_type <= kMaxEepromType ? &kEepromTypes[eeprom_type] : nullptr;
}

std::uint8_t plain_option_byte(PlainTarget target, std::uint8_t eeprom_type, std::uint8_t flags) {
  std::uint8_t option = flags & 0x05u;
  if (target == PlainTarget::I2cEeprom) {
    const EepromTypeInfo* info = find_eeprom_type(eeprom_type);
    if (info && info->option_bit1 && !(flags & 0x02u)) option |= 0x02u;
  }
  return option;
}

std::array<std::uint8_t, 4> plain_boot_record(PlainTarget target, std::uint8_t eeprom_type,
                                              std::uint8_t flags) {
  const std::uint8_t start = target == PlainTarget::SpiFlash
                                 ? static_cast<std::uint8_t>(kPlainSpiImageAddr >> 8)
                                 : 0x00;
  return {0x26, start, plain_option_byte(target, eeprom_type, flags), 0x00};
}

// ---------------------------------------------------------------- builder --

void fill_user_data_block(std::span<std::uint8_t, kUserDataBlockSize> block,
                          std::uint16_t firmware_version, std::uint16_t vendor_id,
                          std::uint16_t product_id) {
  std::fill(block.begin(), block.end(), 0);
  std::uint8_t* b = block.data();
  store_le32(b + kUdSignature, kUserDataSignature);
  store_le16(b + kUdFirmwareVersion, firmware_version);
  store_le16(b + kUdVendorId, vendor_id);
  store_le16(b + kUdProductId, product_id);
  put_string_descriptor(b + kUdManufacturer, "LUMAVIX");
  put_string_descriptor(b + kUdProduct, product_text(product_id));
  char serial[16];
  std::snprintf(serial, sizeof serial, "%04X%04X", product_id, firmware_version);
  put_string_descriptor(b + kUdSerialNumber, serial);
  // UVC property defaults, 16-bit values at their places in the area.
  std::uint8_t* uvc = b + kUdUvcDefaults;
  uvc[0] = 0x01;
  store_le16(uvc + 11, 0x0080);  // brightness
  store_le16(uvc + 13, 0x0020);  // contrast
  store_le16(uvc + 15, 0x0040);  // gain
  store_le16(uvc + 18, 0x0040);  // hue
  store_le16(uvc + 21, 0x0020);  // saturation
  store_le16(uvc + 23, 0x0008);  // sharpness
  store_le16(uvc + 25, 0x0020);  // gamma
}

namespace {

// Where the builder puts things in a complete flash image.
constexpr std::uint32_t kBuiltBootAddr = 0x0010;
constexpr std::uint32_t kBuiltCodeBase = 0x1000;

std::uint32_t content_seed(const FirmwareBuildOptions& o) {
  return 0x4C564D58u ^ (std::uint32_t{o.firmware_version} << 16 | o.product_id) ^
         (o.code_only ? 0xA5A5A5A5u : 0u);
}

}  // namespace

std::uint32_t min_firmware_image_size(bool code_only) {
  return (code_only ? 0 : kBuiltCodeBase) + kUserDataDistance + kUserDataBlockSize;
}

std::vector<std::uint8_t> build_firmware_file(const FirmwareBuildOptions& o) {
  if (o.image_size < min_firmware_image_size(o.code_only) ||
      o.image_size > kMaxFirmwareImageSize)
    return {};
  std::vector<std::uint8_t> file(kFirmwareCrcSize + o.image_size);
  std::span<std::uint8_t> image(file.data() + kFirmwareCrcSize, o.image_size);
  fill_pseudo_random(image, content_seed(o));

  BootConfig cfg;
  if (o.code_only) {
    // No magic; the fields still locate the block (code base 0) so that the
    // file's version can be read the way the device watch reads it.
    cfg.magic = 0;
    cfg.boot_addr = 0;
    cfg.boot_size = o.image_size;
  } else {
    cfg.magic = kBootConfigMagic;
    cfg.boot_addr = kBuiltBootAddr;
    cfg.boot_size = kBuiltCodeBase - kBuiltBootAddr;
    cfg.user_code_addr = kBuiltCodeBase;
    cfg.user_code_size = o.image_size - kBuiltCodeBase;
  }
  const auto header = encode_boot_config(cfg);
  std::copy(header.begin(), header.end(), image.begin());

  const UserDataLocation loc = locate_user_data(cfg);
  fill_user_data_block(
      std::span<std::uint8_t, kUserDataBlockSize>(image.data() + loc.block_addr,
                                                  kUserDataBlockSize),
      o.firmware_version, o.vendor_id, o.product_id);

  store_le32(file.data(), Crc32(image.data(), image.size()));
  return file;
}

std::vector<std::uint8_t> build_plain_firmware_file(std::uint16_t firmware_version,
                                                    std::uint32_t file_size) {
  if (file_size < kPlainVersionOffset + 2 || file_size > kMaxFirmwareLoad) return {};
  std::vector<std::uint8_t> file(file_size);
  fill_pseudo_random(std::span<std::uint8_t>(file).subspan(kFirmwareCrcSize),
                     0x504C4E00u ^ firmware_version);
  file[kPlainVersionOffset] = static_cast<std::uint8_t>(firmware_version >> 8);
  file[kPlainVersionOffset + 1] = static_cast<std::uint8_t>(firmware_version);
  store_le32(file.data(), Crc32(file.data() + kFirmwareCrcSize, file.size() - kFirmwareCrcSize));
  return file;
}

// ------------------------------------------------------ occupied regions --

std::vector<FlashRegion> boot_header_regions(
    std::span<const std::uint8_t, kBootConfigSize> boot_config) {
  constexpr std::uint32_t kErased = 0xFFFFFF;
  const BootConfig cfg = decode_boot_config(boot_config);
  std::vector<FlashRegion> out{{0, kBootConfigSize, "the boot configuration"}};
  auto add = [&out](std::uint32_t addr, std::uint32_t size, const char* what) {
    if (size == 0 || size == kErased || addr == kErased) return;
    out.push_back({addr, addr + size, what});
  };
  add(cfg.boot_addr, cfg.boot_size, "the boot code");
  add(cfg.user_code_addr, cfg.user_code_size, "the user code");
  const UserDataLocation loc = locate_user_data(cfg);
  if (loc.code_base != kErased) add(loc.block_addr, kUserDataBlockSize, "the user-data block");
  return out;
}

std::vector<FlashRegion> plain_flash_regions() {
  return {{0, kPlainSpiEraseSize, "the firmware's plain layout (the first 64 KiB)"}};
}

const FlashRegion* sectors_overlap(const std::vector<FlashRegion>& regions, std::uint32_t address,
                                   std::uint64_t size) {
  if (size == 0) return nullptr;
  const std::uint64_t first = address & ~std::uint64_t{kLayoutSectorSize - 1};
  const std::uint64_t last = std::uint64_t{address} + size - 1;
  const std::uint64_t end = (last | (kLayoutSectorSize - 1)) + 1;
  for (const FlashRegion& r : regions) {
    if (r.start < end && first < r.end) return &r;
  }
  return nullptr;
}

}  // namespace lumavix
