// The native window's rendering of the core's frames: which controls show,
// their texts, places and enabled state, and the title, for each kind of
// view; the ring's dots across steps, passes and repaints; the confirmation
// dialog's texts; the program's options. The window is made hidden and
// never runs a message loop: what is checked is what the renderer did.
// Before windows.h, whose macros would clash with the engine's names.
#include "app/core/main_window_core.h"
#include "app/core/ring_geometry.h"
#include "app/core/texts.h"
#include "app/core/update_flow.h"
#include "app/core/update_progress.h"

#include "firmware/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/win/win_app_platform.h"
#include "app/win/win_confirm_dialog.h"
#include "app/win/win_main_window.h"
#include "app/win/win_ring.h"
#include "app/win/win_text.h"
#include "platform/win_sleep_inhibitor.h"
#include "resources/dialog_templates.h"
// After windows.h (through the window's header):
#include <dbt.h>
#include "sim_camera.h"
#include "temp_dir.h"

namespace lumavix {
namespace {

namespace res = resources;

std::string Utf8(const std::wstring& w) { return Narrow(w); }

bool Shown(HWND h) { return h != nullptr && (::GetWindowLongPtrW(h, GWL_STYLE) & WS_VISIBLE) != 0; }

RECT PlaceInParent(HWND child) {
  RECT r{};
  ::GetWindowRect(child, &r);
  ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// The place a control must have: the frame's rect scaled, or the template's
// place in dialog units converted and scaled.
RECT Expected(const PixelRect& rect, int dpi) {
  const PixelRect s = ScalePixels(rect, dpi);
  return RECT{s.x, s.y, s.x + s.width, s.y + s.height};
}
RECT ExpectedTemplate(int id, int dpi) {
  for (const auto& c : res::kMainWindowControls) {
    if (c.id == id) {
      return Expected(PixelRect{res::DluToPixelsX(c.x), res::DluToPixelsY(c.y),
                                res::DluToPixelsX(c.width), res::DluToPixelsY(c.height)},
                      dpi);
    }
  }
  return RECT{};
}

std::string Describe(const RECT& r) {
  return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" +
         std::to_string(r.right) + "," + std::to_string(r.bottom) + ")";
}

class WinWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WinWindowOptions o;
    o.initialiseCore = false;
    o.watchDevices = false;
    o.preferDirect2D = false;
    window_ = std::make_unique<WinMainWindow>(core_, o);
    if (!window_->Create(::GetModuleHandleW(nullptr), /*visible=*/false)) {
      GTEST_SKIP() << "no window can be made here (no display for Wine)";
    }
  }

