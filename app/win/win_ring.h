// The progress ring of the native window: the dots of ComputeRingStep drawn
// on the owner-drawn ring area (1044) with Direct2D, or with GDI where
// Direct2D cannot be had (no d2d1.dll, no factory, no render target, or a
// first picture that did not come out). Every dot drawn so far is kept, so
// that a repaint (another window passing over, a restore from the task bar)
// shows the whole ring again, not a blank area.
//
// Direct2D draws into a bitmap of the area's size (a DC render target), which
// is then copied to the area: a window render target presents past GDI,
// where Wine shows nothing of it and a copy of the window (a screenshot)
// would miss it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "app/core/ring_geometry.h"

namespace lumavix {

// How the ring reaches the screen.
enum class RingRenderer : std::uint8_t { None, Direct2D, Gdi };

class WinRing {
 public:
  WinRing();
  ~WinRing();
  WinRing(const WinRing&) = delete;
  WinRing& operator=(const WinRing&) = delete;

  // The ring area to draw on, whose window has `dpi` (the dots' places are
  // pixels at 96 dpi); `preferDirect2D` false draws with GDI only.
  void Attach(HWND area, int dpi, bool preferDirect2D = true);
  // Lets go of the Direct2D objects (before the area is destroyed).
  void Detach();

  // Empties the ring: no dots, drawn angle 0, the writing's green.
  void Reset();
  // The next phase's pass in `colour`, over the dots already there.
  void BeginPass(const RingColour& colour);
  // The colour behind the dots: the theme's (RingThemeFor), kRingBackground
  // until set. The ring is drawn again in it.
  void SetBackground(const RingColour& background);
  // Adds the dots up to `percent` and shows the ring. False when nothing
  // reached the screen; the dots are then not kept and the angle stays, so
  // that the next step draws them again.
  [[nodiscard]] bool DrawStep(std::int32_t percent);
  // The whole ring on `dc` of the area (its WM_DRAWITEM), or through
  // Direct2D when that is in use.
  void Paint(HDC dc);

  [[nodiscard]] RingRenderer renderer() const { return renderer_; }
  [[nodiscard]] std::size_t dotCount() const { return dots_.size(); }
  [[nodiscard]] std::int32_t lastAngle() const { return progress_.lastAngle(); }

  struct Dot {
    float x, y;
    RingColour colour;
  };
  [[nodiscard]] const std::vector<Dot>& dots() const { return dots_; }

 private:
  struct Direct2D;
  [[nodiscard]] bool RenderAll(HDC dc);
  [[nodiscard]] bool DrawDirect2D(HDC canvas, const RECT& rc);
  void DrawGdi(HDC canvas, const RECT& rc);
  [[nodiscard]] bool CameOut(HDC canvas) const;

  HWND area_ = nullptr;
  int dpi_ = 96;
  std::unique_ptr<Direct2D> d2d_;
  RingRenderer renderer_ = RingRenderer::None;
  std::vector<Dot> dots_;
  RingProgress progress_;
  RingColour background_ = kRingBackground;
  bool checked_ = false;  // Direct2D's first picture was looked at
};

}  // namespace lumavix
