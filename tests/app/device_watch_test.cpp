// The device-watch pass: its identity and version rules, the firmware file it
// finds and reads, the four presentations in every word order, and whole
// passes against the simulated camera.
#include "app/core/device_watch.h"
#include "devlib/file_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/core/texts.h"
#include "devlib/clock.h"
#include "devlib/file_io.h"
#include "devlib/frame.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "sim/simulator.h"

#include "sim_camera.h"
#include "temp_dir.h"

namespace lumavix {
namespace {

namespace fs = std::filesystem;

CameraIdentity q_camera(std::int32_t alt) {
  CameraIdentity c;
  c.cameraChipType = 2;
  c.CameraVariant = ModelVariant::Q;
  c.cameraAltProductId = alt;
  c.cameraModelText = u"LUMAVIX Q ";
  return c;
}

CameraIdentity other_camera(ModelVariant v) {
  CameraIdentity c;
  c.cameraChipType = 1;
  c.CameraVariant = v;
  return c;
}

// ------------------------------------------------------------------- rules --

TEST(DeviceWatchRules, VersionDecision) {
  struct Case {
    std::uint16_t file, camera;
    bool offered;
  } cases[] = {
      {0x0105, 0x0104, true},  {0x0104, 0x0104, false}, {0x0103, 0x0104, false},
      {0x0100, 0x1721, true},  {0x0107, 0x0108, true},  {0x1721, 0x1721, false},
      {0x0108, 0x0108, false}, {0x0000, 0x0108, true},  {0xFFFF, 0x0000, true},
      {0x0000, 0xFFFF, false}, {0x1720, 0x1722, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UpdateOffered(c.file, c.camera), c.offered)
        << std::hex << "file " << c.file << " camera " << c.camera << ": expected "
        << (c.offered ? "update available" : "up to date");
  }
}

TEST(DeviceWatchRules, FirmwareProductIdAgainstCamera) {
  struct Case {
    const char* what;
    CameraIdentity camera;
    std::uint16_t file_id;
    bool fits;
  } cases[] = {
      {"Q alt camera, QA file", q_camera(1), ProductIdQA, false},
      {"Q alt camera, QB file", q_camera(1), ProductIdQB, false},
      {"Q alt camera, QAlt file", q_camera(1), ProductIdQAlt, true},
      {"Q alt camera, foreign id", q_camera(1), 0x1234, true},
      {"Q camera, QAlt file", q_camera(0), ProductIdQAlt, false},
      {"Q camera, QB file", q_camera(0), ProductIdQB, true},
      {"Q camera, R file", q_camera(0), ProductIdRA, true},
      {"Q camera, id 0 (block beyond 64 KiB)", q_camera(0), 0, true},
      {"R camera, RA file", other_camera(ModelVariant::R), ProductIdRA, true},
      {"R camera, RB file", other_camera(ModelVariant::R), ProductIdRB, true},
      {"R camera, R2 file", other_camera(ModelVariant::R), ProductIdR2, false},
      {"R2 camera, R2 file", other_camera(ModelVariant::R2), ProductIdR2, true},
      {"R2 camera, RA file", other_camera(ModelVariant::R2), ProductIdRA, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FirmwareFitsCamera(c.file_id, c.camera), c.fits)
        << c.what << ": expected " << (c.fits ? "to fit" : "not this product");
  }
}

TEST(DeviceWatchRules, CameraAgainstTool) {
  CameraIdentity unread;  // a first pass whose user-data read failed
  CameraIdentity r2 = other_camera(ModelVariant::R2);
  CameraIdentity q_on_boot_only = q_camera(0);
  q_on_boot_only.cameraChipType = 1;
  EXPECT_TRUE(CameraMatchesTool(q_camera(0), ModelVariant::Q));
  EXPECT_FALSE(CameraMatchesTool(unread, ModelVariant::Q)) << "chip type 0 is not a Q camera";
  EXPECT_FALSE(CameraMatchesTool(r2, ModelVariant::Q));
  EXPECT_FALSE(CameraMatchesTool(q_on_boot_only, ModelVariant::Q));
  EXPECT_TRUE(CameraMatchesTool(other_camera(ModelVariant::R), ModelVariant::R));
  EXPECT_FALSE(CameraMatchesTool(q_camera(0), ModelVariant::R));
}

TEST(DeviceWatchRules, ChipGenerationIsTheWiderTest) {
  struct Case {
    std::uint32_t reg;
    ChipGen gen;
  } cases[] = {{0x80, 2}, {0x20, 2}, {0x10, 2}, {0xC0, 2}, {0xB5, 2}, {0x40, 0},
               {0x0F, 0}, {0x00, 0}, {0x4F, 0}, {0xB000, 0}, {0x123456A0, 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(ChipGenFromRegister(c.reg), c.gen) << std::hex << "register 0x" << c.reg;
  }
}

TEST(DeviceWatchRules, ScalingTruncatesTowardZero) {
  EXPECT_EQ(ScalePixels(460, 96), 460);
  EXPECT_EQ(ScalePixels(45, 144), 67);  // 67.5
  EXPECT_EQ(ScalePixels(15, 120), 18);  // 18.75
  EXPECT_EQ(ScalePixels(kConnectStatusRect, 192), (PixelRect{100, 90, 680, 140}));
  EXPECT_EQ(ScalePixels(kWatchWindowSize, 0), kWatchWindowSize) << "dpi 0 counts as 96";
}

// ----------------------------------------------------------- firmware file --

std::vector<std::uint8_t> firmware(std::uint16_t version, std::uint16_t pid, bool code_only = false,
                                   std::uint32_t size = 0x20000) {
  FirmwareBuildOptions o;
  o.firmware_version = version;
  o.product_id = pid;
  o.code_only = code_only;
  o.image_size = size;
  return build_firmware_file(o);
}

void put_le24(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = (v >> 8) & 0xFF;
  b[at + 2] = (v >> 16) & 0xFF;
}

TEST(FirmwareInfoTest, TakesVersionAndIdBehindTheCodeBase) {
  const FirmwareInfo full = ReadFirmwareInfo(firmware(0x0105, ProductIdQB));
  EXPECT_EQ(full.chipType, 2);
  EXPECT_EQ(full.codeBase, 0x1000u) << "UserCodeAddr when UserCodeSize is not zero";
  EXPECT_TRUE(full.blockInReach);
  EXPECT_EQ(full.firmwareVersion, 0x0105);
  EXPECT_EQ(full.productId, ProductIdQB);
  EXPECT_EQ(full.bytesRead, kFirmwareWatchRead) << "at most 64 KiB are taken";

  const FirmwareInfo code_only = ReadFirmwareInfo(firmware(0x0222, ProductIdQAlt, true));
  EXPECT_EQ(code_only.chipType, 1);
  EXPECT_EQ(code_only.codeBase, 0u) << "BootAddr when UserCodeSize is zero";
  EXPECT_EQ(code_only.firmwareVersion, 0x0222);
  EXPECT_EQ(code_only.productId, ProductIdQAlt);
}

TEST(FirmwareInfoTest, BlockBeyondTheFirst64KiBReadsAsZero) {
  std::vector<std::uint8_t> f = firmware(0x0105, ProductIdQA);
  // Moving the code base so that the block would end 1 byte past 64 KiB.
  const std::uint32_t base = kFirmwareWatchRead - kFirmwareCrcSize - kUserDataDistance -
                             kUserDataBlockSize + 1;
  put_le24(f, kFirmwareCrcSize + 10, base);
  const FirmwareInfo beyond = ReadFirmwareInfo(f);
  EXPECT_FALSE(beyond.blockInReach);
  EXPECT_EQ(beyond.firmwareVersion, 0);
  EXPECT_EQ(beyond.productId, 0);

  put_le24(f, kFirmwareCrcSize + 10, base - 1);
  EXPECT_TRUE(ReadFirmwareInfo(f).blockInReach) << "a block ending exactly at 64 KiB is read";
}

TEST(FirmwareInfoTest, ShortFilesReadAsZeroFilled) {
  for (std::size_t n : {0u, 3u, 10u, 19u, 100u}) {
    std::vector<std::uint8_t> f(n, 0xFF);
    const FirmwareInfo info = ReadFirmwareInfo(f);
    EXPECT_EQ(info.bytesRead, n);
    EXPECT_EQ(info.firmwareVersion, 0) << n << " bytes";
    EXPECT_EQ(info.productId, 0) << n << " bytes";
  }
}

using TempDir = lumavix::test::TempDirTest;

using FindFirmwareFileTest = TempDir;

TEST_F(FindFirmwareFileTest, TakesTheAlphabeticallyFirstBinFile) {
  write("b.bin", {1});
  write("c.txt", {1});
  write("a.BIN", {1});
  write("bin", {1});
  fs::create_directories(dir_ / "0.bin");  // a directory is no firmware file
  EXPECT_EQ(FindFirmwareFile(dir_.string()), (dir_ / "a.BIN").string());
}

TEST_F(FindFirmwareFileTest, NoneWithoutABinFileOrDirectory) {
  write("readme.txt", {1});
  EXPECT_EQ(FindFirmwareFile(dir_.string()), "");
  EXPECT_EQ(FindFirmwareFile((dir_ / "missing").string()), "");
}

TEST_F(FindFirmwareFileTest, ReadsAtMost64KiB) {
  const std::string big = write("big.bin", std::vector<std::uint8_t>(0x30000, 7));
  std::vector<std::uint8_t> head;
  ASSERT_TRUE(ReadFirmwareHead(big, head));
  EXPECT_EQ(head.size(), kFirmwareWatchRead);
  const std::string small = write("small.bin", std::vector<std::uint8_t>(100, 7));
  ASSERT_TRUE(ReadFirmwareHead(small, head));
  EXPECT_EQ(head.size(), 100u);
  EXPECT_FALSE(ReadFirmwareHead((dir_ / "missing.bin").string(), head));
}

// ----------------------------------------------------------- presentations --

TEST(PresentationTest, EnglishTextsAndLayouts) {
  const std::u16string tool = u"LUMAVIX Q";
  const std::u16string cam = u"LUMAVIX Q ";
  struct Case {
    Presentation p;
    std::u16string text;
    PixelRect status;
    bool button, link, enabled;
  } cases[] = {
      {Presentation::NoCamera, u"Please connect your LUMAVIX Q.", {50, 45, 340, 70}, false, false,
       false},
      {Presentation::UpdateAvailable,
       u"Your LUMAVIX Q  is ready to receive an update.\n A new firmware version is available "
       u"v0105. The current version is v0104.",
       {20, 15, 410, 70}, true, false, true},
      {Presentation::UpToDate,
       u"Your LUMAVIX Q  is already up to date v0104. Please close the LUMAVIX Q  Firmware "
       u"Update.",
       {50, 30, 340, 70}, false, false, true},
      {Presentation::NotThisProduct,
       u"This firmware update is for LUMAVIX Q. To update the firmware of your LUMAVIX, please "
       u"visit:",
       {25, 20, 380, 70}, false, true, false},
  };
  for (const Case& c : cases) {
    const PresentationView v =
        ComposePresentation(c.p, UiLanguage::English, tool, cam, 0x0105, 0x0104);
    const char* name = PresentationName(c.p);
    EXPECT_EQ(v.statusText, c.text) << name;
    EXPECT_EQ(v.statusRect, c.status) << name;
    EXPECT_EQ(v.windowSize, (PixelSize{460, 170})) << name;
    EXPECT_EQ(v.updateButtonShown, c.button) << name;
    EXPECT_EQ(v.linkShown, c.link) << name;
    EXPECT_EQ(v.controlsEnabled, c.enabled) << name;
  }
  const PresentationView ntp = ComposePresentation(Presentation::NotThisProduct,
                                                   UiLanguage::English, tool, cam, 0, 0);
  EXPECT_EQ(ntp.linkRect, (PixelRect{130, 60, 380, 30}));
  EXPECT_EQ(ntp.linkMarkup, std::string("<a href=\"") + DownloadUrl + "\">" + DownloadUrl + "</a>");
  EXPECT_NE(std::string(DownloadUrl).find("/download"), std::string::npos);
}

TEST(PresentationTest, WordOrderOfTheOtherLanguages) {
  const std::u16string tool = u"LUMAVIX Q";
  const std::u16string cam = u"LUMAVIX Q ";
  auto text = [&](Presentation p, UiLanguage l) {
    return ComposePresentation(p, l, tool, cam, 0x0105, 0x0104).statusText;
  };
  EXPECT_EQ(text(Presentation::NoCamera, UiLanguage::German),
            u"Bitte schließen Sie Ihr LUMAVIX Q  an.");
  EXPECT_EQ(text(Presentation::NoCamera, UiLanguage::Dutch),
            u"Sluit uw LUMAVIX Q aan alstublieft.");
  EXPECT_EQ(text(Presentation::NoCamera, UiLanguage::Japanese),
            u"LUMAVIX Q を接続してください。");
  EXPECT_EQ(text(Presentation::NoCamera, UiLanguage::French),
            u"Veuillez connecter votre LUMAVIX Q.");

  const std::u16string ja = text(Presentation::UpdateAvailable, UiLanguage::Japanese);
  EXPECT_EQ(ja.rfind(u"LUMAVIX Q ", 0), 0u) << "empty T[2]: the model text comes first";
  EXPECT_NE(ja.find(u"（v0105）"), std::u16string::npos);
  EXPECT_EQ(ja.back(), u'。');

  EXPECT_EQ(text(Presentation::NotThisProduct, UiLanguage::Japanese).rfind(u"LUMAVIX Q", 0), 0u)
      << "Japanese puts the model name first";
  EXPECT_EQ(text(Presentation::NotThisProduct, UiLanguage::German).rfind(u"Dieses", 0), 0u);

  for (UiLanguage l : {UiLanguage::French, UiLanguage::German, UiLanguage::Italian,
                       UiLanguage::Dutch}) {
    const std::u16string t = text(Presentation::UpToDate, l);
    EXPECT_NE(t.find(u"v0104"), std::u16string::npos) << static_cast<int>(l);
    EXPECT_EQ(t.find(u"v0105"), std::u16string::npos) << "up to date shows the camera's version";
  }
}

TEST(PresentationTest, NotThisProductPlacesPerLanguage) {
  struct Case {
    UiLanguage lang;
    PixelRect link, status;
  } cases[] = {
      {UiLanguage::English, {130, 60, 380, 30}, {25, 20, 380, 70}},
      {UiLanguage::French, {130, 80, 380, 30}, {25, 20, 400, 80}},
      {UiLanguage::German, {130, 60, 380, 30}, {25, 20, 400, 80}},
      {UiLanguage::Japanese, {130, 80, 380, 30}, {25, 20, 400, 80}},
      {UiLanguage::Italian, {130, 60, 380, 30}, {25, 20, 400, 80}},
      {UiLanguage::Dutch, {120, 60, 380, 30}, {25, 20, 380, 80}},
  };
  for (const Case& c : cases) {
    const PresentationView v =
        ComposePresentation(Presentation::NotThisProduct, c.lang, u"LUMAVIX Q", {}, 0, 0);
    EXPECT_EQ(v.linkRect, c.link) << "language " << static_cast<int>(c.lang);
    EXPECT_EQ(v.statusRect, c.status) << "language " << static_cast<int>(c.lang);
  }
}

// --------------------------------------------------------------- the pass --

class WatchPassTest : public TempDir {
 protected:
  void TearDown() override {
    camera_.reset();
    TempDir::TearDown();
  }

  void attach(sim::SimProfile profile, std::optional<std::uint16_t> pid = std::nullopt) {
    sim::SimOptions o;
    o.profile = profile;
    o.latency_us = 20;
    o.busy = false;
    o.product_id = pid;
    camera_.emplace(o);
  }
  [[nodiscard]] sim::SimCamera& cam() { return camera_->camera(); }

  DeviceWatchResult pass() {
    cfg_.directory = dir_.string();
    return EvaluateDeviceWatch(state_, cfg_);
  }

  std::optional<test::SimulatedCamera> camera_;
  DeviceWatchState state_;
  DeviceWatchConfig cfg_;
};

TEST_F(WatchPassTest, UpdateAvailableThenUpToDate) {
  attach(sim::SimProfile::Q);
  write("fw.bin", firmware(0x0105, ProductIdQA));
  DeviceWatchResult r = pass();
  ASSERT_EQ(r.outcome, WatchOutcome::Presented);
  EXPECT_EQ(r.view.presentation, Presentation::UpdateAvailable);
  EXPECT_NE(state_.deviceOpen, 0);
  EXPECT_EQ(state_.chipGen, 2);
  EXPECT_EQ(state_.camera.cameraFirmwareVersion, 0x0104);
  EXPECT_EQ(state_.firmware.firmwareVersion, 0x0105);
  EXPECT_EQ(state_.firmwarePath, (dir_ / "fw.bin").string());
  EXPECT_EQ(state_.statusText, r.view.statusText);
  EXPECT_TRUE(r.setWindowTitle);
  EXPECT_EQ(r.windowTitle, u"LUMAVIX Q Firmware Update");
  EXPECT_TRUE(r.view.controlsEnabled);

  write("fw.bin", firmware(0x0104, ProductIdQA));
  r = pass();
  EXPECT_EQ(r.view.presentation, Presentation::UpToDate) << "second pass reopens and rereads";
  EXPECT_EQ(DeviceCount(), 1);
}

TEST_F(WatchPassTest, AlternativeHardwareRefusesTheOtherQFiles) {
  attach(sim::SimProfile::Q, ProductIdQAlt);
  write("fw.bin", firmware(0x0105, ProductIdQA));
  EXPECT_EQ(pass().view.presentation, Presentation::NotThisProduct);
  EXPECT_EQ(state_.camera.cameraAltProductId, 1);
  write("fw.bin", firmware(0x0105, ProductIdQAlt));
  EXPECT_EQ(pass().view.presentation, Presentation::UpdateAvailable);
  write("fw.bin", firmware(0x0105, 0x4321));
  EXPECT_EQ(pass().view.presentation, Presentation::UpdateAvailable)
      << "an id outside the six is compared by version";
}

TEST_F(WatchPassTest, NoCameraAsksForItAndEndsTheConfirmation) {
  attach(sim::SimProfile::None);
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.outcome, WatchOutcome::Presented);
  EXPECT_EQ(r.view.presentation, Presentation::NoCamera);
  EXPECT_EQ(r.view.statusText, u"Please connect your LUMAVIX Q.");
  EXPECT_TRUE(r.endConfirmation);
  EXPECT_TRUE(r.setWindowTitle);
  EXPECT_EQ(state_.deviceOpen, 0);
  EXPECT_FALSE(r.userDataAttempted);
}

TEST_F(WatchPassTest, GenerationZeroCameraIsPresentedAsMissing) {
  attach(sim::SimProfile::Gen0Flash);
  write("fw.bin", firmware(0x0105, ProductIdQA));
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.view.presentation, Presentation::NoCamera);
  EXPECT_NE(state_.deviceOpen, 0) << "the library stays open";
  EXPECT_FALSE(r.endConfirmation);
  EXPECT_FALSE(r.userDataAttempted);
}

TEST_F(WatchPassTest, WithoutAnyBinFileTheFileErrorEndsThePass) {
  attach(sim::SimProfile::Q);
  write("notes.txt", {1, 2});
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.outcome, WatchOutcome::FileOpenError);
  EXPECT_TRUE(r.noFirmwareFile);
  EXPECT_STREQ(r.messageBox, "Firmware File open Error!!");
  EXPECT_STREQ(r.messageCaption, "LUMAVIX Firmware Update Tool");
  EXPECT_FALSE(r.setWindowTitle);
  EXPECT_FALSE(r.view.controlsEnabled);
  EXPECT_FALSE(r.view.updateButtonShown);
  EXPECT_EQ(r.view.statusText, u"Please connect your LUMAVIX Q.");
}

