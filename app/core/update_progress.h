// What an update run shows while it runs and when it fails, decided from the
// worker's notifications without any window: the phase (erasing, writing,
// verifying), its percentage and the time left from the measured rate, and
// the failure told in the user's language with the engine's own status kept
// as a detail line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/core/device_watch.h"
#include "app/core/texts.h"

namespace lumavix {

// Below this share of the whole update done there is no time-left
// estimate: the rate of the first few percent says little (the first
// transfers include opening the flash).
inline constexpr int kTimeLeftFromPercent = 5;

// What each phase is expected to take, for weighing the phases against each
// other in the whole update's percentage and time left. Only the ratios
// matter: the time left is the run's own measured pace carried over what is
// still to do.
struct PhaseCosts {
  std::uint32_t eraseMsPerSector = 45;  // a 4 KiB sector, its status polls included
  std::uint32_t programMsPerKiB = 16;   // page programs and their transfers
  std::uint32_t verifyMsPerKiB = 4;     // reads only
  std::uint32_t defaultImageBytes = 0x20000;  // before the run says its size
};

class PhaseTracker {
 public:
  struct Change {
    bool phase = false;    // a new phase began
    bool percent = false;  // the phase's percentage changed
    bool text = false;     // the phase line changed (percentage or time left)
    bool overall = false;  // the whole update's percentage changed
  };

  explicit PhaseTracker(PhaseCosts costs = {}) : costs_(costs) {}

  // A run begins: its first phase is always the erase.
  void Start(std::uint32_t nowMs);
  // No run: phase None, percentages 0.
  void Clear();
  // One notification of the run, at `nowMs` on the injectable clock.
  Change Note(std::uint32_t code, std::uint32_t value, std::uint32_t nowMs);
  // The clock moved without a notification: the time left is recomputed
  // (it grows while the camera is slow to answer).
  Change Tick(std::uint32_t nowMs);
  // The run has its outcome: no time left any more; the percentages stay.
  void End();

  [[nodiscard]] UpdatePhase phase() const { return phase_; }
  // 0..100 within the phase.
  [[nodiscard]] int percent() const { return percent_; }
  // 0..100 over the whole update, weighed by the phases' expected times;
  // it never falls during a run, and is 100 only once the run is done.
  [[nodiscard]] int overallPercent() const { return overall_; }
  // Whole seconds left in the whole update, or -1 while unknown and after
  // the run.
  [[nodiscard]] long secondsLeft() const { return secondsLeft_; }
  [[nodiscard]] bool running() const { return running_; }

 private:
  void Enter(UpdatePhase phase, std::uint32_t nowMs, Change& c);
  void SetPercent(int percent, std::uint32_t nowMs, Change& c);
  // The whole update's share done, 0..1, from the phase and its percentage.
  [[nodiscard]] double Fraction() const;
  void Recompute(std::uint32_t nowMs, Change& c);

  PhaseCosts costs_;
  UpdatePhase phase_ = UpdatePhase::None;
  std::uint32_t total_ = 0;     // the current UPD_RANGE
  std::uint32_t sectors_ = 0;   // sectors to erase (boot-header runs), 0 when not told
  std::uint32_t imageBytes_ = 0;  // the programming's range, 0 until told
  int percent_ = 0;
  int overall_ = 0;
  long secondsLeft_ = -1;
  bool running_ = false;
  std::uint32_t runStartMs_ = 0;
};

// The failure of a run's terminal notification; `refused` when the run
// refused before touching the camera (LastRefusal()).
[[nodiscard]] FailureKind ClassifyFailure(std::uint32_t code, std::uint32_t value, bool refused);

// The status view after a failed run: the failure in the user's language
// (what happened, whether the camera may be unplugged), then what to do now
// (try again when the pass offers Update and the run was not refused,
// otherwise the pass's own request), and last the engine's English status, or
// a refusal's reason, as a detail line. The status line and
// the window grow to hold it; the Update button moves below it.
[[nodiscard]] PresentationView ComposeFailureView(const PresentationView& pass, UiLanguage lang,
                                                  FailureKind kind,
                                                  std::string_view engineStatus);

inline constexpr PixelSize kFailureWindowSize{460, 260};
inline constexpr PixelRect kFailureStatusRect{20, 10, 420, 175};
inline constexpr PixelRect kFailureUpdateButtonRect{165, 200, 130, 30};

}  // namespace lumavix
