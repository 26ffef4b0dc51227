// lumavix-fw: the command line of the firmware update tool. Every command
// shares the global options and exit statuses of cli_context.h.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

// Before windows.h, whose macros would clash with the engine's names.
#include "app/core/update_flow.h"
#include "cli/run_trace.h"
#include "platform/system_sleep_inhibitor.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h:
#include <shellapi.h>

#include "platform/win_sys_call.h"
#endif

#include "cli/cli_context.h"
#include "cli/commands.h"
#include "sim/sim_options.h"

using namespace lumavix::cli;

namespace {

constexpr const char* kVersion = LUMAVIX_VERSION;

// "--simulate" takes an optional value that must be attached ("--simulate=q"),
// so that "--simulate list" does not read the command as a profile. It is
// taken out before CLI11 sees the arguments.
std::vector<std::string> take_simulate(int argc, char** argv, GlobalOptions& g) {
  std::vector<std::string> rest;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (i > 0 && a == "--simulate") {
      g.simulate = "q";
    } else if (i > 0 && a.rfind("--simulate=", 0) == 0) {
      g.simulate = a.substr(std::strlen("--simulate="));
      if (g.simulate->empty()) g.simulate = "q";
    } else {
      rest.push_back(std::move(a));
    }
  }
  return rest;
}

#ifdef _WIN32
// The arguments as the user typed them: the wide command line in UTF-8, as
// every path and text travels through the program (the narrow argv would be
// in the ANSI code page and lose what it cannot hold). Output to a console
// is UTF-8 too.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
  ::SetConsoleOutputCP(CP_UTF8);
  ::SetConsoleCP(CP_UTF8);
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  std::vector<std::string> out;
  if (wide == nullptr) {
    out.assign(argv, argv + argc);
    return out;
  }
  for (int i = 0; i < n; ++i) out.push_back(lumavix::narrow(wide[i]));
  ::LocalFree(wide);
  return out;
}
#else
std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  GlobalOptions g;
  const std::vector<std::string> utf8_args = utf8_arguments(argc, argv);
  std::vector<char*> raw;
  for (const std::string& a : utf8_args) raw.push_back(const_cast<char*>(a.c_str()));
  std::vector<std::string> args = take_simulate(static_cast<int>(raw.size()), raw.data(), g);

  CLI::App app{"Reads and updates the firmware of a LUMAVIX document camera over USB."};
  app.set_version_flag("--version", std::string("lumavix-fw ") + kVersion);
  app.require_subcommand(1);
  // The same options on every system: "/path" is a path on Windows too,
  // never an option in the Windows style.
  app.allow_windows_style_options(false);
  app.fallthrough();
  std::string sim_help;
  app.add_option("--simulate", sim_help,
                 "Use the built-in simulated camera: --simulate[=PROFILE[,KEY=VALUE...]]; "
                 "profiles " + lumavix::sim::sim_profiles_help(false) + "; keys " +
                     lumavix::sim::sim_keys_help(false));
  app.add_option("--sim-state", g.sim_state,
                 "Load the simulated camera's memories from FILE if it exists; save them back "
                 "at the end");
  app.add_flag("--json", g.json, "Print only JSON: event lines, then one result object");
  app.add_flag("-v,--verbose", g.verbose, "Write the device library's trace lines to stderr");

  Commands commands;
  register_device_commands(app, commands);
  register_firmware_commands(app, commands);
  register_settings_commands(app, commands);
  register_update_commands(app, commands);
  register_download_commands(app, commands);
  register_userdata_commands(app, commands);
  register_config_commands(app, commands);
  register_doctor_commands(app, commands);

  std::vector<const char*> cargv;
  for (const std::string& a : args) cargv.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(cargv.size()), cargv.data());
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    if (rc == 0) return kExitOk;
    // A script asked for JSON: it gets its result line even when the
    // command line itself is wrong, so --json is looked for by hand (CLI11
    // may have stopped before it).
    if (g.json || std::find(args.begin(), args.end(), "--json") != args.end())
      std::cout << json_error_line(e.what(), kExitUsage) << std::endl;
    return kExitUsage;
  }

  // update and download keep the session from suspending or shutting down
  // while they write; without logind they go on and say so in the trace.
  const std::unique_ptr<lumavix::SleepInhibitor> inhibitor =
      lumavix::MakeSleepInhibitor("lumavix-fw");
  lumavix::SetDefaultSleepInhibitor(inhibitor.get());

  Context ctx(g);
  if (!ctx.setup()) return ctx.setup_status();
  RunTrace run_trace(ctx, app, std::vector<std::string>(argv, argv + argc));
  int rc = kExitFailed;
  // What no command expected still ends in a result (and a run trace that
  // says so) rather than an abort.
  try {
    rc = commands.run(ctx);
  } catch (const std::exception& e) {
    rc = ctx.fail(kExitFailed, std::string("internal error: ") + e.what());
  }
  if (!ctx.finish() && rc == kExitOk) rc = kExitFailed;
  run_trace.finish(rc);
  return rc;
}
