// The hand-over of a camera's video-control interface between its kernel
// driver and the raw route: the order of the usbfs calls when it is taken
// and given back, on every way out, and from a signal.
#include "platform/linux_usb.h"

#include <gtest/gtest.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "devlib/camera_descriptors.h"
#include "devlib/clock.h"
#include "platform/linux_uvc.h"
#include "temp_dir.h"

namespace lumavix {
namespace {

// Records every call as "detach 1", and a transfer as "transfer
// A1/81/1A00/0300/32" (bmRequestType/bRequest/wValue/wIndex/wLength); each
// call answers from `fail` (by name) or succeeds; a transfer answers from
// `script` when given, which the test may change as it goes.
struct TransferScript {
  int error = 0;       // errno to fail with, 0 for none
  int reply_len = -1;  // bytes moved; -1: all asked
};

class FakeUsbIo final : public UsbIo {
 public:
  FakeUsbIo(std::vector<std::string>& log, bool driver_bound, std::map<std::string, int> fail = {},
            int fd = -1, const TransferScript* script = nullptr)
      : log_(log), bound_(driver_bound), fail_(std::move(fail)), fd_(fd), script_(script) {}
  int fd() const override { return fd_; }
  int kernel_driver_active(int i) override { return call("active", std::to_string(i), bound_ ? 1 : 0); }
  int detach_kernel_driver(int i) override { return call("detach", std::to_string(i)); }
  int attach_kernel_driver(int i) override { return call("attach", std::to_string(i)); }
  int claim_interface(int i) override { return call("claim", std::to_string(i)); }
  int release_interface(int i) override { return call("release", std::to_string(i)); }
  int control_transfer(const uvc::ControlSetup& s, std::span<std::uint8_t> d, unsigned) override {
    char text[40];
    std::snprintf(text, sizeof text, "%02X/%02X/%04X/%04X/%u", s.request_type, s.request, s.value,
                  s.index, s.length);
    const int n = call("transfer", text, static_cast<int>(d.size()));
    if (!script_ || n < 0) return n;
    if (script_->error) return -script_->error;
    return script_->reply_len >= 0 ? script_->reply_len : n;
  }

