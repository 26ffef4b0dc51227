#include "platform/linux_doctor.h"
#include "platform/sys_call.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devlib/clock.h"
#include "platform/linux_hid.h"
#include "temp_dir.h"

namespace lumavix {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// A scratch system: sysfs with the kernel's symlinks, a /dev folder and the
// three rules folders.
class FakeSystem {
 public:
  FakeSystem() {
    for (const char* d : {"sys/class/hidraw", "sys/class/video4linux", "dev", "etc-rules",
                          "usr-rules", "lib-rules"})
      fs::create_directories(path(d));
  }

  [[nodiscard]] DoctorRoots roots() const {
    DoctorRoots r;
    r.sysfs = path("sys");
    r.dev = path("dev");
    r.rules_dirs = {path("etc-rules"), path("usr-rules"), path("lib-rules")};
    return r;
  }
  [[nodiscard]] std::string path(const std::string& rel) const { return dir_.path() + "/" + rel; }
  [[nodiscard]] std::string dev(const std::string& name) const { return path("dev/" + name); }

  // hidrawN under a HID device whose uevent is `uevent` (none: no file);
  // the device node is a file of mode 0660.
  void add_hidraw(int n, const std::optional<std::string>& uevent) {
    const std::string name = "hidraw" + std::to_string(n);
    const std::string hid = "sys/devices/pci0000:00/usb1/1-2/1-2:1." + std::to_string(n) +
                            "/0003:2A9C:0E51.000" + std::to_string(n);
    const std::string node = hid + "/hidraw/" + name;
    fs::create_directories(path(node));
    if (uevent) dir_.write(hid + "/uevent", *uevent);
    fs::create_directory_symlink("../..", path(node + "/device"));
    fs::create_directory_symlink("../../" + node.substr(4), path("sys/class/hidraw/" + name));
    make_node(name);
  }

  // videoN on interface 1-P:1.0 of a USB device with these id files.
  void add_video(int n, const std::optional<std::string>& id_vendor,
                 const std::optional<std::string>& id_product) {
    const std::string name = "video" + std::to_string(n);
    const std::string usb = "sys/devices/pci0000:00/usb1/1-" + std::to_string(n + 3);
    const std::string node = usb + "/1-" + std::to_string(n + 3) + ":1.0/video4linux/" + name;
    fs::create_directories(path(node));
    if (id_vendor) dir_.write(usb + "/idVendor", *id_vendor);
    if (id_product) dir_.write(usb + "/idProduct", *id_product);
    fs::create_directory_symlink("../..", path(node + "/device"));
    fs::create_directory_symlink("../../" + node.substr(4), path("sys/class/video4linux/" + name));
    make_node(name);
  }

  // videoN whose `device` link points nowhere.
  void add_dangling_video(int n) {
    const std::string name = "video" + std::to_string(n);
    fs::create_directories(path("sys/devices/virtual/" + name));
    fs::create_directory_symlink("../../gone", path("sys/devices/virtual/" + name + "/device"));
    fs::create_directory_symlink("../../devices/virtual/" + name,
                                 path("sys/class/video4linux/" + name));
    make_node(name);
  }

  void write(const std::string& rel, const std::string& content) const { dir_.write(rel, content); }

 private:
  void make_node(const std::string& name) {
    dir_.write("dev/" + name, "");
    fs::permissions(dev(name), fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read | fs::perms::group_write);
  }

