#include "app/core/text_fit.h"

#include <algorithm>
#include <vector>

namespace lumavix {
namespace {

constexpr char16_t kEllipsis = u'\u2026';

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters between which a line may break anywhere: a run never holds
// them, so sentences in these scripts wrap as they are.
bool BreaksAnywhere(char16_t c) {
  return (c >= 0x2E80 && c <= 0x9FFF) ||  // CJK radicals, kana, ideographs
         (c >= 0xAC00 && c <= 0xD7AF) ||  // Hangul syllables
         (c >= 0xF900 && c <= 0xFAFF) ||  // CJK compatibility ideographs
         (c >= 0xFF00 && c <= 0xFFEF);    // full-width forms
}

bool EndsRun(char16_t c) {
  return c == u' ' || c == u'\n' || c == u'\r' || c == u'\t' || BreaksAnywhere(c);
}

}  // namespace

std::u16string ElideMiddle(std::u16string_view run, int width, const MeasureWidth& measure) {
  if (run.empty() || measure(run) <= width) return std::u16string(run);
  // The largest number of kept characters that fits, the end getting the
  // larger half (a file's name matters more than its folders). Widths grow
  // with the kept count, so a binary search finds it.
  auto shortened = [&](std::size_t keep) {
    std::size_t head = keep / 2;
    std::size_t tail = keep - head;
    if (head > 0 && IsHighSurrogate(run[head - 1])) --head;
    if (tail > 0 && IsLowSurrogate(run[run.size() - tail])) --tail;
    std::u16string out(run.substr(0, head));
    out += kEllipsis;
    out += run.substr(run.size() - tail);
    return out;
  };
  std::size_t lo = 0, hi = run.size() - 1;  // lo always fits (or is the bare ellipsis)
  while (lo < hi) {
    const std::size_t mid = (lo + hi + 1) / 2;
    if (measure(shortened(mid)) <= width) lo = mid;
    else hi = mid - 1;
  }
  return shortened(lo);
}

std::u16string ElideUnbreakableRuns(std::u16string_view text, int width,
                                    const MeasureWidth& measure) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t start = 0;
  auto flush = [&](std::size_t end) {
    if (end > start) out += ElideMiddle(text.substr(start, end - start), width, measure);
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!EndsRun(text[i])) continue;
    flush(i);
    out += text[i];
    start = i + 1;
  }
  flush(text.size());
  return out;
}

int UnscalePixelsUp(int value, int dpi) {
  if (dpi <= 0) dpi = 96;
  if (value <= 0) return 0;
  int v = static_cast<int>((static_cast<long long>(value) * 96 + dpi - 1) / dpi);
  // ScalePixels truncates; step up until it gives the value back.
  while (ScalePixels(v, dpi) < value) ++v;
  return v;
}

WindowFrame GrowFrameToFit(const WindowFrame& frame, const TextHeights& needed,
                           const PixelRect& updateTemplate) {
  WindowFrame f = frame;
  if (f.statusShown) {
    // What sits below the status line's top follows its text down: the
    // Update button, the link under the sentence (placed inside the status
    // line's lower part in some languages), the choose-file button. The text
    // has room down to the first of them, and at most the line's height.
    std::vector<PixelRect*> following;
    if (f.updateShown) {
      if (f.updateRect.width == 0) f.updateRect = updateTemplate;
      following.push_back(&f.updateRect);
    }
    if (f.linkShown) following.push_back(&f.linkRect);
    if (f.chooseFileShown) following.push_back(&f.chooseFileRect);
    const int top = f.statusRect.y;
    int room = f.statusRect.height;
    for (const PixelRect* r : following) {
      if (r->width > 0 && r->y > top) room = std::min(room, r->y - top);
    }
    if (needed.status > room) {
      const int grow = needed.status - room;
      f.statusRect.height += grow;
      for (PixelRect* r : following) {
        if (r->width > 0 && r->y > top) r->y += grow;
      }
      f.windowSize.height += grow;
    }
  }
  if (f.progressMessageShown && needed.progressMessage > f.progressMessageRect.height) {
    // The progress message is the last thing in its view.
    const int grow = needed.progressMessage - f.progressMessageRect.height;
    f.progressMessageRect.height += grow;
    f.windowSize.height += grow;
  }
  return f;
}

}  // namespace lumavix
