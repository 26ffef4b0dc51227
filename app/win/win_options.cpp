#include "app/win/win_options.h"

#include <charconv>
#include <string_view>

namespace lumavix {

const char* const kWinUsage =
    "Usage: lumavix-update [--simulate[=PROFILE[,KEY=VALUE...]]] [--sim-state FILE]\n"
    "                      [--trace=FILE] [--screenshot=FILE.bmp [--screenshot-delay=MS]]\n"
    "                      [--auto-update] [FILE]\n"
    "\n"
    "Updates the firmware of a LUMAVIX document camera with FILE, or else the\n"
    "first *.bin file of the working directory, or else the newest firmware file\n"
    "for this model in the Downloads folder. Only one copy runs at a time.\n";

namespace {

// "--name=value" or "--name value"; false when `a` is not the option.
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

ParseOutcome ParseWinArguments(const std::vector<std::string>& args, WinProgramOptions& o,
                               std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    std::string value;
    bool missing = false;
    if (a == "--help" || a == "-h" || a == "/?") return ParseOutcome::Help;
    if (a == "--version") return ParseOutcome::Version;
    if (a == "--simulate") {
      o.simulate = "q";
    } else if (a.rfind("--simulate=", 0) == 0) {
      o.simulate = std::string(a.substr(std::string_view("--simulate=").size()));
      if (o.simulate->empty()) o.simulate = "q";
    } else if (TakeValue(args, i, "--sim-state", value, missing)) {
      if (missing || value.empty()) {
        error = "--sim-state needs a file name";
        return ParseOutcome::Error;
      }
      o.simState = value;
    } else if (TakeValue(args, i, "--screenshot-delay", value, missing)) {
      int ms = -1;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
      if (missing || ec != std::errc() || end != value.data() + value.size() || ms < 0) {
        error = "--screenshot-delay needs a number of milliseconds";
        return ParseOutcome::Error;
      }
      o.screenshotDelayMs = ms;
    } else if (TakeValue(args, i, "--screenshot", value, missing)) {
      if (missing || value.empty()) {
        error = "--screenshot needs a file name";
        return ParseOutcome::Error;
      }
      o.screenshot = value;
    } else if (TakeValue(args, i, "--trace", value, missing)) {
      if (missing || value.empty()) {
        error = "--trace needs a file name";
        return ParseOutcome::Error;
      }
      o.trace = value;
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
