// Fitting texts to their places: shortening unbreakable runs in the middle,
// and growing a place, what follows it and the window when a text needs it.
#include <gtest/gtest.h>

#include <string>

#include "app/core/text_fit.h"

namespace lumavix::test {
namespace {

// Every character one unit wide, the ellipsis included: widths are counts.
int Count(std::u16string_view s) { return static_cast<int>(s.size()); }

TEST(TextFit, ARunTooWideIsShortenedInItsMiddleKeepingBothEnds) {
  const std::u16string path = u"C:\\Users\\someone\\Downloads\\LUMAVIX_Q_firmware_v0105.bin";
  const struct {
    int width;
    std::u16string_view head, tail;
  } cases[] = {
      {1000, path, u""},  // fits: unchanged
      {20, u"C:\\Users\\", u"_v0105.bin"},
      {11, u"C:\\Us", u"5.bin"},
      {1, u"", u""},
  };
  for (const auto& c : cases) {
    const std::u16string out = ElideMiddle(path, c.width, Count);
    if (c.tail.empty() && c.head == path) {
      EXPECT_EQ(out, path) << "width " << c.width << ": a run that fits is kept";
      continue;
    }
    EXPECT_LE(Count(out), std::max(c.width, 1)) << "width " << c.width << ": expected to fit";
    EXPECT_TRUE(out.starts_with(c.head) && out.ends_with(c.tail))
        << "width " << c.width << ": the start and the end (the file's name) expected kept";
    EXPECT_NE(out.find(u'\u2026'), std::u16string::npos) << "width " << c.width << ": ellipsis";
    EXPECT_GE(Count(out), std::min(c.width, Count(path)) - 1)
        << "width " << c.width << ": as much kept as fits";
  }
}

TEST(TextFit, AShortenedRunNeverSplitsASurrogatePair) {
  // U+1F4F7 (a camera) is two code units; every cut must leave it whole.
  const std::u16string run = u"\U0001F4F7\U0001F4F7\U0001F4F7\U0001F4F7\U0001F4F7\U0001F4F7";
  for (int width = 1; width < Count(run); ++width) {
    const std::u16string out = ElideMiddle(run, width, Count);
    for (std::size_t i = 0; i < out.size(); ++i) {
      const char16_t c = out[i];
      if (c >= 0xD800 && c <= 0xDBFF) {
        ASSERT_TRUE(i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF)
            << "width " << width << ": a high surrogate without its low half";
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        ASSERT_TRUE(i > 0 && out[i - 1] >= 0xD800 && out[i - 1] <= 0xDBFF)
            << "width " << width << ": a low surrogate without its high half";
      }
    }
  }
}

TEST(TextFit, OnlyRunsThatCannotWrapAreShortened) {
  const struct {
    const char* what;
    std::u16string_view text;
    std::u16string_view expected;
  } cases[] = {
      {"words that wrap", u"Choose a firmware file, or drop one", u"Choose a firmware file, or drop one"},
      {"a long path among words", u"Found in:\nC:\\very\\long\\folder\\name here.",
       u"Found in:\nC:\\ve\u2026r\\name here."},
      {"a Japanese sentence wraps anywhere",
       u"ファームウェアファイルを選択するか、このウィンドウにドロップしてください。",
       u"ファームウェアファイルを選択するか、このウィンドウにドロップしてください。"},
      {"a Latin run inside a Japanese sentence",
       u"ファイル LUMAVIX_Q_firmware_v0105.bin は破損しています",
       u"ファイル LUMAV\u202605.bin は破損しています"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ElideUnbreakableRuns(c.text, 12, Count), c.expected) << c.what;
  }
}

TEST(TextFit, UnscalingRoundsUpSoThatScalingGivesTheHeightBack) {
  for (int dpi : {96, 120, 144, 168, 192, 288}) {
    for (int v = 0; v <= 600; ++v) {
      const int u = UnscalePixelsUp(v, dpi);
      ASSERT_GE(ScalePixels(u, dpi), v) << "dpi " << dpi << ", " << v << " px: too small";
      ASSERT_TRUE(u == 0 || ScalePixels(u - 1, dpi) < v)
          << "dpi " << dpi << ", " << v << " px: more than needed";
    }
  }
}

WindowFrame FileProblemFrame() {
  WindowFrame f;
  f.windowSize = kFileProblemWindowSize;
  f.statusRect = kFileProblemStatusRect;
  f.chooseFileShown = true;
  f.chooseFileRect = kChooseFileRect;
  return f;
}

TEST(TextFit, ATallTextGrowsItsPlaceMovesWhatFollowsAndGrowsTheWindow) {
  const PixelRect updateTemplate{152, 90, 140, 25};
  struct Case {
    const char* what;
    WindowFrame frame;
    TextHeights needed;
    int grow;  // of the status line (or the progress message) and the window
  };
  WindowFrame offer;
  offer.statusRect = kUpdateAvailableStatusRect;  // 15..85, the button at 90
  offer.updateShown = true;
  WindowFrame link;
  link.statusRect = PixelRect{25, 20, 400, 80};  // the link inside its lower part
  link.linkShown = true;
  link.linkRect = PixelRect{130, 80, 380, 30};
  WindowFrame progress;
  progress.statusShown = false;
  progress.windowSize = kProgressWindowSize;
  progress.progressMessageShown = true;
  progress.progressMessageRect = kProgressMessageRect;
  const Case cases[] = {
      {"a text that fits", FileProblemFrame(), {90, 0}, 0},
      {"a text just the place's height", FileProblemFrame(), {95, 0}, 0},
      {"a file problem two lines too tall", FileProblemFrame(), {135, 0}, 40},
      {"an offer whose text needs the button's place", offer, {100, 0}, 30},
      {"a sentence that reaches the link", link, {75, 0}, 15},
      {"a sentence above the link", link, {60, 0}, 0},
      {"a tall progress message", progress, {0, 110}, 40},
  };
  for (const Case& c : cases) {
    const WindowFrame& in = c.frame;
    const WindowFrame out = GrowFrameToFit(in, c.needed, updateTemplate);
    EXPECT_EQ(out.windowSize.height, in.windowSize.height + c.grow)
        << c.what << ": the window expected " << c.grow << " px taller";
    EXPECT_EQ(out.windowSize.width, in.windowSize.width) << c.what << ": width kept";
    if (in.statusShown) {
      EXPECT_EQ(out.statusRect.y, in.statusRect.y) << c.what << ": the text's top stays";
      EXPECT_GE(out.statusRect.height, c.needed.status) << c.what << ": the text fits its place";
      EXPECT_EQ(out.statusRect.height, in.statusRect.height + c.grow) << c.what;
    }
    if (in.chooseFileShown) {
      EXPECT_EQ(out.chooseFileRect.y, in.chooseFileRect.y + c.grow)
          << c.what << ": the choose-file button expected to follow the text";
      EXPECT_GE(out.chooseFileRect.y, out.statusRect.y + c.needed.status)
          << c.what << ": the button expected below the text";
    }
    if (in.updateShown) {
      EXPECT_EQ(out.updateRect.y, updateTemplate.y + c.grow)
          << c.what << ": the Update button (at its template place) expected to follow";
      EXPECT_EQ(out.updateRect.x, updateTemplate.x) << c.what;
    }
    if (in.linkShown) {
      EXPECT_EQ(out.linkRect.y, in.linkRect.y + c.grow) << c.what << ": the link follows";
      EXPECT_GE(out.linkRect.y, out.statusRect.y + c.needed.status)
          << c.what << ": the link expected below the sentence";
    }
    if (in.progressMessageShown) {
      EXPECT_EQ(out.progressMessageRect.height, in.progressMessageRect.height + c.grow)
          << c.what;
      EXPECT_EQ(out.phaseLineRect, in.phaseLineRect) << c.what << ": the phase line stays";
    }
  }
}

}  // namespace
}  // namespace lumavix::test
