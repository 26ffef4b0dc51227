// What every in-process sweep holds for its length: the virtual clock
// installed as the library's clock, a scratch folder for its firmware file,
// and, on the way out, the worker ended, the library closed and the platform
// and clock taken back, so that the next sweep starts from nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlib/clock.h"

namespace lumavix::soak {

class SweepScope {
 public:
  // `prefix` names the scratch folder under the system's temporary folder.
  explicit SweepScope(const char* prefix);
  ~SweepScope();
  SweepScope(const SweepScope&) = delete;
  SweepScope& operator=(const SweepScope&) = delete;

  [[nodiscard]] VirtualClock& clock() { return clock_; }

  // Writes `bytes` as fw.bin in the scratch folder and gives its path; false
  // with `error` set when there is no folder or the file cannot be written.
  [[nodiscard]] bool write_firmware(const std::vector<std::uint8_t>& bytes, std::string& path,
                                    std::string& error) const;

 private:
  VirtualClock clock_{1000};
  std::string dir_;
};

}  // namespace lumavix::soak
