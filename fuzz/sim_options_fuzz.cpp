// Fuzzes the --simulate option text: parsed or refused with a message,
// never a crash; a parsed text also makes its cameras.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_file.h"
#include "sim/sim_options.h"
#include "sim/simulator.h"

using lumavix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 512) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  lumavix::sim::SimOptions options;
  std::string error;
  if (!lumavix::sim::parse_sim_options(text, options, error)) {
    check(!error.empty());
    return 0;
  }
  // A few cameras at most, so that one input cannot take the run's memory.
  if (options.count > 4) return 0;
  std::string create_error;
  (void)lumavix::sim::Simulator::create(options, create_error);
  return 0;
}
