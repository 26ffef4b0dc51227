// HID over hidraw. The hidraw ioctls are used directly rather than through
// hidapi: hidapi turns failures into its own strings and loses errno, while
// the user must be told the real cause (permission, unplugged, busy), and the
// hidapi of Debian 12 cannot read report descriptors, which the interface
// selection needs.
#include "platform/linux_hid.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "platform/linux_doctor.h"
#include "platform/sys_call.h"

namespace lumavix {

namespace {

// Longest descriptor accepted from sysfs; the kernel's own limit is 4096.
constexpr std::size_t kMaxDescriptorBytes = 65536;
// Longest uevent file read; real ones are a few hundred bytes.
constexpr std::size_t kMaxUeventBytes = 16384;
// The ioctl size field holds 14 bits.
constexpr std::size_t kMaxIoctlReport = (1u << 14) - 1;

template <typename T>
bool parse_hex(std::string_view text, T& value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, 16);
  return ec == std::errc() && ptr == end;
}

// Asks the node itself for its report descriptor.
bool read_descriptor_from_node(const std::string& devnode, std::vector<std::uint8_t>& out,
                               SysError& err) {
  const int fd = sys_open(devnode.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    err = {-fd, "cannot read the report descriptor of " + devnode + ": " + errno_text(-fd)};
    return false;
  }
  int size = 0;
  int r = sys_ioctl(fd, HIDIOCGRDESCSIZE, &size);
  if (r >= 0 && (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE)) r = -EINVAL;
  hidraw_report_descriptor desc{};
  if (r >= 0) {
    desc.size = static_cast<std::uint32_t>(size);
    r = sys_ioctl(fd, HIDIOCGRDESC, &desc);
  }
  sys_close(fd);
  if (r < 0) {
    err = {-r, "cannot read the report descriptor of " + devnode + ": " + errno_text(-r)};
    return false;
  }
  out.assign(desc.value, desc.value + desc.size);
  return true;
}

// The number N of .../hidrawN, or -1.
long hidraw_number(const std::string& devnode) {
  const std::size_t slash = devnode.rfind('/');
  const std::string_view base =
      std::string_view(devnode).substr(slash == std::string::npos ? 0 : slash + 1);
  constexpr std::string_view kPrefix = "hidraw";
  if (base.substr(0, kPrefix.size()) != kPrefix) return -1;
  long n = -1;
  const std::string_view digits = base.substr(kPrefix.size());
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return -1;
  return n;
}

class LinuxHidDevice final : public HidDevice {
 public:
  LinuxHidDevice(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~LinuxHidDevice() override { sys_close(fd_); }
  LinuxHidDevice(const LinuxHidDevice&) = delete;
  LinuxHidDevice& operator=(const LinuxHidDevice&) = delete;

  int set_feature(std::span<const std::uint8_t> report) override {
    if (report.empty() || report.size() > kMaxIoctlReport) return -EINVAL;
    // The kernel only reads this buffer.
    return sys_ioctl(fd_, HIDIOCSFEATURE(report.size()), const_cast<std::uint8_t*>(report.data()));
  }

  int get_feature(std::span<std::uint8_t> report) override {
    if (report.empty() || report.size() > kMaxIoctlReport) return -EINVAL;
    return sys_ioctl(fd_, HIDIOCGFEATURE(report.size()), report.data());
  }

  const std::string& path() const override { return path_; }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

bool parse_hid_uevent(const std::string& text, HidInterfaceInfo& info) {
  bool id_ok = false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("HID_NAME=", 0) == 0) {
      info.name = line.substr(9);
    } else if (line.rfind("HID_ID=", 0) == 0) {
      // HID_ID=bbbb:vvvvvvvv:pppppppp (bus, vendor, product in hexadecimal).
      const std::string_view v = std::string_view(line).substr(7);
      const std::size_t c1 = v.find(':');
      const std::size_t c2 = c1 == std::string_view::npos ? c1 : v.find(':', c1 + 1);
      std::uint32_t bus = 0, vendor = 0, product = 0;
      if (c2 == std::string_view::npos || !parse_hex(v.substr(0, c1), bus) ||
          !parse_hex(v.substr(c1 + 1, c2 - c1 - 1), vendor) ||
          !parse_hex(v.substr(c2 + 1), product) || vendor > 0xFFFF || product > 0xFFFF) {
        continue;
      }
      info.vendor_id = static_cast<std::uint16_t>(vendor);
      info.product_id = static_cast<std::uint16_t>(product);
      id_ok = true;
    }
  }
  return id_ok;
}

bool read_hidraw_sysfs(const std::string& syspath, HidInterfaceInfo& info, SysError& err) {
  const std::string hid_dir = syspath + "/device";
  std::vector<std::uint8_t> uevent;
  if (read_file(hid_dir + "/uevent", kMaxUeventBytes, uevent) >= 0)
    parse_hid_uevent(std::string(uevent.begin(), uevent.end()), info);

  const std::string desc_path = hid_dir + "/report_descriptor";
  const int r = read_file(desc_path, kMaxDescriptorBytes, info.report_descriptor);
  if (r < 0) {
    err = {-r, r == -EFBIG ? desc_path + " is too large for a report descriptor"
                           : "cannot read " + desc_path + ": " + errno_text(-r)};
    return false;
  }
  return true;
}

bool list_hidraw_nodes(std::vector<HidrawNode>& out, SysError& err) {
  out.clear();
  struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
  };
  std::unique_ptr<udev, UdevDeleter> ctx(udev_new());
  if (!ctx) {
    err = {errno, "cannot list HID devices: udev is not available"};
    return false;
  }
  std::unique_ptr<udev_enumerate, UdevDeleter> en(udev_enumerate_new(ctx.get()));
  if (!en) {
    err = {errno, "cannot list HID devices: udev enumeration failed"};
    return false;
  }
  int r = udev_enumerate_add_match_subsystem(en.get(), "hidraw");
  if (r >= 0) r = udev_enumerate_scan_devices(en.get());
  if (r < 0) {
    err = {-r, "cannot list HID devices: " + errno_text(-r)};
    return false;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
    const char* syspath = udev_list_entry_get_name(entry);
    if (!syspath) continue;
    std::unique_ptr<udev_device, UdevDeleter> dev(
        udev_device_new_from_syspath(ctx.get(), syspath));
    if (!dev) continue;  // gone since the scan
    const char* devnode = udev_device_get_devnode(dev.get());
    if (!devnode) continue;
    std::string port;
    // The parent is owned by `dev`.
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device")) {
      if (const char* sysname = udev_device_get_sysname(usb)) port = std::string("usb-") + sysname;
    }
    out.push_back({syspath, devnode, std::move(port)});
  }
  return true;
}

