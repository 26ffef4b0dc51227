// What the Qt window renders of the core's decisions (those are tested
// without a window in tests/app): the confirmation dialog's keyboard, what
// screen readers are told, the ring at device resolution and every view's
// texts whole (the same tests run in a second process under
// QT_SCALE_FACTOR=2).
#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTextLayout>

#include "app/core/device_watch.h"
#include "app/core/ring_geometry.h"
#include "app/core/update_flow.h"
#include "app/qt/confirm_dialog.h"
#include "app/qt/qt_bridge.h"
#include "app/qt/ring.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"
#include "window_fixture.h"

namespace lumavix::qtapp_test {
namespace {

// ---------------------------------------------------------------- keyboard --

// The confirmation's own keys: OK has the focus first, Tab reaches Cancel,
// and Cancel's mnemonic cancels ("&Abbrechen": Alt+A).
TEST_F(WindowTest, TheConfirmationDialogsKeyboard) {
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string("q,fw=0104,") + kFast, UiLanguage::German);
  if (HasFatalFailure()) return;
  ConfirmDialog* dialog = &window().confirmDialog();
  bool sawDialog = false;
  QWidget* firstFocus = nullptr;
  QWidget* afterTab = nullptr;
  QTimer::singleShot(0, dialog, [&] {
    if (!QTest::qWaitFor([&] { return dialog->isVisible(); }, 2000)) return;
    sawDialog = true;
    dialog->activateWindow();
    QTest::qWait(20);
    firstFocus = QApplication::focusWidget();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    afterTab = QApplication::focusWidget();
    QTest::keyClick(dialog, Qt::Key_A, Qt::AltModifier);
    if (dialog->isVisible()) dialog->reject();
  });
  window().OnUpdateClicked();
  ASSERT_TRUE(sawDialog) << "the confirmation expected to come up";
  auto* ok = dialog->findChild<QPushButton*>("button1");
  auto* cancel = dialog->findChild<QPushButton*>("button2");
  EXPECT_EQ(ok->text(), "&OK");
  EXPECT_EQ(cancel->text(), "&Abbrechen");
  EXPECT_EQ(firstFocus, ok) << "OK expected to have the focus first";
  EXPECT_EQ(afterTab, cancel) << "Tab expected to reach Cancel";
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_FALSE(window().updateRunning()) << "Alt+A (Abbrechen) expected to cancel";
}

// ------------------------------------------------------- screen readers --

// Collects the accessibility events the window sends.
std::vector<std::pair<QAccessible::Event, QObject*>>* g_events = nullptr;
void RecordEvent(QAccessibleEvent* e) {
  if (g_events) g_events->push_back({e->type(), e->object()});
}

void Notify(MainWindow& w, std::uint32_t code, std::uint32_t value) {
  QCoreApplication::postEvent(&w, new NotifyEvent(code, value));
  QTest::qWait(0);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
}

TEST_F(WindowTest, TheRingExposesItsValueAndStatusChangesAreAnnounced) {
  WriteFirmware(0x0105, ProductIdQA);
  std::vector<std::pair<QAccessible::Event, QObject*>> events;
  g_events = &events;
  SetAnnouncementObserver(&RecordEvent);
  StartWindow(std::string("q,fw=0104,") + kFast);
  if (HasFatalFailure()) return;

  // Every control shown has a name.
  for (QWidget* w : window().findChildren<QWidget*>()) {
    if (!w->isVisibleTo(&window()) || !w->isWidgetType()) continue;
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    ASSERT_NE(a, nullptr);
    EXPECT_FALSE(a->text(QAccessible::Name).isEmpty())
        << w->objectName().toStdString() << " expected an accessible name";
  }

  ring()->show();
  Notify(window(), UPD_RANGE, 10000);
  Notify(window(), UPD_DOWNLOAD_POS, 5000);
  ASSERT_TRUE(WaitFor([&] { return ring()->lastAngle() == 180; }, 1000));
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(ring());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->role(), QAccessible::ProgressBar);
  EXPECT_EQ(a->text(QAccessible::Name), ToQString(RingAccessibleName(UiLanguage::English)));
  QAccessibleValueInterface* v = a->valueInterface();
  ASSERT_NE(v, nullptr) << "the ring expected to offer the value interface";
  EXPECT_EQ(v->currentValue().toInt(), 50);
  EXPECT_EQ(v->minimumValue().toInt(), 0);
  EXPECT_EQ(v->maximumValue().toInt(), 100);
  const bool valueEvent = std::any_of(events.begin(), events.end(), [&](const auto& e) {
    return e.first == QAccessible::ValueChanged && e.second == ring();
  });
  EXPECT_TRUE(valueEvent) << "the ring's change expected to be announced";

