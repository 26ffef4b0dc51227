#include "soak/soak_harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/library_lock.h"
#include "devlib/platform.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "sim/simulator.h"

namespace lumavix::soak {
namespace {

using WallClock = std::chrono::steady_clock;

// Virtual time that can also let go of a lock held by "another party" once
// the time passes a given point. The release happens inside the sleep of
// whichever thread moves time past it, so a run replays exactly from its
// seed, unlike a holder thread racing the worker in real time.
class SoakClock final : public Clock {
 public:
  [[nodiscard]] std::uint32_t ticks_ms() override {
    return static_cast<std::uint32_t>(us_.load() / 1000);
  }
  void sleep_ms(std::uint32_t ms) override { advance(std::uint64_t{ms} * 1000); }
  void sleep_us(std::uint32_t us) override { advance(us); }
  [[nodiscard]] std::uint64_t now_us() const { return us_.load(); }

  void release_at(NamedLock* lock, std::uint64_t at_us) {
    release_at_us_.store(at_us);
    holder_.store(lock);
  }
  void cancel_release() { holder_.store(nullptr); }

 private:
  void advance(std::uint64_t us) {
    const std::uint64_t now = us_ += us;
    if (holder_.load() && now >= release_at_us_.load()) {
      if (NamedLock* l = holder_.exchange(nullptr)) l->release();
    }
  }

  std::atomic<std::uint64_t> us_{1'000'000};
  std::atomic<std::uint64_t> release_at_us_{0};
  std::atomic<NamedLock*> holder_{nullptr};
};

// The receiver: a NotifyQueue as the front ends use, plus a signal when an
// outcome arrives so the soak can wait for it with a wall-clock deadline.
class WatchedQueue final : public NotifyTarget {
 public:
  void post(std::uint32_t code, std::uint32_t value) override {
    queue_.post(code, value);
    if (is_outcome({code, value})) {
      std::lock_guard lock(mutex_);
      outcome_seen_ = true;
      cv_.notify_all();
    }
  }
  bool wait_outcome(WallClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return cv_.wait_until(lock, deadline, [this] { return outcome_seen_; });
  }
  std::vector<Notification> take() {
    std::lock_guard lock(mutex_);
    outcome_seen_ = false;
    return queue_.drain();
  }

 private:
  NotifyQueue queue_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool outcome_seen_ = false;
};

struct ImageFile {
  std::string path;
  std::vector<std::uint8_t> image;  // the file without its CRC
};

struct Baseline {
  std::uint64_t transfers = 0;
  std::uint64_t virtual_ms = 0;
};

constexpr std::array<std::uint8_t, 16> kCodeOnlyHeader = {0x7A, 0x3C, 0x00, 0x10, 0x00};
constexpr std::uint32_t kCodeOnlyBootAddr = 0x1000;
constexpr std::uint32_t kSimFlashCapacity = 0x20000;  // the q profile's part

std::string describe(const std::vector<Notification>& seq) {
  std::string out;
  // Long runs post thousands of positions; the head and the tail tell enough.
  const std::size_t n = seq.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (n > 24 && i == 8) {
      out += "... ";
      i = n - 12;
    }
    out += std::string(update_code_name(seq[i].code)) + "(" + std::to_string(seq[i].value) + ") ";
  }
  return out;
}

class Soak {
 public:
  explicit Soak(const SoakConfig& c) : config_(c) {
    std::string templ = (std::filesystem::temp_directory_path() / "lumavix-soak-XXXXXX").string();
    if (char* made = ::mkdtemp(templ.data())) dir_ = made;
    set_clock(&clock_);
  }
  ~Soak() {
    clock_.cancel_release();
    WaitForWorker();
    CloseDevices();
    set_platform({});
    set_clock(nullptr);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  SoakReport run(const std::function<void(const RunRecord&)>& progress) {
    SoakReport report;
    const auto wall_start = WallClock::now();
    for (std::uint32_t i = 0; i < config_.runs; ++i) {
      const RunRecord rec = run_seeded(config_.first_seed + i);
      account(report, rec);
      if (progress) progress(rec);
      if (hung_) break;
    }
    report.wall_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(WallClock::now() - wall_start)
            .count());
    return report;
  }

