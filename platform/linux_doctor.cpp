#include "platform/linux_doctor.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>
#include <system_error>

#include "devlib/clock.h"
#include "devlib/platform.h"
#include "devlib/trace.h"
#include "firmware/product_config.h"
#include "platform/linux_hid.h"
#include "platform/linux_usb.h"
#include "platform/sys_call.h"

namespace lumavix {

namespace {

namespace fs = std::filesystem;

// The product ids in the order the rule lists them.
constexpr std::uint16_t kProductIds[] = {ProductIdQA, ProductIdQB, ProductIdQAlt,
                                         ProductIdRA, ProductIdRB, ProductIdR2};

// Longest sysfs attribute read (uevent files are a few hundred bytes, ids
// five) and longest rules file read.
constexpr std::size_t kMaxAttributeBytes = 16384;
constexpr std::size_t kMaxRulesFileBytes = 1u << 20;

std::string hex4_lower(std::uint16_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s(4, '0');
  for (int i = 3; i >= 0; --i, v = static_cast<std::uint16_t>(v >> 4)) s[i] = kDigits[v & 0xF];
  return s;
}

std::string hex4_upper(std::uint16_t v) {
  std::string s = hex4_lower(v);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Reads a whole regular file of at most `limit` bytes. Anything else (a
// missing file, a device or FIFO planted in a tree, a longer file) is false.
bool read_small_file(const std::string& path, std::size_t limit, std::string& out) {
  out.clear();
  const int fd = sys_open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char chunk[4096];
  while (ok) {
    const ssize_t n = sys_read(fd, chunk, sizeof chunk);
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      ok = false;
      break;
    }
    out.append(chunk, static_cast<std::size_t>(n));
  }
  sys_close(fd);
  if (!ok) out.clear();
  return ok;
}

// The N of "<prefix>N", or -1 when the name is not of that form.
long node_number(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return -1;
  const std::string_view digits = name.substr(prefix.size());
  long n = -1;
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return -1;
  return n;
}

struct ClassEntry {
  long number;
  std::string name;
  std::string syspath;
};

// The entries "<prefix>N" of a sysfs class folder, by number. A missing
// folder (no such driver loaded) is an empty list.
std::vector<ClassEntry> class_entries(const std::string& dir, std::string_view prefix) {
  std::vector<ClassEntry> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const long n = node_number(name, prefix);
    if (n >= 0) out.push_back({n, name, it->path().string()});
  }
  std::sort(out.begin(), out.end(),
            [](const ClassEntry& a, const ClassEntry& b) { return a.number < b.number; });
  return out;
}

std::string user_name(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name)
    return found->pw_name;
  return std::to_string(uid);
}

std::string group_name(gid_t gid) {
  std::vector<char> buf(16384);
  group gr{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found && found->gr_name)
    return found->gr_name;
  return std::to_string(gid);
}

// Owner, group, mode and the probe's answer for one node.
void examine_node(DoctorNode& node, const NodeProbe& probe) {
  struct stat st {};
  if (::stat(node.path.c_str(), &st) == 0) {
    node.owner = user_name(st.st_uid);
    node.group = group_name(st.st_gid);
    node.mode = mode_text(st.st_mode);
  }
  node.error_code = probe ? probe(node.path) : ENOSYS;
  node.can_open = node.error_code == 0;
  if (!node.can_open) node.error = std::strerror(node.error_code);
}

void scan_hidraw(const DoctorRoots& roots, const NodeProbe& probe, DoctorReport& report) {
  for (const ClassEntry& e : class_entries(roots.sysfs + "/class/hidraw", "hidraw")) {
    std::string uevent;
    if (!read_small_file(e.syspath + "/device/uevent", kMaxAttributeBytes, uevent)) continue;
    HidInterfaceInfo info;
    if (!parse_hid_uevent(uevent, info) || info.vendor_id != VendorId) continue;
    DoctorNode node;
    node.path = roots.dev + "/" + e.name;
    node.kind = DoctorNodeKind::Hidraw;
    node.vendor_id = info.vendor_id;
    node.product_id = info.product_id;
    node.configured = is_configured_product(info.product_id);
    examine_node(node, probe);
    report.nodes.push_back(std::move(node));
  }
}

// The video nodes, then the usbfs node of each USB device they belong to:
// flash and I2C access to a camera without the HID interface goes through
// that node.
void scan_video(const DoctorRoots& roots, const NodeProbe& probe, DoctorReport& report) {
  std::vector<DoctorNode> usb_nodes;
  std::set<std::string> usb_devices;
  for (const ClassEntry& e : class_entries(roots.sysfs + "/class/video4linux", "video")) {
    // `device` is the USB interface; its parent folder is the USB device.
    std::error_code ec;
    const fs::path intf = fs::canonical(e.syspath + "/device", ec);
    if (ec || !intf.has_parent_path()) continue;
    const std::string usb = intf.parent_path().string();
    std::string text;
    std::uint16_t vendor = 0, product = 0;
    if (!read_small_file(usb + "/idVendor", kMaxAttributeBytes, text) ||
        !parse_usb_id(text, vendor) || vendor != VendorId)
      continue;
    if (!read_small_file(usb + "/idProduct", kMaxAttributeBytes, text) ||
        !parse_usb_id(text, product))
      continue;
    DoctorNode node;
    node.path = roots.dev + "/" + e.name;
    node.kind = DoctorNodeKind::Video;
    node.vendor_id = vendor;
    node.product_id = product;
    node.configured = is_configured_product(product);
    examine_node(node, probe);
    if (usb_devices.insert(usb).second) {
      SysError err;
      DoctorNode raw = node;
      raw.path = usbfs_node(usb, err, roots.dev);
      raw.kind = DoctorNodeKind::Usb;
      if (!raw.path.empty()) usb_nodes.push_back(std::move(raw));
    }
    report.nodes.push_back(std::move(node));
  }
  for (DoctorNode& n : usb_nodes) {
    examine_node(n, probe);
    report.nodes.push_back(std::move(n));
  }
}

void scan_rules(const DoctorRoots& roots, DoctorReport& report) {
  std::set<std::string> seen;
  for (const std::string& dir : roots.rules_dirs) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() > 6 && name.ends_with(".rules")) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
      // udev reads only the first of equally named files; one that is empty
      // or links to /dev/null masks the later ones.
      if (!seen.insert(f.filename().string()).second) continue;
      std::string text;
      if (!read_small_file(f.string(), kMaxRulesFileBytes, text)) continue;
      if (rules_text_grants_access(text)) {
        report.rule_installed = true;
        report.rule_file = f.string();
        return;
      }
    }
  }
}

