// The window's decisions without a window: what the frame shows after each
// event, which passes wait (an update, a modal box), what Return, Esc, a
// close and a drop do, and a whole update on the simulated camera driven as
// a front end drives it.
#include "app/main_window_core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  EXPECT_TRUE(core_.KeyReturn().showConfirmation) << "Return asks for the confirmation";

  const WindowEffects started = core_.Confirmed();
  ASSERT_TRUE(core_.UpdateRunning());
  EXPECT_TRUE(f.progressView && f.ringShown && !f.statusShown) << "the progress view";
  EXPECT_TRUE(started.beginRingPass.has_value()) << "the erase's ring pass begins";
  EXPECT_FALSE(f.actionControlsEnabled);
  EXPECT_FALSE(core_.KeyReturn().showConfirmation) << "no second update while one runs";

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

TEST_F(MainWindowCoreTest, PassesWaitForAModalBoxAndNestedEvents) {
  Start();
  const int passes = core_.passCount();
  core_.EnterModal();
  EXPECT_FALSE(core_.WatchTimer().armWatchTimer);
  EXPECT_EQ(core_.passCount(), passes) << "no pass inside a modal box's loop";
  EXPECT_TRUE(core_.LeaveModal().armWatchTimer) << "the pass comes after the box";
  EXPECT_FALSE(core_.LeaveModal().armWatchTimer) << "and only once";
}

TEST_F(MainWindowCoreTest, RefusedStartShowsTheBoxThenReturnsToAStatusView) {
  Start();
  // The update writes the file as the pass read it, even once removed; a
  // path set since the pass (the engineering file field) is read at the
  // start, and one that cannot be read refuses it.
  std::filesystem::remove(dir_ / "fw.bin");
  core_.watch().firmwarePath = (dir_ / "fw.bin").string() + ".gone";
  const WindowEffects e = core_.Confirmed();
  EXPECT_STREQ(e.messageBox, kMsgFirmwareFile1OpenError);
  EXPECT_FALSE(core_.UpdateRunning());
  EXPECT_TRUE(core_.frame().progressView) << "the box shows over the progress view";
  // The front end arms timer 1 after the box; should it fire while the box
  // is still up, the pass waits for the box.
  ASSERT_TRUE(e.armWatchTimer) << "a pass after the box";
  core_.EnterModal();
  EXPECT_FALSE(core_.WatchTimer().armWatchTimer);
  EXPECT_TRUE(core_.LeaveModal().armWatchTimer);
  core_.WatchTimer();
  EXPECT_FALSE(core_.frame().progressView);
  EXPECT_TRUE(core_.frame().chooseFileShown) << "the missing file is named, with a choice";
  EXPECT_STREQ(core_.frame().viewName(), "file-problem") << "not taken for a missing camera";
  EXPECT_EQ(core_.frame().focus, kChooseFileControlId);
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

}  // namespace
}  // namespace lumavix
