#include "devlib/clock.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h:
#include <timeapi.h>
#endif

#include <chrono>
#include <thread>

namespace lumavix {

std::uint32_t SteadyClock::ticks_ms() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

#ifdef _WIN32
namespace {

// Windows sleeps in scheduler ticks of up to 15.6 ms, so a 100 us transfer
// latency or a 1 ms poll would each cost a whole tick (a simulated update
// of 26,000 transfers would take minutes). The tick is asked down to 1 ms for
// the life of the process, and the last 2 ms of every wait are spun on the
// monotonic clock.
void precise_sleep(std::chrono::microseconds d) {
  static const bool fine_ticks = ::timeBeginPeriod(1) == TIMERR_NOERROR;
  (void)fine_ticks;
  const auto deadline = std::chrono::steady_clock::now() + d;
  constexpr auto kSpin = std::chrono::microseconds(2000);
  if (d > kSpin) std::this_thread::sleep_for(d - kSpin);
  while (std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

}  // namespace

void SteadyClock::sleep_ms(std::uint32_t ms) {
  precise_sleep(std::chrono::milliseconds(ms));
}

void SteadyClock::sleep_us(std::uint32_t us) { precise_sleep(std::chrono::microseconds(us)); }
#else
void SteadyClock::sleep_ms(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SteadyClock::sleep_us(std::uint32_t us) {
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}
#endif

namespace {
SteadyClock g_steady;
std::atomic<Clock*> g_clock{&g_steady};
}  // namespace

Clock& clock() { return *g_clock.load(std::memory_order_acquire); }

void set_clock(Clock* c) {
  g_clock.store(c ? c : &g_steady, std::memory_order_release);
}

}  // namespace lumavix
