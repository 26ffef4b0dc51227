// The update flow without a window: StartUpdate builds the download request
// from the firmware file and starts the engine's worker; the notification
// handler turns the worker's reports into the progress percentage, the
// status texts and the completion text, and runs the GPIO step after every
// run. Behind the engineering switches, a successful download is followed by
// the setting tables, the user-data write and a flash dump.
//
// Everything runs on the receiver's thread; the worker only posts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/core/device_watch.h"
#include "app/core/update_progress.h"
#include "devlib/writer_lock.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"
#include "platform/sleep_inhibitor.h"
#include "settings/gpio.h"

namespace lumavix {

// The progress view: the window at this size, the ring, its percentage and
// the progress message shown; status line, Update button and link hidden.
inline constexpr PixelSize kProgressWindowSize{400, 320};
// Under the ring: the phase line, then the progress message.
inline constexpr PixelRect kPhaseLineRect{20, 193, 360, 22};
inline constexpr PixelRect kProgressMessageRect{20, 216, 360, 70};
// After a refused close the message also says why the window stays: the
// window grows to hold it.
inline constexpr PixelSize kProgressNoticeWindowSize{400, 390};
inline constexpr PixelRect kProgressNoticeMessageRect{20, 216, 360, 140};

inline constexpr const char* kMsgFirmwareFile1OpenError = "Firmware File1 open Error!!";
inline constexpr const char* kMsgDeviceNotSupported = "FW download does not support this device!!";
inline constexpr const char* kMsgCameraLockError =
    "The camera cannot be reserved for the update; nothing was written.";

inline constexpr const char* kStatusErasing = "Erase all EEPROM content, please wait ...";
inline constexpr const char* kStatusDownloadPage0 = "Download Firmware to EEPROM Page_0.";
inline constexpr const char* kStatusDownloadPage1 = "Download Firmware to EEPROM Page_1.";
inline constexpr const char* kStatusValidatePage0 = "Validate Firmware in EEPROM Page_0.";
inline constexpr const char* kStatusValidatePage1 = "Validate Firmware in EEPROM Page_1.";
inline constexpr const char* kStatusUploadPage0 = "Upload Firmware from EEPROM Page_0.";
inline constexpr const char* kStatusUploadPage1 = "Upload Firmware from EEPROM Page_1.";
inline constexpr const char* kStatusFileWriteFailure = "Write Binary File Failure.";
inline constexpr const char* kStatusUploadSuccess = "Firmware Upload Success.";
inline constexpr const char* kStatusCustomFiles =
    "Firmware Download/Validate custom txt/bin files......";
inline constexpr const char* kStatusDownloadSuccess = "Firmware Download/Validate Success.";
inline constexpr const char* kStatusDownloadFailure = "Firmware Download/Validate Failure.";
inline constexpr const char* kStatusAccessFailure = "EEPROM Access Failure.";

inline constexpr const char* kDumpFileName = "Dump.bin_";
inline constexpr std::uint32_t kDumpLength = 0x20000;

// Position notifications and ranges of this value or less change nothing.
inline constexpr std::uint32_t kProgressFloor = 16;

// The engineering switches the flow consults; the build's by default.
struct UpdateFlowSwitches {
  bool allowChipGen0Download = AllowChipGen0Download;
  bool chainSettingTables = ChainSettingTables;
  bool enableUserDataPage = EnableUserDataPage;
  bool dumpAfterDownload = DumpAfterDownload;
};

// Operations of other units the flow calls, replaceable for tests.
struct UpdateFlowHooks {
  // Finds the default setting text files and downloads the backend and
  // sensor tables (settings/tables.h). Runs after a successful download when
  // chainSettingTables is on; returns the status text to show, or null.
  std::function<const char*()> chainSettingTables;
  // The GPIO step (settings/gpio.h); GpioStep when empty.
  std::function<const char*(int mode, ChipGen chipGen, std::int32_t deviceOpen)> gpioStep;
  // Held from the start of the writing to the run's outcome; the process's
  // default (SetDefaultSleepInhibitor) when null.
  SleepInhibitor* inhibitor = nullptr;
};

// The inhibitor every flow uses unless its hooks name one; null: none. The
// front end installs it at start and keeps it for the life of the process.
void SetDefaultSleepInhibitor(SleepInhibitor* inhibitor);

// Why StartUpdate did not start a worker.
enum class StartResult : std::uint8_t {
  Started,
  FileOpenError,   // "Firmware File1 open Error!!"
  FileSizeError,   // "Firmware size Error!!"
  NotSupported,    // generation 0 while AllowChipGen0Download is off
  EngineRefused,   // StartDownload refused; its reason went to the prompter
  // Another run writes this camera (its write lock is taken): nothing was
  // touched; the device watch presents the camera as busy.
  CameraBusy,
  // The camera's write lock cannot be made (writerLockError() says why):
  // nothing is written without it.
  LockError,       // message box kMsgCameraLockError
};

// What the window shows of the flow; it lays these out and copies them to
// its controls after StartUpdate and after every notification.
struct UpdateView {
  bool progressView = false;
  PixelSize windowSize = kWatchWindowSize;
  std::u16string progressMessage;  // 1045
  std::string byteCountText;       // 1006, "%d bytes"
  std::string secondsText;         // 1007, "%2.3f secs"
  std::uint32_t progressRange = 0;  // 1002
  std::uint32_t progressPosition = 0;
  bool actionControlsEnabled = false;  // SetActionControlsEnabled
  // A message box to show (caption kAppCaption), from StartUpdate.
  const char* messageBox = nullptr;
  // The phase of the run, its percentage (what the ring and the percentage
  // show) and the line under the ring that names it, with the time left.
  UpdatePhase phase = UpdatePhase::None;
  int phasePercent = 0;
  // The whole update's percentage (PhaseTracker::overallPercent) and the
  // seconds left in it, -1 while unknown and once the run has ended.
  int overallPercent = 0;
  long secondsLeft = -1;
  std::u16string phaseLine;
  // Why the window stays open, after a close was refused during the run;
  // the window shows it below the progress message.
  std::u16string closeNotice;
  PixelRect phaseLineRect = kPhaseLineRect;
  PixelRect progressMessageRect = kProgressMessageRect;
  // The run failed: how, for the status view that follows.
  bool failed = false;
  FailureKind failure = FailureKind::WriteFailed;
  // Why the engine refused the run before touching the camera (the detail
  // of a Refused failure); empty otherwise.
  std::string refusal;
};

// What one notification did.
struct NotifyEffect {
  bool ringStep = false;   // percentage changed: arm timer 2 for one ring step
  bool terminal = false;   // the run's outcome; the final GPIO step ran
  bool completed = false;  // the completion ran (UPD_DOWNLOAD_DONE)
  bool phaseChanged = false;  // a new phase: the ring starts its next pass
  bool phaseStep = false;     // the phase's percentage changed: one ring step
  bool overallStep = false;   // the whole update's percentage changed
};

class UpdateFlow {
 public:
  explicit UpdateFlow(UpdateFlowSwitches switches = {}, UpdateFlowHooks hooks = {});
  // Lets go of an inhibitor still held (a front end that ends mid-run).
  ~UpdateFlow();
  UpdateFlow(const UpdateFlow&) = delete;
  UpdateFlow& operator=(const UpdateFlow&) = delete;