bool LinuxHidBackend::enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) {
  out.clear();
  std::vector<HidrawNode> nodes;
  if (fixed_nodes_) {
    nodes = *fixed_nodes_;
  } else if (!list_hidraw_nodes(nodes, err)) {
    return false;
  }
  std::stable_sort(nodes.begin(), nodes.end(), [](const HidrawNode& a, const HidrawNode& b) {
    const long na = hidraw_number(a.devnode), nb = hidraw_number(b.devnode);
    if (na != nb) return na < nb;
    return a.devnode < b.devnode;
  });

  for (const HidrawNode& node : nodes) {
    HidInterfaceInfo info;
    info.path = node.devnode;
    info.port = node.port;
    SysError node_err;
    if (!read_hidraw_sysfs(node.syspath, info, node_err)) {
      // Without the sysfs file the node may still answer for itself; a node
      // that cannot be read either way is listed without a descriptor.
      info.report_descriptor.clear();
      if (node_err.code == ENOENT) {
        SysError ioctl_err;
        if (!read_descriptor_from_node(node.devnode, info.report_descriptor, ioctl_err))
          info.report_descriptor.clear();
      }
    }
    out.push_back(std::move(info));
  }
  err = {};
  return true;
}

std::unique_ptr<HidDevice> LinuxHidBackend::open(const std::string& path, SysError& err) {
  // Right after a replug udev may not yet have made the node or granted the
  // user access to it; the open is retried for a moment.
  const int fd = open_node_with_retry(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    err = {-fd, node_open_message(path, -fd)};
    return nullptr;
  }
  err = {};
  return std::make_unique<LinuxHidDevice>(fd, path);
}

}  // namespace lumavix
