// Fuzzes the simulated camera's state-file loader: any file is either
// loaded or refused with a message, and a loaded state saves back to a file
// that loads to the same bytes.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/fuzz_file.h"
#include "sim/simulator.h"

using lumavix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const std::string& path = lumavix::fuzz::scratch_path("state");
  lumavix::fuzz::write_scratch(path, data, size);
  std::string error;
  const auto sim = lumavix::sim::create_simulator("q", path, error);
  if (!sim) {
    check(!error.empty());
    return 0;
  }
  const std::string again = path + ".saved";
  check(sim->save_state(again, error));
  const auto reloaded = lumavix::sim::create_simulator("q", again, error);
  check(reloaded != nullptr);
  std::string resaved_error;
  check(reloaded->save_state(again + "2", resaved_error));
  std::ifstream a(again, std::ios::binary), b(again + "2", std::ios::binary);
  check(std::string(std::istreambuf_iterator<char>(a), {}) ==
        std::string(std::istreambuf_iterator<char>(b), {}));
  return 0;
}
