#include "cli/json_output.h"

#include <cstdint>

namespace lumavix::cli {
namespace {

// Length of the well-formed UTF-8 sequence at `i`, or 0 when the byte there
// starts none.
std::size_t sequence_length(std::string_view s, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b = at(i);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;  // overlong
    if (b == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  }
  return n;
}

constexpr char kHex[] = "0123456789abcdef";

void put_hex_byte(std::string& out, std::uint8_t b) {
  out += "\\x";
  out += kHex[b >> 4];
  out += kHex[b & 0xF];
}

// `s` with every byte outside a well-formed sequence replaced by U+FFFD.
std::string replace_invalid(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = sequence_length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

nlohmann::ordered_json safe_value(const nlohmann::ordered_json& v);

// An object's members made safe, each bad string or array of strings
// followed by its "<key>Bytes" member.
nlohmann::ordered_json safe_object(const nlohmann::ordered_json& o) {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  for (const auto& [key, value] : o.items()) {
    const std::string k = is_utf8(key) ? key : replace_invalid(key);
    out[k] = safe_value(value);
    if (value.is_string()) {
      const std::string& s = value.get_ref<const std::string&>();
      if (!is_utf8(s)) out[k + "Bytes"] = escape_bytes(s);
    } else if (value.is_array()) {
      bool any = false;
      nlohmann::ordered_json raw = nlohmann::ordered_json::array();
      for (const auto& e : value) {
        if (e.is_string() && !is_utf8(e.get_ref<const std::string&>())) {
          raw.push_back(escape_bytes(e.get_ref<const std::string&>()));
          any = true;
        } else {
          raw.push_back(nullptr);
        }
      }
      if (any) out[k + "Bytes"] = std::move(raw);
    }
  }
  return out;
}

nlohmann::ordered_json safe_value(const nlohmann::ordered_json& v) {
  if (v.is_object()) return safe_object(v);
  if (v.is_array()) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto& e : v) out.push_back(safe_value(e));
    return out;
  }
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (!is_utf8(s)) return replace_invalid(s);
  }
  return v;
}

}  // namespace

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequence_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string escape_bytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequence_length(text, i);
    if (n == 0) {
      put_hex_byte(out, static_cast<std::uint8_t>(text[i]));
      ++i;
    } else if (text[i] == '\\') {
      out += "\\\\";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

bool unescape_bytes(std::string_view escaped, std::string& out) {
  out.clear();
  const auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      out += escaped[i];
      continue;
    }
    if (i + 1 < escaped.size() && escaped[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 3 < escaped.size() && escaped[i + 1] == 'x' && hex(escaped[i + 2]) >= 0 &&
               hex(escaped[i + 3]) >= 0) {
      out += static_cast<char>(hex(escaped[i + 2]) * 16 + hex(escaped[i + 3]));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

nlohmann::ordered_json json_safe(const nlohmann::ordered_json& value) {
  return safe_value(value);
}

std::string json_text(const nlohmann::ordered_json& value, int indent) {
  // Replacing again costs nothing once the strings are UTF-8, and keeps the
  // promise should a string slip past json_safe.
  return json_safe(value).dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string json_error_line(const std::string& message, int status) {
  return json_text(nlohmann::ordered_json{{"error", message}, {"exitStatus", status}});
}

std::string terminal_safe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequence_length(text, i);
    const auto b = static_cast<std::uint8_t>(text[i]);
    if (n == 0 || (n == 1 && (b < 0x20 || b == 0x7F))) {
      put_hex_byte(out, b);
      ++i;
    } else if (n == 2 && b == 0xC2 && static_cast<std::uint8_t>(text[i + 1]) < 0xA0) {
      // U+0080..U+009F, the C1 controls (CSI among them).
      out += "\\u00";
      out += kHex[static_cast<std::uint8_t>(text[i + 1]) >> 4];
      out += kHex[static_cast<std::uint8_t>(text[i + 1]) & 0xF];
      i += 2;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::mutex& stdout_mutex() {
  static std::mutex m;
  return m;
}

}  // namespace lumavix::cli
