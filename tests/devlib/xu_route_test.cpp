// Which way each transfer of the extension-unit operations travels: the
// variable-length selectors never through the video driver, the selector-1
// announcements with the transfer they frame, fixed-length register access
// with the driver.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "devlib/frame.h"
#include "devlib/uvc_request.h"
#include "devlib/video_xu.h"
#include "fake_video.h"

namespace lumavix::test {
namespace {

// "D" or "R" per request, in order.
std::string routes(const std::vector<XuCall>& log) {
  std::string s;
  for (const XuCall& c : log) s += c.q.route == XuRoute::RawUsb ? 'R' : 'D';
  return s;
}

TEST(XuRoute, EachOperationTakesTheRouteItsLengthsAllow) {
  using Op = std::function<bool(VideoControl*)>;
  const Op reg_read = [](VideoControl* c) {
    RegRequest r;
    r.addr = 0x1234;
    r.len = 2;
    return vidxu_RegRead(c, r);
  };
  const Op reg_write = [](VideoControl* c) {
    RegRequest r;
    r.addr = 0x12;
    r.len = 1;
    r.value = 0xAB;
    return vidxu_RegWrite(c, r);
  };
  const Op spi_read = [](VideoControl* c) {
    SpiRequest r;
    r.wdata[0] = 0x03;
    r.wlen = 4;
    r.rlen = 16;
    r.finish = 1;
    return vidxu_SpiRead(c, r);
  };
  const Op i2c_read = [](VideoControl* c) {
    I2cRequest r;
    r.slave = 0xA0;
    r.sub[0] = 0x10;
    r.subLen = 1;
    r.flags = 1;
    r.dataLen = 2;
    return vidxu_I2cRead(c, r);
  };
  const Op i2c_write = [](VideoControl* c) {
    I2cRequest r;
    r.slave = 0xA0;
    r.dataLen = 1;
    return vidxu_I2cWrite(c, r);
  };
  struct Case {
    const char* what;
    Op op;
    std::set<std::uint32_t> refused;
    std::string routes;
  } cases[] = {
      {"register read, extended", reg_read, {}, "DD"},
      // 26 refused: S1 03, S10, G10, S1 01 all raw.
      {"register read, XDATA form", reg_read, {26}, "DRRRR"},
      {"register read, legacy form", reg_read, {26, 10}, "DRRRRRRR"},
      {"register write, extended", reg_write, {}, "D"},
      {"register write, legacy forms", reg_write, {27, 11}, "DRRRRRR"},
      // S1, S9 command, S1, then S1, S8, G8, S1.
      {"serial-flash read", spi_read, {}, "RRRRRRR"},
      {"I2C read, extended", i2c_read, {}, "RR"},
      // S20; the sub-address write (S21, S1, S5, S1) and its bus status
      // check (S26, G26); S1, S4, G4, S1 and the second check. The checks
      // ask for the driver; the platform sends them raw once it has let go.
      {"I2C read, legacy", i2c_read, {20, 21}, "RRRRRDDRRRRDD"},
      {"I2C write, extended", i2c_write, {}, "R"},
  };
  for (const Case& k : cases) {
    std::vector<XuCall> log;
    FakeVideoControl c(
        "usb-1-1:1.0", {true},
        [&](const XuQuery& q, std::span<std::uint8_t> d) {
          if (q.flags == kXuFlagSet && k.refused.count(q.selector)) return -EPIPE;
          // An extended I2C reply counts the bytes read.
          if (q.flags == kXuFlagGet && q.selector == XU_I2C_READ_EX) d[0] = 2;
          return static_cast<int>(d.size());
        },
        &log);
    ASSERT_TRUE(k.op(&c)) << k.what;
    EXPECT_EQ(routes(log), k.routes) << k.what << ": D = video driver, R = raw USB";
    for (const XuCall& call : log) {
      if (xu_length_varies(call.q.selector)) {
        EXPECT_EQ(call.q.route, XuRoute::RawUsb)
            << k.what << ": selector " << call.q.selector << " varies in length, never via the driver";
      }
    }
  }
}

TEST(XuRoute, RawRequestsAddressTheUnitOfTheControlInterface) {
  struct Case {
    std::uint8_t request;
    std::uint16_t length;
    uvc::ControlSetup expected;
  } cases[] = {
      {uvc::kSetCur, 7, {0x21, 0x01, 0x0900, 0x0302, 7}},
      {uvc::kGetCur, 16, {0xA1, 0x81, 0x0900, 0x0302, 16}},
      {uvc::kGetLen, 2, {0xA1, 0x85, 0x0900, 0x0302, 2}},
      {uvc::kGetInfo, 1, {0xA1, 0x86, 0x0900, 0x0302, 1}},
  };
  for (const Case& k : cases) {
    // Selector 9 of unit 3 on interface 2.
    const uvc::ControlSetup s = uvc::control_setup(k.request, 9, 3, 2, k.length);
    const auto text = [](const uvc::ControlSetup& x) {
      return std::to_string(x.request_type) + "/" + std::to_string(x.request) + "/" +
             std::to_string(x.value) + "/" + std::to_string(x.index) + "/" +
             std::to_string(x.length);
    };
    EXPECT_EQ(text(s), text(k.expected)) << "request 0x" << std::hex << int(k.request)
                                         << ": bmRequestType/bRequest/wValue/wIndex/wLength";
  }
}

}  // namespace
}  // namespace lumavix::test
