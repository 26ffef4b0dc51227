// The video-class gadget: its descriptors must read, through the library's own
// parser, as the camera's topology with the bridge maker's unit, and the
// unit's requests as the raw route sends them must be answered as the
// in-process endpoint answers them.
#include <endian.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devlib/uvc_descriptor.h"
#include "devlib/uvc_request.h"
#include "sim/gadgetcam/uvc_gadget.h"
#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

constexpr std::uint8_t kStreamEp = 0x81;

usb_ctrlrequest to_request(const uvc::ControlSetup& s) {
  usb_ctrlrequest r{};
  r.bRequestType = s.request_type;
  r.bRequest = s.request;
  r.wValue = htole16(s.value);
  r.wIndex = htole16(s.index);
  r.wLength = htole16(s.length);
  return r;
}

// The unit id of the camera's extension unit: its node index + 1.
std::uint8_t unit_id(const SimCameraConfig& c) {
  for (std::size_t i = 0; i < c.nodes.size(); ++i)
    if (c.nodes[i] == SimNode::KavexUnit) return static_cast<std::uint8_t>(i + 1);
  return 0;
}

TEST(UvcGadget, DescriptorsReadAsTheCamerasTopology) {
  const SimCameraConfig cfg = quiet_config(SimProfile::UvcKavex);
  std::vector<std::uint8_t> d;
  std::string error;
  ASSERT_TRUE(make_uvc_device_setup(cfg, kStreamEp, d, error)) << error;
  // The kernel's descriptors file: device descriptor, then the configuration.
  ASSERT_GT(d.size(), 4u + USB_DT_DEVICE_SIZE);
  std::vector<std::uint8_t> chain(d.end() - USB_DT_DEVICE_SIZE, d.end());
  const std::size_t total = d[4 + 2] | d[4 + 3] << 8;
  ASSERT_LE(4 + 2 * total + USB_DT_DEVICE_SIZE, d.size()) << "two configurations expected";
  chain.insert(chain.end(), d.begin() + 4, d.begin() + 4 + static_cast<std::ptrdiff_t>(total));

  std::vector<uvc::ControlInterface> itfs;
  ASSERT_TRUE(uvc::parse_descriptors(chain, itfs, error)) << error;
  ASSERT_EQ(itfs.size(), 1u) << "one video-control interface expected";
  EXPECT_EQ(itfs[0].interface_number, kUvcControlInterface);
  const std::vector<uvc::Entity>& e = itfs[0].entities;
  ASSERT_EQ(e.size(), cfg.nodes.size()) << "one entity per topology node, in node order";
  const std::uint8_t xu = unit_id(cfg);
  ASSERT_NE(xu, 0);
  for (std::size_t i = 0; i < e.size(); ++i) {
    EXPECT_EQ(e[i].id, i + 1) << "entity " << i;
    EXPECT_EQ(e[i].is_extension_unit(), i + 1 == xu) << "entity " << i;
  }
  EXPECT_EQ(e[xu - 1].guid, kKavexUnitGuid);
  EXPECT_EQ(e[xu - 1].selectors,
            std::vector<std::uint8_t>(kKavexSelectors.begin(), kKavexSelectors.end()));
}

TEST(UvcGadget, RefusesTopologiesItCannotPresent) {
  std::vector<std::uint8_t> d;
  std::string error;
  for (SimProfile p : {SimProfile::UvcAveo, SimProfile::UvcEtron, SimProfile::Q}) {
    EXPECT_FALSE(make_uvc_device_setup(quiet_config(p), kStreamEp, d, error))
        << "profile " << profile_name(p);
  }
  EXPECT_FALSE(make_uvc_device_setup(quiet_config(SimProfile::UvcKavex), 0x01, d, error))
      << "an OUT endpoint for streaming";
}

