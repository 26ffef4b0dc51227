// The thin platform layers the device access library stands on. Each has a
// Linux implementation (platform/) and the simulated camera's (sim/); the
// library cannot tell them apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "devlib/hid_descriptor.h"

namespace lumavix {

// The real cause of a platform failure, carried up to traces and to the
// user: `code` is an errno value (0 when none applies), `message` a complete
// sentence such as "permission denied on /dev/hidraw3".
struct SysError {
  int code = 0;
  std::string message;
  [[nodiscard]] bool empty() const { return code == 0 && message.empty(); }
};

// One HID interface as listed by the platform, with its report descriptor.
struct HidInterfaceInfo {
  std::string path;                            // opens it with HidBackend::open
  std::vector<std::uint8_t> report_descriptor;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string name;                            // product string, informative
  // The USB port the device hangs off ("usb-1-2"), which stays when the
  // device is reconnected to it while `path` may change; empty when the
  // platform does not say.
  std::string port;
  // The feature capabilities as the system's own HID parser reports them,
  // on a platform that gives those instead of the raw descriptor (Windows);
  // when present, the camera is recognised from these.
  std::optional<hid::ReportTypeCaps> feature_caps;
};

// An open HID interface. Both transfers take the whole report buffer whose
// byte 0 carries the report id; they block until the device answers.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // SET_REPORT(Feature) of report.size() bytes. Returns bytes sent, or -errno.
  [[nodiscard]] virtual int set_feature(std::span<const std::uint8_t> report) = 0;
  // GET_REPORT(Feature): report[0] is the report id on entry; the device's
  // reply is stored from report[0] on. Returns bytes received, or -errno.
  [[nodiscard]] virtual int get_feature(std::span<std::uint8_t> report) = 0;
  [[nodiscard]] virtual const std::string& path() const = 0;
};

class HidBackend {
 public:
  virtual ~HidBackend() = default;
  // Lists the HID interfaces present, in a stable order. Interfaces whose
  // descriptor cannot be read are listed with an empty descriptor. Returns
  // false (with `err`) only when no list can be made at all.
  [[nodiscard]] virtual bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) = 0;
  // Opens an interface for reading and writing; nullptr with `err` on failure.
  [[nodiscard]] virtual std::unique_ptr<HidDevice> open(const std::string& path,
                                                        SysError& err) = 0;
};

// A named lock shared by every thread and process that uses the same name,
// released by the kernel when its holder dies. Waiting with a time-out is
// built on try_acquire and the library's clock (devlib/library_lock.h).
class NamedLock {
 public:
  virtual ~NamedLock() = default;
  // Takes the lock if nobody holds it; never waits.
  [[nodiscard]] virtual bool try_acquire() = 0;
  virtual void release() = 0;
};

class LockBackend {
 public:
  virtual ~LockBackend() = default;
  [[nodiscard]] virtual std::unique_ptr<NamedLock> create(const std::string& name,
                                                          SysError& err) = 0;
};

// A 16-byte GUID in its wire order (the order of a USB descriptor and of a
// kernel-streaming property request): Data1 and Data2/Data3 little-endian,
// then the eight bytes of Data4.
using Guid = std::array<std::uint8_t, 16>;

[[nodiscard]] constexpr Guid make_guid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3,
                                       std::array<std::uint8_t, 8> d4) {
  Guid g{};
  for (int i = 0; i < 4; ++i) g[i] = static_cast<std::uint8_t>(d1 >> (8 * i));
  g[4] = static_cast<std::uint8_t>(d2);
  g[5] = static_cast<std::uint8_t>(d2 >> 8);
  g[6] = static_cast<std::uint8_t>(d3);
  g[7] = static_cast<std::uint8_t>(d3 >> 8);
  for (int i = 0; i < 8; ++i) g[8 + i] = d4[i];
  return g;
}

// "{5A215226-3289-4156-894A-5C557CDF9664}" for messages and traces.
[[nodiscard]] std::string guid_text(const Guid& g);

// The device categories the library lists: video capture sources and
// broadcast-receiver components.
enum class DeviceCategory : std::uint8_t { VideoCapture, BroadcastReceiver };

// One device of a category: a friendly name and the path that finds it
// again (empty when the platform gives none). On Linux the path is the USB
// port path of the device's interface, "usb-1-2:1.0", so a camera plugged
// into the same port keeps its path.
struct CategoryDevice {
  std::string name;
  std::string path;
  std::uint16_t product_id = 0;  // the USB product id; 0 when the platform does not say
};

