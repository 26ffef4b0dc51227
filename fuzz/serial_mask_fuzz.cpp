// Fuzzes serial masking: a serial keeps its length and at most its last
// four characters; masking a text by a known serial never crashes.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/support_bundle.h"
#include "fuzz/fuzz_file.h"

using lumavix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096 || size < 1) return 0;
  // The first byte says how long the known serial (taken from the text's
  // start) is; the rest is the text.
  const std::size_t known_len = std::min<std::size_t>(data[0] % 24, size - 1);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string known(text.substr(0, known_len));

  const std::string masked = lumavix::cli::mask_serial(known);
  check(masked.size() == known.size());
  if (known.size() >= 12) check(masked.substr(0, known.size() - 4).find_first_not_of('*') ==
                                std::string::npos);

  // A masked serial's kept tail may join the text after it into the serial
  // again ("0000..." in zeros), so only the absence of a crash is checked.
  (void)lumavix::cli::mask_serials(text, {known});
  return 0;
}
