// HID report-descriptor parser. Turns the raw descriptor that the kernel
// exposes for a HID interface into per-report-type capabilities, shaped the
// way a host HID class driver presents them (button and value capabilities,
// data-item counts, report byte lengths), so that interfaces can be
// recognised by the reports they declare. Pure code: no system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lumavix::hid {

enum class ReportType : std::uint8_t { Input = 0, Output = 1, Feature = 2 };

// One-bit variable fields and array fields. A range lists the usages the
// field can carry; an array's selector range is not narrowed to its count.
struct ButtonCap {
  std::uint8_t report_id = 0;
  std::uint16_t usage_page = 0;
  bool is_range = false;
  std::uint16_t usage_min = 0;
  std::uint16_t usage_max = 0;
  std::uint16_t bit_field = 0;  // the main item's flags (data/constant, array/variable, ...)
};

// Multi-bit variable fields. `report_count` is the number of fields this cap
// covers; a single usage followed by more fields than usages is repeated
// over the rest of the main item.
struct ValueCap {
  std::uint8_t report_id = 0;
  std::uint16_t usage_page = 0;
  bool is_range = false;
  std::uint16_t usage_min = 0;
  std::uint16_t usage_max = 0;
  std::uint16_t bit_size = 0;
  std::uint16_t report_count = 0;
  std::int32_t logical_min = 0;
  std::int32_t logical_max = 0;
  std::uint16_t bit_field = 0;
};

struct ReportTypeCaps {
  std::vector<ButtonCap> buttons;
  std::vector<ValueCap> values;
  // Button caps count one each; a value cap counts the usages it covers.
  std::uint32_t data_item_count = 0;
  // Longest report of this type in bytes, including the report-id byte
  // (which is counted even when the descriptor declares no report ids, as
  // the transfer buffer always carries it). 0 when the type has no report.
  std::uint16_t byte_length = 0;
};

struct DescriptorCaps {
  ReportTypeCaps input, output, feature;
  [[nodiscard]] const ReportTypeCaps& of(ReportType t) const;
  [[nodiscard]] ReportTypeCaps& of(ReportType t);
};

// Limits that keep hostile descriptors from exhausting memory or time.
inline constexpr std::size_t kMaxCaps = 4096;          // all report types together
inline constexpr std::size_t kMaxLocalUsages = 1024;   // usages before one main item
inline constexpr std::size_t kMaxPushDepth = 16;
inline constexpr std::size_t kMaxCollectionDepth = 256;
inline constexpr std::uint32_t kMaxReportSizeBits = 256;
inline constexpr std::uint32_t kMaxReportBytes = 16384;  // one report, without its id byte

// Parses `desc` into `out` (which is reset first). Returns false, with the
// reason in `*error` when given, for malformed input: a truncated item, a
// long item running past the end, unbalanced collections or push/pop, report
// id 0, a usage range whose minimum exceeds its maximum, or sizes beyond the
// limits above. Constant (padding) main items produce no caps. Never reads
// outside `desc`.
[[nodiscard]] bool parse_report_descriptor(std::span<const std::uint8_t> desc,
                                           DescriptorCaps& out,
                                           std::string* error = nullptr);

}  // namespace lumavix::hid
