// Feeds arbitrary bytes to the report-descriptor parser. Besides crashes and
// out-of-bounds reads (under the sanitizers), it checks the invariants the
// interface selection relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "devlib/hid_descriptor.h"

namespace {

void check(const lumavix::hid::ReportTypeCaps& caps) {
  std::uint64_t items = caps.buttons.size();
  for (const auto& v : caps.values) {
    if (v.is_range && v.usage_max < v.usage_min) std::abort();
    items += v.is_range ? std::uint64_t{v.usage_max} - v.usage_min + 1 : 1;
  }
  if (items != caps.data_item_count) std::abort();
  if (caps.buttons.size() + caps.values.size() > lumavix::hid::kMaxCaps) std::abort();
  if (caps.byte_length > lumavix::hid::kMaxReportBytes + 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  lumavix::hid::DescriptorCaps caps;
  std::string error;
  if (lumavix::hid::parse_report_descriptor(std::span<const std::uint8_t>(data, size), caps,
                                            &error)) {
    check(caps.input);
    check(caps.output);
    check(caps.feature);
  } else if (error.empty()) {
    std::abort();  // a rejection always says why
  }
  return 0;
}
