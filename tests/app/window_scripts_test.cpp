// The window's decisions over time, as event scripts against the core
// through a front end without a window (fake_front_end.h) on the simulated
// camera's virtual clock: device changes folded into one pass, the
// confirmation and what happens under it, Return and Esc in each view, a
// chosen or dropped file, every presentation's frame in every language,
// whole runs that complete, fail, or write a file changed since its pass.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "app/core/main_window_core.h"
#include "firmware/image.h"
#include "firmware/product_config.h"

#include "fake_front_end.h"
#include "presentation_places.h"
#include "sim_camera.h"
#include "temp_dir.h"

namespace lumavix {
namespace {

namespace fs = std::filesystem;
using test::FakeFrontEnd;
using test::kPresentations;
using test::kUpdateButtonPlace;
using test::kWatchTimerMs;
using test::NotThisProductLink;
using test::PresentationCase;
using test::StatusPlace;

// No transfer latency, no flash busy time: a run takes no virtual time.
constexpr const char* kFast = "latency-us=0,busy=0";
// Each transfer takes 100 us of virtual time: a run lasts seconds of it, so
// that the time left and the progress timer have something to measure.
constexpr const char* kTimed = "latency-us=100,busy=0";

// The camera's model text as the user-data read gives it, and the tool's.
constexpr std::u16string_view kCameraModel = u"LUMAVIX Q ";
constexpr std::u16string_view kToolModel = u"LUMAVIX Q";

constexpr UiLanguage kAllLanguages[] = {UiLanguage::English, UiLanguage::French,
                                        UiLanguage::German,  UiLanguage::Japanese,
                                        UiLanguage::Italian, UiLanguage::Dutch};

const char* LanguageName(UiLanguage lang) {
  static const char* const names[] = {"English", "French",  "German",
                                      "Japanese", "Italian", "Dutch"};
  return names[static_cast<int>(lang)];
}

std::string Utf8(std::u16string_view s) { return ToUtf8(s); }
bool Has(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

std::vector<std::uint8_t> Firmware(std::uint16_t version, std::uint16_t product = ProductIdQA) {
  FirmwareBuildOptions o;
  o.firmware_version = version;
  o.product_id = product;
  return build_firmware_file(o);
}

// A window on a simulated camera described as --simulate describes it, in a
// folder of its own.
class WindowScriptTest : public test::TempDirTest {
 protected:
  // `fileVersion`: fw.bin of that version in the folder; none without.
  void Start(const std::string& profile, UiLanguage lang = UiLanguage::English,
             std::optional<std::uint16_t> fileVersion = 0x0105,
             UpdateFlowSwitches switches = {}) {
    fe_.reset();
    camera_.reset();
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
    if (fileVersion) write("fw.bin", Firmware(*fileVersion));
    camera_ = std::make_unique<test::SimulatedCamera>(test::SimulatedCamera::Profile(profile));
    fe_ = std::make_unique<FakeFrontEnd>(*camera_, switches);
    WindowCoreConfig c;
    c.language = lang;
    c.directory = dir_.string();
    fe_->Start(c);
  }
  // Update, then OK in its confirmation.
  void UpdateAndConfirm() {
    fe_->ClickUpdate();
    ASSERT_TRUE(fe_->confirmationOpen()) << "Update expected to ask for the confirmation, view "
                                         << frame().viewName();
    fe_->ConfirmOk();
  }
  [[nodiscard]] const WindowFrame& frame() const { return fe_->frame(); }
  [[nodiscard]] const std::u16string& status() const { return fe_->frame().statusText; }

  // Declared first, gone last: the fake waits for its worker before the
  // camera goes.
  std::unique_ptr<test::SimulatedCamera> camera_;
  std::unique_ptr<FakeFrontEnd> fe_;
};

// ------------------------------------------------------ device changes --

// Each change (re)arms the one-shot timer 1: a burst gives one pass,
// 100 ms after its last change.
TEST_F(WindowScriptTest, DeviceChangesAreFoldedIntoOnePassAfterTheLast) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> changesAt;  // ms after the start
    std::vector<std::uint32_t> passesAt;
  } cases[] = {
      {"three changes at one moment", {0, 0, 0}, {100}},
      {"a second change 50 ms after the first starts timer 1 again", {0, 50}, {150}},
      {"changes 99 ms apart keep postponing the pass", {0, 99, 198}, {298}},
      {"a change after the pass has a pass of its own", {0, 150}, {100, 250}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(std::string("none,") + kFast);
    ASSERT_EQ(fe_->passCount(), 1) << "one pass at the start";
    std::vector<std::uint32_t> passes;
    std::size_t next = 0;
    for (std::uint32_t t = 0; t < 600; ++t) {
      while (next < c.changesAt.size() && c.changesAt[next] == t) {
        fe_->DeviceChange();
        ++next;
      }
      fe_->Advance(1);
      while (fe_->passCount() - 1 > static_cast<int>(passes.size())) passes.push_back(t + 1);
    }
    EXPECT_EQ(passes, c.passesAt) << "passes expected at these ms after the start";
  }
}

TEST_F(WindowScriptTest, UnplugAndReplugShowTheCameraAsItIsNow) {
  Start(std::string("q,fw=0104,") + kFast);
  ASSERT_STREQ(frame().viewName(), "update-available");
  fe_->Unplug();
  fe_->Advance(kWatchTimerMs);
  EXPECT_STREQ(frame().viewName(), "no-camera") << "a pass expected after the unplug";
  EXPECT_EQ(status(), u"Please connect your LUMAVIX Q.");
  EXPECT_FALSE(frame().updateShown) << "Update expected hidden without a camera";
  EXPECT_FALSE(frame().actionControlsEnabled);

  fe_->Replug();
  fe_->Advance(kWatchTimerMs);
  EXPECT_EQ(status(), UpdateAvailableText(UiLanguage::English, kCameraModel, 0x0105, 0x0104));
  EXPECT_TRUE(frame().updateShown && frame().actionControlsEnabled)
      << "Update expected shown and enabled again";
  EXPECT_EQ(fe_->focus(), kActionControls[0]) << "the keyboard expected on Update";
}

// -------------------------------------------------------- confirmation --

// The confirmation is not modal to the passes: one that finds the camera
// gone ends it, and nothing starts; anything else leaves it to the user.
TEST_F(WindowScriptTest, WhatHappensWhileTheConfirmationIsOpen) {
  struct Case {
    const char* what;
    std::function<void(FakeFrontEnd&)> during;
    bool staysOpen;
    const char* view;  // after the pass
  } cases[] = {
      {"the camera is unplugged", [](FakeFrontEnd& f) { f.Unplug(); }, false, "no-camera"},
      {"a device change finds the camera still there", [](FakeFrontEnd& f) { f.DeviceChange(); },
       true, "update-available"},
      {"Cancel", [](FakeFrontEnd& f) { f.ConfirmCancel(); }, false, "update-available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(std::string("q,fw=0104,") + kFast);
    const WindowFrame before = frame();
    fe_->ClickUpdate();
    ASSERT_TRUE(fe_->confirmationOpen());
    c.during(*fe_);
    fe_->Advance(kWatchTimerMs);
    EXPECT_EQ(fe_->confirmationOpen(), c.staysOpen)
        << (c.staysOpen ? "the confirmation expected still open" : "the confirmation expected closed");
    EXPECT_STREQ(frame().viewName(), c.view);
    EXPECT_FALSE(fe_->running()) << "nothing expected to start without OK";
    EXPECT_TRUE(fe_->boxes().empty()) << "no message box expected";
    if (std::string_view(c.view) == "update-available") {
      EXPECT_EQ(status(), before.statusText) << "the status line expected unchanged";
      EXPECT_TRUE(frame().updateShown && frame().actionControlsEnabled) << "Update still offered";
      EXPECT_EQ(frame().windowSize.height, before.windowSize.height);
    }
    if (c.staysOpen) {
      fe_->ConfirmOk();
      EXPECT_TRUE(fe_->running()) << "OK after the pass expected to start the run";
    }
  }
}

// ------------------------------------------------------------ keyboard --

// Return is the Update button's where it is offered, and the choose-file
// button's where that one has the focus; elsewhere it does nothing. Esc
// closes the window in every view while nothing runs.
TEST_F(WindowScriptTest, ReturnAndEscapeInEachView) {
  enum class OnReturn { Nothing, Confirmation, FileDialog };
  struct Case {
    const char* profile;
    std::optional<std::uint16_t> file;
    const char* view;
    OnReturn onReturn;
  } cases[] = {
      {"q,fw=0104", 0x0105, "update-available", OnReturn::Confirmation},
      {"q,fw=0105", 0x0105, "up-to-date", OnReturn::Nothing},
      {"none", 0x0105, "no-camera", OnReturn::Nothing},
      {"q,fw=0104,pid=0E5A", 0x0105, "not-this-product", OnReturn::Nothing},
      {"q,unplug-after=1", 0x0105, "unreadable", OnReturn::Nothing},
      {"q,fw=0104", std::nullopt, "file-problem", OnReturn::FileDialog},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.view);
    Start(std::string(c.profile) + "," + kFast, UiLanguage::English, c.file);
    ASSERT_STREQ(frame().viewName(), c.view);
    fe_->PressReturn();
    EXPECT_EQ(fe_->confirmationOpen(), c.onReturn == OnReturn::Confirmation)
        << "Return expected " << (c.onReturn == OnReturn::Confirmation ? "" : "not ")
        << "to open the confirmation";
    EXPECT_EQ(fe_->fileDialogOpen(), c.onReturn == OnReturn::FileDialog)
        << "Return expected " << (c.onReturn == OnReturn::FileDialog ? "" : "not ")
        << "to open the file dialog";
    if (fe_->confirmationOpen()) fe_->ConfirmCancel();
    if (fe_->fileDialogOpen()) fe_->AnswerFileDialog(std::nullopt);
    EXPECT_FALSE(fe_->running());
    fe_->PressEscape();
    EXPECT_TRUE(fe_->closed()) << "Esc expected to close the window";
  }
}

// ------------------------------------------------ chosen and dropped files --

// A file chosen in the dialog or dropped on the window takes the same road
// as one found in the folder: checked by a pass before anything is offered;
// a wrong or damaged one is named with its reason, and another can be
// chosen. Anything but a .bin file is not taken at all.
TEST_F(WindowScriptTest, AChosenOrDroppedFileIsCheckedBeforeAnythingIsOffered) {
  struct Case {
    const char* what;
    const char* name;
    std::uint16_t product;
    bool damage;
    bool byDialog;
    FileProblem problem;  // None: the update is offered
  } cases[] = {
      {"a good file chosen in the dialog", "chosen.bin", ProductIdQA, false, true, FileProblem::None},
      {"a good file dropped", "good.bin", ProductIdQA, false, false, FileProblem::None},
      {"a damaged file dropped", "damaged.bin", ProductIdQA, true, false, FileProblem::BadCrc},
      {"another product's file dropped", "r2.bin", ProductIdQAlt, false, false,
       FileProblem::OtherProduct},
  };
  test::TempDir elsewhere;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(std::string("q,fw=0104,") + kFast, UiLanguage::English, std::nullopt);
    ASSERT_TRUE(frame().chooseFileShown) << "no file in the folder: choose one";
    std::vector<std::uint8_t> bytes = Firmware(0x0105, c.product);
    if (c.damage) bytes[0x8000] ^= 0xFF;
    const std::string path = elsewhere.write_bytes(c.name, bytes);
    const int passes = fe_->passCount();
    if (c.byDialog) {
      fe_->ClickChooseFile();
      ASSERT_TRUE(fe_->fileDialogOpen()) << "the file dialog expected";
      fe_->DeviceChange();
      fe_->Advance(kWatchTimerMs);
      EXPECT_EQ(fe_->passCount(), passes) << "no pass expected under the file dialog";
      fe_->AnswerFileDialog(path);
    } else {
      ASSERT_TRUE(fe_->Drop({path})) << "a .bin file expected to be taken";
    }
    fe_->Settle();
    EXPECT_GT(fe_->passCount(), passes) << "a pass expected for the file";
    if (c.problem == FileProblem::None) {
      EXPECT_EQ(status(), UpdateAvailableText(UiLanguage::English, kCameraModel, 0x0105, 0x0104))
          << "the file expected to be offered";
      EXPECT_TRUE(frame().updateShown && frame().actionControlsEnabled);
      EXPECT_FALSE(frame().chooseFileShown) << "nothing left to choose";
    } else {
      EXPECT_EQ(status(), FileProblemText(UiLanguage::English, c.problem,
                                          fs::path(path).filename().u16string()))
          << "the file and its problem expected";
      EXPECT_FALSE(frame().updateShown) << "nothing expected to be offered";
      EXPECT_TRUE(frame().chooseFileShown) << "another file can be chosen";
    }
  }

