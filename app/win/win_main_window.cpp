#include "app/win/win_main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <objbase.h>
#include <oleacc.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "app/core/text_fit.h"
#include "app/win/win_dialog_template.h"
#include "app/win/win_icons.h"
#include "app/win/win_text.h"
#include "resources/dialog_templates.h"

namespace lumavix {

namespace res = resources;

namespace {

// The device classes whose arrivals and removals start a pass: the HID
// interface, and the video capture categories the cameras without it are
// reached through.
constexpr GUID kHidInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID kVideoCamera = {0xE5323777, 0xF976, 0x4F5B, {0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44}};
constexpr GUID kCapture = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

const res::ControlTemplate* FindTemplate(int id) {
  for (const auto& c : res::kMainWindowControls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

RECT ToRect(const PixelRect& r) { return RECT{r.x, r.y, r.x + r.width, r.y + r.height}; }

// Dynamic annotation's service and the two properties the ring sets (the
// GUIDs of oleacc.h, whose definitions need no import library this way).
constexpr GUID kClsidAccPropServices = {0xb5f8350b, 0x0548, 0x48b1,
                                        {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr GUID kIidAccPropServices = {0x6e26e776, 0x04f0, 0x495d,
                                      {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
constexpr GUID kPropAccValue = {0x123fe443, 0x211a, 0x4615,
                                {0x95, 0x27, 0xc4, 0x5a, 0x7e, 0x93, 0x71, 0x7a}};
constexpr GUID kPropAccRole = {0xcb905ff2, 0x7bd1, 0x4c05,
                               {0xb3, 0xc8, 0xe6, 0xc2, 0x41, 0x36, 0x4d, 0x70}};

COLORREF ToColorRef(const RingColour& c) {
  return RGB(static_cast<int>(c.r * 255.0f + 0.5f), static_cast<int>(c.g * 255.0f + 0.5f),
             static_cast<int>(c.b * 255.0f + 0.5f));
}

// The class and style of a template control. The template's default
// buttons (Browse and the engineering ones, all hidden here) are plain push
// buttons: Return belongs to the core (IDOK, KeyReturn) unless the focus is
// on a button.
struct ControlClass {
  const wchar_t* name;
  DWORD style;
};

ControlClass ClassOf(res::ControlKind kind) {
  using K = res::ControlKind;
  switch (kind) {
    case K::Static: return {L"STATIC", SS_LEFT | SS_NOPREFIX};
    case K::StaticCentred: return {L"STATIC", SS_CENTER | SS_NOPREFIX};
    case K::StaticRight: return {L"STATIC", SS_RIGHT | SS_NOPREFIX};
    case K::OwnerDrawn: return {L"STATIC", SS_OWNERDRAW | WS_CLIPSIBLINGS};
    case K::Link: return {WC_LINK, WS_TABSTOP};
    case K::PushButton:
    case K::DefaultButton: return {L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP};
    case K::ProgressBar: return {PROGRESS_CLASSW, WS_BORDER};
    case K::Edit: return {L"EDIT", WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP};
    case K::CheckBox: return {L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP};
    case K::GroupBox: return {L"BUTTON", BS_GROUPBOX};
    case K::Icon: return {L"STATIC", SS_ICON};
  }
  return {L"STATIC", SS_LEFT};
}

DialogTemplate MainTemplate() {
  // A popup with a caption, a system menu and a minimize box, in the task
  // bar.
  return DialogTemplate(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME,
                        WS_EX_APPWINDOW, static_cast<short>(res::kMainTemplateWidth),
                        static_cast<short>(res::kMainTemplateHeight),
                        Widen(res::kMainTemplateTitle), Widen(res::kTemplateFontFamily),
                        static_cast<WORD>(res::kTemplateFontPoints));
}

}  // namespace

// The worker's reports, posted to the window: the worker never waits for
// it.
class WinMainWindow::Notify final : public NotifyTarget {
 public:
  explicit Notify(HWND hwnd) : hwnd_(hwnd) {}
  void post(std::uint32_t code, std::uint32_t value) override {
    ::PostMessageW(hwnd_, kNotifyMessage, static_cast<WPARAM>(code), static_cast<LPARAM>(value));
  }

 private:
  HWND hwnd_;
};

// The engine's start checks as message boxes over the window.
class WinMainWindow::Prompt final : public Prompter {
 public:
  explicit Prompt(HWND owner) : owner_(owner) {}
  MessageAnswer ask(std::string_view caption, std::string_view text, MessageButtons buttons,
                    MessageIcon icon) override {
    UINT type = buttons == MessageButtons::OkCancel ? MB_OKCANCEL : MB_OK;
    if (icon == MessageIcon::Warning) type |= MB_ICONWARNING;
    const int answer =
        ::MessageBoxW(owner_, Widen(text).c_str(), Widen(caption).c_str(), type);
    return answer == IDOK ? MessageAnswer::Ok : MessageAnswer::Cancel;
  }

 private:
  HWND owner_;
};

WinMainWindow::WinMainWindow(MainWindowCore& core, WinWindowOptions options)
    : core_(core), options_(std::move(options)) {
  UpdateRingTheme();
}

void WinMainWindow::UpdateRingTheme() {
  // The dialog's own background and text colours: a dark or high-contrast
  // theme gives the ring its background, and the percentage the theme's
  // text colour unless that would not read over it.
  auto system = [](int index) {
    const COLORREF c = ::GetSysColor(index);
    return RingColour{GetRValue(c) / 255.0f, GetGValue(c) / 255.0f, GetBValue(c) / 255.0f};
  };
  ringTheme_ = RingThemeFor(system(COLOR_3DFACE), system(COLOR_WINDOWTEXT));
  if (ringBackground_ != nullptr) ::DeleteObject(ringBackground_);
  ringBackground_ = ::CreateSolidBrush(ToColorRef(ringTheme_.background));
  ring_.SetBackground(ringTheme_.background);
  if (HWND percent = control(res::id::kPercentage)) ::InvalidateRect(percent, nullptr, TRUE);
}

WinMainWindow::~WinMainWindow() {
  Destroy();
  if (percentFont_ != nullptr) ::DeleteObject(percentFont_);
  if (ringBackground_ != nullptr) ::DeleteObject(ringBackground_);
  if (iconBig_ != nullptr) ::DestroyIcon(iconBig_);
  if (iconSmall_ != nullptr) ::DestroyIcon(iconSmall_);
}

INT_PTR WinMainWindow::RunModal(HINSTANCE instance) {
  instance_ = instance;
  modal_ = true;
  const DialogTemplate t = MainTemplate();
  const INT_PTR rc = ::DialogBoxIndirectParamW(instance, t.get(), nullptr, &DialogProc,
                                               reinterpret_cast<LPARAM>(this));
  hwnd_ = nullptr;
  return rc;
}

bool WinMainWindow::Create(HINSTANCE instance, bool visible) {
  instance_ = instance;
  modal_ = false;
  const DialogTemplate t = MainTemplate();
  HWND h = ::CreateDialogIndirectParamW(instance, t.get(), nullptr, &DialogProc,
                                        reinterpret_cast<LPARAM>(this));
  if (h == nullptr) return false;
  if (visible) ::ShowWindow(h, SW_SHOW);
  return true;
}

void WinMainWindow::Destroy() {
  if (hwnd_ != nullptr && !modal_) ::DestroyWindow(hwnd_);
}

HWND WinMainWindow::control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

int WinMainWindow::dpi() const { return WindowDpi(hwnd_); }

RECT WinMainWindow::PlaceOf(int id, const PixelRect& rect) const {
  const int d = dpi();
  if (rect.width > 0) return ToRect(ScalePixels(rect, d));
  const res::ControlTemplate* t = FindTemplate(id);
  if (t == nullptr) return RECT{};
  return ToRect(ScalePixels(PixelRect{res::DluToPixelsX(t->x), res::DluToPixelsY(t->y),
                                      res::DluToPixelsX(t->width), res::DluToPixelsY(t->height)},
                            d));
}

// ------------------------------------------------------------ creation --

INT_PTR CALLBACK WinMainWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<WinMainWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<WinMainWindow*>(lp);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, lp);
    self->hwnd_ = hwnd;
  }
  if (self == nullptr) return FALSE;
  const INT_PTR r = self->Handle(msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    self->hwnd_ = nullptr;
    self->controls_.clear();
  }
  return r;
}

void WinMainWindow::CreateControls() {
  const HFONT font = reinterpret_cast<HFONT>(::SendMessageW(hwnd_, WM_GETFONT, 0, 0));
  auto make = [&](const wchar_t* cls, const std::wstring& text, DWORD style, bool visible, int id,
                  const RECT& r) {
    HWND h = ::CreateWindowExW(0, cls, text.c_str(),
                               WS_CHILD | style | (visible ? WS_VISIBLE : 0), r.left, r.top,
                               r.right - r.left, r.bottom - r.top, hwnd_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                               nullptr);
    if (h == nullptr && cls == std::wstring_view(WC_LINK)) {
      // Without the link control (no common controls 6) the anchor's text
      // still shows.
      h = ::CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | SS_NOTIFY |
                            (visible ? WS_VISIBLE : 0), r.left, r.top, r.right - r.left,
                            r.bottom - r.top, hwnd_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    }
    if (h != nullptr) {
      ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
      controls_[id] = h;
    }
    return h;
  };
  for (const res::ControlTemplate& c : res::kMainWindowControls) {
    const bool hidden = std::find(res::kHiddenAtInitialisation.begin(),
                                  res::kHiddenAtInitialisation.end(),
                                  c.id) != res::kHiddenAtInitialisation.end();
    const ControlClass cls = ClassOf(c.kind);
    make(cls.name, Widen(c.text), cls.style, c.visible && !hidden, c.id, PlaceOf(c.id, {}));
  }
  // Not in the template: the phase line under the ring and the button that
  // chooses a firmware file when none is usable.
  make(L"STATIC", L"", SS_CENTER | SS_NOPREFIX, false, kPhaseLineControlId, RECT{});
  make(L"BUTTON", L"", BS_PUSHBUTTON | WS_TABSTOP, false, kChooseFileControlId, RECT{});

  // The percentage sits in the middle of the ring, above the ring area
  // (which leaves it out of its own painting).
  const int d = dpi();
  percentFont_ = ::CreateFontW(-::MulDiv(25, d, 72), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                               DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               CLEARTYPE_QUALITY, DEFAULT_PITCH,
                               Widen(res::kTemplateFontFamily).c_str());
  if (HWND percent = control(res::id::kPercentage)) {
    if (percentFont_ != nullptr) {
      ::SendMessageW(percent, WM_SETFONT, reinterpret_cast<WPARAM>(percentFont_), FALSE);
    }
    ::SetWindowLongPtrW(percent, GWL_STYLE,
                        ::GetWindowLongPtrW(percent, GWL_STYLE) | SS_CENTERIMAGE);
    ::SetWindowPos(percent, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  if (HWND progress = control(res::id::kProgressBar)) {
    ::SendMessageW(progress, PBM_SETRANGE32, 0, 100);
  }
  if (HWND edit = control(res::id::kBackendAddr)) {
    ::SetWindowTextW(edit, Widen(res::kBackendAddrDefault).c_str());
  }
  if (HWND edit = control(res::id::kSensorAddr)) {
    ::SetWindowTextW(edit, Widen(res::kSensorAddrDefault).c_str());
  }
  // Return with the focus off the buttons is IDOK: the core's KeyReturn.
  ::SendMessageW(hwnd_, DM_SETDEFID, IDOK, 0);
  if (HWND area = control(res::id::kRingArea)) ring_.Attach(area, d, options_.preferDirect2D);
}

void WinMainWindow::Start() {
  iconBig_ = MakeCameraIcon(::GetSystemMetrics(SM_CXICON));
  iconSmall_ = MakeCameraIcon(::GetSystemMetrics(SM_CXSMICON));
  if (iconBig_) ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(iconBig_));
  if (iconSmall_) {
    ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(iconSmall_));
  }
  CreateControls();
  if (options_.shutdownWindow)
    options_.shutdownWindow(hwnd_, ToWide(ShutdownBlockedText(options_.config.language)));
  notify_ = std::make_unique<Notify>(hwnd_);
  prompt_ = std::make_unique<Prompt>(hwnd_);
  if (!options_.screenshotPath.empty()) {
    ::SetTimer(hwnd_, kScreenshotTimer,
               static_cast<UINT>(std::max(0, options_.screenshotDelayMs)), nullptr);
  }
  // Without the core the window waits for the frames it is given.
  if (!options_.initialiseCore) return;
  // The progress view reaches the screen before the engine's start checks
  // show their boxes over it.
  core_.SetRender([this] { Render(); });
  // A firmware file dropped from Explorer is offered to the core.
  ::DragAcceptFiles(hwnd_, TRUE);
  const WindowEffects first = core_.Initialise(options_.config, notify_.get(), prompt_.get());
  coreReady_ = true;
  confirm_.SetTexts(core_.language(), core_.toolModelName());
  // What assistive technology names the ring (an owner-drawn static's text
  // is never drawn).
  if (HWND area = control(res::id::kRingArea)) {
    ::SetWindowTextW(area, ToWide(RingAccessibleName(core_.language())).c_str());
  }
  AnnotateRing();
  // Device changes count from here: the first pass has seen what is
  // plugged in (the system may report a change while registering).
  if (options_.watchDevices) RegisterDeviceWatch();
  if (options_.simulatedPlugChanged) ::SetTimer(hwnd_, kPresenceTimer, 200, nullptr);
  Apply(first);
  // The first focus once the dialog shows: while it starts, the focus
  // given to a control does not outlast the dialog's own activation.
  ::PostMessageW(hwnd_, kFocusMessage, 0, 0);
  if (options_.autoUpdate) ::SetTimer(hwnd_, kAutoUpdateTimer, 0, nullptr);
}

void WinMainWindow::AnnotateRing() {
  HWND area = control(res::id::kRingArea);
  if (area == nullptr || accProps_ != nullptr) return;
  void* service = nullptr;
  if (FAILED(::CoCreateInstance(kClsidAccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                kIidAccPropServices, &service)) ||
      service == nullptr) {
    return;
  }
  accProps_ = static_cast<IAccPropServices*>(service);
  VARIANT role;
  ::VariantInit(&role);
  role.vt = VT_I4;
  role.lVal = ROLE_SYSTEM_PROGRESSBAR;
  (void)accProps_->SetHwndProp(area, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kPropAccRole,
                               role);
  SetRingValue(ringValue_);
}

void WinMainWindow::SetRingValue(const std::wstring& value) {
  const bool changed = value != ringValue_;
  ringValue_ = value;
  HWND area = control(res::id::kRingArea);
  if (accProps_ == nullptr || area == nullptr) return;
  (void)accProps_->SetHwndPropStr(area, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                  kPropAccValue, ringValue_.c_str());
  if (changed)
    ::NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, area, OBJID_CLIENT, CHILDID_SELF);
}

void WinMainWindow::RegisterDeviceWatch() {
  for (const GUID& g : {kHidInterface, kVideoCamera, kCapture}) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = g;
    if (HDEVNOTIFY n = ::RegisterDeviceNotificationW(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE)) {
      notifications_.push_back(n);
    }
  }
}

void WinMainWindow::UnregisterDeviceWatch() {
  for (HDEVNOTIFY n : notifications_) ::UnregisterDeviceNotification(n);
  notifications_.clear();
}

// ------------------------------------------------------------ messages --

INT_PTR WinMainWindow::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  // Until the core is initialised (never, in tests that render frames of
  // their own) the window takes no event to it: it only draws and paints.
  if (!coreReady_) {
    switch (msg) {
      case WM_COMMAND:
      case WM_NOTIFY:
      case WM_TIMER:
      case kNotifyMessage:
      case kFocusMessage:
      case WM_DEVICECHANGE:
        return TRUE;
      case WM_CLOSE:
        Close();
        return TRUE;
      default:
        break;
    }
  }
  switch (msg) {
    case WM_INITDIALOG:
      Start();
      // The focus is the frame's.
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wp), HIWORD(wp));
      return TRUE;
    case WM_NOTIFY: {
      const auto* h = reinterpret_cast<const NMHDR*>(lp);
      if (h != nullptr && h->idFrom == static_cast<UINT_PTR>(res::id::kLink) &&
          (h->code == NM_CLICK || h->code == NM_RETURN)) {
        OpenLink();
        return TRUE;
      }
      return FALSE;
    }
    case WM_CLOSE:
      Apply(core_.CloseRequested());
      return TRUE;
    case WM_QUERYENDSESSION:
      // A dialog answers through DWLP_MSGRESULT.
      ::SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, core_.SessionEndAllowed() ? TRUE : FALSE);
      return TRUE;
    case WM_TIMER:
      OnTimer(static_cast<UINT_PTR>(wp));
      return TRUE;
    case WM_SYSCOLORCHANGE:
    case WM_THEMECHANGED:
      // A theme or high contrast switched on or off while the window shows.
      UpdateRingTheme();
      return FALSE;
    case kFocusMessage:
      ApplyFocus(core_.frame());
      return TRUE;
    case kNotifyMessage:
      Apply(core_.Notification(static_cast<std::uint32_t>(wp), static_cast<std::uint32_t>(lp)));
      return TRUE;
    case WM_DEVICECHANGE:
      if (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE ||
          wp == DBT_DEVNODES_CHANGED) {
        Apply(core_.DeviceChanged());
      }
      return TRUE;
    case WM_DROPFILES:
      OnDrop(reinterpret_cast<HDROP>(wp));
      return TRUE;
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (d != nullptr && d->CtlID == static_cast<UINT>(res::id::kRingArea)) {
        ring_.Paint(d->hDC);
        return TRUE;
      }
      return FALSE;
    }
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lp) == control(res::id::kPercentage)) {
        // The ring's own background behind the percentage's letters.
        HDC dc = reinterpret_cast<HDC>(wp);
        ::SetBkMode(dc, TRANSPARENT);
        ::SetTextColor(dc, ToColorRef(ringTheme_.text));
        return reinterpret_cast<INT_PTR>(ringBackground_);
      }
      return FALSE;
    case WM_PAINT:
      if (::IsIconic(hwnd_)) {
        PaintMinimised();
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      if (accProps_ != nullptr) {
        if (HWND area = control(res::id::kRingArea)) {
          const MSAAPROPID props[] = {kPropAccRole, kPropAccValue};
          accProps_->ClearHwndProps(area, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, props,
                                    2);
        }
        accProps_->Release();
        accProps_ = nullptr;
      }
      if (options_.shutdownWindow) options_.shutdownWindow(nullptr, {});
      core_.SetRender({});
      UnregisterDeviceWatch();
      for (UINT_PTR t : {kWatchTimer, kRingTimer, kPresenceTimer, kScreenshotTimer, kAutoUpdateTimer,
                         kProgressTimer}) {
        ::KillTimer(hwnd_, t);
      }
      ring_.Detach();
      return FALSE;
    default:
      return FALSE;
  }
}

