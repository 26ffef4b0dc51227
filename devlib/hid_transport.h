// HID feature-report transport: finds the camera's vendor HID interfaces
// among all HID interfaces by the feature reports they declare, opens them and
// moves feature reports both ways.
#pragma once

#include <cstdint>
#include <span>

#include "devlib/hid_descriptor.h"
#include "devlib/platform.h"

namespace lumavix {

struct HidDeviceList;

inline constexpr std::uint8_t kReportCommand = 0x87;
inline constexpr std::uint8_t kReportData = 0x93;
inline constexpr std::uint8_t kReportExtI2c = 0x97;
// A frame is the report id followed by at most 64 payload bytes.
inline constexpr std::uint32_t kMaxFeaturePayload = 64;

// The selection rule: the interface declares feature value reports 0x87 and
// 0x93 and has one to three feature data items. A descriptor that does not
// parse is not the camera's.
[[nodiscard]] bool hid_interface_is_camera(std::span<const std::uint8_t> report_descriptor);
// The same rule on feature capabilities, however they were obtained.
[[nodiscard]] bool hid_feature_caps_are_camera(const hid::ReportTypeCaps& feature);
// The rule on a listed interface: its system-given feature capabilities when
// it has them, else its report descriptor.
[[nodiscard]] bool hid_interface_is_camera(const HidInterfaceInfo& info);

}  // namespace lumavix

// The HID probe of the library frame.
[[nodiscard]] bool hidreq_Init();
// Lists, selects and opens the camera interfaces; returns the number opened.
[[nodiscard]] std::uint32_t hidreq_OpenAll(lumavix::HidDeviceList& list);
void hidreq_CloseAll(lumavix::HidDeviceList& list);
// Payloads longer than 64 bytes are refused before anything is sent.
[[nodiscard]] bool hidreq_SetFeature(lumavix::HidDevice* handle, std::uint8_t reportId,
                                     const std::uint8_t* data, std::uint32_t len);
// `out` receives the device's first `len` reply bytes; untouched on failure.
[[nodiscard]] bool hidreq_GetFeature(lumavix::HidDevice* handle, std::uint8_t reportId,
                                     std::uint8_t* out, std::uint32_t len);
