// The update flow: the request it builds, the notification handler's
// progress and texts, the completion, the GPIO step after every run, the
// engineering steps behind their switches, and a whole update against the
// simulated camera.
#include "app/core/update_flow.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/writer_lock.h"
#include "firmware/image.h"
#include "sim/simulator.h"

#include "sim_camera.h"
#include "temp_dir.h"

namespace lumavix {
namespace {

namespace fs = std::filesystem;

// A flow whose GPIO step only counts.
struct Harness {
  Harness(UpdateFlowSwitches sw = {}, std::function<const char*()> chain = {})
      : flow(sw, UpdateFlowHooks{std::move(chain), [this](int mode, ChipGen, std::int32_t) {
                                   gpio_modes.push_back(mode);
                                   return static_cast<const char*>(nullptr);
                                 }}) {
    window.camera.cameraModelText = u"LUMAVIX Q ";
    window.firmware.firmwareVersion = 0x0105;
    window.chipGen = 2;
  }
  NotifyEffect on(std::uint32_t code, std::uint32_t value, UiLanguage l = UiLanguage::English) {
    return flow.HandleNotification(window, l, code, value);
  }
  std::string status() const { return ToUtf8(window.statusText); }

  DeviceWatchState window;
  std::vector<int> gpio_modes;
  UpdateFlow flow;
};

TEST(UpdateFlowProgress, PercentInSinglePrecisionAndRingSteps) {
  Harness h;
  struct Step {
    std::uint32_t code, value;
    std::int32_t percent, last;
    bool ring;
  } steps[] = {
      {UPD_DOWNLOAD_POS, 500, 0, 0, false},   // before any range: nothing to divide by
      {UPD_RANGE, 16, 0, 0, false},           // 16 and less change nothing
      {UPD_RANGE, 65536, 0, 0, false},
      {UPD_DOWNLOAD_POS, 16, 0, 0, false},
      {UPD_DOWNLOAD_POS, 655, 0, 0, false},   // 0.9994 %
      {UPD_DOWNLOAD_POS, 656, 1, 1, true},    // 1.0009 %
      {UPD_DOWNLOAD_POS, 700, 1, 1, false},   // same percentage: no second step
      {UPD_VALIDATE_POS, 32768, 50, 50, true},
      {5, 65536, 100, 100, true},
      {UPD_VALIDATE_RANGE, 100, 100, 100, false},  // codes above 13 change nothing
      {UPD_ERASE_POS, 3, 100, 100, false},
      {UPD_RANGE, 1000, 100, 100, false},
      {UPD_DOWNLOAD_POS, 17, 1, 1, true},     // 1.7 %
  };
  for (const Step& s : steps) {
    const NotifyEffect e = h.on(s.code, s.value);
    const std::string what = std::string(update_code_name(s.code)) + "(" + std::to_string(s.value) + ")";
    EXPECT_EQ(h.flow.progressPercent(), s.percent) << what;
    EXPECT_EQ(h.flow.lastPercent(), s.last) << what;
    EXPECT_EQ(e.ringStep, s.ring) << what << ": expected " << (s.ring ? "a" : "no") << " ring step";
    EXPECT_FALSE(e.terminal) << what;
  }
  EXPECT_EQ(h.flow.progressTotal(), 1000);
  EXPECT_EQ(h.flow.view().progressRange, 1000u);
  EXPECT_EQ(h.flow.view().progressPosition, 17u);
  EXPECT_EQ(h.flow.view().byteCountText, "1000 bytes");
  EXPECT_TRUE(h.gpio_modes.empty());
  EXPECT_TRUE(h.flow.ringStepPending());
  h.flow.RingStepDrawn();
  EXPECT_FALSE(h.flow.ringStepPending());
}

TEST(UpdateFlowProgress, PhaseTextsAndSeconds) {
  struct Case {
    std::uint32_t code, value;
    const char* status;
  } cases[] = {
      {UPD_DOWNLOAD_BEGIN, 0, "Download Firmware to EEPROM Page_0."},
      {UPD_DOWNLOAD_BEGIN, 1, "Download Firmware to EEPROM Page_1."},
      {UPD_VALIDATE_BEGIN, 0, "Validate Firmware in EEPROM Page_0."},
      {UPD_VALIDATE_BEGIN, 7, "Validate Firmware in EEPROM Page_1."},
      {UPD_UPLOAD_BEGIN, 0, "Upload Firmware from EEPROM Page_0."},
      {UPD_UPLOAD_BEGIN, 1, "Upload Firmware from EEPROM Page_1."},
  };
  for (const Case& c : cases) {
    Harness h;
    h.on(c.code, c.value);
    EXPECT_EQ(h.status(), c.status) << update_code_name(c.code) << "(" << c.value << ")";
  }
  EXPECT_EQ(SecondsText(12345), "12.345 secs");
  EXPECT_EQ(SecondsText(0), "0 secs");
  EXPECT_EQ(SecondsText(1), "0.001 secs");
  Harness h;
  h.on(UPD_ELAPSED_MS, 2500);
  EXPECT_EQ(h.flow.view().secondsText, "2.500 secs");
}

TEST(UpdateFlowOutcome, EveryTerminalCodeRunsTheGpioStepOnce) {
  struct Case {
    std::uint32_t code, value;
    const char* status;
  } cases[] = {
      {UPD_FILE_WRITE_FAILED, 0, "Write Binary File Failure."},
      {UPD_UPLOAD_DONE, 0, "Firmware Upload Success."},
      {UPD_DOWNLOAD_DONE, 0, "Firmware Download/Validate Success."},
      {UPD_DOWNLOAD_FAILED, 0, "Firmware Download/Validate Failure."},
      {UPD_ACCESS_FAILED, 0, "EEPROM Access Failure."},
      // A boot-header run that fails while verifying or erasing ends here.
      {UPD_VALIDATE_RESULT, 0, "Firmware Download/Validate Failure."},
      {UPD_ERASE_RESULT, 0, "Firmware Download/Validate Failure."},
  };
  for (const Case& c : cases) {
    Harness h;
    const NotifyEffect e = h.on(c.code, c.value);
    const std::string what = update_code_name(c.code);
    EXPECT_TRUE(e.terminal) << what;
    EXPECT_EQ(h.status(), c.status) << what;
    EXPECT_EQ(h.gpio_modes, std::vector<int>{kGpioAfterUpdate}) << what;
    EXPECT_TRUE(h.flow.hasOutcome()) << what;
    EXPECT_EQ(h.flow.outcomeCode(), c.code) << what;
    EXPECT_FALSE(h.flow.running()) << what;
  }
  for (const std::uint32_t code : {UPD_VALIDATE_RESULT, UPD_ERASE_RESULT}) {
    Harness h;
    EXPECT_FALSE(h.on(code, 1).terminal) << update_code_name(code) << "(1) is a success step";
    EXPECT_TRUE(h.gpio_modes.empty());
  }
}

TEST(UpdateFlowOutcome, FailureReplacesTheProgressMessage) {
  Harness h;
  h.flow.view().progressMessage = u"Update in progress...";
  h.on(UPD_DOWNLOAD_FAILED, 0);
  // The failure in the user's language; the engine's English status stays
  // the status text, the detail of the failure view.
  EXPECT_EQ(ToUtf8(h.flow.view().progressMessage),
            "The update failed: the new firmware could not be written to the camera.");
  EXPECT_EQ(h.status(), "Firmware Download/Validate Failure.");
  EXPECT_TRUE(h.flow.view().failed);
  EXPECT_FALSE(h.flow.completed());
  EXPECT_FALSE(h.flow.view().actionControlsEnabled);
}

TEST(UpdateFlowOutcome, CompletionTextOnceWithTheNewVersion) {
  Harness h;
  const NotifyEffect first = h.on(UPD_DOWNLOAD_DONE, 0);
  EXPECT_TRUE(first.completed);
  EXPECT_EQ(h.flow.view().progressMessage,
            u"Firmware update completed. Current firmware version: v0105. Please disconnect and "
            u"reconnect your LUMAVIX Q .");
  EXPECT_TRUE(h.flow.view().actionControlsEnabled);
  EXPECT_EQ(h.status(), "Firmware Download/Validate Success.");

  const NotifyEffect again = h.on(UPD_DOWNLOAD_DONE, 0);
  EXPECT_FALSE(again.completed) << "exactly one completion per run";
  EXPECT_EQ(h.gpio_modes.size(), 1u);

  Harness de;
  de.on(UPD_DOWNLOAD_DONE, 0, UiLanguage::German);
  const std::u16string t = de.flow.view().progressMessage;
  const std::u16string tail = u"LUMAVIX Q  wieder an.";
  ASSERT_GE(t.size(), tail.size());
  EXPECT_EQ(t.substr(t.size() - tail.size()), tail) << ToUtf8(t);
}

TEST(UpdateFlowOutcome, EngineeringStepsOnlyBehindTheirSwitches) {
  int chained = 0;
  auto chain = [&]() -> const char* {
    ++chained;
    return nullptr;
  };
  Harness off({}, chain);
  off.window.page.autoWriteAfterUpdate = 1;
  off.on(UPD_DOWNLOAD_DONE, 0);
  EXPECT_EQ(chained, 0) << "ChainSettingTables is off in this build";

  UpdateFlowSwitches sw;
  sw.chainSettingTables = true;
  sw.enableUserDataPage = true;
  Harness on(sw, chain);
  on.window.page.autoWriteAfterUpdate = 1;
  on.on(UPD_DOWNLOAD_DONE, 0);
  EXPECT_EQ(chained, 1);
  EXPECT_EQ(on.status(), "Firmware Download/Validate Success.")
      << "the success text is the last word whatever the steps reported";
}

// ---------------------------------------------------------------- starting --

class UpdateFlowStart : public lumavix::test::TempDirTest {
 protected:
  void TearDown() override { camera_.reset(); }
  void attach() {
    sim::SimOptions o;
    o.latency_us = 5;
    o.busy = false;
    camera_.emplace(o);
  }
  [[nodiscard]] sim::SimCamera& cam() { return camera_->camera(); }

