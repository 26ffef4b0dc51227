// The rehearsal behind a dry run; the contract is in update_plan.h.
#include "cli/update_plan.h"

#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "cli/camera_scope.h"
#include "cli/terminal_prompter.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/flash.h"
#include "firmware/image.h"
#include "sim/simulator.h"

namespace lumavix::cli {
namespace {

// What a transfer costs on the bus: one control transfer per frame at high
// speed, one per frame at full speed.
constexpr double kHighSpeedTransferS = 125e-6;
constexpr double kFullSpeedTransferS = 1e-3;

struct Range {
  std::uint32_t start;
  std::uint32_t end;  // one past the last byte
};

// The record's operations of one kind, adjacent ones joined, in the order
// the run made them.
std::vector<Range> ranges_of(const std::vector<sim::SpiFlashOp>& ops, sim::SpiFlashOp::Kind kind) {
  std::vector<Range> out;
  for (const sim::SpiFlashOp& op : ops) {
    if (op.kind != kind) continue;
    if (!out.empty() && out.back().end == op.address) {
      out.back().end += op.length;
    } else {
      out.push_back({op.address, op.address + op.length});
    }
  }
  return out;
}

std::uint64_t count_of(const std::vector<sim::SpiFlashOp>& ops, sim::SpiFlashOp::Kind kind) {
  return static_cast<std::uint64_t>(std::count_if(
      ops.begin(), ops.end(), [&](const sim::SpiFlashOp& op) { return op.kind == kind; }));
}

json ranges_json(const std::vector<Range>& rs) {
  json a = json::array();
  for (const Range& r : rs)
    a.push_back({{"start", fmt::format("0x{:06X}", r.start)},
                 {"end", fmt::format("0x{:06X}", r.end - 1)},
                 {"bytes", r.end - r.start}});
  return a;
}

std::string ranges_text(const std::vector<Range>& rs) {
  if (rs.empty()) return "none";
  std::string t;
  for (const Range& r : rs) {
    if (!t.empty()) t += ", ";
    t += fmt::format("0x{:06X}-0x{:06X}", r.start, r.end - 1);
  }
  return t;
}

// Pages that were erased and read back but not programmed: blank pages the
// worker left as the erase made them.
std::uint64_t blank_pages_skipped(const std::vector<sim::SpiFlashOp>& ops, std::uint32_t page) {
  if (page == 0) return 0;
  std::set<std::uint32_t> programmed, read;
  for (const sim::SpiFlashOp& op : ops) {
    if (op.kind == sim::SpiFlashOp::Kind::Program) programmed.insert(op.address / page);
    if (op.kind == sim::SpiFlashOp::Kind::Read) {
      for (std::uint32_t p = op.address / page; p * page < op.address + op.length; ++p)
        read.insert(p);
    }
  }
  std::uint64_t n = 0;
  for (const Range& e : ranges_of(ops, sim::SpiFlashOp::Kind::Erase)) {
    for (std::uint32_t p = e.start / page; p * page < e.end; ++p) {
      if (read.count(p) != 0 && programmed.count(p) == 0) ++n;
    }
  }
  return n;
}

// The camera as the library has it at position 0, as a simulation profile.
bool twin_options(const DeviceWatchState& st, const std::optional<std::array<std::uint8_t, 3>>& flash_id,
                  sim::SimOptions& o, std::string& error) {
  o.latency_us = 0;
  o.busy = false;
  o.replug = false;
  o.product_id = st.camera.cameraProductId;
  o.firmware_version = st.camera.cameraFirmwareVersion;
  std::uint32_t boot = 0;
  const bool spi_boot = ReadRegister(0x0005, 1, boot) && (boot & 0x80) != 0;
  switch (library_kind()) {
    case DeviceKind::Hid:
      o.profile = st.chipGen == 2 ? sim::SimProfile::Q
                  : spi_boot      ? sim::SimProfile::Gen0Flash
                                  : sim::SimProfile::Gen0Eeprom;
      break;
    case DeviceKind::VideoClass:
      switch (device_variant(0)) {
        case XuVariant::Kavex: o.profile = sim::SimProfile::UvcKavex; break;
        case XuVariant::Aveo: o.profile = sim::SimProfile::UvcAveo; break;
        case XuVariant::Etron: o.profile = sim::SimProfile::UvcEtron; break;
      }
      break;
    case DeviceKind::VendorVideo:
      o.profile = sim::SimProfile::VendorVideo;
      break;
    case DeviceKind::BdaVendor:
      o.profile = sim::SimProfile::Bda;
      break;
    case DeviceKind::None:
      error = "no camera is open";
      return false;
  }
  o.flash_id = flash_id;
  return true;
}

// The rehearsal's findings.
struct Rehearsal {
  bool started = false;
  bool succeeded = false;
  std::string outcome = "none";
  std::string refusal;
  std::uint64_t transfers = 0;
  std::vector<sim::SpiFlashOp> ops;
  sim::SpiFlashStats stats;
  std::uint32_t mode = 0;
  std::uint32_t imageBytes = 0;
};

// Runs the flow on `twin` with the library moved onto it, then puts the
// library's platform back as it was (closed).
Rehearsal rehearse(sim::Simulator& twin, const DeviceWatchState& st,
                   const UpdateFlowSwitches& switches, UiLanguage lang) {
  Rehearsal out;
  const Platform outer = platform();
  set_platform({&twin.hid(), nullptr, &twin.video(), &twin.props()});
  DeviceWatchState tw = st;
  tw.deviceOpen = OpenDevices();
  sim::SimCamera& cam = *twin.camera(0);
  if (tw.deviceOpen != 0) {
    cam.record_flash_ops(true);
    NotifyQueue queue;
    CountingTarget target(queue, &cam);
    // A rehearsal writes nothing the session must wait for.
    NullSleepInhibitor no_inhibitor;
    UpdateFlowHooks hooks;
    hooks.inhibitor = &no_inhibitor;
    UpdateFlow flow(switches, hooks);
    // The engine's start checks speak through a prompter: keep what it said.
    std::istringstream no_input;
    std::ostringstream said;
    TerminalPrompter prompter(false, no_input, said);
    out.started = flow.StartUpdate(tw, lang, &target, &prompter) == StartResult::Started;
    if (!out.started) {
      out.refusal = !prompter.shown().empty()    ? prompter.shown().back()
                    : flow.view().messageBox     ? std::string(flow.view().messageBox)
                                                 : std::string("the engine refused the request");
    }
    out.mode = flow.request().mode;
    out.imageBytes = flow.request().file0Size + flow.request().file1Size;
    bool have_outcome = false;
    auto handle = [&](const Notification& n) {
      const NotifyEffect e = flow.HandleNotification(tw, lang, n.code, n.value);
      if (e.terminal && !have_outcome) {
        have_outcome = true;
        out.outcome = update_code_name(n.code);
        out.succeeded = n.code == UPD_DOWNLOAD_DONE;
      }
      if (e.ringStep) flow.RingStepDrawn();
    };
    if (out.started) {
      pump_notifications(queue, handle);
      out.refusal = LastRefusal();
    }
    out.transfers = target.transfers().value_or(0);
    out.ops = cam.flash_ops();
    out.stats = cam.flash_stats();
  }
  CloseDevices();
  set_platform(outer);
  return out;
}

}  // namespace

WritePlan plan_write(DeviceWatchState& st, const UpdateFlowSwitches& switches, UiLanguage lang) {
  WritePlan plan;
  std::array<std::uint8_t, 3> id{};
  bool answered = false;
  const SpiFlashType* part = IdentifySpiFlash(id, &answered);
  // A flash that an earlier run left block-protected costs the run a status
  // write and its wait before the first erase: the twin's flash starts with
  // the same protection, or the plan would leave those transfers out.
  std::uint8_t flash_status = 0;
  const bool status_read = answered && ReadSpiFlashStatus(flash_status);
  sim::SimOptions o;
  if (!twin_options(st, answered ? std::optional(id) : std::nullopt, o, plan.error)) {
    CloseDevices();
    return plan;
  }
  const std::vector<ListedCamera> listed = listed_cameras();
  const std::string path = listed.empty() ? std::string() : listed.front().path;
  const DeviceKind kind = library_kind();
  const XuVariant variant = device_variant(0);

  std::string error;
  std::unique_ptr<sim::Simulator> twin = sim::Simulator::create(o, error);
  if (!twin || twin->camera_count() == 0) {
    plan.error = "cannot model this camera: " + (error.empty() ? "no camera" : error);
    CloseDevices();
    return plan;
  }
  // A simulated camera is copied whole, so that the rehearsal starts from
  // exactly what the run will find.
  if (sim::SimCamera* real = simulated_camera()) {
    const sim::CameraMemories m = real->export_memories();
    std::string why;
    if (twin->camera(0)->memories_fit(m, why)) twin->camera(0)->import_memories(m);
  }
  if (status_read) twin->camera(0)->set_flash_protection(flash_status & sim::kStatusWritable);
  CloseDevices();
  st.deviceOpen = 0;
  const Rehearsal r = rehearse(*twin, st, switches, lang);
  if (!r.started) {
    plan.error = "the run would be refused: " + r.refusal;
    plan.refused = true;
    return plan;
  }

  using Kind = sim::SpiFlashOp::Kind;
  const std::uint32_t page = part ? part->page_size : 256;
  const sim::SpiFlashTiming timing;
  const std::uint64_t busy_ms =
      r.stats.sector_erases * timing.sector_erase_ms + r.stats.block_erases * timing.block_erase_ms +
      r.stats.chip_erases * timing.chip_erase_ms + r.stats.page_programs * timing.page_program_ms +
      r.stats.status_writes * timing.status_write_ms;
  const std::vector<Range> erased = ranges_of(r.ops, Kind::Erase);
  const std::vector<Range> programmed = ranges_of(r.ops, Kind::Program);
  const std::vector<Range> read = ranges_of(r.ops, Kind::Read);
  const std::uint64_t skipped = blank_pages_skipped(r.ops, page);
  const double high_s = static_cast<double>(r.transfers) * kHighSpeedTransferS;
  const double full_s = static_cast<double>(r.transfers) * kFullSpeedTransferS;

  json cam{{"path", path},
           {"kind", device_kind_name(kind)},
           {"variant", kind == DeviceKind::VideoClass ? json(xu_variant_name(variant)) : json(nullptr)},
           {"chipGen", st.chipGen},
           {"firmwareVersion", hex4(st.camera.cameraFirmwareVersion)}};
  json flash = nullptr;
  if (answered) {
    flash = json{{"id", fmt::format("{:02X} {:02X} {:02X}", id[0], id[1], id[2])},
                 {"part", part ? json(part->name) : json(nullptr)},
                 {"size", part ? json(part->size) : json(nullptr)},
                 {"pageSize", part ? json(part->page_size) : json(nullptr)}};
  }
  plan.ok = true;
  plan.object = json{
      {"dryRun", true},
      {"camera", cam},
      {"flash", flash},
      {"file", st.firmwarePath},
      {"fileVersion", st.firmware.read ? json(hex4(st.firmware.firmwareVersion)) : json(nullptr)},
      {"layout",
       {{"mode", r.mode == kDownloadBootHeader ? "boot-header" : "plain"},
        {"fileBytes", r.imageBytes},
        {"codeBase", st.firmware.read ? json(fmt::format("0x{:X}", st.firmware.codeBase))
                                      : json(nullptr)}}},
      {"erase", {{"operations", count_of(r.ops, Kind::Erase)}, {"ranges", ranges_json(erased)}}},
      {"program",
       {{"pages", count_of(r.ops, Kind::Program)},
        {"blankPagesSkipped", skipped},
        {"ranges", ranges_json(programmed)}}},
      {"readBack", {{"ranges", ranges_json(read)}}},
      {"transfers", r.transfers},
      {"seconds", {{"highSpeed", high_s}, {"fullSpeed", full_s}}},
      {"flashBusyMs", busy_ms},
      {"expectedOutcome", r.outcome},
      {"refusal", r.refusal.empty() ? json(nullptr) : json(r.refusal)}};

  std::string t = fmt::format("Plan (nothing has been written): the camera at {} ({}, generation {})\n",
                              path, device_kind_name(kind), st.chipGen);
  if (answered) {
    t += fmt::format("  flash:      {} ({:02X} {:02X} {:02X}){}\n", part ? part->name : "unknown part",
                     id[0], id[1], id[2],
                     part ? fmt::format(", {} bytes, {}-byte pages", part->size, part->page_size)
                          : std::string());
  }
  t += fmt::format("  file:       {} ({} bytes, {} layout)\n", st.firmwarePath, r.imageBytes,
                   r.mode == kDownloadBootHeader ? "boot-header" : "plain");
  t += fmt::format("  erase:      {} operations: {}\n", count_of(r.ops, Kind::Erase),
                   ranges_text(erased));
  t += fmt::format("  program:    {} pages ({} blank pages skipped): {}\n",
                   count_of(r.ops, Kind::Program), skipped, ranges_text(programmed));
  t += fmt::format("  read back:  {}\n", ranges_text(read));
  t += fmt::format("  transfers:  {}\n", r.transfers);
  t += fmt::format(
      "  time:       {:.1f} s at high speed (125 us a transfer), {:.1f} s at full speed (1 ms), "
      "plus {:.1f} s while the flash is busy\n",
      high_s, full_s, static_cast<double>(busy_ms) / 1000.0);
  if (!r.succeeded) {
    t += fmt::format("  outcome:    the run would fail ({}){}\n", r.outcome,
                     r.refusal.empty() ? std::string() : ": " + r.refusal);
  }
  plan.text = t;
  return plan;
}

}  // namespace lumavix::cli
