// Fuzzes the JSON output layer with arbitrary bytes as a name: every line
// parses, and the name comes back exactly from its field (or its escaped
// "<key>Bytes" field when it is not UTF-8).
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/json_output.h"
#include "fuzz/fuzz_file.h"

using lumavix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string name(reinterpret_cast<const char*>(data), size);
  const nlohmann::ordered_json value{{"file", name}, {"names", {name, "plain"}}, {"n", size}};
  for (const int indent : {-1, 2}) {
    const std::string text = lumavix::cli::json_text(value, indent);
    if (indent < 0) check(text.find('\n') == std::string::npos);
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    check(j.is_object());
    std::string back = j["file"].get<std::string>();
    if (j.contains("fileBytes")) {
      check(!lumavix::cli::is_utf8(name));
      check(lumavix::cli::unescape_bytes(j["fileBytes"].get<std::string>(), back));
      check(j["namesBytes"].is_array() && j["namesBytes"][1].is_null());
    } else {
      check(lumavix::cli::is_utf8(name));
    }
    check(back == name);
  }
  const std::string shown = lumavix::cli::terminal_safe(name);
  for (const char c : shown) {
    const auto b = static_cast<unsigned char>(c);
    check(b >= 0x20 && b != 0x7F);
  }
  check(lumavix::cli::is_utf8(shown));
  return 0;
}