  // Cancelled, the dialog changes nothing; a text file is not taken.
  Start(std::string("q,fw=0104,") + kFast, UiLanguage::English, std::nullopt);
  const int passes = fe_->passCount();
  fe_->ClickChooseFile();
  fe_->AnswerFileDialog(std::nullopt);
  fe_->Settle();
  EXPECT_EQ(fe_->passCount(), passes) << "a cancelled dialog expected to run no pass";
  EXPECT_STREQ(frame().viewName(), "file-problem");
  const std::string notes = elsewhere.write_bytes("notes.txt", {'x'});
  EXPECT_FALSE(fe_->Drop({notes})) << "a text file expected to be refused";
  EXPECT_EQ(fe_->passCount(), passes);
}

// -------------------------------------------------------- presentations --

std::u16string ExpectedStatus(Presentation p, UiLanguage lang) {
  switch (p) {
    case Presentation::NoCamera:
      return ConnectText(lang, kToolModel);
    case Presentation::NotThisProduct:
      return NotThisProductText(lang, kToolModel);
    case Presentation::UpdateAvailable:
      return UpdateAvailableText(lang, kCameraModel, 0x0105, 0x0104);
    case Presentation::UpToDate:
      return UpToDateText(lang, kCameraModel, 0x0105);
    case Presentation::Unreadable:
      return std::u16string(UnreadableCameraText(lang));
    default:
      return {};
  }
}

// Whole sentences as the user reads them, for a few presentations: these
// catch a fault shared by the window and the text composition.
const std::map<std::pair<Presentation, UiLanguage>, const char16_t*> kLiteral = {
    {{Presentation::NoCamera, UiLanguage::English}, u"Please connect your LUMAVIX Q."},
    {{Presentation::NoCamera, UiLanguage::German}, u"Bitte schließen Sie Ihr LUMAVIX Q  an."},
    {{Presentation::NoCamera, UiLanguage::Japanese}, u"LUMAVIX Q を接続してください。"},
    {{Presentation::NoCamera, UiLanguage::Dutch}, u"Sluit uw LUMAVIX Q aan alstublieft."},
    {{Presentation::UpdateAvailable, UiLanguage::English},
     u"Your LUMAVIX Q  is ready to receive an update.\n A new firmware version is available "
     u"v0105. The current version is v0104."},
    {{Presentation::UpdateAvailable, UiLanguage::Japanese},
     u"LUMAVIX Q はアップデートの準備ができています。\n新しいバージョンのファームウェアが利用可能"
     u"です（v0105）。現在のバージョンはv0104。"},
    {{Presentation::UpToDate, UiLanguage::English},
     u"Your LUMAVIX Q  is already up to date v0105. Please close the LUMAVIX Q  Firmware "
     u"Update."},
    {{Presentation::NotThisProduct, UiLanguage::English},
     u"This firmware update is for LUMAVIX Q. To update the firmware of your LUMAVIX, please "
     u"visit:"},
    {{Presentation::NotThisProduct, UiLanguage::Japanese},
     u"LUMAVIX Q 専用のファームウェアアップデートです。LUMAVIXのファームウェアを更新するには、"
     u"このページをご覧ください："},
};

bool SamePlace(const PixelRect& a, const PixelRect& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}
std::string PlaceText(const PixelRect& r) {
  return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height);
}

