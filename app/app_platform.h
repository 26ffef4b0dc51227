// What the program runs on: the Linux HID platform, or the built-in simulated
// camera (--simulate), together with the named locks of the device library.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/linux_lock.h"

namespace lumavix {

namespace sim {
class Simulator;
}
class LinuxHidBackend;
class LinuxUvcBackend;
class LinuxPropertySetBackend;

struct PlatformOptions {
  std::optional<std::string> simulate;  // profile text when simulating
  std::string simState;                 // state file of the simulated camera
};

class AppPlatform {
 public:
  AppPlatform();
  ~AppPlatform();
  AppPlatform(const AppPlatform&) = delete;
  AppPlatform& operator=(const AppPlatform&) = delete;

  // Installs the platform for the device library. False with `error` when
  // the simulated camera cannot be made or its state file is refused.
  [[nodiscard]] bool setup(const PlatformOptions& options, std::string& error);
  // Closes the library and saves the simulated camera's memories when a
  // state file was given.
  [[nodiscard]] bool finish(std::string& error);

  [[nodiscard]] bool simulating() const { return simulator_ != nullptr; }
  // Unplugs the simulated camera, or plugs it back in; false when there is
  // no simulated camera. Returns the new state through `plugged`.
  bool toggle_simulated_plug(bool& plugged);
  // True when the simulated camera has left or come back by itself (its
  // reconnection after an update) since the last call or toggle.
  [[nodiscard]] bool simulated_plug_changed();

  [[nodiscard]] LockBackend& locks() { return locks_; }

 private:
  FlockLockBackend locks_;
  std::unique_ptr<sim::Simulator> simulator_;
  std::unique_ptr<LinuxHidBackend> hid_;
  std::unique_ptr<LinuxUvcBackend> video_;
  std::unique_ptr<LinuxPropertySetBackend> props_;
  std::string simState_;
  bool simPlugged_ = true;
};

}  // namespace lumavix
