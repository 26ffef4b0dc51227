// The support bundle of `doctor --bundle`: one .tar.gz with what a support
// engineer asks for first (the tool's version and build, the system, the
// cameras found, the doctor's findings, the udev rules in force and the
// traces of the last runs). Serial numbers are masked unless asked for; the
// firmware file is never part of it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumavix::cli {

struct BundleFile {
  std::string name;  // rules: the file's absolute path; runs: the file name
  std::string text;
};

struct BundleInput {
  std::string version;       // version.txt
  std::string system;        // system.txt: the kernel and /etc/os-release
  std::string cameras_json;  // what `list --json` prints
  std::string doctor_json;   // what `doctor --json` prints
  std::vector<BundleFile> rules;
  std::vector<BundleFile> runs;
  // Serial numbers known to belong to cameras (their USB serials, their
  // user-data serial), masked wherever they appear.
  std::vector<std::string> serials;
};

// `serial` with all but its last few characters replaced by '*': four of
// twelve or more, three of eight or more, two of five or more, none of a
// shorter one.
[[nodiscard]] std::string mask_serial(std::string_view serial);

// `text` with every serial number masked: each of `known` (four characters
// or longer) wherever it appears; the value of a field named like one
// ("serial": "...", serialNumber=..., ATTRS{serial}=="...", "serial number
// ..."); and the serial part of a /dev/.../by-id/usb-VENDOR_MODEL_SERIAL-...
// name.
[[nodiscard]] std::string mask_serials(std::string_view text,
                                       const std::vector<std::string>& known);

// The USB serial numbers of the devices under <sysfs_root>/bus/usb/devices
// that carry `vendor_id`.
[[nodiscard]] std::vector<std::string> usb_serials(const std::string& sysfs_root,
                                                   std::uint16_t vendor_id);

// uname(2) and the operating system's os-release file, as text.
[[nodiscard]] std::string system_text();

// Reads a regular file of at most `limit` bytes; false for anything else.
[[nodiscard]] bool read_text_file(const std::string& path, std::size_t limit, std::string& out);

// The .tar.gz bytes: every member under "lumavix-support-<time>/", a
// README.txt first that lists them. `now` is the time of the bundle
// (seconds since 1970); `members` receives the member names when given.
[[nodiscard]] std::string bundle_archive(const BundleInput& in, bool with_serials,
                                         std::int64_t now,
                                         std::vector<std::string>* members = nullptr);

}  // namespace lumavix::cli