 private:
  int call(const std::string& name, const std::string& arg, int ok = 0) {
    log_.push_back(name + " " + arg);
    const auto it = fail_.find(name);
    return it == fail_.end() ? ok : -it->second;
  }
  std::vector<std::string>& log_;
  bool bound_;
  std::map<std::string, int> fail_;
  int fd_;
  const TransferScript* script_;
};

using Log = std::vector<std::string>;
using Failures = std::map<std::string, int>;

TEST(InterfaceClaim, TakesFromTheDriverAndGivesBackInOrder) {
  struct Case {
    const char* what;
    bool driver_bound;
    std::map<std::string, int> fail;
    bool taken;
    Log calls;  // taking, then giving back when taken
    int code = 0;
  } cases[] = {
      {"driver bound", true, {}, true,
       {"active 2", "detach 2", "claim 2", "release 2", "attach 2"}},
      {"no driver bound: none is attached afterwards", false, {}, true,
       {"active 2", "claim 2", "release 2"}},
      {"claim refused: the driver gets the interface straight back", true, {{"claim", EBUSY}},
       false, {"active 2", "detach 2", "claim 2", "attach 2"}, EBUSY},
      {"driver does not let go: nothing is claimed", true, {{"detach", EACCES}}, false,
       {"active 2", "detach 2"}, EACCES},
      {"unplugged while held: release and reattach are still tried", true,
       {{"release", ENODEV}, {"attach", ENODEV}}, true,
       {"active 2", "detach 2", "claim 2", "release 2", "attach 2"}},
  };
  for (const Case& k : cases) {
    Log log;
    SysError err;
    {
      auto claim = InterfaceClaim::take(std::make_unique<FakeUsbIo>(log, k.driver_bound, k.fail),
                                        2, "/dev/bus/usb/001/004", err);
      EXPECT_EQ(claim != nullptr, k.taken) << k.what << ": " << err.message;
      if (!claim) {
        EXPECT_EQ(err.code, k.code) << k.what;
        EXPECT_NE(err.message.find("/dev/bus/usb/001/004"), std::string::npos)
            << k.what << ": the message names the node: " << err.message;
      } else {
        EXPECT_EQ(live_claim_count(), 1) << k.what << ": listed for the signal handler";
      }
    }  // destroyed: given back
    EXPECT_EQ(log, k.calls) << k.what;
    EXPECT_EQ(live_claim_count(), 0) << k.what << ": struck from the signal handler's list";
  }
}

TEST(InterfaceClaim, GivenBackOnce) {
  Log log;
  SysError err;
  auto claim = InterfaceClaim::take(std::make_unique<FakeUsbIo>(log, true), 0, "n", err);
  ASSERT_TRUE(claim);
  claim->give_back();
  claim->give_back();
  claim.reset();
  EXPECT_EQ(log, (Log{"active 0", "detach 0", "claim 0", "release 0", "attach 0"}));
}

// The hand-over's own driver events are told from a real plug: within the
// quiet time of a stamped hand-over only the driver-side kinds are ignored.
TEST(InterfaceClaim, OwnHandoverEventsAreToldFromARealPlug) {
  VirtualClock clock(5000);
  set_clock(&clock);
  Log log;
  SysError err;
  auto claim = InterfaceClaim::take(std::make_unique<FakeUsbIo>(log, true), 0, "n", err);
  ASSERT_TRUE(claim);
  const std::uint32_t stamped = last_driver_handover_ms();
  EXPECT_EQ(stamped, 5000u) << "taking the interface from its driver expected to be stamped";
  claim.reset();
  set_clock(nullptr);

  struct Case {
    const char* subsystem;
    const char* devtype;
    std::uint32_t after_ms;
    bool own;
  };
  const Case cases[] = {
      {"video4linux", "", 10, true},       {"usb", "usb_interface", 1999, true},
      {"video4linux", "", 2000, false},    {"usb", "usb_device", 10, false},
      {"hidraw", "", 10, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_own_handover_event(c.subsystem, c.devtype, stamped + c.after_ms, stamped), c.own)
        << c.subsystem << "/" << c.devtype << " " << c.after_ms << " ms after a hand-over";
  }
  EXPECT_FALSE(is_own_handover_event("video4linux", "", 10, 0)) << "no hand-over yet";
}

// The signal path, with the ioctl recorded instead of sent.
std::vector<std::string> g_ioctls;
int record_ioctl(int fd, unsigned long request, void* arg) {
  std::string s = "fd " + std::to_string(fd) + " ";
  if (request == USBDEVFS_RELEASEINTERFACE) {
    s += "release " + std::to_string(*static_cast<unsigned int*>(arg));
  } else if (request == USBDEVFS_IOCTL) {
    const auto* c = static_cast<usbdevfs_ioctl*>(arg);
    s += (c->ioctl_code == static_cast<int>(USBDEVFS_CONNECT) ? "connect " : "ioctl ") +
         std::to_string(c->ifno);
  } else {
    s += "unexpected request";
  }
  g_ioctls.push_back(s);
  return 0;
}

TEST(InterfaceClaim, SignalPathReleasesThenReattachesEveryLiveClaim) {
  Log log;
  SysError err;
  auto bound = InterfaceClaim::take(std::make_unique<FakeUsbIo>(log, true, Failures{}, 40), 1, "a", err);
  auto unbound = InterfaceClaim::take(std::make_unique<FakeUsbIo>(log, false, Failures{}, 41), 3, "b", err);
  ASSERT_TRUE(bound && unbound);
  g_ioctls.clear();
  EXPECT_EQ(give_back_claims_now(&record_ioctl), 2);
  EXPECT_EQ(g_ioctls, (std::vector<std::string>{"fd 40 release 1", "fd 40 connect 1",
                                                "fd 41 release 3"}))
      << "release first, reattach only the driver that was detached";
  EXPECT_EQ(live_claim_count(), 0);
  EXPECT_EQ(give_back_claims_now(&record_ioctl), 0) << "each claim is given back once";
}

// In a child process: a claim is held when `sig` arrives. Returns the
// child's wait status.
int status_of_child_signalled(int sig, bool own_handler) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    static volatile sig_atomic_t handled = 0;
    if (own_handler) {
      struct sigaction sa {};
      sa.sa_handler = [](int) { handled = 1; };
      ::sigaction(sig, &sa, nullptr);
    }
    Log log;
    SysError err;
    // No descriptor: the handler's ioctls fail harmlessly.
    auto claim = InterfaceClaim::take(std::make_unique<FakeUsbIo>(log, true), 0, "n", err);
    if (!claim) ::_exit(10);
    ::raise(sig);
    // Only reached when the previous handler took the signal.
    ::_exit(handled && live_claim_count() == 0 ? 20 : 11);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST(InterfaceClaim, SignalsTakeTheirPreviousCourseAfterTheGiveBack) {
  for (const int sig : {SIGTERM, SIGINT}) {
    const int plain = status_of_child_signalled(sig, false);
    EXPECT_TRUE(WIFSIGNALED(plain) && WTERMSIG(plain) == sig)
        << "signal " << sig << ": the process still ends by the signal (status " << plain << ")";
    const int chained = status_of_child_signalled(sig, true);
    EXPECT_TRUE(WIFEXITED(chained) && WEXITSTATUS(chained) == 20)
        << "signal " << sig << ": the program's own handler runs after the give-back (status "
        << chained << ")";
  }
}

TEST(RawUsbNode, NamedFromBusAndDeviceNumbers) {
  test::TempDir dir;
  dir.write("usb1/1-2/busnum", "1\n");
  dir.write("usb1/1-2/devnum", "14\n");
  dir.write("usb1/1-3/busnum", "1\n");  // devnum missing
  dir.write("usb1/1-4/busnum", "x\n");
  dir.write("usb1/1-4/devnum", "2\n");
  SysError err;
  EXPECT_EQ(usbfs_node(dir.path() + "/usb1/1-2", err), "/dev/bus/usb/001/014");
  for (const char* bad : {"usb1/1-3", "usb1/1-4", "usb1/none"}) {
    SysError e;
    EXPECT_EQ(usbfs_node(dir.path() + "/" + bad, e), "") << bad;
    EXPECT_EQ(e.code, ENODEV) << bad << ": " << e.message;
  }
}

TEST(RawUsbNode, LibusbErrorsBecomeTheirErrno) {
  const std::pair<int, int> cases[] = {
      {LIBUSB_ERROR_PIPE, EPIPE},          {LIBUSB_ERROR_TIMEOUT, ETIMEDOUT},
      {LIBUSB_ERROR_NO_DEVICE, ENODEV},    {LIBUSB_ERROR_ACCESS, EACCES},
      {LIBUSB_ERROR_BUSY, EBUSY},          {LIBUSB_ERROR_NOT_FOUND, ENOENT},
      {LIBUSB_ERROR_OTHER, EIO},
  };
  for (const auto& [libusb, expected] : cases)
    EXPECT_EQ(libusb_errno(libusb), expected) << libusb_error_name(libusb);
}

// A camera bound by the Linux video backend from a scratch sysfs tree, its
// raw route served by FakeUsbIo.
class RawRouteCamera : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::uint8_t> d = test::camera_descriptors();
    dir_.write("sys/usb1/1-2/descriptors", std::string(d.begin(), d.end()));
    dir_.write("sys/usb1/1-2/busnum", "1\n");
    dir_.write("sys/usb1/1-2/devnum", "4\n");
    // A plain file stands for the video node: the driver's ioctl fails on
    // it with ENOTTY, which tells a driver request from a raw one.
    dir_.write("dev/video0", "");
    VideoNode n;
    n.devnode = dir_.path() + "/dev/video0";
    n.name = "Camera";
    n.key = "usb-1-2:1.0";
    n.usb_device_syspath = dir_.path() + "/sys/usb1/1-2";
    n.number = 0;
    backend_ = std::make_unique<LinuxUvcBackend>(
        std::vector<VideoNode>{n},
        [this](const std::string& node, SysError&) -> std::unique_ptr<UsbIo> {
          opened_.push_back(node);
          return std::make_unique<FakeUsbIo>(log_, true, Failures{}, -1, &script_);
        },
        dir_.path() + "/dev");
    SysError err;
    control_ = backend_->bind(DeviceCategory::VideoCapture, "usb-1-2:1.0", err);
    ASSERT_TRUE(control_) << err.message;
  }
  // The bridge maker's unit is node 2, unit id 3, on interface 0.
  int request(std::uint32_t selector, std::uint32_t flags, std::size_t len, XuRoute route,
              SysError& err) {
    std::vector<std::uint8_t> data(len);
    return control_->xu_request({kKavexUnitGuid, selector, flags, 2, route}, data, err);
  }
  test::TempDir dir_;
  Log log_;
  std::vector<std::string> opened_;
  TransferScript script_;
  std::unique_ptr<LinuxUvcBackend> backend_;
  std::unique_ptr<VideoControl> control_;
};