void WinMainWindow::OnCommand(int id, int code) {
  switch (id) {
    case IDOK:
      Apply(core_.KeyReturn());
      return;
    case IDCANCEL:
      Apply(core_.KeyEscape());
      return;
    case res::id::kUpdate:
      if (code == BN_CLICKED) Apply(core_.UpdateClicked());
      return;
    case kChooseFileControlId:
      if (code == BN_CLICKED) Apply(core_.ChooseFileClicked());
      return;
    default:
      // The engineering controls have no actions in this build.
      return;
  }
}

void WinMainWindow::OnTimer(UINT_PTR id) {
  switch (id) {
    case kWatchTimer:
      ::KillTimer(hwnd_, kWatchTimer);
      Apply(core_.WatchTimer());
      return;
    case kRingTimer:
      ::KillTimer(hwnd_, kRingTimer);
      OnRingTimer();
      return;
    case kProgressTimer:
      ::KillTimer(hwnd_, kProgressTimer);
      Apply(core_.ProgressTimer());
      return;
    case kPresenceTimer:
      if (options_.simulatedPlugChanged && options_.simulatedPlugChanged()) {
        Apply(core_.DeviceChanged());
      }
      return;
    case kScreenshotTimer:
      ::KillTimer(hwnd_, kScreenshotTimer);
      TakeScreenshot();
      return;
    case kAutoUpdateTimer:
      // Once the window is up; the core starts the run when a pass offers
      // Update.
      ::KillTimer(hwnd_, kAutoUpdateTimer);
      if (autoUpdateDone_) return;
      autoUpdateDone_ = true;
      Apply(core_.RequestAutoUpdate());
      return;
    default:
      return;
  }
}

