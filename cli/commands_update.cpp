// The tool's main job on the command line: the device-watch pass (status),
// the update with its confirmation and progress, and the engineering
// commands around it (download, dump, userdata read, config).
//
// Every command opens the device library through the update engine, as the
// window does, and closes it again before it ends.
#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <algorithm>
#include <tuple>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/device_watch.h"
#include "app/texts.h"
#include "app/update_flow.h"
#include "cli/commands.h"
#include "cli/terminal_prompter.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "firmware/product_config.h"
#include "settings/userdata.h"
#include "sim/sim_hid_backend.h"

namespace lumavix::cli {
namespace {

using json = nlohmann::ordered_json;

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

// Closes the engine's library when a command ends, after any worker.
struct EngineSession {
  EngineSession() = default;
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;
  ~EngineSession() {
    WaitForWorker();
    CloseDevices();
  }
};

std::string no_camera_causes() {
  std::string why;
  for (const std::string& c : library_state().causes) {
    if (!why.empty()) why += "; ";
    why += c;
  }
  return why;
}

// The failure of a command that found no camera, with the doctor's hint when
// a node refused this user.
int fail_no_camera(const Context& ctx) {
  const std::string why = no_camera_causes();
  const int rc =
      ctx.fail(kExitNoCamera, "no camera found" + (why.empty() ? std::string() : ": " + why));
  print_doctor_hint();
  return rc;
}

// The first simulated camera when the command runs against the simulator.
sim::SimCamera* simulated_camera() {
  auto* backend = dynamic_cast<sim::SimHidBackend*>(platform().hid);
  if (!backend || backend->camera_count() == 0) return nullptr;
  return backend->camera(0);
}

// Forwards the worker's reports to a queue and notes, on the worker's
// thread, how many transfers the simulated camera had seen when the outcome
// was posted.
class CountingTarget final : public NotifyTarget {
 public:
  CountingTarget(NotifyQueue& queue, sim::SimCamera* camera) : queue_(queue), camera_(camera) {
    if (camera_) start_ = camera_->counters().total;
  }
  void post(std::uint32_t code, std::uint32_t value) override {
    if (camera_ && is_outcome({code, value}) && !counted_.load()) {
      at_outcome_.store(camera_->counters().total);
      counted_.store(true);
    }
    queue_.post(code, value);
  }
  [[nodiscard]] std::optional<std::uint64_t> transfers() const {
    if (!camera_) return std::nullopt;
    const std::uint64_t end = counted_.load() ? at_outcome_.load() : camera_->counters().total;
    return end - start_;
  }

 private:
  NotifyQueue& queue_;
  sim::SimCamera* camera_;
  std::uint64_t start_ = 0;
  std::atomic<std::uint64_t> at_outcome_{0};
  std::atomic<bool> counted_{false};
};

struct RunSummary {
  bool outcome = false;
  std::uint32_t code = 0;
  std::uint32_t elapsedMs = 0;
};

// Feeds every notification of the running worker to the flow until the
// worker's thread has ended and its queue is empty. Progress goes to stderr
// in text mode and as event lines in JSON mode.
RunSummary drive(Context& ctx, UpdateFlow& flow, DeviceWatchState& window, UiLanguage lang,
                 NotifyQueue& queue) {
  RunSummary sum;
  const std::uint32_t start = lumavix::clock().ticks_ms();
  bool have_elapsed = false;
  std::u16string last_status = window.statusText;
  bool percent_line_open = false;

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
      if (e.ringStep && flow.progressPercent() <= 100) {
        std::cout << json{{"event", "progress"}, {"percent", flow.progressPercent()}}.dump()
                  << '\n';
      }
      if (n.code != UPD_DOWNLOAD_POS && n.code != UPD_VALIDATE_POS && n.code != UPD_ERASE_POS) {
        json ev{{"event", "notify"}, {"code", update_code_name(n.code)}, {"value", n.value}};
        if (status_changed) ev["status"] = utf8(window.statusText);
        std::cout << ev.dump() << '\n';
      }
      std::cout.flush();
    } else {
      if (status_changed) {
        if (percent_line_open) std::cerr << '\n';
        percent_line_open = false;
        std::cerr << utf8(window.statusText) << '\n';
      }
      if (e.ringStep && flow.progressPercent() <= 100) {
        std::cerr << '\r' << fmt::format("{:3d} %", flow.progressPercent()) << std::flush;
        percent_line_open = true;
      }
    }
    if (e.ringStep) flow.RingStepDrawn();
  };

