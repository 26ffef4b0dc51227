// A HID platform made of simulated cameras and, for tests, any other HID
// interfaces (keyboards, mice, odd descriptors). The device access library
// reaches it through the same HidBackend interface as real hardware.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "sim/sim_camera.h"

namespace lumavix::sim {

class SimHidBackend final : public HidBackend {
 public:
  // Adds a camera; an empty config path becomes "/sim/hidrawN" (N the
  // position in the list) and an empty port "usb-1-M:1.0" (M the camera's
  // number, from 1). A camera without its HID interface is not listed here,
  // only by the video and property-set platforms. Returns the camera, which
  // the backend shares with every handle opened on it.
  std::shared_ptr<SimCamera> add_camera(SimCameraConfig config);
  // Every camera, in the order added (the video and property-set platforms
  // list them from here).
  [[nodiscard]] std::vector<std::shared_ptr<SimCamera>> cameras() const;
  // Adds an interface that is not a camera; its transfers fail with -EPIPE.
  void add_interface(HidInterfaceInfo info);
  // Makes open() of `path` fail with `error` (an errno value; 0 clears it).
  void set_open_error(const std::string& path, int error);

  [[nodiscard]] std::size_t camera_count() const;
  [[nodiscard]] SimCamera* camera(std::size_t i) const;
  // How many handles open() has handed out.
  [[nodiscard]] std::size_t open_count() const;

  // Lists every interface in the order added; unplugged cameras are left out.
  [[nodiscard]] bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) override;
  [[nodiscard]] std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override;

 private:
  struct Entry {
    HidInterfaceInfo info;
    std::shared_ptr<SimCamera> camera;  // null for other interfaces
    int open_error = 0;
  };
  [[nodiscard]] std::string next_path() const;

  mutable std::mutex mu_;
  std::vector<Entry> entries_;
  std::vector<std::shared_ptr<SimCamera>> cameras_;
  std::size_t opens_ = 0;
};

}  // namespace lumavix::sim
