#include "platform/linux_hid.h"
#include "platform/sys_call.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace lumavix {
namespace {

using test::TempDir;

// A fake sysfs tree in the layout the kernel uses: class/hidraw/hidrawN is
// the node, its `device` entry the HID device with the two files read.
class FakeSysfs {
 public:
  // Adds hidrawN; std::nullopt leaves a file out.
  HidrawNode add(int n, std::optional<std::string> descriptor, std::optional<std::string> uevent) {
    const std::string rel = "class/hidraw/hidraw" + std::to_string(n);
    dir_.write(rel + "/dev", "245:" + std::to_string(n) + "\n");
    if (descriptor) dir_.write(rel + "/device/report_descriptor", *descriptor);
    if (uevent) dir_.write(rel + "/device/uevent", *uevent);
    // The device node does not exist in the tree, like an unplugged one.
    return {dir_.path() + "/" + rel, dir_.path() + "/dev/hidraw" + std::to_string(n)};
  }
  [[nodiscard]] const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

std::string bytes(std::initializer_list<std::uint8_t> b) { return std::string(b.begin(), b.end()); }

const std::string kCameraDescriptor =
    bytes({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x87, 0x95,
           0x04, 0x09, 0x02, 0xB1, 0x02, 0x85, 0x93, 0x95, 0x28, 0x09, 0x03, 0xB1, 0x02, 0xC0});

TEST(LinuxHid, EnumerateReadsFakeSysfsInHidrawOrder) {
  FakeSysfs sys;
  // Given out of order; hidraw10 must come after hidraw2 (numeric order).
  std::vector<HidrawNode> nodes = {
      sys.add(10, "\x05\x01", "HID_ID=0003:00001234:00000010\nHID_NAME=Ten\n"),
      sys.add(2, kCameraDescriptor,
              "DRIVER=hid-generic\nHID_ID=0003:00002B1A:0000A001\nHID_NAME=LUMAVIX Q\n"
              "HID_PHYS=usb-0000:00:14.0-2/input2\n"),
      sys.add(1, std::nullopt, "HID_ID=0003:00001234:00000001\nHID_NAME=No descriptor\n"),
  };

  LinuxHidBackend backend(nodes);
  std::vector<HidInterfaceInfo> found;
  SysError err;
  ASSERT_TRUE(backend.enumerate(found, err)) << err.message;
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].path, nodes[2].devnode);
  EXPECT_EQ(found[1].path, nodes[1].devnode);
  EXPECT_EQ(found[2].path, nodes[0].devnode);

  // A node whose descriptor cannot be read is still listed, without one.
  EXPECT_TRUE(found[0].report_descriptor.empty());
  EXPECT_EQ(found[0].vendor_id, 0x1234);
  EXPECT_EQ(found[0].name, "No descriptor");

  EXPECT_EQ(found[1].report_descriptor,
            std::vector<std::uint8_t>(kCameraDescriptor.begin(), kCameraDescriptor.end()));
  EXPECT_EQ(found[1].vendor_id, 0x2B1A);
  EXPECT_EQ(found[1].product_id, 0xA001);
  EXPECT_EQ(found[1].name, "LUMAVIX Q");
  EXPECT_EQ(found[2].report_descriptor, (std::vector<std::uint8_t>{0x05, 0x01}));
}

TEST(LinuxHid, EmptyListIsNotAFailure) {
  LinuxHidBackend backend(std::vector<HidrawNode>{});
  std::vector<HidInterfaceInfo> found(2);
  SysError err;
  EXPECT_TRUE(backend.enumerate(found, err));
  EXPECT_TRUE(found.empty());
}

TEST(LinuxHid, SysfsFailures) {
  FakeSysfs sys;
  const HidrawNode no_desc = sys.add(0, std::nullopt, "HID_ID=0003:00000001:00000002\n");
  const HidrawNode no_uevent = sys.add(1, bytes({0x06, 0x00, 0xFF}), std::nullopt);
  const HidrawNode huge = sys.add(2, std::string(70000, '\x01'), std::nullopt);

  HidInterfaceInfo info;
  SysError err;
  EXPECT_FALSE(read_hidraw_sysfs(no_desc.syspath, info, err));
  EXPECT_EQ(err.code, ENOENT) << "a missing file lets the caller ask the node instead";
  EXPECT_NE(err.message.find("report_descriptor"), std::string::npos) << err.message;

  info = {};
  err = {};
  EXPECT_TRUE(read_hidraw_sysfs(no_uevent.syspath, info, err)) << err.message;
  EXPECT_EQ(info.report_descriptor.size(), 3u);
  EXPECT_EQ(info.vendor_id, 0);
  EXPECT_TRUE(info.name.empty());

  info = {};
  EXPECT_FALSE(read_hidraw_sysfs(huge.syspath, info, err));
  EXPECT_EQ(err.code, EFBIG);
  EXPECT_TRUE(info.report_descriptor.empty());
}

