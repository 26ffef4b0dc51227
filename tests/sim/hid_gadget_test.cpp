// The gadget's side of USB: the descriptors gadgetfs takes and the answers to
// the control requests it hands over. Feature reports must be answered as the
// in-process endpoint answers them, so those checks compare the two.
#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/gadgetcam/hid_gadget.h"
#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

constexpr std::uint8_t kEp = 0x85;

usb_ctrlrequest request(std::uint8_t type, std::uint8_t req, std::uint16_t value,
                        std::uint16_t index, std::uint16_t length) {
  usb_ctrlrequest r{};
  r.bRequestType = type;
  r.bRequest = req;
  r.wValue = htole16(value);
  r.wIndex = htole16(index);
  r.wLength = htole16(length);
  return r;
}

// HID class requests to interface 0.
constexpr std::uint8_t kClassIn = USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr std::uint8_t kClassOut = USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE;

class GadgetHost {
 public:
  explicit GadgetHost(SimCamera& cam)
      : gadget_(cam, lengths(), camera_report_descriptor()) {}

  static FeatureLengths lengths() {
    FeatureLengths l{};
    std::string error;
    EXPECT_TRUE(feature_report_lengths(camera_report_descriptor(), l, error)) << error;
    return l;
  }

  // usbhid's SET_REPORT for hidraw's HIDIOCSFEATURE: the data starts with
  // the report id.
  Ep0Answer set(const std::vector<std::uint8_t>& report) {
    const usb_ctrlrequest r =
        request(kClassOut, HID_REQ_SET_REPORT, static_cast<std::uint16_t>(0x0300 | report[0]), 0,
                static_cast<std::uint16_t>(report.size()));
    return gadget_.answer(r, report);
  }
  Ep0Answer get(std::uint8_t id, std::uint16_t length) {
    return gadget_.answer(
        request(kClassIn, HID_REQ_GET_REPORT, static_cast<std::uint16_t>(0x0300 | id), 0, length),
        {});
  }
  Ep0Answer raw(const usb_ctrlrequest& r, std::vector<std::uint8_t> data = {}) {
    return gadget_.answer(r, data);
  }
  [[nodiscard]] const HidGadgetStats& stats() const { return gadget_.stats(); }

 private:
  HidGadget gadget_;
};

std::vector<std::uint8_t> frame(std::uint8_t id, std::vector<std::uint8_t> payload,
                                std::size_t payload_len) {
  payload.resize(payload_len, 0);
  payload.insert(payload.begin(), id);
  return payload;
}

std::uint16_t at16(const std::vector<std::uint8_t>& d, std::size_t i) {
  return static_cast<std::uint16_t>(d[i] | d[i + 1] << 8);
}

TEST(HidGadget, DeviceSetupIsTwoConfigurationsAndTheDeviceDescriptor) {
  const SimCameraConfig cfg = quiet_config();
  const std::vector<std::uint8_t> report = camera_report_descriptor();
  std::vector<std::uint8_t> d;
  std::string error;
  ASSERT_TRUE(make_gadget_device_setup(cfg, report, kEp, d, error)) << error;
  ASSERT_GE(d.size(), 4u + USB_DT_CONFIG_SIZE);
  EXPECT_EQ(std::vector<std::uint8_t>(d.begin(), d.begin() + 4), std::vector<std::uint8_t>(4, 0))
      << "the device setup starts with tag 0";

  std::size_t at = 4;
  for (const bool high : {false, true}) {
    SCOPED_TRACE(high ? "high-speed configuration" : "full-speed configuration");
    ASSERT_LE(at + USB_DT_CONFIG_SIZE, d.size());
    ASSERT_EQ(d[at + 1], USB_DT_CONFIG);
    const std::size_t total = at16(d, at + 2);
    ASSERT_LE(at + total, d.size()) << "wTotalLength runs past the data";
    EXPECT_EQ(d[at + 4], 1) << "one interface";
    EXPECT_NE(d[at + 5], 0) << "bConfigurationValue 0 means unconfigured";
    EXPECT_EQ(d[at + 7] & (USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_WAKEUP), USB_CONFIG_ATT_ONE)
        << "gadgetfs refuses a configuration without bit 7 or with remote wake-up";
    // interface, HID, endpoint descriptors in that order
    const std::size_t itf = at + USB_DT_CONFIG_SIZE;
    ASSERT_EQ(d[itf + 1], USB_DT_INTERFACE);
    EXPECT_EQ(d[itf + 4], 1) << "one endpoint";
    EXPECT_EQ(d[itf + 5], USB_CLASS_HID);
    const std::size_t hid = itf + USB_DT_INTERFACE_SIZE;
    ASSERT_EQ(d[hid + 1], HID_DT_HID);
    EXPECT_EQ(d[hid + 6], HID_DT_REPORT);
    EXPECT_EQ(at16(d, hid + 7), report.size()) << "usbhid asks for exactly this many bytes";
    const std::size_t ep = hid + kHidDescriptorSize;
    ASSERT_EQ(d[ep + 1], USB_DT_ENDPOINT);
    EXPECT_EQ(d[ep + 2], kEp);
    EXPECT_EQ(d[ep + 3], USB_ENDPOINT_XFER_INT) << "HID needs an interrupt IN endpoint";
    EXPECT_EQ(ep + USB_DT_ENDPOINT_SIZE - at, total);
    at += total;
  }
  ASSERT_EQ(d.size() - at, USB_DT_DEVICE_SIZE) << "the device descriptor ends the setup";
  EXPECT_EQ(d[at + 1], USB_DT_DEVICE);
  EXPECT_EQ(at16(d, at + 8), cfg.vendor_id);
  EXPECT_EQ(at16(d, at + 10), cfg.product_id);
  EXPECT_EQ(d[at + 15], kGadgetProductString);
  EXPECT_EQ(d[at + 17], 1) << "gadgetfs takes exactly one configuration";
}

