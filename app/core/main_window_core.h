// The main window without a window system: every decision of the window,
// taken once for both front ends (the Qt window on Linux, the native dialog
// on Windows). It runs the device-watch passes and the update flow, folds the
// events a window receives (device changes, timers, clicks, keys, the
// worker's notifications, a close) into one description of what the window
// shows (`WindowFrame`) and a list of things the front end must do now
// (`WindowEffects`: arm a timer, show a box, draw a ring step). A front end
// renders the frame after every event and carries out the effects; it keeps
// no state of its own beyond its controls.
//
// Everything runs on the window's thread. Events that arrive while the core
// is inside another one (a message box's own event loop, the engine's start
// checks) never run a pass there: the pass runs afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "app/core/device_watch.h"
#include "app/core/ring_geometry.h"
#include "app/core/texts.h"
#include "app/core/update_flow.h"
#include "platform/instance_lock.h"

namespace lumavix {

// The button that chooses a firmware file when none is usable; not in the
// template, so it has an id of its own for focus and tests.
inline constexpr int kChooseFileControlId = 1100;
// The line under the ring that names the phase and the time left.
inline constexpr int kPhaseLineControlId = 1101;

// How often the time left is recomputed while a run is under way.
inline constexpr int kProgressTimerMs = 1000;

// What the window shows, whole. Places are pixels at 96 dpi (the front end
// scales them, ScalePixels); a rect of width 0 keeps the template's place.
struct WindowFrame {
  PixelSize windowSize = kWatchWindowSize;  // outer size
  std::u16string title;                     // empty: the template's title
  bool progressView = false;
  const char* presentationName = "no-camera";  // of the last pass

  // The status view.
  bool statusShown = true;
  PixelRect statusRect = kConnectStatusRect;
  std::u16string statusText;
  bool updateShown = false;
  PixelRect updateRect;
  std::u16string updateText;
  // The button finishes an unfinished camera's update on the user's word
  // that it is this tool's model (Finish update): only a click is that
  // word, never an automatic run.
  bool updateOnUsersWord = false;
  bool linkShown = false;
  PixelRect linkRect;
  std::string linkMarkup;   // one anchor
  std::string linkAddress;  // what a click on it opens
  bool chooseFileShown = false;
  PixelRect chooseFileRect;
  std::u16string chooseFileText;

  // The progress view: the ring area and the percentage in its middle, the
  // phase line and the progress message under it.
  bool ringShown = false;
  std::u16string percentText;
  // The value assistive technology reads: the whole update's percentage,
  // 0 to 100 once per run and never falling (the ring itself fills once per
  // phase), and its text (PercentText).
  int ringValue = 0;
  std::u16string ringValueText;
  bool progressMessageShown = false;
  PixelRect progressMessageRect = kProgressMessageRect;
  std::u16string progressMessage;  // with the close notice, when there is one
  bool phaseLineShown = false;
  PixelRect phaseLineRect = kPhaseLineRect;
  std::u16string phaseLine;

  // Update, Browse, the setting-table controls and the dump box
  // (kActionControls).
  bool actionControlsEnabled = false;
  // The control to give the keyboard focus to after this event; 0: leave it
  // where the user put it. Set only by the event that changes the view.
  int focus = 0;

  // Bound to hidden controls; kept for the engineering build.
  std::string firmwarePath;
  std::string byteCountText;
  std::string secondsText;
  std::uint32_t progressRange = 0;
  std::uint32_t progressPosition = 0;

  // "no-camera", ... (PresentationName), "file-problem" for the view of an
  // unusable firmware file, or "progress" in the progress view.
  [[nodiscard]] const char* viewName() const;
};

// What the front end does after an event, in this order: end the
// confirmation dialog, reset the ring or begin its next pass, render the
// frame, show the message box, arm the timers, show the confirmation dialog,
// close the window.
struct WindowEffects {
  bool endConfirmation = false;   // end an open confirmation dialog (result 0)
  bool resetRing = false;         // empty the ring, drawn angle 0
  std::optional<RingColour> beginRingPass;  // the next phase's pass, over the last
  // A modal box with an OK button. While it is up the front end brackets it
  // with EnterModal/LeaveModal.
  const char* messageBox = nullptr;
  const char* messageCaption = kAppCaption;
  bool armWatchTimer = false;  // (re)arm timer 1: 100 ms, one shot
  bool armRingTimer = false;   // arm timer 2: as soon as idle, one shot
  // Arm the progress timer (kProgressTimerMs, one shot): ProgressTimer()
  // when it fires. Asked for as long as a run is under way.
  bool armProgressTimer = false;
  bool showConfirmation = false;
  // Show the file dialog, bracketed with EnterModal/LeaveModal as a message
  // box is (no pass runs under it); its answer goes to FirmwareChosen.
  bool openFileDialog = false;
  bool closeWindow = false;  // a close was asked for and is allowed