  MainWindowCore core_;
  std::unique_ptr<WinMainWindow> window_;
};

// ------------------------------------------------------------ frames --

struct FrameCase {
  const char* name;
  WindowFrame frame;
  // Controls that must show; every other frame-driven control is hidden.
  std::vector<int> shown;
};

WindowFrame StatusWithUpdate() {
  WindowFrame f;
  f.title = u"LUMAVIX Q Firmware Update";
  f.statusRect = kUpdateAvailableStatusRect;
  f.statusText = u"A newer firmware is available.\nUpdate now?";
  f.updateShown = true;
  f.updateRect = PixelRect{170, 90, 120, 30};
  f.updateText = u"Update";
  f.actionControlsEnabled = true;
  return f;
}

WindowFrame NotThisProduct() {
  WindowFrame f;
  f.title = u"LUMAVIX Q Firmware Update";
  const NotThisProductLayout places = NotThisProductPlaces(UiLanguage::English);
  f.statusRect = places.status;
  f.statusText = u"This camera is not a LUMAVIX Q.";
  f.linkShown = true;
  f.linkRect = places.link;
  f.linkMarkup = "<a href=\"https://lumavix.example/support\">Support</a>";
  f.linkAddress = "https://lumavix.example/support";
  return f;
}

WindowFrame Progress() {
  WindowFrame f;
  f.title = u"LUMAVIX Q Firmware Update";
  f.windowSize = kProgressWindowSize;
  f.progressView = true;
  f.statusShown = false;
  f.ringShown = true;
  f.percentText = u"42%";
  f.ringValue = 42;
  f.ringValueText = u"42%";
  f.progressMessageShown = true;
  f.progressMessage = u"Do not unplug the camera.";
  f.phaseLineShown = true;
  f.phaseLine = u"Writing: 42% - about 1 minute left";
  return f;
}

WindowFrame FileProblem() {
  WindowFrame f;
  f.statusText = u"No firmware file in C:\\fw.";
  f.chooseFileShown = true;
  f.chooseFileRect = kChooseFileRect;
  f.chooseFileText = u"Choose a file...";
  return f;
}

const std::vector<int> kFrameControls = {res::id::kStatus,     res::id::kUpdate,
                                         res::id::kLink,       kChooseFileControlId,
                                         res::id::kRingArea,   res::id::kPercentage,
                                         res::id::kProgressMessage, kPhaseLineControlId};

TEST_F(WinWindowTest, EachViewShowsItsControlsWithTheirTextsAndPlaces) {
  const std::vector<FrameCase> cases = {
      {"status view with Update", StatusWithUpdate(), {res::id::kStatus, res::id::kUpdate}},
      {"not this product, with the link", NotThisProduct(), {res::id::kStatus, res::id::kLink}},
      {"progress view",
       Progress(),
       {res::id::kRingArea, res::id::kPercentage, res::id::kProgressMessage,
        kPhaseLineControlId}},
      {"file problem with choose-file", FileProblem(), {res::id::kStatus, kChooseFileControlId}},
  };
  const int dpi = window_->dpi();
  // Each case after the others: what one view showed must not stay.
  for (int round = 0; round < 2; ++round) {
    for (const FrameCase& c : cases) {
      SCOPED_TRACE(c.name);
      const WindowFrame& f = c.frame;
      window_->RenderFrame(f);

      for (int id : kFrameControls) {
        const bool want = std::find(c.shown.begin(), c.shown.end(), id) != c.shown.end();
        EXPECT_EQ(Shown(window_->control(id)), want)
            << "control " << id << " should be " << (want ? "shown" : "hidden");
      }

      const std::wstring title = WindowText(window_->hwnd());
      EXPECT_EQ(Utf8(title), f.title.empty() ? std::string(res::kMainTemplateTitle)
                                             : ToUtf8(f.title))
          << "the title is the frame's, or the template's when the frame has none";

      RECT outer{};
      ::GetWindowRect(window_->hwnd(), &outer);
      EXPECT_EQ(outer.right - outer.left, ScalePixels(f.windowSize.width, dpi))
          << "outer width of the frame at the window's dpi";
      EXPECT_EQ(outer.bottom - outer.top, ScalePixels(f.windowSize.height, dpi))
          << "outer height of the frame at the window's dpi";

      struct Placed {
        int id;
        bool shown;
        RECT want;
        std::u16string text;
      };
      const std::vector<Placed> placed = {
          {res::id::kStatus, f.statusShown, Expected(f.statusRect, dpi), f.statusText},
          {res::id::kUpdate, f.updateShown, Expected(f.updateRect, dpi), f.updateText},
          {kChooseFileControlId, f.chooseFileShown, Expected(f.chooseFileRect, dpi),
           f.chooseFileText},
          {res::id::kProgressMessage, f.progressMessageShown,
           Expected(f.progressMessageRect, dpi), f.progressMessage},
          {kPhaseLineControlId, f.phaseLineShown, Expected(f.phaseLineRect, dpi), f.phaseLine},
          {res::id::kPercentage, f.ringShown, ExpectedTemplate(res::id::kPercentage, dpi),
           f.percentText},
      };
      for (const Placed& p : placed) {
        if (!p.shown) continue;
        HWND h = window_->control(p.id);
        ASSERT_NE(h, nullptr) << "control " << p.id << " exists";
        const RECT got = PlaceInParent(h);
        EXPECT_TRUE(EqualRect(&got, &p.want))
            << "control " << p.id << " at " << Describe(got) << ", expected " << Describe(p.want);
        EXPECT_EQ(Utf8(WindowText(h)), ToUtf8(p.text)) << "text of control " << p.id;
      }
      if (f.linkShown) {
        const RECT got = PlaceInParent(window_->control(res::id::kLink));
        const RECT want = Expected(f.linkRect, dpi);
        EXPECT_TRUE(EqualRect(&got, &want))
            << "link at " << Describe(got) << ", expected " << Describe(want);
      }
      if (f.ringShown) {
        const RECT got = PlaceInParent(window_->control(res::id::kRingArea));
        const RECT want = ExpectedTemplate(res::id::kRingArea, dpi);
        EXPECT_TRUE(EqualRect(&got, &want))
            << "ring area at its template place " << Describe(want) << ", got " << Describe(got);
      }

      for (int id : kActionControls) {
        HWND h = window_->control(id);
        ASSERT_NE(h, nullptr) << "action control " << id << " exists";
        EXPECT_EQ(::IsWindowEnabled(h) != FALSE, f.actionControlsEnabled)
            << "action control " << id << " should be "
            << (f.actionControlsEnabled ? "enabled" : "disabled");
      }
      EXPECT_EQ(::IsWindowEnabled(window_->control(kChooseFileControlId)) != FALSE,
                f.chooseFileShown)
          << "the choose-file button is enabled exactly when it shows";
    }
  }
}

// The height a static control's text takes at the control's width, wrapped
// as the control wraps it.
int WrappedHeight(HWND control) {
  RECT place{};
  ::GetClientRect(control, &place);
  const std::wstring text = WindowText(control);
  HDC dc = ::GetDC(control);
  const HGDIOBJ old =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT r{0, 0, place.right, 0};
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS | DT_CENTER);
  // The widest single word: wider than the control, it would be cut.
  int widest = 0;
  std::wstring word;
  auto measure = [&] {
    SIZE size{};
    ::GetTextExtentPoint32W(dc, word.c_str(), static_cast<int>(word.size()), &size);
    widest = std::max(widest, static_cast<int>(size.cx));
    word.clear();
  };
  for (wchar_t c : text) {
    if (c == L' ' || c == L'\n' || c >= 0x2E80) measure();
    else word += c;
  }
  measure();
  ::SelectObject(dc, old);
  ::ReleaseDC(control, dc);
  return widest > place.right ? INT_MAX : r.bottom - r.top;
}