  // The request StartUpdate hands to the engine, from the window's state and
  // the firmware file: mode 2 with the image's first 16 bytes (BootAddr
  // cleared) as boot header on a generation-2 camera; mode 0, EEPROM type 5,
  // flags bit 0 on a generation-0 one. The request carries the file as the
  // window's last pass read it (file0Image), or, for a path set since, as
  // read now; file0Size is its size. False when the file cannot be read.
  [[nodiscard]] static bool BuildDownloadRequest(const DeviceWatchState& window,
                                                 DownloadRequest& request);

  // Switches to the progress view and starts the download of the window's
  // firmware file. `target` receives the worker's notifications (the window),
  // `owner` shows the engine's start checks. The window stays in the
  // progress view whatever the result.
  StartResult StartUpdate(DeviceWatchState& window, UiLanguage lang, NotifyTarget* target,
                          Prompter* owner);

  // The notification handler (WM_UPDATE_NOTIFY). Updates the view, the
  // window's status text and the progress state.
  NotifyEffect HandleNotification(DeviceWatchState& window, UiLanguage lang, std::uint32_t code,
                                  std::uint32_t value);

  // Whether the window may close now. While a run is under way (`running`
  // also covers a worker thread still ending) it may not: the view's
  // closeNotice then says why, in the user's language.
  [[nodiscard]] bool CloseAllowed(UiLanguage lang, bool running);

