// The USB control requests of the video class addressed to a unit of a
// camera's video-control interface, as they go on the wire when the
// platform sends them itself instead of through its video driver.
#pragma once

#include <cstdint>

namespace lumavix::uvc {

// Class-specific requests (bRequest).
inline constexpr std::uint8_t kSetCur = 0x01;
inline constexpr std::uint8_t kGetCur = 0x81;
inline constexpr std::uint8_t kGetLen = 0x85;
inline constexpr std::uint8_t kGetInfo = 0x86;

// bmRequestType: class request to an interface, host to device or back.
inline constexpr std::uint8_t kRequestTypeOut = 0x21;
inline constexpr std::uint8_t kRequestTypeIn = 0xA1;

// GET_LEN answers two bytes (little-endian), GET_INFO one.
inline constexpr std::uint16_t kGetLenReplyLen = 2;
inline constexpr std::uint16_t kGetInfoReplyLen = 1;

// The eight-byte setup of a control transfer, numbers in host order.
struct ControlSetup {
  std::uint8_t request_type = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
  [[nodiscard]] bool device_to_host() const { return (request_type & 0x80) != 0; }
};

// The setup of `request` (kSetCur ... kGetInfo) on control `selector` of
// unit `unit_id` of video-control interface `interface_number`, moving
// `length` bytes: wValue = selector << 8, wIndex = unit id << 8 | interface.
// Requests of the GET family read; SET_CUR writes.
[[nodiscard]] ControlSetup control_setup(std::uint8_t request, std::uint8_t selector,
                                         std::uint8_t unit_id, std::uint8_t interface_number,
                                         std::uint16_t length);

}  // namespace lumavix::uvc
