// Feeds arbitrary bytes to the video-control descriptor parser: it must
// neither read out of bounds nor loop, and what it returns must hold
// together.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "devlib/uvc_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<lumavix::uvc::ControlInterface> out;
  std::string why;
  const bool ok = lumavix::uvc::parse_descriptors(std::span<const std::uint8_t>(data, size), out, why);
  if (!ok && (!out.empty() || why.empty())) std::abort();
  for (const auto& ci : out) {
    for (const auto& e : ci.entities) {
      if (!e.is_extension_unit() && !e.selectors.empty()) std::abort();
      for (std::size_t i = 1; i < e.selectors.size(); ++i)
        if (e.selectors[i] <= e.selectors[i - 1]) std::abort();
    }
  }
  return 0;
}
