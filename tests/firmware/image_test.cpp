#include "firmware/image.h"

#include <gtest/gtest.h>
#include <zlib.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <span>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace lumavix {
namespace {

std::uint32_t zlib_crc(const std::vector<std::uint8_t>& v, std::size_t from = 0) {
  uLong c = crc32(0L, Z_NULL, 0);
  if (v.size() > from) c = crc32(c, v.data() + from, static_cast<uInt>(v.size() - from));
  return static_cast<std::uint32_t>(c);
}

std::vector<std::uint8_t> with_crc(std::vector<std::uint8_t> image) {
  std::vector<std::uint8_t> file(4 + image.size());
  std::copy(image.begin(), image.end(), file.begin() + 4);
  const std::uint32_t c = zlib_crc(file, 4);
  for (int i = 0; i < 4; ++i) file[i] = static_cast<std::uint8_t>(c >> (8 * i));
  return file;
}

std::uint16_t le16(const std::vector<std::uint8_t>& v, std::size_t at) {
  return static_cast<std::uint16_t>(v.at(at) | v.at(at + 1) << 8);
}

TEST(Crc32, EqualsZlibOnAssortedInputs) {
  std::vector<std::vector<std::uint8_t>> inputs = {
      {}, {0x00}, {0xFF}, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}};
  std::vector<std::uint8_t> big(70000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 131 + 7);
  inputs.push_back(big);
  for (const auto& in : inputs) {
    EXPECT_EQ(Crc32(in.data(), in.size()), zlib_crc(in)) << "input of " << in.size() << " bytes";
  }
  EXPECT_EQ(Crc32(inputs[3].data(), inputs[3].size()), 0xCBF43926u) << "the check value";
}

TEST(Crc32, UpdateInPiecesEqualsWhole) {
  std::vector<std::uint8_t> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  std::uint32_t c = Crc32Update(0, nullptr, 0);
  c = Crc32Update(c, data.data(), 333);
  c = Crc32Update(c, data.data() + 333, data.size() - 333);
  EXPECT_EQ(c, zlib_crc(data));
}