// The frame of each outcome of the first pass, in each language: texts,
// places at 96 dpi, what is shown and what is enabled.
TEST_F(WindowScriptTest, EachPresentationsFrameInEveryLanguage) {
  for (const PresentationCase& c : kPresentations) {
    for (UiLanguage lang : kAllLanguages) {
      const Presentation p = c.presentation;
      const std::string what = std::string(PresentationName(p)) + " in " + LanguageName(lang);
      SCOPED_TRACE(what);
      Start(std::string(c.profile) + "," + kFast, lang);
      const WindowFrame& f = frame();
      EXPECT_EQ(fe_->passCount(), 1) << "one pass at start";
      EXPECT_TRUE(fe_->boxes().empty()) << "no message box expected";
      ASSERT_STREQ(f.viewName(), PresentationName(p));
      EXPECT_EQ(f.statusText, ExpectedStatus(p, lang)) << "the composed status text expected";
      if (auto it = kLiteral.find({p, lang}); it != kLiteral.end()) {
        EXPECT_EQ(f.statusText, std::u16string(it->second)) << "the literal sentence expected";
      }
      EXPECT_EQ(f.title, WindowTitle(lang, ModelVariant::Q)) << "the localized title expected";
      EXPECT_EQ(f.updateText, StatusText(lang, kSlotUpdateButton));

      EXPECT_TRUE(SamePlace(f.statusRect, StatusPlace(p, lang)))
          << "status line expected at " << PlaceText(StatusPlace(p, lang)) << ", is at "
          << PlaceText(f.statusRect);
      EXPECT_EQ(f.windowSize.width, 460);
      EXPECT_EQ(f.windowSize.height, 170);

      // Update only when an update is offered, the link only for another
      // product, nothing of the progress view.
      const bool offer = p == Presentation::UpdateAvailable;
      const bool other = p == Presentation::NotThisProduct;
      EXPECT_TRUE(f.statusShown);
      EXPECT_EQ(f.updateShown, offer) << "Update button shown";
      EXPECT_EQ(f.linkShown, other) << "link shown";
      EXPECT_FALSE(f.ringShown || f.progressMessageShown || f.phaseLineShown || f.chooseFileShown);
      if (offer) {
        const PixelRect u = f.updateRect.width > 0 ? f.updateRect : kUpdateButtonPlace;
        EXPECT_TRUE(SamePlace(u, kUpdateButtonPlace)) << "Update at " << PlaceText(u);
        EXPECT_EQ(fe_->focus(), kActionControls[0]);
      }
      if (other) {
        EXPECT_TRUE(SamePlace(f.linkRect, NotThisProductLink(lang)))
            << "link expected at " << PlaceText(NotThisProductLink(lang)) << ", is at "
            << PlaceText(f.linkRect);
        const std::string url = DownloadUrl;
        EXPECT_EQ(f.linkMarkup, "<a href=\"" + url + "\">" + url + "</a>")
            << "one anchor to the download page expected";
        EXPECT_EQ(fe_->core().LinkToOpen(), url);
      }
      // Enabled when a camera of this product was compared with the file.
      EXPECT_EQ(f.actionControlsEnabled, offer || p == Presentation::UpToDate)
          << "action controls enabled";
    }
  }
}

