// The uhid translation: kernel request events in, one SimCamera call each,
// reply events out. A frame answered differently through uhid than through
// the in-process platform would be a bug, so most checks compare the two.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/simcam/uhid_bridge.h"
#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

FeatureLengths camera_lengths() {
  FeatureLengths lengths{};
  std::string error;
  EXPECT_TRUE(feature_report_lengths(camera_report_descriptor(), lengths, error)) << error;
  return lengths;
}

// Plays the kernel's side of /dev/uhid against one bridge.
class FakeKernel {
 public:
  explicit FakeKernel(SimCamera& cam) : bridge_(cam, camera_lengths()) {}

  // hidraw's HIDIOCSFEATURE: `report` starts with the report id.
  uhid_event set(std::vector<std::uint8_t> report, std::uint8_t rtype = UHID_FEATURE_REPORT) {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_SET_REPORT;
    ev.u.set_report.id = ++id_;
    ev.u.set_report.rnum = report.empty() ? 0 : report[0];
    ev.u.set_report.rtype = rtype;
    ev.u.set_report.size = static_cast<std::uint16_t>(report.size());
    std::memcpy(ev.u.set_report.data, report.data(), report.size());
    return answer(ev, UHID_SET_REPORT_REPLY);
  }

  uhid_event get(std::uint8_t rnum, std::uint8_t rtype = UHID_FEATURE_REPORT) {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_GET_REPORT;
    ev.u.get_report.id = ++id_;
    ev.u.get_report.rnum = rnum;
    ev.u.get_report.rtype = rtype;
    return answer(ev, UHID_GET_REPORT_REPLY);
  }

  // An event that must not be answered.
  void notify(std::uint32_t type) {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = type;
    uhid_event reply;
    EXPECT_FALSE(bridge_.handle(ev, reply)) << "event type " << type << " needs no reply";
  }

  [[nodiscard]] const UhidBridgeStats& stats() const { return bridge_.stats(); }

 private:
  uhid_event answer(const uhid_event& ev, std::uint32_t reply_type) {
    uhid_event reply;
    std::memset(&reply, 0xEE, sizeof reply);
    EXPECT_TRUE(bridge_.handle(ev, reply)) << "request " << id_ << " left unanswered";
    EXPECT_EQ(reply.type, reply_type);
    // The kernel matches a reply to its request by this id alone.
    const std::uint32_t got = reply_type == UHID_SET_REPORT_REPLY ? reply.u.set_report_reply.id
                                                                  : reply.u.get_report_reply.id;
    EXPECT_EQ(got, id_) << "reply carries another request's id";
    return reply;
  }

  UhidBridge bridge_;
  std::uint32_t id_ = 100;
};

std::vector<std::uint8_t> frame(std::uint8_t id, std::vector<std::uint8_t> payload,
                                std::size_t payload_len) {
  payload.resize(payload_len, 0);
  payload.insert(payload.begin(), id);
  return payload;
}

TEST(UhidBridge, FeatureLengthsComeFromTheDescriptor) {
  const FeatureLengths lengths = camera_lengths();
  struct Case {
    std::uint8_t id;
    std::uint16_t length;
  };
  for (const Case& c : {Case{0x87, 5}, Case{0x93, 41}, Case{0x97, 41}, Case{0x00, 0},
                        Case{0x88, 0}, Case{0xFF, 0}}) {
    EXPECT_EQ(lengths[c.id], c.length) << "report 0x" << std::hex << int{c.id};
  }
}