 private:
  const ImageFile& image_for(std::uint32_t size, bool code_only) {
    const auto key = std::make_pair(size, code_only);
    auto it = images_.find(key);
    if (it != images_.end()) return it->second;
    FirmwareBuildOptions o;
    o.firmware_version = 0x0105;
    o.image_size = size;
    o.code_only = code_only;
    const std::vector<std::uint8_t> file = build_firmware_file(o);
    ImageFile f;
    f.path = dir_ + "/fw_" + std::to_string(size) + (code_only ? "_code" : "") + ".bin";
    std::ofstream(f.path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (file.size() > kFirmwareCrcSize) f.image.assign(file.begin() + kFirmwareCrcSize, file.end());
    return images_.emplace(key, std::move(f)).first->second;
  }

  // A fault-free run of the same image: how many transfers and how much
  // virtual time a download takes, to place faults and bound run times.
  const Baseline& baseline_for(std::uint32_t size, bool code_only) {
    const auto key = std::make_pair(size, code_only);
    auto it = baselines_.find(key);
    if (it != baselines_.end()) return it->second;
    RunRecord rec;
    rec.image_size = size;
    rec.code_only = code_only;
    Baseline b;
    execute(rec, &b);
    if (!rec.problems.empty() || rec.outcome != "UPD_DOWNLOAD_DONE") {
      // Without a sound baseline the faults cannot be placed; keep the run as
      // a problem so the report shows it.
      baseline_problem_ = rec;
    }
    return baselines_.emplace(key, b).first->second;
  }

  RunRecord run_seeded(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto pick = [&rng](std::uint64_t lo, std::uint64_t hi) {
      return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
    };
    RunRecord rec;
    rec.seed = seed;
    rec.image_size = config_.image_sizes[pick(0, config_.image_sizes.size() - 1)];
    rec.code_only = std::uniform_real_distribution<double>(0, 1)(rng) < config_.code_only_share;
    // A code-only image lies behind BootAddr and must still fit the
    // camera's 128 KiB flash.
    if (rec.code_only && kCodeOnlyBootAddr + rec.image_size > kSimFlashCapacity)
      rec.code_only = false;
    rec.fault = static_cast<Fault>(pick(0, static_cast<std::uint64_t>(Fault::kCount) - 1));
    const Baseline& b = baseline_for(rec.image_size, rec.code_only);
    if (baseline_problem_) {
      RunRecord bad = *baseline_problem_;
      bad.problems.insert(bad.problems.begin(), "the fault-free baseline run failed");
      return bad;
    }
    const std::uint64_t transfers = std::max<std::uint64_t>(b.transfers, 1);
    switch (rec.fault) {
      case Fault::FailAt:
      case Fault::Unplug:
        rec.fault_param = pick(1, transfers);
        break;
      case Fault::CorruptRead:
        // Status replies and the read-back together carry a little more than
        // the image; a byte number past them changes nothing.
        rec.fault_param = pick(1, rec.image_size + rec.image_size / 8);
        break;
      case Fault::LockHeld:
        rec.fault_param = pick(0, 2500);  // ms; more than 1000 times out the first wait
        break;
      case Fault::FailRate:
        rec.fault_param = pick(1, 2000);  // failures per million transfers
        break;
      default:
        break;
    }
    execute(rec, nullptr, pick(0, ~0ull));
    // A protection that will not clear costs every sector erase its full
    // 3000 ms status wait (the erase goes on regardless and the program
    // step fails later); a held lock costs at most its hold time.
    const std::uint64_t sectors =
        erase_sector_count(rec.code_only ? kCodeOnlyBootAddr : 0, rec.image_size);
    std::uint64_t bound = b.virtual_ms + config_.fault_allowance_ms;
    if (rec.fault == Fault::StuckProtection) bound += 3100 * sectors;
    if (rec.fault == Fault::LockHeld) bound += rec.fault_param;
    if (rec.virtual_ms > bound)
      rec.problems.push_back("run took " + std::to_string(rec.virtual_ms) +
                             " virtual ms, more than its bound of " + std::to_string(bound));
    return rec;
  }

  // Runs one download with the record's fault and checks its invariants.
  // With `baseline`, measures a fault-free run instead.
  void execute(RunRecord& rec, Baseline* baseline, std::uint64_t sub_seed = 1) {
    const ImageFile& img = image_for(rec.image_size, rec.code_only);
    if (img.image.empty()) {
      rec.problems.push_back("cannot build an image of " + std::to_string(rec.image_size) + " bytes");
      return;
    }
    sim::SimOptions o;
    o.profile = sim::SimProfile::Q;
    o.latency_us = config_.latency_us;
    std::string error;
    std::unique_ptr<sim::Simulator> sim = sim::Simulator::create(o, error);
    if (!sim) {
      rec.problems.push_back("simulator: " + error);
      return;
    }
    set_platform({&sim->hid(), &locks_});
    if (OpenDevices() != 1) {
      rec.problems.push_back("OpenDevices found no camera");
      set_platform({});
      return;
    }
    sim::SimCamera& cam = *sim->camera(0);
    cam.set_flash_protection(0x0C);  // shipped cameras are protected

    std::unique_ptr<NamedLock> holder;
    switch (rec.fault) {
      case Fault::None:
        break;
      case Fault::FailAt:
        cam.set_fail_at(rec.fault_param);
        break;
      case Fault::Unplug:
        cam.set_unplug_after(rec.fault_param - 1);
        break;
      case Fault::StuckBusy:
        cam.set_stuck_busy(true);
        break;
      case Fault::CorruptRead:
        cam.set_corrupt_flash_read(rec.fault_param, 0xFF);
        break;
      case Fault::StuckProtection:
        cam.set_stuck_protection(true);
        break;
      case Fault::FailRate:
        cam.set_fail_rate(static_cast<double>(rec.fault_param) / 1e6, sub_seed);
        break;
      case Fault::LockHeld: {
        SysError err;
        holder = locks_.create(kLibraryLockName, err);
        if (!holder || !holder->try_acquire()) {
          rec.problems.push_back("the second lock handle could not be taken");
          holder.reset();
        } else {
          clock_.release_at(holder.get(), clock_.now_us() + rec.fault_param * 1000);
        }
        break;
      }
      case Fault::kCount:
        break;
    }
    cam.reset_counters();
    cam.clear_violations();

    DownloadRequest r;
    r.notifyWindow = &queue_;
    r.owner = &prompter_;
    r.mode = kDownloadBootHeader;
    r.file0Path = img.path;
    if (rec.code_only) r.bootHeader = kCodeOnlyHeader;

    const std::uint64_t v_start = clock_.now_us();
    const auto w_start = WallClock::now();
    const WorkerHandle h = StartDownload(r);
    if (h == kNoWorker) {
      rec.problems.push_back("download refused: " +
                             (prompter_.shown().empty() ? std::string("(no message)")
                                                        : prompter_.shown().back().text));
    } else {
      const auto deadline = w_start + std::chrono::milliseconds(config_.hang_wall_ms);
      (void)queue_.wait_outcome(deadline);
      while (WorkerRunning() && WallClock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      if (WorkerRunning()) {
        hung_ = true;
        rec.problems.push_back("worker still running after " +
                               std::to_string(config_.hang_wall_ms) + " ms of wall time");
        rec.outcome = "(hung)";
        // The worker still uses the simulator and may still release the
        // held lock, so both must outlive this run.
        clock_.cancel_release();
        (void)sim.release();
        (void)holder.release();
        return;
      }
      WaitForWorker();
    }
    rec.virtual_ms = (clock_.now_us() - v_start) / 1000;
    rec.wall_us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(WallClock::now() - w_start).count());
    clock_.cancel_release();
    if (holder) holder->release();
    prompter_.clear();

    const std::vector<Notification> seq = queue_.take();
    check(rec, seq, cam, img);
    if (baseline) {
      baseline->transfers = cam.counters().total;
      baseline->virtual_ms = rec.virtual_ms;
    }
    if (rec.fault == Fault::None) {
      if (rec.outcome != "UPD_DOWNLOAD_DONE")
        rec.problems.push_back("a fault-free run ended with " + rec.outcome);
      const auto v = cam.violations();
      if (!v.empty()) {
        ++clean_violations_;
        rec.problems.push_back("protocol violation in a fault-free run: " + v.front().message);
      }
    }
    CloseDevices();
    set_platform({});
  }

  void check(RunRecord& rec, const std::vector<Notification>& seq, sim::SimCamera& cam,
             const ImageFile& img) {
    std::size_t outcomes = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < seq.size(); ++i) {
      if (is_outcome(seq[i])) {
        ++outcomes;
        at = i;
      }
    }
    if (outcomes != 1) {
      rec.outcome = outcomes == 0 ? "(none)" : "(several)";
      rec.problems.push_back("expected exactly one outcome, got " + std::to_string(outcomes) +
                             ": " + describe(seq));
      return;
    }
    const Notification outcome = seq[at];
    rec.outcome = update_code_name(outcome.code);
    if (outcome.code == UPD_VALIDATE_RESULT || outcome.code == UPD_ERASE_RESULT)
      rec.outcome += "(0)";
    for (std::size_t i = at + 1; i < seq.size(); ++i) {
      if (seq[i].code != UPD_ELAPSED_MS && seq[i].code != UPD_DOWNLOAD_POS)
        rec.problems.push_back(std::string("after the outcome came ") + update_code_name(seq[i].code));
    }
    const std::optional<Notification> last = LastOutcome();
    if (!last || !(*last == outcome))
      rec.problems.push_back("LastOutcome differs from the posted outcome");
    if (is_success(outcome)) {
      const std::uint32_t t = static_cast<std::uint32_t>(img.image.size());
      bool equal;
      if (rec.code_only) {
        const auto header = synthesize_boot_header(kCodeOnlyHeader, t, 0);
        equal = cam.flash_bytes(0, kBootConfigSize) ==
                    std::vector<std::uint8_t>(header.begin(), header.end()) &&
                cam.flash_bytes(kCodeOnlyBootAddr, t) == img.image;
      } else {
        equal = cam.flash_bytes(0, t) == img.image;
      }
      if (!equal) {
        rec.problems.push_back("FALSE SUCCESS: success reported but the flash differs from the image");
        rec.outcome += " (false)";
      }
    }
  }

