// The device access library's frame: its process-wide state, initialisation
// and shutdown, the probe order, the device table and the chip-generation
// query. The library is a set of plain functions over this one state; the
// state is not locked, so Init and DeInit must not run while another thread
// uses the library.
#pragma once

#include <cstdint>
#include <memory>
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

// Installs the platform the library runs on; takes effect at the next
// kvVidHidCls_Init. The pointers are borrowed and must outlive the library's
// use of them.
void set_platform(const Platform& platform);
[[nodiscard]] const Platform& platform();

// Position `index` if it is in range and holds an interface, else null.
[[nodiscard]] DeviceEntry* device_at(std::int32_t index);

// The USB product id of the interface at position `index`, as the platform
// listed it; 0 when the position is free or the platform did not say. This
// is what the bridge enumerated with, which it takes from its own hardware,
// not from the firmware in its flash.
[[nodiscard]] std::uint16_t DeviceUsbProductId(std::int32_t index);

// Records why no camera is usable (see LibraryState::causes).
void add_cause(std::string cause);

// The last platform failure seen by a device transfer on this thread.
[[nodiscard]] const SysError& last_transfer_error();
void set_last_transfer_error(SysError err);

}  // namespace lumavix

// 1 when a camera was found, 0 when none. Calling it again re-initialises.
[[nodiscard]] std::int32_t kvVidHidCls_Init();
void kvVidHidCls_DeInit();
[[nodiscard]] std::int32_t kvVidHidCls_GetDevCount();
// 1 with `gen` set (0 when unreadable), or 0 with `gen` 0 when the position is
// free or the lock cannot be taken.
[[nodiscard]] std::int32_t kvVidHidCls_GetDevChipGen(std::int32_t index, std::uint8_t& gen);
