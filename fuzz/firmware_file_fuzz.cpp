// Feeds arbitrary bytes as a firmware file through what inspecting one
// does: the CRC check, the kind of image, the boot configuration, the rule
// that locates the user-data block, the version and product id read from
// the first 64 KiB, and the decode of the block and its string slots. Each
// piece works on an exact-size copy, so a read past its end is caught.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "settings/userdata.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumavix;
  std::vector<std::uint8_t> file(data, data + std::min<std::size_t>(size, kMaxFirmwareLoad));

  // The input itself as a user-data block, so the decode is reached without
  // a 10 KiB file in front of it.
  {
    EepromUserData record;
    const bool decoded = decode_user_data_block(file, 1 + (size & 1), record);
    Check(decoded == (file.size() >= kUserDataBlockSize));
    if (decoded) {
      Check(record.vendorString.size() <= kUserDataTextMax);
      Check(record.productString.size() <= kUserDataTextMax);
      Check(record.serialNumber.size() <= kUserDataTextMax);
    }
  }

  const bool crc_ok = CheckImageCrc(file);
  if (file.size() < kFirmwareCrcSize) Check(!crc_ok);
  const bool complete = IsCompleteFlashImage(file);
  Check((classify_image(file, 2) == ImageKind::CompleteFlash) == complete);
  Check(classify_image(file, 0) == ImageKind::Plain);
  (void)plain_firmware_version(file);

  if (file.size() < kFirmwareCrcSize + kBootConfigSize) return 0;
  const std::span<const std::uint8_t, kBootConfigSize> boot(file.data() + kFirmwareCrcSize,
                                                            kBootConfigSize);
  const BootConfig cfg = decode_boot_config(boot);
  Check(encode_boot_config(cfg) == [&] {
    std::array<std::uint8_t, kBootConfigSize> a{};
    std::copy(boot.begin(), boot.end(), a.begin());
    return a;
  }());
  const UserDataLocation loc = locate_user_data(boot);
  Check(loc.chip_type == 1 || loc.chip_type == 2);
  Check(loc.block_addr == loc.code_base + kUserDataDistance ||
        loc.block_addr < loc.code_base);  // only by a 32-bit wrap
  Check(loc.sector == (loc.block_addr & 0xF000u) || !loc.readable);
  if (loc.readable) {
    Check(loc.block_addr < kUserDataLimit);
    Check(loc.offset + kUserDataBlockSize <= kLayoutSectorSize);
  }

  // The block as the device watch takes it: wholly within the first 64 KiB
  // of the file, decoded from exactly the bytes the file has there.
  const std::size_t block = kFirmwareCrcSize + static_cast<std::size_t>(loc.code_base) +
                            kUserDataDistance;
  if (block < file.size() && block + kUserDataBlockSize <= kFirmwareWatchRead) {
    const std::size_t avail = std::min<std::size_t>(file.size() - block, kUserDataBlockSize);
    const std::vector<std::uint8_t> bytes(file.begin() + static_cast<std::ptrdiff_t>(block),
                                          file.begin() + static_cast<std::ptrdiff_t>(block + avail));
    EepromUserData record;
    const bool decoded = decode_user_data_block(bytes, loc.chip_type, record);
    Check(decoded == (bytes.size() >= kUserDataBlockSize));
    if (decoded) {
      Check(record.vendorString.size() <= kUserDataTextMax);
      Check(record.productString.size() <= kUserDataTextMax);
      Check(record.serialNumber.size() <= kUserDataTextMax);
      Check(record.chipType == loc.chip_type);
    }
  }
  // A string slot of any size, cut from the input.
  const std::size_t slot_len = file[0] % 80;
  const std::vector<std::uint8_t> slot(file.begin() + 1,
                                       file.begin() + 1 + std::min(slot_len, file.size() - 1));
  Check(decode_string_descriptor(slot).size() <= 30);
  return 0;
}