TEST(UhidBridge, CreateEventIsAUsbDeviceWithTheCamerasIdentity) {
  const SimCameraConfig cfg = quiet_config();
  const std::vector<std::uint8_t> desc = camera_report_descriptor();
  uhid_event ev;
  std::string error;
  ASSERT_TRUE(make_create2_event(cfg, desc, "lumavix-simcam/0", ev, error)) << error;
  EXPECT_EQ(ev.type, UHID_CREATE2);
  const uhid_create2_req& c = ev.u.create2;
  EXPECT_EQ(c.bus, 0x03) << "bus must be USB";
  EXPECT_EQ(c.vendor, VendorId);
  EXPECT_EQ(c.product, ProductIdQA);
  EXPECT_STREQ(reinterpret_cast<const char*>(c.name), "LUMAVIX Q");
  EXPECT_STREQ(reinterpret_cast<const char*>(c.phys), "lumavix-simcam/0");
  ASSERT_EQ(c.rd_size, desc.size());
  EXPECT_EQ(std::memcmp(c.rd_data, desc.data(), desc.size()), 0);

  SimCameraConfig long_name = cfg;
  long_name.name = std::string(300, 'x');
  ASSERT_TRUE(make_create2_event(long_name, desc, "", ev, error));
  EXPECT_EQ(ev.u.create2.name[sizeof ev.u.create2.name - 1], 0) << "name left unterminated";

  const std::vector<std::uint8_t> huge(HID_MAX_DESCRIPTOR_SIZE + 1, 0x00);
  EXPECT_FALSE(make_create2_event(cfg, huge, "", ev, error));
  EXPECT_FALSE(make_create2_event(cfg, {}, "", ev, error));
}

// The same conversation through uhid and straight into a second camera must
// give the same answers, byte for byte, and leave both cameras alike.
TEST(UhidBridge, AnswersEveryFrameAsTheInProcessEndpointDoes) {
  SimCamera through_uhid(quiet_config());
  SimCamera direct(quiet_config());
  FakeKernel kernel(through_uhid);

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
      {"flash id opcode", true, frame(0x87, {0x0B, 0, 0, 0}, 4)},
      {"flash id opcode data", true, frame(0x93, {0x00, 0x01, 0x00, 0x9F}, 40)},
      {"flash id read command", true, frame(0x87, {0x0A, 0x00, 0x03, 0x01}, 4)},
      {"flash id reply", false, {0x93}},
      {"flash read opcode", true, frame(0x87, {0x0B, 0, 0, 0}, 4)},
      {"flash read opcode data", true, frame(0x93, {0x00, 0x04, 0x00, 0x03, 0x00, 0x00, 0x00}, 40)},
      {"flash read command", true, frame(0x87, {0x0A, 0x00, 0x20, 0x01}, 4)},
      {"flash read reply", false, {0x93}},
      {"reply without a command", false, {0x93}},
      {"get of a set-only report", false, {0x87}},
      {"get of an undeclared report", false, {0x42}},
      {"set of an undeclared report", true, frame(0x42, {}, 4)},
      {"command of the wrong length", true, frame(0x87, {0x08, 0, 0, 4}, 3)},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.set) {
      const int rc = direct.set_feature(s.report);
      const uhid_event reply = kernel.set(s.report);
      EXPECT_EQ(reply.u.set_report_reply.err, rc < 0 ? -rc : 0);
    } else {
      const std::uint8_t id = s.report[0];
      std::vector<std::uint8_t> buf(id == 0x93 ? kDataReply : (id == 0x87 ? 5 : 1), 0);
      buf[0] = id;
      const int rc = direct.get_feature(buf);
      const uhid_event reply = kernel.get(id);
      const auto& r = reply.u.get_report_reply;
      if (rc < 0) {
        EXPECT_EQ(r.err, -rc);
        EXPECT_EQ(r.size, 0);
      } else {
        EXPECT_EQ(r.err, 0);
        ASSERT_EQ(r.size, static_cast<std::size_t>(rc));
        EXPECT_EQ(std::vector<std::uint8_t>(r.data, r.data + r.size), buf);
      }
    }
  }
  const TransferCounters a = through_uhid.counters(), b = direct.counters();
  EXPECT_EQ(a.total, b.total);
  EXPECT_EQ(a.failed, b.failed);
  const std::vector<Violation> va = through_uhid.violations(), vb = direct.violations();
  ASSERT_EQ(va.size(), vb.size());
  for (std::size_t i = 0; i < va.size(); ++i) EXPECT_EQ(va[i].message, vb[i].message);
  EXPECT_EQ(through_uhid.reg(0x80), 0x5A);
}