TEST(ImageCrc, PassesAndFails) {
  const std::vector<std::uint8_t> good = with_crc({1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_TRUE(CheckImageCrc(good));

  for (std::size_t i = 0; i < good.size(); ++i) {
    std::vector<std::uint8_t> bad = good;
    bad[i] ^= 0x01;
    EXPECT_FALSE(CheckImageCrc(bad)) << "a flipped bit at offset " << i << " must fail";
  }
  // Four bytes: the CRC of nothing is 0.
  EXPECT_TRUE(CheckImageCrc(std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_FALSE(CheckImageCrc(std::vector<std::uint8_t>{1, 0, 0, 0}));
  // Fewer than 4 bytes never pass, even all zero.
  for (std::size_t n = 0; n < 4; ++n) {
    std::vector<std::uint8_t> tiny(n, 0);
    EXPECT_FALSE(CheckImageCrc(tiny)) << n << "-byte file must fail";
  }
  EXPECT_FALSE(CheckImageCrc(nullptr, 8));
}

class TempFile {
 public:
  explicit TempFile(const std::vector<std::uint8_t>& bytes) {
    path_ = (std::filesystem::temp_directory_path() /
             ("lumavix_image_test_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) +
              ".bin"))
                .string();
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (f) {
      if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(FileCrc, ChecksFilesOnDisk) {
  std::vector<std::uint8_t> image(5000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  const auto file = with_crc(image);
  {
    TempFile t(file);
    EXPECT_TRUE(CheckFileCrc(t.path()));
  }
  {
    auto bad = file;
    bad.back() ^= 0x80;
    TempFile t(bad);
    EXPECT_FALSE(CheckFileCrc(t.path()));
  }
  {
    TempFile t({0x00, 0x00, 0x00});
    EXPECT_FALSE(CheckFileCrc(t.path())) << "a 3-byte file never passes";
  }
  {
    TempFile t({});
    EXPECT_FALSE(CheckFileCrc(t.path())) << "an empty file never passes";
  }
  EXPECT_FALSE(CheckFileCrc("/nonexistent/dir/firmware.bin"));
}

TEST(FileCrc, OnlyTheFirst256KiBCount) {
  // The stored CRC covers the whole file; only 0x40000 bytes are loaded, so a
  // longer file fails unless its CRC was taken over the loaded part.
  std::vector<std::uint8_t> image(kMaxFirmwareLoad, 0x11);
  auto file = with_crc(image);  // 0x40004 bytes
  TempFile whole(file);
  EXPECT_FALSE(CheckFileCrc(whole.path()));

  std::vector<std::uint8_t> loaded(file.begin(), file.begin() + kMaxFirmwareLoad);
  const std::uint32_t c = zlib_crc(loaded, 4);
  for (int i = 0; i < 4; ++i) file[i] = static_cast<std::uint8_t>(c >> (8 * i));
  TempFile truncated_crc(file);
  EXPECT_TRUE(CheckFileCrc(truncated_crc.path()));
}

// One read gives the bytes and the length: at most 256 KiB kept, the length
// of a longer file still told, and a path that cannot be read said so.
TEST(FileLoad, KeepsTheFirst256KiBAndTheFilesLength) {
  struct Case {
    const char* name;
    std::size_t size;
    std::size_t kept;
  };
  const Case cases[] = {
      {"empty", 0, 0},
      {"small", 300, 300},
      {"exactly the load", kMaxFirmwareLoad, kMaxFirmwareLoad},
      {"one byte over", kMaxFirmwareLoad + 1, kMaxFirmwareLoad},
      {"far over", 3 * kMaxFirmwareLoad, kMaxFirmwareLoad},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes(c.size);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13);
    TempFile t(bytes);
    const LoadedFirmware f = LoadFirmwareFile(t.path());
    EXPECT_TRUE(f.opened) << c.name;
    EXPECT_EQ(f.path, t.path()) << c.name;
    EXPECT_EQ(f.size, c.size) << c.name << ": the file's own length";
    EXPECT_EQ(f.oversized(), c.size > kMaxFirmwareLoad) << c.name;
    ASSERT_EQ(f.bytes.size(), c.kept) << c.name;
    EXPECT_TRUE(std::equal(f.bytes.begin(), f.bytes.end(), bytes.begin())) << c.name;
  }
  const LoadedFirmware missing = LoadFirmwareFile("/nonexistent/dir/firmware.bin");
  EXPECT_FALSE(missing.opened);
  EXPECT_NE(missing.error, 0) << "the reason is kept for the message";
  EXPECT_TRUE(missing.bytes.empty());
  const LoadedFirmware folder = LoadFirmwareFile(std::filesystem::temp_directory_path().string());
  EXPECT_FALSE(folder.opened) << "a folder is no file to read";
}

TEST(BootConfig, DecodesLittleEndian24BitFieldsAndRoundTrips) {
  const std::array<std::uint8_t, 16> raw = {0x7A, 0x3C, 0x10, 0x20, 0x03, 0xF0, 0x0F, 0x00,
                                            0xAB, 0xCD, 0x00, 0x10, 0x01, 0x00, 0xF0, 0x01};
  const BootConfig cfg = decode_boot_config(raw);
  EXPECT_TRUE(cfg.has_magic());
  EXPECT_EQ(cfg.boot_addr, 0x032010u);
  EXPECT_EQ(cfg.boot_size, 0x000FF0u);
  EXPECT_EQ(cfg.reserved[0], 0xAB);
  EXPECT_EQ(cfg.reserved[1], 0xCD);
  EXPECT_EQ(cfg.user_code_addr, 0x011000u);
  EXPECT_EQ(cfg.user_code_size, 0x01F000u);
  EXPECT_EQ(encode_boot_config(cfg), raw);
}

TEST(LocationRule, Table) {
  struct Case {
    std::uint32_t boot_addr, user_code_addr, user_code_size;
    int chip_type;
    const char* name;
    std::uint32_t code_base, block, sector, offset;
    bool readable;
  };
  const Case cases[] = {
      {0x0000, 0x0000, 0x0000, 1, "QT6200", 0x0000, 0x2000, 0x2000, 0x000, true},
      {0x0000, 0x4000, 0x1234, 2, "QT62100", 0x4000, 0x6000, 0x6000, 0x000, true},
      // UserCodeAddr is ignored without a user code size.
      {0x0100, 0x4000, 0x0000, 1, "QT6200", 0x0100, 0x2100, 0x2000, 0x100, true},
      {0x0000, 0x1000, 0x1F000, 2, "QT62100", 0x1000, 0x3000, 0x3000, 0x000, true},
      // Above the limit.
      {0x0000, 0xF000, 0x0100, 2, "QT62100", 0xF000, 0x11000, 0x1000, 0x10000, false},
      // Exactly 0x10000: the sector mask would say sector 0.
      {0xE000, 0x0000, 0x0000, 1, "QT6200", 0xE000, 0x10000, 0x0000, 0x10000, false},
      // The last block that fits in its sector, and the first that does not.
      {0x0EDE, 0, 0, 1, "QT6200", 0x0EDE, 0x2EDE, 0x2000, 0xEDE, true},
      {0x0EDF, 0, 0, 1, "QT6200", 0x0EDF, 0x2EDF, 0x2000, 0xEDF, false},
      {0xDFFF, 0, 0, 1, "QT6200", 0xDFFF, 0xFFFF, 0xF000, 0xFFF, false},
  };
  for (const Case& c : cases) {
    BootConfig cfg;
    cfg.boot_addr = c.boot_addr;
    cfg.user_code_addr = c.user_code_addr;
    cfg.user_code_size = c.user_code_size;
    const auto raw = encode_boot_config(cfg);
    const UserDataLocation loc = locate_user_data(raw);
    const std::string what = "BootAddr " + std::to_string(c.boot_addr) + " UserCodeAddr " +
                             std::to_string(c.user_code_addr) + " size " +
                             std::to_string(c.user_code_size);
    EXPECT_EQ(loc.chip_type, c.chip_type) << what;
    EXPECT_STREQ(loc.chip_name, c.name) << what;
    EXPECT_EQ(loc.code_base, c.code_base) << what;
    EXPECT_EQ(loc.block_addr, c.block) << what;
    EXPECT_EQ(loc.sector, c.sector) << what;
    EXPECT_EQ(loc.offset, c.offset) << what;
    EXPECT_EQ(loc.readable, c.readable) << what;
  }
}

TEST(ImageKinds, ByMagicAndGeneration) {
  std::vector<std::uint8_t> complete = {0, 0, 0, 0, 0x7A, 0x3C, 0};
  std::vector<std::uint8_t> swapped = {0, 0, 0, 0, 0x3C, 0x7A, 0};
  std::vector<std::uint8_t> short_file = {0, 0, 0, 0, 0x7A};
  EXPECT_TRUE(IsCompleteFlashImage(complete));
  EXPECT_FALSE(IsCompleteFlashImage(swapped));
  EXPECT_FALSE(IsCompleteFlashImage(short_file));
  EXPECT_EQ(classify_image(complete, 2), ImageKind::CompleteFlash);
  EXPECT_EQ(classify_image(swapped, 2), ImageKind::CodeOnly);
  EXPECT_EQ(classify_image(complete, 0), ImageKind::Plain);
}

TEST(SynthesizedHeader, SetsSizesAndKeepsTheRest) {
  std::array<std::uint8_t, 16> req = {0x7A, 0x3C, 0x00, 0x10, 0x00, 0xEE, 0xEE, 0xEE,
                                      0x12, 0x34, 0x55, 0x66, 0x77, 0x00, 0x00, 0x00};
  // Without file 1 only BootSize changes.
  auto h = synthesize_boot_header(req, 0x2345, 0);
  BootConfig cfg = decode_boot_config(h);
  EXPECT_EQ(cfg.boot_size, 0x2345u);
  EXPECT_EQ(cfg.user_code_addr, 0x776655u) << "kept from the request";
  EXPECT_EQ(cfg.user_code_size, 0u);
  EXPECT_EQ(h[8], 0x12);
  EXPECT_EQ(h[9], 0x34);
  EXPECT_EQ(h[0], 0x7A);
  // With file 1 the user code follows file 0.
  h = synthesize_boot_header(req, 0x2345, 0x800);
  cfg = decode_boot_config(h);
  EXPECT_EQ(cfg.boot_addr, 0x1000u);
  EXPECT_EQ(cfg.boot_size, 0x2345u);
  EXPECT_EQ(cfg.user_code_size, 0x800u);
  EXPECT_EQ(cfg.user_code_addr, 0x1000u + 0x2345u);
  EXPECT_EQ(h[8], 0x12);
  EXPECT_EQ(h[9], 0x34);
}

TEST(EraseSectors, CoversEveryTouchedSector) {
  struct Case {
    std::uint32_t boot_addr, length, sectors;
  };
  const Case cases[] = {
      {0, 10000, 3}, {0, 4096, 1},      {0, 4097, 2}, {0, 0, 0},
      {0, 0x20000, 32},
      // The image starts inside sector 0 and its end crosses into sector 1.
      {0x800, 4096, 2},
      // Ends exactly on a sector boundary: no extra sector.
      {0x10, 0xFF0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(erase_sector_count(c.boot_addr, c.length), c.sectors)
        << "BootAddr " << c.boot_addr << " length " << c.length;
  }
}

TEST(PlainLayout, OptionBytesAndBootRecords) {
  struct Case {
    PlainTarget target;
    std::uint8_t type, flags, option;
  };
  const Case cases[] = {
      {PlainTarget::SpiFlash, 5, 0x01, 0x01},  {PlainTarget::I2cEeprom, 5, 0x01, 0x03},
      {PlainTarget::SpiFlash, 5, 0xFF, 0x05},  {PlainTarget::I2cEeprom, 5, 0x02, 0x00},
      {PlainTarget::I2cEeprom, 7, 0x04, 0x06}, {PlainTarget::I2cEeprom, 8, 0x00, 0x02},
      {PlainTarget::I2cEeprom, 4, 0x00, 0x00}, {PlainTarget::I2cEeprom, 6, 0x01, 0x01},
      {PlainTarget::I2cEeprom, 9, 0x00, 0x00}, {PlainTarget::I2cEeprom, 5, 0xF8, 0x02},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plain_option_byte(c.target, c.type, c.flags), c.option)
        << (c.target == PlainTarget::SpiFlash ? "SPI" : "EEPROM") << " type "
        << int(c.type) << " flags " << int(c.flags);
  }
  EXPECT_EQ(plain_boot_record(PlainTarget::SpiFlash, 5, 0x01),
            (std::array<std::uint8_t, 4>{0x26, 0x50, 0x01, 0x00}));
  EXPECT_EQ(plain_boot_record(PlainTarget::I2cEeprom, 5, 0x01),
            (std::array<std::uint8_t, 4>{0x26, 0x00, 0x03, 0x00}));
}

TEST(PlainLayout, EepromTypesAndVersion) {
  ASSERT_NE(find_eeprom_type(8), nullptr);
  EXPECT_EQ(find_eeprom_type(8)->max_file_size, 20480u);
  EXPECT_EQ(find_eeprom_type(8)->fill_size, 32768u);
  EXPECT_EQ(find_eeprom_type(0)->max_file_size, 2048u);
  EXPECT_EQ(find_eeprom_type(0)->fill_size, 4096u);
  EXPECT_EQ(find_eeprom_type(6)->fill_size, 32768u);
  EXPECT_EQ(find_eeprom_type(9), nullptr);

  std::vector<std::uint8_t> f(0x156, 0);
  f[0x154] = 0x01;
  f[0x155] = 0x23;
  EXPECT_EQ(plain_firmware_version(f), 0x0123) << "high byte first";
  f.resize(0x155);
  EXPECT_EQ(plain_firmware_version(f), 0x0100) << "a missing low byte counts as zero";
  f.resize(0x100);
  EXPECT_EQ(plain_firmware_version(f), 0x0000);
}

TEST(Builder, CompleteImageDecodesBack) {
  FirmwareBuildOptions o;
  o.firmware_version = 0x0107;
  o.product_id = ProductIdQAlt;
  const auto file = build_firmware_file(o);
  ASSERT_EQ(file.size(), 4u + 0x20000u);
  EXPECT_TRUE(CheckImageCrc(file));
  EXPECT_EQ(zlib_crc(file, 4), static_cast<std::uint32_t>(file[0] | file[1] << 8 |
                                                          file[2] << 16 | file[3] << 24));
  EXPECT_TRUE(IsCompleteFlashImage(file));

  const UserDataLocation loc =
      locate_user_data(std::span<const std::uint8_t, 16>(file.data() + 4, 16));
  ASSERT_TRUE(loc.readable);
  EXPECT_EQ(loc.chip_type, 2);
  const std::size_t b = 4 + loc.block_addr;
  EXPECT_EQ(le16(file, b + 0) | le16(file, b + 2) << 16, 0x95673C7A);
  EXPECT_EQ(le16(file, b + kUdFirmwareVersion), 0x0107);
  EXPECT_EQ(le16(file, b + kUdVendorId), VendorId);
  EXPECT_EQ(le16(file, b + kUdProductId), ProductIdQAlt);
  // The manufacturer descriptor is a valid USB string descriptor.
  EXPECT_EQ(file[b + kUdManufacturer], 2 + 2 * 7);
  EXPECT_EQ(file[b + kUdManufacturer + 1], 3);
  EXPECT_EQ(file[b + kUdManufacturer + 2], 'L');
  // The block lies within the first 64 KiB the device watch reads.
  EXPECT_LT(b + kUserDataBlockSize, 4u + kFirmwareWatchRead);
}

TEST(Builder, CodeOnlyAndSizesAndDeterminism) {
  FirmwareBuildOptions o;
  o.code_only = true;
  o.image_size = 0x8000;
  const auto file = build_firmware_file(o);
  ASSERT_EQ(file.size(), 4u + 0x8000u);
  EXPECT_TRUE(CheckImageCrc(file));
  EXPECT_FALSE(IsCompleteFlashImage(file));
  const UserDataLocation loc =
      locate_user_data(std::span<const std::uint8_t, 16>(file.data() + 4, 16));
  ASSERT_TRUE(loc.readable);
  EXPECT_EQ(le16(file, 4 + loc.block_addr + kUdFirmwareVersion), 0x0105);

  EXPECT_EQ(build_firmware_file(o), file) << "same options, same bytes";
  FirmwareBuildOptions other = o;
  other.firmware_version = 0x0106;
  const auto file2 = build_firmware_file(other);
  ASSERT_EQ(file2.size(), file.size());
  EXPECT_NE(std::vector<std::uint8_t>(file2.begin() + 0x100, file2.begin() + 0x200),
            std::vector<std::uint8_t>(file.begin() + 0x100, file.begin() + 0x200))
      << "another version has other code";

  FirmwareBuildOptions tiny;
  tiny.image_size = min_firmware_image_size(false) - 1;
  EXPECT_TRUE(build_firmware_file(tiny).empty());
  tiny.image_size = min_firmware_image_size(false);
  EXPECT_TRUE(CheckImageCrc(build_firmware_file(tiny)));
  FirmwareBuildOptions huge;
  huge.image_size = kMaxFirmwareImageSize + 1;
  EXPECT_TRUE(build_firmware_file(huge).empty());
}

TEST(Builder, PlainFile) {
  const auto f = build_plain_firmware_file(0x0213, 0x3000);
  ASSERT_EQ(f.size(), 0x3000u);
  EXPECT_TRUE(CheckImageCrc(f));
  EXPECT_EQ(plain_firmware_version(f), 0x0213);
  EXPECT_TRUE(build_plain_firmware_file(1, 0x155).empty());
}

// ------------------------------------------------------ file identity --

TEST(FirmwareIdentity, VersionAndIdComeFromTheBlockBehindTheCodeBase) {
  // The last code base whose block still ends inside the first 64 KiB.
  const std::uint32_t last_base =
      kFirmwareWatchRead - kFirmwareCrcSize - kUserDataDistance - kUserDataBlockSize;
  struct Case {
    const char* name;
    bool code_only;
    // A user code address written over the built one (0: keep it), with a
    // block of version 1234 and product 5678 where it then points.
    std::uint32_t user_code_addr;
    std::size_t truncate_to;  // 0: the whole file
    int chip_type;
    bool in_reach;
    std::uint16_t version;
    std::uint16_t product;
  };
  const Case cases[] = {
      {"complete image", false, 0, 0, 2, true, 0x0105, ProductIdQB},
      {"code-only image locates from the boot address", true, 0, 0, 1, true, 0x0105,
       ProductIdQB},
      {"block ending exactly at 64 KiB", false, last_base, 0, 2, true, 0x1234, 0x5678},
      {"block one byte beyond 64 KiB", false, last_base + 1, 0, 2, false, 0, 0},
      {"file cut inside the boot configuration", false, 0, kFirmwareCrcSize + 12, 1, true, 0, 0},
      {"file cut before the block", false, 0, 0x2000, 2, true, 0, 0},
  };
  for (const Case& c : cases) {
    FirmwareBuildOptions o;
    o.product_id = ProductIdQB;
    o.code_only = c.code_only;
    std::vector<std::uint8_t> f = build_firmware_file(o);
    if (c.user_code_addr) {
      for (int i = 0; i < 3; ++i)
        f[kFirmwareCrcSize + 10 + i] = static_cast<std::uint8_t>(c.user_code_addr >> (8 * i));
      const std::size_t block = kFirmwareCrcSize + c.user_code_addr + kUserDataDistance;
      const std::uint8_t values[] = {0x34, 0x12, 0, 0, 0x78, 0x56};
      std::copy(std::begin(values), std::end(values), f.begin() + static_cast<std::ptrdiff_t>(
                                                          block + kUdFirmwareVersion));
    }
    if (c.truncate_to) f.resize(c.truncate_to);
    const FirmwareIdentity id = ReadFirmwareIdentity(f);
    EXPECT_EQ(id.chip_type, c.chip_type) << c.name;
    EXPECT_EQ(id.block_in_reach, c.in_reach) << c.name << ": expected the block "
                                             << (c.in_reach ? "in" : "out of") << " reach";
    EXPECT_EQ(id.firmware_version, c.version) << c.name;
    EXPECT_EQ(id.product_id, c.product) << c.name;
  }
}

TEST(FirmwareIdentity, AgreesWithTheLayoutOfTheFlash) {
  // The file's rule and the camera's rule name the same code base.
  for (bool code_only : {false, true}) {
    FirmwareBuildOptions o;
    o.code_only = code_only;
    const std::vector<std::uint8_t> f = build_firmware_file(o);
    const UserDataLocation loc = locate_user_data(
        std::span<const std::uint8_t, kBootConfigSize>(f.data() + kFirmwareCrcSize,
                                                       kBootConfigSize));
    const FirmwareIdentity id = ReadFirmwareIdentity(f);
    EXPECT_EQ(id.code_base, loc.code_base) << (code_only ? "code-only" : "complete");
    EXPECT_EQ(id.chip_type, loc.chip_type) << (code_only ? "code-only" : "complete");
  }
}
// A table's erase takes whole sectors: any sector that holds part of what
// the boot configuration places (itself, the boot and user code, the
// user-data block) is refused, and one clear of all of them is not.
TEST(FirmwareRegions, SectorsOverlappingTheFirmwareAreFound) {
  FirmwareBuildOptions o;  // complete image: boot code 0x10.., user code 0x1000..0x20000
  const std::vector<std::uint8_t> file = build_firmware_file(o);
  ASSERT_GE(file.size(), 4 + kBootConfigSize);
  const std::span<const std::uint8_t, kBootConfigSize> head(file.data() + 4, kBootConfigSize);
  const std::vector<FlashRegion> regions = boot_header_regions(head);
  struct Case {
    std::uint32_t address;
    std::uint64_t size;
    const char* hits;  // null: clear
  } cases[] = {
      {0x0, 1, "the boot configuration"},
      {0x800, 4, "the boot configuration"},  // sector 0 all the same
      {0x1FFFC, 8, "the user code"},
      {0x11000, 0x100, "the user code"},
      {0x20000, 0x1000, nullptr},
      {0x20FFF, 2, nullptr},
      {0x0, 0, nullptr},  // nothing to write erases nothing
  };
  for (const Case& c : cases) {
    const FlashRegion* r = sectors_overlap(regions, c.address, c.size);
    if (c.hits == nullptr) {
      EXPECT_EQ(r, nullptr) << std::hex << c.address << "+" << c.size << ": expected clear, hit "
                            << (r ? r->what : "");
    } else {
      ASSERT_NE(r, nullptr) << std::hex << c.address << ": expected " << c.hits;
      EXPECT_STREQ(r->what, c.hits) << std::hex << c.address;
    }
  }
  // An erased flash claims only its boot configuration's sector.
  std::array<std::uint8_t, kBootConfigSize> erased;
  erased.fill(0xFF);
  const std::vector<FlashRegion> blank = boot_header_regions(erased);
  EXPECT_NE(sectors_overlap(blank, 0x0, 1), nullptr);
  EXPECT_EQ(sectors_overlap(blank, 0x1000, 0x1000), nullptr);
  // The plain layout's 64 KiB, up to its last byte.
  EXPECT_NE(sectors_overlap(plain_flash_regions(), 0xFFFF, 1), nullptr);
  EXPECT_EQ(sectors_overlap(plain_flash_regions(), 0x10000, 1), nullptr);
}

#ifndef _WIN32
// A FIFO is read only where a pipe is taken, and then once, to its writer's
// end; nowhere does a FIFO without a writer hold the read.
TEST(FileLoad, AFifoIsReadOnlyWhereAPipeIsTaken) {
  const std::filesystem::path fifo =
      std::filesystem::temp_directory_path() /
      ("lumavix_image_test_fifo_" + std::to_string(::getpid()));
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  const LoadedFirmware refused = LoadFirmwareFile(fifo.string());
  EXPECT_FALSE(refused.opened);
  EXPECT_EQ(refused.error, kNotRegularFileError);

  const LoadedFirmware nobody = LoadFirmwareFile(fifo.string(), InputKind::kRegularFileOrPipe);
  EXPECT_TRUE(nobody.opened) << "no writer: read as empty, at once";
  EXPECT_EQ(nobody.size, 0u);

  // A writer already there (as with a process substitution): the whole of
  // what it writes, more than a pipe's buffer holds.
  FirmwareBuildOptions o;
  const std::vector<std::uint8_t> file = build_firmware_file(o);
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  std::thread feed([&] {
    std::size_t done = 0;
    while (done < file.size()) {
      const ssize_t n = ::write(writer, file.data() + done, file.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(writer);
  });
  const LoadedFirmware piped = LoadFirmwareFile(fifo.string(), InputKind::kRegularFileOrPipe);
  feed.join();
  EXPECT_TRUE(piped.opened);
  EXPECT_EQ(piped.bytes, file) << "the pipe's bytes, all of them, once";
  EXPECT_TRUE(CheckImageCrc(piped.bytes));
  std::filesystem::remove(fifo);

  const LoadedFirmware device = LoadFirmwareFile("/dev/zero", InputKind::kRegularFileOrPipe);
  EXPECT_FALSE(device.opened) << "a device node is no pipe";
  EXPECT_EQ(device.error, kNotRegularFileError);
}
#endif

}  // namespace
}  // namespace lumavix
