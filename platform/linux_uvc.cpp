#include "platform/linux_uvc.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <charconv>
#include <cstring>
#include <set>

#include "devlib/uvc_descriptor.h"
#include "devlib/uvc_request.h"
#include "platform/linux_doctor.h"
#include "platform/linux_usb.h"
#include "platform/sys_call.h"

namespace lumavix {

namespace {

// The kernel's descriptors file is the device descriptor and every
// configuration's descriptors (each at most 64 KiB by wTotalLength).
constexpr std::size_t kMaxDescriptorFile = 1u << 20;

long video_number(const std::string& devnode) {
  const std::size_t slash = devnode.rfind('/');
  const std::string_view base =
      std::string_view(devnode).substr(slash == std::string::npos ? 0 : slash + 1);
  constexpr std::string_view kPrefix = "video";
  if (base.substr(0, kPrefix.size()) != kPrefix) return -1;
  long n = -1;
  const std::string_view digits = base.substr(kPrefix.size());
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return -1;
  return n;
}

// Without udev's capability property the node is asked itself; a node that
// cannot be opened is kept, and binding it will say why.
bool node_can_capture(const std::string& devnode) {
  const int fd = sys_open(devnode.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return true;
  v4l2_capability cap{};
  const int r = sys_ioctl(fd, VIDIOC_QUERYCAP, &cap);
  sys_close(fd);
  if (r < 0) return true;
  const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps
                                                                       : cap.capabilities;
  return (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0;
}

// Where a control's raw route goes: the usbfs node of the camera (empty,
// with `why`, when it cannot be named) and its video-control interface.
struct RawTarget {
  std::string node;
  SysError why;
  std::uint8_t interface_number = 0;
  UsbOpener opener;
};

class LinuxVideoControl final : public VideoControl {
 public:
  LinuxVideoControl(int fd, std::string path, std::string devnode,
                    std::vector<uvc::Entity> entities, RawTarget raw)
      : fd_(fd), path_(std::move(path)), devnode_(std::move(devnode)),
        entities_(std::move(entities)), raw_(std::move(raw)) {}
  ~LinuxVideoControl() override {
    // The driver gets the interface back before anything else is let go.
    claim_.reset();
    sys_close(fd_);
  }
  LinuxVideoControl(const LinuxVideoControl&) = delete;
  LinuxVideoControl& operator=(const LinuxVideoControl&) = delete;

  std::uint32_t node_count() override { return static_cast<std::uint32_t>(entities_.size()); }

  bool node_is_extension_unit(std::uint32_t node) override {
    return node < entities_.size() && entities_[node].is_extension_unit();
  }

  int xu_request(const XuQuery& q, std::span<std::uint8_t> data, SysError& err) override {
    if (q.node >= entities_.size()) {
      err = {ENOENT, devnode_ + " has no node " + std::to_string(q.node)};
      return -ENOENT;
    }
    const uvc::Entity& e = entities_[q.node];
    if (!e.is_extension_unit() || e.guid != q.unit) {
      err = {ENOENT, "node " + std::to_string(q.node) + " of " + devnode_ + " is not the unit " +
                         guid_text(q.unit)};
      return -ENOENT;
    }
    if (gone_) return fail(ENODEV, "the camera is gone (device unplugged)", err);
    // Once the driver has let go of the interface, only the raw route is left.
    const bool raw = q.route == XuRoute::RawUsb || claim_;
    if (q.flags == kXuFlagSetSupport) return raw ? raw_set_supported(e, err) : set_supported(e, err);
    if (q.flags != kXuFlagGet && q.flags != kXuFlagSet) return fail(EINVAL, "unknown request", err);
    if (q.selector == 0 || q.selector > 0xFF || data.size() > 0xFFFF)
      return fail(EINVAL, "selector " + std::to_string(q.selector) + " with " +
                              std::to_string(data.size()) + " bytes cannot be sent",
                  err);
    const std::uint8_t query = q.flags == kXuFlagGet ? UVC_GET_CUR : UVC_SET_CUR;
    if (raw) return raw_control(e.id, static_cast<std::uint8_t>(q.selector), query, data, err);
    const int r = control(e.id, static_cast<std::uint8_t>(q.selector), query, data);
    if (r == -ENOBUFS) {
      std::uint8_t len[2] = {};
      const int lr = control(e.id, static_cast<std::uint8_t>(q.selector), UVC_GET_LEN, len);
      const std::string takes =
          lr >= 0 ? std::to_string(len[0] | len[1] << 8) + " bytes" : std::string("another length");
      return fail(ENOBUFS,
                  "uvcvideo takes control " + std::to_string(q.selector) + " of unit " +
                      std::to_string(e.id) + " with " + takes + ", not " +
                      std::to_string(data.size()),
                  err);
    }
    if (r < 0) {
      return fail(-r,
                  std::string(query == UVC_GET_CUR ? "GET_CUR" : "SET_CUR") + " of control " +
                      std::to_string(q.selector) + " of unit " + std::to_string(e.id) +
                      " failed: " + std::strerror(-r),
                  err);
    }
    return static_cast<int>(data.size());
  }

  const std::string& path() const override { return path_; }

 private:
  int fail(int code, const std::string& what, SysError& err) {
    err = {code, devnode_ + ": " + what};
    return -code;
  }

  int control(std::uint8_t unit, std::uint8_t selector, std::uint8_t query,
              std::span<std::uint8_t> data) {
    uvc_xu_control_query xq{};
    xq.unit = unit;
    xq.selector = selector;
    xq.query = query;
    xq.size = static_cast<std::uint16_t>(data.size());
    xq.data = data.data();
    return sys_ioctl(fd_, UVCIOC_CTRL_QUERY, &xq);
  }

  int set_supported(const uvc::Entity& e, SysError& err) {
    if (e.selectors.empty()) return fail(EOPNOTSUPP, "the unit declares no control", err);
    std::uint8_t info = 0;
    const int r = control(e.id, e.selectors.front(), UVC_GET_INFO, std::span<std::uint8_t>(&info, 1));
    if (r < 0) return fail(-r, std::string("GET_INFO failed: ") + std::strerror(-r), err);
    if ((info & UVC_CONTROL_CAP_SET) == 0)
      return fail(EOPNOTSUPP, "the unit's controls cannot be set", err);
    return 0;
  }

  // Takes the video-control interface from the driver for the raw route.
  int take_interface(SysError& err) {
    if (raw_.node.empty()) {
      err = raw_.why;
      if (err.empty()) err = {ENODEV, "the USB device of " + devnode_ + " is unknown"};
      return -err.code;
    }
    std::unique_ptr<UsbIo> io = raw_.opener ? raw_.opener(raw_.node, err)
                                            : open_usb_device(raw_.node, err);
    if (!io) return -(err.code ? err.code : EIO);
    claim_ = InterfaceClaim::take(std::move(io), raw_.interface_number, raw_.node, err);
    if (!claim_) return -(err.code ? err.code : EIO);
    // The video node goes away with the driver.
    sys_close(fd_);
    fd_ = -1;
    return 0;
  }

  int raw_fail(int code, const std::string& what, SysError& err) {
    err = {code, raw_.node + ": " + what};
    return -code;
  }

  // One request as a USB control transfer on the claimed interface.
  int raw_control(std::uint8_t unit, std::uint8_t selector, std::uint8_t query,
                  std::span<std::uint8_t> data, SysError& err) {
    if (!claim_) {
      if (const int r = take_interface(err); r < 0) return r;
    }
    const uvc::ControlSetup setup = uvc::control_setup(
        query, selector, unit, raw_.interface_number, static_cast<std::uint16_t>(data.size()));
    const int r = claim_->io().control_transfer(setup, data, kUsbControlTimeoutMs);
    const std::string what = request_name(query) + " of control " + std::to_string(selector) +
                             " of unit " + std::to_string(unit);
    if (r == -ENODEV) {
      // Unplugged: nothing more will answer, and the driver is given back
      // (to nothing) now rather than at the library's close.
      claim_.reset();
      gone_ = true;
      return raw_fail(ENODEV, "the camera is gone (device unplugged) during " + what, err);
    }
    if (r == -ETIMEDOUT)
      return raw_fail(ETIMEDOUT,
                      what + " timed out after " + std::to_string(kUsbControlTimeoutMs) + " ms",
                      err);
    if (r < 0) return raw_fail(-r, what + " failed: " + errno_text(-r), err);
    if (static_cast<std::size_t>(r) != data.size())
      return raw_fail(EPROTO,
                      what + " moved " + std::to_string(r) + " of " +
                          std::to_string(data.size()) + " bytes",
                      err);
    return r;
  }

  int raw_set_supported(const uvc::Entity& e, SysError& err) {
    if (e.selectors.empty()) return fail(EOPNOTSUPP, "the unit declares no control", err);
    std::uint8_t info = 0;
    const int r = raw_control(e.id, e.selectors.front(), uvc::kGetInfo,
                              std::span<std::uint8_t>(&info, uvc::kGetInfoReplyLen), err);
    if (r < 0) return r;
    if ((info & UVC_CONTROL_CAP_SET) == 0)
      return fail(EOPNOTSUPP, "the unit's controls cannot be set", err);
    return 0;
  }

  static std::string request_name(std::uint8_t query) {
    switch (query) {
      case UVC_GET_CUR: return "GET_CUR";
      case UVC_SET_CUR: return "SET_CUR";
      case UVC_GET_INFO: return "GET_INFO";
      case UVC_GET_LEN: return "GET_LEN";
      default: return "request " + std::to_string(query);
    }
  }

  int fd_;
  std::string path_;
  std::string devnode_;
  std::vector<uvc::Entity> entities_;
  RawTarget raw_;
  std::unique_ptr<InterfaceClaim> claim_;
  bool gone_ = false;
};

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};

}  // namespace

bool list_video_nodes(std::vector<VideoNode>& out, SysError& err) {
  out.clear();
  std::unique_ptr<udev, UdevDeleter> ctx(udev_new());
  if (!ctx) {
    err = {errno, "cannot list video devices: udev is not available"};
    return false;
  }
  std::unique_ptr<udev_enumerate, UdevDeleter> en(udev_enumerate_new(ctx.get()));
  if (!en) {
    err = {errno, "cannot list video devices: udev enumeration failed"};
    return false;
  }
  int r = udev_enumerate_add_match_subsystem(en.get(), "video4linux");
  if (r >= 0) r = udev_enumerate_scan_devices(en.get());
  if (r < 0) {
    err = {-r, std::string("cannot list video devices: ") + std::strerror(-r)};
    return false;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
    const char* syspath = udev_list_entry_get_name(entry);
    if (!syspath) continue;
    std::unique_ptr<udev_device, UdevDeleter> dev(udev_device_new_from_syspath(ctx.get(), syspath));
    if (!dev) continue;  // gone since the scan
    const char* devnode = udev_device_get_devnode(dev.get());
    if (!devnode) continue;
    VideoNode node;
    node.devnode = devnode;
    node.number = video_number(node.devnode);
    const char* product = udev_device_get_property_value(dev.get(), "ID_V4L_PRODUCT");
    const char* name = udev_device_get_sysattr_value(dev.get(), "name");
    node.name = product ? product : name ? name : node.devnode;
    if (const char* caps = udev_device_get_property_value(dev.get(), "ID_V4L_CAPABILITIES")) {
      node.capture = std::strstr(caps, ":capture:") != nullptr;
    } else {
      node.capture = node_can_capture(node.devnode);
    }
    // The parents are owned by `dev`.
    if (udev_device* intf =
            udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_interface")) {
      if (const char* sysname = udev_device_get_sysname(intf))
        node.key = uvc::interface_key(sysname);
    }
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device")) {
      if (const char* p = udev_device_get_syspath(usb)) node.usb_device_syspath = p;
      if (const char* id = udev_device_get_sysattr_value(usb, "idProduct"))
        node.product_id = static_cast<std::uint16_t>(std::strtoul(id, nullptr, 16));
    }
    out.push_back(std::move(node));
  }
  return true;
}

bool LinuxUvcBackend::nodes(std::vector<VideoNode>& out, SysError& err) {
  if (fixed_nodes_) {
    out = *fixed_nodes_;
  } else if (!list_video_nodes(out, err)) {
    return false;
  }
  std::stable_sort(out.begin(), out.end(), [](const VideoNode& a, const VideoNode& b) {
    if (a.number != b.number) return a.number < b.number;
    return a.devnode < b.devnode;
  });
  return true;
}

bool LinuxUvcBackend::list(DeviceCategory category, std::vector<CategoryDevice>& out,
                           SysError& err) {
  out.clear();
  if (category != DeviceCategory::VideoCapture) return true;
  std::vector<VideoNode> all;
  if (!nodes(all, err)) return false;
  // A camera with several capture nodes is listed once, by its first.
  std::set<std::string> keys;
  for (const VideoNode& n : all) {
    if (!n.capture) continue;
    if (!n.key.empty() && !keys.insert(n.key).second) continue;
    out.push_back({n.name, n.key, n.product_id});
  }
  err = {};
  return true;
}

std::unique_ptr<VideoControl> LinuxUvcBackend::bind(DeviceCategory category,
                                                    const std::string& path, SysError& err) {
  std::uint8_t configuration = 0, interface_number = 0;
  if (category != DeviceCategory::VideoCapture ||
      !uvc::parse_interface_key(path, configuration, interface_number)) {
    err = {ENODEV, path + " is not a USB video capture device"};
    return nullptr;
  }
  std::vector<VideoNode> all;
  if (!nodes(all, err)) return nullptr;
  const auto it = std::find_if(all.begin(), all.end(),
                               [&](const VideoNode& n) { return n.capture && n.key == path; });
  if (it == all.end()) {
    err = {ENODEV, path + " is not present"};
    return nullptr;
  }

  const std::string file = it->usb_device_syspath + "/descriptors";
  std::vector<std::uint8_t> bytes;
  if (it->usb_device_syspath.empty()) {
    err = {ENOENT, "the USB device of " + it->devnode + " is unknown"};
    return nullptr;
  }
  if (const int r = read_file(file, kMaxDescriptorFile, bytes); r < 0) {
    err = {-r, r == -EFBIG ? file + " is too large for USB descriptors"
                           : "cannot read " + file + ": " + std::strerror(-r)};
    return nullptr;
  }
  std::vector<uvc::ControlInterface> interfaces;
  std::string why;
  if (!uvc::parse_descriptors(bytes, interfaces, why)) {
    err = {EINVAL, "the USB descriptors of " + it->devnode + " are malformed: " + why};
    return nullptr;
  }
  const auto ci = std::find_if(interfaces.begin(), interfaces.end(), [&](const auto& c) {
    return c.configuration == configuration && c.interface_number == interface_number;
  });
  if (ci == interfaces.end()) {
    err = {ENODEV, it->devnode + " has no video-control interface " +
                       std::to_string(interface_number) + " in its descriptors"};
    return nullptr;
  }

  // As for hidraw: udev may still be setting up a node that just appeared.
  const int fd = open_node_with_retry(it->devnode, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    err = {-fd, node_open_message(it->devnode, -fd)};
    return nullptr;
  }
  RawTarget raw;
  raw.node = usbfs_node(it->usb_device_syspath, raw.why, dev_root_);
  raw.interface_number = interface_number;
  raw.opener = usb_opener_;
  err = {};
  return std::make_unique<LinuxVideoControl>(fd, path, it->devnode, ci->entities,
                                             std::move(raw));
}

}  // namespace lumavix
