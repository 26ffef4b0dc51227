// A front end without a window system, for the window core's tests: it owns a
// MainWindowCore and carries out its effects as both real front ends must
// (the confirmation, message boxes and the file dialog with their modal
// brackets, timers 1 and 2 and the progress timer, the ring's steps, the
// close), on the simulated camera's virtual clock. Nothing here waits on the
// wall clock: virtual time moves only when the test lets it (Advance,
// Settle), and timers fire in the order of their deadlines.
//
// The worker's notifications reach the core in lockstep: the worker waits in
// each post until the core has handled it (up to its outcome, which the
// flow handles by waiting for the worker's end), and every step of the fake
// starts only once the worker is waiting so or has ended. A run is then the same
// sequence of events each time, and a test may act at a chosen notification
// (onNotification) while the worker is held there.
//
// Every frame the front end would render is recorded, so that a test can ask
// what was ever shown, not only what is shown at the end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/core/main_window_core.h"
#include "firmware/engine.h"

#include "sim_camera.h"

namespace lumavix::test {

// Timer 1's delay, as both front ends arm it.
inline constexpr std::uint32_t kWatchTimerMs = 100;
// How often the fake's "system" looks at the simulated camera's presence to
// report a device change, as the program does for its simulated camera.
inline constexpr std::uint32_t kPresencePollMs = 200;

class FakeFrontEnd {
 public:
  // The first camera of `camera` is the one unplugged and replugged.
  explicit FakeFrontEnd(SimulatedCamera& camera, UpdateFlowSwitches switches = {},
                        UpdateFlowHooks hooks = {});
  // Lets a held worker go and waits for it, before the target it posts to
  // is gone.
  ~FakeFrontEnd();
  FakeFrontEnd(const FakeFrontEnd&) = delete;
  FakeFrontEnd& operator=(const FakeFrontEnd&) = delete;

  // ------------------------------------------------------------ events --
  void Start(const WindowCoreConfig& config);
  // The system reports a device change.
  void DeviceChange();
  // The first camera leaves or comes back, and the system reports it.
  void Unplug();
  void Replug();
  void ClickUpdate();
  // Return with the keyboard focus where the last frame put it.
  void PressReturn();
  void PressEscape();
  // The window's close box; true when the window closed.
  bool CloseBox();
  void ClickChooseFile();
  // Files dropped on the window; true when the window took one.
  bool Drop(const std::vector<std::string>& paths);
  void RequestAutoUpdate();
  // A notification posted from the window's own thread (outside any run).
  void Notify(std::uint32_t code, std::uint32_t value);

  // ----------------------------------------------------------- dialogs --
  [[nodiscard]] bool confirmationOpen() const { return confirmationOpen_; }
  void ConfirmOk();
  void ConfirmCancel();
  [[nodiscard]] bool fileDialogOpen() const { return fileDialogOpen_; }
  // The file dialog's answer; nullopt: Cancel.
  void AnswerFileDialog(const std::optional<std::string>& path);
  // Message boxes are acknowledged as they come up unless held; a held box
  // stays up (and the effects after it wait) until DismissBox.
  bool holdMessageBoxes = false;
  [[nodiscard]] bool boxOpen() const { return boxOpen_; }
  void DismissBox();
  // The texts of every box shown so far: the window's and the engine's
  // start checks' (a question is answered Cancel, as a wary user would).
  [[nodiscard]] const std::vector<std::string>& boxes() const { return boxes_; }

  // -------------------------------------------------------------- time --
  // Lets `ms` of virtual time pass, firing every timer due on the way and
  // delivering the worker's notifications as they come.
  void Advance(std::uint32_t ms);
  // Runs until nothing more is due: no worker, no notification, no timer of
  // the window armed. False when that takes more than `limitMs` of virtual
  // time (a pass that keeps asking for the next one, say).
  bool Settle(std::uint32_t limitMs = 60000);
  // Runs until the update under way has ended and its outcome is shown:
  // its notifications delivered and the ring's step drawn, with no more
  // virtual time passing than the run itself takes. False when it is still
  // under way after `limitMs`.
  bool FinishRun(std::uint32_t limitMs = 60000);
  [[nodiscard]] std::uint32_t now() const;
  // The virtual time timer 1 fires at, if armed.
  [[nodiscard]] std::optional<std::uint32_t> watchTimerDue() const;
  // Called as each notification of a run is delivered, after the core has
  // handled it and while the worker still waits in its post.
  std::function<void(const Notification&)> onNotification;

