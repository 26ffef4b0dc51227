// Feeds arbitrary bytes to the user-data block decoder. Whatever a camera
// holds in its flash, decoding must stay inside the block and its slots, and
// a decoded record written back and read again must give the same record:
// the engineering page relies on that to change one field and keep the rest.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "settings/userdata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::int32_t chip_type = (data[0] & 1) ? 2 : 1;
  const std::span<const std::uint8_t> block(data + 1, size - 1);
  lumavix::EepromUserData record;
  if (!lumavix::decode_user_data_block(block, chip_type, record)) {
    if (block.size() >= lumavix::kUserDataBlockSize) std::abort();
    return 0;
  }
  for (const std::string* s : {&record.vendorString, &record.productString, &record.serialNumber})
    if (s->size() > lumavix::kUdStringUnits) std::abort();

  std::array<std::uint8_t, lumavix::kUdDeviceKeptSize> kept{};
  for (std::size_t i = 0; i < kept.size(); ++i) kept[i] = block[lumavix::kUdDeviceKept + i];
  const lumavix::UserDataBlock again = lumavix::encode_user_data_block(record, kept);
  lumavix::EepromUserData decoded;
  if (!lumavix::decode_user_data_block(again, chip_type, decoded)) std::abort();
  if (!(decoded == record)) std::abort();
  for (std::size_t i = 0; i < kept.size(); ++i)
    if (again[lumavix::kUdDeviceKept + i] != kept[i]) std::abort();
  return 0;
}
