#include "platform/linux_usb.h"

#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <limits>

#include "devlib/clock.h"
#include "devlib/trace.h"
#include "platform/sys_call.h"

namespace lumavix {

namespace {

// ------------------------------------------------------ the signal path --

// The claims a signal handler must give back. A slot is Free, being Filled
// by take(), or Live; the handler touches Live slots only. Lock-free
// atomics are async-signal-safe.
enum SlotState : int { kFree = 0, kFilling = 1, kLive = 2 };
struct ClaimSlot {
  std::atomic<int> state{kFree};
  std::atomic<int> fd{-1};
  std::atomic<int> interface_number{0};
  std::atomic<bool> reattach{false};
};
// One per camera position is plenty.
constexpr int kClaimSlots = 24;
ClaimSlot g_slots[kClaimSlots];

constexpr int kHandedSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[std::size(kHandedSignals)];

int list_claim(int fd, int interface_number, bool reattach) {
  for (int i = 0; i < kClaimSlots; ++i) {
    int expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    g_slots[i].fd.store(fd);
    g_slots[i].interface_number.store(interface_number);
    g_slots[i].reattach.store(reattach);
    g_slots[i].state.store(kLive);
    return i;
  }
  return -1;
}

void strike_claim(int slot) {
  if (slot < 0 || slot >= kClaimSlots) return;
  int expected = kLive;
  g_slots[slot].state.compare_exchange_strong(expected, kFree);
}

void on_signal(int sig) {
  const int saved_errno = errno;
  (void)give_back_claims_now();
  // Let the signal take its previous course: it is blocked while this
  // handler runs, so the raise is delivered once the handler returns.
  for (std::size_t i = 0; i < std::size(kHandedSignals); ++i) {
    if (kHandedSignals[i] != sig) continue;
    ::sigaction(sig, &g_previous[i], nullptr);
    ::raise(sig);
  }
  errno = saved_errno;
}

// Installs the handler for each signal that is neither ignored nor already
// ours. Runs at every take(), under the library lock: a previous handler
// may have replaced ours after a signal was handed on.
void install_signal_handlers() {
  for (std::size_t i = 0; i < std::size(kHandedSignals); ++i) {
    struct sigaction now {};
    if (::sigaction(kHandedSignals[i], nullptr, &now) != 0) continue;
    if (now.sa_handler == SIG_IGN || now.sa_handler == &on_signal) continue;
    struct sigaction ours {};
    ours.sa_handler = &on_signal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_RESTART;
    g_previous[i] = now;
    ::sigaction(kHandedSignals[i], &ours, nullptr);
  }
}

// ------------------------------------------------------------ libusb --

libusb_context* usb_context(SysError& err) {
  // Never freed: claims given back from static destructors at exit still
  // need it, and the order of those destructors is not known.
  static libusb_context* ctx = [] {
    // Devices are opened from their usbfs node; libusb need not scan.
    (void)libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
    libusb_context* c = nullptr;
    return libusb_init(&c) == LIBUSB_SUCCESS ? c : nullptr;
  }();
  if (!ctx) err = {EIO, "libusb cannot be initialised"};
  return ctx;
}

class LibusbIo final : public UsbIo {
 public:
  LibusbIo(int fd, libusb_device_handle* handle) : fd_(fd), handle_(handle) {}
  ~LibusbIo() override {
    libusb_close(handle_);
    // A wrapped descriptor stays ours to close.
    sys_close(fd_);
  }
  LibusbIo(const LibusbIo&) = delete;
  LibusbIo& operator=(const LibusbIo&) = delete;

  int fd() const override { return fd_; }
  int kernel_driver_active(int i) override { return result(libusb_kernel_driver_active(handle_, i)); }
  int detach_kernel_driver(int i) override { return result(libusb_detach_kernel_driver(handle_, i)); }
  int attach_kernel_driver(int i) override { return result(libusb_attach_kernel_driver(handle_, i)); }
  int claim_interface(int i) override { return result(libusb_claim_interface(handle_, i)); }
  int release_interface(int i) override { return result(libusb_release_interface(handle_, i)); }
  int control_transfer(const uvc::ControlSetup& s, std::span<std::uint8_t> data,
                       unsigned timeout_ms) override {
    if (data.size() != s.length) return -EINVAL;
    return result(libusb_control_transfer(handle_, s.request_type, s.request, s.value, s.index,
                                          data.data(), s.length, timeout_ms));
  }