// A chip-generation read as the raw route frames it: XU_LENGTH announces
// the length, the register form of varying length sets the address, its
// get returns the bytes.
TEST(UvcGadget, UnitRequestsAreAnsweredAsTheInProcessEndpointDoes) {
  const SimCameraConfig cfg = quiet_config(SimProfile::UvcKavex);
  SimCamera through_usb(cfg);
  SimCamera direct(cfg);
  UvcGadget gadget(through_usb);
  const std::uint8_t unit = unit_id(cfg);
  struct Step {
    const char* what;
    std::uint8_t selector;
    bool set;
    std::vector<std::uint8_t> data;  // set: sent; get: its size is the length asked
  };
  const std::vector<Step> steps = {
      {"announce 2 bytes", XU_LENGTH, true, {2}},
      {"register read of the chip id", XU_REG_READ, true, {0x00, 0x04}},
      {"register read reply", XU_REG_READ, false, std::vector<std::uint8_t>(4)},
      {"extended read", XU_XDATA_EX_READ, true, std::vector<std::uint8_t>(kXuExtendedLen)},
      {"extended reply", XU_XDATA_EX_READ, false, std::vector<std::uint8_t>(kXuExtendedLen)},
      {"wrong length", XU_REG_READ, true, {0x00}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    XuQuery q;
    q.unit = kKavexUnitGuid;
    q.selector = s.selector;
    q.flags = s.set ? kXuFlagSet : kXuFlagGet;
    q.node = unit - 1u;
    std::vector<std::uint8_t> buf = s.data;
    const int rc = direct.xu_request(q, buf);
    const uvc::ControlSetup setup =
        uvc::control_setup(s.set ? uvc::kSetCur : uvc::kGetCur, s.selector, unit,
                           kUvcControlInterface, static_cast<std::uint16_t>(s.data.size()));
    const Ep0Answer a = gadget.answer(to_request(setup), s.set ? s.data : std::vector<std::uint8_t>{});
    if (rc < 0) {
      EXPECT_EQ(a.verdict, Ep0Verdict::Stall);
    } else if (s.set) {
      EXPECT_EQ(a.verdict, Ep0Verdict::Ack);
    } else {
      ASSERT_EQ(a.verdict, Ep0Verdict::Send);
      EXPECT_EQ(a.data, buf);
    }
    if (s.selector == XU_REG_READ && !s.set) {
      EXPECT_EQ(a.data, (std::vector<std::uint8_t>{0xB2, 0x31, 0x00, 0x00})) << "the chip id";
    }
  }
  EXPECT_EQ(through_usb.counters().total, direct.counters().total);
  EXPECT_EQ(through_usb.violations().size(), direct.violations().size());
}

TEST(UvcGadget, LengthInfoAndProbeAnswers) {
  const SimCameraConfig cfg = quiet_config(SimProfile::UvcKavex);
  SimCamera cam(cfg);
  UvcGadget gadget(cam);
  const std::uint8_t unit = unit_id(cfg);
  const auto ask = [&](std::uint8_t request, std::uint8_t selector, std::uint8_t unit_id,
                       std::uint16_t length) {
    return gadget.answer(
        to_request(uvc::control_setup(request, selector, unit_id, kUvcControlInterface, length)),
        {});
  };
  struct Case {
    const char* what;
    Ep0Answer got;
    Ep0Verdict verdict;
    std::vector<std::uint8_t> data;
  };
  const std::vector<Case> cases = {
      {"GET_INFO", ask(uvc::kGetInfo, XU_LENGTH, unit, 1), Ep0Verdict::Send, {0x03}},
      {"GET_LEN of XU_LENGTH", ask(uvc::kGetLen, XU_LENGTH, unit, 2), Ep0Verdict::Send, {1, 0}},
      {"GET_LEN of an extended control", ask(uvc::kGetLen, XU_XDATA_EX_READ, unit, 2),
       Ep0Verdict::Send, {32, 0}},
      {"GET_LEN of a varying control, before any announcement",
       ask(uvc::kGetLen, XU_REG_READ, unit, 2), Ep0Verdict::Send, {1, 0}},
      {"a unit that is not the extension unit", ask(uvc::kGetInfo, XU_LENGTH, 1, 1),
       Ep0Verdict::Stall, {}},
      {"selector 0", ask(uvc::kGetInfo, 0, unit, 1), Ep0Verdict::Stall, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.got.verdict, c.verdict) << c.what;
    EXPECT_EQ(c.got.data, c.data) << c.what;
  }
  EXPECT_EQ(cam.counters().total, 0u) << "GET_INFO and GET_LEN are answered without the bridge";

  // uvcvideo reads the probe control (GET_DEF, then GET_CUR) when it binds.
  usb_ctrlrequest probe{};
  probe.bRequestType = USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
  probe.bRequest = UVC_GET_CUR;
  probe.wValue = htole16(UVC_VS_PROBE_CONTROL << 8);
  probe.wIndex = htole16(kUvcStreamingInterface);
  probe.wLength = htole16(kUvcProbeLength);
  const Ep0Answer p = gadget.answer(probe, {});
  ASSERT_EQ(p.verdict, Ep0Verdict::Send);
  ASSERT_EQ(p.data.size(), kUvcProbeLength);
  EXPECT_EQ(p.data[2], 1) << "bFormatIndex";
  EXPECT_EQ(p.data[3], 1) << "bFrameIndex";
}

}  // namespace
}  // namespace lumavix::sim::test