bool needs_rule(const DoctorReport& report) {
  if (!report.rule_installed) return true;
  return std::any_of(report.nodes.begin(), report.nodes.end(), [](const DoctorNode& n) {
    return n.configured && !n.can_open && (n.error_code == EACCES || n.error_code == EPERM);
  });
}

}  // namespace

int probe_open_read_write(const std::string& path) {
  const int fd = sys_open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -fd;
  sys_close(fd);
  return 0;
}

DoctorVerdict DoctorReport::verdict() const {
  if (nodes.empty()) return DoctorVerdict::NoCamera;
  bool configured = false, hid_opens = false, video_opens = false, usb_refused = false;
  for (const DoctorNode& n : nodes) {
    if (!n.configured) continue;
    configured = true;
    switch (n.kind) {
      case DoctorNodeKind::Hidraw: hid_opens |= n.can_open; break;
      case DoctorNodeKind::Video: video_opens |= n.can_open; break;
      case DoctorNodeKind::Usb: usb_refused |= !n.can_open; break;
    }
  }
  // Over the video node alone registers can be read but the flash not
  // written: that needs the usbfs node too.
  if (hid_opens || (video_opens && !usb_refused)) return DoctorVerdict::Usable;
  return configured ? DoctorVerdict::Blocked : DoctorVerdict::NotConfigured;
}

