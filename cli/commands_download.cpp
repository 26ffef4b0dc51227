// Engineering writes and reads of the camera's flash: downloading a file
// without the identity and version checks of `update`, and dumping the
// flash back into a firmware file.
#include <fmt/format.h>

#include <array>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/core/device_watch.h"
#include "app/core/update_flow.h"
#include "cli/commands.h"
#include "cli/run_support.h"
#include "cli/terminal_prompter.h"
#include "cli/update_plan.h"
#include "devlib/file_io.h"
#include "firmware/engine.h"
#include "firmware/flash.h"
#include "settings/userdata.h"

namespace lumavix::cli {
namespace {

// ---------------------------------------------------------------- download --

struct DownloadArgs {
  std::string file;
  bool yes = false;
  bool dry_run = false;
};

int run_download(Context& ctx, const DownloadArgs& a) {
  const UiLanguage lang = command_language();
  // Read once: the plan, the confirmation and the write all take these bytes
  // (a pipe could not be read again).
  auto image = std::make_shared<const LoadedFirmware>(
      LoadFirmwareFile(a.file, InputKind::kRegularFileOrPipe));
  // Nothing to write (a FIFO nobody writes reads as empty) is bad input.
  if (!image->opened || image->size == 0)
    return ctx.fail(kExitUsage, firmware_file_problem(*image));
  EngineSession session;
  DeviceWatchState st;
  st.deviceOpen = OpenDevices();
  if (st.deviceOpen == 0) {
    return fail_no_camera(ctx);
  }
  std::uint32_t reg = 0;
  if (ReadRegister(0x0000, 4, reg)) st.chipGen = ChipGenFromRegister(reg);
  st.firmwarePath = a.file;
  st.image = image;
  UpdateFlowSwitches sw;
  sw.allowChipGen0Download = true;  // engineering: the older chips take the plain layout

  if (a.dry_run) {
    const WritePlan plan = plan_write(st, sw, lang);
    if (!plan.ok)
      return ctx.fail(plan.refused ? kExitUsage : kExitFailed, "no plan could be made: " + plan.error);
    ctx.result(plan.object, plan.text);
    return kExitOk;
  }

  TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
  const std::u16string warning = FromUtf8(fmt::format(
      "{} is about to be written to the camera's {} without any identity or version check.",
      a.file, st.chipGen == 2 ? "serial flash" : "memory"));
  if (const int rc = confirm_or_refuse(ctx, prompter, a.yes, lang, warning); rc != kExitOk)
    return rc;

  NotifyQueue queue;
  CountingTarget target(queue, simulated_camera());
  UpdateFlow flow(sw);
  const StartResult sr = flow.StartUpdate(st, lang, &target, &prompter);
  if (sr != StartResult::Started) return start_failure(ctx, sr, flow, prompter);
  warn_writer_lock(flow.writerLockNote());
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
  std::string start = "0";
  std::string length = "0x20000";
};

int run_dump(Context& ctx, const DumpArgs& a) {
  const UiLanguage lang = command_language();
  unsigned long length = 0;
  unsigned long start = 0;
  if (!parse_count(a.length, kMaxUploadLength, length) || length == 0)
    return ctx.fail(kExitUsage, fmt::format("--length must be 1..{}: {}", kMaxUploadLength, a.length));
  if (!parse_count(a.start, 0xFFFFFF, start))
    return ctx.fail(kExitUsage, fmt::format("--start must be a flash address 0..0xFFFFFF: {}", a.start));
  if (a.output.empty()) return ctx.fail(kExitUsage, "-o needs a file name");
  // The worker writes into a fresh temporary file beside the target, renamed
  // into place only once the dump succeeded: a failed dump leaves no half
  // file. Making it first also reports an output that cannot be created (or
  // is not a regular file) before the flash is read.
  constexpr std::size_t kTempSuffix = sizeof(".XXXXXX.part") - 1;
  if (a.output.size() + kTempSuffix > kMaxUploadPathLength)
    return ctx.fail(kExitUsage, fmt::format("the output path is longer than {} characters",
                                            kMaxUploadPathLength - kTempSuffix));
  std::filesystem::path temp;
  if (const WriteError w = create_temp_beside(path_from_utf8(a.output), temp); w.failed())
    return ctx.fail(write_error_status(w), w.message);
  const std::string tmp = path_to_utf8(temp);

  EngineSession session;
  DeviceWatchState st;
  st.deviceOpen = OpenDevices();
  if (st.deviceOpen == 0) {
    remove_file(temp);
    return fail_no_camera(ctx);
  }
  // A range past the end of the part is bad input: the dump reads exactly
  // what it is asked for and never pads. An unknown part is left to the
  // worker, which refuses it as a failure.
  std::array<std::uint8_t, 3> id{};
  if (const SpiFlashType* part = IdentifySpiFlash(id); part && start + length > part->size) {
    remove_file(temp);
    return ctx.fail(kExitUsage,
                    fmt::format("0x{:X} bytes from 0x{:X} run past the end of the flash {} "
                                "(0x{:X} bytes); nothing was read",
                                length, start, part->name, part->size));
  }

  TerminalPrompter prompter(false, std::cin, std::cerr);
  NotifyQueue queue;
  CountingTarget target(queue, simulated_camera());
  UploadRequest up;
  up.notifyWindow = &target;
  up.owner = &prompter;
  up.startAddress = static_cast<std::uint32_t>(start);
  up.length = static_cast<std::uint32_t>(length);
  up.outputPath = tmp;
  UpdateFlow flow;
  if (StartUpload(up) == kNoWorker) {
    remove_file(temp);
    return ctx.fail(refusal_status(prompter), "the dump was refused" +
                                                   (prompter.shown().empty()
                                                        ? std::string()
                                                        : ": " + prompter.shown().back()));
  }
  const RunSummary sum = drive(ctx, flow, st, lang, queue);

  bool ok = sum.outcome && sum.code == UPD_UPLOAD_DONE;
  std::string why = utf8(st.statusText);
  int write_status = kExitFailed;
  if (ok) {
    if (const WriteError w = commit_temp_file(temp, path_from_utf8(a.output), FileAccess::kUmask);
        w.failed()) {
      ok = false;
      why = w.message;
      write_status = write_error_status(w);
    }
  }
  if (!ok) remove_file(temp);

  json j = run_json(sum, ok, target);
  j["file"] = a.output;
  j["start"] = start;
  j["length"] = length;
  if (ok) {
    ctx.result(j, fmt::format("wrote {} ({} bytes of flash and its CRC-32)", a.output, length));
    return kExitOk;
  }
  if (write_status != kExitFailed) return ctx.fail(write_status, why);
  return run_failed(ctx, why, sum, j);
}

}  // namespace

void register_download_commands(CLI::App& app, Commands& commands) {
  auto dl = std::make_shared<DownloadArgs>();
  auto* download = app.add_subcommand(
      "download", "Engineering download of FILE, without identity or version checks");
  download->add_option("FILE", dl->file, "Firmware file")->required();
  download->add_flag("--yes,-y", dl->yes, "Confirm without asking");
  download->add_flag("--dry-run", dl->dry_run, "Print what the download would do and write nothing");
  download->callback([&commands, dl] {
    commands.choose([dl](Context& c) { return run_download(c, *dl); });
  });

  auto dp = std::make_shared<DumpArgs>();
  auto* dump = app.add_subcommand("dump", "Read the flash back into a firmware file");
  dump->add_option("-o,--output", dp->output, "Output file (default: Dump.bin_)");
  dump->add_option("--start", dp->start, "First flash address (default: 0)");
  dump->add_option("--length", dp->length, "Bytes of flash (default: 0x20000)");
  dump->callback([&commands, dp] {
    commands.choose([dp](Context& c) { return run_dump(c, *dp); });
  });
}

}  // namespace lumavix::cli
