// Video-class extension units on Linux, with uvcvideo left bound: video
// capture nodes listed through libudev, the camera's units found in its
// USB descriptors (sysfs), and controls issued with UVCIOC_CTRL_QUERY on
// the video node.
//
// A camera's path is the key of the USB interface the video node hangs off
// (its video-control interface), "usb-<bus>-<port path>:<config>.<iface>",
// e.g. "usb-1-2:1.0": it stays the same while the camera stays in the same
// port and changes when it moves, and it compares exactly (case-sensitive).
//
// Topology: the nodes of a camera are the terminals and units of its
// video-control interface in descriptor order; the extension units are the
// device-specific nodes. A request names a node and the unit GUID; the GUID
// must be the one that node's descriptor declares.
//
// "Is the set supported" is answered with UVC_GET_INFO on the first control
// the unit declares: supported when the unit's GUID matches and the device
// reports the control settable (UVC_CONTROL_CAP_SET).
//
// uvcvideo fixes a control's length at the one GET_LEN reported when the
// control was first used, and refuses other lengths (ENOBUFS); such a
// failure names both lengths. Requests on the XuRoute::RawUsb route go as
// USB control transfers to the video-control interface through its usbfs
// node instead (platform/linux_usb.h): the first one takes the interface
// from uvcvideo, and from then on every request of that control goes raw
// until the control is destroyed, when uvcvideo gets the interface back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "platform/linux_usb.h"

namespace lumavix {

// One video4linux node as udev shows it.
struct VideoNode {
  std::string devnode;                // /dev/videoN
  std::string name;                   // product name
  std::string key;                    // "usb-1-2:1.0", empty when not on USB
  std::string usb_device_syspath;     // the USB device (its `descriptors`)
  std::uint16_t product_id = 0;       // its idProduct; 0 when unreadable
  bool capture = true;                // can capture video (not a metadata node)
  long number = -1;                   // N of videoN
};

// The video4linux nodes in udev's order; false with `err` when udev cannot
// be asked.
[[nodiscard]] bool list_video_nodes(std::vector<VideoNode>& out, SysError& err);

class LinuxUvcBackend final : public VideoClassBackend {
 public:
  LinuxUvcBackend() = default;
  // Uses exactly `nodes` instead of asking udev (tests, fake sysfs trees),
  // and, when given, `usb_opener` and `dev_root` for the raw route.
  explicit LinuxUvcBackend(std::vector<VideoNode> nodes, UsbOpener usb_opener = {},
                           std::string dev_root = "/dev")
      : fixed_nodes_(std::move(nodes)), usb_opener_(std::move(usb_opener)),
        dev_root_(std::move(dev_root)) {}

  // Capture nodes sorted by number, one per camera key; broadcast receivers
  // do not exist here.
  [[nodiscard]] bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                          SysError& err) override;
  [[nodiscard]] std::unique_ptr<VideoControl> bind(DeviceCategory category,
                                                   const std::string& path,
                                                   SysError& err) override;

 private:
  [[nodiscard]] bool nodes(std::vector<VideoNode>& out, SysError& err);
  std::optional<std::vector<VideoNode>> fixed_nodes_;
  UsbOpener usb_opener_;
  std::string dev_root_ = "/dev";
};

}  // namespace lumavix
