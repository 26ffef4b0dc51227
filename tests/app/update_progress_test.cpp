// What an update run shows while it runs and when it fails: the phases and
// their percentages from the worker's notifications, the time left from the
// measured rate, the failure told in the user's language, the new texts in
// all six languages, and the sleep inhibitor and close refusal of the flow.
#include "app/core/update_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/core/update_flow.h"
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
          // The time left is the whole update's: under 5 % of it done, too
          // early to tell; the tiny image makes the erase most of the run.
          {UPD_ERASE_POS, 0, 1100, P::Erase, 10, -1, false},
          {UPD_ERASE_POS, 4, 1500, P::Erase, 50, 3, false},
          {UPD_ERASE_RESULT, 1, 1600, P::Erase, 100, 2, false},
          {UPD_DOWNLOAD_BEGIN, 0, 2000, P::Program, 0, 2, true},
          {UPD_RANGE, 1000, 2000, P::Program, 0, 2, false},
          {UPD_DOWNLOAD_POS, 16, 2100, P::Program, 0, 2, false},  // 16 and less: nothing
          {UPD_DOWNLOAD_POS, 40, 2400, P::Program, 4, 1, false},
          {UPD_DOWNLOAD_POS, 100, 3000, P::Program, 10, 1, false},
          {UPD_DOWNLOAD_POS, 500, 7000, P::Program, 50, 1, false},
          // The read-back reports its first bytes: the verification begins.
          {UPD_VALIDATE_POS, 250, 8000, P::Verify, 25, 1, true},
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
          // 512 ms across the wrap for 18 % of the whole update.
          {UPD_DOWNLOAD_POS, 0x8000, 0x00000100u, P::Erase, 50, 3, false},
          {UPD_DOWNLOAD_BEGIN, 0, 0x200, P::Program, 0, 2, true},
          {UPD_RANGE, 200, 0x200, P::Program, 0, 2, false},
          {UPD_DOWNLOAD_POS, 200, 0x300, P::Program, 100, 1, false},
          {UPD_VALIDATE_BEGIN, 0, 0x300, P::Verify, 0, 1, true},
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

// -------------------------------------------------------- the whole update --

// Costs that weigh the three phases 20, 60 and 20 for ten sectors and the
// 40 KiB image they hold, so that the whole update's share is plain to read.
constexpr PhaseCosts kEvenCosts{8, 6, 2, 0x20000};

TEST(WholeUpdate, PercentRisesOnceAcrossThePhasesAndTimeLeftCoversTheRest) {
  PhaseTracker t(kEvenCosts);
  t.Start(0);
  struct Row {
    std::uint32_t code, value, nowMs;
    int overall;
    long left;
  } rows[] = {
      {UPD_ERASE_RANGE, 9, 0, 0, -1},
      {UPD_ERASE_POS, 4, 1000, 10, 9},         // a tenth in 1 s: 9 s more
      {UPD_ERASE_RESULT, 1, 2000, 20, 8},
      {UPD_DOWNLOAD_BEGIN, 0, 2000, 20, 8},    // the phase starts again from 0, the whole does not
      {UPD_RANGE, 40960, 2000, 20, 8},
      {UPD_DOWNLOAD_POS, 20480, 5000, 50, 5},
      {UPD_VALIDATE_POS, 10240, 6000, 85, 2},  // the read-back: 80 % + a quarter of 20 %
      {UPD_DOWNLOAD_POS, 40960, 6100, 85, 2},  // the first page, written inside the verification
      {UPD_VALIDATE_RESULT, 1, 6500, 99, -1},  // read back whole, not yet done
      {UPD_DOWNLOAD_DONE, 0, 6500, 100, -1},
  };
  for (const Row& r : rows) {
    t.Note(r.code, r.value, r.nowMs);
    const std::string at = std::string(update_code_name(r.code)) + " at " + std::to_string(r.nowMs);
    EXPECT_EQ(t.overallPercent(), r.overall) << at << ": whole update's percentage";
    EXPECT_EQ(t.secondsLeft(), r.left) << at << ": seconds left in the whole update";
  }
  EXPECT_FALSE(t.running());
  EXPECT_EQ(t.Tick(60000).text, false) << "a finished run's time left stays unknown";
  EXPECT_EQ(t.secondsLeft(), -1);
}

