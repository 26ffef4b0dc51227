// HID access on Linux through hidraw nodes: listing with libudev, report
// descriptors and identities from sysfs, feature reports through the hidraw
// ioctls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devlib/platform.h"

namespace lumavix {

// One hidraw node: its sysfs directory (/sys/class/hidraw/hidrawN, whose
// `device` entry is the HID device) and its device node (/dev/hidrawN).
struct HidrawNode {
  std::string syspath;
  std::string devnode;
  std::string port;  // "usb-<USB device>", empty when not on USB
};

// Reads what sysfs tells about one hidraw node into `info`: the report
// descriptor from <syspath>/device/report_descriptor and the ids and name
// from <syspath>/device/uevent. `info.path` is left as it is. Returns false
// with `err` when the descriptor cannot be read (a missing file sets
// err.code = ENOENT, so the caller may ask the node itself); a missing or
// malformed uevent only leaves the ids at 0 and the name empty.
[[nodiscard]] bool read_hidraw_sysfs(const std::string& syspath, HidInterfaceInfo& info,
                                     SysError& err);

// The HID_ID and HID_NAME of a HID device's uevent text. Fields that are
// absent or malformed stay 0 / empty; returns whether HID_ID was valid.
bool parse_hid_uevent(const std::string& text, HidInterfaceInfo& info);

class LinuxHidBackend final : public HidBackend {
 public:
  // Lists the hidraw nodes through libudev.
  LinuxHidBackend() = default;
  // Lists exactly `nodes` instead (tests, fake sysfs trees).
  explicit LinuxHidBackend(std::vector<HidrawNode> nodes) : fixed_nodes_(std::move(nodes)) {}

  // Interfaces come sorted by hidraw number.
  [[nodiscard]] bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) override;
  [[nodiscard]] std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override;

 private:
  std::optional<std::vector<HidrawNode>> fixed_nodes_;
};

// The hidraw nodes libudev knows of, in its order; false with `err` when
// udev cannot be asked.
[[nodiscard]] bool list_hidraw_nodes(std::vector<HidrawNode>& out, SysError& err);

}  // namespace lumavix
