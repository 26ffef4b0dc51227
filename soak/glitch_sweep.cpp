#include "soak/glitch_sweep.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "app/core/device_watch.h"
#include "app/core/update_flow.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "sim/simulator.h"
#include "soak/sweep_scope.h"

namespace lumavix::soak {
namespace {

constexpr std::uint16_t kFileVersion = 0x0105;
// The cameras: one newer than the file, one at its version.
constexpr std::uint16_t kFinishedVersions[] = {0x0106, 0x0105};
// A camera that needs the file: where an update's first erase falls.
constexpr std::uint16_t kOlderVersion = 0x0104;
// How many faulty runs the report describes.
constexpr std::size_t kFaultsKept = 20;

// What one `update --yes` came to.
struct Run {
  std::string ending;     // the presentation, or the update's outcome after it
  bool success = false;   // `update` would have exited 0
};

std::uint64_t writes_of(const sim::SimCamera& cam) {
  const sim::SpiFlashStats s = cam.flash_stats();
  return s.page_programs + s.sector_erases + s.block_erases + s.chip_erases + s.status_writes;
}

class Sweep {
 public:
  explicit Sweep(const GlitchConfig& config) : config_(config) {}
  Sweep(const Sweep&) = delete;
  Sweep& operator=(const Sweep&) = delete;

  GlitchReport run() {
    GlitchReport report;
    if (!write_file(report.setup_error)) return report;
    if (!measure(report)) return report;

    const std::uint64_t range = std::max(report.pass_transfers, report.first_erase);
    const std::uint64_t last = std::min<std::uint64_t>(range, config_.single_limit);
    for (const std::uint16_t version : kFinishedVersions) {
      for (std::uint64_t n = 1; n <= last; ++n) {
        sim::SimOptions o = options(version);
        o.fail_at = n;
        check(o, "fail-at=" + std::to_string(n), report);
        ++report.single_points;
      }
      for (std::uint32_t i = 0; i < config_.random_runs; ++i) {
        sim::SimOptions o = options(version);
        o.fail_rate = config_.fail_rate;
        o.seed = config_.first_seed + i;
        check(o, "fail-rate=" + std::to_string(config_.fail_rate) + ",seed=" + std::to_string(o.seed),
              report);
        ++report.random_points;
      }
    }
    return report;
  }

 private:
  static sim::SimOptions options(std::uint16_t version) {
    sim::SimOptions o;
    o.profile = sim::SimProfile::Q;
    o.firmware_version = version;
    o.busy = false;
    o.latency_us = 0;
    o.replug = false;
    return o;
  }

  bool write_file(std::string& error) {
    FirmwareBuildOptions o;
    o.firmware_version = kFileVersion;
    const std::vector<std::uint8_t> bytes = build_firmware_file(o);
    return scope_.write_firmware(bytes, file_, error);
  }

  std::unique_ptr<sim::Simulator> plug(const sim::SimOptions& o, std::string& error) {
    std::unique_ptr<sim::Simulator> sim = sim::Simulator::create(o, error);
    if (sim && sim->camera_count() == 0) {
      error = "the profile has no camera";
      sim.reset();
    }
    if (sim) set_platform({&sim->hid(), &locks_, &sim->video(), &sim->props()});
    return sim;
  }

  // `lumavix-fw update --yes FILE`, as the command line decides it: the
  // pass; a damaged file or one whose image would read as unfinished is
  // refused; the update runs only when the pass offers it.
  Run update_yes() {
    Run run;
    DeviceWatchState st;
    DeviceWatchConfig cfg;
    cfg.firmwareFile = file_;
    const DeviceWatchResult r = EvaluateDeviceWatch(st, cfg);
    run.ending = r.outcome == WatchOutcome::Presented ? PresentationName(r.view.presentation)
                                                      : "file-open-error";
    const bool offered = r.outcome == WatchOutcome::Presented && OffersUpdate(r.view.presentation);
    const bool file_fine =
        CheckFirmwareFile(file_) == FileProblem::None && ImageReadsFinished(st.firmware);
    if (offered && file_fine) {
      NotifyQueue queue;
      RecordingPrompter prompter(MessageAnswer::Ok);
      UpdateFlow flow;
      if (flow.StartUpdate(st, UiLanguage::English, &queue, &prompter) == StartResult::Started) {
        WaitForWorker();
        for (const Notification& n : queue.drain())
          (void)flow.HandleNotification(st, UiLanguage::English, n.code, n.value);
        const auto o = LastOutcome();
        run.ending += std::string(", then ") + (o ? update_code_name(o->code) : "none");
        run.success = o && o->code == UPD_DOWNLOAD_DONE;
      } else {
        run.ending += ", then refused";
      }
    } else if (offered) {
      run.ending += ", file refused";
    }
    CloseDevices();
    return run;
  }

