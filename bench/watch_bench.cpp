// One device-watch pass of the window against a generation-2 HID camera:
// open the library, read the chip register and the user data, find and read
// the firmware file, decide. Reported twice: the tool's CPU time at zero
// latency, and the time the pass takes with 125 us per transfer (virtual
// time), which is what keeps the window responsive after a plug.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/core/device_watch.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "sim/simulator.h"

namespace {

using namespace lumavix;
namespace fs = std::filesystem;

class WatchRun {
 public:
  explicit WatchRun(std::uint32_t latency_us) {
    set_clock(&clock_);
    sim::SimOptions o;
    o.latency_us = latency_us;
    std::string err;
    sim_ = sim::Simulator::create(o, err);
    if (!sim_) std::abort();
    set_platform({&sim_->hid(), &locks_});
    dir_ = fs::temp_directory_path() / ("lumavix-watch-bench-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    FirmwareBuildOptions b;
    b.firmware_version = 0x0105;
    const auto file = build_firmware_file(b);
    std::ofstream(dir_ / "fw.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    config_.directory = dir_.string();
  }
  ~WatchRun() {
    CloseDevices();
    set_platform({});
    set_clock(nullptr);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  bool pass() {
    const std::uint64_t start = clock_.now_us();
    const DeviceWatchResult r = EvaluateDeviceWatch(state_, config_);
    elapsed_us_ = clock_.now_us() - start;
    transfers_ = sim_->camera(0)->counters().total;
    sim_->camera(0)->reset_counters();
    return r.view.presentation == Presentation::UpdateAvailable;
  }

  std::uint64_t elapsed_us_ = 0;
  std::uint64_t transfers_ = 0;

 private:
  VirtualClock clock_;
  ProcessLockBackend locks_;
  std::unique_ptr<sim::Simulator> sim_;
  fs::path dir_;
  DeviceWatchState state_;
  DeviceWatchConfig config_;
};

void BM_DeviceWatchPass_ZeroLatency(benchmark::State& state) {
  WatchRun w(0);
  for (auto _ : state)
    if (!w.pass()) state.SkipWithError("the pass did not offer the update");
  state.counters["transfers"] = static_cast<double>(w.transfers_);
}
BENCHMARK(BM_DeviceWatchPass_ZeroLatency)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

void BM_DeviceWatchPass_125us(benchmark::State& state) {
  WatchRun w(125);
  for (auto _ : state)
    if (!w.pass()) state.SkipWithError("the pass did not offer the update");
  state.counters["transfers"] = static_cast<double>(w.transfers_);
  state.counters["virtual_ms"] = static_cast<double>(w.elapsed_us_) / 1e3;
}
BENCHMARK(BM_DeviceWatchPass_125us)->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace
