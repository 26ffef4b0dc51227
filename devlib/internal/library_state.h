// The device access library's own state and the seams between its units: the
// device table the probes fill, the opening of the library lock, and the
// operations table each transport exports. Only devlib's units (and its
// white-box tests) include this header; the rest of the system goes through
// frame.h and access.h.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "devlib/library_lock.h"
#include "devlib/platform.h"
#include "devlib/types.h"

namespace lumavix {

// One position of the device table. A position is free when it holds no
// interface; `path`, `variant` and `gen` survive shutdown for the next
// video-class enumeration.
struct DeviceEntry {
  std::string path;
  HidDevice* hid = nullptr;  // the open HID interface (kind Hid)
  void* control = nullptr;   // the control interface of the other kinds
  XuVariant variant = XuVariant::Kavex;
  ChipGen gen = 0;
  // The USB product id the interface was listed with; 0 when the platform
  // does not say (the property-set kinds).
  std::uint16_t usb_product_id = 0;

  [[nodiscard]] bool has_interface() const { return hid != nullptr || control != nullptr; }
};

// The HID interfaces opened by the HID probe.
struct HidDeviceList {
  std::uint32_t count = 0;
  std::unique_ptr<HidDevice> handles[kMaxDevices];
  std::string paths[kMaxDevices];
  std::uint16_t product_ids[kMaxDevices] = {};
};

struct LibraryState {
  DeviceKind kind = DeviceKind::None;
  std::unique_ptr<LibraryLock> lock;
  HidDeviceList hidList;
  std::int32_t count = 0;
  std::int32_t current = 0;
  std::uint32_t node_ids[3] = {};
  std::int32_t known = 0;
  DeviceEntry table[kMaxDevices];
  // Why the last initialisation found no usable camera, one sentence per
  // cause, for the front ends ("permission denied on /dev/hidraw3").
  std::vector<std::string> causes;
};

[[nodiscard]] LibraryState& library_state();

// The platform installed through set_platform (frame.h).
[[nodiscard]] const Platform& platform();

// Position `index` if it is in range and holds an interface, else null.
[[nodiscard]] DeviceEntry* device_at(std::int32_t index);

// Records why no camera is usable (see LibraryState::causes).
void add_cause(std::string cause);

void set_last_transfer_error(const SysError& err);

// Opens the library lock for a probe. Failing to create it records its cause.
// With `wait` the lock is also taken (at most kLockTimeoutMs) and comes back
// held, for the probe's own reads; a time-out records that another program
// holds it, logs "[who] mutex time-out " when `who` is given, and returns
// null with the lock closed again.
[[nodiscard]] std::unique_ptr<LibraryLock> open_library_lock(const char* who, bool wait);

// What the frame and the unified access layer need of one interface kind.
// An operation the transport lacks is null: the access layer refuses it
// before any device traffic. Every operation runs under the library lock,
// taken by its caller.
struct Transport {
  DeviceKind kind;
  // Logged by the frame after the probe succeeded, with the caller's tag.
  const char* found_trace;
  // Fills the table from position 0 and sets `kind`, `count` and `lock`; on
  // failure leaves `kind` None, `count` 0, the lock closed and nothing open.
  bool (*probe)();
  // Releases and clears the interfaces of positions 0..count-1.
  void (*release)();
  // Null for the kinds that carry no chip generation.
  bool (*chip_gen)(const DeviceEntry& e, ChipGen& gen);
  bool (*reg_read)(const DeviceEntry& e, RegRequest& r);
  bool (*reg_write)(const DeviceEntry& e, const RegRequest& r);
  bool (*i2c_read)(const DeviceEntry& e, I2cRequest& r);
  bool (*i2c_write)(const DeviceEntry& e, const I2cRequest& r);
  bool (*spi_read)(const DeviceEntry& e, SpiRequest& r);
  bool (*spi_write)(const DeviceEntry& e, const SpiRequest& r);
  // The device path of an in-range position as its kind keeps it.
  std::string (*path)(std::int32_t index);
  // The key other programs that reach the same camera agree on (see
  // CameraWriterKey); empty when the position holds no camera.
  std::string (*writer_key)(std::int32_t index);
};

extern const Transport kHidTransport;          // hid_protocol
extern const Transport kVideoClassTransport;   // video_xu
extern const Transport kVendorVideoTransport;  // vendor_props
extern const Transport kBdaVendorTransport;    // vendor_props

// The transports in probe order (frame).
[[nodiscard]] std::span<const Transport* const> transports();
// The transport of the current kind; null while no camera is known.
[[nodiscard]] const Transport* active_transport();

// The port part of an interface key ("usb-1-2" of "usb-1-2:1.0"), which
// stays the same when the camera's interfaces are listed again.
[[nodiscard]] inline std::string port_of(const std::string& interface_key) {
  const std::size_t colon = interface_key.find(':');
  return colon == std::string::npos ? interface_key : interface_key.substr(0, colon);
}

// The interface a position of the matching kind holds.
[[nodiscard]] inline VideoControl* xu_control(const DeviceEntry& e) {
  return static_cast<VideoControl*>(e.control);
}
[[nodiscard]] inline PropertySetDevice* prop_device(const DeviceEntry& e) {
  return static_cast<PropertySetDevice*>(e.control);
}

}  // namespace lumavix