  std::optional<test::SimulatedCamera> camera_;
  RecordingPrompter prompter_;
  NotifyQueue queue_;
};

TEST_F(UpdateFlowStart, RequestFromTheFirmwareFile) {
  FirmwareBuildOptions o;
  const std::vector<std::uint8_t> file = build_firmware_file(o);
  DeviceWatchState w;
  w.firmwarePath = write("fw.bin", file);
  w.chipGen = 2;
  DownloadRequest r;
  ASSERT_TRUE(UpdateFlow::BuildDownloadRequest(w, r));
  EXPECT_EQ(r.mode, kDownloadBootHeader);
  EXPECT_EQ(r.file0Size, file.size());
  EXPECT_EQ(r.file0Path, w.firmwarePath);
  std::array<std::uint8_t, 16> expected{};
  std::copy_n(file.begin() + 4, 16, expected.begin());
  expected[2] = expected[3] = expected[4] = 0;
  EXPECT_EQ(r.bootHeader, expected) << "the image's first 16 bytes with BootAddr cleared";

  w.chipGen = 0;
  ASSERT_TRUE(UpdateFlow::BuildDownloadRequest(w, r));
  EXPECT_EQ(r.mode, kDownloadPlain);
  EXPECT_EQ(r.eepromType, 5);
  EXPECT_EQ(r.flags & 0x01, 0x01);
  EXPECT_EQ(r.bootHeader, (std::array<std::uint8_t, 16>{0x7A, 0x3C}));

  w.firmwarePath = (dir_ / "missing.bin").string();
  EXPECT_FALSE(UpdateFlow::BuildDownloadRequest(w, r));
}

TEST_F(UpdateFlowStart, StartErrorsLeaveTheProgressViewWithNothingStarted) {
  struct Case {
    const char* what;
    std::string path;
    ChipGen gen;
    StartResult result;
    const char* message;
  } cases[] = {
      {"missing file", (dir_ / "missing.bin").string(), 2, StartResult::FileOpenError,
       "Firmware File1 open Error!!"},
      {"empty file", write("empty.bin", {}), 2, StartResult::FileSizeError,
       "Firmware size Error!!"},
      {"generation 0", write("fw.bin", {1, 2, 3, 4, 5}), 0, StartResult::NotSupported,
       "FW download does not support this device!!"},
  };
  for (const Case& c : cases) {
    Harness h;
    h.window.firmwarePath = c.path;
    h.window.chipGen = c.gen;
    EXPECT_EQ(h.flow.StartUpdate(h.window, UiLanguage::English, &queue_, &prompter_), c.result)
        << c.what;
    EXPECT_STREQ(h.flow.view().messageBox, c.message) << c.what;
    EXPECT_TRUE(h.flow.view().progressView) << c.what;
    EXPECT_EQ(h.flow.view().windowSize, (PixelSize{400, 320})) << c.what;
    EXPECT_EQ(h.flow.view().progressMessage, u"Update in progress...") << c.what;
    EXPECT_FALSE(h.flow.running()) << c.what;
    EXPECT_TRUE(h.gpio_modes.empty()) << c.what;
  }
  EXPECT_FALSE(WorkerRunning());
}

TEST_F(UpdateFlowStart, GenerationZeroBehindItsSwitchRunsTheGpioStepFirst) {
  UpdateFlowSwitches sw;
  sw.allowChipGen0Download = true;
  Harness h(sw);
  h.window.firmwarePath = write("fw.bin", {1, 2, 3, 4, 5});
  h.window.chipGen = 0;
  // No library is open: the engine refuses, after the GPIO step.
  EXPECT_EQ(h.flow.StartUpdate(h.window, UiLanguage::English, &queue_, &prompter_),
            StartResult::EngineRefused);
  EXPECT_EQ(h.gpio_modes, std::vector<int>{kGpioBeforeDownload});
  EXPECT_EQ(h.flow.request().mode, kDownloadPlain);
}

TEST_F(UpdateFlowStart, WholeUpdateAgainstTheSimulatedCamera) {
  attach();
  FirmwareBuildOptions o;
  o.firmware_version = 0x0105;
  const std::vector<std::uint8_t> file = build_firmware_file(o);
  Harness h;
  h.window.deviceOpen = OpenDevices();
  ASSERT_NE(h.window.deviceOpen, 0);
  h.window.firmwarePath = write("fw.bin", file);

  ASSERT_EQ(h.flow.StartUpdate(h.window, UiLanguage::English, &queue_, &prompter_),
            StartResult::Started);
  EXPECT_TRUE(h.flow.running());
  EXPECT_EQ(h.status(), "Erase all EEPROM content, please wait ...");
  WaitForWorker();
  int completions = 0, terminals = 0;
  // Ring steps per phase, in the order the phases came.
  std::vector<std::pair<UpdatePhase, int>> steps{{h.flow.view().phase, 0}};
  for (const Notification& n : queue_.drain()) {
    const NotifyEffect e = h.on(n.code, n.value);
    if (e.phaseChanged) steps.push_back({h.flow.view().phase, 0});
    steps.back().second += e.phaseStep;
    completions += e.completed;
    terminals += e.terminal;
  }
  ASSERT_EQ(steps.size(), 3u) << "erase, program and verify expected, one after the other";
  const UpdatePhase order[] = {UpdatePhase::Erase, UpdatePhase::Program, UpdatePhase::Verify};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(steps[i].first, order[i]) << "phase " << i;
    EXPECT_LE(steps[i].second, 101) << PhaseName(order[i]) << ": at most one ring step per percentage";
  }
  EXPECT_GE(steps[2].second, 10) << "the verification expected to move visibly, not jump to its end";
  EXPECT_EQ(h.flow.view().phasePercent, 100);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(terminals, 1);
  EXPECT_EQ(h.gpio_modes.size(), 1u);
  EXPECT_EQ(h.flow.outcomeCode(), UPD_DOWNLOAD_DONE);
  EXPECT_EQ(h.flow.lastPercent(), 100);
  EXPECT_FALSE(h.flow.running());
  const std::vector<std::uint8_t> flash = cam().flash_bytes(0, file.size() - 4);
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), file.begin() + 4))
      << "the flash holds the image";
}