TEST_F(WatchPassTest, UnreadableNamedFileIsAFileError) {
  attach(sim::SimProfile::Q);
  cfg_.firmwareFile = (dir_ / "gone.bin").string();
  EXPECT_EQ(pass().outcome, WatchOutcome::FileOpenError);
  cfg_.firmwareFile = std::string(300, 'a') + ".bin";
  EXPECT_EQ(pass().outcome, WatchOutcome::FileOpenError) << "paths over 259 characters";
}

TEST_F(WatchPassTest, BootOnlyCameraIsNotThisProductWithoutAFile) {
  attach(sim::SimProfile::Q);
  // Clearing UserCodeSize makes the camera a boot-only chip (type 1): an R2
  // by its product id. No firmware file is needed to say so.
  sim::SimCamera& cam = camera_->camera();
  std::vector<std::uint8_t> cfg = cam.flash_bytes(0, kBootConfigSize);
  cfg[2] = 0x00;
  cfg[3] = 0x10;
  cfg[4] = 0x00;
  cfg[13] = cfg[14] = cfg[15] = 0;
  cam.write_flash_bytes(0, cfg);
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.outcome, WatchOutcome::Presented);
  EXPECT_EQ(r.view.presentation, Presentation::NotThisProduct);
  EXPECT_EQ(state_.camera.CameraVariant, ModelVariant::R2);
  EXPECT_TRUE(r.noFirmwareFile);
  EXPECT_FALSE(state_.firmware.read);
}