// No firmware file beside a camera of this product: the window says in the
// user's language that none was found and where it looked, offers to choose
// one with the keyboard on that button, and enables nothing else.
TEST_F(WindowScriptTest, AMissingFileIsToldWithTheFolderAndAChoice) {
  for (UiLanguage lang : kAllLanguages) {
    SCOPED_TRACE(LanguageName(lang));
    Start(std::string("q,fw=0104,") + kFast, lang, std::nullopt);
    const WindowFrame& f = frame();
    EXPECT_TRUE(fe_->boxes().empty()) << "no message box expected";
    EXPECT_STREQ(f.viewName(), "file-problem");
    EXPECT_EQ(f.statusText, NoFirmwareFileText(lang, dir_.u16string()))
        << "the folder looked in expected in the status line";
    EXPECT_EQ(f.title, WindowTitle(lang, ModelVariant::Q));
    EXPECT_TRUE(f.chooseFileShown) << "choose-file expected";
    EXPECT_EQ(f.chooseFileText, ChooseFileButtonText(lang));
    EXPECT_EQ(fe_->focus(), kChooseFileControlId);
    EXPECT_FALSE(f.updateShown);
    EXPECT_FALSE(f.actionControlsEnabled) << "nothing else expected enabled";
  }
}

// ------------------------------------------------------------ whole runs --

