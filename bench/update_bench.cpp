// A whole update of a 128 KiB complete image on a generation-2 HID camera:
// the transfers it takes against the count its steps prescribe, the CPU time
// of the tool at zero latency, and the total time against the floor set by
// the USB transfers and the flash's own busy times.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "sim/simulator.h"

namespace {

using namespace lumavix;
namespace fs = std::filesystem;

constexpr std::uint32_t kImageSize = 0x20000;

// Transfers of the HID protocol for each step of the boot-header download of
// a complete image when every status poll succeeds at once (busy times off).
struct Prescribed {
  static constexpr std::uint64_t status_read = 4;  // command bytes, then the read
  static constexpr std::uint64_t short_cmd = 2;    // 0x87 then 0x93
  static constexpr std::uint64_t write_enable = short_cmd + status_read;
  static constexpr std::uint64_t write_disable = short_cmd + status_read;
  static std::uint64_t unprotect(bool prot) {
    return status_read + (prot ? short_cmd + status_read : 0) + write_enable;
  }
  static std::uint64_t sector_erase(bool prot) {
    return write_enable + unprotect(prot) + short_cmd + status_read + write_disable;
  }
  static constexpr std::uint64_t page_program_256 =
      write_enable + short_cmd + 8 * short_cmd + status_read + write_disable;
  static constexpr std::uint64_t get_info = 4;
  static std::uint64_t read(std::uint64_t n) { return short_cmd + (n + 31) / 32 * 2; }
  static constexpr std::uint64_t set_protection_on =
      write_enable + status_read + short_cmd + status_read + write_disable;

  // `blank_pages`: pages of nothing but 0xFF, which need no programming.
  static std::uint64_t update(bool initially_protected, std::uint64_t blank_pages = 0) {
    const std::uint64_t sectors = kImageSize / 4096;
    std::uint64_t n = sector_erase(initially_protected) + (sectors - 1) * sector_erase(false);
    n += get_info + (kImageSize / 256 - blank_pages) * page_program_256;
    // The read-back comes in two reads: everything but the first page before
    // that page (the boot configuration) is programmed, the first page after.
    n += read(kImageSize - 256) + read(256);
    n += set_protection_on;
    return n;
  }
};

// Blanks every `every`-th 256-byte page of a firmware file's image (0: none)
// as padding would, sparing the first page and the user-data block, and
// mends the CRC. Returns the number of pages blanked.
std::uint64_t blank_pages(std::vector<std::uint8_t>& file, std::uint32_t every) {
  if (every == 0) return 0;
  std::uint64_t blanked = 0;
  const std::uint32_t pages = static_cast<std::uint32_t>((file.size() - 4) / 256);
  const std::uint32_t block_page = (0x2000 + kUserDataBlockSize) / 256;
  for (std::uint32_t p = every - 1; p < pages; p += every) {
    if (p == 0 || (p >= 0x2000 / 256 && p <= block_page)) continue;
    std::fill_n(file.begin() + 4 + p * 256, 256, 0xFF);
    ++blanked;
  }
  const std::uint32_t crc = Crc32(file.data() + 4, file.size() - 4);
  for (int i = 0; i < 4; ++i) file[i] = static_cast<std::uint8_t>(crc >> (8 * i));
  return blanked;
}

class UpdateRun {
 public:
  UpdateRun(std::uint32_t latency_us, bool busy, std::uint32_t blank_every = 0) {
    set_clock(&clock_);
    sim::SimOptions o;
    o.latency_us = latency_us;
    o.busy = busy;
    std::string err;
    sim_ = sim::Simulator::create(o, err);
    set_platform({&sim_->hid(), &locks_});
    if (!sim_ || OpenDevices() != 1) std::abort();
    FirmwareBuildOptions b;
    b.image_size = kImageSize;
    file_ = build_firmware_file(b);
    blank_pages_ = blank_pages(file_, blank_every);
    path_ = (fs::temp_directory_path() / ("lumavix-bench-" + std::to_string(getpid()) + ".bin"))
                .string();
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(file_.data()), static_cast<std::streamsize>(file_.size()));
  }
  ~UpdateRun() {
    WaitForWorker();
    CloseDevices();
    set_platform({});
    set_clock(nullptr);
    fs::remove(path_);
  }

