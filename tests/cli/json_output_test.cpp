// The output layer: what it prints is valid JSON for any bytes, the bytes
// of a name come back from its escaped field, and terminal text carries no
// control character.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "cli/json_output.h"

namespace lumavix::cli {
namespace {

TEST(JsonOutput, AnyBytesRoundTripThroughTheEscapedField) {
  const std::string names[] = {
      "plain.bin",       "caf\xc3\xa9.bin",  // UTF-8 stays as it is
      "caf\xe9.bin",     "\xff\xfe",         // Latin-1, bare bytes
      "back\\slash\xff", "\\x41",            // a text that looks escaped
      "\xc0\xaf",        "\xed\xa0\x80",     // overlong, surrogate
      "\xf4\x90\x80\x80", "cut\xe2\x82",     // past U+10FFFF, cut short
      std::string("nul\0in", 6),
  };
  for (const std::string& name : names) {
    const std::string line = json_text(nlohmann::ordered_json{{"file", name}, {"n", 1}});
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(j.is_object()) << "not JSON: " << line;
    std::string back = j["file"].get<std::string>();
    if (is_utf8(name)) {
      EXPECT_FALSE(j.contains("fileBytes")) << line << ": UTF-8 needs no escaped copy";
    } else {
      ASSERT_TRUE(j.contains("fileBytes")) << line;
      ASSERT_TRUE(unescape_bytes(j["fileBytes"].get<std::string>(), back)) << line;
    }
    EXPECT_EQ(back, name) << line;
  }
}

TEST(JsonOutput, ArraysAndNestedObjectsAreMadeSafe) {
  const nlohmann::ordered_json v{{"names", {"ok", "b\xff" "d"}}, {"inner", {{"path", "\xfe"}}}};
  const nlohmann::json j = nlohmann::json::parse(json_text(v, 2), nullptr, false);
  ASSERT_TRUE(j.is_object());
  EXPECT_EQ(j["namesBytes"], nlohmann::json({nullptr, "b\\xffd"}));
  EXPECT_EQ(j["inner"]["pathBytes"], "\\xfe");
}

TEST(TerminalText, ControlsAreEscapedAndTextIsKept) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"LUMAVIX Q", "LUMAVIX Q"},
      {"\x1b]0;title\a", "\\x1b]0;title\\x07"},
      {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
      {"\xc2\x9b" "2J", "\\u009b2J"},        // C1 CSI as UTF-8
      {"\x9b" "2J", "\\x9b2J"},              // C1 CSI as a bare byte
      {"Caf\xc3\xa9 \xc2\xa0", "Caf\xc3\xa9 \xc2\xa0"},  // printable UTF-8 kept
  };
  for (const Case& c : cases) EXPECT_EQ(terminal_safe(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace lumavix::cli
