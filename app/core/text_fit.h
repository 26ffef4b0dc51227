// Fitting the window's texts to their places, for both front ends. A front
// end measures with its own fonts (a line's width, a wrapped text's height);
// what to do with the figures is decided here, once:
//
// - a run of characters that cannot be wrapped (a long path or file name)
//   and is wider than its line is shortened in its middle, keeping its start
//   and its end (the drive or folder and the file's name);
// - a text taller than its place grows the place downward, moves what lies
//   below it by as much, and grows the window with it.
//
// Nothing is ever clipped: a window only grows.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "app/core/device_watch.h"
#include "app/core/main_window_core.h"

namespace lumavix {

// The width of a one-line text in the front end's pixels.
using MeasureWidth = std::function<int(std::u16string_view)>;

// `run` shortened in its middle with "…" so that it measures at most
// `width`; unchanged when it fits. Keeps at least the ellipsis; never splits
// a surrogate pair.
[[nodiscard]] std::u16string ElideMiddle(std::u16string_view run, int width,
                                         const MeasureWidth& measure);

// `text` with every run wider than `width` shortened by ElideMiddle. Runs end
// at blanks and line breaks, and at every character of the scripts that wrap
// between any two characters (Chinese, Japanese, full-width forms), so that
// a sentence in those scripts is never shortened.
[[nodiscard]] std::u16string ElideUnbreakableRuns(std::u16string_view text, int width,
                                                  const MeasureWidth& measure);

// A front end's pixels at `dpi` back to pixels at 96 dpi, rounded up, so that
// ScalePixels() of the result is at least `value` again.
[[nodiscard]] int UnscalePixelsUp(int value, int dpi);

// The heights, in pixels at 96 dpi, that the shown texts need at the widths
// of their places; 0 for a text that is not measured.
struct TextHeights {
  int status = 0;
  int progressMessage = 0;
};

// `frame` with each shown text's place grown to its needed height, the
// controls below it moved down by the growth and the window grown by it.
// `updateTemplate` is the Update button's template place (96 dpi), taken when
// the frame keeps the template's place and the button has to move.
[[nodiscard]] WindowFrame GrowFrameToFit(const WindowFrame& frame, const TextHeights& needed,
                                         const PixelRect& updateTemplate);

}  // namespace lumavix