TEST_F(WatchPassTest, DeferredWhileAnUpdateRuns) {
  attach(sim::SimProfile::Q);
  write("fw.bin", firmware(0x0105, ProductIdQA));
  ASSERT_EQ(pass().view.presentation, Presentation::UpdateAvailable);
  const std::int32_t open = state_.deviceOpen;
  const std::u16string text = state_.statusText;
  cfg_.updateInProgress = true;
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.outcome, WatchOutcome::Deferred);
  EXPECT_EQ(state_.deviceOpen, open);
  EXPECT_EQ(state_.statusText, text);
  EXPECT_TRUE(state_.firmware.read) << "a deferred pass clears nothing";
}

TEST_F(WatchPassTest, FileBlockBeyond64KiBComparesAsVersionZero) {
  attach(sim::SimProfile::Q);
  std::vector<std::uint8_t> f = firmware(0x0105, ProductIdQA);
  put_le24(f, kFirmwareCrcSize + 10, 0xF000);
  write("fw.bin", f);
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.view.presentation, Presentation::UpToDate);
  EXPECT_EQ(state_.firmware.firmwareVersion, 0);
}


// What an interrupted update can leave in the flash. None of it is ever "up
// to date" or "not this product": a camera whose USB identity is this tool's
// model is offered the update again, whatever the versions.
TEST_F(WatchPassTest, InterruptedUpdateIsOfferedAgainNeverUpToDate) {
  struct Case {
    const char* name;
    bool in_block;          // the damage is at the block's start, else at address 0
    std::vector<std::uint8_t> bytes;
    FlashIdentity identity;
  };
  const Case cases[] = {
      {"boot configuration erased", false, std::vector<std::uint8_t>(kBootConfigSize, 0xFF),
       FlashIdentity::NoBootConfig},
      {"magic gone", false, {0x00, 0x00}, FlashIdentity::NoBootConfig},
      {"block erased", true, std::vector<std::uint8_t>(kUserDataBlockSize, 0xFF),
       FlashIdentity::BlockErased},
  };
  for (const Case& c : cases) {
    attach(sim::SimProfile::Q);
    sim::SimCamera& cam = camera_->camera();
    const auto boot = cam.flash_bytes(0, kBootConfigSize);
    const std::uint32_t block =
        locate_user_data(std::span<const std::uint8_t, kBootConfigSize>(boot.data(), kBootConfigSize))
            .block_addr;
    cam.write_flash_bytes(c.in_block ? block : 0, c.bytes);
    // The file's version equals the camera's: a whole camera would be up to date.
    write("fw.bin", firmware(0x0104, ProductIdQA));
    const DeviceWatchResult r = pass();
    EXPECT_EQ(r.view.presentation, Presentation::Interrupted) << c.name;
    EXPECT_EQ(r.flashIdentity, c.identity) << c.name;
    EXPECT_TRUE(r.view.updateButtonShown) << c.name << ": Update expected offered";
    EXPECT_EQ(r.view.statusText,
              u"The last update of your LUMAVIX Q did not finish.\n Click Update to run it "
              u"again (firmware v0104).")
        << c.name;
    EXPECT_EQ(state_.camera.cameraModelText, u"LUMAVIX Q ") << c.name;
    CloseDevices();
  }
}

