// The video-control part of a USB camera's descriptors, as a pure parser:
// which video-control interfaces the device has, and the terminals and units
// of each in descriptor order, with the GUID and declared controls of every
// extension unit. Input is the raw descriptor bytes as the kernel shows them
// (the device descriptor followed by each configuration's descriptors), and
// every length is checked before a byte is read.
//
// Also the key by which a camera is recognised again on Linux: the USB port
// path of its video-control interface ("usb-1-2:1.0").
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devlib/platform.h"

namespace lumavix::uvc {

// Video-control interface descriptor subtypes (class-specific, type 0x24).
inline constexpr std::uint8_t kVcInputTerminal = 0x02;
inline constexpr std::uint8_t kVcOutputTerminal = 0x03;
inline constexpr std::uint8_t kVcSelectorUnit = 0x04;
inline constexpr std::uint8_t kVcProcessingUnit = 0x05;
inline constexpr std::uint8_t kVcExtensionUnit = 0x06;
inline constexpr std::uint8_t kVcEncodingUnit = 0x07;

// A terminal or unit of a video-control interface.
struct Entity {
  std::uint8_t id = 0;       // bTerminalID / bUnitID
  std::uint8_t subtype = 0;  // kVcInputTerminal ... kVcEncodingUnit
  Guid guid{};               // extension units only
  // Selectors (1-based) of the controls an extension unit declares in its
  // bmControls, in increasing order.
  std::vector<std::uint8_t> selectors;

  [[nodiscard]] bool is_extension_unit() const { return subtype == kVcExtensionUnit; }
};

struct ControlInterface {
  std::uint8_t configuration = 0;     // bConfigurationValue
  std::uint8_t interface_number = 0;  // bInterfaceNumber
  std::vector<Entity> entities;       // descriptor order
};

// Parses a descriptor chain. Returns false with `why` when the chain is
// malformed (a length below 2, a descriptor running past the end, a
// video-control descriptor shorter than its fields say); `out` is then
// empty. A chain without any video-control interface parses to an empty
// list.
[[nodiscard]] bool parse_descriptors(std::span<const std::uint8_t> bytes,
                                     std::vector<ControlInterface>& out, std::string& why);

// The camera key for the USB interface whose kernel name is `sysname`
// ("1-2:1.0" gives "usb-1-2:1.0").
[[nodiscard]] std::string interface_key(std::string_view sysname);

// Splits a key back into configuration and interface number; false when
// `key` is not of the form "usb-<port path>:<configuration>.<interface>".
[[nodiscard]] bool parse_interface_key(std::string_view key, std::uint8_t& configuration,
                                       std::uint8_t& interface_number);

}  // namespace lumavix::uvc
