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

#include "app/device_watch.h"
#include "app/texts.h"
#include "app/update_flow.h"
#include "cli/commands.h"
#include "cli/run_support.h"
#include "cli/terminal_prompter.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"

namespace lumavix::cli {
namespace {

bool interrupted(Presentation p) {
  return p == Presentation::Interrupted || p == Presentation::InterruptedUnidentified;
}

json camera_json(const DeviceWatchState& st, const DeviceWatchResult& r) {
  if (interrupted(r.view.presentation)) {
    // Nothing of the flash's identity can be trusted: only what the
    // interface says.
    return json{{"chipGen", st.chipGen},
                {"flash", FlashIdentityName(r.flashIdentity)},
                {"usbProductId", r.usbProductId != 0 ? json(hex4(r.usbProductId)) : json(nullptr)},
                {"model", st.camera.cameraModelText.empty() ? json(nullptr)
                                                            : json(utf8(st.camera.cameraModelText))},
                {"userDataRead", r.userDataRead}};
  }
  return json{{"chipGen", st.chipGen},
              {"chipType", st.camera.cameraChipType},
              {"productId", hex4(st.camera.cameraProductId)},
              {"firmwareVersion", hex4(st.camera.cameraFirmwareVersion)},
              {"model", utf8(st.camera.cameraModelText)},
              {"variant", variant_name(st.camera.CameraVariant)},
              {"altProductId", st.camera.cameraAltProductId},
              {"userDataRead", r.userDataRead}};
}

// The status object of a pass.
json status_json(const DeviceWatchState& st, const DeviceWatchResult& r) {
  const Presentation p = r.view.presentation;
  json j{{"presentation", PresentationName(p)}, {"text", utf8(r.view.statusText)}};
  const bool identified = p != Presentation::NoCamera;
  const bool compared = p == Presentation::UpdateAvailable || p == Presentation::UpToDate;
  j["cameraVersion"] = identified && !interrupted(p) ? json(hex4(st.camera.cameraFirmwareVersion))
                                                     : json(nullptr);
  j["fileVersion"] = st.firmware.read ? json(hex4(st.firmware.firmwareVersion)) : json(nullptr);
  j["file"] = compared || st.firmware.read ? json(st.firmwarePath) : json(nullptr);
  j["camera"] = identified ? camera_json(st, r) : json(nullptr);
  if (p == Presentation::NotThisProduct) j["link"] = DownloadUrl;
  if (p == Presentation::NoCamera) {
    const std::string why = no_camera_causes();
    j["reason"] = st.deviceOpen != 0 ? json("the camera's chip generation is not supported")
                  : why.empty()      ? json(nullptr)
                                     : json(why);
  }
  return j;
}

std::string status_text(const DeviceWatchResult& r) {
  std::string t = utf8(r.view.statusText);
  if (r.view.presentation == Presentation::NotThisProduct) t += std::string("\n") + DownloadUrl;
  return t;
}

int presentation_status(Presentation p) {
  switch (p) {
    case Presentation::NoCamera:
      return kExitNoCamera;
    case Presentation::NotThisProduct:
      return kExitNotThisProduct;
    case Presentation::UpToDate:
      return kExitUpToDate;
    case Presentation::UpdateAvailable:
    case Presentation::Interrupted:
      return kExitOk;
    case Presentation::InterruptedUnidentified:
      return kExitNotThisProduct;
  }
  return kExitFailed;
}

// Runs the pass; a file-open failure becomes the usage status with the
// window's message. Returns nullopt when the caller goes on.
std::optional<int> watch(Context& ctx, DeviceWatchState& st, DeviceWatchResult& r,
                         const DeviceWatchConfig& cfg) {
  r = EvaluateDeviceWatch(st, cfg);
  if (r.userDataAttempted && !r.userDataRead)
    std::cerr << "warning: " << kMsgReadUserDataFail << '\n';
  if (r.outcome == WatchOutcome::FileOpenError) {
    std::string detail;
    if (r.noFirmwareFile) {
      detail = fmt::format("no *.bin file in {}", cfg.directory.empty() ? "." : cfg.directory);
    } else if (st.firmwarePath.size() > kMaxPathLength) {
      detail = fmt::format("the path is longer than {} characters", kMaxPathLength);
    } else {
      detail = fmt::format("cannot read {}", st.firmwarePath);
    }
    return ctx.fail(kExitUsage, std::string(kMsgFirmwareFileOpenError) + " (" + detail + ")");
  }
  if (r.view.presentation == Presentation::NoCamera && st.deviceOpen == 0) {
    const std::string why = no_camera_causes();
    if (!why.empty()) std::cerr << "no camera found: " << why << '\n';
    print_doctor_hint();
  }
  return std::nullopt;
}

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
  DeviceWatchResult r;
  if (auto rc = watch(ctx, st, r, cfg)) return *rc;
  json j = status_json(st, r);
  // The window reads a version even from a damaged file (a missing block
  // reads as version 0, which looks up to date); say what is wrong with it.
  j["fileProblem"] = nullptr;
  if (j["file"].is_string()) {
    const std::string problem = firmware_file_problem(st.firmwarePath);
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

struct UpdateArgs {
  std::string file;
  bool yes = false;
  bool force = false;
  bool recover = false;
};

int run_update(Context& ctx, const UpdateArgs& a) {
  const UiLanguage lang = command_language();
  EngineSession session;
  DeviceWatchState st;
  DeviceWatchConfig cfg;
  cfg.language = lang;
  cfg.firmwareFile = a.file;
  cfg.recover = a.recover;
  DeviceWatchResult r;
  if (auto rc = watch(ctx, st, r, cfg)) return *rc;

  const Presentation p = r.view.presentation;
  // A damaged file is refused before the version decision, which would read
  // its missing fields as zero and call the camera up to date.
  if (p == Presentation::UpdateAvailable || p == Presentation::UpToDate ||
      p == Presentation::Interrupted) {
    const std::string problem = firmware_file_problem(st.firmwarePath);
    if (!problem.empty())
      return ctx.fail(kExitUsage, problem + "; nothing was written to the camera");
  }
  // An interrupted update is finished without --force: the camera's
  // version is unknown, and the update is what it needs.
  const bool go = OffersUpdate(p) || (a.force && p == Presentation::UpToDate);
  if (!go) {
    json j = status_json(st, r);
    j["result"] = "skipped";
    if (!ctx.json()) std::cerr << status_text(r) << '\n';
    if (ctx.json()) ctx.result(j, {});
    if (p == Presentation::UpToDate) std::cerr << "nothing to do (--force updates anyway)\n";
    return presentation_status(p);
  }
  if (!ctx.json()) std::cerr << utf8(r.view.statusText) << '\n';

  TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
  if (const int rc = confirm_or_refuse(ctx, prompter, a.yes, lang,
                                       ConfirmWarningText(lang, ModelName(ToolVariant)));
      rc != kExitOk)
    return rc;

  NotifyQueue queue;
  CountingTarget target(queue, simulated_camera());
  UpdateFlow flow;
  const StartResult sr = flow.StartUpdate(st, lang, &target, &prompter);
  if (sr != StartResult::Started) return start_failure(ctx, sr, flow, prompter);
  const RunSummary sum = drive(ctx, flow, st, lang, queue);

  const bool ok = sum.outcome && sum.code == UPD_DOWNLOAD_DONE;
  json j = run_json(sum, ok, target);
  j["presentation"] = PresentationName(p);
  j["cameraVersion"] =
      interrupted(p) ? json(nullptr) : json(hex4(st.camera.cameraFirmwareVersion));
  j["fileVersion"] = hex4(st.firmware.firmwareVersion);
  j["file"] = st.firmwarePath;
  j["status"] = utf8(st.statusText);
  if (ok) {
    j["text"] = utf8(flow.view().progressMessage);
    ctx.result(j, utf8(flow.view().progressMessage));
    return kExitOk;
  }
  return run_failed(ctx, utf8(st.statusText), sum, j,
                    "the update did not complete: keep the camera connected and run the update "
                    "again");
}

}  // namespace

void register_update_commands(CLI::App& app, Commands& commands) {
  auto st = std::make_shared<StatusArgs>();
  auto* status = app.add_subcommand(
      "status", "Look for the camera and the firmware file, as the window does (exit 0: the pass "
                "completed, 3: no camera, 4: not this product)");
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
                   "Update even when the camera is up to date (the identity check stays)");
  update->add_flag("--recover", up->recover,
                   "Finish an interrupted update on a camera that cannot be identified, taking "
                   "it to be the model the file is for");
  update->callback([&commands, up] {
    commands.choose([up](Context& c) { return run_update(c, *up); });
  });
}

}  // namespace lumavix::cli