  for (;;) {
    if (const auto n = queue.try_pop()) {
      handle(*n);
      continue;
    }
    if (!WorkerRunning()) {
      WaitForWorker();
      for (const Notification& n : queue.drain()) handle(n);
      break;
    }
    lumavix::clock().sleep_ms(1);
  }
  if (percent_line_open) std::cerr << '\n';
  if (!have_elapsed) sum.elapsedMs = lumavix::clock().ticks_ms() - start;
  return sum;
}

// Exit status of a refused engine start, from the reason it showed.
int refusal_status(const TerminalPrompter& prompter) {
  if (prompter.shown().empty()) return kExitFailed;
  const std::string& why = prompter.shown().back();
  if (why == kMsgNoDevice) return kExitNoCamera;
  if (why == kMsgThreadRunning || why == kMsgCreateDownloadThread ||
      why == kMsgCreateUploadThread)
    return kExitFailed;
  return kExitUsage;  // the file or the request
}

// The result object of a worker run: its verdict, outcome, time and, when
// simulating, the transfers it took.
json run_json(const RunSummary& sum, bool ok, const CountingTarget& target) {
  json j{{"result", ok ? "success" : "failed"},
         {"outcome", sum.outcome ? update_code_name(sum.code) : "none"},
         {"elapsedMs", sum.elapsedMs}};
  if (const auto t = target.transfers()) j["transfers"] = *t;
  return j;
}

// Ends a failed run: the reason and the outcome on stderr (then `advice`,
// when given), the result object in JSON mode.
int run_failed(Context& ctx, const std::string& why, const RunSummary& sum, const json& j,
               const char* advice = nullptr) {
  std::cerr << "error: " << why << " ("
            << (sum.outcome ? update_code_name(sum.code) : "no outcome") << ")\n";
  if (advice) std::cerr << advice << '\n';
  if (ctx.json()) ctx.result(j, {});
  return kExitFailed;
}

