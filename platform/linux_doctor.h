// What stands between this machine and a camera: the camera's device nodes
// (hidraw and video4linux) found through sysfs, who owns them, whether this
// user can open them, and whether the udev rule that hands them to the user
// at the seat is installed. Also the open of a camera node that udev is
// still setting up, shared by the HID and video backends.
//
// Every path the scan reads comes from DoctorRoots and every open attempt
// goes through a NodeProbe, so the scan runs unchanged against a fake sysfs
// tree in a scratch directory and permission cases need no real modes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace lumavix {

// ---------------------------------------------------------------- doctor --

// Where the scan looks. The defaults are the real system's.
struct DoctorRoots {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
  // In udev's order of precedence: a file name found in an earlier folder
  // hides the same name in the later ones.
  std::vector<std::string> rules_dirs = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d",
                                         "/lib/udev/rules.d"};
};

// Tries to open a device node for reading and writing and closes it again.
// Returns 0, or the errno of the failed open.
using NodeProbe = std::function<int(const std::string& path)>;

// The real probe: open(O_RDWR | O_NONBLOCK) then close.
[[nodiscard]] int probe_open_read_write(const std::string& path);

// Usb: the usbfs node (/dev/bus/usb/BBB/DDD) of a USB device that has a
// video node, through which its flash is reached without the HID interface.
enum class DoctorNodeKind : std::uint8_t { Hidraw, Video, Usb };

// One device node whose USB device carries the maker's vendor id.
struct DoctorNode {
  std::string path;  // <dev root>/hidrawN, <dev root>/videoN or <dev root>/bus/usb/BBB/DDD
  DoctorNodeKind kind = DoctorNodeKind::Hidraw;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  bool configured = false;  // the product id is one of this build's
  // Of the node itself; empty when it cannot be examined. Owner and group
  // fall back to the numeric id when no name is known.
  std::string owner;
  std::string group;
  std::string mode;  // "crw-rw----"
  bool can_open = false;
  int error_code = 0;  // errno of the failed open, 0 when it opened
  std::string error;   // its text, empty when it opened
};

// How things stand, from the most to the least hopeful.
enum class DoctorVerdict : std::uint8_t {
  Usable,         // a configured hidraw node opens read-write, or a video node
                  // and the usbfs node of its device
  NotConfigured,  // only nodes of the maker's other products are present
  Blocked,        // a configured camera node is present but none opens
  NoCamera,       // no node carries the vendor id
};

struct DoctorReport {
  // hidraw nodes by number, then video nodes, then the usbfs nodes of the
  // video nodes' USB devices.
  std::vector<DoctorNode> nodes;
  bool rule_installed = false;
  std::string rule_file;  // the first rules file that grants access, if any
  [[nodiscard]] DoctorVerdict verdict() const;
  [[nodiscard]] bool usable() const { return verdict() == DoctorVerdict::Usable; }
};

// Where the rule belongs and how udev is told about it.
inline constexpr const char* kUdevRulePath = "/etc/udev/rules.d/70-lumavix.rules";
inline constexpr const char* kUdevReloadCommand =
    "sudo udevadm control --reload && sudo udevadm trigger";

// The udev rule, made from the build's vendor and product ids: the whole
// file, comment line first, newline-terminated.
[[nodiscard]] std::string udev_rule_text();

// Whether `product_id` is one of the build's configured product ids.
[[nodiscard]] bool is_configured_product(std::uint16_t product_id);

// "crw-rw----" for a st_mode value.
[[nodiscard]] std::string mode_text(mode_t mode);

// Parses the text of a sysfs idVendor / idProduct file: one to four
// hexadecimal digits, optionally followed by white space. False for
// anything else (an empty file included).
[[nodiscard]] bool parse_usb_id(const std::string& text, std::uint16_t& out);

// Whether a rules file's text matches the camera's vendor id and tags for
// uaccess, outside comment lines.
[[nodiscard]] bool rules_text_grants_access(const std::string& text);

// Scans sysfs and the rules folders and probes every matching node.
[[nodiscard]] DoctorReport run_doctor(const DoctorRoots& roots, const NodeProbe& probe);

// What the user should do, one sentence or command per entry: the rule and
// the reload command when the rule is missing or a node does not open, and
// a few words on the other causes seen. Empty when nothing needs doing.
[[nodiscard]] std::vector<std::string> doctor_advice(const DoctorReport& report);

// Whether any of the library's reasons for "no camera" is a node this user
// may not open ("permission denied on /dev/hidraw3", in any letter case),
// which the rule fixes.
[[nodiscard]] bool causes_include_permission_problem(const std::vector<std::string>& causes);

// ------------------------------------------------------ opening a new node --

// udev grants the user at the seat access to a new node (and finishes
// creating it) a moment after the kernel announces it, so an open that fails
// with EACCES, EPERM or ENOENT is retried for this long, in steps of
// kNodeOpenRetryStepMs, through the library's clock.
inline constexpr std::uint32_t kNodeOpenRetryWindowMs = 1000;
inline constexpr std::uint32_t kNodeOpenRetryStepMs = 50;

// udev grants access within moments of creating a node; a node whose status
// last changed longer ago than this keeps its permissions, so a refused open
// of it is not retried (the window's device watch would otherwise wait a
// second on every pass while access stays denied).
inline constexpr std::int64_t kNodeFreshMs = 3000;

// Whether a node whose status changed at `ctime` may still be getting its
// permissions at `now` (both wall-clock times). A change time in the future
// (a clock set back) counts as fresh.
[[nodiscard]] bool node_is_fresh(const struct timespec& ctime, const struct timespec& now);

// One open attempt: a descriptor, or -errno.
using NodeOpener = std::function<int(const std::string& path, int flags)>;

// Opens `path` with `flags`, retried on the errors above within the retry
// window. Without an `opener`, open(2) is used (itself retried on EINTR).
// Returns the descriptor, or -errno of the last attempt.
[[nodiscard]] int open_node_with_retry(const std::string& path, int flags,
                                       const NodeOpener& opener = {});

}  // namespace lumavix