  void Merge(const WindowEffects& later);
};

struct WindowCoreConfig {
  UiLanguage language = UiLanguage::English;
  // Searched for the firmware file; "." when empty.
  std::string directory;
  // The firmware file given on the command line, if any.
  std::string firmwareFile;
  // The user's Downloads folder, searched when `directory` holds no usable
  // firmware file; empty: not searched. The front end leaves it empty when
  // the user named the folder.
  std::string downloadsFolder;
};

class MainWindowCore {
 public:
  explicit MainWindowCore(UpdateFlowSwitches switches = {}, UpdateFlowHooks hooks = {});

  // Called when the frame must reach the screen before the core goes on:
  // the progress view is up before the engine's start checks can show their
  // message boxes over it.
  void SetRender(std::function<void()> render) { render_ = std::move(render); }

  // The window's initialisation: language, model name, title, the first
  // pass. `target` receives the worker's notifications (posted to the
  // window), `prompter` shows the engine's start checks.
  WindowEffects Initialise(const WindowCoreConfig& config, NotifyTarget* target,
                           Prompter* prompter);

  // The system reported a device change: timer 1, so that a burst gives one
  // pass.
  WindowEffects DeviceChanged();
  // Timer 1 fired: one pass, or later when an update or a modal box is
  // under way.
  WindowEffects WatchTimer();

  // The Update button, or Return while it is shown: the confirmation dialog.
  WindowEffects UpdateClicked();
  // OK in the confirmation dialog: the progress view and the download. After
  // Finish update, the pass runs again taking the camera to be the file's
  // model (as `update --recover` does), and the download starts only when
  // that pass offers it: the camera is still unidentified, not one whose id
  // names another model.
  WindowEffects Confirmed();
  // The program was started to update at once (--auto-update): Update and
  // its confirmation on the user's word, once, as soon as a pass offers
  // Update (now, if the last one did). Never on a camera that a pass does
  // not offer Update for: one up to date, busy or of another product waits.
  WindowEffects RequestAutoUpdate();
  // A notification the worker posted (WM_UPDATE_NOTIFY).
  WindowEffects Notification(std::uint32_t code, std::uint32_t value);

  // The progress timer fired: the time left is recomputed on the clock,
  // and the timer asked for again while the run goes on.
  WindowEffects ProgressTimer();

  // Timer 2 fired: the percentage the ring is to be drawn up to, or nothing
  // (above 100). The front end draws and reports with RingStepDrawn.
  [[nodiscard]] std::optional<int> RingTimer();
  // `drawn`: the step reached the screen; only then does the percentage text
  // follow it (a failed step is drawn again by the next).
  void RingStepDrawn(int percent, bool drawn);

  // The window is asked to close (its close box, Alt+F4, Esc). Refused, with
  // the reason in the frame, while an update runs.
  WindowEffects CloseRequested();
  // Return and Esc. Return presses the focused "Choose file..." button, as
  // Return on a focused button does on both systems; elsewhere it is the
  // Update button's.
  WindowEffects KeyReturn(int focusedControl = 0);
  WindowEffects KeyEscape();
  // The "Choose file..." button: the file dialog, while the button is shown.
  WindowEffects ChooseFileClicked();