std::string udev_rule_text() {
  std::string products;
  for (std::uint16_t p : kProductIds) {
    if (!products.empty()) products += '|';
    products += hex4_lower(p);
  }
  const std::string match = "ATTRS{idVendor}==\"" + hex4_lower(VendorId) +
                            "\", ATTRS{idProduct}==\"" + products + "\", TAG+=\"uaccess\"\n";
  // The USB device node (usbfs) carries the raw control transfers to a
  // camera without the HID interface.
  return "# LUMAVIX document cameras: let the user at the seat open the camera's nodes.\n"
         "SUBSYSTEM==\"hidraw\", " +
         match + "SUBSYSTEM==\"video4linux\", " + match +
         "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", " + match;
}

bool is_configured_product(std::uint16_t product_id) {
  return std::find(std::begin(kProductIds), std::end(kProductIds), product_id) !=
         std::end(kProductIds);
}

std::string mode_text(mode_t mode) {
  std::string s(10, '-');
  if (S_ISCHR(mode)) s[0] = 'c';
  else if (S_ISBLK(mode)) s[0] = 'b';
  else if (S_ISDIR(mode)) s[0] = 'd';
  else if (S_ISLNK(mode)) s[0] = 'l';
  else if (S_ISFIFO(mode)) s[0] = 'p';
  else if (S_ISSOCK(mode)) s[0] = 's';
  static constexpr mode_t kBits[9] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP,
                                      S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
  static constexpr char kChars[] = "rwx";
  for (int i = 0; i < 9; ++i) {
    if (mode & kBits[i]) s[1 + i] = kChars[i % 3];
  }
  // Set-id and sticky bits show in the execute slots, upper-case without x.
  const auto special = [&](int slot, mode_t bit, char with_x) {
    if (!(mode & bit)) return;
    s[slot] = s[slot] == 'x' ? with_x
                             : static_cast<char>(std::toupper(static_cast<unsigned char>(with_x)));
  };
  special(3, S_ISUID, 's');
  special(6, S_ISGID, 's');
  special(9, S_ISVTX, 't');
  return s;
}

bool parse_usb_id(const std::string& text, std::uint16_t& out) {
  std::size_t end = text.size();
  while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  if (end == 0 || end > 4) return false;
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + end, value, 16);
  if (ec != std::errc() || ptr != text.data() + end) return false;
  out = static_cast<std::uint16_t>(value);
  return true;
}

bool rules_text_grants_access(const std::string& text) {
  const std::string vendor = hex4_lower(VendorId);
  std::string logical;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    // A backslash at the end continues the rule on the next line.
    const bool continued = !line.empty() && line.back() == '\\';
    if (continued) line.pop_back();
    logical += line;
    if (continued && pos <= text.size()) continue;
    std::string lower;
    lower.reserve(logical.size());
    for (char c : logical) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    logical.clear();
    const std::size_t first = lower.find_first_not_of(" \t\r");
    if (first == std::string::npos || lower[first] == '#') continue;
    if (lower.find(vendor) != std::string::npos && lower.find("uaccess") != std::string::npos)
      return true;
  }
  return false;
}

DoctorReport run_doctor(const DoctorRoots& roots, const NodeProbe& probe) {
  DoctorReport report;
  scan_hidraw(roots, probe, report);
  scan_video(roots, probe, report);
  scan_rules(roots, report);
  return report;
}

