#include "soak/cut_sweep.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "app/core/device_watch.h"
#include "app/core/update_flow.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "settings/userdata.h"
#include "sim/simulator.h"
#include "soak/sweep_scope.h"

namespace lumavix::soak {
namespace {

// The version the sweep writes; every profile's camera starts one below it.
constexpr std::uint16_t kNewVersion = 0x0105;
constexpr std::uint32_t kPlainFile = 0x4000;

// The serial number the user-data sweep writes.
constexpr const char* kSweepSerial = "ABC123";

// What one job did: the pass that decided (update profiles), and the run.
struct Job {
  Presentation presentation = Presentation::NoCamera;
  std::string outcome = "none";
  [[nodiscard]] bool succeeded() const {
    return outcome == "UPD_DOWNLOAD_DONE" || outcome == "written";
  }
};

// Starts the flow on `st` and feeds it the worker's notifications once the
// worker has ended, as the command line does.
void run_flow(DeviceWatchState& st, const UpdateFlowSwitches& switches, Job& job) {
  NotifyQueue queue;
  RecordingPrompter prompter(MessageAnswer::Ok);
  UpdateFlow flow(switches);
  if (flow.StartUpdate(st, UiLanguage::English, &queue, &prompter) != StartResult::Started) {
    job.outcome = "refused";
    return;
  }
  WaitForWorker();
  for (const Notification& n : queue.drain())
    (void)flow.HandleNotification(st, UiLanguage::English, n.code, n.value);
  if (const auto o = LastOutcome()) job.outcome = update_code_name(o->code);
}

// `lumavix-fw update --yes FILE`: the pass, and the update when it offers one.
Job update_job(const std::string& file) {
  Job job;
  DeviceWatchState st;
  DeviceWatchConfig cfg;
  cfg.firmwareFile = file;
  const DeviceWatchResult r = EvaluateDeviceWatch(st, cfg);
  job.presentation = r.view.presentation;
  if (r.outcome == WatchOutcome::Presented && OffersUpdate(job.presentation)) {
    run_flow(st, {}, job);
  }
  CloseDevices();
  return job;
}

// `lumavix-fw download --yes FILE`: no identity or version check.
Job download_job(const std::string& file) {
  Job job;
  DeviceWatchState st;
  st.deviceOpen = OpenDevices();
  if (st.deviceOpen != 0) {
    std::uint32_t reg = 0;
    if (ReadRegister(0x0000, 4, reg)) st.chipGen = ChipGenFromRegister(reg);
    st.firmwarePath = file;
    UpdateFlowSwitches sw;
    sw.allowChipGen0Download = true;
    run_flow(st, sw, job);
  }
  CloseDevices();
  return job;
}

// `lumavix-fw userdata write --serial ABC123 --yes`: read the block, change
// the serial, rewrite and verify the sector, read the block again.
Job userdata_job() {
  Job job;
  if (OpenDevices() != 0) {
    EepromUserData rec;
    if (!ReadUserDataBlock(rec)) {
      job.outcome = "read failed";
    } else if (rec.serialNumber == kSweepSerial) {
      job.outcome = "unchanged";
    } else {
      rec.serialNumber = kSweepSerial;
      EepromUserData after;
      job.outcome = !WriteUserDataBlock(rec)                          ? "write failed"
                    : !ReadUserDataBlock(after) || !(after == rec) ? "read back differs"
                                                                   : "written";
    }
  }
  CloseDevices();
  return job;
}

class Sweep {
 public:
  explicit Sweep(const SweepConfig& config) : config_(config) {
    options_.profile = config.profile;
    // The firmware profiles start one version below the file; the user-data
    // write runs on a camera that holds the file's image, so that the update
    // a cut may call for writes back exactly what the camera had.
    options_.firmware_version = userdata() ? kNewVersion : kNewVersion - 1;
    options_.busy = false;  // busy times change the poll count, not the order
  }
  Sweep(const Sweep&) = delete;
  Sweep& operator=(const Sweep&) = delete;

  SweepReport run() {
    SweepReport report;
    report.profile = sim::profile_name(config_.profile);
    if (userdata()) report.profile += std::string(" userdata write --serial ") + kSweepSerial;
    if (!write_file(report.setup_error)) return report;

    // The uncut run: how long the job is, and what it leaves.
    std::vector<std::uint8_t> final_memory;
    std::string error;
    if (!one_run(std::nullopt, report.uncut_transfers, final_memory, error)) {
      report.setup_error = error;
      return report;
    }
    for (const std::uint64_t cut : cut_points(report.uncut_transfers)) {
      CutRecord rec = cut_run(cut, final_memory);
      ++report.tried;
      if (rec.recovered) {
        ++report.recovered;
      } else {
        ++report.stranded;
        report.stranded_cuts.push_back(std::move(rec));
      }
    }
    return report;
  }

 private:
  [[nodiscard]] bool userdata() const { return config_.job == SweepJob::UserDataWrite; }

  [[nodiscard]] bool download_profile() const {
    return config_.profile == sim::SimProfile::Gen0Flash ||
           config_.profile == sim::SimProfile::Gen0Eeprom;
  }

  bool write_file(std::string& error) {
    std::vector<std::uint8_t> bytes;
    if (download_profile()) {
      bytes = build_plain_firmware_file(kNewVersion, kPlainFile);
    } else {
      FirmwareBuildOptions o;
      o.firmware_version = kNewVersion;
      bytes = build_firmware_file(o);
    }
    return scope_.write_firmware(bytes, file_, error);
  }