  // One download; true when it ended in verified success.
  bool run() {
    sim::SimCamera& cam = *sim_->camera(0);
    protected_before_ = (cam.flash_status() & 0x0C) != 0;
    cam.reset_counters();
    start_us_ = clock_.now_us();
    NotifyQueue queue;
    DownloadRequest r;
    r.notifyWindow = &queue;
    r.file0Path = path_;
    std::copy(file_.begin() + 4, file_.begin() + 20, r.bootHeader.begin());
    if (!StartDownload(r)) return false;
    WaitForWorker();
    elapsed_us_ = clock_.now_us() - start_us_;
    transfers_ = cam.counters().total;
    for (const Notification& n : queue.drain()) {
      if (is_outcome(n)) return is_success(n);
    }
    return false;
  }

  bool protected_before_ = false;
  std::uint64_t blank_pages_ = 0;
  std::uint64_t transfers_ = 0;
  std::uint64_t elapsed_us_ = 0;

 private:
  VirtualClock clock_;
  ProcessLockBackend locks_;
  std::unique_ptr<sim::Simulator> sim_;
  std::vector<std::uint8_t> file_;
  std::string path_;
  std::uint64_t start_us_ = 0;
};

// Zero latency, busy times off: the tool's own CPU cost, and the transfer
// count against the prescribed one.
void BM_Update128K_ZeroLatency(benchmark::State& state) {
  UpdateRun u(0, false);
  std::uint64_t expected = 0;
  for (auto _ : state) {
    if (!u.run()) state.SkipWithError("the update did not succeed");
    expected = Prescribed::update(u.protected_before_);
  }
  state.counters["transfers"] = static_cast<double>(u.transfers_);
  state.counters["prescribed"] = static_cast<double>(expected);
  if (u.transfers_ != expected) state.SkipWithError("transfer count differs from the prescribed one");
}
BENCHMARK(BM_Update128K_ZeroLatency)->Unit(benchmark::kMillisecond)->Iterations(5)->MeasureProcessCPUTime();

// 125 us per transfer and a real part's busy times, in virtual time: the
// whole run against the floor of transfers x latency + busy time.
void BM_Update128K_RealTiming(benchmark::State& state) {
  UpdateRun u(125, true);
  for (auto _ : state) {
    if (!u.run()) state.SkipWithError("the update did not succeed");
  }
  const sim::SpiFlashTiming t;
  const std::uint64_t sectors = kImageSize / 4096, pages = kImageSize / 256;
  const double busy_us = 1000.0 * (sectors * t.sector_erase_ms + pages * t.page_program_ms +
                                   (u.protected_before_ ? 2 : 1) * t.status_write_ms);
  // The floor: the transfers the steps need when every poll succeeds at
  // once, each taking its latency, plus the time the flash itself is busy.
  const double floor_us =
      static_cast<double>(Prescribed::update(u.protected_before_)) * 125.0 + busy_us;
  state.counters["transfers"] = static_cast<double>(u.transfers_);
  state.counters["virtual_s"] = static_cast<double>(u.elapsed_us_) / 1e6;
  state.counters["floor_s"] = floor_us / 1e6;
  state.counters["ratio"] = static_cast<double>(u.elapsed_us_) / floor_us;
}
BENCHMARK(BM_Update128K_RealTiming)->Unit(benchmark::kMillisecond)->Iterations(3)->MeasureProcessCPUTime();

// Images padded with 0xFF: the argument blanks every Nth page (0: none, 4:
// 25 %, 2: 50 %). Blank pages are not programmed; the transfers and the
// virtual time at 125 us a transfer with real busy times show what that
// saves, and the count is checked against the prescribed one at zero latency.
void BM_Update128K_BlankPages(benchmark::State& state) {
  const auto every = static_cast<std::uint32_t>(state.range(0));
  // One run installs its camera and clock at a time.
  std::uint64_t transfers = 0, expected = 0, blank = 0, virtual_us = 0;
  for (auto _ : state) {
    {
      UpdateRun fast(0, false, every);
      if (!fast.run()) state.SkipWithError("the update did not succeed");
      transfers = fast.transfers_;
      blank = fast.blank_pages_;
      expected = Prescribed::update(fast.protected_before_, blank);
    }
    UpdateRun real(125, true, every);
    if (!real.run()) state.SkipWithError("the update did not succeed");
    virtual_us = real.elapsed_us_;
  }
  state.counters["blank_pct"] =
      100.0 * static_cast<double>(blank) / static_cast<double>(kImageSize / 256);
  state.counters["transfers"] = static_cast<double>(transfers);
  state.counters["prescribed"] = static_cast<double>(expected);
  state.counters["virtual_s"] = static_cast<double>(virtual_us) / 1e6;
  if (transfers != expected) state.SkipWithError("transfer count differs from the prescribed one");
}
BENCHMARK(BM_Update128K_BlankPages)->Arg(0)->Arg(4)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