// Every status view in every language keeps its text whole: the status line
// holds it (growing, with the window, when it needs to), the buttons and the
// link stay below it and inside the window, the last sentence shows.
TEST_F(WinWindowTest, EveryStatusViewShowsItsTextWholeInEveryLanguage) {
  const std::u16string longRun =
      u"C:\\Users\\dominique\\Downloads\\LUMAVIX_Q_firmware_update_package_2024-10-15_final\\"
      u"extracted";
  for (UiLanguage lang : {UiLanguage::English, UiLanguage::French, UiLanguage::German,
                          UiLanguage::Japanese, UiLanguage::Italian, UiLanguage::Dutch}) {
    struct View {
      std::string name;
      PresentationView v;
    };
    std::vector<View> views;
    for (Presentation p : {Presentation::NoCamera, Presentation::NotThisProduct,
                           Presentation::UpdateAvailable, Presentation::UpToDate,
                           Presentation::Interrupted, Presentation::InterruptedUnidentified,
                           Presentation::Unreadable, Presentation::Confirmed,
                           Presentation::CameraBusy}) {
      views.push_back({PresentationName(p), ComposePresentation(p, lang, u"LUMAVIX Q",
                                                                u"LUMAVIX Q ", 0x105, 0x104)});
    }
    views.push_back({"no file in a 42-character folder",
                     ComposeFileProblemView(lang, FileProblem::NotFound,
                                            u"C:\\Users\\dominique\\Downloads\\LUMAVIX_Q")});
    views.push_back({"no file in a folder of one long run",
                     ComposeFileProblemView(lang, FileProblem::NotFound, longRun)});
    views.push_back({"a damaged file",
                     ComposeFileProblemView(lang, FileProblem::BadCrc,
                                            u"LUMAVIX_Q_firmware_v0105_2024-10-15.bin")});
    const PresentationView offered = ComposePresentation(
        Presentation::UpdateAvailable, lang, u"LUMAVIX Q", u"LUMAVIX Q ", 0x105, 0x104);
    views.push_back({"a failed update", ComposeFailureView(offered, lang, FailureKind::VerifyFailed,
                                                           "Firmware Download/Validate Failure.")});
    for (const View& view : views) {
      SCOPED_TRACE(std::string("language ") + std::to_string(static_cast<int>(lang)) + ", " +
                   view.name);
      const PresentationView& v = view.v;
      WindowFrame f;
      f.windowSize = v.windowSize;
      f.statusRect = v.statusRect;
      f.statusText = v.statusText;
      f.updateShown = v.updateButtonShown;
      f.updateRect = v.updateButtonRect;
      f.updateText = u"Update";
      f.linkShown = v.linkShown;
      f.linkRect = v.linkRect;
      f.linkMarkup = v.linkMarkup;
      f.chooseFileShown = v.chooseFileShown;
      f.chooseFileRect = v.chooseFileRect;
      f.chooseFileText = u"Choose file...";
      window_->RenderFrame(f);

      HWND status = window_->control(res::id::kStatus);
      const RECT place = PlaceInParent(status);
      const int height = WrappedHeight(status);
      EXPECT_LE(height, place.bottom - place.top)
          << "the status text expected whole: \"" << Utf8(WindowText(status)) << "\"";
      const std::u16string& text = v.statusText;
      const std::size_t nl = text.rfind(u'\n');
      const std::u16string last = nl == std::u16string::npos ? text : text.substr(nl + 1);
      if (last.find(u"C:\\") == std::u16string::npos) {
        EXPECT_TRUE(WindowText(status).ends_with(ToWide(last)))
            << "the last sentence expected whole: " << ToUtf8(last);
      }
      RECT client{};
      ::GetClientRect(window_->hwnd(), &client);
      for (int id : {res::id::kUpdate, res::id::kLink, kChooseFileControlId}) {
        HWND h = window_->control(id);
        if (!Shown(h)) continue;
        const RECT r = PlaceInParent(h);
        EXPECT_GE(r.top, place.top + height) << "control " << id << " covers the text";
        EXPECT_LE(r.bottom, client.bottom) << "control " << id << " below the window's edge";
      }
    }
  }
}

