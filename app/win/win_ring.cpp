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
  ID2D1DCRenderTarget* target = nullptr;

  ~Direct2D() {
    ReleaseCom(target);
    ReleaseCom(factory);
    if (module != nullptr) ::FreeLibrary(module);
  }

  [[nodiscard]] bool Make(int dpi) {
    // From the system's folder only, never the program's or the current
    // one, where anyone could have put a d2d1.dll.
    module = ::LoadLibraryExW(L"d2d1.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
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
    return MakeTarget(dpi);
  }

  [[nodiscard]] bool MakeTarget(int dpi) {
    ReleaseCom(target);
    D2D1_RENDER_TARGET_PROPERTIES props{};
    props.type = D2D1_RENDER_TARGET_TYPE_DEFAULT;
    props.pixelFormat = D2D1_PIXEL_FORMAT{DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_IGNORE};
    // Device-independent units are the ring's 96-dpi pixels.
    props.dpiX = props.dpiY = static_cast<FLOAT>(dpi);
    props.usage = D2D1_RENDER_TARGET_USAGE_NONE;
    props.minLevel = D2D1_FEATURE_LEVEL_DEFAULT;
    return SUCCEEDED(factory->CreateDCRenderTarget(&props, &target)) && target != nullptr;
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
  if (d2d->Make(dpi_)) {
    d2d_ = std::move(d2d);
    renderer_ = RingRenderer::Direct2D;
    checked_ = false;
  }
}

void WinRing::Detach() {
  d2d_.reset();
  area_ = nullptr;
  renderer_ = RingRenderer::None;
}

void WinRing::Reset() {
  dots_.clear();
  progress_.Reset();
  if (area_ != nullptr) ::InvalidateRect(area_, nullptr, FALSE);
}

void WinRing::BeginPass(const RingColour& colour) { progress_.BeginPass(colour); }

void WinRing::SetBackground(const RingColour& background) {
  background_ = background;
  if (area_ != nullptr) ::InvalidateRect(area_, nullptr, FALSE);
}

bool WinRing::DrawStep(std::int32_t percent) {
  if (area_ == nullptr) return false;
  const RingStep step = progress_.Next(percent);
  const std::size_t before = dots_.size();
  for (const RingDot& d : step.dots) dots_.push_back(Dot{d.x, d.y, progress_.colour()});
  HDC dc = ::GetDC(area_);
  const bool shown = dc != nullptr && RenderAll(dc);
  if (dc != nullptr) ::ReleaseDC(area_, dc);
  if (!shown) {
    dots_.resize(before);
    return false;
  }
  progress_.Commit(step);
  return true;
}

void WinRing::Paint(HDC dc) { (void)RenderAll(dc); }

bool WinRing::RenderAll(HDC dc) {
  if (dc == nullptr || area_ == nullptr || renderer_ == RingRenderer::None) return false;
  RECT rc{};
  if (!::GetClientRect(area_, &rc) || rc.right <= 0 || rc.bottom <= 0) return false;
  // Drawn off screen, then copied at once: no flicker between the
  // background and the dots.
  HDC canvas = ::CreateCompatibleDC(dc);
  HBITMAP bitmap = ::CreateCompatibleBitmap(dc, rc.right, rc.bottom);
  if (canvas == nullptr || bitmap == nullptr) {
    if (bitmap != nullptr) ::DeleteObject(bitmap);
    if (canvas != nullptr) ::DeleteDC(canvas);
    return false;
  }
  HGDIOBJ old = ::SelectObject(canvas, bitmap);
  bool drawn = false;
  if (renderer_ == RingRenderer::Direct2D) {
    drawn = DrawDirect2D(canvas, rc);
    if (drawn && !checked_) {
      checked_ = true;
      drawn = CameOut(canvas);
    }
    if (!drawn) {
      // GDI from now on, for this step already.
      d2d_.reset();
      renderer_ = RingRenderer::Gdi;
    }
  }
  if (!drawn) {
    DrawGdi(canvas, rc);
    drawn = true;
  }
  const bool copied = ::BitBlt(dc, 0, 0, rc.right, rc.bottom, canvas, 0, 0, SRCCOPY) != FALSE;
  ::SelectObject(canvas, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(canvas);
  return drawn && copied;
}

bool WinRing::DrawDirect2D(HDC canvas, const RECT& rc) {
  if (!d2d_ || d2d_->target == nullptr) return false;
  ID2D1DCRenderTarget* t = d2d_->target;
  if (FAILED(t->BindDC(canvas, &rc))) return false;
  ID2D1SolidColorBrush* brush = nullptr;
  t->BeginDraw();
  const D2D1_COLOR_F background = ToD2D(background_);
  t->Clear(&background);
  RingColour current = kRingDotColour;
  bool ok = true;
  for (const Dot& d : dots_) {
    if (brush == nullptr || !SameColour(current, d.colour)) {
      ReleaseCom(brush);
      current = d.colour;
      const D2D1_COLOR_F c = ToD2D(current);
      if (FAILED(t->CreateSolidColorBrush(&c, nullptr, &brush))) {
        ok = false;
        break;
      }
    }
    const D2D1_ELLIPSE e{D2D1_POINT_2F{d.x, d.y}, kRingDotRadius, kRingDotRadius};
    t->FillEllipse(&e, brush);
  }
  ReleaseCom(brush);
  const HRESULT hr = t->EndDraw(nullptr, nullptr);
  if (hr == static_cast<HRESULT>(D2DERR_RECREATE_TARGET)) {
    // The device is gone: a new target for the next step; this one counts
    // as not drawn by Direct2D.
    (void)d2d_->MakeTarget(dpi_);
    return false;
  }
  return ok && SUCCEEDED(hr);
}

bool WinRing::CameOut(HDC canvas) const {
  // Direct2D's first picture is looked at once: the background in a corner
  // and the middle of the last dot must be in their colours. A driver that
  // accepts the drawing and shows nothing would otherwise leave the ring
  // empty for the whole run.
  auto close = [](COLORREF got, const RingColour& want) {
    if (got == CLR_INVALID) return false;
    const COLORREF w = ToColorRef(want);
    auto within = [](int a, int b) { return a - b <= 3 && b - a <= 3; };
    return within(GetRValue(got), GetRValue(w)) && within(GetGValue(got), GetGValue(w)) &&
           within(GetBValue(got), GetBValue(w));
  };
  if (!close(::GetPixel(canvas, 0, 0), background_)) return false;
  if (dots_.empty()) return true;
  const Dot& d = dots_.back();
  const float scale = static_cast<float>(dpi_) / 96.0f;
  return close(::GetPixel(canvas, static_cast<int>(d.x * scale), static_cast<int>(d.y * scale)),
               d.colour);
}

void WinRing::DrawGdi(HDC canvas, const RECT& rc) {
  HBRUSH background = ::CreateSolidBrush(ToColorRef(background_));
  ::FillRect(canvas, &rc, background);
  ::DeleteObject(background);
  HGDIOBJ oldPen = ::SelectObject(canvas, ::GetStockObject(NULL_PEN));
  HBRUSH brush = nullptr;
  RingColour current = kRingDotColour;
  HGDIOBJ oldBrush = nullptr;
  const float scale = static_cast<float>(dpi_) / 96.0f;
  for (const Dot& d : dots_) {
    if (brush == nullptr || !SameColour(current, d.colour)) {
      current = d.colour;
      HBRUSH next = ::CreateSolidBrush(ToColorRef(current));
      HGDIOBJ prev = ::SelectObject(canvas, next);
      if (oldBrush == nullptr) oldBrush = prev;
      if (brush != nullptr) ::DeleteObject(brush);
      brush = next;
    }
    const float cx = d.x * scale;
    const float cy = d.y * scale;
    const float r = kRingDotRadius * scale;
    ::Ellipse(canvas, static_cast<int>(cx - r + 0.5f), static_cast<int>(cy - r + 0.5f),
              static_cast<int>(cx + r + 0.5f) + 1, static_cast<int>(cy + r + 0.5f) + 1);
  }
  if (oldBrush != nullptr) ::SelectObject(canvas, oldBrush);
  if (brush != nullptr) ::DeleteObject(brush);
  ::SelectObject(canvas, oldPen);
}

}  // namespace lumavix
