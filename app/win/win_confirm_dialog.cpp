#include "app/win/win_confirm_dialog.h"

#include <algorithm>

#include "app/win/win_dialog_template.h"
#include "app/win/win_icons.h"
#include "app/win/win_text.h"
#include "resources/dialog_templates.h"

namespace lumavix {

namespace res = resources;

namespace {

const res::ControlTemplate& Control(int id) {
  for (const auto& c : res::kConfirmControls) {
    if (c.id == id) return c;
  }
  return res::kConfirmControls[0];
}

RECT TemplateRect(const res::ControlTemplate& c, int dpi) {
  const int x = ScaleForDpi(res::DluToPixelsX(c.x), dpi);
  const int y = ScaleForDpi(res::DluToPixelsY(c.y), dpi);
  return RECT{x, y, x + ScaleForDpi(res::DluToPixelsX(c.width), dpi),
              y + ScaleForDpi(res::DluToPixelsY(c.height), dpi)};
}

DialogTemplate ConfirmTemplate() {
  // A popup without a caption keeps its thin frame.
  return DialogTemplate(WS_POPUP | WS_BORDER | DS_MODALFRAME, 0,
                        static_cast<short>(res::kConfirmTemplateWidth),
                        static_cast<short>(res::kConfirmTemplateHeight), L"",
                        Widen(res::kTemplateFontFamily),
                        static_cast<WORD>(res::kTemplateFontPoints));
}

// The place of a `width` x `height` window centred over `owner`, moved
// inside the work area of the owner's monitor: a confirmation opens where
// the person is looking, even after they moved the window, and never off
// the screen. Without an owner, centred on the primary work area.
POINT CentredOver(HWND owner, int width, int height) {
  RECT work{};
  RECT over{};
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  if (owner != nullptr && ::GetWindowRect(owner, &over) &&
      ::GetMonitorInfoW(::MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &mi)) {
    work = mi.rcWork;
  } else {
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    over = work;
  }
  POINT p{over.left + (over.right - over.left - width) / 2,
          over.top + (over.bottom - over.top - height) / 2};
  p.x = std::max(work.left, std::min(p.x, work.right - width));
  p.y = std::max(work.top, std::min(p.y, work.bottom - height));
  return p;
}

}  // namespace

WinConfirmDialog::~WinConfirmDialog() {
  if (hwnd_ != nullptr && !modal_) ::DestroyWindow(hwnd_);
  if (headingFont_ != nullptr) ::DeleteObject(headingFont_);
  if (icon_ != nullptr) ::DestroyIcon(icon_);
}

void WinConfirmDialog::SetTexts(UiLanguage lang, const std::u16string& toolModelName) {
  heading_ = ToWide(ConfirmText(lang, kConfirmSlotHeading));
  warning_ = ToWide(ConfirmWarningText(lang, toolModelName));
  cancel_ = ToWide(ConfirmButtonMnemonic(lang, kConfirmSlotCancel));
  ok_ = ToWide(ConfirmButtonMnemonic(lang, kConfirmSlotOk));
}

bool WinConfirmDialog::Run(HINSTANCE instance, HWND owner) {
  if (hwnd_ != nullptr) return false;
  modal_ = true;
  const DialogTemplate t = ConfirmTemplate();
  const INT_PTR result = ::DialogBoxIndirectParamW(instance, t.get(), owner, &DialogProc,
                                                   reinterpret_cast<LPARAM>(this));
  hwnd_ = nullptr;
  modal_ = false;
  return result == IDOK;
}

HWND WinConfirmDialog::CreateHidden(HINSTANCE instance, HWND owner) {
  if (hwnd_ != nullptr) return hwnd_;
  modal_ = false;
  const DialogTemplate t = ConfirmTemplate();
  return ::CreateDialogIndirectParamW(instance, t.get(), owner, &DialogProc,
                                      reinterpret_cast<LPARAM>(this));
}

void WinConfirmDialog::End() { Finish(0); }

void WinConfirmDialog::Finish(INT_PTR result) {
  if (hwnd_ == nullptr) return;
  if (modal_) {
    ::EndDialog(hwnd_, result);
  } else {
    HWND h = hwnd_;
    hwnd_ = nullptr;
    ::DestroyWindow(h);
  }
}

void WinConfirmDialog::CreateControls() {
  const int dpi = WindowDpi(hwnd_);
  // The client area is the template's size in pixels, whatever the font's
  // own dialog units come to.
  RECT client{0, 0, ScaleForDpi(res::DluToPixelsX(res::kConfirmTemplateWidth), dpi),
              ScaleForDpi(res::DluToPixelsY(res::kConfirmTemplateHeight), dpi)};
  ::AdjustWindowRectEx(&client, static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  const POINT at = CentredOver(::GetWindow(hwnd_, GW_OWNER), width, height);
  ::SetWindowPos(hwnd_, nullptr, at.x, at.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  RECT cr{};
  ::GetClientRect(hwnd_, &cr);

  const HFONT font = reinterpret_cast<HFONT>(::SendMessageW(hwnd_, WM_GETFONT, 0, 0));
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
  auto make = [&](const wchar_t* cls, const std::wstring& text, DWORD style, int id,
                  const RECT& r) {
    HWND h = ::CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, r.left, r.top,
                               r.right - r.left, r.bottom - r.top, hwnd_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                               nullptr);
    if (h != nullptr) ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return h;
  };

  // The icon is loaded at 96 x 96, larger than its template place; it is
  // centred across the dialog above the heading.
  const int iconPx = ScaleForDpi(res::kConfirmIconPixels, dpi);
  if (icon_ == nullptr) icon_ = MakeWarningIcon(iconPx);
  const int iconX = (cr.right - iconPx) / 2;
  const int iconY = ScaleForDpi(18, dpi);
  HWND icon = make(L"STATIC", L"", SS_ICON | SS_REALSIZECONTROL, res::id::kConfirmIcon,
                   RECT{iconX, iconY, iconX + iconPx, iconY + iconPx});
  if (icon != nullptr && icon_ != nullptr) {
    ::SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(icon_), 0);
    ::SetWindowPos(icon, nullptr, iconX, iconY, iconPx, iconPx, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  if (headingFont_ == nullptr) {
    headingFont_ = ::CreateFontW(-::MulDiv(res::kConfirmHeadingPoints, dpi, 72), 0, 0, 0,
                                 FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                 DEFAULT_PITCH, Widen(res::kTemplateFontFamily).c_str());
  }
  RECT hr = TemplateRect(Control(res::id::kConfirmHeading), dpi);
  // The bold 13-point line is taller than its template place: it grows
  // downward by what the font needs, and the warning starts below it.
  if (HDC dc = ::GetDC(hwnd_)) {
    HGDIOBJ old = ::SelectObject(dc, headingFont_ != nullptr ? headingFont_ : font);
    TEXTMETRICW tm{};
    if (::GetTextMetricsW(dc, &tm)) hr.bottom = std::max<LONG>(hr.bottom, hr.top + tm.tmHeight);
    ::SelectObject(dc, old);
    ::ReleaseDC(hwnd_, dc);
  }
  HWND heading = make(L"STATIC", heading_, SS_CENTER | SS_NOPREFIX, res::id::kConfirmHeading, hr);
  if (heading != nullptr && headingFont_ != nullptr) {
    ::SendMessageW(heading, WM_SETFONT, reinterpret_cast<WPARAM>(headingFont_), FALSE);
  }
  RECT wr = TemplateRect(Control(res::id::kConfirmWarning), dpi);
  if (wr.top < hr.bottom + 1) {
    const LONG h = wr.bottom - wr.top;
    wr.top = hr.bottom + 1;
    wr.bottom = wr.top + h;
  }
  make(L"STATIC", warning_, SS_CENTER | SS_NOPREFIX, res::id::kConfirmWarning, wr);
  make(L"BUTTON", cancel_, BS_PUSHBUTTON | WS_TABSTOP, res::id::kCancel,
       TemplateRect(Control(res::id::kCancel), dpi));
  HWND ok = make(L"BUTTON", ok_, BS_DEFPUSHBUTTON | WS_TABSTOP, res::id::kOk,
                 TemplateRect(Control(res::id::kOk), dpi));
  ::SendMessageW(hwnd_, DM_SETDEFID, res::id::kOk, 0);
  if (ok != nullptr) ::SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(ok), TRUE);
  ::SetWindowTextW(hwnd_, heading_.c_str());  // what assistive technology names it
}

INT_PTR CALLBACK WinConfirmDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<WinConfirmDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      self = reinterpret_cast<WinConfirmDialog*>(lp);
      ::SetWindowLongPtrW(hwnd, DWLP_USER, lp);
      self->hwnd_ = hwnd;
      self->CreateControls();
      // The focus was given to OK.
      return FALSE;
    case WM_COMMAND:
      if (self == nullptr) break;
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
        self->Finish(LOWORD(wp));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      if (self != nullptr) self->Finish(IDCANCEL);
      return TRUE;
    case WM_NCDESTROY:
      if (self != nullptr && self->hwnd_ == hwnd) self->hwnd_ = nullptr;
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace lumavix
