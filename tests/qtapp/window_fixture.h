// The main window in-process, with the simulated camera behind it as
// --simulate installs it. Each test runs in a private working directory (the
// window takes the first *.bin of the working directory) with a private
// runtime directory for the named locks, and in the language of the locale
// variables it sets. Modal message boxes are answered as they come up (OK,
// or Cancel to a question) and their texts are kept, so that no test blocks
// on one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <QRect>
#include <QString>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/core/texts.h"
#include "app/qt/app_platform.h"
#include "app/qt/main_window.h"

class QLabel;
class QPushButton;

namespace lumavix {

class RingWidget;

// Names instead of bytes in the test parameters that failures print.
inline void PrintTo(UiLanguage lang, std::ostream* os) { *os << static_cast<int>(lang); }

namespace qtapp_test {

// Fast simulated cameras: no transfer latency, no erase/program busy time.
inline constexpr const char* kFast = "latency-us=0,busy=0";

// "en_US.UTF-8", "fr_FR.UTF-8", ... for LC_ALL.
[[nodiscard]] const char* LocaleFor(UiLanguage lang);
[[nodiscard]] const char* LanguageName(UiLanguage lang);
inline constexpr UiLanguage kAllLanguages[] = {UiLanguage::English, UiLanguage::French,
                                               UiLanguage::German,  UiLanguage::Japanese,
                                               UiLanguage::Italian, UiLanguage::Dutch};

// The camera's model text as the user-data read gives it, and the tool's.
inline constexpr std::u16string_view kCameraModel = u"LUMAVIX Q ";
inline constexpr std::u16string_view kToolModel = u"LUMAVIX Q";

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a firmware file into the working directory.
  void WriteFirmware(std::uint16_t version, std::uint16_t productId,
                     const std::string& name = "fw.bin");
  // Creates the platform with the simulated camera `profile` and the window
  // in `lang`, runs its initialisation (the first pass) and shows it.
  void StartWindow(const std::string& profile, UiLanguage lang = UiLanguage::English);
  // Ends the window and the platform (waits for a running worker).
  void StopWindow();

  // Unplugs or replugs the simulated camera and reports the change to the
  // window as the system would.
  void TogglePlug();
  // Processes events until `done` or `timeoutMs`; returns `done()`.
  template <typename F>
  bool WaitFor(F done, int timeoutMs = 5000);
  // Waits until the window has run `count` passes in all.
  bool WaitForPasses(int count, int timeoutMs = 3000);

  [[nodiscard]] MainWindow& window() { return *window_; }
  [[nodiscard]] AppPlatform& platform() { return *platform_; }
  [[nodiscard]] QWidget* control(int id) const;
  [[nodiscard]] QLabel* label(int id) const;
  [[nodiscard]] QPushButton* button(int id) const;
  [[nodiscard]] RingWidget* ring() const;
  [[nodiscard]] QString statusText() const;
  // A place at 96 dpi in the window's units.
  [[nodiscard]] QRect Scaled(int x, int y, int w, int h) const;
  [[nodiscard]] QSize Scaled(int w, int h) const;

  std::filesystem::path root_;
  std::filesystem::path work_;
  // Texts of the message boxes answered so far.
  std::vector<QString> boxes_;

 private:
  void AnswerMessageBoxes();

  std::filesystem::path savedCwd_;
  std::string savedRuntime_;
  bool hadRuntime_ = false;
  std::unique_ptr<AppPlatform> platform_;
  std::unique_ptr<MainWindow> window_;
  QTimer boxTimer_;
};

template <typename F>
bool WindowTest::WaitFor(F done, int timeoutMs) {
  return QTest::qWaitFor(done, timeoutMs);
}

}  // namespace qtapp_test
}  // namespace lumavix
