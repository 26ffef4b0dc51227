// One camera out of several: while a CameraScope lives, the device library
// sees only the camera at one path, at position 0, so that the device-watch
// pass and the update engine (which work on position 0) act on that camera
// and on no other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devlib/platform.h"

namespace lumavix::cli {

// A camera as the library lists it: its position and the path that finds it
// again (the HID node, or the USB port of its video interface).
struct ListedCamera {
  std::int32_t position = 0;
  std::string path;
  // The USB port of a HID camera, by which it is found again after a
  // reconnection gave it another node; empty when unknown.
  std::string port;
};

// The path of the camera at `position` of the library's open state: the HID
// node, the USB port of a video interface, or a property-set device's path.
[[nodiscard]] std::string listed_path(std::int32_t position);

// The cameras of the library's current open state, in position order.
[[nodiscard]] std::vector<ListedCamera> listed_cameras();

// The platform installed outside any scope (the one a scope narrows).
[[nodiscard]] const Platform& unscoped_platform();

class CameraScope {
 public:
  // Narrows the installed platform to the interfaces of `camera`: its path,
  // or any HID interface on its port; the library is to be (re)opened after
  // this. The platform in force before comes back when the scope ends.
  explicit CameraScope(ListedCamera camera);
  ~CameraScope();
  CameraScope(const CameraScope&) = delete;
  CameraScope& operator=(const CameraScope&) = delete;

 private:
  struct Filters;
  Platform outer_;
  std::unique_ptr<Filters> filters_;
};

}  // namespace lumavix::cli