TEST(LinuxHid, UeventParsing) {
  struct Case {
    const char* text;
    bool id_ok;
    std::uint16_t vendor, product;
    const char* name;
  };
  const Case cases[] = {
      {"HID_ID=0003:00002B1A:0000A001\nHID_NAME=Cam\n", true, 0x2B1A, 0xA001, "Cam"},
      {"HID_NAME=Name with = sign\nHID_ID=0005:0000abcd:00000001", true, 0xABCD, 0x0001,
       "Name with = sign"},
      {"HID_ID=0003:046D\nHID_NAME=Short", false, 0, 0, "Short"},       // no product
      {"HID_ID=0003:XYZ:00000001\n", false, 0, 0, ""},                  // not hexadecimal
      {"HID_ID=0003:00010000:00000001\n", false, 0, 0, ""},             // vendor beyond 16 bits
      {"HID_ID=0003:00000001:00000002:3\n", false, 0, 0, ""},           // trailing field
      {"HID_ID=0003::00000002\n", false, 0, 0, ""},                     // empty vendor
      {"XHID_ID=0003:00000001:00000002\n", false, 0, 0, ""},            // other key
      {"", false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    HidInterfaceInfo info;
    EXPECT_EQ(parse_hid_uevent(c.text, info), c.id_ok);
    EXPECT_EQ(info.vendor_id, c.vendor);
    EXPECT_EQ(info.product_id, c.product);
    EXPECT_EQ(info.name, c.name);
  }
}

TEST(LinuxHid, OpenMessages) {
  const std::string p = "/dev/hidraw3";
  EXPECT_EQ(node_open_message(p, EACCES), "permission denied on /dev/hidraw3");
  EXPECT_EQ(node_open_message(p, EPERM), "permission denied on /dev/hidraw3");
  EXPECT_EQ(node_open_message(p, ENOENT), "/dev/hidraw3 is gone (device unplugged)");
  EXPECT_EQ(node_open_message(p, ENODEV), "/dev/hidraw3 is gone (device unplugged)");
  EXPECT_EQ(node_open_message(p, EBUSY), "/dev/hidraw3 is busy");
  EXPECT_EQ(node_open_message(p, EIO), "cannot open /dev/hidraw3: Input/output error");
}

TEST(LinuxHid, OpenMissingNodeReportsUnplugged) {
  TempDir dir;
  const std::string path = dir.path() + "/hidraw9";
  LinuxHidBackend backend(std::vector<HidrawNode>{});
  SysError err;
  EXPECT_EQ(backend.open(path, err), nullptr);
  EXPECT_EQ(err.code, ENOENT);
  EXPECT_EQ(err.message, path + " is gone (device unplugged)");
}

TEST(LinuxHid, OpenWithoutPermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens files of any mode";
  TempDir dir;
  const std::string path = dir.path() + "/hidraw4";
  dir.write("hidraw4", "");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  LinuxHidBackend backend(std::vector<HidrawNode>{});
  SysError err;
  EXPECT_EQ(backend.open(path, err), nullptr);
  EXPECT_EQ(err.code, EACCES);
  EXPECT_EQ(err.message, "permission denied on " + path);
}

// A node that opens but is no hidraw device: the transfers report the
// kernel's refusal as -errno instead of pretending to succeed.
TEST(LinuxHid, TransfersOnANonHidFileFail) {
  TempDir dir;
  dir.write("plain", "x");
  LinuxHidBackend backend(std::vector<HidrawNode>{});
  SysError err;
  auto dev = backend.open(dir.path() + "/plain", err);
  ASSERT_NE(dev, nullptr) << err.message;
  EXPECT_EQ(dev->path(), dir.path() + "/plain");
  std::uint8_t report[41] = {0x93};
  EXPECT_EQ(dev->set_feature(std::span<const std::uint8_t>(report, 5)), -ENOTTY);
  EXPECT_EQ(dev->get_feature(report), -ENOTTY);
  EXPECT_EQ(dev->get_feature(std::span<std::uint8_t>()), -EINVAL);
}

}  // namespace
}  // namespace lumavix
