#include "devlib/uvc_descriptor.h"

#include <charconv>

namespace lumavix::uvc {

namespace {

constexpr std::uint8_t kTypeConfiguration = 0x02;
constexpr std::uint8_t kTypeInterface = 0x04;
constexpr std::uint8_t kTypeCsInterface = 0x24;
constexpr std::uint8_t kClassVideo = 0x0E;
constexpr std::uint8_t kSubclassVideoControl = 0x01;

constexpr std::size_t kConfigurationMin = 9;
constexpr std::size_t kInterfaceMin = 9;
// Every terminal and unit carries its id in byte 3.
constexpr std::size_t kEntityMin = 4;
// Extension unit: fixed fields before and after the two variable arrays.
constexpr std::size_t kXuGuidAt = 4;
constexpr std::size_t kXuNrInPinsAt = 21;
constexpr std::size_t kXuSourcesAt = 22;
constexpr std::size_t kXuFixed = 24;  // all fields with no pins and no control bytes

constexpr std::string_view kKeyPrefix = "usb-";

bool is_entity(std::uint8_t subtype) {
  return subtype >= kVcInputTerminal && subtype <= kVcEncodingUnit;
}

std::string at_offset(std::size_t pos) { return " at offset " + std::to_string(pos); }

bool parse_extension_unit(std::span<const std::uint8_t> d, std::size_t pos, Entity& e,
                          std::string& why) {
  if (d.size() < kXuFixed) {
    why = "extension unit of " + std::to_string(d.size()) + " bytes" + at_offset(pos);
    return false;
  }
  const std::size_t pins = d[kXuNrInPinsAt];
  // The control-size byte follows the source ids.
  const std::size_t size_at = kXuSourcesAt + pins;
  if (d.size() < kXuFixed + pins) {
    why = "extension unit with " + std::to_string(pins) + " source pins in " +
          std::to_string(d.size()) + " bytes" + at_offset(pos);
    return false;
  }
  const std::size_t control_bytes = d[size_at];
  if (d.size() < kXuFixed + pins + control_bytes) {
    why = "extension unit with " + std::to_string(control_bytes) + " control bytes in " +
          std::to_string(d.size()) + " bytes" + at_offset(pos);
    return false;
  }
  for (std::size_t i = 0; i < e.guid.size(); ++i) e.guid[i] = d[kXuGuidAt + i];
  for (std::size_t b = 0; b < control_bytes; ++b) {
    const std::uint8_t bits = d[size_at + 1 + b];
    for (unsigned bit = 0; bit < 8; ++bit) {
      const std::size_t selector = b * 8 + bit + 1;
      if (selector > 0xFF) break;
      if (bits & (1u << bit)) e.selectors.push_back(static_cast<std::uint8_t>(selector));
    }
  }
  return true;
}

}  // namespace

bool parse_descriptors(std::span<const std::uint8_t> bytes, std::vector<ControlInterface>& out,
                       std::string& why) {
  out.clear();
  std::vector<ControlInterface> found;
  std::uint8_t configuration = 0;
  // Index into `found` of the video-control interface being read, or -1.
  long current = -1;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 2) {
      why = "descriptor header cut short" + at_offset(pos);
      return false;
    }
    const std::size_t len = bytes[pos];
    if (len < 2) {
      why = "descriptor length " + std::to_string(len) + at_offset(pos);
      return false;
    }
    if (len > bytes.size() - pos) {
      why = "descriptor of " + std::to_string(len) + " bytes runs past the end" + at_offset(pos);
      return false;
    }
    const std::span<const std::uint8_t> d = bytes.subspan(pos, len);
    switch (d[1]) {
      case kTypeConfiguration:
        if (len < kConfigurationMin) {
          why = "configuration descriptor of " + std::to_string(len) + " bytes" + at_offset(pos);
          return false;
        }
        configuration = d[5];
        current = -1;
        break;
      case kTypeInterface: {
        if (len < kInterfaceMin) {
          why = "interface descriptor of " + std::to_string(len) + " bytes" + at_offset(pos);
          return false;
        }
        current = -1;
        const bool video_control = d[5] == kClassVideo && d[6] == kSubclassVideoControl;
        if (!video_control || d[3] != 0) break;
        bool seen = false;
        for (const ControlInterface& ci : found)
          seen = seen || (ci.configuration == configuration && ci.interface_number == d[2]);
        if (seen) break;
        found.push_back({configuration, d[2], {}});
        current = static_cast<long>(found.size()) - 1;
        break;
      }
      case kTypeCsInterface: {
        if (current < 0 || len < 3 || !is_entity(d[2])) break;
        if (len < kEntityMin) {
          why = "video-control descriptor of " + std::to_string(len) + " bytes" + at_offset(pos);
          return false;
        }
        Entity e;
        e.subtype = d[2];
        e.id = d[3];
        if (e.is_extension_unit() && !parse_extension_unit(d, pos, e, why)) return false;
        found[static_cast<std::size_t>(current)].entities.push_back(std::move(e));
        break;
      }
      default:
        break;
    }
    pos += len;
  }
  out = std::move(found);
  return true;
}

std::string interface_key(std::string_view sysname) {
  return std::string(kKeyPrefix) + std::string(sysname);
}

bool parse_interface_key(std::string_view key, std::uint8_t& configuration,
                         std::uint8_t& interface_number) {
  if (key.substr(0, kKeyPrefix.size()) != kKeyPrefix) return false;
  const std::string_view rest = key.substr(kKeyPrefix.size());
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (char c : rest.substr(0, colon)) {
    if (!((c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
  }
  const std::string_view tail = rest.substr(colon + 1);
  const std::size_t dot = tail.find('.');
  if (dot == std::string_view::npos) return false;
  auto number = [](std::string_view t, std::uint8_t& v) {
    unsigned n = 0;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (t.empty() || ec != std::errc() || ptr != t.data() + t.size() || n > 0xFF) return false;
    v = static_cast<std::uint8_t>(n);
    return true;
  };
  return number(tail.substr(0, dot), configuration) &&
         number(tail.substr(dot + 1), interface_number);
}

}  // namespace lumavix::uvc
