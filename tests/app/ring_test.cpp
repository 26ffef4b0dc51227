#include "app/core/ring_geometry.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace lumavix {
namespace {

// Sum of the dots of one-percent steps from `from` to `to`, starting at angle
// 0; returns the final angle through `last`.
int DotsForSteps(int from, int to, int& last) {
  int dots = 0;
  last = 0;
  for (int p = from; p <= to; ++p) {
    RingStep s = ComputeRingStep(last, p);
    dots += static_cast<int>(s.dots.size());
    last = s.lastAngle;
  }
  return dots;
}

TEST(RingGeometry, StepsStartAtTheTruncatedAngle) {
  struct Case {
    int lastAngle;
    int percent;
    std::vector<float> angles;
    int newLast;
  };
  const Case cases[] = {
      // 3.6f is 3.5999999: after two additions a equals the target.
      {0, 1, {0.0f, 1.8f}, 3},
      // Restarts at 3, not 3.6.
      {3, 2, {3.0f, 4.8f, 6.6f}, 7},
      {0, 0, {}, 0},
      // Nothing new to draw: the angle still follows the percentage.
      {7, 1, {}, 3},
  };
  for (const Case& c : cases) {
    RingStep s = ComputeRingStep(c.lastAngle, c.percent);
    ASSERT_EQ(s.dots.size(), c.angles.size())
        << "from " << c.lastAngle << " to " << c.percent << "% expected "
        << c.angles.size() << " dots";
    for (std::size_t i = 0; i < c.angles.size(); ++i) {
      EXPECT_FLOAT_EQ(s.dots[i].angle, c.angles[i]) << "dot " << i << " of step to "
                                                    << c.percent << "%";
    }
    EXPECT_EQ(s.lastAngle, c.newLast) << "angle after the step to " << c.percent << "%";
  }
}

TEST(RingGeometry, OnePercentStepsOverlapAndEndAtAFullTurn) {
  int last = 0;
  EXPECT_EQ(DotsForSteps(1, 100, last), 286)
      << "1% steps from 0 to 100 draw 286 dots (target rounded from a double product)";
  EXPECT_EQ(last, 360);
}

TEST(RingGeometry, OneStepToHundredDrawsTwoHundredAndOneDots) {
  RingStep s = ComputeRingStep(0, 100);
  ASSERT_EQ(s.dots.size(), 201u);
  EXPECT_EQ(s.lastAngle, 360);
  EXPECT_LT(s.dots.back().angle, 360.0f) << "the last dot lies just below a full turn";
  EXPECT_GT(s.dots.back().angle, 359.0f);
}

TEST(RingGeometry, DotsRunClockwiseFromTheTopWithPiAs314) {
  // Progress 0 at the top of the circle.
  RingDot top = RingDotAt(0.0f);
  EXPECT_NEAR(top.x, 87.0f, 0.2f);
  EXPECT_NEAR(top.y, 5.0f, 0.01f);
  // A quarter turn clockwise on screen (y down) is the right-hand side.
  RingDot right = RingDotAt(90.0f);
  EXPECT_NEAR(right.x, 169.0f, 0.01f);
  EXPECT_NEAR(right.y, 87.0f, 0.3f);
  RingDot bottom = RingDotAt(180.0f);
  EXPECT_NEAR(bottom.y, 169.0f, 0.01f);
  // 3.14 instead of pi leaves the top dot slightly left of the centre line:
  // cos(270 * 3.14 / 180) is about -0.00239, so x is about 86.804.
  const float r = 270.0f * 3.14f / 180.0f;
  EXPECT_FLOAT_EQ(top.x, std::cos(r) * 82.0f + 87.0f);
  EXPECT_LT(top.x, 86.9f) << "the approximated pi must be used, not the exact one";
}

// The percentage reads against the ring's background, not the theme's.
TEST(RingGeometry, ThePercentageIsBlackOrWhiteByTheBackground) {
  const struct {
    const char* what;
    RingColour background;
    float text;  // 0 black, 1 white
  } cases[] = {
      {"the ring's light grey", kRingBackground, 0.0f}, {"white", {1, 1, 1}, 0.0f},
      {"yellow", {1, 1, 0}, 0.0f},                      {"mid grey", {0.5f, 0.5f, 0.5f}, 0.0f},
      {"black", {0, 0, 0}, 1.0f},                       {"dark grey", {0.2f, 0.2f, 0.2f}, 1.0f},
      {"pure blue", {0, 0, 1}, 1.0f},
  };
  for (const auto& c : cases) {
    const RingColour t = TextColourOver(c.background);
    EXPECT_TRUE(t.r == c.text && t.g == c.text && t.b == c.text)
        << c.what << ": expected " << (c.text == 0.0f ? "black" : "white") << " text";
  }
}

// The ring takes the theme's background; its percentage must read over it
// in every theme, including one whose text colour is too close to it.
TEST(RingGeometry, ThePercentageReadsOverTheRingInEveryTheme) {
  const struct {
    const char* what;
    RingColour window, text;
    bool keepsThemeText;
  } themes[] = {
      {"light", {0.94f, 0.94f, 0.94f}, {0, 0, 0}, true},
      {"dark", {0.16f, 0.16f, 0.16f}, {1, 1, 1}, true},
      {"dark with grey text", {0.12f, 0.12f, 0.14f}, {0.80f, 0.80f, 0.80f}, true},
      {"high contrast black", {0, 0, 0}, {1, 1, 0}, true},
      {"high contrast white", {1, 1, 1}, {0, 0, 0}, true},
      {"white text on the light grey", kRingBackground, {1, 1, 1}, false},
      {"dark text on a dark background", {0.2f, 0.2f, 0.2f}, {0.3f, 0.3f, 0.3f}, false},
  };
  for (const auto& t : themes) {
    const RingTheme r = RingThemeFor(t.window, t.text);
    EXPECT_TRUE(r.background.r == t.window.r && r.background.g == t.window.g &&
                r.background.b == t.window.b)
        << t.what << ": the ring expected on the theme's background";
    EXPECT_GE(ContrastRatio(r.text, r.background), kRingMinTextContrast)
        << t.what << ": the percentage expected to read over the ring";
    const bool kept = r.text.r == t.text.r && r.text.g == t.text.g && r.text.b == t.text.b;
    EXPECT_EQ(kept, t.keepsThemeText)
        << t.what << (t.keepsThemeText ? ": the theme's own text colour expected"
                                       : ": black or white expected instead of the theme's");
  }
  // The measure itself: black on white is 21, a colour on itself 1.
  EXPECT_NEAR(ContrastRatio({0, 0, 0}, {1, 1, 1}), 21.0f, 0.01f);
  EXPECT_NEAR(ContrastRatio(kRingDotColour, kRingDotColour), 1.0f, 0.001f);
}

TEST(RingGeometry, OutOfRangePercentDoesNotRunAway) {
  RingStep s = ComputeRingStep(0, 1 << 20);
  EXPECT_LE(s.dots.size(), 4096u);
  EXPECT_TRUE(ComputeRingStep(0, -5).dots.empty());
}

// Both windows keep the ring through RingProgress: a step that did not reach
// the screen is not counted and is drawn again; each phase's pass starts at
// the top over what is drawn; a reset empties it back to the writing's green.
TEST(RingProgress, PassesStepsAndCommits) {
  RingProgress ring;
  RingStep lost = ring.Next(10);
  ASSERT_FALSE(lost.dots.empty());
  EXPECT_EQ(ring.lastAngle(), 0) << "an uncommitted step expected to leave the angle";
  RingStep again = ring.Next(10);
  EXPECT_EQ(again.dots.size(), lost.dots.size()) << "the lost step expected drawn again whole";
  ring.Commit(again);
  EXPECT_EQ(ring.lastAngle(), again.lastAngle);
  EXPECT_EQ(ring.dotsDrawn(), static_cast<int>(again.dots.size()));

  ring.BeginPass(kRingVerifyColour);
  EXPECT_EQ(ring.lastAngle(), 0) << "a new pass expected to start at the top";
  EXPECT_EQ(ring.dotsDrawn(), static_cast<int>(again.dots.size())) << "the last pass stays";
  EXPECT_EQ(ring.colour().g, kRingVerifyColour.g);

  ring.Reset();
  EXPECT_EQ(ring.dotsDrawn(), 0);
  EXPECT_EQ(ring.colour().g, kRingDotColour.g) << "a reset expected back to the writing's green";
}

}  // namespace
}  // namespace lumavix