  // The pass's length on a finished camera, and the transfer of the first
  // erase on a camera that needs the update (the smallest unplug point
  // after which an erase has been carried out).
  bool measure(GlitchReport& report) {
    std::string error;
    {
      auto sim = plug(options(kFinishedVersions[0]), error);
      if (!sim) {
        report.setup_error = error;
        return false;
      }
      const Run r = update_yes();
      report.pass_transfers = sim->camera(0)->counters().total;
      set_platform({});
      if (r.ending != "up-to-date") {
        report.setup_error = "the pass on a newer camera said " + r.ending;
        return false;
      }
    }
    std::uint64_t whole = 0;
    {
      auto sim = plug(options(kOlderVersion), error);
      if (!sim) {
        report.setup_error = error;
        return false;
      }
      const Run r = update_yes();
      whole = sim->camera(0)->counters().total;
      set_platform({});
      if (!r.success) {
        report.setup_error = "the update of an older camera did not succeed (" + r.ending + ")";
        return false;
      }
    }
    std::uint64_t lo = 1, hi = whole;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      // A transfer latency lets the virtual clock run out the time-outs of
      // the writing that the unplugged camera no longer answers; it moves
      // no transfer.
      sim::SimOptions o = options(kOlderVersion);
      o.latency_us = 20;
      auto sim = plug(o, error);
      if (!sim) {
        report.setup_error = error;
        return false;
      }
      sim::SimCamera& cam = *sim->camera(0);
      cam.set_unplug_after(mid);
      (void)update_yes();
      const sim::SpiFlashStats s = cam.flash_stats();
      const bool erased = s.sector_erases + s.block_erases + s.chip_erases > 0;
      set_platform({});
      if (erased) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    report.first_erase = lo;
    return true;
  }

  void check(const sim::SimOptions& o, const std::string& what, GlitchReport& report) {
    std::string error;
    auto sim = plug(o, error);
    if (!sim) {
      report.setup_error = error;
      return;
    }
    sim::SimCamera& cam = *sim->camera(0);
    const std::vector<std::uint8_t> before =
        cam.flash_bytes(0, static_cast<std::uint32_t>(cam.flash_size()));
    const std::uint64_t writes_before = writes_of(cam);
    const Run r = update_yes();
    const bool wrote = writes_of(cam) != writes_before ||
                       cam.flash_bytes(0, static_cast<std::uint32_t>(cam.flash_size())) != before;
    set_platform({});
    ++report.endings[r.ending];
    const bool success = r.success || r.ending == "update-available" ||
                         r.ending == "interrupted" || r.ending == "confirmed";
    if (wrote) ++report.finished_writes;
    if (success) ++report.false_successes;
    if ((wrote || success) && report.faults.size() < kFaultsKept) {
      report.faults.push_back("camera v" + std::to_string(o.firmware_version >> 8) + "." +
                              std::to_string(o.firmware_version & 0xFF) + ", " + what + ": " +
                              r.ending + (wrote ? " (wrote to the camera)" : "") +
                              (success ? " (ended as a success)" : ""));
    }
  }

  GlitchConfig config_;
  ProcessLockBackend locks_;
  std::string file_;
  // Last, so that it goes first: the worker ends and the library closes
  // before anything the run used.
  SweepScope scope_{"lumavix-glitch"};
};

}  // namespace

std::string GlitchReport::summary() const {
  if (!setup_error.empty()) return "the glitch sweep could not run: " + setup_error + "\n";
  std::string s = "glitch sweep: " + std::to_string(points()) + " points tried (" +
                  std::to_string(single_points) + " single failures over transfers 1.." +
                  std::to_string(std::max(pass_transfers, first_erase)) + " [pass " +
                  std::to_string(pass_transfers) + ", first erase at " +
                  std::to_string(first_erase) + "], " + std::to_string(random_points) +
                  " random runs): " + std::to_string(finished_writes) +
                  " writes to a finished camera, " + std::to_string(false_successes) +
                  " false successes\n";
  for (const auto& [ending, count] : endings)
    s += "  " + ending + ": " + std::to_string(count) + "\n";
  for (const std::string& f : faults) s += "  FAULT " + f + "\n";
  return s;
}

GlitchReport run_glitch_sweep(const GlitchConfig& config) { return Sweep(config).run(); }

}  // namespace lumavix::soak
