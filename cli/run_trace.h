// The hook that keeps the trace of every update, download and dump run
// (run_log.h): made in main() around the chosen command, it tees the device
// library's trace lines into the run's file and writes the result at the
// end. A state folder that cannot be written is said once: on stderr, or in
// JSON mode as the result's "runLogProblem" field, and the run carries on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli_context.h"
#include "cli/run_log.h"
#include "devlib/trace.h"

namespace lumavix::cli {

// "lumavix-fw 1.0.0 (RelWithDebInfo, GCC 12.2.0)": the version and the build.
[[nodiscard]] std::string version_text();

// What an exit status means, in a few words.
[[nodiscard]] const char* exit_meaning(int status);

class RunTrace {
 public:
  // Starts a run log when the chosen command is one that keeps its trace.
  // `args` is the command line as typed (argv).
  RunTrace(Context& ctx, const CLI::App& app, const std::vector<std::string>& args);
  ~RunTrace();
  RunTrace(const RunTrace&) = delete;
  RunTrace& operator=(const RunTrace&) = delete;

  // Restores the previous trace sink and records `exit_status`.
  void finish(int exit_status);

 private:
  Context& ctx_;
  std::shared_ptr<RunLog> log_;
  TraceSink previous_;
  bool warned_ = false;
};

}  // namespace lumavix::cli
