#include "window_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "app/core/device_watch.h"
#include "app/qt/qt_bridge.h"
#include "app/qt/ring.h"
#include "firmware/image.h"

namespace fs = std::filesystem;

namespace lumavix::qtapp_test {

const char* LocaleFor(UiLanguage lang) {
  switch (lang) {
    case UiLanguage::English:
      return "en_US.UTF-8";
    case UiLanguage::French:
      return "fr_FR.UTF-8";
    case UiLanguage::German:
      return "de_DE.UTF-8";
    case UiLanguage::Japanese:
      return "ja_JP.UTF-8";
    case UiLanguage::Italian:
      return "it_IT.UTF-8";
    case UiLanguage::Dutch:
      return "nl_NL.UTF-8";
  }
  return "C";
}

const char* LanguageName(UiLanguage lang) {
  static const char* const names[] = {"English", "French",  "German",
                                      "Japanese", "Italian", "Dutch"};
  return names[static_cast<int>(lang)];
}

void WindowTest::SetUp() {
  char tmpl[] = "/tmp/lumavix_qtapp_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr) << "a private temporary directory";
  root_ = tmpl;
  work_ = root_ / "work";
  fs::create_directories(work_);
  const fs::path runtime = root_ / "run";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);

  savedCwd_ = fs::current_path();
  fs::current_path(work_);
  if (const char* r = std::getenv("XDG_RUNTIME_DIR")) {
    hadRuntime_ = true;
    savedRuntime_ = r;
  }
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

  boxTimer_.setInterval(10);
  QObject::connect(&boxTimer_, &QTimer::timeout, [this] { AnswerMessageBoxes(); });
  boxTimer_.start();
}

void WindowTest::TearDown() {
  StopWindow();
  boxTimer_.stop();
  unsetenv("LC_ALL");
  if (hadRuntime_) {
    setenv("XDG_RUNTIME_DIR", savedRuntime_.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
  std::error_code ec;
  fs::current_path(savedCwd_, ec);
  fs::remove_all(root_, ec);
}

void WindowTest::AnswerMessageBoxes() {
  if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
    boxes_.push_back(box->text());
    // A question is declined (the engine's "Continue?" after a bad
    // checksum); a plain message is acknowledged.
    const bool question = box->standardButtons() & QMessageBox::Cancel;
    box->done(question ? QMessageBox::Cancel : QMessageBox::Ok);
  }
}

void WindowTest::WriteFirmware(std::uint16_t version, std::uint16_t productId,
                               const std::string& name) {
  FirmwareBuildOptions o;
  o.firmware_version = version;
  o.product_id = productId;
  const std::vector<std::uint8_t> file = build_firmware_file(o);
  ASSERT_FALSE(file.empty()) << "the builder makes a firmware file";
  std::ofstream out(work_ / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  ASSERT_TRUE(out.good()) << "firmware file written";
}

void WindowTest::StartWindow(const std::string& profile, UiLanguage lang) {
  // The window takes its language from the locale variables at its start.
  setenv("LC_ALL", LocaleFor(lang), 1);
  platform_ = std::make_unique<AppPlatform>();
  PlatformOptions opts;
  opts.simulate = profile;
  std::string error;
  ASSERT_TRUE(platform_->setup(opts, error)) << "simulated camera " << profile << ": " << error;
  window_ = std::make_unique<MainWindow>(*platform_, /*watchDevices=*/false);
  window_->Initialise();
  window_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get())) << "the window is shown";
}

void WindowTest::StopWindow() {
  if (window_) {
    // A run still going ends before the library it uses is closed.
    WaitFor([this] { return !window_->updateRunning(); }, 20000);
    window_->close();
    window_.reset();
  }
  if (platform_) {
    std::string error;
    EXPECT_TRUE(platform_->finish(error)) << error;
    platform_.reset();
  }
}

void WindowTest::TogglePlug() {
  bool plugged = false;
  ASSERT_TRUE(platform_->toggle_simulated_plug(plugged)) << "a simulated camera to (un)plug";
  window_->OnDeviceChange();
}

bool WindowTest::WaitForPasses(int count, int timeoutMs) {
  return WaitFor([&] { return window_->passCount() >= count; }, timeoutMs);
}

QWidget* WindowTest::control(int id) const { return window_->control(id); }
QLabel* WindowTest::label(int id) const { return qobject_cast<QLabel*>(control(id)); }
QPushButton* WindowTest::button(int id) const {
  return qobject_cast<QPushButton*>(control(id));
}
RingWidget* WindowTest::ring() const { return static_cast<RingWidget*>(control(1044)); }
QString WindowTest::statusText() const { return label(1004)->text(); }

QRect WindowTest::Scaled(int x, int y, int w, int h) const {
  const int dpi = window_->logicalDpiX();
  return QRect(ScalePixels(x, dpi), ScalePixels(y, dpi), ScalePixels(w, dpi),
               ScalePixels(h, dpi));
}

QSize WindowTest::Scaled(int w, int h) const {
  const int dpi = window_->logicalDpiX();
  return QSize(ScalePixels(w, dpi), ScalePixels(h, dpi));
}

}  // namespace lumavix::qtapp_test
