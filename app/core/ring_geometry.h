// Geometry of the progress ring, without any window-system types, so that it
// can be checked on its own.
//
// The ring is a circle of small dots that grows clockwise from the top. It is
// drawn incrementally: each step adds the dots between the angle already
// drawn and the angle of the new percentage. All arithmetic is single
// precision with 3.14 for pi, and the angle kept between steps is truncated
// to whole degrees, so consecutive segments overlap by up to one dot; the
// dots come out exactly where the camera maker's tool has always put them.
#pragma once

#include <cstdint>
#include <vector>

#include "app/core/texts.h"

namespace lumavix {

// Ring geometry in pixels of the ring area.
inline constexpr float kRingCentreX = 87.0f;
inline constexpr float kRingCentreY = 87.0f;
inline constexpr float kRingRadius = 82.0f;
inline constexpr float kRingDotRadius = 4.0f;
inline constexpr float kRingDotStepDegrees = 1.8f;
inline constexpr float kRingStartDegrees = 270.0f;  // progress 0 lies at the top
inline constexpr float kRingPi = 3.14f;

// Colours as red, green, blue in 0..1 (alpha 1).
struct RingColour {
  float r, g, b;
};
inline constexpr RingColour kRingDotColour = {0.42f, 0.96f, 0.29f};
inline constexpr RingColour kRingBackground = {0.94f, 0.94f, 0.94f};
// The ring fills once per phase of a run, each pass over the last in its own
// colour: a pale erase, the green writing, a deep green verification, so the
// read-back moves visibly instead of sitting on a full ring.
inline constexpr RingColour kRingEraseColour = {0.80f, 0.88f, 0.78f};
inline constexpr RingColour kRingVerifyColour = {0.05f, 0.50f, 0.33f};
// The colour of the pass of `phase`; the green of the writing for None.
[[nodiscard]] RingColour RingPassColour(UpdatePhase phase);
// Black or white, whichever reads better over `background` (the larger
// contrast ratio of their relative luminances): the percentage is drawn over
// the ring's own background, whatever the theme's text colour.
[[nodiscard]] RingColour TextColourOver(const RingColour& background);
// The contrast ratio of two colours (1 to 21) from their relative
// luminances, as accessibility guidelines measure it.
[[nodiscard]] float ContrastRatio(const RingColour& a, const RingColour& b);
// The least contrast of the percentage over the ring's background.
inline constexpr float kRingMinTextContrast = 4.5f;

// The ring's background and the percentage's colour in a window whose theme
// has `window` as its background and `windowText` as its text colour: the
// ring sits on the theme's own background (dark in a dark theme, the
// system's colours in high contrast) and the percentage takes the theme's
// text colour, unless that reads worse than kRingMinTextContrast over it,
// then black or white.
struct RingTheme {
  RingColour background;
  RingColour text;
};
[[nodiscard]] RingTheme RingThemeFor(const RingColour& window, const RingColour& windowText);

struct RingDot {
  float angle;  // progress degrees, 0 at the top, clockwise
  float x;      // centre in ring-area pixels (y grows downward)
  float y;
};

struct RingStep {
  std::vector<RingDot> dots;  // in drawing order
  std::int32_t lastAngle;     // the angle the next step starts from
};

// The dots one step draws to go from `lastAngle` (whole degrees, as the
// previous step left it) to `percent`, and the angle it leaves behind. A
// percentage at or below what is drawn gives no dots; the returned angle is
// then the percentage's (truncated), as for any other step.
[[nodiscard]] RingStep ComputeRingStep(std::int32_t lastAngle, std::int32_t percent);

// The centre of the dot at progress angle `degrees`.
[[nodiscard]] RingDot RingDotAt(float degrees);

// Where the ring stands, kept alike by both windows: the pass's colour, the
// angle drawn and the dots drawn since the last reset. A step is computed,
// drawn by the window, and committed only once it reached the screen, so a
// step that did not is drawn again by the next.
class RingProgress {
 public:
  // No dots, angle 0, the writing's green (every device-watch pass).
  void Reset() { *this = RingProgress{}; }
  // The next phase's pass in `colour`: from the top again, over the dots
  // already drawn.
  void BeginPass(const RingColour& colour) {
    colour_ = colour;
    lastAngle_ = 0;
  }
  // The dots of the step to `percent`, to be drawn in colour().
  [[nodiscard]] RingStep Next(std::int32_t percent) const {
    return ComputeRingStep(lastAngle_, percent);
  }
  // `step` (from Next) reached the screen.
  void Commit(const RingStep& step) {
    lastAngle_ = step.lastAngle;
    dotsDrawn_ += static_cast<int>(step.dots.size());
  }

  [[nodiscard]] const RingColour& colour() const { return colour_; }
  [[nodiscard]] std::int32_t lastAngle() const { return lastAngle_; }
  // Counting overlaps.
  [[nodiscard]] int dotsDrawn() const { return dotsDrawn_; }

 private:
  RingColour colour_ = kRingDotColour;
  std::int32_t lastAngle_ = 0;
  int dotsDrawn_ = 0;
};

}  // namespace lumavix