TEST_F(WatchPassTest, InterruptedCameraWithoutAKnownUsbIdAsksForRecover) {
  attach(sim::SimProfile::Q, 0x4321);
  cam().write_flash_bytes(0, std::vector<std::uint8_t>(kBootConfigSize, 0xFF));
  write("fw.bin", firmware(0x0105, ProductIdQA));
  DeviceWatchResult r = pass();
  EXPECT_EQ(r.view.presentation, Presentation::InterruptedUnidentified);
  EXPECT_FALSE(OffersUpdate(r.view.presentation)) << "nothing tells what the camera is";
  EXPECT_TRUE(r.view.updateButtonShown) << "the button that finishes it on the user's word";
  EXPECT_EQ(r.view.updateButtonText, u"Finish update");
  EXPECT_NE(r.view.statusText.find(u"lumavix-fw update --recover"), std::u16string::npos);
  EXPECT_NE(r.view.statusText.find(u"Only if it is a LUMAVIX Q"), std::u16string::npos)
      << "the invitation is only for this tool's model";

  cfg_.recover = true;
  r = pass();
  EXPECT_EQ(r.view.presentation, Presentation::Interrupted)
      << "--recover takes the camera to be the file's model";
}

TEST_F(WatchPassTest, WholeBlockOfAnotherProductIsStillRefused) {
  attach(sim::SimProfile::Q, ProductIdQAlt);
  write("fw.bin", firmware(0x0105, ProductIdQA));
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.flashIdentity, FlashIdentity::Valid);
  EXPECT_EQ(r.view.presentation, Presentation::NotThisProduct);
}