  // A firmware file chosen by the user (file dialog, drop): the passes take
  // it instead of searching the folder. Refused while an update runs.
  WindowEffects FirmwareChosen(const std::string& path);
  // Of the paths dropped on the window, the one taken as the firmware file
  // (the first whose name ends in ".bin" in any case); empty when none is,
  // or while an update runs.
  [[nodiscard]] std::string FirmwareDropPath(std::span<const std::string> paths) const;
  // The address a click on the download link opens: the frame's own, only
  // while the link is shown and only a web address (http or https), so
  // nothing else a frame might carry is ever handed to the system to run.
  // Empty when nothing is to be opened.
  [[nodiscard]] std::string LinkToOpen() const;

  // A modal box of the front end is up: passes wait until it is gone.
  void EnterModal();
  WindowEffects LeaveModal();

  [[nodiscard]] const WindowFrame& frame() const { return frame_; }
  [[nodiscard]] UiLanguage language() const { return lang_; }
  [[nodiscard]] const std::u16string& toolModelName() const { return toolModelName_; }
  [[nodiscard]] const std::u16string& windowTitle() const { return windowTitle_; }
  // Between a started update and its terminal notification, or while the
  // worker's thread is still ending.
  [[nodiscard]] bool UpdateRunning() const;
  // Whether the user's session (shutdown, log-off, a restart for system
  // updates) may end now: not while the flash is written, since a camera cut
  // off half-written needs the update run again before it works.
  [[nodiscard]] bool SessionEndAllowed() const { return !UpdateRunning(); }
  // Passes that ran to an outcome (deferred ones do not count).
  [[nodiscard]] int passCount() const { return passCount_; }

  // The state the engineering controls work on.
  [[nodiscard]] DeviceWatchState& watch() { return watch_; }
  // An engineering control may act now: never while an update runs (the
  // camera is the engine's), and those that talk to the camera
  // (`needsCamera`: the setting tables' writes) only while one is open.
  // Reading or writing the user-data page checks the camera itself.
  [[nodiscard]] bool EngineeringActionAllowed(bool needsCamera) const;
  [[nodiscard]] UpdateFlow& flow() { return flow_; }
  // After the engineering controls changed the status text or the path.
  void Refresh();

 private:
  WindowEffects RunPass();
  [[nodiscard]] DeviceWatchConfig PassConfig() const;
  // The end of every event: a pass asked for meanwhile gets timer 1 once
  // nothing holds it back any more.
  WindowEffects Finish(WindowEffects effects);
  void ApplyPresentation(const PresentationView& view);
  // The status view offers Update now, and nothing runs.
  [[nodiscard]] bool UpdateOffered() const;
  void EnterProgressView();
  void TakeFlowView();
  void SetRingValue(int percent);

  UpdateFlow flow_;
  DeviceWatchState watch_;
  WindowFrame frame_;
  UiLanguage lang_ = UiLanguage::English;
  std::u16string toolModelName_;
  std::u16string windowTitle_;
  std::string directory_;
  std::string downloadsFolder_;
  std::string chosenFile_;
  NotifyTarget* target_ = nullptr;
  Prompter* prompter_ = nullptr;
  std::function<void()> render_;
  int busy_ = 0;       // inside an event or a modal box
  bool passPending_ = false;
  int passCount_ = 0;
  // The failed run, told by the next pass's view, so that the user still
  // sees why the window left the progress view; and told again by every
  // later pass that finds the camera as that one did (`failureSeen_`), so
  // that it stays until something changes.
  struct PassSeen {
    WatchOutcome outcome = WatchOutcome::Presented;
    Presentation presentation = Presentation::NoCamera;
    std::u16string statusText;
    friend bool operator==(const PassSeen&, const PassSeen&) = default;
  };
  bool failurePending_ = false;
  bool failureShown_ = false;
  PassSeen failureSeen_;
  FailureKind failureKind_ = FailureKind::WriteFailed;
  std::string failureDetail_;
  bool autoUpdate_ = false;  // RequestAutoUpdate, until it started a run
  bool initialised_ = false;
  Presentation lastPresentation_ = Presentation::NoCamera;
  // Finish update was clicked and its confirmation is up.
  bool finishChosen_ = false;
};

// Whether a window that has just taken its single-instance lock ends at
// once, silently and before any window is shown: only when a running copy
// was seen. A lock that could not be made is no evidence of one, and a
// second window is better than none.
[[nodiscard]] bool EndsAsSecondCopy(InstanceLock seen);

}  // namespace lumavix
