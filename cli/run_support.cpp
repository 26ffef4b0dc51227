// The shared part of the engine commands; the contracts are in run_support.h.
#include "cli/run_support.h"

#include <fmt/format.h>

#include <unistd.h>

#include <iostream>

#include "cli/camera_scope.h"
#include "cli/write_confirmation.h"
#include "cli/commands.h"
#include "firmware/flash.h"
#include "cli/progress_printer.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "sim/sim_hid_backend.h"

namespace lumavix::cli {

std::string hex4(std::uint32_t v) { return fmt::format("{:04X}", v & 0xFFFF); }

std::string utf8(std::u16string_view s) { return ToUtf8(s); }

const char* variant_name(ModelVariant v) {
  switch (v) {
    case ModelVariant::Q:
      return "Q";
    case ModelVariant::R:
      return "R";
    case ModelVariant::R2:
      return "R2";
  }
  return "?";
}

UiLanguage command_language() {
  const UiLanguage lang = LanguageFromEnvironment();
  SetUiLanguage(lang);
  return lang;
}

std::string no_camera_causes() {
  std::string why;
  for (const std::string& c : library_causes()) {
    if (!why.empty()) why += "; ";
    why += c;
  }
  return why;
}

int fail_no_camera(const Context& ctx) {
  const std::string why = no_camera_causes();
  const int rc =
      ctx.fail(kExitNoCamera, "no camera found" + (why.empty() ? std::string() : ": " + why));
  print_doctor_hint();
  return rc;
}

sim::SimCamera* simulated_camera() {
  auto* backend = dynamic_cast<sim::SimHidBackend*>(unscoped_platform().hid);
  if (!backend || backend->camera_count() == 0) return nullptr;
  if (kvVidHidCls_GetDevCount() > 0) {
    const std::string path = listed_path(0);
    for (std::size_t i = 0; i < backend->camera_count(); ++i) {
      sim::SimCamera* cam = backend->camera(i);
      if (cam->path() == path || cam->port() == path) return cam;
    }
  }
  return backend->camera(0);
}

CountingTarget::CountingTarget(NotifyQueue& queue, sim::SimCamera* camera)
    : queue_(queue), camera_(camera) {
  if (camera_) start_ = camera_->counters().total;
}

// Runs on the worker's thread; the first outcome fixes the count.
void CountingTarget::post(std::uint32_t code, std::uint32_t value) {
  if (camera_ && is_outcome({code, value}) && !counted_.load()) {
    at_outcome_.store(camera_->counters().total);
    counted_.store(true);
  }
  queue_.post(code, value);
}

std::optional<std::uint64_t> CountingTarget::transfers() const {
  if (!camera_) return std::nullopt;
  const std::uint64_t end = counted_.load() ? at_outcome_.load() : camera_->counters().total;
  return end - start_;
}

void pump_notifications(NotifyQueue& queue,
                        const std::function<void(const Notification&)>& handle) {
  for (;;) {
    if (const auto n = queue.try_pop()) {
      handle(*n);
      continue;
    }
    // The worker may post its last notifications while it ends: once its
    // thread is joined, nothing more can arrive.
    if (!WorkerRunning()) {
      WaitForWorker();
      for (const Notification& n : queue.drain()) handle(n);
      return;
    }
    lumavix::clock().sleep_ms(1);
  }
}

RunSummary drive(Context& ctx, UpdateFlow& flow, DeviceWatchState& window, UiLanguage lang,
                 NotifyQueue& queue) {
  RunSummary sum;
  const std::uint32_t start = lumavix::clock().ticks_ms();
  bool have_elapsed = false;
  std::u16string last_status = window.statusText;
  ProgressPrinter progress(ctx.json() ? std::cout : std::cerr,
                           ProgressModeFor(ctx.json(), STDERR_FILENO), lang);

  auto handle = [&](const Notification& n) {
    const NotifyEffect e = flow.HandleNotification(window, lang, n.code, n.value);
    if (n.code == UPD_ELAPSED_MS) {
      sum.elapsedMs = n.value;
      have_elapsed = true;
    }
    if (e.terminal && !sum.outcome) {
      sum.outcome = true;
      sum.code = n.code;
    }
    const bool status_changed = window.statusText != last_status;
    last_status = window.statusText;
    if (ctx.json()) {
      const std::lock_guard<std::mutex> out(stdout_mutex());
      progress.Update(flow.view(), e, flow.progressPercent());
      if (n.code != UPD_DOWNLOAD_POS && n.code != UPD_VALIDATE_POS && n.code != UPD_ERASE_POS) {
        json ev{{"event", "notify"}, {"code", update_code_name(n.code)}, {"value", n.value}};
        if (status_changed) ev["status"] = utf8(window.statusText);
        std::cout << json_text(ev) << '\n';
      }
      std::cout.flush();
    } else {
      if (status_changed) {
        progress.BreakLine();
        std::cerr << utf8(window.statusText) << '\n';
      }
      progress.Update(flow.view(), e, flow.progressPercent());
    }
    if (e.ringStep) flow.RingStepDrawn();
  };

  pump_notifications(queue, handle);
  progress.BreakLine();
  if (!have_elapsed) sum.elapsedMs = lumavix::clock().ticks_ms() - start;
  return sum;
}

int refusal_status(const TerminalPrompter& prompter) {
  if (prompter.shown().empty()) return kExitFailed;
  const std::string& why = prompter.shown().back();
  if (why == kMsgNoDevice) return kExitNoCamera;
  if (why == kMsgThreadRunning || why == kMsgCreateDownloadThread ||
      why == kMsgCreateUploadThread || why == kMsgBootMemoryUnknown)
    return kExitFailed;
  return kExitUsage;  // the file or the request
}

json run_json(const RunSummary& sum, bool ok, const CountingTarget& target) {
  json j{{"result", ok ? "success" : "failed"},
         {"outcome", sum.outcome ? update_code_name(sum.code) : "none"},
         {"elapsedMs", sum.elapsedMs}};
  if (const auto t = target.transfers()) j["transfers"] = *t;
  return j;
}

json failed_run(const std::string& why, const RunSummary& sum, const json& j,
                const char* advice) {
  std::cerr << "error: " << why << " ("
            << (sum.outcome ? update_code_name(sum.code) : "no outcome") << ")\n";
  // A run that refused before touching the camera says why; running it
  // again would not help, so the advice does not apply.
  const std::string refusal = LastRefusal();
  if (!refusal.empty()) {
    std::cerr << "refused before touching the camera: " << refusal << '\n';
  } else if (advice) {
    std::cerr << advice << '\n';
  }
  json out = j;
  out["refusal"] = refusal.empty() ? json(nullptr) : json(refusal);
  // An image the flash cannot hold is the file's fault: bad input, as for
  // any other unusable file.
  const int status =
      refusal.starts_with(kRefusalImageTooLarge) ? kExitUsage : kExitFailed;
  if (!out.contains("error")) out["error"] = refusal.empty() ? why : refusal;
  out["exitStatus"] = status;
  return out;
}

int run_failed(Context& ctx, const std::string& why, const RunSummary& sum, const json& j,
               const char* advice) {
  const json out = failed_run(why, sum, j, advice);
  if (ctx.json()) ctx.result(out, {});
  return out["exitStatus"].get<int>();
}

int start_failure(Context& ctx, StartResult r, const UpdateFlow& flow,
                  const TerminalPrompter& prompter) {
  switch (r) {
    case StartResult::FileOpenError:
    case StartResult::FileSizeError:
      return ctx.fail(kExitUsage, flow.view().messageBox);
    case StartResult::NotSupported:
      return ctx.fail(kExitFailed, flow.view().messageBox);
    case StartResult::CameraBusy:
      return ctx.fail(kExitFailed, kMsgCameraBusy);
    case StartResult::LockError:
      return ctx.fail(kExitFailed, "cannot reserve the camera for writing: " +
                                       flow.writerLockNote() + "; nothing was written");
    case StartResult::EngineRefused:
      return ctx.fail(refusal_status(prompter),
                      "the download was refused" +
                          (prompter.shown().empty() ? std::string()
                                                    : ": " + prompter.shown().back()));
    case StartResult::Started:
      break;
  }
  return kExitOk;
}

int confirm_or_refuse(Context& ctx, TerminalPrompter& prompter, bool yes, UiLanguage lang,
                      const std::u16string& warning) {
  if (yes) return kExitOk;
  if (!prompter.interactive())
    return ctx.fail(kExitUsage,
                    "the camera's flash is about to be rewritten: confirm with --yes "
                    "(standard input is not a terminal)");
  const MessageAnswer a = prompter.confirm(utf8(ConfirmText(lang, kConfirmSlotHeading)), utf8(warning),
                                           utf8(ConfirmText(lang, kConfirmSlotOk)), utf8(ConfirmText(lang, kConfirmSlotCancel)));
  if (a != MessageAnswer::Ok) return ctx.fail(kExitFailed, "cancelled; nothing was written");
  return kExitOk;
}

int confirm_flash_write(Context& ctx, bool yes, const std::string& warning) {
  TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
  return confirm_or_refuse(ctx, prompter, yes, command_language(), FromUtf8(warning));
}

}  // namespace lumavix::cli
