// The window's decisions without a window: what the frame shows after each
// event, which passes wait (an update, a modal box), what Return, Esc, a
// close and a drop do, and a whole update on the simulated camera driven as
// a front end drives it.
#include "app/core/main_window_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devlib/writer_lock.h"
#include "firmware/image.h"

#include "sim_camera.h"
#include "temp_dir.h"

namespace lumavix {
namespace {

class MainWindowCoreTest : public lumavix::test::TempDirTest {
 protected:
  WindowEffects Start(std::uint16_t fileVersion = 0x0105) {
    FirmwareBuildOptions o;
    o.firmware_version = fileVersion;
    write("fw.bin", build_firmware_file(o));
    WindowCoreConfig c;
    c.directory = dir_.string();
    return core_.Initialise(c, &queue_, &prompter_);
  }
  // Hands the worker's notifications to the core as the window's message
  // loop would, once the worker has ended; the effects of all of them.
  WindowEffects DeliverAll() {
    WaitForWorker();
    WindowEffects all;
    for (const Notification& n : queue_.drain()) all.Merge(core_.Notification(n.code, n.value));
    return all;
  }

  RecordingPrompter prompter_;
  NotifyQueue queue_;
  MainWindowCore core_;
  // Last, so that it goes first: it waits for a worker still posting.
  test::SimulatedCamera camera_;
};

TEST_F(MainWindowCoreTest, UpdateFromButtonToConfirmedPass) {
  Start();
  const WindowFrame& f = core_.frame();
  EXPECT_STREQ(f.viewName(), "update-available");
  EXPECT_EQ(f.title, u"LUMAVIX Q Firmware Update");
  EXPECT_TRUE(f.updateShown && f.actionControlsEnabled) << "Update offered and enabled";
  EXPECT_EQ(f.focus, 1001) << "the keyboard starts on Update";
  EXPECT_TRUE(core_.EngineeringActionAllowed(true)) << "an open camera, no run";
  EXPECT_TRUE(core_.KeyReturn().showConfirmation) << "Return asks for the confirmation";

  const WindowEffects started = core_.Confirmed();
  ASSERT_TRUE(core_.UpdateRunning());
  EXPECT_TRUE(f.progressView && f.ringShown && !f.statusShown) << "the progress view";
  EXPECT_TRUE(started.beginRingPass.has_value()) << "the erase's ring pass begins";
  EXPECT_FALSE(f.actionControlsEnabled);
  EXPECT_FALSE(core_.KeyReturn().showConfirmation) << "no second update while one runs";
  EXPECT_FALSE(core_.EngineeringActionAllowed(false)) << "no engineering action under a run";

  // A device change during the run: no pass under the worker.
  const int passes = core_.passCount();
  EXPECT_TRUE(core_.DeviceChanged().armWatchTimer);
  EXPECT_FALSE(core_.WatchTimer().armWatchTimer);
  EXPECT_EQ(core_.passCount(), passes) << "a pass waits for the run's outcome";
  const WindowEffects refused = core_.KeyEscape();
  EXPECT_FALSE(refused.closeWindow) << "no close while the flash is written";
  EXPECT_NE(f.progressMessage.find(CloseRefusedText(UiLanguage::English)), std::u16string::npos)
      << "the refusal says why";

  const WindowEffects done = DeliverAll();
  EXPECT_TRUE(done.armRingTimer);
  EXPECT_TRUE(done.armWatchTimer) << "the pass asked for during the run follows its outcome";
  EXPECT_EQ(f.progressMessage.rfind(u"Firmware update completed. Current firmware version: v0105.", 0),
            0u);
  EXPECT_TRUE(core_.CloseRequested().closeWindow) << "after the run the window closes";

  // The ring step follows the percentage only once it reached the screen.
  const std::optional<int> percent = core_.RingTimer();
  ASSERT_TRUE(percent.has_value());
  core_.RingStepDrawn(*percent, false);
  EXPECT_TRUE(f.percentText.empty()) << "a failed step shows no percentage";
  core_.RingStepDrawn(*percent, true);
  EXPECT_EQ(f.percentText, std::u16string(u"100%"));

  const WindowEffects pass = core_.WatchTimer();
  EXPECT_TRUE(pass.resetRing);
  EXPECT_FALSE(f.progressView);
  EXPECT_EQ(core_.passCount(), passes + 1);
}

TEST_F(MainWindowCoreTest, TheValueReadAloudRisesOnceOverTheWholeRun) {
  Start();
  const WindowFrame& f = core_.frame();
  const WindowEffects started = core_.Confirmed();
  ASSERT_TRUE(core_.UpdateRunning());
  EXPECT_TRUE(started.armProgressTimer) << "the time left is recomputed on a timer";
  EXPECT_EQ(f.ringValue, 0);
  EXPECT_TRUE(core_.ProgressTimer().armProgressTimer) << "asked for again while the run goes on";

  WaitForWorker();
  int last = 0;
  int ringPasses = 1;
  bool sawStep2 = false;
  for (const Notification& n : queue_.drain()) {
    const WindowEffects e = core_.Notification(n.code, n.value);
    if (e.beginRingPass) ++ringPasses;
    EXPECT_GE(f.ringValue, last) << update_code_name(n.code) << ": the value read aloud fell";
    EXPECT_EQ(f.ringValueText, PercentText(UiLanguage::English, f.ringValue));
    if (core_.UpdateRunning()) {
      EXPECT_LT(f.ringValue, 100) << update_code_name(n.code) << ": 100 only once the run is done";
      sawStep2 = sawStep2 || f.phaseLine.starts_with(u"Step 2 of 3: Writing...");
    }
    last = f.ringValue;
  }
  EXPECT_EQ(ringPasses, 3) << "the ring itself fills once per phase";
  EXPECT_TRUE(sawStep2) << "the phase line names the step";
  EXPECT_EQ(f.ringValue, 100);
  EXPECT_FALSE(f.phaseLineShown) << "no phase line over the completion text";
  EXPECT_TRUE(f.phaseLine.empty());
  EXPECT_FALSE(core_.ProgressTimer().armProgressTimer) << "the timer ends with the run";
}

TEST_F(MainWindowCoreTest, AFileInTheDownloadsFolderIsOfferedAndNamed) {
  test::TempDir downloads;
  FirmwareBuildOptions o;
  o.firmware_version = 0x0105;
  const std::string file = downloads.write_bytes("fw-0105.bin", build_firmware_file(o));
  WindowCoreConfig c;
  c.directory = dir_.string();  // started from the menu: nothing here
  c.downloadsFolder = downloads.path();
  core_.Initialise(c, &queue_, &prompter_);
  const WindowFrame& f = core_.frame();
  EXPECT_STREQ(f.viewName(), "update-available");
  EXPECT_TRUE(f.updateShown && f.actionControlsEnabled);
  EXPECT_EQ(f.firmwarePath, file);
  EXPECT_NE(f.statusText.find(u"fw-0105.bin"), std::u16string::npos) << "the file named";

  // A file the user chose is the one taken, nothing else is looked for.
  core_.FirmwareChosen((dir_ / "missing.bin").string());
  EXPECT_STREQ(f.viewName(), "file-problem");
}

TEST_F(MainWindowCoreTest, PassesWaitForAModalBoxAndNestedEvents) {
  Start();
  const int passes = core_.passCount();
  core_.EnterModal();
  EXPECT_FALSE(core_.WatchTimer().armWatchTimer);
  EXPECT_EQ(core_.passCount(), passes) << "no pass inside a modal box's loop";
  EXPECT_TRUE(core_.LeaveModal().armWatchTimer) << "the pass comes after the box";
  EXPECT_FALSE(core_.LeaveModal().armWatchTimer) << "and only once";
}

TEST_F(MainWindowCoreTest, ReturnDropAndUpToDate) {
  Start(0x0104);
  EXPECT_STREQ(core_.frame().viewName(), "up-to-date");
  EXPECT_FALSE(core_.KeyReturn().showConfirmation) << "nothing to confirm when up to date";
  EXPECT_FALSE(core_.UpdateClicked().showConfirmation);

  const std::vector<std::string> dropped = {"/tmp/notes.txt", "/tmp/FW.BIN", "/tmp/b.bin"};
  EXPECT_EQ(core_.FirmwareDropPath(dropped), "/tmp/FW.BIN") << "the first .bin in any case";
  EXPECT_EQ(core_.FirmwareDropPath(std::vector<std::string>{"/tmp/bin", "x.bi"}), "");
}

// The download link is opened only while it is shown and only as the web
// address the core gave it: what the markup says is never what is run.
// Return on the focused "Choose file..." button presses it on both systems;
// the dialog it opens is modal, so no pass runs under it.
TEST_F(MainWindowCoreTest, ReturnOnChooseFileOpensTheDialogAndPassesWait) {
  WindowCoreConfig c;
  c.directory = dir_.string();
  core_.Initialise(c, &queue_, &prompter_);
  ASSERT_TRUE(core_.frame().chooseFileShown) << "no file in the folder: " << core_.frame().viewName();
  EXPECT_EQ(core_.frame().focus, kChooseFileControlId);
  const WindowEffects e = core_.KeyReturn(kChooseFileControlId);
  EXPECT_TRUE(e.openFileDialog && !e.showConfirmation) << "Return presses the focused button";
  EXPECT_FALSE(core_.KeyReturn().openFileDialog) << "Return elsewhere is the Update button's";

  core_.EnterModal();
  const int passes = core_.passCount();
  core_.DeviceChanged();
  core_.WatchTimer();
  EXPECT_EQ(core_.passCount(), passes) << "no pass while the dialog is up";
  core_.LeaveModal();

  FirmwareBuildOptions o;
  write("fw.bin", build_firmware_file(o));
  core_.FirmwareChosen((dir_ / "fw.bin").string());
  ASSERT_STREQ(core_.frame().viewName(), "update-available");
  EXPECT_FALSE(core_.ChooseFileClicked().openFileDialog) << "no dialog behind a hidden button";
}

class DownloadLinkTest : public lumavix::test::TempDirTest {};

TEST_F(DownloadLinkTest, OpensOnlyTheShownWebAddress) {
  sim::SimOptions other = test::SimulatedCamera::Fast();
  other.product_id = ProductIdQAlt;
  test::SimulatedCamera camera(other);
  RecordingPrompter prompter;
  NotifyQueue queue;
  MainWindowCore core;
  write("fw.bin", build_firmware_file({}));
  WindowCoreConfig cfg;
  cfg.directory = dir_.string();
  core.Initialise(cfg, &queue, &prompter);
  ASSERT_STREQ(core.frame().viewName(), "not-this-product");
  EXPECT_EQ(core.LinkToOpen(), DownloadUrl) << "another product's camera is sent to the site";

  camera.sim().camera(0)->unplug();
  core.DeviceChanged();
  core.WatchTimer();
  ASSERT_STREQ(core.frame().viewName(), "no-camera");
  EXPECT_EQ(core.LinkToOpen(), "") << "a hidden link opens nothing";
  EXPECT_FALSE(core.EngineeringActionAllowed(true)) << "no table is written without a camera";
  EXPECT_TRUE(core.EngineeringActionAllowed(false));
}

// An unfinished camera that nothing identifies: Finish update, clicked,
// finishes it as `update --recover` would; a start that no click chose (an
// automatic run) writes nothing.
TEST(MainWindowCoreUnidentified, FinishUpdateRunsOnlyOnTheUsersClick) {
  sim::SimOptions o = test::SimulatedCamera::Fast();
  o.product_id = 0x4321;
  test::SimulatedCamera camera(o);
  camera.sim().camera(0)->write_flash_bytes(0, std::vector<std::uint8_t>(kBootConfigSize, 0xFF));
  test::TempDir dir;
  FirmwareBuildOptions fw;
  fw.firmware_version = 0x0105;
  const std::vector<std::uint8_t> bytes = build_firmware_file(fw);
  {
    std::ofstream out(std::filesystem::path(dir.path()) / "fw.bin", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  RecordingPrompter prompter;
  NotifyQueue queue;
  MainWindowCore core;
  WindowCoreConfig c;
  c.directory = dir.path();
  core.Initialise(c, &queue, &prompter);
  const WindowFrame& f = core.frame();
  ASSERT_STREQ(f.viewName(), "interrupted-unidentified");
  EXPECT_TRUE(f.updateShown && f.actionControlsEnabled) << "the button is offered";
  EXPECT_EQ(f.updateText, u"Finish update");
  EXPECT_TRUE(f.updateOnUsersWord);

  // Confirmed without the click: the pass runs again, nothing starts.
  core.Confirmed();
  EXPECT_FALSE(core.UpdateRunning()) << "no automatic run finishes an unidentified camera";
  EXPECT_STREQ(f.viewName(), "interrupted-unidentified");

  ASSERT_TRUE(core.UpdateClicked().showConfirmation);
  core.Confirmed();
  ASSERT_TRUE(core.UpdateRunning()) << "the click is the user's word";
  WaitForWorker();
  for (const Notification& n : queue.drain()) core.Notification(n.code, n.value);
  core.WatchTimer();
  EXPECT_STREQ(f.viewName(), "up-to-date") << "finished with the file's identity";
  EXPECT_EQ(f.updateText, u"Update") << "the usual button again";
}

// A camera that does not answer: its own view, with nothing to click.
TEST(MainWindowCoreUnreadable, NothingIsOfferedForACameraThatDoesNotAnswer) {
  test::SimulatedCamera camera;
  sim::SimCamera& cam = *camera.sim().camera(0);
  ASSERT_NE(OpenDevices(), 0);
  const std::uint64_t opening = cam.counters().total;
  CloseDevices();
  cam.set_unplug_after(2 * opening);
  test::TempDir dir;
  RecordingPrompter prompter;
  NotifyQueue queue;
  MainWindowCore core;
  WindowCoreConfig c;
  c.directory = dir.path();
  core.Initialise(c, &queue, &prompter);
  const WindowFrame& f = core.frame();
  EXPECT_STREQ(f.viewName(), "unreadable");
  EXPECT_FALSE(f.updateShown);
  EXPECT_FALSE(f.actionControlsEnabled);
  EXPECT_EQ(f.statusText, u"The camera does not answer reliably; reconnect it and try again.");
  EXPECT_FALSE(core.KeyReturn().showConfirmation);
}

// ------------------------------------------- another writer, and auto-update --

// What another program holding the simulated camera's write lock looks like
// to this process: the lock of its key ("usb-1-1", the port of its HID
// interface "usb-1-1:1.0"), taken through a handle of its own.
class OtherWriter {
 public:
  OtherWriter() {
    SysError err;
    lock_ = locks_.create("usb-1-1", err);
    EXPECT_TRUE(lock_ && lock_->try_acquire()) << "the test could not take the camera's lock";
  }
  void release() { lock_->release(); }

 private:
  ProcessLockBackend locks_;
  std::unique_ptr<NamedLock> lock_;
};

TEST_F(MainWindowCoreTest, ABusyCameraIsNeitherReadNorWrittenAndIsLookedAtAgain) {
  OtherWriter other;
  const WindowEffects first = Start();
  const WindowFrame& f = core_.frame();
  EXPECT_STREQ(f.viewName(), "busy");
  EXPECT_EQ(f.statusText, CameraBusyText(UiLanguage::English, u"LUMAVIX Q"));
  EXPECT_FALSE(f.updateShown) << "no Update while another program writes the camera";
  EXPECT_TRUE(first.armWatchTimer) << "the window looks again by itself";

  // The pass after one that found the camera busy does not even reopen it.
  const std::uint64_t before = camera_.sim().camera(0)->counters().total;
  EXPECT_TRUE(core_.WatchTimer().armWatchTimer);
  EXPECT_STREQ(f.viewName(), "busy");
  EXPECT_EQ(camera_.sim().camera(0)->counters().total, before)
      << "a busy camera was talked to between the other program's transfers";

  other.release();
  core_.WatchTimer();
  EXPECT_STREQ(f.viewName(), "update-available") << "once it is free, the camera as it is";

  // Taken again between the pass and the click: nothing is written.
  OtherWriter again;
  const std::vector<std::uint8_t> flash = camera_.sim().camera(0)->flash_bytes(0, 0x20000);
  core_.Confirmed();
  EXPECT_FALSE(core_.UpdateRunning());
  EXPECT_STREQ(f.viewName(), "busy") << "a refused start shows why";
  EXPECT_EQ(camera_.sim().camera(0)->flash_bytes(0, 0x20000), flash);
}

class AutoUpdateTest : public lumavix::test::TempDirTest {};

TEST_F(AutoUpdateTest, StartsOnlyOnACameraOfferedUpdate) {
  struct Case {
    const char* what;
    std::uint16_t fileVersion;
    bool busyFirst;    // another program writes the camera at first
    bool startsAtOnce;
    bool startsLater;  // after the busy camera is free again
  } cases[] = {
      {"update available", 0x0105, false, true, true},
      {"up to date", 0x0104, false, false, false},
      {"older file", 0x0103, false, false, false},
      {"busy, then update available", 0x0105, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::SimulatedCamera camera;
    RecordingPrompter prompter;
    NotifyQueue queue;
    MainWindowCore core;
    auto other = c.busyFirst ? std::make_unique<OtherWriter>() : nullptr;
    FirmwareBuildOptions o;
    o.firmware_version = c.fileVersion;
    write("fw.bin", build_firmware_file(o));
    WindowCoreConfig cfg;
    cfg.directory = dir_.string();
    core.Initialise(cfg, &queue, &prompter);
    core.RequestAutoUpdate();
    EXPECT_EQ(core.UpdateRunning(), c.startsAtOnce)
        << "expected " << (c.startsAtOnce ? "a run at once" : "no run yet");
    if (other) other->release();
    for (int pass = 0; pass < 3 && !core.UpdateRunning(); ++pass) core.WatchTimer();
    EXPECT_EQ(core.UpdateRunning(), c.startsLater)
        << "expected " << (c.startsLater ? "a run" : "no run ever") << " after later passes";
    EXPECT_TRUE(prompter.shown().empty()) << "the option is the confirmation";
    WaitForWorker();
    for (const Notification& n : queue.drain()) core.Notification(n.code, n.value);
    core.WatchTimer();
    EXPECT_FALSE(core.UpdateRunning()) << "one run only, whatever the passes offer after it";
  }
}

// -------------------------------------------------------- failures shown --

// Notifications to the core as the window's loop would take them, while the
// worker runs. `onPost` sees each on the worker's thread before it is queued;
// `holdOutcome` keeps the worker inside the post of its outcome until the
// receiver has taken that notification, so the receiver handles it before
// the worker has ended, as a window often does.
class LiveTarget final : public NotifyTarget {
 public:
  std::function<void(std::uint32_t, std::uint32_t)> onPost;
  bool holdOutcome = false;

  void post(std::uint32_t code, std::uint32_t value) override {
    if (onPost) onPost(code, value);
    queue_.post(code, value);
    if (holdOutcome && is_outcome({code, value})) {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [&] { return taken_; });
    }
  }
  // Delivers every notification until the run's outcome has been handled.
  void Deliver(MainWindowCore& core) {
    for (;;) {
      const std::optional<Notification> n = queue_.try_pop();
      if (!n) {
        if (!WorkerRunning() && !core.UpdateRunning()) return;
        std::this_thread::yield();
        continue;
      }
      if (is_outcome(*n)) {
        std::lock_guard lock(mu_);
        taken_ = true;
        cv_.notify_all();
      }
      core.Notification(n->code, n->value);
      if (is_outcome(*n) && !core.UpdateRunning()) break;
    }
    WaitForWorker();
    for (const Notification& n : queue_.drain()) core.Notification(n.code, n.value);
  }

 private:
  NotifyQueue queue_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool taken_ = false;
};

class WindowFailureTest : public lumavix::test::TempDirTest {
 protected:
  void Start(std::uint32_t imageSize = 0x20000) {
    FirmwareBuildOptions o;
    o.firmware_version = 0x0105;
    o.image_size = imageSize;
    write("fw.bin", build_firmware_file(o));
    WindowCoreConfig c;
    c.directory = dir_.string();
    core_.Initialise(c, &target_, &prompter_);
    ASSERT_STREQ(core_.frame().viewName(), "update-available");
  }
  std::u16string text() const { return core_.frame().statusText; }
  static bool has(const std::u16string& text, std::u16string_view part) {
    return text.find(part) != std::u16string::npos;
  }

  RecordingPrompter prompter_;
  LiveTarget target_;
  MainWindowCore core_;
  test::SimulatedCamera camera_;
};

// The engine refuses an image larger than the camera's flash before it
// touches the camera; the window says so, with the engine's reason, and
// neither calls the firmware incomplete nor advises another try.
TEST_F(WindowFailureTest, ARefusedRunIsShownAsARefusalWithItsReason) {
  Start(0x30000);
  target_.holdOutcome = true;
  core_.Confirmed();
  ASSERT_TRUE(core_.UpdateRunning());
  target_.Deliver(core_);
  core_.WatchTimer();
  const std::u16string shown = text();
  const std::string refusal = LastRefusal();
  ASSERT_FALSE(refusal.empty()) << "the engine expected to refuse the image";
  EXPECT_TRUE(has(shown, FailureHeadline(UiLanguage::English, FailureKind::Refused))) << ToUtf8(shown);
  EXPECT_TRUE(has(shown, FailureSafetyText(UiLanguage::English, FailureKind::Refused)));
  EXPECT_TRUE(has(shown, widen_narrow_text(refusal))) << "the reason is the detail line: " << ToUtf8(shown);
  EXPECT_FALSE(has(shown, u"incomplete")) << ToUtf8(shown);
  EXPECT_FALSE(has(shown, RetryAdviceText(UiLanguage::English))) << ToUtf8(shown);

  // Nothing changed on the camera: the next passes keep telling the refusal.
  for (int pass = 0; pass < 2; ++pass) {
    core_.WatchTimer();
    EXPECT_EQ(text(), shown) << "pass " << pass << " wiped the explanation";
  }
}

// A camera unplugged while its flash is read back: the read-back found
// nothing, which is no difference from the file. The explanation stays while
// the camera stays away, and gives way to what the camera shows once back.
TEST_F(WindowFailureTest, ACameraGoneDuringTheReadBackIsToldAsDisconnected) {
  Start();
  sim::SimCamera* cam = camera_.sim().camera(0);
  std::atomic<bool> pulled{false};
  target_.onPost = [&](std::uint32_t code, std::uint32_t value) {
    if (code == UPD_VALIDATE_POS && value > kProgressFloor && !pulled.exchange(true)) cam->unplug();
  };
  core_.Confirmed();
  target_.Deliver(core_);
  ASSERT_TRUE(pulled) << "the run expected to reach its read-back";
  ASSERT_FALSE(core_.UpdateRunning());
  core_.WatchTimer();
  const std::u16string shown = text();
  EXPECT_TRUE(has(shown, FailureHeadline(UiLanguage::English, FailureKind::Disconnected)))
      << ToUtf8(shown);
  EXPECT_FALSE(has(shown, FailureHeadline(UiLanguage::English, FailureKind::VerifyFailed)));
  core_.WatchTimer();
  EXPECT_EQ(text(), shown) << "the camera is still away: the explanation stays";

  cam->replug();
  core_.WatchTimer();
  EXPECT_STREQ(core_.frame().viewName(), "interrupted");
  EXPECT_FALSE(has(text(), FailureHeadline(UiLanguage::English, FailureKind::Disconnected)))
      << "the camera is back: it is shown as it is now";
  EXPECT_TRUE(core_.frame().updateShown);
}

}  // namespace
}  // namespace lumavix
