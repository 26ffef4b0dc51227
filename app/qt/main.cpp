// lumavix-update: the desktop program that updates a LUMAVIX document
// camera's firmware from the first *.bin file of the working directory.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeySequence>
#include <QShortcut>
#include <QTimer>

#include "app/core/main_window_core.h"
#include "app/core/window_options.h"
#include "app/qt/app_platform.h"
#include "app/qt/confirm_dialog.h"
#include "app/qt/main_window.h"
#include "app/qt/plug_signal.h"
#include "app/qt/qt_bridge.h"
#include "app/qt/single_instance.h"
#include "platform/system_sleep_inhibitor.h"
#include "platform/user_folders.h"

using namespace lumavix;

namespace {

constexpr const char* kUsage =
    "Usage: lumavix-update [--simulate[=PROFILE[,KEY=VALUE...]]] [--sim-state FILE] [FILE]\n"
    "\n"
    "Updates the firmware of a LUMAVIX document camera with FILE, or else the\n"
    "first *.bin file of the working directory, or else the newest firmware file\n"
    "for this model in the Downloads folder. Only one copy runs at a time.\n"
    "\n"
    "Options:\n"
    "  --simulate[=...]  Use the built-in simulated camera instead of USB devices;\n"
    "                    profiles q (default), gen0-flash, gen0-eeprom, uvc-kavex,\n"
    "                    uvc-aveo, uvc-etron, vendor-video, bda, none; keys\n"
    "                    fw=HEX pid=HEX flash=XXXXXX latency-us=N busy=0|1 fail-at=N\n"
    "                    fail-rate=P seed=N unplug-after=N refuse-97=1 count=N\n"
    "                    replug=0|1. Ctrl+Shift+U, or SIGUSR1 from outside (kill\n"
    "                    -USR1 PID), unplugs and replugs the simulated camera;\n"
    "                    after an update it leaves and comes back by itself.\n"
    "  --sim-state FILE  Load the simulated camera's memories from FILE if it\n"
    "                    exists; save them back when the window closes.\n"
    "  --help            Show this text.\n"
    "  --version         Show the version.\n";

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer started;
  started.start();
  WindowProgramOptions opts;
  std::string error;
  switch (ParseWindowArguments(std::vector<std::string>(argv + 1, argv + argc),
                               WindowFrontEnd::Qt, opts, error)) {
    case ParseOutcome::Help:
      std::fputs(kUsage, stdout);
      return 0;
    case ParseOutcome::Version:
      std::printf("lumavix-update %s\n", LUMAVIX_VERSION);
      return 0;
    case ParseOutcome::Error:
      std::fprintf(stderr, "error: %s\n\n%s", error.c_str(), kUsage);
      return 2;
    case ParseOutcome::Run:
      break;
  }
  PlatformOptions platformOptions;
  platformOptions.simulate = opts.simulate;
  platformOptions.simState = opts.simState;

  AppPlatform platform;
  // A second copy ends here, silently and without a window.
  SingleInstance instance(platform.locks());
  if (EndsAsSecondCopy(instance.seen())) return 0;

  QApplication app(argc, argv);
  QApplication::setApplicationName("lumavix-update");
  QApplication::setApplicationVersion(LUMAVIX_VERSION);
  // Qt's standard dialogs speak the window's language.
  InstallQtTranslations(LanguageFromEnvironment());

  if (!platform.setup(platformOptions, error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 2;
  }

  // While the flash is written the session does not suspend, shut down or
  // log out; without logind the update goes on and the trace says so.
  const std::unique_ptr<SleepInhibitor> inhibitor = MakeSleepInhibitor("lumavix-update");
  SetDefaultSleepInhibitor(inhibitor.get());

  int rc = 0;
  {
    MainWindow window(platform, /*watchDevices=*/!platform.simulating());
    if (!opts.firmwareFile.empty()) window.SetFirmwareFile(opts.firmwareFile);
    // Started from the menu the working directory is the home folder: a
    // file just downloaded is found in the Downloads folder.
    window.SetDownloadsFolder(SystemUserFolders().Downloads().value_or(""));
    window.Initialise();
    window.show();

    if (platform.simulating()) {
      // A hidden key pulls the simulated camera out or puts it back, and
      // reports the change as the system would.
      auto* plug = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U), &window);
      const auto toggle = [&] {
        bool plugged = false;
        if (platform.toggle_simulated_plug(plugged)) window.OnDeviceChange();
      };
      QObject::connect(plug, &QShortcut::activated, &window, toggle);
      // The same from outside: kill -USR1 <pid>.
      auto* signal = new PlugSignal(&window);
      QObject::connect(signal, &PlugSignal::toggleRequested, &window, toggle);
      // The camera also leaves and comes back by itself after an update;
      // the system would report that as a device change too.
      auto* presence = new QTimer(&window);
      QObject::connect(presence, &QTimer::timeout, &window, [&] {
        if (platform.simulated_plug_changed()) window.OnDeviceChange();
      });
      presence->start(200);
    }
    if (opts.startupTime) {
      // Queued behind the first paint of the window.
      QTimer::singleShot(0, &window, [&] {
        std::printf("first presentation after %lld ms\n",
                    static_cast<long long>(started.elapsed()));
        QApplication::exit(0);
      });
    }
    if (opts.autoUpdate) {
      // Once the window is up; the core starts the run when a pass offers
      // Update, and never on a camera it does not offer it for.
      QTimer::singleShot(0, &window, [&] { window.RequestAutoUpdate(); });
    }
    if (!opts.screenshot.empty()) {
      QTimer::singleShot(opts.screenshotDelayMs, &window, [&] {
        QWidget* target = &window;
        if (opts.screenshotDialog) {
          window.confirmDialog().show();
          QApplication::processEvents();
          target = &window.confirmDialog();
        }
        const bool ok = target->grab().save(QString::fromStdString(opts.screenshot), "PNG");
        if (opts.screenshotDialog) window.confirmDialog().hide();
        if (!ok) std::fprintf(stderr, "error: cannot write %s\n", opts.screenshot.c_str());
        // Quit once any update started here has ended.
        auto* poll = new QTimer(&window);
        QObject::connect(poll, &QTimer::timeout, &window, [&window, ok] {
          if (!window.updateRunning()) QApplication::exit(ok ? 0 : 1);
        });
        poll->start(50);
      });
    }
    rc = QApplication::exec();
  }

  SetDefaultSleepInhibitor(nullptr);
  if (!platform.finish(error)) {
    std::fprintf(stderr, "error: cannot save the simulated camera's state: %s\n", error.c_str());
    if (rc == 0) rc = 1;
  }
  return rc;
}