  // ------------------------------------------------------ what is shown --
  [[nodiscard]] MainWindowCore& core() { return core_; }
  [[nodiscard]] const WindowFrame& frame() const { return core_.frame(); }
  // Every frame rendered, in order.
  [[nodiscard]] const std::vector<WindowFrame>& frames() const { return frames_; }
  // The view names of the frames rendered from `from` on, each change once.
  [[nodiscard]] std::vector<std::string> ViewsSince(std::size_t from) const;
  [[nodiscard]] int passCount() const { return core_.passCount(); }
  [[nodiscard]] bool running() const { return core_.UpdateRunning(); }
  [[nodiscard]] bool closed() const { return closed_; }
  [[nodiscard]] int focus() const { return focus_; }
  // The ring as drawn: passes begun (since the last reset), steps drawn.
  struct Ring {
    int resets = 0;
    std::vector<RingColour> passes;
    int lastStep = 0;  // the last percentage drawn in this pass
    int steps = 0;     // steps drawn since the last reset
  };
  [[nodiscard]] const Ring& ring() const { return ring_; }
  // The ring fails to draw its steps (a surface that could not be had).
  bool ringDrawFails = false;
  // Notifications the core has handled.
  [[nodiscard]] const std::vector<Notification>& delivered() const { return delivered_; }

 private:
  // Fires what is due and delivers what is posted, moving the clock to the
  // next deadline when nothing else is left, until `done` holds (true) or
  // the next deadline lies beyond `limitMs` (false).
  bool RunUntil(std::uint32_t limitMs, const std::function<bool()>& done);
  // The worker's posts: each waits until the fake's thread has delivered it.
  class LockstepTarget final : public NotifyTarget {
   public:
    void post(std::uint32_t code, std::uint32_t value) override;
    // Waits until the worker waits in a post or has ended (or a notification
    // of the window's own thread is queued); false when that never comes.
    bool WaitQuiet();
    struct Posted {
      Notification n;
      std::uint32_t at = 0;    // virtual time of the post
      std::uint64_t seq = 0;   // the worker's posts from 1; 0: the window's own
    };
    // The oldest notification, if one was posted by `latest` or earlier.
    std::optional<Posted> Pop(std::uint32_t latest);
    // A popped notification was handled: its poster may go on.
    void Handled(const Posted& p);
    // Posts no longer wait (the fake is going).
    void Release();

   private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Posted> queue_;
    std::thread::id owner_ = std::this_thread::get_id();
    std::uint64_t posted_ = 0;   // by the worker
    std::uint64_t handled_ = 0;  // the last of those handled
    bool workerWaiting_ = false;
    bool outcomeSeen_ = false;  // the running worker has posted its outcome
    bool released_ = false;
  };
  class AnsweringPrompter final : public Prompter {
   public:
    explicit AnsweringPrompter(std::vector<std::string>& boxes) : boxes_(boxes) {}
    MessageAnswer ask(std::string_view caption, std::string_view text, MessageButtons buttons,
                      MessageIcon icon) override;

   private:
    std::vector<std::string>& boxes_;
  };
  enum class TimerId : std::uint8_t { Watch, RingStep, Progress, Presence };
  struct Timer {
    TimerId id;
    std::uint32_t due;
  };

  void Apply(const WindowEffects& e);
  // The effects after the message box (timers, dialogs, the close).
  void ApplyAfterBox(const WindowEffects& e);
  void Render();
  void Arm(TimerId id, std::uint32_t delayMs);
  void Disarm(TimerId id);
  void Fire(TimerId id);
  // One step: the oldest notification posted by `latest`, if any. True if
  // one was delivered.
  bool DeliverOne(std::uint32_t latest);
  // Fires the timers already due, oldest deadline first.
  void RunDue();
  void Quiet();
  // The earliest armed timer; `windowOnly` leaves out the presence poll.
  [[nodiscard]] std::optional<Timer> NextTimer(bool windowOnly) const;
  void MoveClockTo(std::uint32_t t);
  void PollPresence();

  SimulatedCamera& camera_;
  std::vector<std::string> boxes_;
  LockstepTarget target_;
  AnsweringPrompter prompter_{boxes_};
  MainWindowCore core_;
  std::vector<WindowFrame> frames_;
  std::vector<Timer> timers_;
  std::vector<Notification> delivered_;
  Ring ring_;
  int focus_ = 0;
  bool confirmationOpen_ = false;
  bool fileDialogOpen_ = false;
  bool boxOpen_ = false;
  std::optional<WindowEffects> afterBox_;
  bool closed_ = false;
  bool started_ = false;
  bool lastPlugged_ = true;
};

}  // namespace lumavix::test