// One writer per camera: the flow holds the camera's write lock from its
// start to the end of its worker, and starts nothing on a camera another run
// holds, not even the GPIO step that precedes an older chip's download.
TEST_F(UpdateFlowStart, WriteLockHeldFromTheStartToTheWorkersEnd) {
  attach();
  FirmwareBuildOptions o;
  o.firmware_version = 0x0105;
  const std::string path = write("fw.bin", build_firmware_file(o));

  Harness h;
  h.window.deviceOpen = OpenDevices();
  ASSERT_NE(h.window.deviceOpen, 0);
  h.window.firmwarePath = path;
  ASSERT_EQ(h.flow.StartUpdate(h.window, UiLanguage::English, &queue_, &prompter_),
            StartResult::Started);
  EXPECT_TRUE(h.flow.holdsWriterLock());
  EXPECT_TRUE(CameraBeingWritten(0)) << "another run would have been let in";
  WaitForWorker();
  for (const Notification& n : queue_.drain()) {
    if (h.flow.running()) {
      EXPECT_TRUE(CameraBeingWritten(0)) << "let go before the outcome";
    }
    (void)h.on(n.code, n.value);
  }
  EXPECT_FALSE(h.flow.holdsWriterLock());
  EXPECT_FALSE(CameraBeingWritten(0)) << "still held after the run";

  ProcessLockBackend other_program;
  SysError err;
  const std::unique_ptr<NamedLock> other = other_program.create(CameraWriterKey(0), err);
  ASSERT_TRUE(other && other->try_acquire());
  const std::vector<std::uint8_t> before = cam().flash_bytes(0, 0x20000);
  struct Case {
    const char* what;
    ChipGen gen;
  } cases[] = {{"generation 2", 2}, {"generation 0 behind its switch", 0}};
  for (const Case& c : cases) {
    UpdateFlowSwitches sw;
    sw.allowChipGen0Download = true;
    Harness busy(sw);
    busy.window.deviceOpen = h.window.deviceOpen;
    busy.window.firmwarePath = path;
    busy.window.chipGen = c.gen;
    EXPECT_EQ(busy.flow.StartUpdate(busy.window, UiLanguage::English, &queue_, &prompter_),
              StartResult::CameraBusy)
        << c.what;
    EXPECT_FALSE(busy.flow.running() || WorkerRunning()) << c.what;
    EXPECT_TRUE(busy.gpio_modes.empty()) << c.what << ": the camera was touched";
    EXPECT_EQ(busy.flow.view().messageBox, nullptr) << c.what << ": the pass tells it, not a box";
  }
  EXPECT_EQ(cam().flash_bytes(0, 0x20000), before) << "a second writer wrote";
  other->release();
}

