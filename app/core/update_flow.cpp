#include "app/core/update_flow.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <utility>

#include "app/core/texts.h"
#include "devlib/clock.h"
#include "devlib/trace.h"
#include "firmware/image.h"
#include "settings/userdata.h"

namespace lumavix {

std::string SecondsText(std::uint32_t elapsedMs) {
  if (elapsedMs == 0) return "0 secs";
  const float seconds = static_cast<float>(elapsedMs) / 1000.0f;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%2.3f secs", static_cast<double>(seconds));
  return buf;
}

std::int32_t ProgressPercent(std::uint32_t value, std::int32_t total) {
  // Before any range the percentage has no meaning; it stays where it was
  // rather than dividing by zero.
  if (total <= 0) return 0;
  const float percent = static_cast<float>(value) / static_cast<float>(total) * 100.0f;
  return static_cast<std::int32_t>(percent);
}

namespace {
std::atomic<SleepInhibitor*> g_default_inhibitor{nullptr};
}  // namespace

void SetDefaultSleepInhibitor(SleepInhibitor* inhibitor) { g_default_inhibitor.store(inhibitor); }

void UpdateFlow::HoldInhibitor() {
  SleepInhibitor* inhibitor = hooks_.inhibitor ? hooks_.inhibitor : g_default_inhibitor.load();
  if (!inhibitor || heldInhibitor_) return;
  std::string error;
  if (inhibitor->Acquire("Updating the camera's firmware", error)) {
    heldInhibitor_ = inhibitor;
    DebugTrace("sleep, shutdown and logout inhibited for the update\n");
  } else {
    // The update goes on: an inhibitor only guards against the user's own
    // session ending it.
    DebugTrace("no sleep inhibitor, the update goes on without one: %s\n", error.c_str());
  }
}

void UpdateFlow::ReleaseInhibitor() {
  if (!heldInhibitor_) return;
  heldInhibitor_->Release();
  heldInhibitor_ = nullptr;
  DebugTrace("sleep inhibitor released\n");
}

void UpdateFlow::ShowPhase(UiLanguage lang) {
  view_.phase = tracker_.phase();
  view_.phasePercent = tracker_.percent();
  view_.overallPercent = tracker_.overallPercent();
  view_.secondsLeft = tracker_.secondsLeft();
  view_.phaseLine = ProgressLineText(lang, view_.phase, view_.phasePercent, view_.secondsLeft);
}

bool UpdateFlow::Tick(UiLanguage lang) {
  if (!running_ || !tracker_.running()) return false;
  const PhaseTracker::Change c = tracker_.Tick(lumavix::clock().ticks_ms());
  if (!c.text) return false;
  ShowPhase(lang);
  return true;
}

bool UpdateFlow::CloseAllowed(UiLanguage lang, bool running) {
  if (!running && !running_) {
    view_.closeNotice.clear();
    return true;
  }
  view_.closeNotice = std::u16string(CloseRefusedText(lang));
  view_.windowSize = kProgressNoticeWindowSize;
  view_.progressMessageRect = kProgressNoticeMessageRect;
  return false;
}

UpdateFlow::UpdateFlow(UpdateFlowSwitches switches, UpdateFlowHooks hooks)
    : switches_(switches), hooks_(std::move(hooks)) {}

UpdateFlow::~UpdateFlow() {
  // The write lock is not let go under a worker that still writes.
  if (writer_) WaitForWorker();
  ReleaseInhibitor();
}

bool UpdateFlow::BuildDownloadRequest(const DeviceWatchState& window, DownloadRequest& r) {
  r = DownloadRequest{};
  if (window.firmwarePath.empty()) return false;
  // The bytes the pass read, checked and presented are the ones written; a
  // path chosen since the pass is read now, once.
  std::shared_ptr<const LoadedFirmware> file = window.image;
  if (!file || file->path != window.firmwarePath)
    file = std::make_shared<const LoadedFirmware>(LoadFirmwareFile(window.firmwarePath));
  if (!file->opened) return false;
  r.file0Size = file->size32();
  r.file0Path = window.firmwarePath;
  r.file0Image = file;
  if (window.chipGen == 2) {
    r.mode = kDownloadBootHeader;
    // The image's own boot configuration, with BootAddr cleared; a file too
    // short to hold it keeps zeros for the bytes it lacks.
    std::array<std::uint8_t, kBootConfigSize> head{};
    for (std::size_t i = 0; i < head.size() && kFirmwareCrcSize + i < file->bytes.size(); ++i)
      head[i] = file->bytes[kFirmwareCrcSize + i];
    head[2] = head[3] = head[4] = 0;
    r.bootHeader = head;
  } else {
    r.mode = kDownloadPlain;
    r.eepromType = 5;
    r.flags |= 0x01;
  }
  return true;
}

void UpdateFlow::SetStatus(DeviceWatchState& window, const char* text) {
  if (text) window.statusText = widen_narrow_text(text);
}

StartResult UpdateFlow::StartUpdate(DeviceWatchState& window, UiLanguage lang,
                                    NotifyTarget* target, Prompter* owner) {
  request_ = DownloadRequest{};
  target_ = target;
  owner_ = owner;
  completed_ = false;
  hasOutcome_ = false;
  outcomeCode_ = 0;
  running_ = false;
  view_.failed = false;
  view_.refusal.clear();
  writerLockNote_.clear();
  writer_.reset();
  view_.closeNotice.clear();
  view_.progressMessageRect = kProgressMessageRect;
  tracker_.Clear();
  ShowPhase(lang);

  view_.progressView = true;
  view_.windowSize = kProgressWindowSize;
  view_.progressMessage = std::u16string(StatusText(lang, kSlotProgressMessage));
  view_.messageBox = nullptr;

  if (!BuildDownloadRequest(window, request_)) {
    view_.messageBox = kMsgFirmwareFile1OpenError;
    return StartResult::FileOpenError;
  }
  request_.notifyWindow = target;
  request_.owner = owner;
  if (request_.file0Size == 0) {
    view_.messageBox = kMsgFirmwareSizeError;
    return StartResult::FileSizeError;
  }
  if (window.chipGen != 2 && !switches_.allowChipGen0Download) {
    view_.messageBox = kMsgDeviceNotSupported;
    return StartResult::NotSupported;
  }

  // The camera is this run's alone from here (the GPIO step before an older
  // chip's download already touches it) until its worker has ended.
  SysError lockErr;
  switch (CameraWriterLock::Take(0, writer_, lockErr)) {
    case WriterLockStatus::Held:
      writerLockNote_ = lockErr.message;
      if (!writerLockNote_.empty()) DebugTrace("%s\n", writerLockNote_.c_str());
      break;
    case WriterLockStatus::NoCamera:
      break;  // the engine's start refuses the run for want of a camera
    case WriterLockStatus::Busy:
      return StartResult::CameraBusy;
    case WriterLockStatus::Unavailable:
      writerLockNote_ = lockErr.message;
      view_.messageBox = kMsgCameraLockError;
      return StartResult::LockError;
  }

  if (window.chipGen == 2) {
    SetStatus(window, kStatusErasing);
    view_.actionControlsEnabled = false;
    window.page.SetControlsEnabled(false);
  } else if (switches_.allowChipGen0Download) {
    const auto gpio = hooks_.gpioStep ? hooks_.gpioStep : &GpioStep;
    SetStatus(window, gpio(kGpioBeforeDownload, window.chipGen, window.deviceOpen));
  }

  // The writing starts inside StartDownload's worker: the inhibitor is
  // taken before, and let go again when the engine refuses.
  HoldInhibitor();
  tracker_.Start(lumavix::clock().ticks_ms());
  if (StartDownload(request_) == kNoWorker) {
    writer_.reset();
    ReleaseInhibitor();
    tracker_.Clear();
    ShowPhase(lang);
    return StartResult::EngineRefused;
  }
  ShowPhase(lang);
  running_ = true;
  return StartResult::Started;
}

void UpdateFlow::FinalStep(DeviceWatchState& window) {
  const auto gpio = hooks_.gpioStep ? hooks_.gpioStep : &GpioStep;
  SetStatus(window, gpio(kGpioAfterUpdate, window.chipGen, window.deviceOpen));
}

void UpdateFlow::Complete(DeviceWatchState& window, UiLanguage lang) {
  view_.progressMessage =
      CompletionText(lang, window.firmware.firmwareVersion, window.camera.cameraModelText);
  SetStatus(window, kStatusCustomFiles);
  // The next passes look for the camera's return with this version.
  window.awaitingReplug = window.firmware.firmwareVersion;
  window.replugLeft = false;

  if (switches_.chainSettingTables && hooks_.chainSettingTables) {
    SetStatus(window, hooks_.chainSettingTables());
  }
  if (switches_.enableUserDataPage && window.page.autoWriteAfterUpdate == 1) {
    SetStatus(window, WriteUserData(window.deviceOpen, window.page, true).status);
  }
  if (switches_.dumpAfterDownload && dumpFlag) {
    // The download worker has posted its last report but its thread may not
    // have ended yet; the engine would refuse a second worker until it has.
    WaitForWorker();
    UploadRequest up;
    // The dump reports to the same target so that its outcome (codes 4, 7
    // and 8) reaches the handler instead of being lost.
    up.notifyWindow = target_;
    up.owner = owner_;
    up.mode = kUploadFlashDump;
    up.startAddress = 0;
    up.length = kDumpLength;
    up.outputPath = dumpPath;
    if (StartUpload(up) != kNoWorker) dumpRunning_ = true;
  }

  window.page.SetControlsEnabled(true);
  view_.actionControlsEnabled = true;
  SetStatus(window, kStatusDownloadSuccess);
}

NotifyEffect UpdateFlow::HandleNotification(DeviceWatchState& window, UiLanguage lang,
                                            std::uint32_t code, std::uint32_t value) {
  NotifyEffect e;
  const PhaseTracker::Change phase = tracker_.Note(code, value, lumavix::clock().ticks_ms());
  if (phase.text || phase.overall) ShowPhase(lang);
  e.phaseChanged = phase.phase;
  e.phaseStep = phase.percent;
  e.overallStep = phase.overall;
  const char* failure = nullptr;
  switch (code) {
    case UPD_DOWNLOAD_BEGIN:
      SetStatus(window, value == 0 ? kStatusDownloadPage0 : kStatusDownloadPage1);
      return e;
    case UPD_VALIDATE_BEGIN:
      SetStatus(window, value == 0 ? kStatusValidatePage0 : kStatusValidatePage1);
      return e;
    case UPD_UPLOAD_BEGIN:
      SetStatus(window, value == 0 ? kStatusUploadPage0 : kStatusUploadPage1);
      return e;
    case UPD_DOWNLOAD_POS:
    case UPD_VALIDATE_POS:
    case 5:
      if (value > kProgressFloor) {
        view_.progressPosition = value;
        if (progressTotal_ > 0) {
          progressPercent_ = ProgressPercent(value, progressTotal_);
          if (progressPercent_ != lastPercent_) {
            ringStepPending_ = true;
            e.ringStep = true;
            lastPercent_ = progressPercent_;
          }
        }
      }
      return e;
    case UPD_RANGE:
      if (value > kProgressFloor) {
        view_.progressRange = value;
        progressTotal_ = static_cast<std::int32_t>(std::min<std::uint32_t>(value, 0x7FFFFFFF));
        view_.byteCountText = std::to_string(value) + " bytes";
      }
      return e;
    case UPD_ELAPSED_MS:
      view_.secondsText = SecondsText(value);
      return e;
    case UPD_FILE_WRITE_FAILED:
      SetStatus(window, kStatusFileWriteFailure);
      break;
    case UPD_UPLOAD_DONE:
      SetStatus(window, kStatusUploadSuccess);
      break;
    case UPD_DOWNLOAD_DONE:
      // One completion per run, however often the code arrives.
      if (completed_) return e;
      completed_ = true;
      e.completed = true;
      Complete(window, lang);
      break;
    case UPD_DOWNLOAD_FAILED:
      failure = kStatusDownloadFailure;
      break;
    case UPD_ACCESS_FAILED:
      failure = kStatusAccessFailure;
      break;
    case UPD_VALIDATE_RESULT:
    case UPD_ERASE_RESULT:
      // A boot-header run that fails while erasing or verifying ends with
      // value 0 and posts nothing else: it is that run's failure.
      if (value != 0) return e;
      failure = kStatusDownloadFailure;
      break;
    default:
      return e;
  }

  // The worker may still be between its outcome and its end: it publishes
  // its refusal only then, and may still write (the plain layouts set the
  // flash's protection after their outcome). Its thread ends at once now.
  if (!dumpRunning_) WaitForWorker();
  if (failure) {
    SetStatus(window, failure);
    // Without this the progress view would go on saying "Update in
    // progress..." after the run has failed. The engine's English status
    // stays the window's status text, the detail of the failure view.
    if (!completed_) {
      view_.failed = true;
      view_.refusal = LastRefusal();
      view_.failure = ClassifyFailure(code, value, !view_.refusal.empty());
      view_.progressMessage = std::u16string(FailureHeadline(lang, view_.failure));
    }
  }
  e.terminal = true;
  // The run is over: no time is left, and the line says no more of it.
  tracker_.End();
  ShowPhase(lang);
  ReleaseInhibitor();
  // The run is over: a refused close no longer needs its reason.
  view_.closeNotice.clear();
  view_.windowSize = kProgressWindowSize;
  view_.progressMessageRect = kProgressMessageRect;
  hasOutcome_ = true;
  outcomeCode_ = code;
  running_ = false;
  FinalStep(window);
  if (dumpRunning_) {
    dumpRunning_ = false;
    running_ = true;
  } else {
    writer_.reset();
  }
  return e;
}

}  // namespace lumavix
