// What an update run shows while it runs and when it fails: the phases and
// their percentages from the worker's notifications, the time left from the
// measured rate, the failure told in the user's language, the new texts in
// all six languages, and the sleep inhibitor and close refusal of the flow.
#include "app/update_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/update_flow.h"
#include "firmware/engine.h"

namespace lumavix {
namespace {

constexpr UiLanguage kLanguages[] = {UiLanguage::English, UiLanguage::French,
                                     UiLanguage::German,  UiLanguage::Japanese,
                                     UiLanguage::Italian, UiLanguage::Dutch};

std::string Name(UpdatePhase p) { return *PhaseName(p) ? PhaseName(p) : "none"; }

// One notification and what the tracker shows after it.
struct Step {
  std::uint32_t code, value, nowMs;
  UpdatePhase phase;
  int percent;
  long left;
  bool phaseChange;
};

void Feed(PhaseTracker& t, const std::vector<Step>& steps, const char* what) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    const PhaseTracker::Change c = t.Note(s.code, s.value, s.nowMs);
    const std::string at = std::string(what) + " step " + std::to_string(i) + " " +
                           update_code_name(s.code) + "(" + std::to_string(s.value) + ")";
    EXPECT_EQ(Name(t.phase()), Name(s.phase)) << at;
    EXPECT_EQ(t.percent(), s.percent) << at;
    EXPECT_EQ(t.secondsLeft(), s.left) << at << ": seconds left";
    EXPECT_EQ(c.phase, s.phaseChange) << at << ": expected " << (s.phaseChange ? "a" : "no")
                                      << " new phase";
  }
}

TEST(PhaseTracker, BootHeaderRunErasesWritesAndVerifiesWithTimeLeft) {
  using P = UpdatePhase;
  PhaseTracker t;
  t.Start(1000);
  ASSERT_EQ(t.phase(), P::Erase);
  Feed(t,
      {
          {UPD_DOWNLOAD_POS, 0, 1000, P::Erase, 0, -1, false},
          {UPD_ERASE_RANGE, 9, 1000, P::Erase, 0, -1, false},     // ten sectors
          {UPD_ERASE_POS, 0, 1100, P::Erase, 10, 1, false},       // 900 ms left: 1 s
          {UPD_ERASE_POS, 4, 1500, P::Erase, 50, 1, false},
          {UPD_ERASE_RESULT, 1, 1600, P::Erase, 100, -1, false},
          {UPD_DOWNLOAD_BEGIN, 0, 2000, P::Program, 0, -1, true},
          {UPD_RANGE, 1000, 2000, P::Program, 0, -1, false},
          {UPD_DOWNLOAD_POS, 16, 2100, P::Program, 0, -1, false},  // 16 and less: nothing
          {UPD_DOWNLOAD_POS, 40, 2400, P::Program, 4, -1, false},  // too early to tell
          {UPD_DOWNLOAD_POS, 100, 3000, P::Program, 10, 9, false},
          {UPD_DOWNLOAD_POS, 500, 7000, P::Program, 50, 5, false},
          // The read-back reports its first bytes: the verification begins.
          {UPD_VALIDATE_POS, 250, 8000, P::Verify, 25, -1, true},
          {UPD_VALIDATE_POS, 500, 9000, P::Verify, 50, 1, false},
          // The first page is written last, inside the verification.
          {UPD_DOWNLOAD_POS, 1000, 9100, P::Verify, 50, 1, false},
          {UPD_VALIDATE_POS, 0, 9100, P::Verify, 50, 1, false},
          {UPD_VALIDATE_RANGE, 1000, 9100, P::Verify, 50, 1, false},
          {UPD_VALIDATE_RESULT, 1, 9200, P::Verify, 100, -1, false},
          {UPD_DOWNLOAD_DONE, 0, 9200, P::Verify, 100, -1, false},
      },
      "boot-header");
}

