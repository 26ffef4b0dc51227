// lumavix-update.exe: the desktop program on Windows, a native dialog over
// the same window-free core as the Qt window on Linux.
// Before windows.h, whose macros would clash with the engine's names.
#include "app/core/main_window_core.h"
#include "app/core/texts.h"
#include "app/core/update_flow.h"
#include "app/core/window_options.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win/win_app_platform.h"
#include "app/win/win_main_window.h"
#include "app/win/win_text.h"
#include "platform/user_folders.h"
#include "platform/win_instance.h"
#include "platform/win_sleep_inhibitor.h"

using namespace lumavix;

namespace {

constexpr const char* kWinUsage =
    "Usage: lumavix-update [--simulate[=PROFILE[,KEY=VALUE...]]] [--sim-state FILE]\n"
    "                      [--trace=FILE] [--screenshot=FILE.bmp [--screenshot-delay=MS]]\n"
    "                      [--auto-update] [FILE]\n"
    "\n"
    "Updates the firmware of a LUMAVIX document camera with FILE, or else the\n"
    "first *.bin file of the working directory, or else the newest firmware file\n"
    "for this model in the Downloads folder. Only one copy runs at a time.\n";

std::vector<std::string> Utf8Arguments() {
  std::vector<std::string> out;
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (wide == nullptr) return out;
  for (int i = 1; i < n; ++i) out.push_back(Narrow(wide[i]));
  ::LocalFree(wide);
  return out;
}

std::string CurrentDirectory() {
  const DWORD n = ::GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return ".";
  std::wstring dir(n, L'\0');
  const DWORD got = ::GetCurrentDirectoryW(n, dir.data());
  if (got == 0 || got >= n) return ".";
  dir.resize(got);
  return Narrow(dir);
}

// A program without a console reports on stderr only when it is redirected
// (scripts); a user who started it from Explorer gets the box.
void Report(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  if (::GetStdHandle(STD_ERROR_HANDLE) == nullptr) {
    ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(kAppCaption).c_str(), MB_OK | MB_ICONERROR);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WindowProgramOptions opts;
  std::string error;
  switch (ParseWindowArguments(Utf8Arguments(), WindowFrontEnd::Win32, opts, error)) {
    case ParseOutcome::Help:
      std::fputs(kWinUsage, stdout);
      return 0;
    case ParseOutcome::Version:
      std::printf("lumavix-update %s\n", LUMAVIX_VERSION);
      return 0;
    case ParseOutcome::Error:
      Report("error: " + error + "\n\n" + kWinUsage);
      return 2;
    case ParseOutcome::Run:
      break;
  }

  // A second copy ends here, silently and without a window; the first
  // holds the mutex until it exits.
  const WinInstanceMutex singleInstance("LUMAVIX_Firmware_Update_Tool");
  if (EndsAsSecondCopy(singleInstance.seen())) return 0;

  // The window's thread is a single-threaded apartment, as the file dialog,
  // drag and drop and the shell require; the camera layer's COM calls run
  // on a thread of their own in the multithreaded one.
  struct ComApartment {
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ~ComApartment() {
      if (SUCCEEDED(hr)) ::CoUninitialize();
    }
  } apartment;

  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_WIN95_CLASSES | ICC_LINK_CLASS;
  ::InitCommonControlsEx(&icc);

  const UiLanguage lang = LanguageFromEnvironment();
  SetUiLanguage(lang);

  WinAppPlatform platform;
  WinPlatformOptions po;
  po.simulate = opts.simulate;
  po.simState = opts.simState;
  if (!platform.setup(po, error)) {
    Report("error: " + error + "\n");
    return 2;
  }

  // While the flash is written Windows does not go to sleep.
  WinSleepInhibitor inhibitor;
  SetDefaultSleepInhibitor(&inhibitor);

  int rc = 0;
  {
    MainWindowCore core;
    WinWindowOptions wo;
    wo.config.language = lang;
    wo.config.directory = CurrentDirectory();
    wo.config.firmwareFile = opts.firmwareFile;
    // Started from the Start menu the working directory is the program's
    // folder: a file just downloaded is found in the Downloads folder.
    wo.config.downloadsFolder = SystemUserFolders().Downloads().value_or("");
    wo.tracePath = opts.trace;
    wo.screenshotPath = opts.screenshot;
    wo.screenshotDelayMs = opts.screenshotDelayMs;
    wo.autoUpdate = opts.autoUpdate;
    wo.shutdownWindow = [&inhibitor](HWND window, std::wstring reason) {
      inhibitor.SetShutdownWindow(window, std::move(reason));
    };
    if (platform.simulating()) {
      // The simulated camera leaves and comes back by itself after an
      // update; the system would report that as a device change.
      wo.simulatedPlugChanged = [&platform] { return platform.simulated_plug_changed(); };
    }
    WinMainWindow window(core, std::move(wo));
    if (window.RunModal(instance) == -1) {
      Report("error: cannot create the window\n");
      rc = 1;
    }
  }

  SetDefaultSleepInhibitor(nullptr);
  if (!platform.finish(error)) {
    Report("error: cannot save the simulated camera's state: " + error + "\n");
    if (rc == 0) rc = 1;
  }
  return rc;
}