void WinMainWindow::OnRingTimer() {
  const std::optional<int> percent = core_.RingTimer();
  if (!percent) return;
  const bool drawn = ring_.DrawStep(*percent);
  core_.RingStepDrawn(*percent, drawn);
  Render();
}

// ------------------------------------------------------------- effects --

void WinMainWindow::Apply(const WindowEffects& e) {
  if (hwnd_ == nullptr || !coreReady_) return;
  if (e.endConfirmation) confirm_.End();
  if (e.resetRing) ring_.Reset();
  if (e.beginRingPass) ring_.BeginPass(*e.beginRingPass);
  Render();
  if (e.messageBox != nullptr) ShowMessage(e.messageCaption, e.messageBox);
  if (e.armWatchTimer) ::SetTimer(hwnd_, kWatchTimer, 100, nullptr);
  if (e.armRingTimer) ::SetTimer(hwnd_, kRingTimer, 0, nullptr);
  if (e.armProgressTimer) ::SetTimer(hwnd_, kProgressTimer, kProgressTimerMs, nullptr);
  if (e.showConfirmation) ShowConfirmation();
  if (e.openFileDialog) ChooseFile();
  if (e.closeWindow) Close();
}

void WinMainWindow::ShowMessage(const char* caption, const char* text) {
  core_.EnterModal();
  ::MessageBoxW(hwnd_, Widen(text).c_str(), Widen(caption != nullptr ? caption : kAppCaption).c_str(),
                MB_OK);
  Apply(core_.LeaveModal());
}