int start_failure(Context& ctx, StartResult r, const UpdateFlow& flow,
                  const TerminalPrompter& prompter) {
  switch (r) {
    case StartResult::FileOpenError:
    case StartResult::FileSizeError:
      return ctx.fail(kExitUsage, flow.view().messageBox);
    case StartResult::NotSupported:
      return ctx.fail(kExitFailed, flow.view().messageBox);
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

// The confirmation before anything is written. Returns kExitOk to go on.
int confirm_or_refuse(Context& ctx, TerminalPrompter& prompter, bool yes, UiLanguage lang,
                      const std::u16string& warning) {
  if (yes) return kExitOk;
  if (!prompter.interactive())
    return ctx.fail(kExitUsage,
                    "the camera's flash is about to be rewritten: confirm with --yes "
                    "(standard input is not a terminal)");
  const MessageAnswer a = prompter.confirm(utf8(ConfirmText(lang, 0)), utf8(warning),
                                           utf8(ConfirmText(lang, 4)), utf8(ConfirmText(lang, 3)));
  if (a != MessageAnswer::Ok) return ctx.fail(kExitFailed, "cancelled; nothing was written");
  return kExitOk;
}

json camera_json(const DeviceWatchState& st, const DeviceWatchResult& r) {
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
  j["cameraVersion"] = identified ? json(hex4(st.camera.cameraFirmwareVersion)) : json(nullptr);
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
      return kExitOk;
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
};

int run_update(Context& ctx, const UpdateArgs& a) {
  const UiLanguage lang = command_language();
  EngineSession session;
  DeviceWatchState st;
  DeviceWatchConfig cfg;
  cfg.language = lang;
  cfg.firmwareFile = a.file;
  DeviceWatchResult r;
  if (auto rc = watch(ctx, st, r, cfg)) return *rc;

  const Presentation p = r.view.presentation;
  // A damaged file is refused before the version decision, which would read
  // its missing fields as zero and call the camera up to date.
  if (p == Presentation::UpdateAvailable || p == Presentation::UpToDate) {
    const std::string problem = firmware_file_problem(st.firmwarePath);
    if (!problem.empty())
      return ctx.fail(kExitUsage, problem + "; nothing was written to the camera");
  }
  const bool go = p == Presentation::UpdateAvailable || (a.force && p == Presentation::UpToDate);
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
  j["cameraVersion"] = hex4(st.camera.cameraFirmwareVersion);
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

// ---------------------------------------------------------------- download --

struct DownloadArgs {
  std::string file;
  bool yes = false;
};

int run_download(Context& ctx, const DownloadArgs& a) {
  const UiLanguage lang = command_language();
  {
    std::FILE* f = std::fopen(a.file.c_str(), "rb");
    if (!f) return ctx.fail(kExitUsage, fmt::format("cannot open {}: {}", a.file, std::strerror(errno)));
    std::fclose(f);
  }
  EngineSession session;
  DeviceWatchState st;
  st.deviceOpen = OpenDevices();
  if (st.deviceOpen == 0) {
    return fail_no_camera(ctx);
  }
  std::uint32_t reg = 0;
  if (ReadRegister(0x0000, 4, reg)) st.chipGen = ChipGenFromRegister(reg);
  st.firmwarePath = a.file;

  TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
  const std::u16string warning = widen_narrow_text(fmt::format(
      "{} is about to be written to the camera's {} without any identity or version check.",
      a.file, st.chipGen == 2 ? "serial flash" : "memory"));
  if (const int rc = confirm_or_refuse(ctx, prompter, a.yes, lang, warning); rc != kExitOk)
    return rc;

  NotifyQueue queue;
  CountingTarget target(queue, simulated_camera());
  UpdateFlowSwitches sw;
  sw.allowChipGen0Download = true;  // engineering: the older chips take the plain layout
  UpdateFlow flow(sw);
  const StartResult sr = flow.StartUpdate(st, lang, &target, &prompter);
  if (sr != StartResult::Started) return start_failure(ctx, sr, flow, prompter);
  const RunSummary sum = drive(ctx, flow, st, lang, queue);

  const bool ok = sum.outcome && sum.code == UPD_DOWNLOAD_DONE;
  json j = run_json(sum, ok, target);
  j["mode"] = flow.request().mode;
  j["status"] = utf8(st.statusText);
  if (ok) {
    ctx.result(j, fmt::format("{} ({} ms)", utf8(st.statusText), sum.elapsedMs));
    return kExitOk;
  }
  return run_failed(ctx, utf8(st.statusText), sum, j);
}

// -------------------------------------------------------------------- dump --

struct DumpArgs {
  std::string output = kDumpFileName;
  std::string length = "0x20000";
};

int run_dump(Context& ctx, const DumpArgs& a) {
  const UiLanguage lang = command_language();
  unsigned long length = 0;
  if (!parse_count(a.length, kMaxUploadLength, length) || length == 0)
    return ctx.fail(kExitUsage, fmt::format("--length must be 1..{}: {}", kMaxUploadLength, a.length));
  if (a.output.empty()) return ctx.fail(kExitUsage, "-o needs a file name");
  // The worker writes a temporary file beside the target, renamed into place
  // only once the dump succeeded: a failed dump leaves no half file.
  const std::string tmp = a.output + ".part";
  if (tmp.size() > kMaxUploadPathLength)
    return ctx.fail(kExitUsage, fmt::format("the output path is longer than {} characters",
                                            kMaxUploadPathLength - 5));
  // An output that cannot be created is reported before the flash is read,
  // naming the file the user gave.
  if (std::FILE* probe = std::fopen(tmp.c_str(), "wb")) {
    std::fclose(probe);
    std::remove(tmp.c_str());
  } else {
    return ctx.fail(kExitFailed, fmt::format("cannot create {}: {}", a.output, std::strerror(errno)));
  }

  EngineSession session;
  DeviceWatchState st;
  st.deviceOpen = OpenDevices();
  if (st.deviceOpen == 0) {
    return fail_no_camera(ctx);
  }

  TerminalPrompter prompter(false, std::cin, std::cerr);
  NotifyQueue queue;
  CountingTarget target(queue, simulated_camera());
  UploadRequest up;
  up.notifyWindow = &target;
  up.owner = &prompter;
  up.length = static_cast<std::uint32_t>(length);
  up.outputPath = tmp;
  UpdateFlow flow;
  if (StartUpload(up) == kNoWorker) {
    std::remove(tmp.c_str());
    return ctx.fail(refusal_status(prompter), "the dump was refused" +
                                                   (prompter.shown().empty()
                                                        ? std::string()
                                                        : ": " + prompter.shown().back()));
  }
  const RunSummary sum = drive(ctx, flow, st, lang, queue);

  bool ok = sum.outcome && sum.code == UPD_UPLOAD_DONE;
  std::string why = utf8(st.statusText);
  if (ok && std::rename(tmp.c_str(), a.output.c_str()) != 0) {
    ok = false;
    why = fmt::format("cannot create {}: {}", a.output, std::strerror(errno));
  }
  if (!ok) std::remove(tmp.c_str());

  json j = run_json(sum, ok, target);
  j["file"] = a.output;
  j["length"] = length;
  if (ok) {
    ctx.result(j, fmt::format("wrote {} ({} bytes of flash and its CRC-32)", a.output, length));
    return kExitOk;
  }
  return run_failed(ctx, why, sum, j);
}

// ---------------------------------------------------------------- userdata --

struct UserDataWriteArgs {
  std::optional<std::string> vendorId, productId, version;
  std::optional<std::string> vendorString, productString, serial;
  std::vector<std::string> uvc;
  bool yes = false;
};

// Four hexadecimal digits at most, with or without "0x".
bool parse_hex16(const std::string& text, std::uint16_t& out) {
  std::string t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > 4) return false;
  unsigned v = 0;
  for (char c : t) {
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                              : -1;
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  out = static_cast<std::uint16_t>(v);
  return true;
}

// UTF-8 from the terminal to the block's single-byte text (ISO 8859-1).
// False when a character has no single-byte form or the UTF-8 is broken:
// the string would otherwise be stored as something the user did not type.
bool utf8_to_latin1(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size();) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < in.size() &&
               (static_cast<unsigned char>(in[i + 1]) & 0xC0) == 0x80) {
      const unsigned cp = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
      if (cp < 0x80 || cp > 0xFF) return false;
      out += static_cast<char>(cp);
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

// The block's single-byte text as UTF-8 for the terminal and JSON.
std::string latin1_to_utf8(const std::string& in) {
  std::string out;
  for (const char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

int run_userdata_read(Context& ctx) {
  (void)command_language();
  EngineSession session;
  if (OpenDevices() == 0) {
    return fail_no_camera(ctx);
  }
  EepromUserData rec;
  if (!ReadUserDataBlock(rec)) return ctx.fail(kExitFailed, kMsgReadUserDataFail);
  CameraIdentity id;
  ApplyModelVariant(rec.chipType, rec.productId, id);

  std::string uvc;
  for (std::uint8_t b : rec.uvcDefaults) uvc += fmt::format("{:02X}", b);
  std::string carriedG;
  for (std::uint8_t b : rec.carriedG) carriedG += fmt::format("{:02X}", b);
  auto u16 = [&](std::uint32_t off) {
    return static_cast<std::uint16_t>(rec.uvcDefaults[off] | rec.uvcDefaults[off + 1] << 8);
  };
  const json uvcValues{{"brightness", u16(kUvcBrightness)}, {"contrast", u16(kUvcContrast)},
                       {"gain", u16(kUvcGain)},             {"hue", u16(kUvcHue)},
                       {"saturation", u16(kUvcSaturation)}, {"sharpness", u16(kUvcSharpness)},
                       {"gamma", u16(kUvcGamma)}};
  json j{{"chipName", rec.chipName},
         {"chipType", rec.chipType},
         {"firmwareVersion", hex4(rec.firmwareVersion)},
         {"vendorId", hex4(rec.vendorId)},
         {"productId", hex4(rec.productId)},
         {"vendorString", latin1_to_utf8(rec.vendorString)},
         {"productString", latin1_to_utf8(rec.productString)},
         {"serialNumber", latin1_to_utf8(rec.serialNumber)},
         {"uvcDefaults", uvc},
         {"uvcValues", uvcValues},
         {"carriedA", rec.carriedA},
         {"carriedB", rec.carriedB},
         {"carriedC", rec.carriedC},
         {"carriedD", rec.carriedD},
         {"carriedE", rec.carriedE},
         {"carriedF", rec.carriedF},
         {"carriedG", carriedG},
         {"variant", variant_name(id.CameraVariant)},
         {"model", utf8(id.cameraModelText)},
         {"altProductId", id.cameraAltProductId}};
  const std::string text = fmt::format(
      "chip              {} (type {})\nfirmware version  {:04X}\nvendor id         {:04X}\n"
      "product id        {:04X}\nvendor string     {}\nproduct string    {}\n"
      "serial number     {}\nmodel             {}\nUVC defaults      {}\n"
      "carried           A={:02X} B={:02X} C={:04X} D={:04X} E={:04X} F={:04X} G={}\n",
      rec.chipName, rec.chipType, rec.firmwareVersion, rec.vendorId, rec.productId,
      latin1_to_utf8(rec.vendorString), latin1_to_utf8(rec.productString),
      latin1_to_utf8(rec.serialNumber), utf8(id.cameraModelText), uvc,
      rec.carriedA, rec.carriedB, rec.carriedC, rec.carriedD, rec.carriedE, rec.carriedF,
      carriedG);
  ctx.result(j, text);
  return kExitOk;
}

int run_userdata_write(Context& ctx, const UserDataWriteArgs& a) {
  const UiLanguage lang = command_language();
  // Everything the user gave is checked before the camera is touched.
  std::optional<std::uint16_t> vendor_id, product_id, version;
  for (const auto& [given, out, name] :
       {std::tuple{&a.vendorId, &vendor_id, "--vendor-id"},
        std::tuple{&a.productId, &product_id, "--product-id"},
        std::tuple{&a.version, &version, "--version"}}) {
    if (!*given) continue;
    std::uint16_t v = 0;
    if (!parse_hex16(**given, v))
      return ctx.fail(kExitUsage, fmt::format("{} must be 1 to 4 hexadecimal digits: {}", name, **given));
    *out = v;
  }
  std::optional<std::string> strings[3];
  const std::optional<std::string>* given_strings[3] = {&a.vendorString, &a.productString, &a.serial};
  const char* string_names[3] = {"--vendor-string", "--product-string", "--serial"};
  for (int i = 0; i < 3; ++i) {
    if (!*given_strings[i]) continue;
    std::string narrow;
    if (!utf8_to_latin1(**given_strings[i], narrow))
      return ctx.fail(kExitUsage, fmt::format("{}: only Latin-1 characters can be stored", string_names[i]));
    if (narrow.size() > kUdStringUnits)
      return ctx.fail(kExitUsage, fmt::format("{}: at most {} characters fit in the block ({} given)",
                                              string_names[i], kUdStringUnits, narrow.size()));
    strings[i] = narrow;
  }
  static constexpr std::pair<const char*, std::uint32_t> kUvcNames[] = {
      {"brightness", kUvcBrightness}, {"contrast", kUvcContrast},     {"gain", kUvcGain},
      {"hue", kUvcHue},               {"saturation", kUvcSaturation}, {"sharpness", kUvcSharpness},
      {"gamma", kUvcGamma}};
  std::vector<std::pair<std::uint32_t, std::uint16_t>> uvc;
  for (const std::string& item : a.uvc) {
    const auto eq = item.find('=');
    std::uint16_t v = 0;
    const std::string name = eq == std::string::npos ? item : item.substr(0, eq);
    const auto known = std::find_if(std::begin(kUvcNames), std::end(kUvcNames),
                                    [&](const auto& n) { return name == n.first; });
    if (eq == std::string::npos || known == std::end(kUvcNames) ||
        !parse_hex16(item.substr(eq + 1), v))
      return ctx.fail(kExitUsage,
                      "--uvc takes NAME=HEX with NAME one of brightness, contrast, gain, hue, "
                      "saturation, sharpness, gamma: " + item);
    uvc.emplace_back(known->second, v);
  }
  if (!vendor_id && !product_id && !version && !strings[0] && !strings[1] && !strings[2] &&
      uvc.empty())
    return ctx.fail(kExitUsage, "nothing to write: give at least one field to change");

  EngineSession session;
  if (OpenDevices() == 0) return fail_no_camera(ctx);
  EepromUserData rec;
  if (!ReadUserDataBlock(rec)) return ctx.fail(kExitFailed, kMsgReadUserDataFail);
  const EepromUserData before = rec;
  if (vendor_id) rec.vendorId = *vendor_id;
  if (product_id) rec.productId = *product_id;
  if (version) rec.firmwareVersion = *version;
  if (strings[0]) rec.vendorString = *strings[0];
  if (strings[1]) rec.productString = *strings[1];
  if (strings[2]) rec.serialNumber = *strings[2];
  for (const auto& [offset, value] : uvc) {
    rec.uvcDefaults[offset] = static_cast<std::uint8_t>(value & 0xFF);
    rec.uvcDefaults[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  if (rec == before) {
    ctx.result(json{{"result", "unchanged"}}, "the block already holds these values; nothing was written");
    return kExitUpToDate;
  }

  TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
  if (const int rc = confirm_or_refuse(ctx, prompter, a.yes, lang,
                                       u"The camera's user-data block (its USB identity and "
                                       u"defaults) is about to be rewritten.");
      rc != kExitOk)
    return rc;

  // WriteUserDataBlock reads the sector back and compares it; the block is
  // then read again so that what is reported is what the camera holds.
  if (!WriteUserDataBlock(rec)) return ctx.fail(kExitFailed, kMsgWriteUserDataFail);
  EepromUserData after;
  if (!ReadUserDataBlock(after) || !(after == rec))
    return ctx.fail(kExitFailed, "the user-data block read back differs from what was written");
  json j{{"result", "success"},
         {"firmwareVersion", hex4(after.firmwareVersion)},
         {"vendorId", hex4(after.vendorId)},
         {"productId", hex4(after.productId)},
         {"vendorString", latin1_to_utf8(after.vendorString)},
         {"productString", latin1_to_utf8(after.productString)},
         {"serialNumber", latin1_to_utf8(after.serialNumber)}};
  ctx.result(j, kMsgWriteUserDataOk);
  return kExitOk;
}

// ------------------------------------------------------------------ config --

int run_config(Context& ctx) {
  const UiLanguage lang = command_language();
  const json switches{{"AllowChipGen0Download", AllowChipGen0Download},
                      {"ChainSettingTables", ChainSettingTables},
                      {"EnableUserDataPage", EnableUserDataPage},
                      {"DumpAfterDownload", DumpAfterDownload}};
  const json j{{"toolVariant", variant_name(ToolVariant)},
               {"productIds",
                {{"QA", hex4(ProductIdQA)},
                 {"QB", hex4(ProductIdQB)},
                 {"QAlt", hex4(ProductIdQAlt)},
                 {"RA", hex4(ProductIdRA)},
                 {"RB", hex4(ProductIdRB)},
                 {"R2", hex4(ProductIdR2)}}},
               {"vendorId", hex4(VendorId)},
               {"downloadUrl", DownloadUrl},
               {"switches", switches},
               {"modelName", utf8(ModelName(ToolVariant))},
               {"windowTitle", utf8(WindowTitle(lang, ToolVariant))}};
  const std::string text = fmt::format(
      "tool variant      {}\nmodel name        {}\nwindow title      {}\nvendor id         {:04X}\n"
      "product ids       QA {:04X}  QB {:04X}  QAlt {:04X}  RA {:04X}  RB {:04X}  R2 {:04X}\n"
      "download page     {}\nswitches          AllowChipGen0Download={} ChainSettingTables={} "
      "EnableUserDataPage={} DumpAfterDownload={}\n",
      variant_name(ToolVariant), utf8(ModelName(ToolVariant)), utf8(WindowTitle(lang, ToolVariant)),
      VendorId, ProductIdQA, ProductIdQB, ProductIdQAlt, ProductIdRA, ProductIdRB, ProductIdR2,
      DownloadUrl, AllowChipGen0Download, ChainSettingTables, EnableUserDataPage,
      DumpAfterDownload);
  ctx.result(j, text);
  return kExitOk;
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
  update->callback([&commands, up] {
    commands.choose([up](Context& c) { return run_update(c, *up); });
  });

  auto dl = std::make_shared<DownloadArgs>();
  auto* download = app.add_subcommand(
      "download", "Engineering download of FILE, without identity or version checks");
  download->add_option("FILE", dl->file, "Firmware file")->required();
  download->add_flag("--yes,-y", dl->yes, "Confirm without asking");
  download->callback([&commands, dl] {
    commands.choose([dl](Context& c) { return run_download(c, *dl); });
  });

  auto dp = std::make_shared<DumpArgs>();
  auto* dump = app.add_subcommand("dump", "Read the flash back into a firmware file");
  dump->add_option("-o,--output", dp->output, "Output file (default: Dump.bin_)");
  dump->add_option("--length", dp->length, "Bytes of flash (default: 0x20000)");
  dump->callback([&commands, dp] {
    commands.choose([dp](Context& c) { return run_dump(c, *dp); });
  });

  auto* userdata = app.add_subcommand("userdata", "The camera's user-data block");
  userdata->require_subcommand(1);
  auto* ud_read = userdata->add_subcommand("read", "Show every field of the block");
  ud_read->callback([&commands] { commands.choose([](Context& c) { return run_userdata_read(c); }); });
  auto uw = std::make_shared<UserDataWriteArgs>();
  auto* ud_write = userdata->add_subcommand(
      "write", "Engineering: change the given fields of the block, keep the rest, write and "
               "verify (asks for confirmation unless --yes)");
  ud_write->add_option("--vendor-id", uw->vendorId, "USB vendor id (HEX)");
  ud_write->add_option("--product-id", uw->productId, "USB product id (HEX)");
  ud_write->add_option("--version", uw->version, "Firmware version (HEX)");
  ud_write->add_option("--vendor-string", uw->vendorString, "Vendor string (at most 30 characters)");
  ud_write->add_option("--product-string", uw->productString, "Product string (at most 30 characters)");
  ud_write->add_option("--serial", uw->serial, "Serial number (at most 30 characters)");
  ud_write->add_option("--uvc", uw->uvc,
                       "A video default as NAME=HEX (brightness, contrast, gain, hue, saturation, "
                       "sharpness, gamma); repeatable");
  ud_write->add_flag("--yes", uw->yes, "Answer the confirmation with OK");
  ud_write->callback([&commands, uw] {
    commands.choose([uw](Context& c) { return run_userdata_write(c, *uw); });
  });

  auto* config = app.add_subcommand("config", "The build's constants");
  config->callback([&commands] { commands.choose([](Context& c) { return run_config(c); }); });
}

}  // namespace lumavix::cli