TEST_F(RawRouteCamera, RawRequestsTakeTheInterfaceAndKeepIt) {
  SysError err;
  EXPECT_EQ(request(26, kXuFlagSet, 32, XuRoute::Driver, err), -ENOTTY)
      << "before any raw request the driver is asked: " << err.message;
  EXPECT_TRUE(log_.empty());

  ASSERT_EQ(request(9, kXuFlagSet, 7, XuRoute::RawUsb, err), 7) << err.message;
  EXPECT_EQ(opened_, (std::vector<std::string>{dir_.path() + "/dev/bus/usb/001/004"}));
  EXPECT_EQ(log_, (Log{"active 0", "detach 0", "claim 0", "transfer 21/01/0900/0300/7"}));

  log_.clear();
  ASSERT_EQ(request(26, kXuFlagGet, 32, XuRoute::Driver, err), 32) << err.message;
  EXPECT_EQ(log_, (Log{"transfer A1/81/1A00/0300/32"}))
      << "with the driver gone, a driver request goes raw";

  script_.reply_len = 3;
  EXPECT_EQ(request(8, kXuFlagGet, 16, XuRoute::RawUsb, err), -EPROTO);
  EXPECT_NE(err.message.find("moved 3 of 16 bytes"), std::string::npos) << err.message;
  script_ = {ETIMEDOUT, -1};
  EXPECT_EQ(request(8, kXuFlagGet, 16, XuRoute::RawUsb, err), -ETIMEDOUT);
  EXPECT_NE(err.message.find("timed out"), std::string::npos) << err.message;
  script_ = {EPIPE, -1};
  EXPECT_EQ(request(9, kXuFlagSet, 4, XuRoute::RawUsb, err), -EPIPE) << "a stall is a refusal";
  EXPECT_EQ(err.code, EPIPE);
  EXPECT_EQ(opened_.size(), 1u) << "the interface is taken once";

  log_.clear();
  control_.reset();
  EXPECT_EQ(log_, (Log{"release 0", "attach 0"})) << "given back when the control goes";
}