  // Evenly spread over [1, total], plus a denser tail; sorted, no repeats.
  [[nodiscard]] std::set<std::uint64_t> cut_points(std::uint64_t total) const {
    std::set<std::uint64_t> cuts;
    if (total == 0) return cuts;
    const std::uint32_t n = std::max<std::uint32_t>(config_.points, 2);
    for (std::uint32_t i = 0; i < n; ++i) cuts.insert(1 + (total - 1) * i / (n - 1));
    const std::uint64_t tail = std::max<std::uint64_t>(total / 50, config_.tail_points);
    for (std::uint32_t i = 0; i < config_.tail_points; ++i)
      cuts.insert(total - std::min(total - 1, tail * i / std::max<std::uint32_t>(config_.tail_points, 1)));
    return cuts;
  }

  [[nodiscard]] std::vector<std::uint8_t> memory(sim::SimCamera& cam) const {
    if (config_.profile == sim::SimProfile::Gen0Eeprom)
      return cam.eeprom_bytes(0, static_cast<std::uint32_t>(cam.eeprom_size()));
    return cam.flash_bytes(0, static_cast<std::uint32_t>(cam.flash_size()));
  }

  Job job() {
    if (userdata()) return userdata_job();
    return download_profile() ? download_job(file_) : update_job(file_);
  }

  std::unique_ptr<sim::Simulator> plug(std::string& error) {
    std::unique_ptr<sim::Simulator> sim = sim::Simulator::create(options_, error);
    if (sim && sim->camera_count() == 0) {
      error = "the profile has no camera";
      sim.reset();
    }
    if (sim) set_platform({&sim->hid(), &locks_, &sim->video(), &sim->props()});
    return sim;
  }

  bool one_run(std::optional<std::uint64_t> cut, std::uint64_t& transfers,
               std::vector<std::uint8_t>& memory_after, std::string& error) {
    std::unique_ptr<sim::Simulator> sim = plug(error);
    if (!sim) return false;
    sim::SimCamera& cam = *sim->camera(0);
    cam.set_unplug_after(cut);
    const Job j = job();
    transfers = cam.counters().total;
    memory_after = memory(cam);
    set_platform({});
    if (!cut && !j.succeeded()) {
      error = "the uncut job did not succeed (" + j.outcome + ")";
      return false;
    }
    return true;
  }

  CutRecord cut_run(std::uint64_t cut, const std::vector<std::uint8_t>& final_memory) {
    CutRecord rec;
    rec.cut = cut;
    rec.presentation = "-";
    std::string error;
    std::unique_ptr<sim::Simulator> sim = plug(error);
    if (!sim) {
      rec.problem = error;
      return rec;
    }
    sim::SimCamera& cam = *sim->camera(0);
    const std::vector<std::uint8_t> before = memory(cam);
    cam.set_unplug_after(cut);
    rec.cut_outcome = job().outcome;
    if (userdata()) {
      cam.replug();
      user_data_recovery(cam, before, final_memory, rec);
      rec.recovered = rec.problem.empty();
      set_platform({});
      return rec;
    }

    // The user plugs the camera back in; its memories are as the cut left
    // them, and nothing else is carried over.
    cam.replug();
    const bool finished_before = memory(cam) == final_memory;
    const Job again = job();
    if (!download_profile()) {
      rec.presentation = PresentationName(again.presentation);
      if (!finished_before && !OffersUpdate(again.presentation)) {
        rec.problem = "the camera is not finished but the pass said " + rec.presentation;
      }
    }
    if (rec.problem.empty() && memory(cam) != final_memory) {
      rec.problem = "after the second run (" + again.outcome +
                    ") the memory differs from an uncut run's";
    }
    rec.recovered = rec.problem.empty();
    set_platform({});
    return rec;
  }

  // After a cut write: the pass and the update it offers, then the write
  // again, as a user would.
  void user_data_recovery(sim::SimCamera& cam, const std::vector<std::uint8_t>& before,
                          const std::vector<std::uint8_t>& final_memory, CutRecord& rec) {
    const std::vector<std::uint8_t> after_cut = memory(cam);
    const bool whole = after_cut == before || after_cut == final_memory;
    const Job pass = update_job(file_);
    rec.presentation = PresentationName(pass.presentation);
    if (!whole && !OffersUpdate(pass.presentation)) {
      rec.problem = "the sector is half written but the pass said " + rec.presentation;
      return;
    }
    const Job again = userdata_job();
    if (memory(cam) != final_memory) {
      rec.problem = "after the pass (" + pass.outcome + ") and the write again (" +
                    again.outcome + ") the memory differs from an uncut write's";
    }
  }

  SweepConfig config_;
  sim::SimOptions options_;
  ProcessLockBackend locks_;
  std::string file_;
  // Last, so that it goes first: the worker ends and the library closes
  // before anything the run used.
  SweepScope scope_{"lumavix-sweep"};
};

}  // namespace

std::string SweepReport::summary() const {
  if (!setup_error.empty()) return profile + ": the sweep could not run: " + setup_error + "\n";
  std::string s = profile + ": " + std::to_string(tried) + " cut points over " +
                  std::to_string(uncut_transfers) + " transfers: " + std::to_string(recovered) +
                  " recovered, " + std::to_string(stranded) + " stranded\n";
  for (const CutRecord& c : stranded_cuts) {
    s += "  cut after transfer " + std::to_string(c.cut) + " (" + c.cut_outcome + ", then " +
         c.presentation + "): " + c.problem + "\n";
  }
  return s;
}

SweepReport run_cut_sweep(const SweepConfig& config) { return Sweep(config).run(); }

}  // namespace lumavix::soak