// The pass's rule applied to a file's own image: what a camera would hold
// once it is written. Only a Valid image may be written.
TEST(FirmwareImageTest, ImageReadsBackAsTheCameraPassWouldReadIt) {
  struct Case {
    const char* name;
    std::size_t at;  // file offset of the change
    std::vector<std::uint8_t> bytes;
    bool code_only;
    FlashIdentity expected;
  };
  const std::size_t block = kFirmwareCrcSize + 0x3000;
  const Case cases[] = {
      {"as built", 0, {}, false, FlashIdentity::Valid},
      {"block signed otherwise", block, {0x11, 0x22, 0x33, 0x44}, false, FlashIdentity::Valid},
      {"block erased", block, std::vector<std::uint8_t>(kUserDataBlockSize, 0xFF), false,
       FlashIdentity::BlockErased},
      {"block at 0x11000", kFirmwareCrcSize + 10, {0x00, 0xF0, 0x00}, false,
       FlashIdentity::OutOfReach},
      {"block across its sector", kFirmwareCrcSize + 10, {0x00, 0x1F, 0x00}, false,
       FlashIdentity::OutOfReach},
      {"boot configuration erased", kFirmwareCrcSize,
       std::vector<std::uint8_t>(kBootConfigSize, 0xFF), false, FlashIdentity::NoBootConfig},
      {"code-only image", 0, {}, true, FlashIdentity::NoBootConfig},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> f = firmware(0x0105, ProductIdQA, c.code_only);
    std::copy(c.bytes.begin(), c.bytes.end(), f.begin() + static_cast<std::ptrdiff_t>(c.at));
    const FirmwareInfo info = ReadFirmwareInfo(f);
    EXPECT_EQ(info.imageIdentity, c.expected)
        << c.name << ": expected " << FlashIdentityName(c.expected) << ", got "
        << FlashIdentityName(info.imageIdentity);
    EXPECT_EQ(ImageReadsFinished(info), c.expected == FlashIdentity::Valid) << c.name;
  }
}

// Any signature is accepted on reading: a block signed otherwise is a
// whole camera, compared by its version like any other.
TEST_F(WatchPassTest, AnyBlockSignatureReadsAsAFinishedCamera) {
  attach(sim::SimProfile::Q);
  sim::SimCamera& cam = camera_->camera();
  const auto boot = cam.flash_bytes(0, kBootConfigSize);
  const std::uint32_t block =
      locate_user_data(std::span<const std::uint8_t, kBootConfigSize>(boot.data(), kBootConfigSize))
          .block_addr;
  cam.write_flash_bytes(block + kUdSignature, std::vector<std::uint8_t>{0, 0, 0, 0});
  write("fw.bin", firmware(0x0104, ProductIdQA));
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.flashIdentity, FlashIdentity::Valid);
  EXPECT_EQ(r.view.presentation, Presentation::UpToDate);
}

// One failed transfer anywhere in the pass is tried again: a finished camera
// is never presented as unfinished (nor offered an update) because of it.
TEST_F(WatchPassTest, AFailedTransferIsTriedAgainNotTakenForAnUnfinishedUpdate) {
  write("fw.bin", firmware(0x0104, ProductIdQA));
  attach(sim::SimProfile::Q);
  ASSERT_EQ(pass().view.presentation, Presentation::UpToDate);
  const std::uint64_t transfers = cam().counters().total;
  CloseDevices();
  for (std::uint64_t n = 1; n <= transfers; ++n) {
    attach(sim::SimProfile::Q);
    cam().set_fail_at(n);
    state_ = DeviceWatchState{};
    const DeviceWatchResult r = pass();
    EXPECT_EQ(r.view.presentation, Presentation::UpToDate)
        << "a failure at transfer " << n << " of " << transfers << " gave "
        << PresentationName(r.view.presentation) << " (" << FlashIdentityName(r.flashIdentity)
        << ")";
    CloseDevices();
  }
}