TEST(PhaseTracker, PlainRunsAnnounceTheirPhasesAndTheClockMayWrap) {
  using P = UpdatePhase;
  PhaseTracker t;
  t.Start(0xFFFFFF00u);
  Feed(t,
      {
          // The plain flash erase is reported as positions of a range.
          {UPD_RANGE, 0xFFFF, 0xFFFFFF00u, P::Erase, 0, -1, false},
          {UPD_DOWNLOAD_POS, 0x8000, 0x00000100u, P::Erase, 50, 1, false},  // 512 ms across the wrap
          {UPD_DOWNLOAD_BEGIN, 0, 0x200, P::Program, 0, -1, true},
          {UPD_RANGE, 200, 0x200, P::Program, 0, -1, false},
          {UPD_DOWNLOAD_POS, 200, 0x300, P::Program, 100, -1, false},
          {UPD_VALIDATE_BEGIN, 0, 0x300, P::Verify, 0, -1, true},
          {UPD_VALIDATE_POS, 100, 0x400, P::Verify, 50, 1, false},
      },
      "plain");
  t.Clear();
  EXPECT_EQ(t.phase(), P::None);
  // Without a run the percentage still follows ranges and positions, as the
  // ring always did, but there is no start to tell the time left from.
  Feed(t,
      {{UPD_RANGE, 100000, 0, P::None, 0, -1, false},
       {UPD_DOWNLOAD_POS, 50500, 10, P::None, 50, -1, false},
       {UPD_VALIDATE_POS, 60000, 20, P::None, 60, -1, false}},
      "no run");
}

TEST(FailureView, KindsAndTheComposedStatusView) {
  struct Case {
    std::uint32_t code, value;
    bool refused;
    FailureKind kind;
  } cases[] = {
      {UPD_ACCESS_FAILED, 0, false, FailureKind::NoAnswer},
      {UPD_DOWNLOAD_FAILED, 0, false, FailureKind::WriteFailed},
      {UPD_VALIDATE_RESULT, 0, false, FailureKind::VerifyFailed},
      {UPD_ERASE_RESULT, 0, false, FailureKind::EraseFailed},
      {UPD_DOWNLOAD_FAILED, 0, true, FailureKind::Refused},
      {UPD_ACCESS_FAILED, 0, true, FailureKind::Refused},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyFailure(c.code, c.value, c.refused), c.kind)
        << update_code_name(c.code) << (c.refused ? " refused" : "");
  }

  // German, the camera still there and Update offered: four lines, the
  // English only in the detail line, the button below the text.
  const PresentationView offered = ComposePresentation(
      Presentation::UpdateAvailable, UiLanguage::German, u"LUMAVIX Q", u"LUMAVIX Q ", 0x105, 0x104);
  const PresentationView v = ComposeFailureView(offered, UiLanguage::German,
                                                FailureKind::VerifyFailed,
                                                "Firmware Download/Validate Failure.");
  EXPECT_EQ(v.statusText,
            std::u16string(FailureHeadline(UiLanguage::German, FailureKind::VerifyFailed)) + u"\n" +
                std::u16string(FailureSafetyText(UiLanguage::German, FailureKind::VerifyFailed)) +
                u"\n" + std::u16string(RetryAdviceText(UiLanguage::German)) +
                u"\nDetails: Firmware Download/Validate Failure.");
  EXPECT_TRUE(v.updateButtonShown);
  EXPECT_EQ(v.updateButtonRect, kFailureUpdateButtonRect);
  EXPECT_GE(v.updateButtonRect.y, v.statusRect.y + v.statusRect.height)
      << "the button expected below the text";
  EXPECT_LE(v.updateButtonRect.y + v.updateButtonRect.height, v.windowSize.height);

  // Without the camera: the pass's own request is what to do.
  const PresentationView gone =
      ComposePresentation(Presentation::NoCamera, UiLanguage::French, u"LUMAVIX Q", {}, 0, 0);
  const PresentationView g =
      ComposeFailureView(gone, UiLanguage::French, FailureKind::NoAnswer, "EEPROM Access Failure.");
  EXPECT_NE(g.statusText.find(ConnectText(UiLanguage::French, u"LUMAVIX Q")), std::u16string::npos);
  EXPECT_EQ(g.statusText.find(RetryAdviceText(UiLanguage::French)), std::u16string::npos)
      << "no retry advice without a camera";
  EXPECT_EQ(g.updateButtonRect.width, 0);

  // A refusal while Update is still offered: trying again would be refused
  // again, so no advice to; the reason is the detail line.
  const PresentationView r = ComposeFailureView(offered, UiLanguage::English, FailureKind::Refused,
                                                "the image does not fit the flash");
  EXPECT_EQ(r.statusText.find(RetryAdviceText(UiLanguage::English)), std::u16string::npos)
      << ToUtf8(r.statusText);
  EXPECT_NE(r.statusText.find(offered.statusText), std::u16string::npos)
      << "the pass's own text instead of the advice";
  EXPECT_TRUE(r.statusText.ends_with(u"\nDetails: the image does not fit the flash"));

  // A presentation with its link keeps its layout.
  const PresentationView link = ComposePresentation(Presentation::NotThisProduct,
                                                    UiLanguage::English, u"LUMAVIX Q", {}, 0, 0);
  EXPECT_EQ(ComposeFailureView(link, UiLanguage::English, FailureKind::WriteFailed, "x").statusText,
            link.statusText);
}

