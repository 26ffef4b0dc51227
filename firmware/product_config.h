// Constants of this build: the model it serves, the maker's USB identifiers,
// the vendor's download page and the engineering build switches. Nothing of
// this is read or written at run time.
#pragma once

#include <cstdint>

namespace lumavix {

enum class ModelVariant : std::uint8_t { Q = 0, R = 2, R2 = 3 };

inline constexpr ModelVariant ToolVariant = ModelVariant::Q;

// USB identifiers of the maker's cameras, as stored in the cameras'
// user-data blocks and matched by the udev rule.
inline constexpr std::uint16_t VendorId = 0x2A9C;
inline constexpr std::uint16_t ProductIdQA = 0x0E51;
inline constexpr std::uint16_t ProductIdQB = 0x0E52;
inline constexpr std::uint16_t ProductIdQAlt = 0x0E5A;
inline constexpr std::uint16_t ProductIdRA = 0x0E61;
inline constexpr std::uint16_t ProductIdRB = 0x0E62;
inline constexpr std::uint16_t ProductIdR2 = 0x0E71;

inline constexpr const char* DownloadUrl = "https://www.lumavix.example/download";

// Engineering build switches, all off in this build.
inline constexpr bool AllowChipGen0Download = false;
inline constexpr bool ChainSettingTables = false;
inline constexpr bool EnableUserDataPage = false;
inline constexpr bool DumpAfterDownload = false;

}  // namespace lumavix
