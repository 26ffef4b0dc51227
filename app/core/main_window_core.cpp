#include "app/core/main_window_core.h"

#include <algorithm>
#include <string_view>

#include "firmware/engine.h"
#include "firmware/product_config.h"

namespace lumavix {

namespace {

// Holds the core busy for the length of one event, so that a pass asked for
// from a nested event loop waits for the outer event to end.
class BusyScope {
 public:
  explicit BusyScope(int& busy) : busy_(busy) { ++busy_; }
  ~BusyScope() { --busy_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int& busy_;
};

bool EndsWithBin(std::string_view path) {
  if (path.size() < 4) return false;
  const std::string_view tail = path.substr(path.size() - 4);
  static constexpr char kBin[] = ".bin";
  for (std::size_t i = 0; i < 4; ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kBin[i]) return false;
  }
  return true;
}

}  // namespace

const char* WindowFrame::viewName() const {
  return progressView ? "progress" : presentationName;
}

void WindowEffects::Merge(const WindowEffects& later) {
  endConfirmation = endConfirmation || later.endConfirmation;
  if (later.resetRing) {
    resetRing = true;
    beginRingPass.reset();
  }
  if (later.beginRingPass) beginRingPass = later.beginRingPass;
  if (later.messageBox) {
    messageBox = later.messageBox;
    messageCaption = later.messageCaption;
  }
  armWatchTimer = armWatchTimer || later.armWatchTimer;
  armRingTimer = armRingTimer || later.armRingTimer;
  armProgressTimer = armProgressTimer || later.armProgressTimer;
  showConfirmation = showConfirmation || later.showConfirmation;
  openFileDialog = openFileDialog || later.openFileDialog;
  closeWindow = closeWindow || later.closeWindow;
}

MainWindowCore::MainWindowCore(UpdateFlowSwitches switches, UpdateFlowHooks hooks)
    : flow_(switches, std::move(hooks)) {}

bool MainWindowCore::UpdateRunning() const { return flow_.running() || WorkerRunning(); }

WindowEffects MainWindowCore::Initialise(const WindowCoreConfig& config, NotifyTarget* target,
                                         Prompter* prompter) {
  frame_.focus = 0;
  lang_ = config.language;
  SetUiLanguage(lang_);
  directory_ = config.directory;
  downloadsFolder_ = config.downloadsFolder;
  if (!config.firmwareFile.empty()) chosenFile_ = config.firmwareFile;
  target_ = target;
  prompter_ = prompter;
  watch_.deviceOpen = 0;
  toolModelName_ = ModelName(ToolVariant);
  windowTitle_ = WindowTitle(lang_, ToolVariant);
  // The title from the start, whatever the first pass finds.
  frame_.title = windowTitle_;
  frame_.updateText = StatusText(lang_, kSlotUpdateButton);
  frame_.chooseFileText = ChooseFileButtonText(lang_);
  initialised_ = true;
  passPending_ = false;
  WindowEffects e;
  {
    BusyScope busy(busy_);
    e = RunPass();
  }
  return Finish(e);
}

WindowEffects MainWindowCore::DeviceChanged() {
  WindowEffects e;
  e.armWatchTimer = true;
  return e;
}

WindowEffects MainWindowCore::WatchTimer() {
  frame_.focus = 0;
  if (busy_ > 0) {
    passPending_ = true;
    return {};
  }
  WindowEffects e;
  {
    BusyScope busy(busy_);
    e = RunPass();
  }
  return Finish(e);
}

WindowEffects MainWindowCore::Finish(WindowEffects effects) {
  if (busy_ == 0 && passPending_ && !flow_.running()) {
    passPending_ = false;
    effects.armWatchTimer = true;
  }
  // Only on what the latest pass showed: not while another pass is due, nor
  // behind a box the user has still to read.
  // Never Finish update, which only the user's click may choose.
  if (autoUpdate_ && busy_ == 0 && !effects.armWatchTimer && !effects.messageBox &&
      UpdateOffered() && !frame_.updateOnUsersWord) {
    autoUpdate_ = false;
    effects.Merge(Confirmed());
  }
  return effects;
}

bool MainWindowCore::UpdateOffered() const {
  return frame_.updateShown && frame_.actionControlsEnabled && !frame_.progressView &&
         !UpdateRunning();
}

WindowEffects MainWindowCore::RequestAutoUpdate() {
  autoUpdate_ = true;
  return Finish({});
}

WindowEffects MainWindowCore::RunPass() {
  WindowEffects e;
  // The pass closes and reopens the library that the update worker uses:
  // it waits for the worker's terminal notification (which asks for it), or
  // for the worker's thread to end after it.
  if (flow_.running()) {
    passPending_ = true;
    return e;
  }
  if (WorkerRunning()) {
    passPending_ = true;
    return e;
  }

  frame_.actionControlsEnabled = false;
  const DeviceWatchResult r = EvaluateDeviceWatch(watch_, PassConfig());
  if (r.outcome == WatchOutcome::Deferred) {
    passPending_ = true;
    return e;
  }
  ++passCount_;
  e.resetRing = true;
  frame_.percentText.clear();
  SetRingValue(0);
  PresentationView view = r.view;
  const PassSeen seen{r.outcome, r.view.presentation, r.view.statusText};
  if (failurePending_) {
    failurePending_ = false;
    failureShown_ = true;
    failureSeen_ = seen;
    // A camera gone by the pass that follows its run was unplugged during
    // it: a read-back that found nothing is no difference from the file.
    if (failureKind_ != FailureKind::Refused && r.outcome == WatchOutcome::Presented &&
        r.view.presentation == Presentation::NoCamera)
      failureKind_ = FailureKind::Disconnected;
  } else if (failureShown_ && !(seen == failureSeen_)) {
    failureShown_ = false;
  }
  if (failureShown_) {
    // The failed run's view: what happened, whether the camera may be
    // unplugged, what to do now that the pass has seen the camera again.
    view = ComposeFailureView(r.view, lang_, failureKind_, failureDetail_);
    watch_.statusText = view.statusText;
  }
  // Another program writes the camera: look again shortly, as no device
  // change may come when it is done.
  if (r.outcome == WatchOutcome::Presented && r.view.presentation == Presentation::CameraBusy)
    passPending_ = true;
  e.endConfirmation = r.endConfirmation;
  lastPresentation_ = r.outcome == WatchOutcome::Presented ? r.view.presentation
                                                           : Presentation::NoCamera;
  ApplyPresentation(view);
  // The file view has no presentation of its own (it shows no camera
  // state); a trace or a test still tells it from a missing camera.
  frame_.presentationName = r.outcome == WatchOutcome::FileProblemShown
                                ? "file-problem"
                                : PresentationName(view.presentation);
  if (r.messageBox) {
    e.messageBox = r.messageBox;
    e.messageCaption = r.messageCaption ? r.messageCaption : kAppCaption;
  }
  if (r.setWindowTitle) frame_.title = r.windowTitle;
  frame_.actionControlsEnabled =
      r.outcome == WatchOutcome::Presented && r.view.controlsEnabled;
  Refresh();
  return e;
}

DeviceWatchConfig MainWindowCore::PassConfig() const {
  DeviceWatchConfig cfg;
  cfg.language = lang_;
  cfg.directory = directory_;
  cfg.firmwareFile = chosenFile_;
  // A file the user chose is the one taken: no other folder is searched.
  if (chosenFile_.empty()) cfg.downloadsFolder = downloadsFolder_;
  cfg.fileProblemsInWindow = true;
  cfg.updateInProgress = flow_.running();
  return cfg;
}

void MainWindowCore::ApplyPresentation(const PresentationView& v) {
  WindowFrame& f = frame_;
  f.progressView = false;
  f.windowSize = v.windowSize;
  f.statusShown = true;
  f.statusRect = v.statusRect;
  f.updateShown = v.updateButtonShown;
  f.updateRect = v.updateButtonRect;
  f.updateText = v.updateButtonText.empty() ? std::u16string(StatusText(lang_, kSlotUpdateButton))
                                            : v.updateButtonText;
  f.updateOnUsersWord = v.updateButtonShown && v.presentation == Presentation::InterruptedUnidentified;
  f.linkShown = v.linkShown;
  if (v.linkShown) {
    f.linkRect = v.linkRect;
    f.linkMarkup = v.linkMarkup;
    f.linkAddress = DownloadUrl;
  }
  f.chooseFileShown = v.chooseFileShown;
  f.chooseFileRect = v.chooseFileRect;
  f.ringShown = false;
  f.progressMessageShown = false;
  f.phaseLineShown = false;
  if (v.chooseFileShown) {
    f.focus = kChooseFileControlId;
  } else if (v.updateButtonShown) {
    f.focus = kActionControls[0];
  } else {
    f.focus = 0;
  }
}

void MainWindowCore::EnterProgressView() {
  WindowFrame& f = frame_;
  f.progressView = true;
  f.windowSize = kProgressWindowSize;
  f.statusShown = false;
  f.updateShown = false;
  f.linkShown = false;
  f.chooseFileShown = false;
  f.ringShown = true;
  f.progressMessageShown = true;
  f.progressMessageRect = kProgressMessageRect;
  f.progressMessage = StatusText(lang_, kSlotProgressMessage);
  f.phaseLineShown = true;
  f.phaseLineRect = kPhaseLineRect;
  f.phaseLine.clear();
  f.focus = 0;
  f.percentText.clear();
  SetRingValue(0);
}

void MainWindowCore::SetRingValue(int percent) {
  // Within one run the value only rises; a new run starts from 0.
  frame_.ringValue = std::clamp(percent, 0, 100);
  frame_.ringValueText = PercentText(lang_, frame_.ringValue);
}

void MainWindowCore::TakeFlowView() {
  const UpdateView& v = flow_.view();
  WindowFrame& f = frame_;
  if (v.progressRange > 0) {
    f.progressRange = v.progressRange;
    f.progressPosition = std::min(v.progressPosition, v.progressRange);
  }
  f.byteCountText = v.byteCountText;
  f.secondsText = v.secondsText;
  if (v.progressView && f.progressView) {
    f.windowSize = v.windowSize;
    f.progressMessageRect = v.progressMessageRect;
    f.phaseLineRect = v.phaseLineRect;
    f.progressMessage = v.progressMessage;
    if (!v.closeNotice.empty()) f.progressMessage += u"\n\n" + v.closeNotice;
    f.phaseLine = v.phaseLine;
    if (v.overallPercent > f.ringValue) SetRingValue(v.overallPercent);
    // A finished run shows its completion text, with no phase line over it.
    if (flow_.completed()) {
      f.phaseLineShown = false;
      f.phaseLine.clear();
    }
  }
  Refresh();
}

void MainWindowCore::Refresh() {
  frame_.statusText = watch_.statusText;
  frame_.firmwarePath = watch_.firmwarePath;
}

WindowEffects MainWindowCore::UpdateClicked() {
  frame_.focus = 0;
  WindowEffects e;
  if (frame_.updateShown && frame_.actionControlsEnabled && !UpdateRunning()) {
    e.showConfirmation = true;
  }
  finishChosen_ = e.showConfirmation && frame_.updateOnUsersWord;
  return e;
}

WindowEffects MainWindowCore::Confirmed() {
  frame_.focus = 0;
  WindowEffects e;
  if (UpdateRunning()) return e;
  {
    BusyScope busy(busy_);
    if (lastPresentation_ == Presentation::InterruptedUnidentified) {
      // The user's word that the camera is the file's model, given by a
      // click on Finish update and nothing else; the pass applies the same
      // rule as `update --recover` and sets the camera's identity for the
      // run. Anything else it finds now is shown instead.
      const bool chosen = finishChosen_;
      finishChosen_ = false;
      if (!chosen) {
        e.Merge(RunPass());
        return Finish(e);
      }
      DeviceWatchConfig cfg = PassConfig();
      cfg.recover = true;
      const DeviceWatchResult r = EvaluateDeviceWatch(watch_, cfg);
      if (r.outcome != WatchOutcome::Presented || r.view.presentation != Presentation::Interrupted) {
        e.Merge(RunPass());
        return Finish(e);
      }
    }
    EnterProgressView();
    // A new run: the last one's failure is no longer what the window tells.
    failurePending_ = false;
    failureShown_ = false;
    // The progress view is up before the engine's own start checks can
    // show their message boxes over it.
    if (render_) render_();
    const StartResult result = flow_.StartUpdate(watch_, lang_, target_, prompter_);
    if (result == StartResult::Started) {
      e.beginRingPass = RingPassColour(flow_.view().phase);
      e.armProgressTimer = true;
    }
    frame_.actionControlsEnabled = false;
    TakeFlowView();
    if (const char* box = flow_.view().messageBox) {
      e.messageBox = box;
      e.messageCaption = kAppCaption;
      flow_.view().messageBox = nullptr;
    }
    // Nothing runs after a refused start (the reason was shown in a box):
    // back to a status view instead of an empty progress view with a ring
    // that never moves; after the box, when there is one.
    if (result != StartResult::Started) {
      if (e.messageBox) {
        passPending_ = true;
      } else {
        e.Merge(RunPass());
      }
    }
  }
  return Finish(e);
}

WindowEffects MainWindowCore::Notification(std::uint32_t code, std::uint32_t value) {
  frame_.focus = 0;
  WindowEffects e;
  {
    BusyScope busy(busy_);
    const NotifyEffect effect = flow_.HandleNotification(watch_, lang_, code, value);
    TakeFlowView();
    // Each phase is one pass of the ring, over the last one in its colour.
    if (effect.phaseChanged) e.beginRingPass = RingPassColour(flow_.view().phase);
    if (effect.phaseChanged || effect.phaseStep) e.armRingTimer = true;
    if (effect.completed) frame_.actionControlsEnabled = flow_.view().actionControlsEnabled;
    // A failed run leaves the progress view: the next pass (as soon as the
    // worker's thread has ended) shows the camera as it is now, with the
    // failure above it, and enables what that presentation offers, such as
    // Update for another try. Without it the window would stay on the ring
    // with nothing running until the camera is replugged.
    const bool failed =
        effect.terminal && !flow_.completed() && !is_success(lumavix::Notification{code, value});
    if (failed) {
      failurePending_ = true;
      failureKind_ = flow_.view().failure;
      // A refusal's detail is its reason; the engine's status says only
      // that the download failed.
      failureDetail_ = failureKind_ == FailureKind::Refused ? flow_.view().refusal
                                                           : ToUtf8(watch_.statusText);
      passPending_ = true;
    }
  }
  return Finish(e);
}

WindowEffects MainWindowCore::ProgressTimer() {
  WindowEffects e;
  if (!flow_.running()) return e;
  if (flow_.Tick(lang_)) TakeFlowView();
  e.armProgressTimer = true;
  return e;
}

std::optional<int> MainWindowCore::RingTimer() {
  frame_.focus = 0;
  // The phase's percentage: the same as the writing's before any run (the
  // flow then has no phase) and while writing.
  const int percent = flow_.view().phasePercent;
  flow_.RingStepDrawn();
  if (percent > 100) return std::nullopt;
  return percent;
}

void MainWindowCore::RingStepDrawn(int percent, bool drawn) {
  if (!drawn) return;
  frame_.percentText = PercentText(lang_, percent);
  // Notifications outside an update run (the engineering downloads) have no
  // whole update: the value read aloud is the ring's own.
  if (flow_.view().phase == UpdatePhase::None) SetRingValue(percent);
}

WindowEffects MainWindowCore::CloseRequested() {
  frame_.focus = 0;
  WindowEffects e;
  // Ending the process under a running worker would leave the camera's
  // flash half written; the window stays until the run has ended, and says
  // why.
  if (!flow_.CloseAllowed(lang_, UpdateRunning())) {
    TakeFlowView();
    return e;
  }
  e.closeWindow = true;
  return e;
}

WindowEffects MainWindowCore::KeyReturn(int focusedControl) {
  if (focusedControl == kChooseFileControlId) return ChooseFileClicked();
  return UpdateClicked();
}

WindowEffects MainWindowCore::ChooseFileClicked() {
  WindowEffects e;
  e.openFileDialog = frame_.chooseFileShown && !UpdateRunning();
  return e;
}

WindowEffects MainWindowCore::KeyEscape() { return CloseRequested(); }

WindowEffects MainWindowCore::FirmwareChosen(const std::string& path) {
  if (UpdateRunning() || path.empty()) return {};
  chosenFile_ = path;
  // Before the window's initialisation its first pass takes the file.
  if (!initialised_) return {};
  return WatchTimer();
}

std::string MainWindowCore::FirmwareDropPath(std::span<const std::string> paths) const {
  if (UpdateRunning()) return {};
  for (const std::string& p : paths) {
    if (EndsWithBin(p)) return p;
  }
  return {};
}

bool MainWindowCore::EngineeringActionAllowed(bool needsCamera) const {
  if (UpdateRunning()) return false;
  return !needsCamera || watch_.deviceOpen;
}

std::string MainWindowCore::LinkToOpen() const {
  const std::string& a = frame_.linkAddress;
  if (!frame_.linkShown) return {};
  if (a.starts_with("https://") || a.starts_with("http://")) return a;
  return {};
}

void MainWindowCore::EnterModal() { ++busy_; }

WindowEffects MainWindowCore::LeaveModal() {
  frame_.focus = 0;
  if (busy_ > 0) --busy_;
  return Finish({});
}

bool EndsAsSecondCopy(InstanceLock seen) { return seen == InstanceLock::HeldByRunningCopy; }

}  // namespace lumavix