TEST(HidGadget, DeviceSetupRefusesWhatUsbCannotCarry) {
  const SimCameraConfig cfg = quiet_config();
  const std::vector<std::uint8_t> report = camera_report_descriptor();
  std::vector<std::uint8_t> d;
  std::string error;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> report;
    std::uint8_t ep;
  };
  for (const Case& c : {Case{"empty report descriptor", {}, kEp},
                        Case{"report descriptor too long", std::vector<std::uint8_t>(4097, 0), kEp},
                        Case{"OUT endpoint", report, 0x05}, Case{"endpoint 0", report, 0x80}}) {
    EXPECT_FALSE(make_gadget_device_setup(cfg, c.report, c.ep, d, error)) << c.what;
  }
}

TEST(HidGadget, EndpointSetupIsTagOneAndBothSpeeds) {
  const std::vector<std::uint8_t> e = make_gadget_endpoint_setup(kEp);
  std::uint32_t tag = 0;
  ASSERT_EQ(e.size(), 4u + 2 * USB_DT_ENDPOINT_SIZE);
  std::memcpy(&tag, e.data(), 4);
  EXPECT_EQ(tag, 1u);
  for (std::size_t at : {std::size_t{4}, std::size_t{4 + USB_DT_ENDPOINT_SIZE}}) {
    EXPECT_EQ(e[at], USB_DT_ENDPOINT_SIZE);
    EXPECT_EQ(e[at + 1], USB_DT_ENDPOINT);
    EXPECT_EQ(e[at + 2], kEp);
  }
}

// The same conversation through the gadget and straight into a second camera
// must give the same answers, byte for byte, and leave both cameras alike.
TEST(HidGadget, FeatureReportsAreAnsweredAsTheInProcessEndpointDoes) {
  SimCamera through_usb(quiet_config());
  SimCamera direct(quiet_config());
  GadgetHost host(through_usb);
  struct Step {
    const char* what;
    bool set;
    std::vector<std::uint8_t> report;  // set: the frame; get: just the id
  };
  const std::vector<Step> steps = {
      {"chip generation command", true, frame(0x87, {0x08, 0x00, 0x00, 0x04}, 4)},
      {"chip generation reply", false, {0x93}},
      {"register write command", true, frame(0x87, {0x09, 0, 0, 0}, 4)},
      {"register write data", true, frame(0x93, {0x80, 0x00, 0x01, 0x5A}, 40)},
      {"register read command", true, frame(0x87, {0x08, 0x80, 0x00, 0x01}, 4)},
      {"register read reply", false, {0x93}},
      {"reply without a command", false, {0x93}},
      {"get of a set-only report", false, {0x87}},
      {"get of an undeclared report", false, {0x42}},
      {"command of the wrong length", true, frame(0x87, {0x08, 0, 0, 4}, 3)},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.set) {
      const int rc = direct.set_feature(s.report);
      const Ep0Answer a = host.set(s.report);
      EXPECT_EQ(a.verdict, rc < 0 ? Ep0Verdict::Stall : Ep0Verdict::Ack);
      EXPECT_TRUE(a.data.empty()) << "an OUT request sends nothing back";
    } else {
      const std::uint8_t id = s.report[0];
      std::vector<std::uint8_t> buf(id == 0x93 ? kDataReply : (id == 0x87 ? 5 : 1), 0);
      buf[0] = id;
      const int rc = direct.get_feature(buf);
      // hidraw users ask for more than the report holds; the device sends
      // what it declared.
      const Ep0Answer a = host.get(id, 64);
      if (rc < 0) {
        EXPECT_EQ(a.verdict, Ep0Verdict::Stall);
      } else {
        ASSERT_EQ(a.verdict, Ep0Verdict::Send);
        buf.resize(static_cast<std::size_t>(rc));
        EXPECT_EQ(a.data, buf);
      }
    }
  }
  EXPECT_EQ(through_usb.counters().total, direct.counters().total);
  EXPECT_EQ(through_usb.violations().size(), direct.violations().size());
  EXPECT_EQ(through_usb.reg(0x80), 0x5A);
  EXPECT_EQ(host.stats().set_reports, 5u);
  EXPECT_EQ(host.stats().get_reports, 5u);
}