TEST(UpdateTexts, EveryNewTextExistsInEveryLanguageWithItsArguments) {
  for (UiLanguage lang : kLanguages) {
    const std::string l = std::to_string(static_cast<int>(lang));
    for (FailureKind k : {FailureKind::WriteFailed, FailureKind::VerifyFailed,
                          FailureKind::EraseFailed, FailureKind::NoAnswer, FailureKind::Refused,
                          FailureKind::Disconnected}) {
      EXPECT_FALSE(FailureHeadline(lang, k).empty()) << l;
      EXPECT_FALSE(FailureSafetyText(lang, k).empty()) << l;
    }
    EXPECT_NE(FailureHeadline(lang, FailureKind::Disconnected),
              FailureHeadline(lang, FailureKind::WriteFailed))
        << l << ": a disconnection expected to have a headline of its own";
    const std::u16string busy = CameraBusyText(lang, u"LUMAVIX Q");
    EXPECT_NE(busy.find(u"LUMAVIX Q"), std::u16string::npos) << l << ": the model expected";
    EXPECT_EQ(busy.find(u"{}"), std::u16string::npos) << l;
    EXPECT_NE(FailureSafetyText(lang, FailureKind::Refused),
              FailureSafetyText(lang, FailureKind::WriteFailed))
        << l << ": an untouched camera expected to be told so";
    EXPECT_FALSE(CloseRefusedText(lang).empty()) << l;
    EXPECT_FALSE(ChooseFileButtonText(lang).empty()) << l;
    EXPECT_FALSE(RingAccessibleName(lang).empty()) << l;
    const std::u16string folder = NoFirmwareFileText(lang, u"/home/x/fw");
    EXPECT_NE(folder.find(u"/home/x/fw"), std::u16string::npos) << l << ": the folder expected";
    for (FileProblem p : {FileProblem::Unreadable, FileProblem::NotFirmware, FileProblem::BadCrc,
                          FileProblem::OtherProduct}) {
      const std::u16string t = FileProblemText(lang, p, u"fw.bin");
      EXPECT_NE(t.find(u"fw.bin"), std::u16string::npos) << l << ": the file expected named";
      EXPECT_EQ(t.find(u"{}"), std::u16string::npos) << l << ": an argument left unfilled";
    }
    for (UpdatePhase p : {UpdatePhase::Erase, UpdatePhase::Program, UpdatePhase::Verify}) {
      const std::u16string line = PhaseLineText(lang, p, 42, 30);
      EXPECT_NE(line.find(u"42 %"), std::u16string::npos) << l << ": the percentage expected";
      EXPECT_NE(line.find(u"30"), std::u16string::npos) << l << ": the seconds expected";
      EXPECT_EQ(PhaseLineText(lang, p, 42, -1).find(u"30"), std::u16string::npos);
    }
  }
  EXPECT_TRUE(PhaseLineText(UiLanguage::English, UpdatePhase::None, 10, 5).empty());
  EXPECT_EQ(PhaseLineText(UiLanguage::English, UpdatePhase::Verify, 150, -1), u"Verifying... 100 %");
  struct Left {
    long seconds;
    const char16_t* text;
  } lefts[] = {{0, u"about 1 s left"},   {89, u"about 89 s left"},
               {90, u"about 2 min left"}, {121, u"about 3 min left"}};
  for (const Left& x : lefts) {
    EXPECT_EQ(TimeLeftText(UiLanguage::English, x.seconds), x.text) << x.seconds << " s";
  }
}

TEST(UpdateFlowClose, RefusedWhileRunningWithTheReasonInTheUsersLanguage) {
  UpdateFlow flow;
  EXPECT_TRUE(flow.CloseAllowed(UiLanguage::German, false));
  EXPECT_TRUE(flow.view().closeNotice.empty());
  EXPECT_FALSE(flow.CloseAllowed(UiLanguage::German, true)) << "a worker still running";
  EXPECT_EQ(flow.view().closeNotice, CloseRefusedText(UiLanguage::German));
  EXPECT_EQ(flow.view().windowSize, kProgressNoticeWindowSize) << "room for the reason expected";
  EXPECT_TRUE(flow.CloseAllowed(UiLanguage::German, false));
  EXPECT_TRUE(flow.view().closeNotice.empty()) << "the reason expected gone once it may close";
}

}  // namespace
}  // namespace lumavix
