// The window's behaviour over time: device changes folded into one pass, an
// update run on the simulated camera from the Update button to the
// completion text, failing runs and refused starts that come back to a
// status view, and the camera pulled while the confirmation is open.
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

#include "app/core/device_watch.h"
#include "app/qt/confirm_dialog.h"
#include "app/qt/qt_bridge.h"
#include "app/qt/ring.h"
#include "firmware/product_config.h"
#include "window_fixture.h"

namespace lumavix::qtapp_test {
namespace {

const QString kFailureTexts[] = {"Firmware Download/Validate Failure.",
                                 "EEPROM Access Failure."};
const FailureKind kFailureKinds[] = {FailureKind::WriteFailed, FailureKind::VerifyFailed,
                                     FailureKind::EraseFailed, FailureKind::NoAnswer,
                                     FailureKind::Refused, FailureKind::Disconnected};

// The failure kind whose headline `line` is, in `lang`.
std::optional<FailureKind> HeadlineKind(const QString& line, UiLanguage lang) {
  for (FailureKind k : kFailureKinds) {
    if (line == ToQString(FailureHeadline(lang, k))) return k;
  }
  return std::nullopt;
}

// ------------------------------------------------------ device changes --

TEST_F(WindowTest, ABurstOfDeviceChangesGivesOnePassAfterTheLast) {
  StartWindow(std::string("none,") + kFast);
  if (HasFatalFailure()) return;
  ASSERT_EQ(window().passCount(), 1) << "one pass at start";

  // Each change (re)arms the one-shot timer 1: a burst, however slow the
  // machine, ends in one pass, and none comes before 100 ms have passed
  // since the last change (Qt's coarse timers may fire up to 5 % early).
  QElapsedTimer clock;
  for (int i = 0; i < 3; ++i) window().OnDeviceChange();
  clock.start();
  EXPECT_EQ(window().passCount(), 1) << "no pass expected while the changes keep coming";
  ASSERT_TRUE(WaitForPasses(2, 2000)) << "a pass expected after the burst";
  EXPECT_GE(clock.elapsed(), 95) << "the pass expected 100 ms after the last change";
  QTest::qWait(250);
  EXPECT_EQ(window().passCount(), 2) << "exactly one pass expected for the burst";

  // A change while the timer runs starts it again. Told apart only when the
  // second change came well before the first's 100 ms were up.
  clock.restart();
  window().OnDeviceChange();
  QTest::qWait(50);
  const qint64 gap = clock.restart();
  window().OnDeviceChange();
  ASSERT_TRUE(WaitForPasses(3, 2000)) << "a pass expected after the second change";
  if (gap < 80) {
    EXPECT_GE(clock.elapsed(), 95) << "the second change expected to restart timer 1";
    QTest::qWait(250);
    EXPECT_EQ(window().passCount(), 3) << "one pass expected for the two changes";
  }
}

TEST_F(WindowTest, ReplugAfterAnUnplugFindsTheCameraAgain) {
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string("q,fw=0104,") + kFast);
  if (HasFatalFailure()) return;
  TogglePlug();
  ASSERT_TRUE(WaitForPasses(2)) << "a pass expected after the unplug";
  EXPECT_EQ(statusText(), "Please connect your LUMAVIX Q.");
  EXPECT_FALSE(control(1001)->isVisible()) << "Update expected hidden without a camera";
  TogglePlug();
  ASSERT_TRUE(WaitForPasses(3)) << "a pass expected after the replug";
  EXPECT_EQ(statusText(), ToQString(UpdateAvailableText(UiLanguage::English, kCameraModel,
                                                        0x0105, 0x0104)));
  EXPECT_TRUE(control(1001)->isVisible() && control(1001)->isEnabled())
      << "Update expected visible and enabled again";
}

// -------------------------------------------------------- update runs --

// Clicks Update and then, in the confirmation, OK (or runs `inDialog`
// instead while the dialog is up). Returns once the dialog has ended.
void ClickUpdateAndConfirm(MainWindow& w, std::function<void()> inDialog = {}) {
  ConfirmDialog* dialog = &w.confirmDialog();
  QTimer::singleShot(0, dialog, [dialog, inDialog] {
    // The dialog's own event loop runs here.
    if (!QTest::qWaitFor([dialog] { return dialog->isVisible(); }, 2000)) return;
    if (inDialog) {
      inDialog();
      return;
    }
    auto* ok = dialog->findChild<QPushButton*>("button1");
    if (ok) QTest::mouseClick(ok, Qt::LeftButton);
  });
  QTest::mouseClick(static_cast<QPushButton*>(w.control(1001)), Qt::LeftButton);
}

class UpdateRunTest : public WindowTest, public ::testing::WithParamInterface<UiLanguage> {};

TEST_P(UpdateRunTest, RunsToTheCompletionTextAndTheReplugConfirmsIt) {
  const UiLanguage lang = GetParam();
  const std::string what = LanguageName(lang);
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string("q,fw=0104,") + kFast, lang);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(control(1001)->isVisible()) << what << ": Update expected offered";

