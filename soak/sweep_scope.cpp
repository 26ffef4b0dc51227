#include "soak/sweep_scope.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "devlib/frame.h"
#include "firmware/engine.h"

namespace lumavix::soak {

SweepScope::SweepScope(const char* prefix) {
  set_clock(&clock_);
  std::string templ =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (char* made = ::mkdtemp(templ.data())) dir_ = made;
}

SweepScope::~SweepScope() {
  WaitForWorker();
  CloseDevices();
  set_platform({});
  set_clock(nullptr);
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool SweepScope::write_firmware(const std::vector<std::uint8_t>& bytes, std::string& path,
                                std::string& error) const {
  if (dir_.empty()) {
    error = "cannot make a temporary folder";
    return false;
  }
  path = (std::filesystem::path(dir_) / "fw.bin").string();
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (bytes.empty() || !out) {
    error = "cannot write the firmware file " + path;
    return false;
  }
  return true;
}

}  // namespace lumavix::soak
