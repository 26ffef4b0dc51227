// The GPIO step around a firmware download to an older (generation-0)
// bridge: before the download it clears bit 7 of register 0x80 and bit 0 of
// register 0x81; after every update run it sets bit 7 of register 0x80
// again. Each register is read from its read-back address, one bit changed,
// and the result written to the register's write address, one byte wide.
// Cameras of generation 2 are left alone.
#pragma once

#include <cstdint>

#include "devlib/types.h"

namespace lumavix {

inline constexpr std::uint16_t kGpioOut0 = 0x0080;  // written
inline constexpr std::uint16_t kGpioOut1 = 0x0081;
inline constexpr std::uint16_t kGpioIn0 = 0x0084;   // reads back 0x80
inline constexpr std::uint16_t kGpioIn1 = 0x0085;   // reads back 0x81
inline constexpr std::uint32_t kGpioOut0Bit = 0x80;
inline constexpr std::uint32_t kGpioOut1Bit = 0x01;

// Mode 1 is the after-update form; any other value the before-download form.
inline constexpr int kGpioBeforeDownload = 0;
inline constexpr int kGpioAfterUpdate = 1;

inline constexpr const char* kMsgGpioReadError = "GPIO Read Error...";
inline constexpr const char* kMsgGpioWriteError = "GPIO Write Error...";

// Runs the step on device 0 when `deviceOpen` is non-zero and `chipGen` (the
// window's) is 0. Returns the status text the window shows afterwards, or
// null when it stays as it was: the last failure of the call, if any. A
// failed access is reported and never retried; the caller refreshes the
// window and carries on whatever the outcome.
[[nodiscard]] const char* GpioStep(int mode, ChipGen chipGen, std::int32_t deviceOpen);

}  // namespace lumavix
