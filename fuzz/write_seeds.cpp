// Writes the descriptor fuzzers' seeds, made from the same descriptors the
// simulated camera presents and the parsers' tests read, so that the seeds
// follow them when they change: `write_seeds DIR` makes
// DIR/hid_descriptor_fuzz/ and DIR/uvc_descriptor_fuzz/. Not a fuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "devlib/camera_descriptors.h"
#include "sim/sim_camera.h"

namespace {

bool put(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) std::fprintf(stderr, "write_seeds: cannot write %s\n", file.string().c_str());
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  bool ok = put(dir / "hid_descriptor_fuzz" / "sim-camera-vendor-interface",
                lumavix::sim::camera_report_descriptor());
  ok = put(dir / "uvc_descriptor_fuzz" / "real-shaped-camera", lumavix::test::camera_descriptors()) &&
       ok;
  return ok ? 0 : 1;
}