// A camera that opens and then answers nothing: the pass does not guess.
TEST_F(WatchPassTest, CameraThatKeepsFailingIsUnreadableWithNothingOffered) {
  write("fw.bin", firmware(0x0105, ProductIdQA));
  attach(sim::SimProfile::Q);
  sim::SimCamera& cam = camera_->camera();
  ASSERT_NE(OpenDevices(), 0);
  const std::uint64_t opening = cam.counters().total;
  CloseDevices();
  // Every transfer after the next opening fails.
  cam.set_unplug_after(2 * opening);
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.view.presentation, Presentation::Unreadable);
  EXPECT_STREQ(PresentationName(r.view.presentation), "unreadable");
  EXPECT_FALSE(r.view.updateButtonShown);
  EXPECT_FALSE(r.view.controlsEnabled);
  EXPECT_EQ(r.view.statusText,
            u"The camera does not answer reliably; reconnect it and try again.");
}

// An unfinished camera whose USB id this build knows is the model that id
// says: another model's or variant's file is refused, --recover or not.
// Only an unknown id leaves the model to the user's word.
TEST_F(WatchPassTest, UnfinishedCameraIsGivenOnlyItsOwnModelsFile) {
  struct Case {
    std::uint16_t usb, file;
    bool recover;
    Presentation expected;
    bool refused;
  } cases[] = {
      {ProductIdQAlt, ProductIdQA, false, Presentation::NotThisProduct, true},
      {ProductIdQAlt, ProductIdQA, true, Presentation::NotThisProduct, true},
      {ProductIdQA, ProductIdQAlt, true, Presentation::NotThisProduct, true},
      {ProductIdRA, ProductIdQA, true, Presentation::NotThisProduct, true},
      {ProductIdR2, ProductIdQB, true, Presentation::NotThisProduct, true},
      {ProductIdQAlt, ProductIdQAlt, false, Presentation::Interrupted, false},
      {ProductIdQB, ProductIdQA, false, Presentation::Interrupted, false},
      {0x4321, ProductIdQA, false, Presentation::InterruptedUnidentified, false},
      {0x4321, ProductIdQAlt, true, Presentation::Interrupted, false},
  };
  for (const Case& c : cases) {
    attach(sim::SimProfile::Q, c.usb);
    cam().write_flash_bytes(0, std::vector<std::uint8_t>(kBootConfigSize, 0xFF));
    write("fw.bin", firmware(0x0105, c.file));
    cfg_.recover = c.recover;
    state_ = DeviceWatchState{};
    const DeviceWatchResult r = pass();
    EXPECT_EQ(r.view.presentation, c.expected)
        << std::hex << "USB id " << c.usb << ", file " << c.file
        << (c.recover ? " with --recover" : "") << ": expected "
        << PresentationName(c.expected) << ", got " << PresentationName(r.view.presentation);
    EXPECT_EQ(r.otherModelRefused, c.refused) << std::hex << "USB id " << c.usb;
    CloseDevices();
  }
}

// The window checks the file's image before offering anything.
TEST_F(WatchPassTest, WindowRefusesAFileThatWouldLeaveTheCameraUnfinished) {
  attach(sim::SimProfile::Q);
  std::vector<std::uint8_t> f = firmware(0x0105, ProductIdQA);
  std::fill_n(f.begin() + kFirmwareCrcSize + 0x3000, kUserDataBlockSize, 0xFF);
  const std::uint32_t crc = Crc32(f.data() + kFirmwareCrcSize, f.size() - kFirmwareCrcSize);
  for (int i = 0; i < 4; ++i) f[i] = static_cast<std::uint8_t>(crc >> (8 * i));
  write("fw.bin", f);
  cfg_.fileProblemsInWindow = true;
  const DeviceWatchResult r = pass();
  EXPECT_EQ(r.outcome, WatchOutcome::FileProblemShown);
  EXPECT_EQ(r.fileProblem, FileProblem::NotFirmware);
  EXPECT_FALSE(r.view.updateButtonShown);
}

// After a verified update the pass waits for the camera to go and come back:
// only then, and only with the version written, is the update confirmed;
// a camera back with another version is presented as usual and the wait ends.
TEST_F(WatchPassTest, ConfirmedOnlyAfterTheCameraLeftAndCameBackWithTheVersionWritten) {
  attach(sim::SimProfile::Q);
  write("fw.bin", firmware(0x0104, ProductIdQA));
  struct Step {
    bool unplug_first;
    std::uint16_t awaited;
    Presentation expected;
    bool still_waiting;
  } steps[] = {
      {false, 0x0104, Presentation::UpToDate, true},    // never left: not yet
      {true, 0x0104, Presentation::Confirmed, false},   // left and back with it
      {true, 0x0107, Presentation::UpToDate, false},    // back with another version
  };
  for (const Step& s : steps) {
    state_.awaitingReplug = s.awaited;
    state_.replugLeft = false;
    if (s.unplug_first) {
      cam().unplug();
      EXPECT_EQ(pass().view.presentation, Presentation::NoCamera);
      cam().replug();
    }
    const DeviceWatchResult r = pass();
    EXPECT_EQ(r.view.presentation, s.expected) << "awaiting " << s.awaited;
    EXPECT_EQ(state_.awaitingReplug.has_value(), s.still_waiting) << "awaiting " << s.awaited;
    if (s.expected == Presentation::Confirmed) {
      EXPECT_FALSE(r.view.updateButtonShown);
      EXPECT_EQ(r.view.statusText, ConfirmedText(UiLanguage::English, u"LUMAVIX Q", 0x0104));
      EXPECT_EQ(pass().view.presentation, Presentation::UpToDate) << "confirmed once only";
    }
  }
}


