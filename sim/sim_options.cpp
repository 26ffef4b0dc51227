#include "sim/sim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <vector>

namespace lumavix::sim {

namespace {

constexpr SimProfileInfo kProfiles[] = {
    {SimProfile::Q, "q", true},
    {SimProfile::Gen0Flash, "gen0-flash", true},
    {SimProfile::Gen0Eeprom, "gen0-eeprom", true},
    {SimProfile::None, "none", false},
    {SimProfile::UvcKavex, "uvc-kavex", false},
    {SimProfile::UvcAveo, "uvc-aveo", false},
    {SimProfile::UvcEtron, "uvc-etron", false},
    {SimProfile::VendorVideo, "vendor-video", false},
    {SimProfile::Bda, "bda", false},
};

constexpr SimKeyInfo kKeys[] = {
    {"fw", "fw=HEX", false},
    {"pid", "pid=HEX", false},
    {"flash", "flash=XXXXXX", false},
    {"latency-us", "latency-us=N", false},
    {"busy", "busy=0|1", false},
    {"stuck-busy", "stuck-busy=0|1", false},
    {"fail-at", "fail-at=N", false},
    {"fail-rate", "fail-rate=P", false},
    {"seed", "seed=N", false},
    {"unplug-after", "unplug-after=N", false},
    {"refuse-97", "refuse-97=0|1", false},
    {"xu-legacy", "xu-legacy=0|1", true},
    {"count", "count=N", false},
    {"replug", "replug=0|1", false},
};

std::string joined_profiles(bool hid_only, bool mark_default) {
  std::string out;
  for (const SimProfileInfo& p : kProfiles) {
    if (hid_only && !p.hid) continue;
    if (!out.empty()) out += ", ";
    out += p.name;
    if (mark_default && p.profile == SimProfile::Q) out += " (default)";
  }
  return out;
}

}  // namespace

std::span<const SimProfileInfo> sim_profiles() { return kProfiles; }
std::span<const SimKeyInfo> sim_keys() { return kKeys; }

const char* profile_name(SimProfile profile) {
  for (const SimProfileInfo& p : kProfiles)
    if (p.profile == profile) return p.name;
  return "?";
}

std::string sim_profiles_help(bool hid_only) { return joined_profiles(hid_only, true); }

std::string sim_keys_help(bool hid_only) {
  std::string out;
  for (const SimKeyInfo& k : kKeys) {
    if (hid_only && k.video_only) continue;
    if (!out.empty()) out += ' ';
    out += k.form;
  }
  return out;
}

namespace {

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos
                                                                    : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Hexadecimal of at most `max_digits` digits, an optional 0x before them.
bool parse_hex(std::string_view v, std::size_t max_digits, std::uint64_t& out) {
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) v.remove_prefix(2);
  if (v.empty() || v.size() > max_digits) return false;
  std::uint64_t value = 0;
  for (char c : v) {
    if (!is_hex(c)) return false;
    value = value << 4 | static_cast<std::uint64_t>(hex_value(c));
  }
  out = value;
  return true;
}

bool parse_decimal(std::string_view v, std::uint64_t max, std::uint64_t& out) {
  if (v.empty() || v.size() > 19) return false;
  std::uint64_t value = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > max) return false;
  out = value;
  return true;
}

bool parse_flag(std::string_view v, bool& out) {
  if (v == "0") {
    out = false;
    return true;
  }
  if (v == "1") {
    out = true;
    return true;
  }
  return false;
}

bool parse_probability(std::string_view v, double& out) {
  if (v.empty() || v.size() > 32) return false;
  for (char c : v) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+'))
      return false;
  }
  const std::string s(v);
  char* end = nullptr;
  errno = 0;
  const double p = std::strtod(s.c_str(), &end);
  if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(p) || p < 0.0 || p > 1.0)
    return false;
  out = p;
  return true;
}

}  // namespace

