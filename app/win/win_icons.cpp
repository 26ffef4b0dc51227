#include "app/win/win_icons.h"

#include <functional>

namespace lumavix {
namespace {

// The shapes of an icon on a grid of `grid` units, drawn twice: in colour on
// black, and in black on the white mask (white is transparent).
using Shapes = std::function<void(HDC dc, bool mask, float unit)>;

HICON BuildIcon(int size, int grid, const Shapes& draw) {
  if (size <= 0) return nullptr;
  HDC screen = ::GetDC(nullptr);
  HDC dc = ::CreateCompatibleDC(screen);
  HBITMAP colour = ::CreateCompatibleBitmap(screen, size, size);
  HBITMAP mask = ::CreateBitmap(size, size, 1, 1, nullptr);
  ::ReleaseDC(nullptr, screen);
  HICON icon = nullptr;
  if (dc != nullptr && colour != nullptr && mask != nullptr) {
    const float unit = static_cast<float>(size) / static_cast<float>(grid);
    const RECT all{0, 0, size, size};
    HGDIOBJ old = ::SelectObject(dc, colour);
    ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
    draw(dc, false, unit);
    ::SelectObject(dc, mask);
    ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    draw(dc, true, unit);
    ::SelectObject(dc, old);
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmMask = mask;
    info.hbmColor = colour;
    icon = ::CreateIconIndirect(&info);
  }
  if (mask != nullptr) ::DeleteObject(mask);
  if (colour != nullptr) ::DeleteObject(colour);
  if (dc != nullptr) ::DeleteDC(dc);
  return icon;
}

// A pen and a brush of one colour (black on the mask) for the drawing below.
class Paint {
 public:
  Paint(HDC dc, bool mask, COLORREF fill, COLORREF line, int width)
      : dc_(dc),
        brush_(::CreateSolidBrush(mask ? RGB(0, 0, 0) : fill)),
        pen_(width > 0 ? ::CreatePen(PS_SOLID, width, mask ? RGB(0, 0, 0) : line)
                       : static_cast<HPEN>(::GetStockObject(NULL_PEN))),
        ownPen_(width > 0) {
    oldBrush_ = ::SelectObject(dc_, brush_);
    oldPen_ = ::SelectObject(dc_, pen_);
  }
  ~Paint() {
    ::SelectObject(dc_, oldBrush_);
    ::SelectObject(dc_, oldPen_);
    ::DeleteObject(brush_);
    if (ownPen_) ::DeleteObject(pen_);
  }
  Paint(const Paint&) = delete;
  Paint& operator=(const Paint&) = delete;

 private:
  HDC dc_;
  HBRUSH brush_;
  HPEN pen_;
  bool ownPen_;
  HGDIOBJ oldBrush_ = nullptr;
  HGDIOBJ oldPen_ = nullptr;
};

int At(float v, float unit) { return static_cast<int>(v * unit + 0.5f); }

}  // namespace

HICON MakeCameraIcon(int size) {
  // Drawn on a 64-unit grid: a base plate, an arm, the camera head looking
  // down at a document.
  return BuildIcon(size, 64, [](HDC dc, bool mask, float u) {
    const COLORREF body = RGB(0x2E, 0x4A, 0x6B);
    const COLORREF light = RGB(0x5B, 0x86, 0xB5);
    {
      Paint p(dc, mask, body, body, 0);
      ::RoundRect(dc, At(8, u), At(52, u), At(56, u), At(60, u), At(6, u), At(6, u));
      ::Rectangle(dc, At(15.5f, u), At(14, u), At(20.5f, u), At(53, u));
    }
    {
      Paint p(dc, mask, body, body, At(5, u) > 0 ? At(5, u) : 1);
      ::MoveToEx(dc, At(18, u), At(16, u), nullptr);
      ::LineTo(dc, At(38, u), At(12, u));
    }
    {
      Paint p(dc, mask, light, light, 0);
      ::RoundRect(dc, At(30, u), At(6, u), At(56, u), At(20, u), At(8, u), At(8, u));
    }
    {
      Paint p(dc, mask, RGB(0xFF, 0xFF, 0xFF), body, 0);
      ::Ellipse(dc, At(42, u), At(15, u), At(52, u), At(25, u));
    }
    {
      Paint p(dc, mask, body, body, 0);
      ::Ellipse(dc, At(44, u), At(17, u), At(50, u), At(23, u));
    }
    {
      Paint p(dc, mask, RGB(0xF4, 0xF4, 0xF4), body, 1);
      ::Rectangle(dc, At(34, u), At(40, u), At(54, u), At(51, u));
    }
  });
}

HICON MakeWarningIcon(int size) {
  // Drawn on a 96-unit grid: a warning triangle with an exclamation mark,
  // and a blue update badge at the bottom right.
  return BuildIcon(size, 96, [](HDC dc, bool mask, float u) {
    {
      Paint p(dc, mask, RGB(0xFF, 0xC8, 0x1E), RGB(0xC8, 0x8A, 0x00), At(6, u) > 0 ? At(6, u) : 1);
      const POINT tri[3] = {{At(44, u), At(6, u)}, {At(84, u), At(76, u)}, {At(4, u), At(76, u)}};
      ::Polygon(dc, tri, 3);
    }
    {
      Paint p(dc, mask, RGB(0x20, 0x20, 0x20), RGB(0x20, 0x20, 0x20), 0);
      const POINT bar[4] = {
          {At(39, u), At(28, u)}, {At(49, u), At(28, u)}, {At(47, u), At(56, u)}, {At(41, u), At(56, u)}};
      ::Polygon(dc, bar, 4);
      ::Ellipse(dc, At(39.5f, u), At(60.5f, u), At(48.5f, u), At(69.5f, u));
    }
    {
      Paint p(dc, mask, RGB(0x1E, 0x78, 0xD7), RGB(0xFF, 0xFF, 0xFF), At(3, u) > 0 ? At(3, u) : 1);
      ::Ellipse(dc, At(52, u), At(52, u), At(92, u), At(92, u));
    }
    if (!mask) {
      // The circular arrow inside the badge (the badge's disc already
      // covers it on the mask).
      HPEN pen = ::CreatePen(PS_SOLID, At(4, u) > 0 ? At(4, u) : 1, RGB(0xFF, 0xFF, 0xFF));
      HGDIOBJ old = ::SelectObject(dc, pen);
      ::Arc(dc, At(62, u), At(62, u), At(82, u), At(82, u), At(72, u), At(62, u), At(82, u),
            At(72, u));
      ::SelectObject(dc, old);
      ::DeleteObject(pen);
      Paint p(dc, mask, RGB(0xFF, 0xFF, 0xFF), RGB(0xFF, 0xFF, 0xFF), 0);
      const POINT head[3] = {{At(69, u), At(55.5f, u)}, {At(77, u), At(62, u)}, {At(69, u), At(68.5f, u)}};
      ::Polygon(dc, head, 3);
    }
  });
}

}  // namespace lumavix
