// The device access library against a device whose every decision comes
// from the input: byte 0 sets how often a transfer is tampered with, byte 1
// bit 0 whether the engine's download runs too, and the rest drives the
// listed report descriptors and the replies, one decision at a time. Once
// the input is spent the device is gone, so every operation must end. A
// broken guarantee (an operation that does not end in bounded virtual time,
// a success that cannot be, more than one outcome) traps.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "firmware/image.h"
#include "sim/simulator.h"
#include "soak/hostile_device.h"

namespace {

struct Firmware {
  std::string path;
  std::vector<std::uint8_t> file;
};

const Firmware& firmware() {
  static const Firmware fw = [] {
    Firmware f;
    lumavix::FirmwareBuildOptions o;
    o.image_size = 0x4000;
    f.file = lumavix::build_firmware_file(o);
    f.path = "/tmp/lumavix-hostile-fuzz-" + std::to_string(::getpid()) + ".bin";
    std::ofstream(f.path, std::ios::binary)
        .write(reinterpret_cast<const char*>(f.file.data()),
               static_cast<std::streamsize>(f.file.size()));
    return f;
  }();
  return fw;
}

const lumavix::sim::SimCameraConfig& camera_config() {
  static const lumavix::sim::SimCameraConfig config = [] {
    lumavix::sim::SimOptions o;
    return lumavix::sim::camera_config_for(o);
  }();
  return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumavix;
  if (size < 2) return 0;
  const Firmware& fw = firmware();
  hostile::ScriptSource source(std::span<const std::uint8_t>(data + 2, size - 2));
  sim::SimCamera camera(camera_config());
  hostile::HostileHid device(source, camera, data[0], 5000, hostile::WhenExhausted::Unplugged);
  const std::vector<std::string> problems =
      hostile::drive_library(device, camera, (data[1] & 1) != 0, fw.path, fw.file);
  if (!problems.empty()) {
    for (const std::string& p : problems) std::fprintf(stderr, "hostile device: %s\n", p.c_str());
    __builtin_trap();
  }
  return 0;
}