// From Update to the completion text, then the camera leaves the bus and
// comes back by itself, as the person in front of it is asked to let it:
// the window confirms the update, and a later pass is an ordinary one.
TEST_F(WindowScriptTest, ARunToItsCompletionAndTheReconnectedCameraConfirmsIt) {
  for (UiLanguage lang : {UiLanguage::English, UiLanguage::German, UiLanguage::Japanese}) {
    SCOPED_TRACE(LanguageName(lang));
    Start(std::string("q,fw=0104,") + kFast, lang);
    UpdateAndConfirm();
    const WindowFrame& f = frame();
    ASSERT_TRUE(fe_->running()) << "the run expected to start";
    EXPECT_TRUE(f.progressView && f.ringShown && !f.statusShown) << "the progress view at once";
    EXPECT_EQ(f.windowSize.width, 400);
    EXPECT_EQ(f.windowSize.height, 320);

    ASSERT_TRUE(fe_->FinishRun()) << "the run expected to end";
    EXPECT_TRUE(fe_->boxes().empty()) << "no message box expected";
    EXPECT_EQ(f.progressMessage, CompletionText(lang, 0x0105, kCameraModel))
        << "the completion text expected, is \"" << Utf8(f.progressMessage) << "\"";
    EXPECT_EQ(f.statusText, u"Firmware Download/Validate Success.");
    EXPECT_EQ(f.percentText, PercentText(lang, 100));
    EXPECT_EQ(f.ringValue, 100);
    EXPECT_EQ(fe_->ring().passes.size(), 3u) << "erase, write and verify each a pass of the ring";
    EXPECT_EQ(fe_->ring().lastStep, 100) << "the verification's pass expected closed";
    EXPECT_FALSE(f.phaseLineShown) << "no phase line over the completion text";
    EXPECT_FALSE(f.updateShown) << "Update hidden after the run";
    EXPECT_TRUE(f.actionControlsEnabled) << "the action controls enabled again";

    const int resets = fe_->ring().resets;
    fe_->Advance(2500);
    EXPECT_EQ(f.statusText, ConfirmedText(lang, kToolModel, 0x0105))
        << "the update expected confirmed once the camera is back, is \"" << Utf8(f.statusText)
        << "\"";
    EXPECT_FALSE(f.updateShown) << "no Update once confirmed";
    EXPECT_GT(fe_->ring().resets, resets) << "the pass expected to empty the ring";

    fe_->DeviceChange();
    fe_->Advance(kWatchTimerMs);
    EXPECT_EQ(f.statusText, UpToDateText(lang, kCameraModel, 0x0105))
        << "up to date expected on a later pass";
    EXPECT_EQ(f.windowSize.width, 460);
    EXPECT_EQ(f.windowSize.height, 170);
  }
}

