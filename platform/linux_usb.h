// Raw USB control transfers to a camera's video-control interface through
// usbfs (/dev/bus/usb/BBB/DDD), for the extension-unit controls whose length
// changes from call to call, which the video driver refuses.
//
// To talk to the interface directly the video driver has to let go of it:
// an InterfaceClaim detaches the kernel driver, claims the interface, and
// gives it back (release, then reattach the driver) when it is destroyed,
// whether the work succeeded or failed. A camera found unplugged is given
// back at once. So that Ctrl-C or a SIGTERM never leaves a camera without
// its driver, the first claim installs a handler for SIGINT, SIGTERM and
// SIGHUP (unless they are ignored) that gives back every live claim with
// two usbfs ioctls -- async-signal-safe, unlike libusb -- and then lets the
// signal take its previous course (by default, ending the process).
//
// The device calls go through UsbIo, so the claim's order of calls is
// tested with a fake; the real one is libusb on a descriptor opened here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "devlib/platform.h"
#include "devlib/uvc_request.h"

namespace lumavix {

// A raw transfer waits at most this long for the camera.
inline constexpr unsigned kUsbControlTimeoutMs = 1000;

// One USB device opened through usbfs. Every call returns 0 (or, for a
// transfer, the bytes moved) or -errno.
class UsbIo {
 public:
  virtual ~UsbIo() = default;
  // The usbfs descriptor, for giving the interface back from a signal
  // handler; -1 when there is none.
  [[nodiscard]] virtual int fd() const = 0;
  // 1 when a kernel driver is bound to the interface, 0 when none.
  [[nodiscard]] virtual int kernel_driver_active(int interface_number) = 0;
  [[nodiscard]] virtual int detach_kernel_driver(int interface_number) = 0;
  [[nodiscard]] virtual int attach_kernel_driver(int interface_number) = 0;
  [[nodiscard]] virtual int claim_interface(int interface_number) = 0;
  [[nodiscard]] virtual int release_interface(int interface_number) = 0;
  // A control transfer on endpoint 0: `data` is sent, or filled (the count
  // received may be shorter than asked).
  [[nodiscard]] virtual int control_transfer(const uvc::ControlSetup& setup,
                                             std::span<std::uint8_t> data,
                                             unsigned timeout_ms) = 0;
};

// Opens a usbfs node with libusb; null with `err` (the node's real cause,
// "permission denied on /dev/bus/usb/001/004") on failure.
[[nodiscard]] std::unique_ptr<UsbIo> open_usb_device(const std::string& node, SysError& err);
using UsbOpener = std::function<std::unique_ptr<UsbIo>(const std::string& node, SysError& err)>;

// libusb's error codes as errno values.
[[nodiscard]] int libusb_errno(int libusb_error);

// "/dev/bus/usb/001/004" for the USB device at `usb_device_syspath`, from
// its busnum and devnum attributes; empty with `err` when they cannot be
// read. `dev_root` replaces "/dev" in tests.
[[nodiscard]] std::string usbfs_node(const std::string& usb_device_syspath, SysError& err,
                                     const std::string& dev_root = "/dev");

// The video-control interface taken from its kernel driver.
class InterfaceClaim {
 public:
  // Detaches the interface's driver if one is bound, then claims the
  // interface. On failure, gives back what it took and returns null with
  // `err`.
  [[nodiscard]] static std::unique_ptr<InterfaceClaim> take(std::unique_ptr<UsbIo> io,
                                                            int interface_number,
                                                            const std::string& node,
                                                            SysError& err);
  ~InterfaceClaim();
  InterfaceClaim(const InterfaceClaim&) = delete;
  InterfaceClaim& operator=(const InterfaceClaim&) = delete;

  // Releases the interface, then reattaches the driver it detached. Later
  // calls do nothing. Failures (an unplugged camera) are traced only.
  void give_back();
  [[nodiscard]] UsbIo& io() { return *io_; }
  [[nodiscard]] const std::string& node() const { return node_; }
  [[nodiscard]] bool detached_driver() const { return detached_; }

 private:
  InterfaceClaim(std::unique_ptr<UsbIo> io, int interface_number, std::string node, bool detached);

  std::unique_ptr<UsbIo> io_;
  int interface_number_;
  std::string node_;
  bool detached_;
  int slot_ = -1;  // in the signal handler's table, -1 when not listed
  bool given_back_ = false;
};

// What the signal handler does, callable outside it: every live claim is
// released and its driver reattached through `ioctl_fn` (the real ioctl
// when null), and the claims are struck from the table. Returns how many
// were given back.
using RawIoctl = int (*)(int fd, unsigned long request, void* arg);
int give_back_claims_now(RawIoctl ioctl_fn = nullptr);

// Claims currently listed for the signal handler.
[[nodiscard]] int live_claim_count();

// Taking an interface from its driver and giving it back makes the kernel
// remove and add the camera's video node and unbind and bind its interface,
// exactly as unplugging and plugging would look to a device watch. The
// window, which runs a pass on every such event and whose pass reads the
// flash through this route, would chase its own hand-overs for ever. So the
// hand-overs are time-stamped (library clock, milliseconds; 0 before the
// first), and an event of those kinds (`subsystem` "video4linux", or "usb"
// with `devtype` "usb_interface") that arrives within kHandoverQuietMs of one
// is the process's own doing. A real plug or unplug also changes the USB
// device itself ("usb"/"usb_device") or a hidraw node, which always count.
inline constexpr std::uint32_t kHandoverQuietMs = 2000;
[[nodiscard]] std::uint32_t last_driver_handover_ms();
[[nodiscard]] bool is_own_handover_event(std::string_view subsystem, std::string_view devtype,
                                         std::uint32_t now_ms, std::uint32_t last_handover_ms);

}  // namespace lumavix
