// What the command line prints for scripts and terminals, safe whatever
// bytes a name holds.
//
// JSON lines: a string that is not UTF-8 (a file name on Linux is any bytes)
// is printed with each bad byte replaced by U+FFFD, so that every line stays
// valid JSON; its exact bytes travel beside it in "<key>Bytes", escaped as
// escape_bytes() does, so a script can still name the file. An array of such
// strings gets a "<key>Bytes" array of the same length (null where a string
// was already UTF-8).
//
// Terminal text: what a camera reports (product, maker and serial strings)
// goes through terminal_safe() so that no escape sequence it holds reaches
// the terminal.
#pragma once

#include <mutex>

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace lumavix::cli {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
[[nodiscard]] bool is_utf8(std::string_view text);

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// written as \xHH and every backslash doubled; UTF-8 is kept as it is.
[[nodiscard]] std::string escape_bytes(std::string_view text);
// The inverse of escape_bytes; false on text it cannot have made.
[[nodiscard]] bool unescape_bytes(std::string_view escaped, std::string& out);

// `value` with every string made UTF-8 and the "<key>Bytes" fields added.
[[nodiscard]] nlohmann::ordered_json json_safe(const nlohmann::ordered_json& value);

// The text of `value` after json_safe(): one line, or indented by `indent`.
// Never throws for the bytes a string holds.
[[nodiscard]] std::string json_text(const nlohmann::ordered_json& value, int indent = -1);

// Held by every writer of a line to stdout, so that a line written from
// another thread (the result of an interrupted run) never lands inside one.
[[nodiscard]] std::mutex& stdout_mutex();

// The result object of a run that failed before any command ran (a usage
// error): {"error": message, "exitStatus": status}.
[[nodiscard]] std::string json_error_line(const std::string& message, int status);

// `text` for a terminal: the C0 controls (ESC among them), DEL and every
// byte that is not UTF-8 written as \xHH, the C1 controls as \u00HH.
[[nodiscard]] std::string terminal_safe(std::string_view text);

}  // namespace lumavix::cli