// An inhibitor that counts what the flow asks of it.
// What the window's pass read, checked and presented is what the update
// writes: a file replaced between the pass and the click on Update (a sync
// client, a download finishing) changes nothing of the run.
TEST_F(UpdateFlowStart, TheUpdateWritesTheFileAsThePassReadIt) {
  FirmwareBuildOptions o;
  o.firmware_version = 0x0105;
  const std::vector<std::uint8_t> file = build_firmware_file(o);
  FirmwareBuildOptions alt = o;
  alt.firmware_version = 0x0200;
  alt.product_id = ProductIdQAlt;
  const struct {
    const char* name;
    std::vector<std::uint8_t> swapped_in;
  } cases[] = {
      {"a 20-byte file", std::vector<std::uint8_t>(20, 0x5A)},
      {"another model's newer file", build_firmware_file(alt)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    attach();
    Harness h;
    DeviceWatchConfig cfg;
    cfg.firmwareFile = write("fw.bin", file);
    const DeviceWatchResult r = EvaluateDeviceWatch(h.window, cfg);
    ASSERT_EQ(r.view.presentation, Presentation::UpdateAvailable);
    write("fw.bin", c.swapped_in);

    ASSERT_EQ(h.flow.StartUpdate(h.window, UiLanguage::English, &queue_, &prompter_),
              StartResult::Started);
    EXPECT_EQ(h.flow.request().file0Size, file.size()) << "the size of the file the pass read";
    WaitForWorker();
    for (const Notification& n : queue_.drain()) (void)h.on(n.code, n.value);
    EXPECT_EQ(h.flow.outcomeCode(), UPD_DOWNLOAD_DONE);
    const std::vector<std::uint8_t> flash = cam().flash_bytes(0, file.size() - 4);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), file.begin() + 4))
        << "the flash expected to hold the image the pass presented";
    TearDown();
  }
}

