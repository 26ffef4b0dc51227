// The library's own cost per feature-report transfer: lock, request building
// and dispatch, measured against the simulated camera answering at once.
// Against a 125 us USB control transfer, a cost under 5 us per transfer keeps
// the tool's share under 5%.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "firmware/flash.h"
#include "platform/linux_lock.h"
#include "sim/simulator.h"

namespace {

using namespace lumavix;

// One simulated camera, zero latency, virtual time, opened through the
// library as a real camera would be.
class Bench {
 public:
  explicit Bench(LockBackend* locks = nullptr) {
    set_clock(&clock_);
    sim::SimOptions o;
    std::string err;
    if (!sim::parse_sim_options("q,latency-us=0,busy=0", o, err)) std::abort();
    sim_ = sim::Simulator::create(o, err);
    if (!sim_) std::abort();
    set_platform({&sim_->hid(), locks ? locks : &locks_});
    if (!kvVidHidCls_Init()) std::abort();
    sim_->camera(0)->reset_counters();
  }
  ~Bench() {
    kvVidHidCls_DeInit();
    set_platform({});
    set_clock(nullptr);
  }
  std::uint64_t transfers() const { return sim_->camera(0)->counters().total; }

 private:
  VirtualClock clock_;
  ProcessLockBackend locks_;
  std::unique_ptr<sim::Simulator> sim_;
};

void report(benchmark::State& state, const Bench& b) {
  const double n = static_cast<double>(b.transfers());
  state.counters["transfers_per_op"] = n / static_cast<double>(state.iterations());
  state.counters["per_transfer"] =
      benchmark::Counter(n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A register read: the generation probe and the read, four transfers.
void BM_RegisterRead(benchmark::State& state) {
  Bench b;
  std::uint32_t v = 0;
  for (auto _ : state) {
    if (kvVidHidCls_RegRead(0x0000, 4, v) < 0) state.SkipWithError("register read failed");
    benchmark::DoNotOptimize(v);
  }
  report(state, b);
}
BENCHMARK(BM_RegisterRead);

// The same with the inter-process lock the command line and the window use.
void BM_RegisterRead_FlockLock(benchmark::State& state) {
  char dir[] = "/tmp/lumavix-bench-XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("no temporary directory");
    return;
  }
  FlockLockBackend locks{std::string(dir)};
  {
    Bench b(&locks);
    std::uint32_t v = 0;
    for (auto _ : state) {
      if (kvVidHidCls_RegRead(0x0000, 4, v) < 0) state.SkipWithError("register read failed");
      benchmark::DoNotOptimize(v);
    }
    report(state, b);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_RegisterRead_FlockLock);

// A 32-byte flash read piece: the command bytes sent, then the read, four
// transfers.
void BM_FlashReadPiece(benchmark::State& state) {
  Bench b;
  std::array<std::uint8_t, 32> buf{};
  const std::uint8_t cmd[4] = {0x03, 0x00, 0x20, 0x00};
  for (auto _ : state) {
    if (kvVidHidCls_SpiCmdRead(0, 1, 4, cmd, 32, buf.data()) < 0)
      state.SkipWithError("flash read failed");
    benchmark::DoNotOptimize(buf);
  }
  report(state, b);
}
BENCHMARK(BM_FlashReadPiece);

// A 4 KiB flash read as the programming code does it.
void BM_FlashRead4K(benchmark::State& state) {
  Bench b;
  std::array<std::uint8_t, 4096> buf{};
  for (auto _ : state) {
    if (!kvVidHidCls_SPI_Flash_Read(0x1000, 4096, buf.data())) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(buf);
  }
  report(state, b);
}
BENCHMARK(BM_FlashRead4K);

}  // namespace