  void account(SoakReport& report, const RunRecord& rec) {
    ++report.runs;
    ++report.outcomes[rec.outcome];
    ++report.by_fault[fault_name(rec.fault)];
    if (rec.outcome == "UPD_DOWNLOAD_DONE") ++report.successes_by_fault[fault_name(rec.fault)];
    if (rec.outcome.find("(false)") != std::string::npos) ++report.false_successes;
    if (rec.outcome == "(none)" || rec.outcome == "(several)") ++report.multiple_or_missing_outcomes;
    if (rec.outcome == "(hung)") ++report.hung;
    for (const std::string& p : rec.problems)
      if (p.find("virtual ms") != std::string::npos) ++report.over_time;
    if (rec.virtual_ms >= report.slowest.virtual_ms) report.slowest = rec;
    std::uint64_t& slowest = report.slowest_by_fault[fault_name(rec.fault)];
    slowest = std::max(slowest, rec.virtual_ms);
    report.clean_violations = clean_violations_;
    if (!rec.problems.empty()) {
      ++report.problem_runs;
      if (report.problems.size() < 20) report.problems.push_back(rec);
    }
  }

  SoakConfig config_;
  SoakClock clock_;
  ProcessLockBackend locks_;
  WatchedQueue queue_;
  RecordingPrompter prompter_{MessageAnswer::Ok};
  std::string dir_;
  std::map<std::pair<std::uint32_t, bool>, ImageFile> images_;
  std::map<std::pair<std::uint32_t, bool>, Baseline> baselines_;
  std::optional<RunRecord> baseline_problem_;
  std::uint32_t clean_violations_ = 0;
  bool hung_ = false;
};

}  // namespace