TEST(HidGadget, ShortGetReportIsTruncatedToWLength) {
  SimCamera cam(quiet_config());
  GadgetHost host(cam);
  ASSERT_EQ(host.set(frame(0x87, {0x08, 0x00, 0x00, 0x04}, 4)).verdict, Ep0Verdict::Ack);
  const Ep0Answer a = host.get(0x93, 3);
  ASSERT_EQ(a.verdict, Ep0Verdict::Send);
  EXPECT_EQ(a.data, (std::vector<std::uint8_t>{0xB2, 0x31, 0x00})) << "chip id, first 3 bytes";
}

TEST(HidGadget, OtherControlRequests) {
  SimCamera cam(quiet_config());
  GadgetHost host(cam);
  const std::vector<std::uint8_t> report = camera_report_descriptor();
  std::vector<std::uint8_t> product = {20, USB_DT_STRING};
  for (char c : std::string("LUMAVIX Q")) product.insert(product.end(), {std::uint8_t(c), 0});
  constexpr std::uint8_t kStdItf = USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_INTERFACE;
  constexpr std::uint8_t kStdDev = USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE;
  struct Case {
    const char* what;
    usb_ctrlrequest req;
    Ep0Verdict verdict;
    std::vector<std::uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"report descriptor", request(kStdItf, USB_REQ_GET_DESCRIPTOR, 0x2200, 0, 4096),
       Ep0Verdict::Send, report},
      {"report descriptor, short read", request(kStdItf, USB_REQ_GET_DESCRIPTOR, 0x2200, 0, 2),
       Ep0Verdict::Send, {report[0], report[1]}},
      {"report descriptor of another interface",
       request(kStdItf, USB_REQ_GET_DESCRIPTOR, 0x2200, 1, 4096), Ep0Verdict::Stall, {}},
      {"languages", request(kStdDev, USB_REQ_GET_DESCRIPTOR, 0x0300, 0, 255), Ep0Verdict::Send,
       {4, USB_DT_STRING, 0x09, 0x04}},
      {"product name", request(kStdDev, USB_REQ_GET_DESCRIPTOR, 0x0302, 0x0409, 255),
       Ep0Verdict::Send, product},
      {"unknown string", request(kStdDev, USB_REQ_GET_DESCRIPTOR, 0x0305, 0x0409, 255),
       Ep0Verdict::Stall, {}},
      {"set idle", request(kClassOut, HID_REQ_SET_IDLE, 0, 0, 0), Ep0Verdict::Ack, {}},
      {"set configuration", request(0, USB_REQ_SET_CONFIGURATION, 1, 0, 0), Ep0Verdict::Ack, {}},
      {"input report", request(kClassIn, HID_REQ_GET_REPORT, 0x0193, 0, 41), Ep0Verdict::Stall,
       {}},
      {"feature report of another interface",
       request(kClassIn, HID_REQ_GET_REPORT, 0x0393, 1, 41), Ep0Verdict::Stall, {}},
      {"vendor request",
       request(USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE, 0x01, 0, 0, 8), Ep0Verdict::Stall,
       {}},
  };
  for (const Case& c : cases) {
    const Ep0Answer a = host.raw(c.req);
    EXPECT_EQ(a.verdict, c.verdict) << c.what;
    EXPECT_EQ(a.data, c.data) << c.what;
  }
  EXPECT_EQ(cam.counters().total, 0u)
      << "only feature reports of interface 0 may reach the camera";
}

TEST(HidGadget, RefusalsStall) {
  SimCamera cam(quiet_config());
  GadgetHost host(cam);
  EXPECT_EQ(host.raw(request(kClassOut, HID_REQ_SET_REPORT, 0x0387, 0, 0)).verdict,
            Ep0Verdict::Stall)
      << "a SET_REPORT without data";
  cam.unplug();
  EXPECT_EQ(host.set(frame(0x87, {0x08, 0, 0, 4}, 4)).verdict, Ep0Verdict::Stall)
      << "set on an unplugged camera";
  EXPECT_EQ(host.get(0x93, 41).verdict, Ep0Verdict::Stall) << "get on an unplugged camera";
  EXPECT_EQ(host.stats().refused, 3u);
}

}  // namespace
}  // namespace lumavix::sim::test
