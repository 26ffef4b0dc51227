#include "devlib/clock.h"

#include <chrono>
#include <thread>

namespace lumavix {

std::uint32_t SteadyClock::ticks_ms() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SteadyClock::sleep_ms(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SteadyClock::sleep_us(std::uint32_t us) {
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

namespace {
SteadyClock g_steady;
std::atomic<Clock*> g_clock{&g_steady};
}  // namespace

Clock& clock() { return *g_clock.load(std::memory_order_acquire); }

void set_clock(Clock* c) {
  g_clock.store(c ? c : &g_steady, std::memory_order_release);
}

}  // namespace lumavix