// The line under the ring names each phase in turn and the verification
// moves; the time left appears once the rate is known. A close asked for
// meanwhile is refused with its reason, which goes with the run.
TEST_F(WindowScriptTest, ThePhaseLineAndACloseRefusedDuringTheRun) {
  for (UiLanguage lang : {UiLanguage::English, UiLanguage::German}) {
    SCOPED_TRACE(LanguageName(lang));
    Start(std::string("q,fw=0104,") + kTimed, lang);
    UpdateAndConfirm();
    ASSERT_TRUE(fe_->running());
    const WindowFrame& f = frame();

    EXPECT_FALSE(fe_->CloseBox()) << "the close box expected refused during the run";
    EXPECT_FALSE(fe_->core().SessionEndAllowed()) << "the session expected kept while writing";
    fe_->PressEscape();
    EXPECT_FALSE(fe_->closed()) << "Esc expected refused during the run";
    EXPECT_TRUE(Has(f.progressMessage, CloseRefusedText(lang)))
        << "the reason expected in the window, is \"" << Utf8(f.progressMessage) << "\"";
    EXPECT_EQ(f.windowSize.height, kProgressNoticeWindowSize.height) << "grown for the reason";

    const std::size_t from = fe_->frames().size();
    ASSERT_TRUE(fe_->FinishRun()) << "the run expected to end";

    std::u16string names[3];
    for (int i = 0; i < 3; ++i) {
      const std::u16string line = ProgressLineText(lang, static_cast<UpdatePhase>(i + 1), 0, -1);
      names[i] = line.substr(0, line.find(u"...") + 3);
    }
    std::vector<int> order;
    std::set<std::u16string> verifyPercents;
    bool timeLeft = false;
    for (std::size_t i = from; i < fe_->frames().size(); ++i) {
      const std::u16string& line = fe_->frames()[i].phaseLine;
      for (int p = 0; p < 3; ++p) {
        if (!line.starts_with(names[p])) continue;
        if (order.empty() || order.back() != p) order.push_back(p);
        if (p == 2) verifyPercents.insert(line.substr(names[p].size(), line.find(u" \u00B7")));
      }
      timeLeft = timeLeft || Has(line, u" \u00B7 ");
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2})) << "erasing, writing, verifying expected in turn";
    EXPECT_GE(verifyPercents.size(), 3u) << "the verification expected to move visibly";
    EXPECT_TRUE(timeLeft) << "the time left expected once the rate is known";

    EXPECT_FALSE(f.phaseLineShown) << "no phase line expected over the completion text";
    EXPECT_EQ(f.ringValue, 100) << "the value read aloud expected at 100";
    EXPECT_FALSE(Has(f.progressMessage, CloseRefusedText(lang)))
        << "the reason expected gone once the run has ended";
    EXPECT_EQ(f.windowSize.height, kProgressWindowSize.height) << "back to its size";
    EXPECT_TRUE(fe_->core().SessionEndAllowed()) << "the session free to end after the run";
    EXPECT_TRUE(fe_->CloseBox()) << "closing expected once the run has ended";
  }
}

