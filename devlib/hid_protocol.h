// The command protocol between the library and the bridge chip over the
// vendor HID interface: a 4-byte command on report 0x87 followed by 40 bytes
// of data or reply on report 0x93, and extended I2C frames on report 0x97.
// The caller holds the library lock around each operation so that nothing
// comes between a command and its data.
#pragma once

#include <cstdint>

#include "devlib/platform.h"
#include "devlib/types.h"

namespace lumavix {

inline constexpr std::uint32_t kCommandLen = 4;
inline constexpr std::uint32_t kFrameLen = 40;

// Frame limits. Requests beyond them are refused before anything is sent.
inline constexpr std::uint32_t kExtI2cWriteMax = 34;  // subLen + dataLen
inline constexpr std::uint32_t kExtI2cSubMax = 34;
inline constexpr std::uint32_t kExtI2cReadMax = 39;
inline constexpr std::uint32_t kLegacyI2cWriteMax = 37;  // subLen + dataLen
inline constexpr std::uint32_t kLegacyReadMax = 40;      // I2C and flash reads
inline constexpr std::uint32_t kSpiWriteMax = 37;        // wlen + dlen

// Register 0x05: bit 4 is set when an I2C slave did not answer.
inline constexpr std::uint16_t kBusStatusReg = 0x0005;
inline constexpr std::uint32_t kBusStatusNoAck = 0x10;

}  // namespace lumavix

// Reads register 0x0000 and sets `gen` to 2 when the high nibble of its first
// byte is 0xB or 0xC, else 0. False (with `gen` 0) when a transfer failed.
[[nodiscard]] bool hidreg_GetChipGen(lumavix::HidDevice* handle, std::uint8_t& gen);
[[nodiscard]] bool hidreg_RegRead(lumavix::HidDevice* handle, lumavix::RegRequest& req);
[[nodiscard]] bool hidreg_RegWrite(lumavix::HidDevice* handle, const lumavix::RegRequest& req);
[[nodiscard]] bool hidreg_I2cRead(lumavix::HidDevice* handle, lumavix::I2cRequest& req);
[[nodiscard]] bool hidreg_I2cWrite(lumavix::HidDevice* handle, const lumavix::I2cRequest& req);
[[nodiscard]] bool hidreg_SpiRead(lumavix::HidDevice* handle, lumavix::SpiRequest& req);
[[nodiscard]] bool hidreg_SpiWrite(lumavix::HidDevice* handle, const lumavix::SpiRequest& req);
