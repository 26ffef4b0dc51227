#include "fake_front_end.h"

#include <chrono>

#include <gtest/gtest.h>

namespace lumavix::test {

namespace {

// `a` comes before `b` on the wrapping millisecond counter.
bool Before(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }

// Only a safety net against a worker that hangs: no step waits this long
// when the code under test is sound.
constexpr auto kWorkerPatience = std::chrono::seconds(20);

}  // namespace

// ------------------------------------------------------- lockstep target --

void FakeFrontEnd::LockstepTarget::post(std::uint32_t code, std::uint32_t value) {
  std::unique_lock lock(mu_);
  const bool fromWorker = std::this_thread::get_id() != owner_;
  Posted p{{code, value}, clock().ticks_ms(), 0};
  if (!fromWorker || released_) {
    queue_.push_back(p);
    cv_.notify_all();
    return;
  }
  // From its outcome on the worker no longer waits: the flow waits for
  // the worker's end as it handles the outcome, and the worker then only
  // posts its last reports on its way out.
  if (is_outcome(p.n)) outcomeSeen_ = true;
  if (outcomeSeen_) {
    queue_.push_back(p);
    cv_.notify_all();
    return;
  }
  p.seq = ++posted_;
  queue_.push_back(p);
  workerWaiting_ = true;
  cv_.notify_all();
  cv_.wait(lock, [&] { return released_ || handled_ >= p.seq; });
}

bool FakeFrontEnd::LockstepTarget::WaitQuiet() {
  std::unique_lock lock(mu_);
  const auto giveUp = std::chrono::steady_clock::now() + kWorkerPatience;
  // The worker's end is a flag, not a post: looked at every millisecond.
  while (!released_ && !workerWaiting_ && WorkerRunning()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    cv_.wait_for(lock, std::chrono::milliseconds(1));
  }
  // No worker now: the next one's posts wait again.
  if (!WorkerRunning()) outcomeSeen_ = false;
  return true;
}

std::optional<FakeFrontEnd::LockstepTarget::Posted> FakeFrontEnd::LockstepTarget::Pop(
    std::uint32_t latest) {
  std::lock_guard lock(mu_);
  if (queue_.empty() || Before(latest, queue_.front().at)) return std::nullopt;
  Posted p = queue_.front();
  queue_.pop_front();
  return p;
}

void FakeFrontEnd::LockstepTarget::Handled(const Posted& p) {
  if (p.seq == 0) return;
  std::lock_guard lock(mu_);
  if (p.seq > handled_) handled_ = p.seq;
  // Until the worker posts again it runs: the next step waits for it.
  if (handled_ >= posted_) workerWaiting_ = false;
  cv_.notify_all();
}

void FakeFrontEnd::LockstepTarget::Release() {
  std::lock_guard lock(mu_);
  released_ = true;
  cv_.notify_all();
}

MessageAnswer FakeFrontEnd::AnsweringPrompter::ask(std::string_view, std::string_view text,
                                                   MessageButtons buttons, MessageIcon) {
  boxes_.emplace_back(text);
  return buttons == MessageButtons::OkCancel ? MessageAnswer::Cancel : MessageAnswer::Ok;
}

// ------------------------------------------------------------ the fake --

FakeFrontEnd::FakeFrontEnd(SimulatedCamera& camera, UpdateFlowSwitches switches,
                           UpdateFlowHooks hooks)
    : camera_(camera), core_(switches, std::move(hooks)) {}

FakeFrontEnd::~FakeFrontEnd() {
  core_.SetRender({});
  target_.Release();
  WaitForWorker();
}

void FakeFrontEnd::Quiet() {
  if (!target_.WaitQuiet()) {
    ADD_FAILURE() << "the update worker neither posted nor ended within "
                  << kWorkerPatience.count() << " s";
  }
}

void FakeFrontEnd::Start(const WindowCoreConfig& config) {
  Quiet();
  started_ = true;
  sim::SimCamera* cam = camera_.sim().camera_count() > 0 ? camera_.sim().camera(0) : nullptr;
  lastPlugged_ = cam != nullptr && !cam->unplugged();
  core_.SetRender([this] { Render(); });
  Apply(core_.Initialise(config, &target_, &prompter_));
  if (cam != nullptr) Arm(TimerId::Presence, kPresencePollMs);
}

void FakeFrontEnd::DeviceChange() {
  Quiet();
  Apply(core_.DeviceChanged());
}

void FakeFrontEnd::Unplug() {
  Quiet();
  camera_.camera().unplug();
  lastPlugged_ = false;
  Apply(core_.DeviceChanged());
}

void FakeFrontEnd::Replug() {
  Quiet();
  camera_.camera().replug();
  lastPlugged_ = true;
  Apply(core_.DeviceChanged());
}

void FakeFrontEnd::ClickUpdate() {
  Quiet();
  Apply(core_.UpdateClicked());
}

void FakeFrontEnd::PressReturn() {
  Quiet();
  // Return goes to the focused control; a hidden button has no focus.
  const bool onChooseFile = focus_ == kChooseFileControlId && frame().chooseFileShown;
  Apply(core_.KeyReturn(onChooseFile ? kChooseFileControlId : 0));
}

void FakeFrontEnd::PressEscape() {
  Quiet();
  Apply(core_.KeyEscape());
}

bool FakeFrontEnd::CloseBox() {
  Quiet();
  Apply(core_.CloseRequested());
  return closed_;
}

void FakeFrontEnd::ClickChooseFile() {
  Quiet();
  Apply(core_.ChooseFileClicked());
}

bool FakeFrontEnd::Drop(const std::vector<std::string>& paths) {
  Quiet();
  const std::string taken = core_.FirmwareDropPath(paths);
  if (taken.empty()) return false;
  Apply(core_.FirmwareChosen(taken));
  return true;
}

void FakeFrontEnd::RequestAutoUpdate() {
  Quiet();
  Apply(core_.RequestAutoUpdate());
}

void FakeFrontEnd::Notify(std::uint32_t code, std::uint32_t value) {
  Quiet();
  delivered_.push_back({code, value});
  Apply(core_.Notification(code, value));
  RunDue();
}

void FakeFrontEnd::ConfirmOk() {
  if (!confirmationOpen_) {
    ADD_FAILURE() << "OK clicked, but no confirmation is open";
    return;
  }
  Quiet();
  confirmationOpen_ = false;
  Apply(core_.Confirmed());
}

void FakeFrontEnd::ConfirmCancel() {
  if (!confirmationOpen_) {
    ADD_FAILURE() << "Cancel clicked, but no confirmation is open";
    return;
  }
  confirmationOpen_ = false;
}

void FakeFrontEnd::AnswerFileDialog(const std::optional<std::string>& path) {
  if (!fileDialogOpen_) {
    ADD_FAILURE() << "a file dialog answered, but none is open";
    return;
  }
  Quiet();
  fileDialogOpen_ = false;
  Apply(core_.LeaveModal());
  if (path) Apply(core_.FirmwareChosen(*path));
}

void FakeFrontEnd::DismissBox() {
  if (!boxOpen_) {
    ADD_FAILURE() << "a message box dismissed, but none is up";
    return;
  }
  Quiet();
  boxOpen_ = false;
  const WindowEffects rest = *afterBox_;
  afterBox_.reset();
  Apply(core_.LeaveModal());
  ApplyAfterBox(rest);
}

// --------------------------------------------------------------- effects --

void FakeFrontEnd::Apply(const WindowEffects& e) {
  if (e.endConfirmation) confirmationOpen_ = false;
  if (e.resetRing) {
    ++ring_.resets;
    ring_.passes.clear();
    ring_.lastStep = 0;
    ring_.steps = 0;
  }
  if (e.beginRingPass) {
    ring_.passes.push_back(*e.beginRingPass);
    ring_.lastStep = 0;
  }
  Render();
  if (e.messageBox) {
    // Modal: no pass runs while it is up.
    core_.EnterModal();
    boxes_.emplace_back(e.messageBox);
    if (holdMessageBoxes && !boxOpen_) {
      boxOpen_ = true;
      afterBox_ = e;
      return;
    }
    Apply(core_.LeaveModal());
  }
  ApplyAfterBox(e);
}

void FakeFrontEnd::ApplyAfterBox(const WindowEffects& e) {
  if (e.armWatchTimer) Arm(TimerId::Watch, kWatchTimerMs);
  if (e.armRingTimer) Arm(TimerId::RingStep, 0);
  if (e.armProgressTimer) Arm(TimerId::Progress, kProgressTimerMs);
  // Not modal to the core: a pass still runs under the confirmation, and
  // ends it when the camera it asks about is gone.
  if (e.showConfirmation) confirmationOpen_ = true;
  if (e.openFileDialog && !fileDialogOpen_) {
    core_.EnterModal();
    fileDialogOpen_ = true;
  }
  if (e.closeWindow) closed_ = true;
}

void FakeFrontEnd::Render() {
  frames_.push_back(core_.frame());
  if (core_.frame().focus != 0) focus_ = core_.frame().focus;
}

std::vector<std::string> FakeFrontEnd::ViewsSince(std::size_t from) const {
  std::vector<std::string> views;
  for (std::size_t i = from; i < frames_.size(); ++i) {
    const std::string v = frames_[i].viewName();
    if (views.empty() || views.back() != v) views.push_back(v);
  }
  return views;
}

// ------------------------------------------------------------------ time --

std::uint32_t FakeFrontEnd::now() const { return camera_.clock().ticks_ms(); }

void FakeFrontEnd::MoveClockTo(std::uint32_t t) {
  const std::uint32_t at = now();
  if (Before(at, t)) camera_.clock().advance_ms(t - at);
}

void FakeFrontEnd::Arm(TimerId id, std::uint32_t delayMs) {
  // Arming an armed timer starts it again, as SetTimer and QTimer::start do.
  Disarm(id);
  timers_.push_back({id, now() + delayMs});
}

void FakeFrontEnd::Disarm(TimerId id) {
  std::erase_if(timers_, [id](const Timer& t) { return t.id == id; });
}

std::optional<std::uint32_t> FakeFrontEnd::watchTimerDue() const {
  for (const Timer& t : timers_) {
    if (t.id == TimerId::Watch) return t.due;
  }
  return std::nullopt;
}

std::optional<FakeFrontEnd::Timer> FakeFrontEnd::NextTimer(bool windowOnly) const {
  std::optional<Timer> next;
  for (const Timer& t : timers_) {
    if (windowOnly && t.id == TimerId::Presence) continue;
    if (!next || Before(t.due, next->due)) next = t;
  }
  return next;
}

void FakeFrontEnd::Fire(TimerId id) {
  Disarm(id);
  switch (id) {
    case TimerId::Watch:
      Apply(core_.WatchTimer());
      return;
    case TimerId::RingStep: {
      if (const std::optional<int> percent = core_.RingTimer()) {
        const bool drawn = !ringDrawFails;
        if (drawn) {
          ring_.lastStep = *percent;
          ++ring_.steps;
        }
        core_.RingStepDrawn(*percent, drawn);
      }
      Render();
      return;
    }
    case TimerId::Progress:
      Apply(core_.ProgressTimer());
      return;
    case TimerId::Presence:
      Arm(TimerId::Presence, kPresencePollMs);
      PollPresence();
      return;
  }
}

void FakeFrontEnd::PollPresence() {
  const bool plugged = !camera_.camera().unplugged();
  if (plugged == lastPlugged_) return;
  lastPlugged_ = plugged;
  Apply(core_.DeviceChanged());
}

bool FakeFrontEnd::DeliverOne(std::uint32_t latest) {
  const std::optional<LockstepTarget::Posted> p = target_.Pop(latest);
  if (!p) return false;
  delivered_.push_back(p->n);
  Apply(core_.Notification(p->n.code, p->n.value));
  if (onNotification) onNotification(p->n);
  target_.Handled(*p);
  return true;
}

void FakeFrontEnd::RunDue() {
  for (;;) {
    const std::optional<Timer> next = NextTimer(false);
    if (!next || Before(now(), next->due)) return;
    Fire(next->id);
  }
}

void FakeFrontEnd::Advance(std::uint32_t ms) {
  const std::uint32_t end = now() + ms;
  for (;;) {
    Quiet();
    // Timers that fell due while the worker ran go first: a real loop
    // would have fired them before the worker's later post arrived.
    const std::optional<Timer> next = NextTimer(false);
    if (next && !Before(now(), next->due)) {
      Fire(next->id);
      continue;
    }
    if (DeliverOne(end)) continue;
    if (next && !Before(end, next->due)) {
      MoveClockTo(next->due);
      Fire(next->id);
      continue;
    }
    break;
  }
  MoveClockTo(end);
}

bool FakeFrontEnd::RunUntil(std::uint32_t limitMs, const std::function<bool()>& done) {
  const std::uint32_t end = now() + limitMs;
  for (;;) {
    Quiet();
    const std::optional<Timer> next = NextTimer(false);
    if (next && !Before(now(), next->due)) {
      Fire(next->id);
      continue;
    }
    if (DeliverOne(now())) continue;
    if (done()) return true;
    if (!next || Before(end, next->due)) return false;
    MoveClockTo(next->due);
    Fire(next->id);
  }
}

bool FakeFrontEnd::Settle(std::uint32_t limitMs) {
  return RunUntil(limitMs, [this] { return !WorkerRunning() && !NextTimer(true); });
}

bool FakeFrontEnd::FinishRun(std::uint32_t limitMs) {
  return RunUntil(limitMs, [this] { return !running(); });
}

}  // namespace lumavix::test
