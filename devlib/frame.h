// The device access library's frame: initialisation and shutdown, the probe
// order, the device table and the chip-generation query, and the read-only
// queries the front ends ask of the table. The library is a set of plain
// functions over one process-wide state, kept inside the library; the state
// is not locked, so Init and DeInit must not run while another thread uses
// the library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "devlib/types.h"

namespace lumavix {

// Installs the platform the library runs on; takes effect at the next
// kvVidHidCls_Init. The pointers are borrowed and must outlive the library's
// use of them.
void set_platform(const Platform& platform);
[[nodiscard]] const Platform& platform();

// The kind through which the library reached its cameras; None while no
// camera is known.
[[nodiscard]] DeviceKind library_kind();

// The device path of position `index` as its kind keeps it (the HID node,
// the video-class path, the property-set device's path); empty out of range.
[[nodiscard]] std::string device_path(std::int32_t index);

// The extension-unit variant of position `index` (Kavex out of range and for
// every kind but VideoClass).
[[nodiscard]] XuVariant device_variant(std::int32_t index);

// The chip generation found when position `index` was enumerated; 0 out of
// range.
[[nodiscard]] ChipGen device_chip_gen(std::int32_t index);

// The USB product id of the interface at position `index`, as the platform
// listed it; 0 when the position is free or the platform did not say. This
// is what the bridge enumerated with, which it takes from its own hardware,
// not from the firmware in its flash.
[[nodiscard]] std::uint16_t DeviceUsbProductId(std::int32_t index);

// Why the last initialisation found no usable camera, one sentence per
// cause ("permission denied on /dev/hidraw3").
[[nodiscard]] const std::vector<std::string>& library_causes();

// The last platform failure seen by a device transfer on this thread.
[[nodiscard]] SysError last_transfer_error();

// For tests that model a fresh process: forgets what earlier enumerations
// left behind (known positions with their paths, variants and generations,
// the current device, the unit nodes). Only while the library is shut down.
void forget_enumerations_for_testing();

}  // namespace lumavix

// 1 when a camera was found, 0 when none. Calling it again re-initialises.
[[nodiscard]] std::int32_t kvVidHidCls_Init();
void kvVidHidCls_DeInit();
[[nodiscard]] std::int32_t kvVidHidCls_GetDevCount();
// 1 with `gen` set (0 when unreadable), or 0 with `gen` 0 when the position is
// free or the lock cannot be taken.
[[nodiscard]] std::int32_t kvVidHidCls_GetDevChipGen(std::int32_t index, std::uint8_t& gen);