TEST_F(WinWindowTest, AnUpdateButtonWithoutAPlaceKeepsItsTemplatePlace) {
  WindowFrame f = StatusWithUpdate();
  f.updateRect = PixelRect{};
  window_->RenderFrame(f);
  const RECT got = PlaceInParent(window_->control(res::id::kUpdate));
  const RECT want = ExpectedTemplate(res::id::kUpdate, window_->dpi());
  EXPECT_TRUE(EqualRect(&got, &want))
      << "Update at " << Describe(got) << ", expected the template's " << Describe(want);
}

TEST_F(WinWindowTest, TheTemplateControlsTheWindowStartsWithout) {
  // Hidden at initialisation although the template shows some of them; the
  // engineering controls exist for their ids but never show.
  for (int id : res::kHiddenAtInitialisation) {
    EXPECT_NE(window_->control(id), nullptr) << "control " << id << " exists";
    EXPECT_FALSE(Shown(window_->control(id))) << "control " << id << " starts hidden";
  }
  for (const auto& c : res::kMainWindowControls) {
    EXPECT_NE(window_->control(c.id), nullptr) << "template control " << c.id << " is made";
  }
  EXPECT_EQ(static_cast<int>(LOWORD(::SendMessageW(window_->hwnd(), DM_GETDEFID, 0, 0))), IDOK)
      << "Return off the buttons is IDOK, which goes to the core";
}

