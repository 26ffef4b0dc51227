// The native main window (template 102) over the window-free core
// (app/main_window_core.h). The core decides; this window renders the
// core's frame after every event and carries out its effects in the order
// the core gives them. It keeps nothing of its own beyond its controls, the
// ring's dots and what it last wrote to the trace.
#pragma once

// Before windows.h, whose macros would clash with the engine's names.
#include "app/core/main_window_core.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <shellapi.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/win/win_confirm_dialog.h"
#include "app/win/win_ring.h"

// oleacc.h's dynamic annotation service.
struct IAccPropServices;

namespace lumavix {

// The worker's notifications, posted to the window (wParam code, lParam
// value). In the application's range: WM_USER + 1 is a dialog's
// DM_SETDEFID, and the window is a dialog.
inline constexpr UINT kNotifyMessage = WM_APP + 2;
// The frame's focus again once the window shows.
inline constexpr UINT kFocusMessage = WM_APP + 1;

// Timers of the window.
inline constexpr UINT_PTR kWatchTimer = 1;       // folds device changes: 100 ms
inline constexpr UINT_PTR kRingTimer = 2;        // one ring step when idle
inline constexpr UINT_PTR kPresenceTimer = 3;    // the simulated camera: 200 ms
inline constexpr UINT_PTR kScreenshotTimer = 4;  // --screenshot
inline constexpr UINT_PTR kAutoUpdateTimer = 5;  // --auto-update, once the window is up
inline constexpr UINT_PTR kProgressTimer = 6;    // the time left, while a run goes on

struct WinWindowOptions {
  // The program initialises the core when the window starts; tests leave
  // it alone and render frames of their own.
  bool initialiseCore = true;
  WindowCoreConfig config;
  // Appends "title: ", "presentation: ", "status: " and "progress: " lines
  // (UTF-8) whenever they change.
  std::string tracePath;
  // Writes the window, frame included, as a 24-bit BMP after the delay.
  std::string screenshotPath;
  int screenshotDelayMs = 300;
  // Presses Update and OK as soon as Update is offered.
  bool autoUpdate = false;
  // Polled every 200 ms when set: true when the simulated camera left or
  // came back by itself, as the system would report a real one.
  std::function<bool()> simulatedPlugChanged;
  // Off: the ring draws with GDI only.
  bool preferDirect2D = true;
  // Register for the system's device-change notifications.
  bool watchDevices = true;
  // Told the window (null when it goes) and the reason, in the user's
  // language, to name while an update blocks the session's end: the
  // inhibitor the update holds while it writes (WinSleepInhibitor).
  std::function<void(HWND, std::wstring)> shutdownWindow;
};

class WinMainWindow {
 public:
  WinMainWindow(MainWindowCore& core, WinWindowOptions options);
  ~WinMainWindow();
  WinMainWindow(const WinMainWindow&) = delete;
  WinMainWindow& operator=(const WinMainWindow&) = delete;

  // Runs the window as a modal dialog until it closes.
  INT_PTR RunModal(HINSTANCE instance);
  // Makes the window without running it (modeless, shown only when
  // `visible`); the caller pumps messages. For tests.
  [[nodiscard]] bool Create(HINSTANCE instance, bool visible);
  void Destroy();

  // Takes the system's colours for the ring (at start and when they change).
  void UpdateRingTheme();
  // Renders the core's frame, or a given one.
  void Render();
  void RenderFrame(const WindowFrame& frame);
  // `frame` with each shown text's place grown to hold it whole, and a run
  // too wide for a line shortened in its middle (FitFrame); what
  // RenderFrame lays out.
  [[nodiscard]] WindowFrame FitFrame(const WindowFrame& frame) const;
  // Carries out the effects of one event, then renders.
  void Apply(const WindowEffects& effects);

  [[nodiscard]] HWND hwnd() const { return hwnd_; }
  [[nodiscard]] HWND control(int id) const;
  [[nodiscard]] int dpi() const;
  [[nodiscard]] WinRing& ring() { return ring_; }
  [[nodiscard]] const RingTheme& ringTheme() const { return ringTheme_; }
  [[nodiscard]] WinConfirmDialog& confirmation() { return confirm_; }
  // The place of a control at the window's dpi when `rect` is a frame's
  // (width 0: the template's place).
  [[nodiscard]] RECT PlaceOf(int id, const PixelRect& rect) const;

 private:
  // The ring as assistive technology reads it: a progress bar whose value
  // is the percentage, announced when it changes.
  void AnnotateRing();
  void SetRingValue(const std::wstring& value);
  class Notify;
  class Prompt;

  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  INT_PTR Handle(UINT msg, WPARAM wp, LPARAM lp);
  void Start();
  void CreateControls();
  void RegisterDeviceWatch();
  void UnregisterDeviceWatch();
  void OnTimer(UINT_PTR id);
  void OnCommand(int id, int code);
  void OnRingTimer();
  void ShowConfirmation();
  void ShowMessage(const char* caption, const char* text);
  void ChooseFile();
  void OpenLink();
  void OnDrop(HDROP drop);
  void Close();
  // Shortens the runs of `text` too wide for `place` as control `id` shows
  // it, and gives the height (96 dpi) the text then needs there.
  int FitText(int id, std::u16string& text, const PixelRect& place) const;
  void SetText(int id, const std::wstring& text);
  void Show(int id, bool shown);
  void Place(int id, const RECT& r);
  void ApplyFocus(const WindowFrame& frame);
  void WriteTrace(const WindowFrame& frame);
  void TakeScreenshot();
  void PaintMinimised();

  MainWindowCore& core_;
  WinWindowOptions options_;
  HINSTANCE instance_ = nullptr;
  HWND hwnd_ = nullptr;
  bool modal_ = false;
  bool centred_ = false;
  bool closing_ = false;
  bool coreReady_ = false;
  bool autoUpdateDone_ = false;
  std::map<int, HWND> controls_;
  std::wstring linkMarkup_;
  HFONT percentFont_ = nullptr;
  // The ring's background and the percentage's colour in the system's
  // colours (dark and high-contrast themes included), and a brush of it.
  RingTheme ringTheme_{kRingBackground, TextColourOver(kRingBackground)};
  HBRUSH ringBackground_ = nullptr;
  // The ring area's annotation for assistive technology (role and value);
  // null where the system offers none.
  IAccPropServices* accProps_ = nullptr;
  std::wstring ringValue_;
  HICON iconBig_ = nullptr;
  HICON iconSmall_ = nullptr;
  std::vector<HDEVNOTIFY> notifications_;
  WinRing ring_;
  WinConfirmDialog confirm_;
  std::unique_ptr<Notify> notify_;
  std::unique_ptr<Prompt> prompt_;
  // What the trace last said, per key; absent when not shown.
  std::map<std::string, std::string> traced_;
};

}  // namespace lumavix