  // The clock moved while a run is under way: the time left is recomputed.
  // True when the phase line changed.
  bool Tick(UiLanguage lang);

  // The window has drawn the ring step that a notification asked for.
  void RingStepDrawn() { ringStepPending_ = false; }

  [[nodiscard]] const UpdateView& view() const { return view_; }
  [[nodiscard]] UpdateView& view() { return view_; }
  [[nodiscard]] std::int32_t progressTotal() const { return progressTotal_; }
  [[nodiscard]] std::int32_t progressPercent() const { return progressPercent_; }
  [[nodiscard]] std::int32_t lastPercent() const { return lastPercent_; }
  // Timer 2 is armed: a ring step waits to be drawn.
  [[nodiscard]] bool ringStepPending() const { return ringStepPending_; }
  // Between a started download and its terminal notification: the device
  // watch defers its passes meanwhile.
  [[nodiscard]] bool running() const { return running_; }
  [[nodiscard]] bool completed() const { return completed_; }
  // The outcome notification of the last run, if it has arrived.
  [[nodiscard]] std::uint32_t outcomeCode() const { return outcomeCode_; }
  [[nodiscard]] bool hasOutcome() const { return hasOutcome_; }
  // The request of the last StartUpdate.
  [[nodiscard]] const DownloadRequest& request() const { return request_; }
  // Why the camera's write lock could not be taken (LockError), or why the
  // one taken is narrower than machine-wide; empty otherwise.
  [[nodiscard]] const std::string& writerLockNote() const { return writerLockNote_; }
  // The run holds the camera's write lock (from StartUpdate to the end of
  // its worker).
  [[nodiscard]] bool holdsWriterLock() const { return writer_ != nullptr; }
  // The "Dump bin file" box (1019).
  bool dumpFlag = false;
  // Output of the dump after a download.
  std::string dumpPath = kDumpFileName;

 private:
  void FinalStep(DeviceWatchState& window);
  void Complete(DeviceWatchState& window, UiLanguage lang);
  void SetStatus(DeviceWatchState& window, const char* text);
  void HoldInhibitor();
  void ReleaseInhibitor();
  void ShowPhase(UiLanguage lang);

  UpdateFlowSwitches switches_;
  UpdateFlowHooks hooks_;
  UpdateView view_;
  DownloadRequest request_;
  NotifyTarget* target_ = nullptr;
  Prompter* owner_ = nullptr;
  std::int32_t progressTotal_ = 0;
  std::int32_t progressPercent_ = 0;
  std::int32_t lastPercent_ = 0;
  bool ringStepPending_ = false;
  bool running_ = false;
  bool completed_ = false;
  bool dumpRunning_ = false;  // the dump after a download was started
  bool hasOutcome_ = false;
  std::uint32_t outcomeCode_ = 0;
  PhaseTracker tracker_;
  SleepInhibitor* heldInhibitor_ = nullptr;
  std::unique_ptr<CameraWriterLock> writer_;
  std::string writerLockNote_;
};

// "%2.3f secs" of value / 1000 in single precision; "0 secs" for 0.
[[nodiscard]] std::string SecondsText(std::uint32_t elapsedMs);
// Truncated value / total x 100 in single precision; 0 when total is 0.
[[nodiscard]] std::int32_t ProgressPercent(std::uint32_t value, std::int32_t total);

}  // namespace lumavix