TEST(WinFocusTest, TheKeyboardGoesWhereTheFrameSaysAndNeverStaysOnAHiddenControl) {
  MainWindowCore core;
  WinWindowOptions o;
  o.initialiseCore = false;
  o.watchDevices = false;
  WinMainWindow window(core, o);
  if (!window.Create(::GetModuleHandleW(nullptr), /*visible=*/true)) {
    GTEST_SKIP() << "no window can be made here (no display for Wine)";
  }
  ::SetForegroundWindow(window.hwnd());
  WindowFrame update = StatusWithUpdate();
  update.focus = res::id::kUpdate;
  WindowFrame choose = FileProblem();
  choose.focus = kChooseFileControlId;
  const WindowFrame progress = Progress();  // focus 0: leave it
  struct Case {
    const char* what;
    const WindowFrame* frame;
    HWND want;
  };
  const std::vector<Case> cases = {
      {"Update offered", &update, window.control(res::id::kUpdate)},
      {"a file to choose", &choose, window.control(kChooseFileControlId)},
      {"the progress view hides the focused button", &progress, nullptr},
      {"Update offered again", &update, window.control(res::id::kUpdate)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    window.RenderFrame(*c.frame);
    HWND focus = ::GetFocus();
    if (c.want != nullptr) {
      EXPECT_EQ(focus, c.want) << "the keyboard focus should be on the frame's control, it is on "
                               << ::GetDlgCtrlID(focus);
      continue;
    }
    // Left to the dialog, which hands it to a control of its choice: never
    // a hidden one, never a button Return would press.
    ASSERT_TRUE(focus == window.hwnd() || ::GetParent(focus) == window.hwnd())
        << "the focus should stay in the window";
    EXPECT_TRUE(Shown(focus)) << "the focus should not stay on hidden control "
                              << ::GetDlgCtrlID(focus);
    EXPECT_EQ(::SendMessageW(focus, WM_GETDLGCODE, 0, 0) &
                  (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON),
              0)
        << "Return should reach the core, not a button with the focus";
  }
}

// ------------------------------------------------------------ trace --

std::string ReadAll(const std::string& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(WinTraceTest, TheTraceSaysWhatChangedOneLineEach) {
  // Installers and scripts wait for these lines: each key is written when
  // its value changes, a text's line breaks stay on its line, and a line
  // that was hidden is written again when it shows.
  test::TempDir dir;
  const std::string trace = dir.path() + "\\trace.txt";
  MainWindowCore core;
  WinWindowOptions o;
  o.initialiseCore = false;
  o.watchDevices = false;
  o.tracePath = trace;
  WinMainWindow window(core, o);
  if (!window.Create(::GetModuleHandleW(nullptr), /*visible=*/false)) {
    GTEST_SKIP() << "no window can be made here (no display for Wine)";
  }
  const std::string templateTitle = std::string("title: ") + res::kMainTemplateTitle + "\n";
  WindowFrame status = StatusWithUpdate();
  WindowFrame progress = Progress();
  progress.progressMessage = u"Firmware update completed. Current firmware version: v0105.";

  struct Step {
    const char* what;
    const WindowFrame* frame;
    std::string appended;
  };
  const std::vector<Step> steps = {
      {"the same frame again", &status, ""},
      {"the progress view",
       &progress,
       "presentation: progress\n"
       "progress: Firmware update completed. Current firmware version: v0105.\n"},
      {"back to the status view", &status,
       "presentation: no-camera\n"
       "status: A newer firmware is available.\\nUpdate now?\n"},
  };
  window.RenderFrame(status);
  std::string expected = ReadAll(trace);
  ASSERT_NE(expected.find("title: LUMAVIX Q Firmware Update\n"), std::string::npos)
      << "the first frame writes the title, got:\n" << expected;
  ASSERT_NE(expected.find("status: A newer firmware is available.\\nUpdate now?\n"),
            std::string::npos)
      << "the status on one line, its break written as \\n, got:\n" << expected;
  EXPECT_EQ(expected.find(templateTitle), std::string::npos)
      << "the template's title never reaches the trace when the frame has one";
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    window.RenderFrame(*step.frame);
    expected += step.appended;
    EXPECT_EQ(ReadAll(trace), expected) << "only the changed lines are appended";
  }
}

// ------------------------------------------------------------- ring --

COLORREF Ref(const RingColour& c) {
  return RGB(static_cast<int>(c.r * 255.0f + 0.5f), static_cast<int>(c.g * 255.0f + 0.5f),
             static_cast<int>(c.b * 255.0f + 0.5f));
}

// The ring painted into a memory bitmap, as a repaint of the area would.
class PaintedRing {
 public:
  explicit PaintedRing(WinRing& ring) {
    HDC screen = ::GetDC(nullptr);
    dc_ = ::CreateCompatibleDC(screen);
    bitmap_ = ::CreateCompatibleBitmap(screen, 512, 512);  // the area at up to 192 dpi
    ::ReleaseDC(nullptr, screen);
    old_ = ::SelectObject(dc_, bitmap_);
    ring.Paint(dc_);
  }
  ~PaintedRing() {
    ::SelectObject(dc_, old_);
    ::DeleteObject(bitmap_);
    ::DeleteDC(dc_);
  }
  [[nodiscard]] COLORREF at(float x, float y) const {
    return ::GetPixel(dc_, static_cast<int>(x + 0.5f), static_cast<int>(y + 0.5f));
  }

 private:
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

TEST_F(WinWindowTest, TheRingKeepsItsDotsAcrossPassesAndRepaints) {
  window_->RenderFrame(Progress());
  WinRing& ring = window_->ring();
  ASSERT_EQ(ring.renderer(), RingRenderer::Gdi) << "the test asked for GDI";
  const float scale = static_cast<float>(window_->dpi()) / 96.0f;
  const RingColour background = window_->ringTheme().background;
  EXPECT_EQ(Ref(background), ::GetSysColor(COLOR_3DFACE))
      << "the ring expected on the dialog's own background, as the theme has it";

  ASSERT_TRUE(ring.DrawStep(50)) << "a step on the ring area reaches it";
  const RingStep writing = ComputeRingStep(0, 50);
  ASSERT_FALSE(writing.dots.empty());
  EXPECT_EQ(ring.dotCount(), writing.dots.size()) << "the dots of 0..50%";
  EXPECT_EQ(ring.lastAngle(), writing.lastAngle) << "the angle the step leaves";
  EXPECT_TRUE(ring.DrawStep(50)) << "a step to the same percentage still shows the ring";
  EXPECT_EQ(ring.dotCount(), writing.dots.size()) << "a step to the same percentage adds no dot";

  // The next phase's pass goes over the first from the top, in its colour.
  ring.BeginPass(kRingVerifyColour);
  ASSERT_TRUE(ring.DrawStep(25));
  const RingStep verify = ComputeRingStep(0, 25);
  EXPECT_EQ(ring.dotCount(), writing.dots.size() + verify.dots.size())
      << "the second pass adds its dots and keeps the first pass's";
  EXPECT_EQ(ring.lastAngle(), verify.lastAngle);

  const RingDot top = verify.dots.front();
  const RingDot beyond = writing.dots.back();  // at 50%, past the second pass
  {
    PaintedRing painted(ring);
    EXPECT_EQ(painted.at(top.x * scale, top.y * scale), Ref(kRingVerifyColour))
        << "a repaint shows the second pass's colour where it went over the first";
    EXPECT_EQ(painted.at(beyond.x * scale, beyond.y * scale), Ref(kRingDotColour))
        << "a repaint still shows the first pass's dots beyond the second";
    EXPECT_EQ(painted.at(kRingCentreX * scale, kRingCentreY * scale), Ref(background))
        << "the middle of the ring is the ring's background";
  }

  ring.Reset();
  EXPECT_EQ(ring.dotCount(), 0u) << "a reset empties the ring";
  EXPECT_EQ(ring.lastAngle(), 0) << "a reset starts again from the top";
  PaintedRing painted(ring);
  EXPECT_EQ(painted.at(beyond.x * scale, beyond.y * scale), Ref(background))
      << "after a reset a repaint shows no dot";

  // A dark or high-contrast theme gives the ring its background.
  const RingColour dark{0.0f, 0.0f, 0.0f};
  ring.SetBackground(dark);
  PaintedRing themed(ring);
  EXPECT_EQ(themed.at(kRingCentreX * scale, kRingCentreY * scale), Ref(dark))
      << "the ring expected drawn on the theme's background";
}

TEST(WinRingTest, EitherRendererShowsTheDotsInTheirColours) {
  // Direct2D where it comes out (its first picture is checked), GDI
  // otherwise: the painted ring is the same either way.
  HWND area = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP | SS_OWNERDRAW, 0, 0, 202, 173,
                                nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (area == nullptr) GTEST_SKIP() << "no window can be made here (no display for Wine)";
  for (bool preferDirect2D : {false, true}) {
    SCOPED_TRACE(preferDirect2D ? "Direct2D preferred" : "GDI only");
    WinRing ring;
    ring.Attach(area, 96, preferDirect2D);
    if (!preferDirect2D) {
      EXPECT_EQ(ring.renderer(), RingRenderer::Gdi) << "GDI when Direct2D is not wanted";
    }
    ASSERT_TRUE(ring.DrawStep(75)) << "the step reaches the area";
    EXPECT_NE(ring.renderer(), RingRenderer::None) << "a renderer is in use";
    const RingStep step = ComputeRingStep(0, 75);
    PaintedRing painted(ring);
    for (std::size_t i : {std::size_t{0}, step.dots.size() / 2, step.dots.size() - 1}) {
      const RingDot& d = step.dots[i];
      const COLORREF got = painted.at(d.x, d.y);
      const COLORREF want = Ref(kRingDotColour);
      EXPECT_LE(std::abs(GetGValue(got) - GetGValue(want)), 3)
          << "dot " << i << " at (" << d.x << "," << d.y << ") is green, got RGB("
          << int(GetRValue(got)) << "," << int(GetGValue(got)) << "," << int(GetBValue(got)) << ")";
      EXPECT_LE(std::abs(GetRValue(got) - GetRValue(want)), 3) << "dot " << i << " red channel";
    }
    ring.Detach();
  }
  ::DestroyWindow(area);
}

TEST(WinRingTest, AStepThatReachesNoScreenIsDrawnAgainByTheNext) {
  WinRing ring;  // attached to no area
  EXPECT_FALSE(ring.DrawStep(30)) << "nothing reached a screen";
  EXPECT_EQ(ring.dotCount(), 0u) << "the dots of a failed step are not kept";
  EXPECT_EQ(ring.lastAngle(), 0) << "the angle stays, so the next step draws them";
}

// ------------------------------------------------------ confirmation --

TEST(WinConfirmTest, TheDialogCarriesTheLanguagesTextsAndOkIsTheDefault) {
  for (UiLanguage lang : {UiLanguage::English, UiLanguage::Japanese}) {
    SCOPED_TRACE(static_cast<int>(lang));
    WinConfirmDialog dialog;
    const std::u16string model = ModelName(ToolVariant);
    dialog.SetTexts(lang, model);
    HWND h = dialog.CreateHidden(::GetModuleHandleW(nullptr), nullptr);
    if (h == nullptr) GTEST_SKIP() << "no window can be made here (no display for Wine)";
    struct Expect {
      int id;
      std::u16string text;
    };
    const std::vector<Expect> texts = {
        {res::id::kConfirmHeading, std::u16string(ConfirmText(lang, kConfirmSlotHeading))},
        {res::id::kConfirmWarning, ConfirmWarningText(lang, model)},
        {res::id::kCancel, ConfirmButtonMnemonic(lang, kConfirmSlotCancel)},
        {res::id::kOk, ConfirmButtonMnemonic(lang, kConfirmSlotOk)},
    };
    for (const Expect& e : texts) {
      HWND c = ::GetDlgItem(h, e.id);
      ASSERT_NE(c, nullptr) << "control " << e.id << " exists";
      EXPECT_EQ(Utf8(WindowText(c)), ToUtf8(e.text)) << "text of control " << e.id;
    }
    EXPECT_NE(::GetDlgItem(h, res::id::kConfirmIcon), nullptr) << "the warning icon is there";
    EXPECT_EQ(static_cast<int>(LOWORD(::SendMessageW(h, DM_GETDEFID, 0, 0))), IDOK)
        << "Return confirms: OK is the default button";
    EXPECT_NE(::GetWindowLongPtrW(h, GWL_STYLE) & WS_CAPTION, WS_CAPTION)
        << "the dialog has no caption, only its thin frame";
    dialog.End();
    EXPECT_FALSE(dialog.open()) << "End closes an open dialog";
    EXPECT_FALSE(::IsWindow(h)) << "the dialog's window is gone";
  }
}

// Over its window wherever that was moved, and never off the screen.
TEST(WinConfirmTest, OpensCentredOverItsWindowWithinTheWorkArea) {
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  struct Case {
    const char* what;
    int x, y;  // the owner's place; it is 460 x 170
  };
  for (const Case& c : {Case{"moved towards the left", work.left + 20, work.top + 300},
                        Case{"half off the left edge", work.left - 300, work.top + 200}}) {
    SCOPED_TRACE(c.what);
    HWND owner = ::CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP | WS_VISIBLE, c.x, c.y, 460,
                                   170, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (owner == nullptr) GTEST_SKIP() << "no window can be made here (no display for Wine)";
    WinConfirmDialog dialog;
    dialog.SetTexts(UiLanguage::English, ModelName(ToolVariant));
    HWND h = dialog.CreateHidden(::GetModuleHandleW(nullptr), owner);
    ASSERT_NE(h, nullptr);
    RECT o{}, d{};
    ::GetWindowRect(owner, &o);
    ::GetWindowRect(h, &d);
    EXPECT_GE(d.left, work.left) << "the dialog starts inside the work area";
    EXPECT_GE(d.top, work.top);
    if (o.left >= work.left) {
      EXPECT_NEAR((d.left + d.right) / 2, (o.left + o.right) / 2, 1)
          << "expected the dialog centred across its window";
    }
    EXPECT_NEAR((d.top + d.bottom) / 2, (o.top + o.bottom) / 2, 1)
        << "expected the dialog centred down its window";
    dialog.End();
    ::DestroyWindow(owner);
  }
}

// ------------------------------------------------------ a whole update --

// Pumps the window's messages until `done` or the time is up.
template <typename Done>
bool PumpUntil(HWND dialog, Done done, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    MSG msg;
    // Looked at after every message: a fast run posts the whole update
    // faster than one drain of the queue, and a watcher (the inhibitor
    // held while writing) would see only its end.
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (dialog == nullptr || !::IsDialogMessageW(dialog, &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
      if (done()) return true;
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

TEST(WinWindowUpdateTest, AnUpdateOnTheSimulatedCameraRunsThroughTheWindowToItsEnd) {
  test::TempDir dir;
  FirmwareBuildOptions fw;
  fw.firmware_version = 0x0105;
  dir.write_bytes("fw.bin", build_firmware_file(fw));
  const std::string trace = dir.path() + "\\trace.txt";

  // It leaves the bus after the update and comes back, as the program's
  // simulated camera does.
  sim::SimOptions so = test::SimulatedCamera::Fast();
  so.replug = true;
  test::SimulatedCamera camera(so);
  MainWindowCore core;
  WinWindowOptions o;
  o.watchDevices = false;
  o.autoUpdate = true;
  o.preferDirect2D = false;
  o.config.directory = dir.path();
  o.tracePath = trace;
  bool plugged = true;
  o.simulatedPlugChanged = [&] {
    const bool now = !camera.sim().camera(0)->unplugged();
    const bool changed = now != plugged;
    plugged = now;
    return changed;
  };
  // The session's end is refused while the flash is written, with the
  // reason named, and allowed again afterwards.
  WinSleepInhibitor inhibitor;
  SetDefaultSleepInhibitor(&inhibitor);
  o.shutdownWindow = [&](HWND w, std::wstring reason) {
    inhibitor.SetShutdownWindow(w, std::move(reason));
  };
  struct ResetInhibitor {
    ~ResetInhibitor() { SetDefaultSleepInhibitor(nullptr); }
  } reset_inhibitor;
  WinMainWindow window(core, o);
  if (!window.Create(::GetModuleHandleW(nullptr), /*visible=*/false)) {
    GTEST_SKIP() << "no window can be made here (no display for Wine)";
  }
  // Wine has no shutdown block reasons (the call fails as not implemented):
  // there the reason cannot be expected, only the refusal.
  const bool systemNamesReasons = ::ShutdownBlockReasonCreate(window.hwnd(), L"probe") != FALSE;
  if (systemNamesReasons) ::ShutdownBlockReasonDestroy(window.hwnd());
  bool askedWhileWriting = false, blockedWhileWriting = false;
  LRESULT answerWhileWriting = TRUE;
  const std::u16string completed = u"Firmware update completed.";
  ASSERT_TRUE(PumpUntil(window.hwnd(), [&] {
    if (!askedWhileWriting && inhibitor.held()) {
      askedWhileWriting = true;
      blockedWhileWriting = inhibitor.shutdownBlocked();
      answerWhileWriting = ::SendMessageW(window.hwnd(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    }
    return core.frame().progressMessage.rfind(completed, 0) == 0;
  }, std::chrono::seconds(60))) << "the progress message should come to the completion, last: "
                                << ToUtf8(core.frame().progressMessage);
  ASSERT_TRUE(askedWhileWriting) << "the inhibitor expected held while the flash is written";
  EXPECT_EQ(answerWhileWriting, FALSE) << "the session's end expected refused while writing";
  EXPECT_EQ(blockedWhileWriting, systemNamesReasons)
      << "the reason expected named (ShutdownBlockReasonCreate) wherever the system can";
  EXPECT_EQ(Utf8(WindowText(window.control(res::id::kProgressMessage))),
            ToUtf8(core.frame().progressMessage))
      << "the window shows the completion";
  EXPECT_TRUE(Shown(window.control(res::id::kRingArea))) << "the ring shows at the end of a run";
  // The ring's last step comes when the window is idle again.
  EXPECT_TRUE(PumpUntil(window.hwnd(), [&] { return core.frame().percentText == u"100%"; },
                        std::chrono::seconds(10)))
      << "the ring should reach 100%, the percentage says " << ToUtf8(core.frame().percentText);
  EXPECT_EQ(Utf8(WindowText(window.control(res::id::kPercentage))), "100%")
      << "the percentage over the ring";
  EXPECT_GT(window.ring().dotCount(), 0u) << "the ring was drawn";

  // The camera leaves and comes back, on the test's virtual clock, which
  // only moves when the library waits: the system's device change starts
  // the pass that finds it again with the new firmware ("confirmed" when it
  // saw the camera gone first, "up-to-date" when the return came before).
  ::SendMessageW(window.hwnd(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  const auto back = [&] {
    const std::string view = core.frame().viewName();
    return view == "confirmed" || view == "up-to-date";
  };
  ASSERT_TRUE(PumpUntil(window.hwnd(), back, std::chrono::seconds(30)))
      << "the window should show the camera back with its new firmware, last view: "
      << core.frame().viewName();
  EXPECT_NE(core.frame().statusText.find(u"v0105"), std::u16string::npos)
      << "the status names the new version: " << ToUtf8(core.frame().statusText);
  EXPECT_EQ(Utf8(WindowText(window.control(res::id::kStatus))), ToUtf8(core.frame().statusText))
      << "the window shows the status";
  EXPECT_FALSE(Shown(window.control(res::id::kRingArea))) << "back to the status view";
  EXPECT_FALSE(inhibitor.held() || inhibitor.shutdownBlocked()) << "released after the write";
  EXPECT_EQ(::SendMessageW(window.hwnd(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE)
      << "the session may end once the update is over";
  window.Destroy();

  std::ifstream in(std::filesystem::path(trace), std::ios::binary);
  std::stringstream lines;
  lines << in.rdbuf();
  for (const char* want : {"title: LUMAVIX Q Firmware Update\n", "presentation: update-available\n",
                           "presentation: progress\n", "progress: Firmware update completed."}) {
    EXPECT_NE(lines.str().find(want), std::string::npos)
        << "the trace should have a line \"" << want << "\", it has:\n" << lines.str();
  }
}

}  // namespace
}  // namespace lumavix
