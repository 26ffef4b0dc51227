#include "app/win/win_ring.h"

#include <d2d1.h>

namespace lumavix {
namespace {

using CreateFactoryFn = HRESULT(WINAPI*)(D2D1_FACTORY_TYPE, REFIID, const D2D1_FACTORY_OPTIONS*,
                                         void**);

template <typename T>
void ReleaseCom(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

D2D1_COLOR_F ToD2D(const RingColour& c) { return D2D1_COLOR_F{c.r, c.g, c.b, 1.0f}; }

COLORREF ToColorRef(const RingColour& c) {
  auto byte = [](float v) {
    const float s = v * 255.0f + 0.5f;
    return static_cast<BYTE>(s < 0.0f ? 0 : (s > 255.0f ? 255 : static_cast<int>(s)));
  };
  return RGB(byte(c.r), byte(c.g), byte(c.b));
}

bool SameColour(const RingColour& a, const RingColour& b) {
  return a.r == b.r && a.g == b.g && a.b == b.b;
}

}  // namespace

// d2d1.dll is loaded when the ring is attached rather than imported: a
// system without it (or a Wine without Direct2D) still starts the program,
// and the ring falls back to GDI.
struct WinRing::Direct2D {
  HMODULE module = nullptr;
  ID2D1Factory* factory = nullptr;
  ID2D1HwndRenderTarget* target = nullptr;

  ~Direct2D() {
    ReleaseCom(target);
    ReleaseCom(factory);
    if (module != nullptr) ::FreeLibrary(module);
  }

  [[nodiscard]] bool MakeFactory() {
    module = ::LoadLibraryW(L"d2d1.dll");
    if (module == nullptr) return false;
    auto create = reinterpret_cast<CreateFactoryFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "D2D1CreateFactory")));
    if (create == nullptr) return false;
    void* out = nullptr;
    if (FAILED(create(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr, &out)) ||
        out == nullptr) {
      return false;
    }
    factory = static_cast<ID2D1Factory*>(out);
    return true;
  }

  // The render target at the area's client size; made again after the
  // device was lost or the area resized.
  [[nodiscard]] bool EnsureTarget(HWND area, int dpi) {
    RECT rc{};
    if (!::GetClientRect(area, &rc) || rc.right <= 0 || rc.bottom <= 0) return false;
    const D2D1_SIZE_U size{static_cast<UINT32>(rc.right), static_cast<UINT32>(rc.bottom)};
    if (target != nullptr) {
      if (target->Resize(&size) == S_OK) return true;
      ReleaseCom(target);
    }
    D2D1_RENDER_TARGET_PROPERTIES props{};
    props.type = D2D1_RENDER_TARGET_TYPE_DEFAULT;
    props.pixelFormat = D2D1_PIXEL_FORMAT{DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_UNKNOWN};
    // Device-independent units are the ring's 96-dpi pixels.
    props.dpiX = props.dpiY = static_cast<FLOAT>(dpi);
    props.usage = D2D1_RENDER_TARGET_USAGE_NONE;
    props.minLevel = D2D1_FEATURE_LEVEL_DEFAULT;
    D2D1_HWND_RENDER_TARGET_PROPERTIES hwndProps{area, size, D2D1_PRESENT_OPTIONS_NONE};
    return SUCCEEDED(factory->CreateHwndRenderTarget(&props, &hwndProps, &target)) &&
           target != nullptr;
  }
};

WinRing::WinRing() = default;
WinRing::~WinRing() = default;

void WinRing::Attach(HWND area, int dpi, bool preferDirect2D) {
  Detach();
  area_ = area;
  dpi_ = dpi > 0 ? dpi : 96;
  renderer_ = RingRenderer::Gdi;
  if (!preferDirect2D) return;
  auto d2d = std::make_unique<Direct2D>();
  if (d2d->MakeFactory() && d2d->EnsureTarget(area_, dpi_)) {
    d2d_ = std::move(d2d);
    renderer_ = RingRenderer::Direct2D;
  }
}

void WinRing::Detach() {
  d2d_.reset();
  area_ = nullptr;
  renderer_ = RingRenderer::None;
}

void WinRing::Reset() {
  dots_.clear();
  colour_ = kRingDotColour;
  lastAngle_ = 0;
  if (area_ != nullptr) ::InvalidateRect(area_, nullptr, FALSE);
}

void WinRing::BeginPass(const RingColour& colour) {
  colour_ = colour;
  lastAngle_ = 0;
}

bool WinRing::DrawStep(std::int32_t percent) {
  if (area_ == nullptr) return false;
  const RingStep step = ComputeRingStep(lastAngle_, percent);
  const std::size_t before = dots_.size();
  for (const RingDot& d : step.dots) dots_.push_back(Dot{d.x, d.y, colour_});
  HDC dc = renderer_ == RingRenderer::Gdi ? ::GetDC(area_) : nullptr;
  const bool shown = RenderAll(dc);
  if (dc != nullptr) ::ReleaseDC(area_, dc);
  if (!shown) {
    dots_.resize(before);
    return false;
  }
  lastAngle_ = step.lastAngle;
  return true;
}

