#include "app/ring_geometry.h"

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