bool parse_sim_options(std::string_view text, SimOptions& out, std::string& error) {
  SimOptions o;
  o.replug = true;
  std::vector<std::string_view> items = split(text, ',');
  std::size_t first_key = 0;
  if (!items.empty() && items[0].find('=') == std::string_view::npos) {
    const std::string_view p = items[0];
    const SimProfileInfo* found = nullptr;
    for (const SimProfileInfo& info : kProfiles)
      if (p == info.name) found = &info;
    if (p.empty()) {
      o.profile = SimProfile::Q;
    } else if (found) {
      o.profile = found->profile;
    } else {
      error = "unknown profile \"" + std::string(p) + "\" (known: " +
              joined_profiles(false, false) + ")";
      return false;
    }
    first_key = 1;
  }

  std::set<std::string> seen;
  for (std::size_t i = first_key; i < items.size(); ++i) {
    const std::string_view item = items[i];
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      error = item.empty() ? std::string("empty item in the option list")
                           : "\"" + std::string(item) + "\" is not KEY=VALUE";
      return false;
    }
    const std::string key(item.substr(0, eq));
    const std::string_view value = item.substr(eq + 1);
    if (!seen.insert(key).second) {
      error = "key \"" + key + "\" given twice";
      return false;
    }
    auto bad = [&](const std::string& expected) {
      error = "bad value \"" + std::string(value) + "\" for " + key + " (expected " + expected +
              ")";
      return false;
    };
    std::uint64_t n = 0;
    if (key == "fw") {
      if (!parse_hex(value, 4, n)) return bad("1 to 4 hexadecimal digits");
      o.firmware_version = static_cast<std::uint16_t>(n);
    } else if (key == "pid") {
      if (!parse_hex(value, 4, n)) return bad("1 to 4 hexadecimal digits");
      o.product_id = static_cast<std::uint16_t>(n);
    } else if (key == "flash") {
      std::string_view v = value;
      if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) v.remove_prefix(2);
      if (v.size() != 6 || !parse_hex(v, 6, n))
        return bad("6 hexadecimal digits, the three identification bytes");
      o.flash_id = std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(n >> 16),
                                               static_cast<std::uint8_t>(n >> 8),
                                               static_cast<std::uint8_t>(n)};
    } else if (key == "latency-us") {
      if (!parse_decimal(value, 10'000'000, n)) return bad("microseconds, 0 to 10000000");
      o.latency_us = static_cast<std::uint32_t>(n);
    } else if (key == "busy") {
      if (!parse_flag(value, o.busy)) return bad("0 or 1");
    } else if (key == "stuck-busy") {
      if (!parse_flag(value, o.stuck_busy)) return bad("0 or 1");
    } else if (key == "fail-at") {
      if (!parse_decimal(value, UINT64_MAX / 2, n) || n == 0)
        return bad("a transfer number, 1 or more");
      o.fail_at = n;
    } else if (key == "fail-rate") {
      if (!parse_probability(value, o.fail_rate)) return bad("a probability from 0 to 1");
    } else if (key == "seed") {
      if (!parse_decimal(value, UINT64_MAX / 2, n)) return bad("a decimal number");
      o.seed = n;
    } else if (key == "unplug-after") {
      if (!parse_decimal(value, UINT64_MAX / 2, n)) return bad("a transfer count");
      o.unplug_after = n;
    } else if (key == "refuse-97") {
      if (!parse_flag(value, o.refuse_97)) return bad("0 or 1");
    } else if (key == "xu-legacy") {
      if (!parse_flag(value, o.xu_legacy)) return bad("0 or 1");
    } else if (key == "count") {
      if (!parse_decimal(value, kMaxSimCameras, n) || n == 0)
        return bad("a number of cameras, 1 to " + std::to_string(kMaxSimCameras));
      o.count = static_cast<std::uint32_t>(n);
    } else if (key == "replug") {
      if (!parse_flag(value, o.replug)) return bad("0 or 1");
    } else {
      std::string known;
      for (const SimKeyInfo& k : kKeys) known += (known.empty() ? "" : ", ") + std::string(k.key);
      error = "unknown key \"" + key + "\" (known: " + known + ")";
      return false;
    }
  }
  out = o;
  return true;
}

}  // namespace lumavix::sim