  ClickUpdateAndConfirm(window());
  EXPECT_FALSE(window().confirmDialog().isVisible()) << what << ": dialog expected closed";
  // The progress view is up at once.
  EXPECT_EQ(window().frameGeometry().size(), Scaled(400, 320)) << what << ": progress view expected 400 x 320";
  EXPECT_TRUE(control(1044)->isVisible()) << what << ": ring expected visible";
  EXPECT_FALSE(control(1004)->isVisible()) << what << ": status line expected hidden";

  ASSERT_TRUE(WaitFor([&] { return !window().updateRunning(); }, 20000))
      << what << ": the run expected to end";
  const QString full = ToQString(PercentText(lang, 100));
  ASSERT_TRUE(WaitFor([&] { return label(1043)->text() == full; }, 2000))
      << what << ": percentage expected " << full.toStdString() << ", is "
      << label(1043)->text().toStdString();

  EXPECT_TRUE(boxes_.empty()) << what << ": no message box expected";
  EXPECT_EQ(label(1045)->text(), ToQString(CompletionText(lang, 0x0105, kCameraModel)))
      << what << ": completion text expected";
  EXPECT_EQ(label(1004)->text(), "Firmware Download/Validate Success.")
      << what << ": status expected the success text";
  EXPECT_EQ(ring()->lastAngle(), 360) << what << ": the ring expected closed";
  EXPECT_GE(ring()->dotsDrawn(), 200) << what << ": a full ring of dots expected";
  for (int id : {1044, 1043, 1045}) {
    EXPECT_TRUE(control(id)->isVisible()) << what << ": control " << id << " expected visible";
  }
  EXPECT_FALSE(control(1001)->isVisible()) << what << ": Update expected hidden after the run";
  EXPECT_TRUE(control(1001)->isEnabled()) << what << ": action controls expected enabled again";

  // Unplug and replug: the camera now carries the file's version.
  const int passes = window().passCount();
  TogglePlug();
  ASSERT_TRUE(WaitForPasses(passes + 1)) << what << ": pass after the unplug";
  TogglePlug();
  ASSERT_TRUE(WaitForPasses(passes + 2)) << what << ": pass after the replug";
  EXPECT_EQ(statusText(), ToQString(ConfirmedText(lang, kToolModel, 0x0105)))
      << what << ": the update expected confirmed after the replug";
  EXPECT_FALSE(control(1001)->isVisible()) << what << ": no Update button once confirmed";

  // The next pass is an ordinary one again.
  window().OnDeviceChange();
  ASSERT_TRUE(WaitForPasses(passes + 3)) << what << ": a later pass";
  EXPECT_EQ(statusText(), ToQString(UpToDateText(lang, kCameraModel, 0x0105)))
      << what << ": up to date expected on a later pass";
  EXPECT_EQ(window().frameGeometry().size(), Scaled(460, 170)) << what << ": status view expected";
  EXPECT_EQ(ring()->dotsDrawn(), 0) << what << ": the pass expected to empty the ring";
}

INSTANTIATE_TEST_SUITE_P(Languages, UpdateRunTest,
                         ::testing::Values(UiLanguage::English, UiLanguage::German,
                                           UiLanguage::Japanese),
                         [](const ::testing::TestParamInfo<UiLanguage>& tp) {
                           return std::string(LanguageName(tp.param));
                         });

// A run that fails on the device leaves the progress view for a status view
// of the camera as it is now, with the failure on top.
struct FailureCase {
  const char* name;
  const char* fault;
  bool cameraStays;  // the camera is still there after the run
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailedRunTest
    : public WindowTest,
      public ::testing::WithParamInterface<std::tuple<FailureCase, UiLanguage>> {};

// The status view after the failure, in the user's language: what happened,
// whether the camera may be unplugged, what to do now, and the engine's
// English status as the detail line, the only English in it.
TEST_P(FailedRunTest, EndsInAStatusViewThatSaysTheRunFailed) {
  const FailureCase& c = std::get<0>(GetParam());
  const UiLanguage lang = std::get<1>(GetParam());
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string("q,fw=0104,") + kFast + "," + c.fault, lang);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(control(1001)->isVisible()) << c.name << ": Update expected offered";
  const int passes = window().passCount();

  window().StartUpdate();
  ASSERT_TRUE(WaitFor([&] { return !window().updateRunning(); }, 20000))
      << c.name << ": the run expected to end";
  ASSERT_TRUE(WaitForPasses(passes + 1))
      << c.name << ": a pass expected after the failed run, the window is still on \""
      << label(1045)->text().toStdString() << "\"";

