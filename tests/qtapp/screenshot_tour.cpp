// Pictures of every view of the window in every language, in the default
// and in a dark theme, for people to look at: the connect request, the
// missing and the damaged firmware file, the offer, the progress at each
// phase, the completion, a failed run and the camera it left unfinished.
// Runs only when LUMAVIX_SCREENSHOTS names the folder for the PNG files
// (tests/qtapp/screenshots.sh sets it); the checks that the texts fit are
// TextFitTest's.
#include <cstdlib>
#include <fstream>
#include <string>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>

#include "app/qt/confirm_dialog.h"
#include "app/qt/qt_bridge.h"
#include "firmware/product_config.h"
#include "window_fixture.h"

namespace lumavix::qtapp_test {
namespace {

QPalette DarkPalette() {
  QPalette p;
  const QColor window(45, 45, 48), base(30, 30, 30), text(230, 230, 230);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(60, 60, 64));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::ToolTipBase, base);
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::Highlight, QColor(42, 130, 218));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(90, 170, 255));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(130, 130, 130));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(130, 130, 130));
  return p;
}

class ScreenshotTour : public WindowTest,
                       public ::testing::WithParamInterface<std::tuple<UiLanguage, bool>> {
 protected:
  void Shot(const QString& view) {
    QApplication::processEvents();
    const QString file = QString("%1/%2-%3-%4.png")
                             .arg(folder_)
                             .arg(++count_, 2, 10, QChar('0'))
                             .arg(LanguageName(lang_), view);
    EXPECT_TRUE(window().grab().save(file, "PNG")) << file.toStdString();
  }
  void Restart(const std::string& profile) {
    StopWindow();
    StartWindow(profile, lang_);
  }

  QString folder_;
  UiLanguage lang_ = UiLanguage::English;
  int count_ = 0;
};

TEST_P(ScreenshotTour, EveryView) {
  const char* root = std::getenv("LUMAVIX_SCREENSHOTS");
  if (root == nullptr || *root == '\0') GTEST_SKIP() << "LUMAVIX_SCREENSHOTS names no folder";
  const auto [lang, dark] = GetParam();
  lang_ = lang;
  folder_ = QString("%1/%2").arg(QString::fromLocal8Bit(root), dark ? "dark" : "normal");
  QDir().mkpath(folder_);
  const QPalette saved = QApplication::palette();
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setPalette(dark ? DarkPalette() : QApplication::style()->standardPalette());
  InstallQtTranslations(lang);
  const std::string slow = "latency-us=40,busy=0";

  StartWindow("none," + slow, lang);
  if (HasFatalFailure()) return;
  Shot("connect");

  // No file beside the camera, then a damaged one with a realistic name.
  Restart("q,fw=0104," + slow);
  Shot("no-file");
  const std::string name = "LUMAVIX_Q_firmware_v0105_2024-10-15.bin";
  WriteFirmware(0x0105, ProductIdQA, name);
  {
    std::fstream f(work_ / name, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(40);
    f.put('\x5A');
  }
  Restart("q,fw=0104," + slow);
  Shot("damaged-file");
  std::filesystem::remove(work_ / name);

  // The offer, the progress at each phase (a picture whenever the line
  // under the ring names another phase), the completion.
  WriteFirmware(0x0105, ProductIdQA, name);
  Restart("q,fw=0104," + slow);
  Shot("update-available");
  window().StartUpdate();
  QString phase;
  int progressShots = 0;
  WaitFor(
      [&] {
        auto* line = window().findChild<QLabel*>("phaseLine");
        // The step and the phase's name, before the "..." of every language.
        QString head = line ? line->text().section(QStringLiteral("..."), 0, 0) : "";
        if (!head.isEmpty() && head != phase && progressShots < 6) {
          phase = head;
          // Into the phase a little, so that the ring shows it.
          QTest::qWait(40);
          Shot(QString("progress-%1").arg(++progressShots));
        }
        return !window().updateRunning();
      },
      60000);
  WaitFor([&] { return label(1043)->text() == "100%"; }, 2000);
  Shot("completion");

  // A run cut off by an unplug in the middle of the writing, and the
  // unfinished camera put back: the cut leaves it out, one toggle plugs it.
  Restart("q,fw=0104,latency-us=0,busy=0,unplug-after=3000");
  const int passes = window().passCount();
  window().StartUpdate();
  WaitFor([&] { return !window().updateRunning(); }, 20000);
  WaitForPasses(passes + 1);
  Shot("failure");
  TogglePlug();
  WaitForPasses(passes + 2);
  Shot("interrupted");

  StopWindow();
  QApplication::setPalette(saved);
}

INSTANTIATE_TEST_SUITE_P(
    Tour, ScreenshotTour,
    ::testing::Combine(::testing::ValuesIn(kAllLanguages), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<UiLanguage, bool>>& tp) {
      return std::string(LanguageName(std::get<0>(tp.param))) +
             (std::get<1>(tp.param) ? "_dark" : "_normal");
    });

}  // namespace
}  // namespace lumavix::qtapp_test
