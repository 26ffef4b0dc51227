// The tool's main job on the command line: the device-watch pass (status)
// and the update with its confirmation and progress.
//
// Every command opens the device library through the update engine, as the
// window does, and closes it again before it ends.
#include <fmt/format.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/core/device_watch.h"
#include "app/core/texts.h"
#include "app/core/update_flow.h"
#include "cli/commands.h"
#include "cli/run_support.h"
#include "cli/terminal_prompter.h"
#include "cli/update_run.h"
#include "cli/watch_pass.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"
#include "platform/user_folders.h"

namespace lumavix::cli {
namespace {

// ------------------------------------------------------------------ status --

struct StatusArgs {
  std::string dir;
};

int run_status(Context& ctx, const StatusArgs& a) {
  const UiLanguage lang = command_language();
  std::error_code ec;
  if (!a.dir.empty() && !std::filesystem::is_directory(a.dir, ec))
    return ctx.fail(kExitUsage, "not a directory: " + a.dir);
  EngineSession session;
  DeviceWatchState st;
  DeviceWatchConfig cfg;
  cfg.language = lang;
  cfg.directory = a.dir;
  // A folder named on the command line is the only one looked in.
  if (a.dir.empty()) cfg.downloadsFolder = SystemUserFolders().Downloads().value_or("");
  DeviceWatchResult r;
  if (auto rc = watch(ctx, st, r, cfg)) return *rc;
  json j = status_json(st, r);
  // The window reads a version even from a damaged file (a missing block
  // reads as version 0, which looks up to date); say what is wrong with it.
  j["fileProblem"] = nullptr;
  if (j["file"].is_string()) {
    std::string problem =
        st.image ? firmware_file_problem(*st.image) : firmware_file_problem(st.firmwarePath);
    if (problem.empty() && st.firmware.read && !ImageReadsFinished(st.firmware))
      problem = unfinished_image_message(st);
    if (!problem.empty()) {
      j["fileProblem"] = problem;
      std::cerr << "warning: " << problem << '\n';
    }
  }
  ctx.result(j, status_text(r));
  // The pass completed whether or not an update is needed; scripts that want
  // to know read "presentation", or run `update`, which exits 5 when up to date.
  if (r.view.presentation == Presentation::UpToDate) return kExitOk;
  return presentation_status(r.view.presentation);
}

// ------------------------------------------------------------------ update --

// One camera: its result object (or text) is the command's result.
int run_update(Context& ctx, const UpdateArgs& a) {
  const UiLanguage lang = command_language();
  const CameraUpdate u = update_camera(ctx, a, lang, /*confirmed=*/false);
  if (!u.object.is_null()) ctx.result(u.object, u.text);
  return u.status;
}

}  // namespace

void register_update_commands(CLI::App& app, Commands& commands) {
  auto st = std::make_shared<StatusArgs>();
  auto* status = app.add_subcommand(
      "status", "Look for the camera and the firmware file, as the window does (exit 0: the pass "
                "completed, 1: the camera does not answer reliably, 3: no camera, 4: not this "
                "product)");
  status->add_option("DIR", st->dir, "Directory holding the firmware file (default: .)");
  status->callback([&commands, st] {
    commands.choose([st](Context& c) { return run_status(c, *st); });
  });

  auto up = std::make_shared<UpdateArgs>();
  auto* update = app.add_subcommand(
      "update", "Update the camera's firmware: check, confirm, write, verify (exit 0: verified)");
  update->add_option("FILE", up->file, "Firmware file (default: the first *.bin of .)");
  update->add_flag("--yes,-y", up->yes, "Confirm without asking");
  update->add_flag("--force", up->force,
                   "The engineer's override: update even when the camera is up to date or newer "
                   "than the file (it rewrites or downgrades it); the model and product checks "
                   "stay");
  update->add_flag("--recover", up->recover,
                   "Finish an interrupted update on a camera that cannot be identified (its USB "
                   "product id is none this tool knows), taking it to be the model the file is "
                   "for; a camera whose id names another model or variant is refused");
  update->add_flag("--all", up->all,
                   "Update every connected camera the file is for, one after another (exit 0: "
                   "every camera that needed it was verified, 1: any failed, 5: none needed it)");
  update->add_flag("--dry-run", up->dry_run,
                   "Print what the update would do (ranges, pages, transfers, time) and write "
                   "nothing");
  auto* wait = update->add_option_function<unsigned>(
      "--wait-replug",
      [up](unsigned s) { up->wait_replug_s = s; },
      "After the update, wait up to SECONDS (default 60) for the camera to be reconnected and "
      "check that it runs the new version");
  wait->expected(0, 1)->default_str(std::to_string(kDefaultReplugWaitS));
  wait->check(CLI::Range(1u, 3600u));
  update->callback([&commands, up, wait] {
    if (wait->count() > 0 && !up->wait_replug_s) up->wait_replug_s = kDefaultReplugWaitS;
    commands.choose([up](Context& c) {
      if (up->dry_run && up->wait_replug_s)
        return c.fail(kExitUsage, "--dry-run writes nothing: there is no reconnection to wait for");
      // The file given is read here, once, pipe or not; a file found in the
      // folder is read by each pass (and only a regular one is found).
      if (!up->file.empty())
        up->image = std::make_shared<const LoadedFirmware>(
            LoadFirmwareFile(up->file, InputKind::kRegularFileOrPipe));
      return up->all ? run_update_all(c, *up) : run_update(c, *up);
    });
  });
}

}  // namespace lumavix::cli
