// What every command of the command line shares: the platform it runs on
// (real hardware or the simulated camera), the output mode and the exit
// statuses scripts rely on.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/json_output.h"
#include "devlib/file_io.h"

namespace lumavix::cli {

enum Exit : int {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitNoCamera = 3,
  kExitNotThisProduct = 4,
  kExitUpToDate = 5,
};

struct GlobalOptions {
  std::optional<std::string> simulate;  // profile text when simulating
  std::string sim_state;                // state file of the simulated camera
  bool json = false;
  bool verbose = false;
};

class Context {
 public:
  explicit Context(GlobalOptions opts);
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Installs the platform (and, when simulating, the camera and its state).
  // False with a message on stderr when the simulated camera cannot be made.
  [[nodiscard]] bool setup();
  // The exit status of a setup() that returned false.
  [[nodiscard]] int setup_status() const { return setup_status_; }
  // Saves the simulated camera's memories when a state file was given, and
  // lets the next run on that file go.
  [[nodiscard]] bool finish();

  // Opens the device library; on failure prints why no camera is usable.
  [[nodiscard]] bool open_camera();

  [[nodiscard]] bool json() const { return opts_.json; }
  [[nodiscard]] bool simulating() const { return opts_.simulate.has_value(); }

  // Final result: one JSON object (JSON mode) or the text (text mode).
  void result(const nlohmann::ordered_json& object, const std::string& text) const;
  // An error for the user on stderr (and as the JSON result in JSON mode).
  int fail(int status, const std::string& message) const;

  // A field that every later result object carries (JSON mode), for what a
  // run met on the side, such as a trace that could not be kept.
  void add_result_field(const std::string& key, nlohmann::ordered_json value);

 private:
  struct Impl;
  // Waits (a bounded time) until no other run uses the state file.
  [[nodiscard]] bool take_state_lock();
  // SIGINT and SIGTERM save the state file before the program ends.
  void save_on_stop_signals();
  void stopped_by_signal(int sig);
  int setup_status_ = kExitUsage;
  GlobalOptions opts_;
  std::unique_ptr<Impl> impl_;
};

// The exit status of a write that did not happen: bad input when the target
// is not a regular file, a failed operation otherwise.
[[nodiscard]] inline int write_error_status(const WriteError& w) {
  return w.kind == WriteError::Kind::kNotRegularFile ? kExitUsage : kExitFailed;
}

// Parses an address or id typed by the user: hexadecimal, with or without
// "0x".
[[nodiscard]] bool parse_hex(const std::string& text, unsigned long max, unsigned long& out);
// Parses a count: decimal, or hexadecimal with "0x".
[[nodiscard]] bool parse_count(const std::string& text, unsigned long max, unsigned long& out);

}  // namespace lumavix::cli
