// One camera's update; the contract is in update_run.h.
#include "cli/update_run.h"

#include <iostream>
#include <utility>

#include "app/core/update_flow.h"
#include "cli/commands.h"
#include "cli/replug_wait.h"
#include "cli/terminal_prompter.h"
#include "cli/update_plan.h"
#include "cli/watch_pass.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"
#include "platform/user_folders.h"

namespace lumavix::cli {

CameraUpdate camera_error(int status, const std::string& message, CameraUpdate found) {
  std::cerr << "error: " << message << '\n';
  CameraUpdate u = std::move(found);
  u.status = status;
  u.object = json{{"error", message}, {"exitStatus", status}};
  return u;
}

DeviceWatchConfig update_watch_config(const UpdateArgs& a, UiLanguage lang) {
  DeviceWatchConfig cfg;
  cfg.language = lang;
  cfg.firmwareFile = a.file;
  cfg.firmwareImage = a.image;
  cfg.recover = a.recover;
  // Without a file named, the working folder and then the user's Downloads.
  if (a.file.empty()) cfg.downloadsFolder = SystemUserFolders().Downloads().value_or("");
  return cfg;
}

CameraUpdate update_camera(Context& ctx, const UpdateArgs& a, UiLanguage lang, bool confirmed) {
  EngineSession session;
  DeviceWatchState st;
  const DeviceWatchConfig cfg = update_watch_config(a, lang);
  DeviceWatchResult r;
  // A pass that cannot read the file has said why (and printed its object).
  if (auto rc = watch(ctx, st, r, cfg)) {
    CameraUpdate u;
    u.status = *rc;
    return u;
  }

  const Presentation p = r.view.presentation;
  CameraUpdate base;
  base.presentation = p;
  // Not a state of the camera: another program is writing it, and this run
  // is the second writer.
  if (p == Presentation::CameraBusy) return camera_error(kExitFailed, kMsgCameraBusy, base);
  if (p != Presentation::NoCamera && !flash_untrusted(r)) {
    base.productId = st.camera.cameraProductId;
    base.cameraVersion = st.camera.cameraFirmwareVersion;
  } else if (flash_untrusted(r) && r.usbProductId != 0) {
    base.productId = r.usbProductId;
  }
  if (st.firmware.read) base.fileVersion = st.firmware.firmwareVersion;
  base.unfinished = IdentityUnfinished(r.flashIdentity);
  // A known id of another model: --recover does not make it this model's.
  if (r.otherModelRefused) return camera_error(kExitNotThisProduct, other_model_message(st, r), base);
  // A damaged file is refused before the version decision, which would read
  // its missing fields as zero and call the camera up to date.
  if (p == Presentation::UpdateAvailable || p == Presentation::UpToDate ||
      p == Presentation::Interrupted) {
    const std::string problem =
        st.image ? firmware_file_problem(*st.image) : firmware_file_problem(st.firmwarePath);
    if (!problem.empty()) {
      return camera_error(kExitUsage, problem + "; nothing was written to the camera", base);
    }
    if (!ImageReadsFinished(st.firmware))
      return camera_error(kExitUsage,
                          unfinished_image_message(st) + "; nothing was written to the camera",
                          base);
  }
  // An interrupted update is finished without --force: the camera's
  // version is unknown, and the update is what it needs.
  const bool go = OffersUpdate(p) || (a.force && p == Presentation::UpToDate);
  if (!go) {
    CameraUpdate u = base;
    u.status = presentation_status(p);
    u.object = status_json(st, r);
    u.object["result"] = "skipped";
    if (!ctx.json()) std::cerr << status_text(r) << '\n';
    if (p == Presentation::UpToDate) std::cerr << "nothing to do (--force updates anyway)\n";
    return u;
  }
  if (!ctx.json()) std::cerr << utf8(r.view.statusText) << '\n';

  if (a.dry_run) {
    const WritePlan plan = plan_write(st, UpdateFlowSwitches{}, lang);
    if (!plan.ok) {
      return camera_error(plan.refused ? kExitUsage : kExitFailed,
                          "no plan could be made: " + plan.error, base);
    }
    CameraUpdate u = base;
    u.object = plan.object;
    u.object["presentation"] = PresentationName(p);
    u.object["cameraVersion"] =
        is_interrupted(p) ? json(nullptr) : json(hex4(st.camera.cameraFirmwareVersion));
    u.text = plan.text;
    return u;
  }

  TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
  if (const int rc = confirm_or_refuse(ctx, prompter, a.yes || confirmed, lang,
                                       ConfirmWarningText(lang, ModelName(ToolVariant)));
      rc != kExitOk) {
    CameraUpdate u = base;
    u.status = rc;
    return u;
  }

  NotifyQueue queue;
  CountingTarget target(queue, simulated_camera());
  UpdateFlow flow;
  const StartResult sr = flow.StartUpdate(st, lang, &target, &prompter);
  if (sr != StartResult::Started) {
    CameraUpdate u = base;
    u.status = start_failure(ctx, sr, flow, prompter);
    return u;
  }
  warn_writer_lock(flow.writerLockNote());
  const RunSummary sum = drive(ctx, flow, st, lang, queue);

  CameraUpdate u = base;
  u.written = true;
  const bool ok = sum.outcome && sum.code == UPD_DOWNLOAD_DONE;
  json j = run_json(sum, ok, target);
  j["presentation"] = PresentationName(p);
  j["cameraVersion"] =
      is_interrupted(p) ? json(nullptr) : json(hex4(st.camera.cameraFirmwareVersion));
  j["fileVersion"] = hex4(st.firmware.firmwareVersion);
  j["file"] = st.firmwarePath;
  j["fileSource"] = FirmwareSourceName(r.fileSource);
  j["status"] = utf8(st.statusText);
  if (!ok) {
    u.object = failed_run(utf8(st.statusText), sum, j,
                          "the update did not complete: keep the camera connected and run the "
                          "update again");
    u.status = u.object["exitStatus"].get<int>();
    return u;
  }
  j["text"] = utf8(flow.view().progressMessage);
  u.status = kExitOk;
  u.text = utf8(flow.view().progressMessage);
  if (a.wait_replug_s) {
    if (!ctx.json()) std::cerr << u.text << '\n';
    const ReplugOutcome w = wait_for_replug(st, cfg, *a.wait_replug_s);
    j["confirmed"] = w.confirmed;
    j["confirmation"] = w.message;
    u.text = w.message;
    if (!w.confirmed) {
      std::cerr << "error: " << w.message << '\n';
      u.status = kExitFailed;
      u.text.clear();
    }
  }
  u.object = j;
  return u;
}

}  // namespace lumavix::cli
