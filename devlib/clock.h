// The one clock through which every wait and time-out of the system goes.
// Device code polls a wrapping millisecond tick counter and sleeps; tests and
// benchmarks install a virtual clock so the simulated camera runs in virtual
// time, demos and real hardware use the monotonic one.
#pragma once

#include <atomic>
#include <cstdint>

namespace lumavix {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary origin; wraps at 2^32. Intervals must be
  // computed as `now - start` in unsigned arithmetic.
  [[nodiscard]] virtual std::uint32_t ticks_ms() = 0;
  virtual void sleep_ms(std::uint32_t ms) = 0;
  virtual void sleep_us(std::uint32_t us) = 0;
};

// Monotonic clock (CLOCK_MONOTONIC through std::chrono::steady_clock).
class SteadyClock final : public Clock {
 public:
  [[nodiscard]] std::uint32_t ticks_ms() override;
  void sleep_ms(std::uint32_t ms) override;
  void sleep_us(std::uint32_t us) override;
};

// Virtual time: sleeping advances the clock at once, nothing really waits.
// Safe to use from several threads; each sleep adds to the shared time.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(std::uint32_t start_ms = 0)
      : us_(static_cast<std::uint64_t>(start_ms) * 1000) {}
  [[nodiscard]] std::uint32_t ticks_ms() override {
    return static_cast<std::uint32_t>(us_.load() / 1000);
  }
  void sleep_ms(std::uint32_t ms) override { us_ += std::uint64_t{ms} * 1000; }
  void sleep_us(std::uint32_t us) override { us_ += us; }
  void advance_ms(std::uint32_t ms) { sleep_ms(ms); }
  // Total virtual time elapsed since construction origin, in microseconds.
  [[nodiscard]] std::uint64_t now_us() const { return us_.load(); }

 private:
  std::atomic<std::uint64_t> us_;
};

// The process-wide clock. Defaults to a SteadyClock; set_clock(nullptr)
// restores the default. The caller keeps ownership of an installed clock.
[[nodiscard]] Clock& clock();
void set_clock(Clock* c);

// Milliseconds elapsed since `start`, correct across a wrap of the counter.
[[nodiscard]] inline std::uint32_t elapsed_ms(std::uint32_t start) {
  return clock().ticks_ms() - start;
}

}  // namespace lumavix