  TempDir dir_;
};

std::string hid_uevent(const std::string& id) {
  return "DRIVER=hid-generic\nHID_ID=" + id + "\nHID_NAME=Camera\nHID_PHYS=usb-0000:00:14.0-2/input2\n";
}

// A probe that answers from a table (0 for paths not in it) and notes every
// path it was asked about.
struct TableProbe {
  std::map<std::string, int> errors;
  std::vector<std::string> asked;
  NodeProbe probe() {
    return [this](const std::string& p) {
      asked.push_back(p);
      const auto it = errors.find(p);
      return it == errors.end() ? 0 : it->second;
    };
  }
};

const std::string kExpectedRule =
    "# LUMAVIX document cameras: let the user at the seat open the camera's nodes.\n"
    "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"2a9c\", "
    "ATTRS{idProduct}==\"0e51|0e52|0e5a|0e61|0e62|0e71\", TAG+=\"uaccess\"\n"
    "SUBSYSTEM==\"video4linux\", ATTRS{idVendor}==\"2a9c\", "
    "ATTRS{idProduct}==\"0e51|0e52|0e5a|0e61|0e62|0e71\", TAG+=\"uaccess\"\n"
    "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTRS{idVendor}==\"2a9c\", "
    "ATTRS{idProduct}==\"0e51|0e52|0e5a|0e61|0e62|0e71\", TAG+=\"uaccess\"\n";

TEST(DoctorRule, TextIsExactlyTheInstalledRule) {
  EXPECT_EQ(udev_rule_text(), kExpectedRule);
  EXPECT_TRUE(rules_text_grants_access(udev_rule_text()));
}

TEST(DoctorRule, PackagedRuleFileMatches) {
  // The packaged file lives at <source>/packaging, two folders above the
  // test data folder.
  const fs::path file = fs::path(LUMAVIX_TEST_DATA_DIR) / ".." / ".." / "packaging" /
                        "70-lumavix.rules";
  std::ifstream in(file, std::ios::binary);
  if (!in) GTEST_SKIP() << file << " is not there yet";
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), udev_rule_text()) << file << " differs from the rule the doctor prints";
}