  events.clear();
  TogglePlug();
  ASSERT_TRUE(WaitForPasses(2));
  const bool statusEvent = std::any_of(events.begin(), events.end(), [&](const auto& e) {
    return e.first == QAccessible::NameChanged && e.second == control(1004);
  });
  EXPECT_TRUE(statusEvent) << "the new status text expected to be announced";
  SetAnnouncementObserver({});
  g_events = nullptr;
}

// ------------------------------------------------------------------ scale --

// The ring's dots are drawn into a surface of the screen's device pixels:
// at QT_SCALE_FACTOR=2 a dot is twice as wide and as sharp-edged as at 1,
// not a blurred enlargement. This case runs at both scales (ctest runs it a
// second time with QT_SCALE_FACTOR=2).
TEST_F(WindowTest, RingIsDrawnAtDeviceResolution) {
  StartWindow(std::string("none,") + kFast);
  if (HasFatalFailure()) return;
  ring()->show();
  Notify(window(), UPD_RANGE, 10000);
  Notify(window(), UPD_DOWNLOAD_POS, 5000);
  ASSERT_TRUE(WaitFor([&] { return ring()->lastAngle() == 180; }, 1000));
  const qreal dpr = ring()->devicePixelRatioF();
  const QImage img = ring()->grab().toImage();
  EXPECT_EQ(img.devicePixelRatio(), dpr);
  EXPECT_EQ(img.width(), static_cast<int>(ring()->width() * dpr))
      << "the grab expected in device pixels";

  // Across the dot at 90 degrees (right of the centre), horizontally.
  const RingDot dot = RingDotAt(90.0f);
  const QColor on = QColor::fromRgbF(kRingDotColour.r, kRingDotColour.g, kRingDotColour.b);
  const int y = static_cast<int>(std::lround(dot.y * dpr));
  int full = 0, partial = 0;
  for (int x = static_cast<int>((dot.x - 8) * dpr); x <= static_cast<int>((dot.x + 8) * dpr); ++x) {
    const QColor c = img.pixelColor(x, y);
    const int d = std::abs(c.green() - on.green()) + std::abs(c.red() - on.red());
    if (d < 12) ++full;
    else if (d < 130) ++partial;
  }
  EXPECT_GE(full, static_cast<int>(2 * kRingDotRadius * dpr) - 2)
      << "the dot expected " << 2 * kRingDotRadius * dpr << " device pixels wide at scale " << dpr;
  EXPECT_LE(partial, 2) << "the dot's edge expected sharp (at most one blended pixel a side)";

  // The percentage is text, drawn by the font at the same resolution.
  EXPECT_EQ(label(1043)->text(), "50%");
  EXPECT_GE(label(1043)->width(), label(1043)->sizeHint().width()) << "the percentage clipped";
}

// Every view of the window, as it lays it out, shows its texts whole in every
// language at this scale (the suite runs again at scale 2): long paths and
// file names included. A text may grow its place and the window; what
// follows the text stays below it, and nothing leaves the window.
class TextFitTest : public WindowTest, public ::testing::WithParamInterface<UiLanguage> {};

