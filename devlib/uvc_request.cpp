#include "devlib/uvc_request.h"

namespace lumavix::uvc {

ControlSetup control_setup(std::uint8_t request, std::uint8_t selector, std::uint8_t unit_id,
                           std::uint8_t interface_number, std::uint16_t length) {
  ControlSetup s;
  // Every GET request has bit 7 set; SET_CUR and the other sets do not.
  s.request_type = (request & 0x80) ? kRequestTypeIn : kRequestTypeOut;
  s.request = request;
  s.value = static_cast<std::uint16_t>(selector << 8);
  s.index = static_cast<std::uint16_t>(unit_id << 8 | interface_number);
  s.length = length;
  return s;
}

}  // namespace lumavix::uvc