void WinRing::Paint(HDC dc) { (void)RenderAll(dc); }

bool WinRing::RenderAll(HDC dc) {
  if (renderer_ == RingRenderer::Direct2D) {
    if (RenderDirect2D()) return true;
    // A target that cannot be made again: GDI from now on.
    d2d_.reset();
    renderer_ = RingRenderer::Gdi;
    if (dc == nullptr) {
      HDC own = ::GetDC(area_);
      const bool ok = RenderGdi(own);
      ::ReleaseDC(area_, own);
      return ok;
    }
  }
  return renderer_ == RingRenderer::Gdi && RenderGdi(dc);
}

bool WinRing::RenderDirect2D() {
  if (!d2d_ || !d2d_->EnsureTarget(area_, dpi_)) return false;
  ID2D1HwndRenderTarget* t = d2d_->target;
  ID2D1SolidColorBrush* brush = nullptr;
  t->BeginDraw();
  const D2D1_COLOR_F background = ToD2D(kRingBackground);
  t->Clear(&background);
  RingColour current = kRingDotColour;
  for (const Dot& d : dots_) {
    if (brush == nullptr || !SameColour(current, d.colour)) {
      ReleaseCom(brush);
      current = d.colour;
      const D2D1_COLOR_F c = ToD2D(current);
      if (FAILED(t->CreateSolidColorBrush(&c, nullptr, &brush))) break;
    }
    const D2D1_ELLIPSE e{D2D1_POINT_2F{d.x, d.y}, kRingDotRadius, kRingDotRadius};
    t->FillEllipse(&e, brush);
  }
  ReleaseCom(brush);
  const HRESULT hr = t->EndDraw(nullptr, nullptr);
  if (hr == static_cast<HRESULT>(D2DERR_RECREATE_TARGET)) {
    // The device is gone: a new target next time, this step counts as not
    // drawn.
    ReleaseCom(d2d_->target);
    return d2d_->EnsureTarget(area_, dpi_) && RenderDirect2D();
  }
  return SUCCEEDED(hr);
}

bool WinRing::RenderGdi(HDC dc) {
  if (dc == nullptr || area_ == nullptr) return false;
  RECT rc{};
  if (!::GetClientRect(area_, &rc) || rc.right <= 0 || rc.bottom <= 0) return false;
  // Drawn off screen, then copied at once: no flicker between the
  // background and the dots.
  HDC mem = ::CreateCompatibleDC(dc);
  HBITMAP bitmap = ::CreateCompatibleBitmap(dc, rc.right, rc.bottom);
  if (mem == nullptr || bitmap == nullptr) {
    if (bitmap != nullptr) ::DeleteObject(bitmap);
    if (mem != nullptr) ::DeleteDC(mem);
    return false;
  }
  HGDIOBJ oldBitmap = ::SelectObject(mem, bitmap);
  HBRUSH background = ::CreateSolidBrush(ToColorRef(kRingBackground));
  ::FillRect(mem, &rc, background);
  ::DeleteObject(background);
  HGDIOBJ oldPen = ::SelectObject(mem, ::GetStockObject(NULL_PEN));
  HBRUSH brush = nullptr;
  RingColour current = kRingDotColour;
  HGDIOBJ oldBrush = nullptr;
  const float scale = static_cast<float>(dpi_) / 96.0f;
  for (const Dot& d : dots_) {
    if (brush == nullptr || !SameColour(current, d.colour)) {
      current = d.colour;
      HBRUSH next = ::CreateSolidBrush(ToColorRef(current));
      HGDIOBJ prev = ::SelectObject(mem, next);
      if (oldBrush == nullptr) oldBrush = prev;
      if (brush != nullptr) ::DeleteObject(brush);
      brush = next;
    }
    const float cx = d.x * scale;
    const float cy = d.y * scale;
    const float r = kRingDotRadius * scale;
    ::Ellipse(mem, static_cast<int>(cx - r + 0.5f), static_cast<int>(cy - r + 0.5f),
              static_cast<int>(cx + r + 0.5f) + 1, static_cast<int>(cy + r + 0.5f) + 1);
  }
  if (oldBrush != nullptr) ::SelectObject(mem, oldBrush);
  if (brush != nullptr) ::DeleteObject(brush);
  ::SelectObject(mem, oldPen);
  const bool ok = ::BitBlt(dc, 0, 0, rc.right, rc.bottom, mem, 0, 0, SRCCOPY) != FALSE;
  ::SelectObject(mem, oldBitmap);
  ::DeleteObject(bitmap);
  ::DeleteDC(mem);
  return ok;
}

}  // namespace lumavix