void WinMainWindow::ShowConfirmation() {
  if (confirm_.open() || hwnd_ == nullptr) return;
  if (confirm_.Run(instance_, hwnd_)) Apply(core_.Confirmed());
}

void WinMainWindow::Close() {
  if (hwnd_ == nullptr || closing_) return;
  closing_ = true;
  confirm_.End();
  if (modal_) {
    ::EndDialog(hwnd_, 0);
  } else {
    ::DestroyWindow(hwnd_);
  }
}

void WinMainWindow::ChooseFile() {
  // The file dialog is modal: passes wait until it is gone.
  wchar_t path[MAX_PATH * 4] = {};
  const std::wstring title = ToWide(ChooseFileButtonText(core_.language()));
  // Name and pattern, each ended by a NUL, and a NUL after the last pair.
  std::wstring filter = ToWide(FirmwareFileFilterName(core_.language()));
  filter.push_back(L'\0');
  filter += L"*.bin";
  filter.push_back(L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = path;
  ofn.nMaxFile = static_cast<DWORD>(std::size(path));
  ofn.lpstrTitle = title.c_str();
  ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  core_.EnterModal();
  const bool chosen = ::GetOpenFileNameW(&ofn) != FALSE;
  Apply(core_.LeaveModal());
  if (chosen) Apply(core_.FirmwareChosen(Narrow(path)));
}

void WinMainWindow::OnDrop(HDROP drop) {
  std::vector<std::string> paths;
  const UINT n = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < n; ++i) {
    const UINT length = ::DragQueryFileW(drop, i, nullptr, 0);
    std::wstring path(static_cast<std::size_t>(length) + 1, L'\0');
    const UINT got = ::DragQueryFileW(drop, i, path.data(), length + 1);
    path.resize(got);
    if (!path.empty()) paths.push_back(Narrow(path));
  }
  ::DragFinish(drop);
  const std::string taken = core_.FirmwareDropPath(paths);
  if (!taken.empty()) Apply(core_.FirmwareChosen(taken));
}

