// Fuzzes doctor's check of a udev rules file: any text is judged without a
// crash, and the rule the tool itself writes always passes.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_file.h"
#include "platform/linux_doctor.h"

using lumavix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  static const bool own_rule_passes = lumavix::rules_text_grants_access(lumavix::udev_rule_text());
  check(own_rule_passes);
  (void)lumavix::rules_text_grants_access(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
