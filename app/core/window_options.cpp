#include "app/core/window_options.h"

#include <charconv>
#include <string_view>

namespace lumavix {
namespace {

// "--name=value" or "--name value"; false when `a` is not the option.
// `missing`: the option came last, without its value.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name,
               std::string& out, bool& missing) {
  const std::string_view a = args[i];
  missing = false;
  if (a.size() > name.size() && a.substr(0, name.size()) == name && a[name.size()] == '=') {
    out = std::string(a.substr(name.size() + 1));
    return true;
  }
  if (a == name) {
    if (i + 1 >= args.size()) {
      missing = true;
      return true;
    }
    out = args[++i];
    return true;
  }
  return false;
}

}  // namespace

ParseOutcome ParseWindowArguments(const std::vector<std::string>& args, WindowFrontEnd frontEnd,
                                  WindowProgramOptions& o, std::string& error) {
  const bool qt = frontEnd == WindowFrontEnd::Qt;
  const bool win32 = frontEnd == WindowFrontEnd::Win32;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    std::string value;
    bool missing = false;
    const auto needs_file = [&](std::string_view option, std::string& into) {
      if (missing || value.empty()) {
        error = std::string(option) + " needs a file name";
        return false;
      }
      into = value;
      return true;
    };
    if (a == "--help" || a == "-h" || (win32 && a == "/?")) return ParseOutcome::Help;
    if (a == "--version") return ParseOutcome::Version;
    if (a == "--simulate") {
      o.simulate = "q";
    } else if (a.starts_with("--simulate=")) {
      o.simulate = std::string(a.substr(std::string_view("--simulate=").size()));
      if (o.simulate->empty()) o.simulate = "q";
    } else if (TakeValue(args, i, "--sim-state", value, missing)) {
      if (!needs_file("--sim-state", o.simState)) return ParseOutcome::Error;
    } else if (TakeValue(args, i, "--screenshot-delay", value, missing)) {
      int ms = -1;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
      if (missing || ec != std::errc() || end != value.data() + value.size() || ms < 0) {
        error = "--screenshot-delay needs a number of milliseconds";
        return ParseOutcome::Error;
      }
      o.screenshotDelayMs = ms;
    } else if (qt && TakeValue(args, i, "--screenshot-dialog", value, missing)) {
      if (!needs_file("--screenshot-dialog", o.screenshot)) return ParseOutcome::Error;
      o.screenshotDialog = true;
    } else if (TakeValue(args, i, "--screenshot", value, missing)) {
      if (!needs_file("--screenshot", o.screenshot)) return ParseOutcome::Error;
    } else if (win32 && TakeValue(args, i, "--trace", value, missing)) {
      if (!needs_file("--trace", o.trace)) return ParseOutcome::Error;
    } else if (qt && a == "--startup-time") {
      o.startupTime = true;
    } else if (a == "--auto-update") {
      o.autoUpdate = true;
    } else if (!a.empty() && a[0] != '-' && o.firmwareFile.empty()) {
      o.firmwareFile = std::string(a);
    } else {
      error = "unknown argument '" + std::string(a) + "'";
      return ParseOutcome::Error;
    }
  }
  if (!o.simState.empty() && !o.simulate) {
    error = "--sim-state needs --simulate";
    return ParseOutcome::Error;
  }
  return ParseOutcome::Run;
}

}  // namespace lumavix