 private:
  static int result(int r) { return r >= 0 ? r : -libusb_errno(r); }
  int fd_;
  libusb_device_handle* handle_;
};

bool read_number(const std::string& path, long& out) {
  std::vector<std::uint8_t> bytes;
  if (read_file(path, 64, bytes) < 0) return false;
  std::size_t end = bytes.size();
  while (end > 0 && (bytes[end - 1] == '\n' || bytes[end - 1] == ' ')) --end;
  const char* first = reinterpret_cast<const char*>(bytes.data());
  const auto [ptr, ec] = std::from_chars(first, first + end, out);
  return end > 0 && ec == std::errc() && ptr == first + end;
}

}  // namespace

int libusb_errno(int e) {
  switch (e) {
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED: return EINTR;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
    default: return EIO;
  }
}

std::string usbfs_node(const std::string& usb_device_syspath, SysError& err,
                       const std::string& dev_root) {
  long bus = -1, dev = -1;
  if (usb_device_syspath.empty() || !read_number(usb_device_syspath + "/busnum", bus) ||
      !read_number(usb_device_syspath + "/devnum", dev) || bus < 1 || bus > 999 || dev < 1 ||
      dev > 999) {
    err = {ENODEV, "the USB bus and device number of " +
                       (usb_device_syspath.empty() ? std::string("the camera")
                                                   : usb_device_syspath) +
                       " cannot be read"};
    return {};
  }
  char tail[32];
  std::snprintf(tail, sizeof tail, "/bus/usb/%03ld/%03ld", bus, dev);
  return dev_root + tail;
}

std::unique_ptr<UsbIo> open_usb_device(const std::string& node, SysError& err) {
  libusb_context* ctx = usb_context(err);
  if (!ctx) return nullptr;
  const int fd = sys_open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    err = {-fd, node_open_message(node, -fd)};
    return nullptr;
  }
  libusb_device_handle* handle = nullptr;
  if (const int r = libusb_wrap_sys_device(ctx, static_cast<intptr_t>(fd), &handle); r < 0) {
    sys_close(fd);
    const int code = libusb_errno(r);
    err = {code, "libusb cannot use " + node + ": " + errno_text(code)};
    return nullptr;
  }
  return std::make_unique<LibusbIo>(fd, handle);
}

// ------------------------------------------------------------ the claim --

namespace {
std::atomic<std::uint32_t> g_last_handover_ms{0};

void note_handover() {
  // 0 means "never": a hand-over at tick 0 is stamped 1.
  const std::uint32_t now = lumavix::clock().ticks_ms();
  g_last_handover_ms.store(now == 0 ? 1 : now);
}
}  // namespace

std::uint32_t last_driver_handover_ms() { return g_last_handover_ms.load(); }

bool is_own_handover_event(std::string_view subsystem, std::string_view devtype,
                           std::uint32_t now_ms, std::uint32_t last_handover_ms) {
  const bool driver_side =
      subsystem == "video4linux" || (subsystem == "usb" && devtype == "usb_interface");
  return driver_side && last_handover_ms != 0 && now_ms - last_handover_ms < kHandoverQuietMs;
}

std::unique_ptr<InterfaceClaim> InterfaceClaim::take(std::unique_ptr<UsbIo> io,
                                                     int interface_number,
                                                     const std::string& node, SysError& err) {
  if (!io) {
    err = {EINVAL, "no USB device to claim"};
    return nullptr;
  }
  install_signal_handlers();
  const std::string what = "interface " + std::to_string(interface_number) + " of " + node;
  const int active = io->kernel_driver_active(interface_number);
  if (active < 0) {
    err = {-active, "cannot tell whether a driver holds " + what + ": " + errno_text(-active)};
    return nullptr;
  }
  bool detached = false;
  if (active == 1) {
    if (const int r = io->detach_kernel_driver(interface_number); r < 0) {
      err = {-r, "the video driver does not let go of " + what + ": " + errno_text(-r)};
      return nullptr;
    }
    detached = true;
    note_handover();
  }
  if (const int r = io->claim_interface(interface_number); r < 0) {
    err = {-r, "cannot claim " + what + ": " + errno_text(-r)};
    if (detached) (void)io->attach_kernel_driver(interface_number);
    return nullptr;
  }
  DebugTrace("raw USB: claimed %s%s", what.c_str(), detached ? " from its driver" : "");
  std::unique_ptr<InterfaceClaim> claim(
      new InterfaceClaim(std::move(io), interface_number, node, detached));
  claim->slot_ = list_claim(claim->io_->fd(), interface_number, detached);
  return claim;
}

InterfaceClaim::InterfaceClaim(std::unique_ptr<UsbIo> io, int interface_number, std::string node,
                               bool detached)
    : io_(std::move(io)), interface_number_(interface_number), node_(std::move(node)),
      detached_(detached) {}

InterfaceClaim::~InterfaceClaim() { give_back(); }

void InterfaceClaim::give_back() {
  if (given_back_) return;
  given_back_ = true;
  // Struck first, so a signal arriving now does not give it back twice.
  strike_claim(slot_);
  const int released = io_->release_interface(interface_number_);
  const int attached = detached_ ? io_->attach_kernel_driver(interface_number_) : 0;
  if (detached_) note_handover();
  DebugTrace("raw USB: gave back interface %d of %s (release %d, driver %d)", interface_number_,
             node_.c_str(), released, attached);
}

int give_back_claims_now(RawIoctl ioctl_fn) {
  if (!ioctl_fn) ioctl_fn = &sys_ioctl;
  int count = 0;
  for (ClaimSlot& s : g_slots) {
    int expected = kLive;
    if (!s.state.compare_exchange_strong(expected, kFilling)) continue;
    const int fd = s.fd.load();
    unsigned int interface_number = static_cast<unsigned int>(s.interface_number.load());
    (void)ioctl_fn(fd, USBDEVFS_RELEASEINTERFACE, &interface_number);
    if (s.reattach.load()) {
      usbdevfs_ioctl connect{};
      connect.ifno = static_cast<int>(interface_number);
      connect.ioctl_code = USBDEVFS_CONNECT;
      connect.data = nullptr;
      (void)ioctl_fn(fd, USBDEVFS_IOCTL, &connect);
    }
    s.state.store(kFree);
    ++count;
  }
  return count;
}

int live_claim_count() {
  int n = 0;
  for (const ClaimSlot& s : g_slots) n += s.state.load() == kLive ? 1 : 0;
  return n;
}

}  // namespace lumavix
