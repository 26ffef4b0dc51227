// Access to the bridge chip through the vendor property sets of a whole
// capture or receiver device (no extension unit): the vendor video set on a
// video capture device and the vendor BDA set on a broadcast-receiver or
// capture device. Both probes run last, and fill the table in enumeration
// order without paths, variants or generations.
//
// A request is one buffer, passed as both the property and its data so that
// a get answers in place: the short form is 32 bytes (GUID, id, flags, words
// A and B), the long form 104 (GUID, id, flags, words A, B, C, 68 payload
// bytes); numbers little-endian.
#pragma once

#include <array>
#include <cstdint>

#include "devlib/platform.h"
#include "devlib/types.h"

namespace lumavix {

inline constexpr Guid kVendorVideoSetGuid =
    make_guid(0x85548EFB, 0x86C8, 0x4E57, {0xB2, 0xFA, 0x80, 0x2B, 0x1B, 0x86, 0xC2, 0xAA});
inline constexpr Guid kBdaVendorSetGuid =
    make_guid(0x846A4C4E, 0x76D8, 0x42EC, {0xA3, 0x33, 0x12, 0x1F, 0x36, 0x5A, 0x4D, 0xA8});

inline constexpr std::uint32_t kPropGet = 1;
inline constexpr std::uint32_t kPropSet = 2;

inline constexpr std::uint32_t kPropRegSelect = 0x1005;
inline constexpr std::uint32_t kPropRegValue = 0x1006;
inline constexpr std::uint32_t kPropI2cReadSetup = 0x1029;
inline constexpr std::uint32_t kPropI2cData = 0x102A;
inline constexpr std::uint32_t kPropSpiReadSetup = 0x102B;
inline constexpr std::uint32_t kPropSpiData = 0x102C;
inline constexpr std::uint32_t kPropBdaI2c = 0x1036;

inline constexpr std::size_t kShortRequest = 32;
inline constexpr std::size_t kLongRequest = 104;
inline constexpr std::size_t kPropPayload = 68;
// Offsets in a request buffer.
inline constexpr std::size_t kPropIdAt = 16;
inline constexpr std::size_t kPropFlagsAt = 20;
inline constexpr std::size_t kPropWordAAt = 24;
inline constexpr std::size_t kPropWordBAt = 28;
inline constexpr std::size_t kPropWordCAt = 32;
inline constexpr std::size_t kPropPayloadAt = 36;

// The BDA register address space is 16-bit only on chips whose id
// (register 0x0A) is 0xA0 or more.
inline constexpr std::uint16_t kChipIdReg = 0x000A;
inline constexpr std::uint8_t kBdaWideChipId = 0xA0;
inline constexpr std::uint32_t kBdaRegisterSlave = 0xFF;

// A request buffer being built or read.
struct PropRequest {
  std::array<std::uint8_t, kLongRequest> bytes{};
  std::size_t size = kShortRequest;

  PropRequest(const Guid& set, std::uint32_t id, std::uint32_t flags, bool long_form);
  [[nodiscard]] std::uint32_t word(std::size_t at) const;
  void set_word(std::size_t at, std::uint32_t v);
  [[nodiscard]] std::uint8_t* payload() { return bytes.data() + kPropPayloadAt; }
};

}  // namespace lumavix

// The probes of the two kinds; each fills the table from position 0.
[[nodiscard]] bool sysreg_Probe();
[[nodiscard]] bool bdareg_Probe();
// Releases the property-set interfaces of every position.
void vendorprop_ReleaseAll();

[[nodiscard]] bool sysreg_RegRead(lumavix::PropertySetDevice* d, lumavix::RegRequest& req);
[[nodiscard]] bool sysreg_RegWrite(lumavix::PropertySetDevice* d, const lumavix::RegRequest& req);
[[nodiscard]] bool sysreg_I2cRead(lumavix::PropertySetDevice* d, lumavix::I2cRequest& req);
[[nodiscard]] bool sysreg_I2cWrite(lumavix::PropertySetDevice* d, const lumavix::I2cRequest& req);
[[nodiscard]] bool sysreg_SpiRead(lumavix::PropertySetDevice* d, lumavix::SpiRequest& req);
[[nodiscard]] bool sysreg_SpiWrite(lumavix::PropertySetDevice* d, const lumavix::SpiRequest& req);

[[nodiscard]] bool bdareg_RegRead(lumavix::PropertySetDevice* d, lumavix::RegRequest& req);
[[nodiscard]] bool bdareg_RegWrite(lumavix::PropertySetDevice* d, const lumavix::RegRequest& req);
[[nodiscard]] bool bdareg_I2cRead(lumavix::PropertySetDevice* d, lumavix::I2cRequest& req);
[[nodiscard]] bool bdareg_I2cWrite(lumavix::PropertySetDevice* d, const lumavix::I2cRequest& req);
