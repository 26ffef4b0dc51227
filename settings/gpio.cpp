#include "settings/gpio.h"

#include "devlib/access.h"

namespace lumavix {

namespace {

bool read_byte(std::uint16_t address, std::uint32_t& value) {
  return kvVidHidCls_RegRead(address, 1, value) >= 0;
}

bool write_byte(std::uint16_t address, std::uint32_t value) {
  return kvVidHidCls_RegWrite(address, 1, value) >= 0;
}

}  // namespace

const char* GpioStep(int mode, ChipGen chipGen, std::int32_t deviceOpen) {
  if (deviceOpen == 0 || chipGen != 0) return nullptr;
  const char* status = nullptr;
  std::uint32_t value = 0;
  const bool read0 = read_byte(kGpioIn0, value);

  if (mode == kGpioAfterUpdate) {
    if (!read0) return kMsgGpioReadError;
    value |= kGpioOut0Bit;
    return write_byte(kGpioOut0, value) ? nullptr : kMsgGpioWriteError;
  }

  // Before a download both registers are handled even when the first fails;
  // without a read-back value register 0x80 is not written at all.
  if (!read0) {
    status = kMsgGpioReadError;
  } else {
    value &= ~kGpioOut0Bit & 0xFF;
    if (!write_byte(kGpioOut0, value)) status = kMsgGpioWriteError;
  }
  if (!read_byte(kGpioIn1, value)) return kMsgGpioReadError;
  value &= ~kGpioOut1Bit & 0xFF;
  if (!write_byte(kGpioOut1, value)) status = kMsgGpioWriteError;
  return status;
}

}  // namespace lumavix