// Extension-unit request flags. Every request addresses a topology node.
inline constexpr std::uint32_t kXuFlagTopology = 0x10000000;
inline constexpr std::uint32_t kXuFlagGet = 0x10000001;         // GET_CUR
inline constexpr std::uint32_t kXuFlagSet = 0x10000002;         // SET_CUR
inline constexpr std::uint32_t kXuFlagSetSupport = 0x10000100;  // is the set supported?

// The two ways an extension-unit request can travel. Linux's video driver
// takes each control's length from one GET_LEN at the control's first use
// and refuses any other length afterwards, so controls whose length changes
// from call to call cannot go through it:
//  - Driver: through the video driver; the camera keeps streaming.
//  - RawUsb: as USB control transfers straight to the camera's video-control
//    interface, which the driver has to hand over first (the camera stops
//    streaming and its video node goes away until it is given back).
// A platform with one way only sends both the same way.
enum class XuRoute : std::uint8_t { Driver, RawUsb };

// One extension-unit control request: the unit's GUID (also the property
// set of its controls), the control selector, the flags, the node and the
// route it is to take.
struct XuQuery {
  Guid unit{};
  std::uint32_t selector = 0;
  std::uint32_t flags = 0;
  std::uint32_t node = 0;
  XuRoute route = XuRoute::Driver;
};

// The 32-byte node-property request that carries an XuQuery: GUID, selector,
// flags, node id, a reserved zero word; numbers little-endian.
[[nodiscard]] std::array<std::uint8_t, 32> encode_xu_query(const XuQuery& q);

// A video capture device bound for control: its topology (nodes in order,
// of which the device-specific ones are extension units) and its control
// requests.
class VideoControl {
 public:
  virtual ~VideoControl() = default;
  [[nodiscard]] virtual std::uint32_t node_count() = 0;
  [[nodiscard]] virtual bool node_is_extension_unit(std::uint32_t node) = 0;
  // One control transfer. A get fills `data` (its size is the length asked),
  // a set sends it, the set-support question takes no data. Returns the
  // bytes moved (0 for the question) or -errno; `err` says why on failure.
  // Once a RawUsb request has taken the interface from the driver, every
  // later request of this control travels raw too (the driver is gone); the
  // interface goes back to the driver when the control is destroyed, or at
  // once when the device is found unplugged.
  [[nodiscard]] virtual int xu_request(const XuQuery& q, std::span<std::uint8_t> data,
                                       SysError& err) = 0;
  [[nodiscard]] virtual const std::string& path() const = 0;
};

class VideoClassBackend {
 public:
  virtual ~VideoClassBackend() = default;
  // Lists a category's devices in a stable order. False (with `err`) only
  // when no list can be made; an empty category is an empty list.
  [[nodiscard]] virtual bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                                  SysError& err) = 0;
  // Binds the device whose path is `path`; null with `err` on failure.
  [[nodiscard]] virtual std::unique_ptr<VideoControl> bind(DeviceCategory category,
                                                           const std::string& path,
                                                           SysError& err) = 0;
};

// A device's vendor property sets. The request buffer is both the property
// description and the property data, so a get answers in place.
class PropertySetDevice {
 public:
  virtual ~PropertySetDevice() = default;
  // Returns the bytes returned (>= 0) or -errno with `err`.
  [[nodiscard]] virtual int property(std::span<std::uint8_t> request, SysError& err) = 0;
  [[nodiscard]] virtual const std::string& path() const = 0;
};

class PropertySetBackend {
 public:
  virtual ~PropertySetBackend() = default;
  // As VideoClassBackend::list. A platform without any driver for the sets
  // returns false with `err` saying so.
  [[nodiscard]] virtual bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                                  SysError& err) = 0;
  [[nodiscard]] virtual std::unique_ptr<PropertySetDevice> bind(DeviceCategory category,
                                                                const std::string& path,
                                                                SysError& err) = 0;
};

// What the library runs on. Pointers are borrowed; a null backend finds
// nothing (HID, video class, property sets) or falls back to a
// process-local lock (locks, writers).
struct Platform {
  HidBackend* hid = nullptr;
  LockBackend* locks = nullptr;
  VideoClassBackend* video = nullptr;
  PropertySetBackend* props = nullptr;
  // The whole-run write locks of the cameras (devlib/writer_lock.h), one
  // name per camera: its key, such as its USB port "usb-1-2". Unlike
  // `locks`, these are meant to be shared by every user of the machine.
  LockBackend* writers = nullptr;
};

// Lock backend that excludes threads of this process only. Used when no
// platform lock is installed, and by tests that need no second process.
class ProcessLockBackend final : public LockBackend {
 public:
  [[nodiscard]] std::unique_ptr<NamedLock> create(const std::string& name,
                                                  SysError& err) override;
};

}  // namespace lumavix
