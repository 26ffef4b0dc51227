// The support bundle's contents; the contracts are in support_bundle.h.
#include "cli/support_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "cli/tar_gz.h"

namespace lumavix::cli {
namespace {

namespace fs = std::filesystem;

bool iequal_at(std::string_view text, std::size_t pos, std::string_view word) {
  if (pos + word.size() > text.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[pos + i])) != word[i]) return false;
  }
  return true;
}

bool is_ident(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool ends_value(char c) {
  return std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ';' || c == ')' ||
         c == ']' || c == '}' || c == '"' || c == '\'';
}

bool is_empty_value(std::string_view v) {
  return v.empty() || v == "null" || v == "none" || v == "(none)" || v == "-";
}

// Masks the value of every field named like a serial number.
void mask_keyed_values(std::string& s) {
  for (std::size_t i = 0; i + 6 <= s.size(); ++i) {
    if (!iequal_at(s, i, "serial")) continue;
    std::size_t j = i + 6;
    const std::size_t ident_start = j;
    while (j < s.size() && is_ident(s[j])) ++j;
    bool number_key = false;
    for (std::size_t k = ident_start; k + 6 <= j; ++k)
      number_key = number_key || iequal_at(s, k, "number");
    if (j == ident_start && iequal_at(s, j, " number")) {
      j += 7;
      number_key = true;
    }
    if (j < s.size() && s[j] == '}') ++j;
    if (j < s.size() && (s[j] == '"' || s[j] == '\'')) ++j;
    std::size_t gap = j;
    while (j < s.size() && (s[j] == ' ' || s[j] == '\t')) ++j;
    bool separated = false;
    if (j < s.size() && s[j] == ':') {
      ++j;
      separated = true;
    }
    if (j < s.size() && s[j] == '=') {
      ++j;
      separated = true;
      if (j < s.size() && s[j] == '=') ++j;
    }
    gap = j - gap;
    // Without '=' or ':' only "serial number  VALUE" counts: "serial flash"
    // is not a serial number.
    if (!separated && !(number_key && gap > 0)) continue;
    while (j < s.size() && (s[j] == ' ' || s[j] == '\t')) ++j;
    std::size_t begin = j, end = j;
    if (j < s.size() && (s[j] == '"' || s[j] == '\'')) {
      const char quote = s[j];
      begin = j + 1;
      end = begin;
      while (end < s.size() && s[end] != quote && s[end] != '\n') ++end;
      if (end >= s.size() || s[end] != quote) continue;
    } else {
      while (end < s.size() && !ends_value(s[end])) ++end;
    }
    const std::string_view value(s.data() + begin, end - begin);
    if (is_empty_value(value)) continue;
    const std::string masked = mask_serial(value);
    s.replace(begin, end - begin, masked);
    i = begin + masked.size() - 1;
  }
}

// Masks the serial part of udev's persistent names:
// /dev/v4l/by-id/usb-VENDOR_MODEL_SERIAL-video-index0.
void mask_by_id_names(std::string& s) {
  constexpr std::string_view kMark = "/by-id/usb-";
  for (std::size_t at = s.find(kMark); at != std::string::npos; at = s.find(kMark, at + 1)) {
    const std::size_t begin = at + kMark.size();
    std::size_t end = begin;
    while (end < s.size() && !ends_value(s[end]) && s[end] != '/') ++end;
    const std::string_view name(s.data() + begin, end - begin);
    const std::size_t underscore = name.rfind('_');
    if (underscore == std::string_view::npos) continue;
    const std::size_t serial_begin = underscore + 1;
    const std::size_t dash = name.find('-', serial_begin);
    const std::size_t serial_end = dash == std::string_view::npos ? name.size() : dash;
    if (serial_end == serial_begin) continue;
    const std::string masked =
        mask_serial(name.substr(serial_begin, serial_end - serial_begin));
    s.replace(begin + serial_begin, serial_end - serial_begin, masked);
  }
}

std::string utc_name_stamp(std::int64_t now) {
  const std::time_t t = static_cast<std::time_t>(now);
  struct tm tm {};
  ::gmtime_r(&t, &tm);
  return fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

}  // namespace

std::string mask_serial(std::string_view serial) {
  const std::size_t n = serial.size();
  const std::size_t keep = n >= 12 ? 4 : n >= 8 ? 3 : n >= 5 ? 2 : 0;
  return std::string(n - keep, '*') + std::string(serial.substr(n - keep));
}

std::string mask_serials(std::string_view text, const std::vector<std::string>& known) {
  std::string s(text);
  std::vector<std::string> serials;
  for (const std::string& k : known) {
    if (k.size() >= 4) serials.push_back(k);
  }
  // The longest first, so a serial that contains another is masked whole.
  std::sort(serials.begin(), serials.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& k : serials) {
    const std::string masked = mask_serial(k);
    for (std::size_t at = s.find(k); at != std::string::npos; at = s.find(k, at + masked.size()))
      s.replace(at, k.size(), masked);
  }
  mask_keyed_values(s);
  mask_by_id_names(s);
  return s;
}

bool read_text_file(const std::string& path, std::size_t limit, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char chunk[8192];
  while (ok) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      ok = false;
      break;
    }
    out.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) out.clear();
  return ok;
}