// A frame of the status view, as the window's core makes it from a view.
WindowFrame StatusFrame(const PresentationView& v, UiLanguage lang) {
  WindowFrame f;
  f.windowSize = v.windowSize;
  f.statusRect = v.statusRect;
  f.statusText = v.statusText;
  f.updateShown = v.updateButtonShown;
  f.updateRect = v.updateButtonRect;
  f.updateText = v.updateButtonText.empty() ? std::u16string(StatusText(lang, kSlotUpdateButton))
                                            : v.updateButtonText;
  f.linkShown = v.linkShown;
  f.linkRect = v.linkRect;
  f.linkMarkup = v.linkMarkup;
  f.chooseFileShown = v.chooseFileShown;
  f.chooseFileRect = v.chooseFileRect;
  f.chooseFileText = std::u16string(ChooseFileButtonText(lang));
  return f;
}

WindowFrame ProgressFrame(std::u16string message) {
  WindowFrame f;
  f.windowSize = kProgressWindowSize;
  f.progressView = true;
  f.statusShown = false;
  f.ringShown = true;
  f.progressMessageShown = true;
  f.progressMessage = std::move(message);
  return f;
}

struct ViewCase {
  std::string name;
  WindowFrame frame;
  // Must show whole at the end of the text (the last sentence), if not empty.
  std::u16string ending;
};

std::u16string LastLine(const std::u16string& text) {
  const std::size_t nl = text.rfind(u'\n');
  return nl == std::u16string::npos ? text : text.substr(nl + 1);
}

std::vector<ViewCase> EveryView(UiLanguage lang) {
  std::vector<ViewCase> views;
  for (Presentation p :
       {Presentation::NoCamera, Presentation::NotThisProduct, Presentation::UpdateAvailable,
        Presentation::UpToDate, Presentation::Interrupted, Presentation::InterruptedUnidentified,
        Presentation::Unreadable, Presentation::Confirmed, Presentation::CameraBusy}) {
    const PresentationView v =
        ComposePresentation(p, lang, kToolModel, kCameraModel, 0x0105, 0x0104);
    views.push_back({PresentationName(p), StatusFrame(v, lang), LastLine(v.statusText)});
  }
  // Folders and files as users have them: a 42-character path, one with
  // blanks, one that is a single run far wider than the line, a file's
  // realistic name.
  const std::u16string folders[] = {
      u"/home/dominique/Downloads/LUMAVIX_Q_v0105",
      u"/home/Dominique Marchand/Téléchargements/LUMAVIX Q/mise à jour 2024-10-15/fichiers",
      u"/home/dominique/Downloads/LUMAVIX_Q_firmware_update_package_2024-10-15_final/"
      u"extracted_files/firmware_images/LUMAVIX_Q",
  };
  for (const std::u16string& folder : folders) {
    const PresentationView v = ComposeFileProblemView(lang, FileProblem::NotFound, folder);
    views.push_back({"no file in " + ToUtf8(folder), StatusFrame(v, lang), LastLine(v.statusText)});
  }
  for (FileProblem problem : {FileProblem::Unreadable, FileProblem::NotFirmware,
                              FileProblem::BadCrc, FileProblem::OtherProduct}) {
    for (std::u16string_view name :
         {u"LUMAVIX_Q_firmware_v0105_2024-10-15.bin",
          u"LUMAVIX_Q_firmware_v0105_2024-10-15_release_candidate_build_20241015_signed.bin"}) {
      const PresentationView v = ComposeFileProblemView(lang, problem, name);
      views.push_back({"file problem " + std::to_string(static_cast<int>(problem)) + " " +
                           ToUtf8(name),
                       StatusFrame(v, lang), LastLine(v.statusText)});
    }
  }
  for (FailureKind k : {FailureKind::WriteFailed, FailureKind::VerifyFailed,
                        FailureKind::EraseFailed, FailureKind::NoAnswer, FailureKind::Refused,
                        FailureKind::Disconnected}) {
    const PresentationView offered = ComposePresentation(Presentation::UpdateAvailable, lang,
                                                         kToolModel, kCameraModel, 0x105, 0x104);
    const PresentationView v =
        ComposeFailureView(offered, lang, k, "Firmware Download/Validate Failure.");
    views.push_back({"failure " + std::to_string(static_cast<int>(k)), StatusFrame(v, lang),
                     LastLine(v.statusText)});
    const PresentationView gone =
        ComposePresentation(Presentation::NoCamera, lang, kToolModel, {}, 0, 0);
    const PresentationView g = ComposeFailureView(gone, lang, k, "EEPROM Access Failure.");
    views.push_back({"failure without a camera " + std::to_string(static_cast<int>(k)),
                     StatusFrame(g, lang), LastLine(g.statusText)});
    views.push_back({"progress after failure " + std::to_string(static_cast<int>(k)),
                     ProgressFrame(std::u16string(FailureHeadline(lang, k))), {}});
  }
  views.push_back({"progress", ProgressFrame(std::u16string(StatusText(lang, kSlotProgressMessage))), {}});
  views.push_back({"progress with the close refusal",
                   ProgressFrame(std::u16string(StatusText(lang, kSlotProgressMessage)) + u"\n\n" +
                                 std::u16string(CloseRefusedText(lang))),
                   std::u16string(CloseRefusedText(lang))});
  const std::u16string done = CompletionText(lang, 0x0105, kCameraModel);
  views.push_back({"completion", ProgressFrame(done), done});
  return views;
}