// A run that fails on the camera leaves the progress view for a status view
// of the camera as it is now, with the failure on top, in the user's
// language: what happened, whether the camera may be unplugged, what to do
// now, and the engine's English status as the detail line, the only English.
TEST_F(WindowScriptTest, AFailedRunEndsInAStatusViewThatSaysSo) {
  const std::u16string engineTexts[] = {u"Firmware Download/Validate Failure.",
                                        u"EEPROM Access Failure."};
  const FailureKind kinds[] = {FailureKind::WriteFailed, FailureKind::VerifyFailed,
                               FailureKind::EraseFailed, FailureKind::NoAnswer,
                               FailureKind::Refused,     FailureKind::Disconnected};
  struct Case {
    const char* what;
    const char* fault;
    bool cameraStays;
  } cases[] = {
      {"unplugged during the run", "latency-us=100,busy=0,unplug-after=300", false},
      {"the flash stays busy", "latency-us=100,busy=0,stuck-busy=1", true},
  };
  for (const Case& c : cases) {
    for (UiLanguage lang : {UiLanguage::English, UiLanguage::German}) {
      SCOPED_TRACE(std::string(c.what) + ", " + LanguageName(lang));
      Start(std::string("q,fw=0104,") + c.fault, lang);
      ASSERT_STREQ(frame().viewName(), "update-available");
      UpdateAndConfirm();
      ASSERT_TRUE(fe_->Settle()) << "the run and the pass after it expected to end";
      const WindowFrame& f = frame();
      ASSERT_FALSE(f.progressView) << "still on \"" << Utf8(f.progressMessage) << "\"";

      std::vector<std::u16string> lines;
      for (std::size_t at = 0;;) {
        const std::size_t nl = f.statusText.find(u'\n', at);
        lines.push_back(f.statusText.substr(at, nl - at));
        if (nl == std::u16string::npos) break;
        at = nl + 1;
      }
      ASSERT_EQ(lines.size(), 4u) << "headline, safety, what to do, detail expected in \""
                                  << Utf8(f.statusText) << "\"";
      std::optional<FailureKind> kind;
      for (FailureKind k : kinds) {
        if (lines[0] == FailureHeadline(lang, k)) kind = k;
      }
      ASSERT_TRUE(kind) << "a failure headline in the user's language expected first, is \""
                        << Utf8(lines[0]) << "\"";
      EXPECT_NE(*kind, FailureKind::Refused) << "the run touched the camera";
      EXPECT_EQ(*kind == FailureKind::Disconnected, !c.cameraStays)
          << "a camera gone by the end of the run was unplugged during it: " << Utf8(lines[0]);
      EXPECT_EQ(lines[1], FailureSafetyText(lang, *kind)) << "whether it may be unplugged, second";
      const std::u16string label = std::u16string(DetailLabel(lang)) + u" ";
      EXPECT_TRUE(lines[3] == label + engineTexts[0] || lines[3] == label + engineTexts[1])
          << "the engine's status expected as the detail line, is \"" << Utf8(lines[3]) << "\"";
      if (lang != UiLanguage::English) {
        const std::u16string english[] = {
            std::u16string(FailureHeadline(UiLanguage::English, *kind)),
            std::u16string(FailureSafetyText(UiLanguage::English, *kind)),
            std::u16string(RetryAdviceText(UiLanguage::English)), u"Please connect your",
            u"Firmware Download", u"EEPROM Access"};
        for (int i = 0; i < 3; ++i) {
          for (const std::u16string& e : english) {
            EXPECT_FALSE(Has(lines[i], e)) << "line " << i << " \"" << Utf8(lines[i])
                                           << "\" expected without \"" << Utf8(e) << "\"";
          }
        }
      }
      EXPECT_FALSE(Has(f.statusText, StatusText(lang, kSlotProgressMessage)))
          << "\"Update in progress...\" must not stay";
      EXPECT_TRUE(f.statusShown && !f.ringShown && !f.progressMessageShown);
      EXPECT_EQ(f.windowSize.width, 460);
      EXPECT_EQ(f.windowSize.height, 260) << "the failure's status view";
      if (c.cameraStays) {
        EXPECT_EQ(lines[2], RetryAdviceText(lang)) << "the advice to try again expected";
        EXPECT_TRUE(f.updateShown && f.actionControlsEnabled) << "Update expected back";
        EXPECT_GE(f.updateRect.y, f.statusRect.y + f.statusRect.height)
            << "Update expected below the failure text";
      } else {
        EXPECT_EQ(lines[2], ConnectText(lang, kToolModel)) << "the connect request expected";
        EXPECT_FALSE(f.updateShown) << "nothing to update without a camera";
      }
      EXPECT_TRUE(fe_->boxes().empty()) << "no message box expected";

      // A pass that finds the camera as it was keeps the explanation; once
      // the camera is back, it is shown as it is now.
      fe_->DeviceChange();
      fe_->Advance(kWatchTimerMs);
      EXPECT_TRUE(Has(f.statusText, lines[0])) << "the failure wiped while nothing changed";
      if (!c.cameraStays) {
        fe_->Replug();
        fe_->Advance(kWatchTimerMs);
        EXPECT_FALSE(Has(f.statusText, lines[0])) << "the failure outlived the replug";
      }
    }
  }
}