std::vector<std::string> usb_serials(const std::string& sysfs_root, std::uint16_t vendor_id) {
  std::vector<std::string> serials;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(sysfs_root) / "bus/usb/devices", ec), end;
       !ec && it != end; it.increment(ec)) {
    std::string vid, serial;
    if (!read_text_file((it->path() / "idVendor").string(), 64, vid) ||
        !read_text_file((it->path() / "serial").string(), 1024, serial))
      continue;
    unsigned v = 0;
    const auto [p, err] = std::from_chars(vid.data(), vid.data() + vid.size(), v, 16);
    if (err != std::errc() || v != vendor_id) continue;
    while (!serial.empty() && std::isspace(static_cast<unsigned char>(serial.back())))
      serial.pop_back();
    if (!serial.empty() && std::find(serials.begin(), serials.end(), serial) == serials.end())
      serials.push_back(serial);
  }
  return serials;
}

std::string system_text() {
  std::string t;
  struct utsname u {};
  if (::uname(&u) == 0) {
    t += fmt::format("uname: {} {} {} {} {}\n", u.sysname, u.nodename, u.release, u.version,
                     u.machine);
  } else {
    t += "uname: not available\n";
  }
  std::string os;
  const char* from = "/etc/os-release";
  if (!read_text_file(from, 65536, os)) {
    from = "/usr/lib/os-release";
    if (!read_text_file(from, 65536, os)) from = nullptr;
  }
  if (from) {
    t += fmt::format("\n{}:\n{}", from, os);
    if (!os.empty() && os.back() != '\n') t += '\n';
  } else {
    t += "\nos-release: not found\n";
  }
  return t;
}

std::string bundle_archive(const BundleInput& in, bool with_serials, std::int64_t now,
                           std::vector<std::string>* members) {
  const std::string top = "lumavix-support-" + utc_name_stamp(now) + "/";
  std::vector<BundleFile> files;
  files.push_back({"version.txt", in.version});
  files.push_back({"system.txt", in.system});
  files.push_back({"cameras.json", in.cameras_json});
  files.push_back({"doctor.json", in.doctor_json});
  for (const BundleFile& r : in.rules) {
    std::string rel = r.name;
    while (!rel.empty() && rel.front() == '/') rel.erase(rel.begin());
    files.push_back({"udev/" + rel, r.text});
  }
  for (const BundleFile& r : in.runs) files.push_back({"runs/" + r.name, r.text});

  std::string readme =
      "LUMAVIX Firmware Update Tool: support bundle (lumavix-fw doctor --bundle)\n\n"
      "version.txt   the tool's version and build\n"
      "system.txt    the kernel (uname) and the operating system (os-release)\n"
      "cameras.json  the cameras found, as `lumavix-fw --json list` prints them\n"
      "doctor.json   the doctor's findings, as `lumavix-fw --json doctor` prints them\n"
      "udev/         the udev rule files the doctor checks, under their paths\n"
      "runs/         the traces of the last update, download and dump runs, oldest first\n\n";
  readme += with_serials ? "Serial numbers are included (--with-serials).\n"
                         : "Serial numbers are masked: all but their last characters are '*'.\n";
  readme += "No firmware file is included.\n";
  if (in.rules.empty()) readme += "No udev rule file for the camera was found.\n";
  if (in.runs.empty()) readme += "No run has been kept yet.\n";

  std::string tar;
  std::vector<std::string> names;
  const auto add = [&](const std::string& name, const std::string& text) {
    if (tar_append(tar, {top + name, text, 0644, now})) names.push_back(top + name);
  };
  add("README.txt", readme);
  for (const BundleFile& f : files)
    add(f.name, with_serials ? f.text : mask_serials(f.text, in.serials));
  tar_finish(tar);
  if (members) *members = std::move(names);
  return gzip_stored(tar, now);
}

}  // namespace lumavix::cli