const char* fault_name(Fault f) {
  switch (f) {
    case Fault::None: return "none";
    case Fault::FailAt: return "fail-at";
    case Fault::Unplug: return "unplug";
    case Fault::StuckBusy: return "stuck-busy";
    case Fault::CorruptRead: return "corrupt-read";
    case Fault::LockHeld: return "lock-held";
    case Fault::StuckProtection: return "stuck-protection";
    case Fault::FailRate: return "fail-rate";
    case Fault::kCount: break;
  }
  return "?";
}

std::string SoakReport::summary() const {
  std::string s;
  auto line = [&s](const std::string& l) { s += l + "\n"; };
  line("runs                " + std::to_string(runs));
  line("wall time           " + std::to_string(wall_ms) + " ms");
  line("false successes     " + std::to_string(false_successes));
  line("outcome count wrong " + std::to_string(multiple_or_missing_outcomes));
  line("over time bound     " + std::to_string(over_time));
  line("hung                " + std::to_string(hung));
  line("clean violations    " + std::to_string(clean_violations));
  line("runs with problems  " + std::to_string(problem_runs));
  line("slowest run         " + std::to_string(slowest.virtual_ms) + " virtual ms (seed " +
       std::to_string(slowest.seed) + ", " + fault_name(slowest.fault) + " " +
       std::to_string(slowest.fault_param) + ", " + slowest.outcome + ")");
  line("outcomes:");
  for (const auto& [name, n] : outcomes) line("  " + name + " " + std::to_string(n));
  line("faults (runs / successes / slowest virtual ms):");
  for (const auto& [name, n] : by_fault) {
    const auto it = successes_by_fault.find(name);
    const auto slow = slowest_by_fault.find(name);
    line("  " + name + " " + std::to_string(n) + " / " +
         std::to_string(it == successes_by_fault.end() ? 0 : it->second) + " / " +
         std::to_string(slow == slowest_by_fault.end() ? 0 : slow->second));
  }
  for (const RunRecord& r : problems) {
    line("problem: seed " + std::to_string(r.seed) + " " + fault_name(r.fault) + " " +
         std::to_string(r.fault_param) + " size " + std::to_string(r.image_size) +
         (r.code_only ? " code-only" : "") + " -> " + r.outcome);
    for (const std::string& p : r.problems) line("    " + p);
  }
  return s;
}

SoakReport run_soak(const SoakConfig& config,
                    const std::function<void(const RunRecord&)>& progress) {
  Soak soak(config);
  return soak.run(progress);
}

}  // namespace lumavix::soak