TEST_P(TextFitTest, EveryViewShowsItsTextsWhole) {
  const UiLanguage lang = GetParam();
  StartWindow(std::string("none,") + kFast, lang);
  if (HasFatalFailure()) return;
  const int dpi = window().logicalDpiX();
  auto px = [&](const PixelRect& r) {
    return QRect(ScalePixels(r.x, dpi), ScalePixels(r.y, dpi), ScalePixels(r.width, dpi),
                 ScalePixels(r.height, dpi));
  };
  // The height the text takes in a label like the window's at `width`, and
  // whether every line of it, wrapped as a label wraps, stays inside.
  struct Laid {
    int height = 0;
    bool linesInside = true;
  };
  auto lay = [](const QLabel* like, const QString& text, int width) {
    Laid out;
    QLabel probe;
    probe.setFont(like->font());
    probe.setWordWrap(true);
    probe.setAlignment(like->alignment());
    probe.setText(text);
    out.height = probe.heightForWidth(width);
    for (const QString& paragraph : text.split(u'\n')) {
      QTextLayout layout(paragraph, like->font());
      QTextOption option;
      option.setWrapMode(QTextOption::WordWrap);
      layout.setTextOption(option);
      layout.beginLayout();
      for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (line.naturalTextWidth() > width + 0.5) out.linesInside = false;
      }
      layout.endLayout();
    }
    return out;
  };

  for (const ViewCase& v : EveryView(lang)) {
    const std::string what = std::string(LanguageName(lang)) + ", " + v.name;
    const WindowFrame f = window().FitFrame(v.frame);
    const QRect client(0, 0, px({0, 0, f.windowSize.width, 0}).width(),
                       px({0, 0, 0, f.windowSize.height}).height());
    int bottom = 0;
    if (f.statusShown) {
      const QRect place = px(f.statusRect);
      const Laid laid = lay(label(1004), ToQString(f.statusText), place.width());
      EXPECT_TRUE(laid.linesInside) << what << ": a line wider than the status line: \""
                                    << ToUtf8(f.statusText) << "\"";
      EXPECT_LE(laid.height, place.height())
          << what << ": the status text (" << laid.height << " px) clipped by its place ("
          << place.height() << " px): \"" << ToUtf8(f.statusText) << "\"";
      const int textBottom = place.y() + laid.height;
      auto below = [&](bool shown, const PixelRect& r, const char* control) {
        if (!shown || r.width == 0) return;
        EXPECT_GE(px(r).y(), textBottom) << what << ": the " << control << " covers the text";
        bottom = std::max(bottom, px(r).bottom());
      };
      below(f.updateShown, f.updateRect, "Update button");
      below(f.linkShown, f.linkRect, "link");
      below(f.chooseFileShown, f.chooseFileRect, "choose-file button");
      bottom = std::max(bottom, place.bottom());
    }
    if (f.progressMessageShown) {
      const QRect place = px(f.progressMessageRect);
      const Laid laid = lay(label(1045), ToQString(f.progressMessage), place.width());
      EXPECT_TRUE(laid.linesInside) << what << ": a line wider than the progress message";
      EXPECT_LE(laid.height, place.height())
          << what << ": the progress message clipped: \"" << ToUtf8(f.progressMessage) << "\"";
      bottom = std::max(bottom, place.bottom());
    }
    EXPECT_LE(bottom, client.bottom()) << what << ": a text or button below the window's edge";
    if (!v.ending.empty()) {
      const std::u16string& shown = f.statusShown ? f.statusText : f.progressMessage;
      EXPECT_TRUE(shown.ends_with(v.ending))
          << what << ": the last sentence expected whole: \"" << ToUtf8(v.ending) << "\"";
    }
  }

  // The lines and buttons of fixed width.
  const QFont font = label(1004)->font();
  for (UpdatePhase p : {UpdatePhase::Erase, UpdatePhase::Program, UpdatePhase::Verify}) {
    const QString line = ToQString(PhaseLineText(lang, p, 100, 89));
    EXPECT_LE(QFontMetrics(font).horizontalAdvance(line), px(kPhaseLineRect).width())
        << LanguageName(lang) << ": the phase line expected on one line: " << line.toStdString();
  }
  for (const char* name : {"button1", "button2"}) {
    auto* b = window().confirmDialog().findChild<QPushButton*>(name);
    EXPECT_GE(b->width(), b->sizeHint().width()) << LanguageName(lang) << ": " << name << " clipped";
  }
  QPushButton probe(ToQString(ChooseFileButtonText(lang)));
  probe.setFont(font);
  EXPECT_LE(probe.sizeHint().width(), px(kChooseFileRect).width())
      << LanguageName(lang) << ": choose-file clipped";
  QPushButton update(ToQString(StatusText(lang, kSlotUpdateButton)));
  update.setFont(font);
  EXPECT_LE(update.sizeHint().width(), px(kFailureUpdateButtonRect).width())
      << LanguageName(lang) << ": Update clipped in the failure view";
}