TEST(DoctorRule, RulesTextRecognition) {
  const struct {
    const char* text;
    bool grants;
  } cases[] = {
      {"SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"2a9c\", TAG+=\"uaccess\"\n", true},
      {"SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"2A9C\", TAG+=\"uaccess\"", true},  // no newline
      {"SUBSYSTEM==\"hidraw\", \\\n  ATTRS{idVendor}==\"2a9c\", \\\n  TAG+=\"uaccess\"\n", true},
      {"# SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"2a9c\", TAG+=\"uaccess\"\n", false},
      {"  # ATTRS{idVendor}==\"2a9c\", TAG+=\"uaccess\"\n", false},
      {"ATTRS{idVendor}==\"2a9c\", MODE=\"0666\"\n", false},
      // The vendor and the tag on different rules grant nothing.
      {"ATTRS{idVendor}==\"2a9c\", GROUP=\"video\"\nATTRS{idVendor}==\"1234\", TAG+=\"uaccess\"\n",
       false},
      {"", false},
      {"\\", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(rules_text_grants_access(c.text), c.grants) << "rules text: " << c.text;
}

TEST(DoctorParsing, UsbIds) {
  const struct {
    const char* text;
    std::optional<std::uint16_t> id;
  } cases[] = {
      {"2a9c\n", 0x2A9C}, {"0E51", 0x0E51}, {"e51 \n", 0x0E51}, {"0000\n", 0x0000},
      {"", std::nullopt}, {"\n", std::nullopt}, {"12345\n", std::nullopt},
      {"2a9g\n", std::nullopt}, {" 2a9c", std::nullopt}, {"-1", std::nullopt},
      {"2a9c\nxx", std::nullopt},
  };
  for (const auto& c : cases) {
    std::uint16_t id = 0xFFFF;
    const bool ok = parse_usb_id(c.text, id);
    EXPECT_EQ(ok, c.id.has_value()) << "text \"" << c.text << "\"";
    if (ok && c.id) {
      EXPECT_EQ(id, *c.id) << "text \"" << c.text << "\"";
    }
  }
}

TEST(DoctorParsing, ModeText) {
  const struct {
    mode_t mode;
    const char* text;
  } cases[] = {
      {S_IFCHR | 0660, "crw-rw----"}, {S_IFCHR | 0600, "crw-------"},
      {S_IFBLK | 0640, "brw-r-----"}, {S_IFREG | 0644, "-rw-r--r--"},
      {S_IFDIR | 0755, "drwxr-xr-x"}, {S_IFREG | 04755, "-rwsr-xr-x"},
      {S_IFREG | 02640, "-rw-r-S---"}, {S_IFDIR | 01777, "drwxrwxrwt"},
      {S_IFDIR | 01776, "drwxrwxrwT"}, {S_IFIFO | 0000, "p---------"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(mode_text(c.mode), c.text) << "mode 0" << std::oct << c.mode;
}

TEST(DoctorParsing, PermissionCauses) {
  const struct {
    std::vector<std::string> causes;
    bool permission;
  } cases[] = {
      {{}, false},
      {{"no HID device is present"}, false},
      {{"permission denied on /dev/hidraw3"}, true},
      {{"/dev/hidraw2 is busy", "permission denied on /dev/video0"}, true},
      {{"cannot open /dev/hidraw3: Permission denied"}, true},
      {{"/dev/hidraw3 is gone (device unplugged)"}, false},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& s : c.causes) joined += "[" + s + "]";
    EXPECT_EQ(causes_include_permission_problem(c.causes), c.permission) << "causes " << joined;
  }
}

TEST(DoctorScan, FindsCameraNodesAndSkipsHostileEntries) {
  FakeSystem sys;
  sys.add_hidraw(0, hid_uevent("0003:0000046D:0000C52B"));  // another vendor
  sys.add_hidraw(10, hid_uevent("0003:00002A9C:00000E52"));
  sys.add_hidraw(1, hid_uevent("0003:00002A9C:00000E51"));
  sys.add_hidraw(2, hid_uevent("0003:00002A9C:00001234"));  // not configured
  sys.add_hidraw(3, std::nullopt);                          // no uevent
  sys.add_hidraw(4, hid_uevent("0003:2A9C:"));              // malformed HID_ID
  sys.add_hidraw(5, std::string(20000, 'x'));               // oversized uevent
  sys.add_video(0, "2a9c\n", "0e5a\n");
  sys.add_dangling_video(1);
  sys.add_video(2, "", "0e51\n");          // empty idVendor
  sys.add_video(3, "046d\n", "0825\n");    // another vendor
  sys.add_video(4, "2a9c\n", std::nullopt);  // no idProduct
  sys.add_video(5, "2a9c\n", "0e71\n");
  sys.write("sys/class/video4linux/v4l-subdev0/uevent", "");  // not a video node

  TableProbe probe;
  probe.errors[sys.dev("hidraw1")] = EACCES;
  probe.errors[sys.dev("video5")] = EBUSY;
  const DoctorReport r = run_doctor(sys.roots(), probe.probe());

  const struct {
    std::string path;
    DoctorNodeKind kind;
    std::uint16_t product;
    bool configured;
    bool can_open;
    int error;
  } expected[] = {
      {sys.dev("hidraw1"), DoctorNodeKind::Hidraw, 0x0E51, true, false, EACCES},
      {sys.dev("hidraw2"), DoctorNodeKind::Hidraw, 0x1234, false, true, 0},
      {sys.dev("hidraw10"), DoctorNodeKind::Hidraw, 0x0E52, true, true, 0},
      {sys.dev("video0"), DoctorNodeKind::Video, 0x0E5A, true, true, 0},
      {sys.dev("video5"), DoctorNodeKind::Video, 0x0E71, true, false, EBUSY},
  };
  ASSERT_EQ(r.nodes.size(), std::size(expected));
  for (std::size_t i = 0; i < r.nodes.size(); ++i) {
    const DoctorNode& n = r.nodes[i];
    const auto& e = expected[i];
    SCOPED_TRACE("node " + std::to_string(i) + " expected " + e.path);
    EXPECT_EQ(n.path, e.path);
    EXPECT_EQ(n.kind, e.kind);
    EXPECT_EQ(n.vendor_id, 0x2A9C);
    EXPECT_EQ(n.product_id, e.product);
    EXPECT_EQ(n.configured, e.configured);
    EXPECT_EQ(n.can_open, e.can_open);
    EXPECT_EQ(n.error_code, e.error);
    EXPECT_EQ(n.error.empty(), e.error == 0) << n.error;
    EXPECT_EQ(n.mode, "-rw-rw----");
    EXPECT_FALSE(n.owner.empty());
    EXPECT_FALSE(n.group.empty());
  }
  EXPECT_EQ(r.nodes[0].error, "Permission denied");
  // Only matching nodes are probed.
  EXPECT_EQ(probe.asked.size(), std::size(expected));
  EXPECT_EQ(r.verdict(), DoctorVerdict::Usable);
}

TEST(DoctorScan, ListsTheUsbfsNodeOfEachVideoCameraOnce) {
  FakeSystem sys;
  sys.add_video(0, "2a9c\n", "0e5a\n");
  sys.add_video(1, "2a9c\n", "0e71\n");
  // video0's device has its bus and device numbers; video1's does not.
  sys.write("sys/devices/pci0000:00/usb1/1-3/busnum", "1\n");
  sys.write("sys/devices/pci0000:00/usb1/1-3/devnum", "4\n");
  sys.write("dev/bus/usb/001/004", "");
  TableProbe probe;
  probe.errors[sys.dev("bus/usb/001/004")] = EACCES;
  const DoctorReport r = run_doctor(sys.roots(), probe.probe());
  ASSERT_EQ(r.nodes.size(), 3u) << "two video nodes and one usbfs node";
  const DoctorNode& usb = r.nodes[2];
  EXPECT_EQ(usb.path, sys.dev("bus/usb/001/004"));
  EXPECT_EQ(usb.kind, DoctorNodeKind::Usb);
  EXPECT_EQ(usb.product_id, 0x0E5A) << "the usbfs node is video0's device";
  EXPECT_TRUE(usb.configured);
  EXPECT_EQ(usb.error_code, EACCES);
  EXPECT_EQ(r.verdict(), DoctorVerdict::Blocked);
  const std::vector<std::string> advice = doctor_advice(r);
  EXPECT_TRUE(std::any_of(advice.begin(), advice.end(), [](const std::string& a) {
    return a.find(kUdevRulePath) != std::string::npos;
  })) << "a refused usbfs node asks for the rule";
}

TEST(DoctorScan, EmptyOrMissingSysfsFindsNothing) {
  FakeSystem sys;
  TableProbe probe;
  EXPECT_TRUE(run_doctor(sys.roots(), probe.probe()).nodes.empty());
  DoctorRoots nowhere = sys.roots();
  nowhere.sysfs = sys.path("no-such-sys");
  const DoctorReport r = run_doctor(nowhere, probe.probe());
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_EQ(r.verdict(), DoctorVerdict::NoCamera);
  EXPECT_TRUE(probe.asked.empty());
}

TEST(DoctorScan, UeventThatIsNotARegularFileIsSkipped) {
  FakeSystem sys;
  sys.add_hidraw(1, std::nullopt);
  // A FIFO would block a plain read forever.
  const std::string hid = sys.path("sys/class/hidraw/hidraw1/device/uevent");
  ASSERT_EQ(::mkfifo(hid.c_str(), 0644), 0);
  TableProbe probe;
  EXPECT_TRUE(run_doctor(sys.roots(), probe.probe()).nodes.empty());
}

TEST(DoctorScan, NodeMissingFromDevStillListed) {
  FakeSystem sys;
  sys.add_hidraw(7, hid_uevent("0003:00002A9C:00000E61"));
  fs::remove(sys.dev("hidraw7"));
  const DoctorReport r = run_doctor(sys.roots(), probe_open_read_write);
  ASSERT_EQ(r.nodes.size(), 1u);
  EXPECT_TRUE(r.nodes[0].mode.empty());
  EXPECT_TRUE(r.nodes[0].owner.empty());
  EXPECT_FALSE(r.nodes[0].can_open);
  EXPECT_EQ(r.nodes[0].error_code, ENOENT);
  EXPECT_EQ(r.verdict(), DoctorVerdict::Blocked);
}

TEST(DoctorScan, RulesFolders) {
  const std::string grant = udev_rule_text();
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // relative path, content
    std::optional<std::string> found;                        // the rule file reported
  } cases[] = {
      {"none", {}, std::nullopt},
      {"in /usr/lib", {{"usr-rules/70-lumavix.rules", grant}}, "usr-rules/70-lumavix.rules"},
      {"first folder wins",
       {{"lib-rules/70-lumavix.rules", grant}, {"etc-rules/99-local.rules", grant}},
       "etc-rules/99-local.rules"},
      {"masked by an empty file of the same name",
       {{"etc-rules/70-lumavix.rules", ""}, {"usr-rules/70-lumavix.rules", grant}},
       std::nullopt},
      {"not a .rules file", {{"etc-rules/70-lumavix.rules.bak", grant}}, std::nullopt},
      {"vendor without uaccess",
       {{"etc-rules/50-cam.rules", "ATTRS{idVendor}==\"2a9c\", MODE=\"0666\"\n"}}, std::nullopt},
      {"other files first",
       {{"lib-rules/10-other.rules", "KERNEL==\"sda\"\n"}, {"lib-rules/80-cam.rules", grant}},
       "lib-rules/80-cam.rules"},
  };
  for (const auto& c : cases) {
    FakeSystem sys;
    for (const auto& [rel, content] : c.files) sys.write(rel, content);
    TableProbe probe;
    const DoctorReport r = run_doctor(sys.roots(), probe.probe());
    EXPECT_EQ(r.rule_installed, c.found.has_value()) << c.name;
    EXPECT_EQ(r.rule_file, c.found ? sys.path(*c.found) : std::string()) << c.name;
  }
}

DoctorNode node(const char* path, bool configured, int error, const char* group = "root") {
  DoctorNode n;
  n.path = path;
  n.configured = configured;
  n.can_open = error == 0;
  n.error_code = error;
  n.error = error ? std::strerror(error) : "";
  n.group = group;
  return n;
}

DoctorNode as(DoctorNodeKind kind, DoctorNode n) {
  n.kind = kind;
  return n;
}

TEST(DoctorVerdicts, FromNodes) {
  const struct {
    const char* name;
    std::vector<DoctorNode> nodes;
    DoctorVerdict verdict;
  } cases[] = {
      {"nothing", {}, DoctorVerdict::NoCamera},
      {"camera opens", {node("/dev/hidraw1", true, 0)}, DoctorVerdict::Usable},
      {"camera refuses", {node("/dev/hidraw1", true, EACCES)}, DoctorVerdict::Blocked},
      {"one of two opens",
       {node("/dev/hidraw1", true, EACCES), node("/dev/video0", true, 0)},
       DoctorVerdict::Usable},
      {"only another product, which opens", {node("/dev/hidraw1", false, 0)},
       DoctorVerdict::NotConfigured},
      {"other product opens, camera refuses",
       {node("/dev/hidraw1", false, 0), node("/dev/hidraw2", true, EPERM)},
       DoctorVerdict::Blocked},
      {"video and its usbfs node open",
       {as(DoctorNodeKind::Video, node("/dev/video0", true, 0)),
        as(DoctorNodeKind::Usb, node("/dev/bus/usb/001/004", true, 0))},
       DoctorVerdict::Usable},
      {"video opens, its usbfs node refuses: the flash is out of reach",
       {as(DoctorNodeKind::Video, node("/dev/video0", true, 0)),
        as(DoctorNodeKind::Usb, node("/dev/bus/usb/001/004", true, EACCES))},
       DoctorVerdict::Blocked},
      {"HID opens, usbfs refuses: HID carries everything",
       {node("/dev/hidraw1", true, 0), as(DoctorNodeKind::Video, node("/dev/video0", true, 0)),
        as(DoctorNodeKind::Usb, node("/dev/bus/usb/001/004", true, EACCES))},
       DoctorVerdict::Usable},
      {"a usbfs node alone", {as(DoctorNodeKind::Usb, node("/dev/bus/usb/001/004", true, 0))},
       DoctorVerdict::Blocked},
  };
  for (const auto& c : cases) {
    DoctorReport r;
    r.nodes = c.nodes;
    EXPECT_EQ(r.verdict(), c.verdict) << c.name;
    EXPECT_EQ(r.usable(), c.verdict == DoctorVerdict::Usable) << c.name;
  }
}

bool any_contains(const std::vector<std::string>& advice, const std::string& what) {
  for (const std::string& a : advice)
    if (a.find(what) != std::string::npos) return true;
  return false;
}

TEST(DoctorAdvice, SaysWhatToDo) {
  const struct {
    const char* name;
    std::vector<DoctorNode> nodes;
    bool rule_installed;
    std::vector<std::string> contains;  // each must appear in some entry
    bool rule_advised;
  } cases[] = {
      {"all well", {node("/dev/hidraw1", true, 0)}, true, {}, false},
      {"no camera, no rule", {}, false, {"connect the camera"}, true},
      {"opens but no rule", {node("/dev/hidraw1", true, 0)}, false, {}, true},
      {"refused without rule",
       {node("/dev/hidraw1", true, EACCES)},
       false,
       {"reconnect the camera"},
       true},
      {"refused although the rule is there",
       {node("/dev/hidraw1", true, EACCES, "plugdev")},
       true,
       {"remote login", "(plugdev)"},
       true},
      {"busy", {node("/dev/video0", true, EBUSY)}, true, {"/dev/video0 is busy"}, false},
      {"vanished", {node("/dev/video0", true, ENOENT)}, true, {"/dev/video0 is missing"}, false},
      {"other product",
       {node("/dev/hidraw1", false, 0)},
       true,
       {"not a product this tool updates"},
       false},
  };
  for (const auto& c : cases) {
    DoctorReport r;
    r.nodes = c.nodes;
    r.rule_installed = c.rule_installed;
    const std::vector<std::string> advice = doctor_advice(r);
    for (const std::string& want : c.contains)
      EXPECT_TRUE(any_contains(advice, want)) << c.name << ": no advice mentions \"" << want << "\"";
    EXPECT_EQ(any_contains(advice, kUdevRulePath), c.rule_advised) << c.name;
    EXPECT_EQ(any_contains(advice, kUdevReloadCommand), c.rule_advised) << c.name;
    if (c.contains.empty() && !c.rule_advised) {
      EXPECT_TRUE(advice.empty()) << c.name << ": " << advice.front();
    }
  }
}

// A virtual clock that runs a hook after every sleep, so a test can change
// the world at a given virtual time.
class HookClock final : public Clock {
 public:
  std::function<void(std::uint32_t now_ms)> after_sleep;
  std::uint32_t sleeps = 0;

  std::uint32_t ticks_ms() override { return inner_.ticks_ms(); }
  void sleep_ms(std::uint32_t ms) override {
    inner_.sleep_ms(ms);
    ++sleeps;
    if (after_sleep) after_sleep(inner_.ticks_ms());
  }
  void sleep_us(std::uint32_t us) override { inner_.sleep_us(us); }

 private:
  VirtualClock inner_{5000};
};

class ClockGuard {
 public:
  explicit ClockGuard(Clock& c) { set_clock(&c); }
  ~ClockGuard() { set_clock(nullptr); }
  ClockGuard(const ClockGuard&) = delete;
  ClockGuard& operator=(const ClockGuard&) = delete;
};

TEST(NodeOpenRetry, ErrorsThatUdevClearsAreRetriedWithinTheWindow) {
  const struct {
    int error;
    std::optional<std::uint32_t> clears_after_ms;  // none: never
    int result;                                    // 0: opened, else -errno
    std::uint32_t sleeps;
  } cases[] = {
      {EACCES, 200, 0, 4},
      {EPERM, 50, 0, 1},
      {ENOENT, 999, 0, 20},
      {EACCES, std::nullopt, -EACCES, kNodeOpenRetryWindowMs / kNodeOpenRetryStepMs},
      {ENOENT, std::nullopt, -ENOENT, kNodeOpenRetryWindowMs / kNodeOpenRetryStepMs},
      // Not something udev fixes: no retry.
      {EBUSY, std::nullopt, -EBUSY, 0},
      {ENODEV, std::nullopt, -ENODEV, 0},
      {ENOTDIR, std::nullopt, -ENOTDIR, 0},
  };
  for (const auto& c : cases) {
    HookClock clk;
    ClockGuard guard(clk);
    const std::uint32_t start = clk.ticks_ms();
    int attempts = 0;
    const NodeOpener opener = [&](const std::string& path, int flags) {
      ++attempts;
      EXPECT_EQ(path, "/dev/hidraw3");
      EXPECT_EQ(flags, O_RDWR);
      if (c.clears_after_ms && clk.ticks_ms() - start >= *c.clears_after_ms)
        return ::open("/dev/null", O_RDWR | O_CLOEXEC);
      return -c.error;
    };
    const int fd = open_node_with_retry("/dev/hidraw3", O_RDWR, opener);
    const std::string what = std::string(std::strerror(c.error)) + " clearing after " +
                             (c.clears_after_ms ? std::to_string(*c.clears_after_ms) : "never");
    if (c.result == 0) {
      EXPECT_GE(fd, 0) << what;
      if (fd >= 0) ::close(fd);
    } else {
      EXPECT_EQ(fd, c.result) << what;
    }
    EXPECT_EQ(clk.sleeps, c.sleeps) << what;
    EXPECT_EQ(attempts, static_cast<int>(c.sleeps) + 1) << what;
    EXPECT_LE(clk.ticks_ms() - start, kNodeOpenRetryWindowMs) << what;
  }
}

TEST(NodeOpenRetry, StopsEvenWhenTheClockStands) {
  // A clock whose sleeps do not advance it must not trap the open.
  class FrozenClock final : public Clock {
   public:
    std::uint32_t ticks_ms() override { return 7; }
    void sleep_ms(std::uint32_t) override { ++sleeps; }
    void sleep_us(std::uint32_t) override {}
    std::uint32_t sleeps = 0;
  } clk;
  ClockGuard guard(clk);
  const int fd = open_node_with_retry("/x", O_RDWR, [](const std::string&, int) { return -EACCES; });
  EXPECT_EQ(fd, -EACCES);
  EXPECT_EQ(clk.sleeps, kNodeOpenRetryWindowMs / kNodeOpenRetryStepMs);
}

TEST(NodeOpenRetry, HidBackendOpensANodeThatAppearsLate) {
  TempDir dir;
  const std::string path = dir.path() + "/hidraw3";
  {
    // The node is made 300 virtual ms after the first attempt.
    HookClock clk;
    ClockGuard guard(clk);
    const std::uint32_t start = clk.ticks_ms();
    clk.after_sleep = [&](std::uint32_t now) {
      if (now - start >= 300 && !fs::exists(path)) dir.write("hidraw3", "");
    };
    LinuxHidBackend backend(std::vector<HidrawNode>{});
    SysError err;
    auto dev = backend.open(path, err);
    ASSERT_NE(dev, nullptr) << err.message;
    EXPECT_TRUE(err.empty()) << err.message;
    EXPECT_EQ(clk.ticks_ms() - start, 300u);
  }
  {
    // A node that never comes keeps its message, after the whole window.
    HookClock clk;
    ClockGuard guard(clk);
    const std::uint32_t start = clk.ticks_ms();
    LinuxHidBackend backend(std::vector<HidrawNode>{});
    SysError err;
    const std::string missing = dir.path() + "/hidraw9";
    EXPECT_EQ(backend.open(missing, err), nullptr);
    EXPECT_EQ(err.code, ENOENT);
    EXPECT_EQ(err.message, node_open_message(missing, ENOENT));
    EXPECT_EQ(clk.ticks_ms() - start, kNodeOpenRetryWindowMs);
  }
}

TEST(NodeOpenRetry, RealPermissionThatArrivesLate) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens files of any mode (covered through the opener)";
  TempDir dir;
  dir.write("hidraw4", "");
  const std::string path = dir.path() + "/hidraw4";
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  HookClock clk;
  ClockGuard guard(clk);
  const std::uint32_t start = clk.ticks_ms();
  clk.after_sleep = [&](std::uint32_t now) {
    if (now - start >= 150) ::chmod(path.c_str(), 0600);
  };
  const int fd = open_node_with_retry(path, O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(-fd);
  ::close(fd);
  EXPECT_EQ(clk.ticks_ms() - start, 150u);
}

TEST(NodeOpenRetry, OnlyNodesWhosePermissionsMayStillChangeAreWaitedFor) {
  const struct {
    timespec ctime, now;
    bool fresh;
  } cases[] = {
      {{1000, 0}, {1000, 0}, true},
      {{1000, 0}, {1002, 999000000}, true},
      {{1000, 0}, {1003, 0}, false},
      {{1000, 500000000}, {1003, 400000000}, true},
      {{1000, 0}, {900, 0}, true},  // changed "in the future": the clock was set back
      {{0, 0}, {1700000000, 0}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(node_is_fresh(c.ctime, c.now), c.fresh)
        << "ctime " << c.ctime.tv_sec << "." << c.ctime.tv_nsec << ", now " << c.now.tv_sec
        << "." << c.now.tv_nsec << ": expected " << (c.fresh ? "fresh" : "settled");
  }
}

TEST(NodeOpenRetry, LongRefusedNodeFailsAtOnce) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens files of any mode";
  HookClock clk;
  ClockGuard guard(clk);
  const std::uint32_t start = clk.ticks_ms();
  // A file whose permissions were set long ago and that no user may write.
  const int fd = open_node_with_retry("/etc/shadow", O_RDWR | O_CLOEXEC);
  EXPECT_EQ(fd, -EACCES);
  EXPECT_EQ(clk.ticks_ms() - start, 0u) << "expected no wait for a node that will not change";
}

}  // namespace
}  // namespace lumavix