TEST(UhidBridge, ReplyByteZeroIsTheDevicesFirstByteNotTheReportId) {
  SimCamera cam(quiet_config());
  FakeKernel kernel(cam);
  kernel.set(frame(0x87, {0x08, 0x00, 0x00, 0x04}, 4));
  const uhid_event reply = kernel.get(0x93);
  ASSERT_EQ(reply.u.get_report_reply.size, kDataReply);
  EXPECT_EQ(reply.u.get_report_reply.data[0], 0xB2) << "chip id byte expected in byte 0";
  EXPECT_EQ(reply.u.get_report_reply.data[1], 0x31);
}

TEST(UhidBridge, FailuresReachTheKernelAsErrors) {
  struct Case {
    const char* what;
    void (*arrange)(SimCamera&);
    int expected_err;
  };
  const Case cases[] = {
      {"unplugged camera", [](SimCamera& c) { c.unplug(); }, ENODEV},
      {"injected failure", [](SimCamera& c) { c.set_fail_at(1); }, EIO},
      {"bridge without report 0x97", [](SimCamera& c) { c.set_refuse_97(true); }, EPIPE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimCamera cam(quiet_config());
    c.arrange(cam);
    FakeKernel kernel(cam);
    const uhid_event reply = kernel.set(frame(0x97, {0x0C, 0, 0xA0, 0, 0, 1}, 40));
    EXPECT_EQ(reply.u.set_report_reply.err, c.expected_err);
    EXPECT_EQ(kernel.stats().refused, 1u);
  }
}

TEST(UhidBridge, NonFeatureAndOversizedRequestsNeverReachTheCamera) {
  SimCamera cam(quiet_config());
  FakeKernel kernel(cam);
  EXPECT_NE(kernel.get(0x93, UHID_INPUT_REPORT).u.get_report_reply.err, 0);
  EXPECT_NE(kernel.set(frame(0x87, {0x08, 0, 0, 4}, 4), UHID_OUTPUT_REPORT)
                .u.set_report_reply.err,
            0);
  const uhid_event ok = kernel.set(frame(0x87, {0x09, 0, 0, 0}, 4));
  EXPECT_EQ(ok.u.set_report_reply.err, 0) << "a feature command is accepted";
  const std::uint64_t before = cam.counters().total;
  EXPECT_EQ(before, 1u) << "only the feature request may reach the camera";

  // A size field beyond the event's data must not be read past.
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_SET_REPORT;
  ev.u.set_report.id = 7;
  ev.u.set_report.rtype = UHID_FEATURE_REPORT;
  ev.u.set_report.size = UHID_DATA_MAX + 1;
  UhidBridge bridge(cam, camera_lengths());
  uhid_event reply;
  ASSERT_TRUE(bridge.handle(ev, reply));
  EXPECT_EQ(reply.u.set_report_reply.id, 7u);
  EXPECT_EQ(reply.u.set_report_reply.err, EINVAL);
  EXPECT_EQ(cam.counters().total, before) << "refused requests must not count as transfers";
}

TEST(UhidBridge, LifecycleEventsNeedNoReply) {
  SimCamera cam(quiet_config());
  FakeKernel kernel(cam);
  kernel.notify(UHID_START);
  EXPECT_TRUE(kernel.stats().started);
  kernel.notify(UHID_OPEN);
  kernel.notify(UHID_OPEN);
  kernel.notify(UHID_CLOSE);
  EXPECT_EQ(kernel.stats().opens, 1);
  kernel.notify(UHID_OUTPUT);
  EXPECT_EQ(kernel.stats().other_events, 1u);
  kernel.notify(UHID_STOP);
  EXPECT_FALSE(kernel.stats().started);
  EXPECT_EQ(cam.counters().total, 0u);
}

}  // namespace
}  // namespace lumavix::sim::test