// The view of a damaged file with a realistic name, in the window itself:
// the status line holds the whole text, the last sentence included, and the
// choose-file button sits below it.
TEST_P(TextFitTest, TheWindowShowsADamagedFilesViewWhole) {
  const UiLanguage lang = GetParam();
  const std::string what = LanguageName(lang);
  WriteFirmware(0x0105, ProductIdQA, "LUMAVIX_Q_firmware_v0105_2024-10-15.bin");
  {
    // Damaged: a byte after the checksum changed.
    std::fstream f(work_ / "LUMAVIX_Q_firmware_v0105_2024-10-15.bin",
                   std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(40);
    f.put('\x5A');
  }
  StartWindow(std::string("q,fw=0104,") + kFast, lang);
  if (HasFatalFailure()) return;
  auto* status = label(1004);
  const QString expected = ToQString(FileProblemText(
      lang, FileProblem::BadCrc, u"LUMAVIX_Q_firmware_v0105_2024-10-15.bin"));
  ASSERT_EQ(window().windowTitle(), ToQString(WindowTitle(lang, ModelVariant::Q)));
  EXPECT_EQ(status->text(), expected) << what << ": the damaged file's view expected";
  EXPECT_LE(status->heightForWidth(status->width()), status->height())
      << what << ": the status text expected whole";
  auto* choose = window().findChild<QPushButton*>("chooseFile");
  ASSERT_NE(choose, nullptr);
  EXPECT_GE(choose->y(), status->y() + status->heightForWidth(status->width()))
      << what << ": the choose-file button expected below the text";
  EXPECT_LE(choose->geometry().bottom(), window().height()) << what << ": button inside";
}

INSTANTIATE_TEST_SUITE_P(Languages, TextFitTest, ::testing::ValuesIn(kAllLanguages),
                         [](const ::testing::TestParamInfo<UiLanguage>& tp) {
                           return std::string(LanguageName(tp.param));
                         });

}  // namespace
}  // namespace lumavix::qtapp_test