// The firmware file changes after the pass has read it (deleted, emptied,
// damaged): the update writes the image that pass checked and presented, to
// its verified end, and never what the path holds since.
TEST_F(WindowScriptTest, TheUpdateWritesTheFileAsThePassReadIt) {
  struct Case {
    const char* what;
    void (*spoil)(const fs::path& file);
  } cases[] = {
      {"deleted", [](const fs::path& f) { fs::remove(f); }},
      {"emptied", [](const fs::path& f) { std::ofstream(f, std::ios::binary | std::ios::trunc); }},
      {"damaged",
       [](const fs::path& f) {
         std::fstream io(f, std::ios::binary | std::ios::in | std::ios::out);
         io.seekg(0x8000);
         const int old = io.get();
         io.seekp(0x8000);
         io.put(static_cast<char>(old ^ 0xFF));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(std::string("q,fw=0104,") + kFast);
    ASSERT_STREQ(frame().viewName(), "update-available");
    c.spoil(dir_ / "fw.bin");
    UpdateAndConfirm();
    ASSERT_TRUE(fe_->FinishRun()) << "the run expected to end";
    EXPECT_TRUE(fe_->boxes().empty()) << "no message box expected";
    EXPECT_EQ(frame().progressMessage, CompletionText(UiLanguage::English, 0x0105, kCameraModel))
        << "the completion of the version the pass presented expected";
    EXPECT_EQ(status(), u"Firmware Download/Validate Success.");
  }
}

// A start refused before the worker: the progress view is up under the
// reason's box, no pass runs under the box, and the pass after it shows the
// window's state again instead of a ring that never moves.
TEST_F(WindowScriptTest, ARefusedStartShowsWhyThenTheStatusViewAgain) {
  Start(std::string("q,fw=0104,") + kFast);
  fe_->holdMessageBoxes = true;
  // The update writes the file as the pass read it, even once removed; a
  // path set since the pass (the engineering file field) is read at the
  // start, and one that cannot be read refuses it.
  fs::remove(dir_ / "fw.bin");
  fe_->core().watch().firmwarePath = (dir_ / "fw.bin").string() + ".gone";
  UpdateAndConfirm();
  ASSERT_TRUE(fe_->boxOpen()) << "the reason's box expected";
  EXPECT_EQ(fe_->boxes().back(), kMsgFirmwareFile1OpenError);
  EXPECT_FALSE(fe_->running());
  EXPECT_TRUE(frame().progressView) << "the box shows over the progress view";
  const int passes = fe_->passCount();
  fe_->DeviceChange();
  fe_->Advance(5 * kWatchTimerMs);
  EXPECT_EQ(fe_->passCount(), passes) << "no pass expected under the box";

  fe_->DismissBox();
  ASSERT_TRUE(fe_->Settle());
  EXPECT_FALSE(frame().progressView);
  EXPECT_STREQ(frame().viewName(), "file-problem") << "the missing file named, with a choice";
  EXPECT_EQ(fe_->focus(), kChooseFileControlId);
}

// Notifications outside a run (the engineering downloads): positions and
// ranges of 16 or less change nothing, the ring steps only when the
// percentage changes, and the percentage follows only a step drawn.
TEST_F(WindowScriptTest, RingStepsFollowThePercentageOnly) {
  Start(std::string("none,") + kFast);
  fe_->Notify(UPD_RANGE, 16);  // ignored: no range yet
  fe_->Notify(UPD_DOWNLOAD_POS, 16);
  EXPECT_EQ(fe_->ring().steps, 0) << "values of 16 and less expected to change nothing";
  EXPECT_TRUE(frame().percentText.empty());
  fe_->Notify(UPD_RANGE, 65536);
  fe_->Notify(UPD_DOWNLOAD_POS, 656);  // 1 %
  EXPECT_EQ(fe_->ring().lastStep, 1);
  EXPECT_EQ(frame().percentText, u"1%");
  EXPECT_EQ(frame().ringValue, 1) << "outside a run the value read aloud is the ring's";
  const int steps = fe_->ring().steps;
  fe_->Notify(UPD_DOWNLOAD_POS, 700);  // still 1 %
  EXPECT_EQ(fe_->ring().steps, steps) << "the same percentage expected no second step";

  fe_->ringDrawFails = true;
  fe_->Notify(UPD_DOWNLOAD_POS, 1311);  // 2 %
  EXPECT_EQ(frame().percentText, u"1%") << "a step not drawn leaves the percentage where it was";
  fe_->ringDrawFails = false;
  fe_->Notify(UPD_DOWNLOAD_POS, 1967);  // 3 %
  EXPECT_EQ(frame().percentText, u"3%") << "the next step draws up to the percentage";
}

}  // namespace
}  // namespace lumavix