TEST(WholeUpdate, TheClockAloneRecomputesTheTimeLeftAndAnOutcomeEndsIt) {
  PhaseTracker t(kEvenCosts);
  t.Start(0);
  t.Note(UPD_ERASE_RANGE, 9, 0);
  t.Note(UPD_ERASE_POS, 4, 1000);
  ASSERT_EQ(t.secondsLeft(), 9);
  // The camera is slow to answer: nothing arrives, and the estimate grows
  // with the time that passes at the same share done.
  PhaseTracker::Change c = t.Tick(2000);
  EXPECT_TRUE(c.text) << "the phase line expected to change with the time left";
  EXPECT_EQ(t.secondsLeft(), 18);
  EXPECT_FALSE(t.Tick(2000).text) << "nothing moved, nothing to redraw";
  t.End();
  EXPECT_EQ(t.secondsLeft(), -1);
  EXPECT_EQ(t.overallPercent(), 10) << "a failed run keeps what it reached";
  t.Tick(3000);
  EXPECT_EQ(t.secondsLeft(), -1) << "no time left after the outcome";
}

TEST(WholeUpdate, NeverFallsWhenTheImageIsLargerThanExpected) {
  // A plain run erases a fixed range before it says the image's size; an
  // image larger than the estimate makes what is done a smaller share.
  PhaseTracker t(PhaseCosts{45, 16, 4, 0x1000});
  t.Start(0);
  int last = 0;
  const std::uint32_t seq[][3] = {
      {UPD_RANGE, 0xFFFF, 0},         {UPD_DOWNLOAD_POS, 0xF000, 500},
      {UPD_DOWNLOAD_BEGIN, 0, 600},   {UPD_RANGE, 0x30000, 600},
      {UPD_DOWNLOAD_POS, 0x1000, 700}, {UPD_DOWNLOAD_POS, 0x18000, 900},
      {UPD_VALIDATE_BEGIN, 0, 1000},  {UPD_VALIDATE_POS, 0x30000, 1100},
      {UPD_DOWNLOAD_DONE, 0, 1100},
  };
  for (const auto& n : seq) {
    t.Note(n[0], n[1], n[2]);
    EXPECT_GE(t.overallPercent(), last) << update_code_name(n[0]) << " at " << n[2];
    last = t.overallPercent();
  }
  EXPECT_EQ(last, 100);
}

TEST(WholeUpdate, StepLineAndPercentSpellingInEveryLanguage) {
  for (UiLanguage lang : kLanguages) {
    const std::string l = std::to_string(static_cast<int>(lang));
    const std::u16string pct = PercentText(lang, 40);
    EXPECT_EQ(pct.substr(0, 2), u"40") << l;
    EXPECT_EQ(pct.back(), u'%') << l;
    const std::u16string line = ProgressLineText(lang, UpdatePhase::Program, 40, 20);
    EXPECT_NE(line.find(pct), std::u16string::npos)
        << l << ": the line expected to spell the percentage as the ring does";
    EXPECT_NE(line.find(u'2'), std::u16string::npos) << l << ": the step";
    EXPECT_NE(line.find(u'3'), std::u16string::npos) << l << ": the number of steps";
    EXPECT_NE(line.find(TimeLeftText(lang, 20)), std::u16string::npos) << l;
    EXPECT_NE(ProgressLineText(lang, UpdatePhase::Erase, 0, -1),
              ProgressLineText(lang, UpdatePhase::Verify, 0, -1))
        << l << ": each step expected named";
    const std::u16string from = DownloadsFileText(lang, u"fw.bin", u"/home/u/Downloads");
    EXPECT_NE(from.find(u"fw.bin"), std::u16string::npos) << l;
    EXPECT_NE(from.find(u"/home/u/Downloads"), std::u16string::npos) << l;
  }
  EXPECT_EQ(ProgressLineText(UiLanguage::English, UpdatePhase::Program, 40, -1),
            u"Step 2 of 3: Writing... 40%");
  EXPECT_EQ(PercentText(UiLanguage::French, 13), u"13\u00A0%");
  EXPECT_EQ(PercentText(UiLanguage::German, 130), u"100\u00A0%");
  EXPECT_EQ(PercentText(UiLanguage::Japanese, -5), u"0%");
  EXPECT_TRUE(ProgressLineText(UiLanguage::English, UpdatePhase::None, 10, 5).empty());
}

}  // namespace
}  // namespace lumavix
