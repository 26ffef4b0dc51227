// The run-trace hook; the contracts are in run_trace.h.
#include "cli/run_trace.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <iostream>

namespace lumavix::cli {
namespace {

// The commands that write or read the camera's flash through the engine.
bool keeps_trace(const CLI::App& app) {
  const auto chosen = app.get_subcommands();
  if (chosen.empty()) return false;
  const std::string& name = chosen.front()->get_name();
  return name == "update" || name == "download" || name == "dump";
}

// The arguments as a shell would take them back.
std::string quoted_command_line(const std::vector<std::string>& args) {
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = i == 0 ? std::string("lumavix-fw") : args[i];
    const bool plain = !a.empty() && std::all_of(a.begin(), a.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) ||
             std::string_view("-_=.,/:@+%").find(c) != std::string_view::npos;
    });
    if (!plain) {
      std::string q = "'";
      for (char c : a) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
      a = q + "'";
    }
    if (!line.empty()) line += ' ';
    line += a;
  }
  return line;
}

}  // namespace

std::string version_text() {
#if defined(__clang__)
  const std::string compiler = std::string("clang ") + __clang_version__;
#elif defined(__GNUC__)
  const std::string compiler = std::string("GCC ") + __VERSION__;
#else
  const std::string compiler = "an unknown compiler";
#endif
  return fmt::format("lumavix-fw {} ({} build, {})", LUMAVIX_VERSION,
                     LUMAVIX_BUILD_TYPE[0] ? LUMAVIX_BUILD_TYPE : "default", compiler);
}

const char* exit_meaning(int status) {
  switch (status) {
    case kExitOk: return "done";
    case kExitFailed: return "failed";
    case kExitUsage: return "usage error or bad input";
    case kExitNoCamera: return "no camera";
    case kExitNotThisProduct: return "not this product";
    case kExitUpToDate: return "nothing to do: up to date";
  }
  return "unknown";
}

RunTrace::RunTrace(Context& ctx, const CLI::App& app, const std::vector<std::string>& args)
    : ctx_(ctx) {
#ifdef _WIN32
  // The run traces are kept on Linux only for now.
  (void)app;
  (void)args;
#else
  if (!keeps_trace(app)) return;
  auto log = std::make_shared<RunLog>();
  if (!log->start(quoted_command_line(args), version_text())) {
    const std::string why = log->problem();
    if (ctx_.json()) {
      ctx_.add_result_field("runLogProblem", why);
    } else {
      std::cerr << "warning: the trace of this run is not kept: " << why << '\n';
    }
    warned_ = true;
    return;
  }
  log_ = std::move(log);
  previous_ = trace_sink();
  set_trace_sink([log = log_, previous = previous_](std::string_view line) {
    log->line(line);
    if (previous) previous(line);
  });
#endif
}

RunTrace::~RunTrace() {
  if (log_) set_trace_sink(previous_);
}

void RunTrace::finish(int exit_status) {
#ifdef _WIN32
  (void)exit_status;
#else
  if (!log_) return;
  set_trace_sink(previous_);
  log_->finish(exit_status, exit_meaning(exit_status));
  // A write that failed during the run (a full disk) is said once, after
  // the result; in JSON mode standard output is the result's alone.
  if (const std::string why = log_->problem(); !why.empty() && !warned_ && !ctx_.json())
    std::cerr << "warning: the trace of this run is not wholly kept: " << why << '\n';
  log_.reset();
#endif
}

}  // namespace lumavix::cli