TEST_F(RawRouteCamera, UnplugGivesTheInterfaceBackAtOnce) {
  SysError err;
  ASSERT_EQ(request(9, kXuFlagSet, 7, XuRoute::RawUsb, err), 7) << err.message;
  log_.clear();
  script_.error = ENODEV;
  EXPECT_EQ(request(9, kXuFlagSet, 7, XuRoute::RawUsb, err), -ENODEV);
  EXPECT_NE(err.message.find("unplugged"), std::string::npos) << err.message;
  EXPECT_EQ(log_, (Log{"transfer 21/01/0900/0300/7", "release 0", "attach 0"}));
  log_.clear();
  EXPECT_EQ(request(26, kXuFlagGet, 32, XuRoute::Driver, err), -ENODEV);
  control_.reset();
  EXPECT_TRUE(log_.empty()) << "nothing more is sent to a camera that is gone";
}

TEST_F(RawRouteCamera, UnreadableUsbNumbersAreTheCause) {
  std::filesystem::remove(dir_.path() + "/sys/usb1/1-2/devnum");
  SysError err;
  control_ = backend_->bind(DeviceCategory::VideoCapture, "usb-1-2:1.0", err);
  ASSERT_TRUE(control_) << "registers stay reachable through the driver";
  EXPECT_EQ(request(9, kXuFlagSet, 7, XuRoute::RawUsb, err), -ENODEV);
  EXPECT_NE(err.message.find("bus and device number"), std::string::npos) << err.message;
  EXPECT_TRUE(log_.empty());
}

}  // namespace
}  // namespace lumavix