void WinMainWindow::OpenLink() {
  const std::string address = core_.LinkToOpen();
  if (address.empty()) return;
  ::ShellExecuteW(nullptr, L"open", Widen(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// ------------------------------------------------------------- render --

void WinMainWindow::Render() { RenderFrame(core_.frame()); }

void WinMainWindow::SetText(int id, const std::wstring& text) {
  HWND h = control(id);
  if (h == nullptr) return;
  if (id == res::id::kLink) {
    // The link control reads its markup back without the anchor.
    if (linkMarkup_ == text) return;
    linkMarkup_ = text;
  } else if (WindowText(h) == text) {
    return;
  }
  ::SetWindowTextW(h, text.c_str());
}

void WinMainWindow::Show(int id, bool shown) {
  HWND h = control(id);
  if (h == nullptr) return;
  const bool now = (::GetWindowLongPtrW(h, GWL_STYLE) & WS_VISIBLE) != 0;
  if (now != shown) ::ShowWindow(h, shown ? SW_SHOWNA : SW_HIDE);
}

void WinMainWindow::Place(int id, const RECT& r) {
  HWND h = control(id);
  if (h == nullptr) return;
  RECT now{};
  ::GetWindowRect(h, &now);
  ::MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&now), 2);
  if (now.left == r.left && now.top == r.top && now.right == r.right && now.bottom == r.bottom) {
    return;
  }
  ::SetWindowPos(h, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

int WinMainWindow::FitText(int id, std::u16string& text, const PixelRect& place) const {
  HWND h = control(id);
  if (h == nullptr || place.width <= 0) return 0;
  const int width = ScalePixels(place.width, dpi());
  HDC dc = ::GetDC(h);
  if (dc == nullptr) return 0;
  const auto font = reinterpret_cast<HFONT>(::SendMessageW(h, WM_GETFONT, 0, 0));
  const HGDIOBJ old = font != nullptr ? ::SelectObject(dc, font) : nullptr;
  text = ElideUnbreakableRuns(text, width, [&](std::u16string_view run) {
    const std::wstring w = ToWide(run);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
    return static_cast<int>(size.cx);
  });
  // As the static control wraps it: at blanks, centred, no prefix.
  const std::wstring w = ToWide(text);
  RECT r{0, 0, width, 0};
  const LONG_PTR style = ::GetWindowLongPtrW(h, GWL_STYLE);
  const UINT align = (style & SS_TYPEMASK) == SS_CENTER ? DT_CENTER
                     : (style & SS_TYPEMASK) == SS_RIGHT ? DT_RIGHT
                                                         : DT_LEFT;
  ::DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS | align);
  if (old != nullptr) ::SelectObject(dc, old);
  ::ReleaseDC(h, dc);
  return UnscalePixelsUp(r.bottom - r.top, dpi());
}

WindowFrame WinMainWindow::FitFrame(const WindowFrame& given) const {
  WindowFrame f = given;
  TextHeights needed;
  if (f.statusShown) needed.status = FitText(res::id::kStatus, f.statusText, f.statusRect);
  if (f.progressMessageShown) {
    needed.progressMessage =
        FitText(res::id::kProgressMessage, f.progressMessage, f.progressMessageRect);
  }
  PixelRect updateTemplate;
  if (const res::ControlTemplate* t = FindTemplate(res::id::kUpdate)) {
    updateTemplate = PixelRect{res::DluToPixelsX(t->x), res::DluToPixelsY(t->y),
                               res::DluToPixelsX(t->width), res::DluToPixelsY(t->height)};
  }
  return GrowFrameToFit(f, needed, updateTemplate);
}

void WinMainWindow::RenderFrame(const WindowFrame& given) {
  if (hwnd_ == nullptr) return;
  const int d = dpi();
  // The frame with its places grown to hold its texts whole; the trace
  // keeps the texts as the core gave them.
  const WindowFrame f = FitFrame(given);

  // The outer size; centred on the work area the first time.
  const PixelSize outer = ScalePixels(f.windowSize, d);
  RECT wr{};
  ::GetWindowRect(hwnd_, &wr);
  if (!centred_) {
    RECT work{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + (work.right - work.left - outer.width) / 2;
    const int y = work.top + (work.bottom - work.top - outer.height) / 2;
    ::SetWindowPos(hwnd_, nullptr, x, y, outer.width, outer.height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    centred_ = true;
  } else if (wr.right - wr.left != outer.width || wr.bottom - wr.top != outer.height) {
    ::SetWindowPos(hwnd_, nullptr, 0, 0, outer.width, outer.height,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  const std::wstring title =
      f.title.empty() ? Widen(res::kMainTemplateTitle) : ToWide(f.title);
  if (WindowText(hwnd_) != title) ::SetWindowTextW(hwnd_, title.c_str());

  // Places, texts, then what shows.
  Place(res::id::kStatus, PlaceOf(res::id::kStatus, f.statusRect));
  Place(res::id::kUpdate, PlaceOf(res::id::kUpdate, f.updateRect));
  Place(res::id::kProgressMessage, PlaceOf(res::id::kProgressMessage, f.progressMessageRect));
  Place(kPhaseLineControlId, ToRect(ScalePixels(f.phaseLineRect, d)));
  if (f.linkShown) Place(res::id::kLink, PlaceOf(res::id::kLink, f.linkRect));
  if (f.chooseFileShown) Place(kChooseFileControlId, ToRect(ScalePixels(f.chooseFileRect, d)));

  SetText(res::id::kStatus, ToWide(f.statusText));
  if (f.updateShown || !f.updateText.empty()) SetText(res::id::kUpdate, ToWide(f.updateText));
  if (f.linkShown) SetText(res::id::kLink, Widen(f.linkMarkup));
  if (f.chooseFileShown) SetText(kChooseFileControlId, ToWide(f.chooseFileText));
  SetText(res::id::kPercentage, ToWide(f.percentText));
  // The whole update's percentage, not the phase's that the ring shows.
  SetRingValue(ToWide(f.ringValueText));
  SetText(res::id::kProgressMessage, ToWide(f.progressMessage));
  SetText(kPhaseLineControlId, ToWide(f.phaseLine));
  SetText(res::id::kFirmwarePath, Widen(f.firmwarePath));
  SetText(res::id::kByteCount, Widen(f.byteCountText));
  SetText(res::id::kSeconds, Widen(f.secondsText));
  if (HWND bar = control(res::id::kProgressBar); bar != nullptr && f.progressRange > 0) {
    const auto range = static_cast<LPARAM>(std::min<std::uint32_t>(f.progressRange, INT32_MAX));
    ::SendMessageW(bar, PBM_SETRANGE32, 0, range);
    ::SendMessageW(bar, PBM_SETPOS,
                   static_cast<WPARAM>(std::min(f.progressPosition, f.progressRange)), 0);
  }

  Show(res::id::kStatus, f.statusShown);
  Show(res::id::kUpdate, f.updateShown);
  Show(res::id::kLink, f.linkShown);
  Show(kChooseFileControlId, f.chooseFileShown);
  Show(res::id::kRingArea, f.ringShown);
  Show(res::id::kPercentage, f.ringShown);
  Show(res::id::kProgressMessage, f.progressMessageShown);
  Show(kPhaseLineControlId, f.phaseLineShown);

  for (int id : kActionControls) {
    if (HWND h = control(id)) ::EnableWindow(h, f.actionControlsEnabled ? TRUE : FALSE);
  }
  if (HWND choose = control(kChooseFileControlId)) {
    ::EnableWindow(choose, f.chooseFileShown ? TRUE : FALSE);
  }

  ApplyFocus(f);
  WriteTrace(given);
}

void WinMainWindow::ApplyFocus(const WindowFrame& f) {
  // The focus the frame asks for; a focus left on a control that is now
  // hidden or disabled goes back to the dialog (which hands it to a shown
  // control of its choice), so that Return never presses a hidden button
  // and reaches the core as IDOK. A control's own style says whether it
  // shows: the window itself is not visible yet when it starts.
  auto usable = [](HWND h) {
    return (::GetWindowLongPtrW(h, GWL_STYLE) & WS_VISIBLE) != 0 && ::IsWindowEnabled(h);
  };
  HWND focus = ::GetFocus();
  HWND wanted = f.focus != 0 ? control(f.focus) : nullptr;
  if (wanted != nullptr && usable(wanted)) {
    if (focus != wanted) {
      ::SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(wanted), TRUE);
    }
  } else if (focus != nullptr && ::GetParent(focus) == hwnd_ && !usable(focus)) {
    ::SetFocus(hwnd_);
  }
}

// ------------------------------------------------- trace and screenshot --

void WinMainWindow::WriteTrace(const WindowFrame& f) {
  if (options_.tracePath.empty()) return;
  std::string out;
  auto line = [&](const std::string& key, bool shown, const std::string& value) {
    const auto it = traced_.find(key);
    if (!shown) {
      if (it != traced_.end()) traced_.erase(it);
      return;
    }
    if (it != traced_.end() && it->second == value) return;
    traced_[key] = value;
    // One line per value: a text's own line breaks are written as "\n".
    std::string flat;
    for (char c : value) {
      if (c == '\n') flat += "\\n";
      else if (c != '\r') flat += c;
    }
    out += key + ": " + flat + "\n";
  };
  line("title", true, Narrow(WindowText(hwnd_)));
  line("presentation", true, f.viewName());
  line("status", f.statusShown, ToUtf8(f.statusText));
  line("progress", f.progressMessageShown, ToUtf8(f.progressMessage));
  if (out.empty()) return;
  if (FILE* file = ::_wfopen(Widen(options_.tracePath).c_str(), L"ab")) {
    std::fwrite(out.data(), 1, out.size(), file);
    std::fclose(file);
  }
}

void WinMainWindow::TakeScreenshot() {
  RECT wr{};
  if (!::GetWindowRect(hwnd_, &wr)) return;
  const int w = wr.right - wr.left;
  const int h = wr.bottom - wr.top;
  if (w <= 0 || h <= 0) return;
  // Everything painted first: the copy is of what the window shows.
  ::RedrawWindow(hwnd_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  HDC windowDc = ::GetWindowDC(hwnd_);
  HDC mem = ::CreateCompatibleDC(windowDc);
  HBITMAP bitmap = ::CreateCompatibleBitmap(windowDc, w, h);
  HGDIOBJ old = ::SelectObject(mem, bitmap);
  // The window's own pixels, frame and children included; asking it to
  // draw itself where they cannot be read.
  if (!::BitBlt(mem, 0, 0, w, h, windowDc, 0, 0, SRCCOPY)) ::PrintWindow(hwnd_, mem, 0);
  ::SelectObject(mem, old);

  BITMAPINFOHEADER bih{};
  bih.biSize = sizeof(bih);
  bih.biWidth = w;
  bih.biHeight = h;  // bottom-up, as BMP files store rows
  bih.biPlanes = 1;
  bih.biBitCount = 24;
  bih.biCompression = BI_RGB;
  const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h));
  const int rows = ::GetDIBits(mem, bitmap, 0, static_cast<UINT>(h), pixels.data(),
                               reinterpret_cast<BITMAPINFO*>(&bih), DIB_RGB_COLORS);
  ::DeleteObject(bitmap);
  ::DeleteDC(mem);
  ::ReleaseDC(hwnd_, windowDc);
  if (rows != h) return;

  BITMAPFILEHEADER bfh{};
  bfh.bfType = 0x4D42;  // "BM"
  bfh.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  bfh.bfSize = bfh.bfOffBits + static_cast<DWORD>(pixels.size());
  bih.biSizeImage = static_cast<DWORD>(pixels.size());
  FILE* file = ::_wfopen(Widen(options_.screenshotPath).c_str(), L"wb");
  if (file == nullptr) return;
  std::fwrite(&bfh, sizeof(bfh), 1, file);
  std::fwrite(&bih, sizeof(bih), 1, file);
  std::fwrite(pixels.data(), 1, pixels.size(), file);
  std::fclose(file);
}

void WinMainWindow::PaintMinimised() {
  // Shown where a minimised window is still painted (a thumbnail): the icon
  // centred on an erased background.
  PAINTSTRUCT ps{};
  HDC dc = ::BeginPaint(hwnd_, &ps);
  ::SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rc{};
  ::GetClientRect(hwnd_, &rc);
  const int cx = ::GetSystemMetrics(SM_CXICON);
  const int cy = ::GetSystemMetrics(SM_CYICON);
  if (iconBig_ != nullptr) {
    ::DrawIcon(dc, (rc.right - cx + 1) / 2, (rc.bottom - cy + 1) / 2, iconBig_);
  }
  ::EndPaint(hwnd_, &ps);
}

}  // namespace lumavix
