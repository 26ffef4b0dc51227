#include "app/core/ring_geometry.h"

#include <algorithm>
#include <cmath>

namespace lumavix {

RingColour RingPassColour(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::Erase:
      return kRingEraseColour;
    case UpdatePhase::Verify:
      return kRingVerifyColour;
    case UpdatePhase::Program:
    case UpdatePhase::None:
      break;
  }
  return kRingDotColour;
}

namespace {

float Luminance(const RingColour& c) {
  auto linear = [](float v) {
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
  };
  return 0.2126f * linear(c.r) + 0.7152f * linear(c.g) + 0.0722f * linear(c.b);
}

}  // namespace

float ContrastRatio(const RingColour& a, const RingColour& b) {
  const float la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05f) / (std::min(la, lb) + 0.05f);
}

RingTheme RingThemeFor(const RingColour& window, const RingColour& windowText) {
  if (ContrastRatio(windowText, window) >= kRingMinTextContrast) return {window, windowText};
  return {window, TextColourOver(window)};
}

RingColour TextColourOver(const RingColour& background) {
  const float y = Luminance(background);
  // Contrast with black (y + 0.05) / 0.05 against white 1.05 / (y + 0.05).
  const bool black = (y + 0.05f) * (y + 0.05f) > 0.05f * 1.05f;
  return black ? RingColour{0.0f, 0.0f, 0.0f} : RingColour{1.0f, 1.0f, 1.0f};
}

RingDot RingDotAt(float degrees) {
  // Kept in float throughout: the dot positions depend on the rounding of
  // single precision, and so does the number of dots a step draws.
  const float r = (degrees + kRingStartDegrees) * kRingPi / 180.0f;
  return RingDot{degrees, std::cos(r) * kRingRadius + kRingCentreX,
                 std::sin(r) * kRingRadius + kRingCentreY};
}

RingStep ComputeRingStep(std::int32_t lastAngle, std::int32_t percent) {
  RingStep step{{}, 0};
  // The product is formed in double and then rounded to single precision; a
  // product formed in float rounds differently for some percentages and
  // changes how many dots the one-percent steps draw (286 in all).
  const float target = static_cast<float>(static_cast<double>(percent) * 3.6);
  float a = static_cast<float>(lastAngle);
  // A full turn has 200 dots; the bound only guards against a percentage far
  // outside 0..100 turning into an endless loop.
  while (target > a && step.dots.size() < 4096) {
    step.dots.push_back(RingDotAt(a));
    a += kRingDotStepDegrees;
  }
  step.lastAngle = static_cast<std::int32_t>(target);
  return step;
}

}  // namespace lumavix