// The window's passes name the firmware file's problem themselves and
// check a found or chosen file whole before anything is offered.
TEST_F(WatchPassTest, FileProblemsInTheWindowAreNamedWithTheirReason) {
  attach(sim::SimProfile::Q);
  std::vector<std::uint8_t> damaged = firmware(0x0105, ProductIdQA);
  damaged[0x9000] ^= 0x01;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;  // empty: no file at all
    bool chosen;                      // given as the chosen file
    FileProblem problem;
    const char16_t* where;  // named in the text
  } cases[] = {
      {"no file in the folder", {}, false, FileProblem::NotFound, nullptr},
      {"damaged", damaged, false, FileProblem::BadCrc, u"fw.bin"},
      {"too short", {1, 2, 3, 4, 5}, false, FileProblem::NotFirmware, u"fw.bin"},
      {"too long", std::vector<std::uint8_t>(kMaxFirmwareLoad + 1, 0xFF), true,
       FileProblem::NotFirmware, u"fw.bin"},
      {"chosen for the other hardware", firmware(0x0105, ProductIdQAlt), true,
       FileProblem::OtherProduct, u"fw.bin"},
      {"good", firmware(0x0105, ProductIdQA), true, FileProblem::None, nullptr},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir_ / "fw.bin");
    if (!c.bytes.empty()) write("fw.bin", c.bytes);
    cfg_ = DeviceWatchConfig{};
    cfg_.fileProblemsInWindow = true;
    if (c.chosen) cfg_.firmwareFile = (dir_ / "fw.bin").string();
    const DeviceWatchResult r = pass();
    if (c.problem == FileProblem::None) {
      EXPECT_EQ(r.view.presentation, Presentation::UpdateAvailable) << c.name;
      continue;
    }
    EXPECT_EQ(r.outcome, WatchOutcome::FileProblemShown) << c.name;
    EXPECT_EQ(r.fileProblem, c.problem) << c.name;
    EXPECT_EQ(r.messageBox, nullptr) << c.name << ": no message box expected";
    EXPECT_TRUE(r.setWindowTitle) << c.name << ": the title expected set";
    EXPECT_TRUE(r.view.chooseFileShown) << c.name;
    EXPECT_FALSE(r.view.updateButtonShown) << c.name << ": nothing expected to be offered";
    const std::u16string where = c.where ? std::u16string(c.where) : dir_.u16string();
    EXPECT_EQ(r.view.statusText, FileProblemText(UiLanguage::English, c.problem, where))
        << c.name;
  }
  // The command line keeps its file-open error.
  std::filesystem::remove(dir_ / "fw.bin");
  cfg_ = DeviceWatchConfig{};
  EXPECT_EQ(pass().outcome, WatchOutcome::FileOpenError);
}

// Folders and files named in any language, as the paths reach the pass
// (UTF-8): found by the folder search, chosen, checked, and named in the
// problem texts as they are written, never byte by byte.
TEST_F(WatchPassTest, FoldersAndFilesNamedInAnyLanguage) {
  attach(sim::SimProfile::Q);
  const std::vector<std::uint8_t> good = firmware(0x0105, ProductIdQA);
  std::vector<std::uint8_t> damaged = good;
  damaged[0x9000] ^= 0x01;
  struct Case {
    const char* folder;  // UTF-8
    const char16_t* folder16;
    const char* file;
    const char16_t* file16;
  } cases[] = {
      {"T\xC3\xA9l\xC3\xA9" "chargements", u"T\u00e9l\u00e9chargements", "mise \xC3\xA0 jour.bin",
       u"mise \u00e0 jour.bin"},
      {"\xC3\x9C" "berpr\xC3\xBC" "fung", u"\u00dcberpr\u00fcfung", "Gr\xC3\xB6\xC3\x9F" "e.bin",
       u"Gr\u00f6\u00dfe.bin"},
      {"\xE3\x82\xAB\xE3\x83\xA1\xE3\x83\xA9", u"\u30ab\u30e1\u30e9",
       "\xE6\x9B\xB4\xE6\x96\xB0.bin", u"\u66f4\u65b0.bin"},
  };
  for (const Case& c : cases) {
    const fs::path folder = dir_ / path_from_utf8(c.folder);
    const std::string folder8 = path_to_utf8(folder);
    const std::string file8 = path_to_utf8(folder / path_from_utf8(c.file));
    fs::create_directories(folder);
    auto put = [&](const std::vector<std::uint8_t>& bytes) {
      std::FILE* f = open_file(path_from_utf8(file8), "wb");
      ASSERT_NE(f, nullptr) << file8;
      EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
      std::fclose(f);
    };
    auto run = [&](bool inWindow, const std::string& chosen) {
      cfg_ = DeviceWatchConfig{};
      cfg_.directory = folder8;
      cfg_.firmwareFile = chosen;
      cfg_.fileProblemsInWindow = inWindow;
      return EvaluateDeviceWatch(state_, cfg_);
    };

    put(good);
    EXPECT_EQ(CheckFirmwareFile(file8), FileProblem::None) << file8;
    EXPECT_EQ(FindFirmwareFile(folder8), file8);
    for (const bool inWindow : {true, false}) {
      for (const std::string& chosen : {std::string(), file8}) {
        const DeviceWatchResult r = run(inWindow, chosen);
        EXPECT_EQ(r.view.presentation, Presentation::UpdateAvailable)
            << file8 << (chosen.empty() ? " found" : " chosen")
            << (inWindow ? " by the window" : " by the command line") << ": offered expected";
        EXPECT_EQ(state_.firmwarePath, file8);
      }
    }

    put(damaged);
    DeviceWatchResult r = run(true, {});
    EXPECT_EQ(r.fileProblem, FileProblem::BadCrc) << file8;
    EXPECT_EQ(r.view.statusText, FileProblemText(UiLanguage::English, FileProblem::BadCrc, c.file16))
        << file8 << ": the file named as written expected";

    fs::remove(path_from_utf8(file8));
    r = run(true, {});
    EXPECT_EQ(r.fileProblem, FileProblem::NotFound) << folder8;
    EXPECT_NE(r.view.statusText.find(c.folder16), std::u16string::npos)
        << folder8 << ": the folder named as written expected in " << ToUtf8(r.view.statusText);
  }
}

TEST(FirmwareFileCheck, ReasonsOfAFileThatIsNoFirmwareImage) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("lumavix_check_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto put = [&](const char* name, const std::vector<std::uint8_t>& b) {
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return (dir / name).string();
  };
  std::vector<std::uint8_t> good = firmware(0x0105, ProductIdQA);
  std::vector<std::uint8_t> crc = good;
  crc[4] ^= 0x80;
  struct Case {
    const char* name;
    std::string path;
    FileProblem want;
  } cases[] = {
      {"good", put("good.bin", good), FileProblem::None},
      {"one bit flipped", put("crc.bin", crc), FileProblem::BadCrc},
      {"empty", put("empty.bin", {}), FileProblem::NotFirmware},
      {"only a CRC and 15 bytes", put("short.bin", std::vector<std::uint8_t>(19, 0)),
       FileProblem::NotFirmware},
      {"missing", (dir / "missing.bin").string(), FileProblem::Unreadable},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckFirmwareFile(c.path), c.want) << c.name;