  const QString status = statusText();
  const QStringList lines = status.split('\n');
  ASSERT_EQ(lines.size(), 4) << c.name << ": headline, safety, what to do, detail expected in \""
                             << status.toStdString() << "\"";
  const std::optional<FailureKind> kind = HeadlineKind(lines[0], lang);
  ASSERT_TRUE(kind.has_value()) << c.name << ": the status line expected to start with a failure "
                                << "headline in the user's language, is \""
                                << status.toStdString() << "\"";
  EXPECT_NE(*kind, FailureKind::Refused) << c.name << ": the run touched the camera";
  EXPECT_EQ(lines[1], ToQString(FailureSafetyText(lang, *kind)))
      << c.name << ": whether the camera may be unplugged expected second";
  const QString detail = lines[3];
  EXPECT_TRUE(detail == ToQString(DetailLabel(lang)) + " " + kFailureTexts[0] ||
              detail == ToQString(DetailLabel(lang)) + " " + kFailureTexts[1])
      << c.name << ": the engine's status expected as the detail line, is \""
      << detail.toStdString() << "\"";
  if (lang != UiLanguage::English) {
    // Nothing English above the detail line.
    const QString english[] = {ToQString(FailureHeadline(UiLanguage::English, *kind)),
                               ToQString(FailureSafetyText(UiLanguage::English, *kind)),
                               ToQString(RetryAdviceText(UiLanguage::English)),
                               "Please connect your", "Firmware Download", "EEPROM Access"};
    for (int i = 0; i < 3; ++i) {
      for (const QString& e : english) {
        EXPECT_FALSE(lines[i].contains(e)) << c.name << ": line " << i << " \""
                                           << lines[i].toStdString() << "\" expected without \""
                                           << e.toStdString() << "\"";
      }
    }
  }
  EXPECT_FALSE(status.contains(ToQString(StatusText(lang, kSlotProgressMessage))))
      << c.name << ": \"Update in progress...\" must not stay";
  auto* statusLabel = label(1004);
  EXPECT_LE(statusLabel->heightForWidth(statusLabel->width()), statusLabel->height())
      << c.name << ": the failure text expected to fit its line, unclipped";
  EXPECT_TRUE(control(1004)->isVisible()) << c.name << ": status line expected visible";
  for (int id : {1044, 1043, 1045}) {
    EXPECT_FALSE(control(id)->isVisible()) << c.name << ": control " << id << " expected hidden";
  }
  EXPECT_EQ(window().frameGeometry().size(), Scaled(460, 260))
      << c.name << ": the failure's status view expected 460 x 260";

  const QString rest = lines[2];
  if (c.cameraStays) {
    // What to do: try again; the button is there for it, below the text.
    EXPECT_EQ(rest, ToQString(RetryAdviceText(lang)))
        << c.name << ": the advice to try again expected below the failure";
    EXPECT_TRUE(control(1001)->isVisible() && control(1001)->isEnabled())
        << c.name << ": Update expected back, visible and enabled";
    EXPECT_GE(control(1001)->y(), statusLabel->geometry().bottom())
        << c.name << ": Update expected below the failure text";
  } else {
    // What to do: connect the camera again.
    EXPECT_EQ(rest, ToQString(ConnectText(lang, kToolModel)))
        << c.name << ": the connect request expected below the failure";
    EXPECT_FALSE(control(1001)->isVisible()) << c.name << ": nothing to update without a camera";
  }
  EXPECT_TRUE(boxes_.empty()) << c.name << ": no message box expected";

  // A camera gone by the end of the run was unplugged during it.
  EXPECT_EQ(*kind == FailureKind::Disconnected, !c.cameraStays)
      << c.name << ": \"" << lines[0].toStdString() << "\"";

  // A pass that finds the camera as it was keeps the explanation; once the
  // camera is back, it is shown as it is now.
  window().OnDeviceChange();
  ASSERT_TRUE(WaitForPasses(passes + 2)) << c.name << ": pass after the device change";
  EXPECT_TRUE(statusText().contains(lines[0])) << c.name << ": the failure wiped while nothing changed";
  if (!c.cameraStays) {
    TogglePlug();
    ASSERT_TRUE(WaitForPasses(passes + 3)) << c.name << ": pass after the replug";
    EXPECT_FALSE(statusText().contains(lines[0])) << c.name << ": the failure outlived the change";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedRunTest,
    ::testing::Combine(::testing::Values(FailureCase{"unplugged", "unplug-after=300", false},
                                         FailureCase{"flash_stays_busy", "stuck-busy=1", true}),
                       ::testing::Values(UiLanguage::English, UiLanguage::German)),
    [](const ::testing::TestParamInfo<std::tuple<FailureCase, UiLanguage>>& tp) {
      return std::string(std::get<0>(tp.param).name) + "_" +
             LanguageName(std::get<1>(tp.param));
    });

// The firmware file changes after the pass has read it (deleted, emptied,
// damaged): the update writes the image that pass checked and presented, to
// its verified end, and never what the path holds since.
struct FileChangeCase {
  const char* name;
  void (*spoil)(const std::filesystem::path& file);
};

void PrintTo(const FileChangeCase& c, std::ostream* os) { *os << c.name; }

class FileChangedTest : public WindowTest, public ::testing::WithParamInterface<FileChangeCase> {};

TEST_P(FileChangedTest, TheUpdateWritesTheFileAsThePassReadIt) {
  const FileChangeCase& c = GetParam();
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string("q,fw=0104,") + kFast);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(control(1001)->isVisible()) << c.name << ": Update expected offered";
  c.spoil(work_ / "fw.bin");