std::vector<std::string> doctor_advice(const DoctorReport& report) {
  std::vector<std::string> advice;
  const DoctorVerdict verdict = report.verdict();
  if (verdict == DoctorVerdict::NoCamera)
    advice.push_back("connect the camera: no device with USB vendor id " + hex4_upper(VendorId) +
                     " is present");
  if (verdict == DoctorVerdict::NotConfigured) {
    std::set<std::uint16_t> ids;
    for (const DoctorNode& n : report.nodes) ids.insert(n.product_id);
    std::string list;
    for (std::uint16_t id : ids) list += (list.empty() ? "" : ", ") + hex4_upper(id);
    advice.push_back("the connected device (product id " + list +
                     ") is not a product this tool updates");
  }
  if (needs_rule(report)) {
    advice.push_back(std::string("install the udev rule as ") + kUdevRulePath +
                     ", then reload udev: " + kUdevReloadCommand);
    if (verdict != DoctorVerdict::NoCamera) advice.push_back("then unplug and reconnect the camera");
  }
  bool seat_hint = false;
  for (const DoctorNode& n : report.nodes) {
    if (!n.configured || n.can_open) continue;
    switch (n.error_code) {
      case EACCES:
      case EPERM:
        if (report.rule_installed && !seat_hint) {
          seat_hint = true;
          advice.push_back("the rule grants access only to the user logged in at this "
                           "machine's own screen and keyboard; over a remote login, add the "
                           "user to the group of " + n.path +
                           (n.group.empty() ? std::string() : " (" + n.group + ")") +
                           " or run the tool as root");
        }
        break;
      case EBUSY:
        advice.push_back(n.path + " is busy: close the other program that uses the camera");
        break;
      case ENOENT:
      case ENODEV:
      case ENXIO:
        advice.push_back(n.path + " is missing although the kernel lists it: reconnect the "
                         "camera");
        break;
      default:
        advice.push_back(n.path + " cannot be opened: " + n.error);
        break;
    }
  }
  return advice;
}

bool causes_include_permission_problem(const std::vector<std::string>& causes) {
  // Either the backends' own sentence or an errno text ("Permission denied").
  return std::any_of(causes.begin(), causes.end(), [](const std::string& c) {
    std::string lower = c;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return lower.find("permission denied") != std::string::npos;
  });
}

bool node_is_fresh(const struct timespec& ctime, const struct timespec& now) {
  const std::int64_t age_ms = (static_cast<std::int64_t>(now.tv_sec) - ctime.tv_sec) * 1000 +
                              (static_cast<std::int64_t>(now.tv_nsec) - ctime.tv_nsec) / 1000000;
  return age_ms < kNodeFreshMs;
}

namespace {

// A node that cannot be examined is treated as fresh: the retry stays
// bounded by its window either way.
bool node_may_still_change(const std::string& path) {
  struct stat st;
  struct timespec now;
  if (::stat(path.c_str(), &st) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0) return true;
  return node_is_fresh(st.st_ctim, now);
}

}  // namespace

int open_node_with_retry(const std::string& path, int flags, const NodeOpener& opener) {
  constexpr std::uint32_t kMaxSleeps = kNodeOpenRetryWindowMs / kNodeOpenRetryStepMs;
  const auto open_once = [&]() -> int {
    return opener ? opener(path, flags) : sys_open(path.c_str(), flags);
  };
  const std::uint32_t start = clock().ticks_ms();
  for (std::uint32_t sleeps = 0;; ++sleeps) {
    const int fd = open_once();
    if (fd >= 0) {
      if (sleeps > 0) DebugTrace("%s opened after %u ms", path.c_str(), elapsed_ms(start));
      return fd;
    }
    const int code = -fd;
    bool transient = code == EACCES || code == EPERM || code == ENOENT;
    // Refused access to a node that has long existed will not be granted by
    // waiting. Injected openers stand for nodes without a real file.
    if (transient && sleeps == 0 && code != ENOENT && !opener && !node_may_still_change(path))
      transient = false;
    // Both bounds: the window in clock time, and a count of steps in case the
    // clock does not advance while sleeping.
    if (!transient || sleeps >= kMaxSleeps || elapsed_ms(start) >= kNodeOpenRetryWindowMs)
      return -code;
    clock().sleep_ms(kNodeOpenRetryStepMs);
  }
}

}  // namespace lumavix