#ifndef _WIN32
  // The window's thread never waits on a FIFO: it is a file that cannot be
  // read, and the folder search passes over it.
  const std::filesystem::path fifo = dir / "a.bin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(CheckFirmwareFile(fifo.string()), FileProblem::Unreadable) << "a FIFO";
  EXPECT_EQ(FindFirmwareFile(dir.string()), (dir / "crc.bin").string())
      << "the first regular *.bin, not the FIFO before it";
  EXPECT_EQ(CheckFirmwareFile("/dev/zero"), FileProblem::Unreadable) << "a device node";
#endif
  std::filesystem::remove_all(dir);
}

// ------------------------------------------------------ the Downloads folder --

// The pass with a Downloads folder beside the working one: files written
// there are given modification times minutes apart, `age` minutes old.
class DownloadsPassTest : public WatchPassTest {
 protected:
  std::string download(const std::string& name, const std::vector<std::uint8_t>& bytes, int age) {
    const fs::path p = downloads_.path() / fs::path(name);
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
    fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::minutes(age));
    return path_to_utf8(p);
  }
  DeviceWatchResult pass_with_downloads() {
    cfg_.downloadsFolder = path_to_utf8(downloads_.path());
    return pass();
  }
  struct Folder {
    test::TempDir dir;
    [[nodiscard]] fs::path path() const { return dir.path(); }
  } downloads_;
};

TEST_F(DownloadsPassTest, TakesTheNewestFileOfThisModelAndNamesItsFolder) {
  attach(sim::SimProfile::Q);
  std::vector<std::uint8_t> junk(4096, 0x5A);
  std::vector<std::uint8_t> damaged = firmware(0x0107, ProductIdQA);
  damaged[100] ^= 0xFF;
  download("router.bin", junk, 1);                          // newest: not firmware
  download("other-model.bin", firmware(0x0109, ProductIdRA), 2);  // another model's
  download("Damaged.BIN", damaged, 3);                      // its CRC is wrong
  const std::string want = download("fw-0105.bin", firmware(0x0105, ProductIdQA), 4);
  download("fw-0106-old.bin", firmware(0x0106, ProductIdQA), 60);  // higher, but older

  const DeviceWatchResult r = pass_with_downloads();
  ASSERT_EQ(r.outcome, WatchOutcome::Presented);
  EXPECT_EQ(r.view.presentation, Presentation::UpdateAvailable);
  EXPECT_EQ(r.fileSource, FirmwareSource::Downloads);
  EXPECT_EQ(state_.firmwarePath, want) << "the newest file that is whole and of this model";
  EXPECT_EQ(state_.firmware.firmwareVersion, 0x0105);
  ASSERT_TRUE(state_.image);
  EXPECT_EQ(state_.image->path, want) << "the bytes an update writes are the ones the pass read";
  const std::u16string line = DownloadsFileText(UiLanguage::English, u"fw-0105.bin",
                                                FromUtf8(path_to_utf8(downloads_.path())));
  EXPECT_NE(r.view.statusText.find(u"\n" + line), std::u16string::npos)
      << "the status text expected to name the file and its folder: " << ToUtf8(r.view.statusText);
}

TEST_F(DownloadsPassTest, TheWorkingFolderComesFirstAndANamedFileIsTheOnlyOne) {
  attach(sim::SimProfile::Q);
  download("newer.bin", firmware(0x0106, ProductIdQA), 0);

  // A whole firmware file in the working folder is taken, however new the
  // downloaded one is.
  const std::string local = write("fw.bin", firmware(0x0105, ProductIdQA));
  DeviceWatchResult r = pass_with_downloads();
  EXPECT_EQ(r.fileSource, FirmwareSource::Folder);
  EXPECT_EQ(state_.firmwarePath, local);
  EXPECT_EQ(r.view.statusText.find(u"Downloads"), std::u16string::npos) << "no folder line";

  // One that is no whole image gives way to the Downloads folder.
  std::vector<std::uint8_t> damaged = firmware(0x0105, ProductIdQA);
  damaged[200] ^= 0x01;
  write("fw.bin", damaged);
  r = pass_with_downloads();
  EXPECT_EQ(r.fileSource, FirmwareSource::Downloads);
  EXPECT_EQ(state_.firmware.firmwareVersion, 0x0106);

  // A file named outright is taken as it is, damaged or not.
  cfg_.firmwareFile = local;
  r = pass_with_downloads();
  EXPECT_EQ(r.fileSource, FirmwareSource::Given);
  EXPECT_EQ(state_.firmwarePath, local);
}

TEST_F(DownloadsPassTest, NothingFittingKeepsTheWorkingFoldersOutcome) {
  attach(sim::SimProfile::Q, ProductIdQAlt);
  // The alternative hardware takes no QA file, and nothing of another model.
  download("qa.bin", firmware(0x0106, ProductIdQA), 1);
  download("r.bin", firmware(0x0106, ProductIdRB), 2);
  DeviceWatchResult r = pass_with_downloads();
  EXPECT_EQ(r.outcome, WatchOutcome::FileOpenError);
  EXPECT_TRUE(r.noFirmwareFile);

  // Nor does a pass without a Downloads folder look anywhere else.
  const std::string alt = download("alt.bin", firmware(0x0106, ProductIdQAlt), 3);
  cfg_.downloadsFolder.clear();
  r = pass();
  EXPECT_EQ(r.outcome, WatchOutcome::FileOpenError);
  r = pass_with_downloads();
  ASSERT_EQ(r.outcome, WatchOutcome::Presented);
  EXPECT_EQ(state_.firmwarePath, alt);
}

}  // namespace
}  // namespace lumavix
