// Shared types of the device access library: interface kinds, chip
// generations, result codes and the request blocks that the unified access
// layer hands to a transport.
#pragma once

#include <cstdint>

namespace lumavix {

// Result code of the library's register, I2C and serial-flash operations.
// Callers test for a negative value.
using HRESULT32 = std::int32_t;
inline constexpr HRESULT32 kOk = 0;
inline constexpr HRESULT32 E_FAIL = static_cast<HRESULT32>(0x80004005u);

enum class DeviceKind : std::uint8_t {
  None = 0,
  VideoClass = 1,
  Hid = 2,
  VendorVideo = 3,
  BdaVendor = 4,
};

[[nodiscard]] const char* device_kind_name(DeviceKind kind);

// Bridge chip generation: 2 for the newer chip, 0 for an older one or when it
// could not be read.
using ChipGen = std::uint8_t;

enum class XuVariant : std::int32_t { Kavex = 0, Aveo = 1, Etron = 2 };

[[nodiscard]] const char* xu_variant_name(XuVariant variant);

inline constexpr int kMaxDevices = 24;

// The request blocks are zero-filled before use; their field order is the one
// the transports expect.
struct RegRequest {
  std::uint16_t addr = 0;
  std::uint8_t len = 0;
  std::uint32_t value = 0;
};

struct I2cRequest {
  std::uint16_t flags = 0;  // bit 0: a sub-address is given
  std::uint16_t slave = 0;  // 8-bit slave address in write form
  std::uint8_t sub[64] = {};
  std::uint8_t subLen = 0;
  std::uint8_t data[64] = {};
  std::uint8_t dataLen = 0;
};

// The write that sets a read's sub-address on transports whose plain I2C read
// takes none: the slave and sub-address of `read`, no data.
[[nodiscard]] inline I2cRequest SubAddressWrite(const I2cRequest& read) {
  I2cRequest address;
  address.flags = 1;
  address.slave = read.slave;
  for (std::uint8_t i = 0; i < read.subLen && i < sizeof address.sub; ++i) address.sub[i] = read.sub[i];
  address.subLen = read.subLen;
  return address;
}

// One piece of a serial-flash command transaction. `data` carries the bytes
// read back for a read (rlen) or the bytes sent after `wdata` for a write
// (dlen).
struct SpiRequest {
  std::uint8_t finish = 0;
  std::uint32_t target = 0;
  std::uint8_t wdata[64] = {};
  std::uint8_t wlen = 0;
  std::uint8_t data[64] = {};
  std::uint8_t rlen = 0;  // also dlen for a write
};

}  // namespace lumavix