class CountingInhibitor final : public SleepInhibitor {
 public:
  explicit CountingInhibitor(bool available) : available_(available) {}
  bool Acquire(std::string_view, std::string& error) override {
    ++acquired;
    if (!available_) error = "none here";
    held_ = available_;
    return available_;
  }
  void Release() override {
    if (held_) ++released;
    held_ = false;
  }
  [[nodiscard]] bool held() const override { return held_; }
  int acquired = 0;
  int released = 0;

 private:
  bool available_;
  bool held_ = false;
};

// Held from the start of the writing to the outcome, let go when the engine
// refuses; a system without one lets the update run all the same.
TEST_F(UpdateFlowStart, SleepInhibitorHeldFromTheWritingToTheOutcome) {
  attach();
  FirmwareBuildOptions o;
  o.firmware_version = 0x0105;
  std::vector<std::uint8_t> file = build_firmware_file(o);
  struct Case {
    const char* name;
    bool available;
    bool damaged;  // the engine asks about the CRC; the prompter says Cancel
  } cases[] = {{"held", true, false}, {"none on this system", false, false},
               {"refused by the engine", true, true}};
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes = file;
    if (c.damaged) bytes[0x8000] ^= 0xFF;
    CountingInhibitor inhibitor(c.available);
    UpdateFlowHooks hooks;
    hooks.inhibitor = &inhibitor;
    hooks.gpioStep = [](int, ChipGen, std::int32_t) { return static_cast<const char*>(nullptr); };
    UpdateFlow flow({}, hooks);
    DeviceWatchState w;
    w.deviceOpen = OpenDevices();
    ASSERT_NE(w.deviceOpen, 0);
    w.chipGen = 2;
    w.firmwarePath = write("fw.bin", bytes);
    RecordingPrompter cancel(MessageAnswer::Cancel);
    NotifyQueue q;
    const StartResult r = flow.StartUpdate(w, UiLanguage::English, &q, &cancel);
    EXPECT_EQ(inhibitor.acquired, 1) << c.name << ": asked once, before the writing";
    if (c.damaged) {
      EXPECT_EQ(r, StartResult::EngineRefused) << c.name;
      EXPECT_FALSE(inhibitor.held()) << c.name << ": let go after the refusal";
      continue;
    }
    ASSERT_EQ(r, StartResult::Started) << c.name;
    EXPECT_EQ(inhibitor.held(), c.available) << c.name;
    WaitForWorker();
    bool terminal = false;
    for (const Notification& n : q.drain()) {
      if (!terminal) {
        EXPECT_EQ(inhibitor.held(), c.available) << c.name << ": held until the outcome";
      }
      terminal = terminal || flow.HandleNotification(w, UiLanguage::English, n.code, n.value).terminal;
    }
    EXPECT_TRUE(terminal) << c.name;
    EXPECT_FALSE(inhibitor.held()) << c.name << ": let go at the outcome";
    EXPECT_EQ(flow.outcomeCode(), UPD_DOWNLOAD_DONE) << c.name << ": the update runs either way";
    EXPECT_EQ(inhibitor.released, c.available ? 1 : 0) << c.name;
  }
}

}  // namespace
}  // namespace lumavix