  window().StartUpdate();
  ASSERT_TRUE(WaitFor([&] { return !window().updateRunning(); }, 20000))
      << c.name << ": the run expected to end";
  EXPECT_TRUE(boxes_.empty()) << c.name << ": no message box expected";
  EXPECT_EQ(label(1045)->text(), ToQString(CompletionText(UiLanguage::English, 0x0105, kCameraModel)))
      << c.name << ": the completion of the version the pass presented expected";
  EXPECT_EQ(label(1004)->text(), "Firmware Download/Validate Success.")
      << c.name << ": status expected the success text";
}

INSTANTIATE_TEST_SUITE_P(
    AfterThePass, FileChangedTest,
    ::testing::Values(
        FileChangeCase{"file_deleted",
                       [](const std::filesystem::path& f) { std::filesystem::remove(f); }},
        FileChangeCase{"file_emptied",
                       [](const std::filesystem::path& f) {
                         std::ofstream(f, std::ios::binary | std::ios::trunc);
                       }},
        FileChangeCase{"file_corrupted",
                       [](const std::filesystem::path& f) {
                         std::fstream io(f, std::ios::binary | std::ios::in | std::ios::out);
                         io.seekg(0x8000);
                         const int old = io.get();
                         io.seekp(0x8000);
                         io.put(static_cast<char>(old ^ 0xFF));
                       }}),
    [](const ::testing::TestParamInfo<FileChangeCase>& tp) {
      return std::string(tp.param.name);
    });

// ------------------------------------------------------- confirmation --

TEST_F(WindowTest, UnpluggingDuringTheConfirmationClosesItAndStartsNothing) {
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string("q,fw=0104,") + kFast);
  if (HasFatalFailure()) return;
  const int passes = window().passCount();
  bool sawDialog = false;
  ClickUpdateAndConfirm(window(), [&] {
    sawDialog = true;
    TogglePlug();
    // The pass ends the dialog; if it does not, end it here so that the
    // test fails instead of hanging.
    if (!QTest::qWaitFor([&] { return !window().confirmDialog().isVisible(); }, 2000)) {
      ADD_FAILURE() << "the pass expected to close the confirmation";
      window().confirmDialog().reject();
    }
  });
  ASSERT_TRUE(sawDialog) << "the confirmation expected to come up";
  EXPECT_GE(window().passCount(), passes + 1) << "a pass expected after the unplug";
  EXPECT_FALSE(window().confirmDialog().isVisible()) << "confirmation expected closed";
  EXPECT_FALSE(window().updateRunning()) << "no update expected to start";
  EXPECT_FALSE(control(1044)->isVisible()) << "no progress view expected";
  EXPECT_EQ(statusText(), "Please connect your LUMAVIX Q.");
  EXPECT_TRUE(boxes_.empty()) << "no message box expected";
}

TEST_F(WindowTest, CancelInTheConfirmationLeavesTheWindowAsItWas) {
  WriteFirmware(0x0105, ProductIdQA);
  StartWindow(std::string("q,fw=0104,") + kFast);
  if (HasFatalFailure()) return;
  const QString before = statusText();
  ClickUpdateAndConfirm(window(), [&] {
    auto* cancel = window().confirmDialog().findChild<QPushButton*>("button2");
    ASSERT_NE(cancel, nullptr);
    QTest::mouseClick(cancel, Qt::LeftButton);
  });
  EXPECT_FALSE(window().confirmDialog().isVisible()) << "confirmation expected closed";
  EXPECT_FALSE(window().updateRunning()) << "no update expected after Cancel";
  EXPECT_EQ(statusText(), before) << "status line expected unchanged";
  EXPECT_TRUE(control(1001)->isVisible() && control(1001)->isEnabled())
      << "Update expected still offered";
  EXPECT_EQ(window().frameGeometry().size(), Scaled(460, 170));
}

}  // namespace
}  // namespace lumavix::qtapp_test
