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
#include "devlib/types.h"

namespace lumavix::cli {

// A camera as the library lists it: its position and the path that finds it
// again (the HID node, or the USB port of its video interface).
struct ListedCamera {
  std::int32_t position = 0;
  std::string path;
  // The USB port of a HID camera, by which it is found again after a
  // reconnection gave it another node; empty when unknown. Once known, it
  // alone finds the camera: a node number may since belong to another one.
  std::string port;
  // The interface kind the library reached it through.
  DeviceKind kind = DeviceKind::None;
};

// The path of the camera at `position` of the library's open state: the HID
// node, the USB port of a video interface, or a property-set device's path.
[[nodiscard]] std::string listed_path(std::int32_t position);

// The cameras of the library's current open state, in position order.
[[nodiscard]] std::vector<ListedCamera> listed_cameras();

// Every camera on the machine, of every interface kind. The library opens
// one kind at a time (the first its probe finds); the search opens it again
// with the cameras already found hidden, until nothing more answers, so that
// cameras of a kind probed later are listed too and a camera reachable
// through two kinds (its HID node and its video interface on one port) is
// listed once. The library is closed when it returns. `kinds_not_searched`
// names the kinds the search could not reach (it stops after a bounded
// number of openings).
struct CameraSearch {
  std::vector<ListedCamera> cameras;
  std::vector<std::string> kinds_found;
  std::vector<std::string> kinds_not_searched;
};
[[nodiscard]] CameraSearch search_all_cameras();

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
