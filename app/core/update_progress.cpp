#include "app/core/update_progress.h"

#include <algorithm>

#include "app/core/update_flow.h"
#include "firmware/engine.h"

namespace lumavix {

void PhaseTracker::Clear() {
  phase_ = UpdatePhase::None;
  total_ = 0;
  sectors_ = 0;
  imageBytes_ = 0;
  percent_ = 0;
  overall_ = 0;
  secondsLeft_ = -1;
  running_ = false;
}

void PhaseTracker::Start(std::uint32_t nowMs) {
  Clear();
  running_ = true;
  runStartMs_ = nowMs;
  Change ignored;
  Enter(UpdatePhase::Erase, nowMs, ignored);
}

void PhaseTracker::End() {
  running_ = false;
  secondsLeft_ = -1;
}

void PhaseTracker::Enter(UpdatePhase phase, std::uint32_t nowMs, Change& c) {
  if (phase_ != phase) c.phase = c.text = true;
  if (percent_ != 0) c.percent = c.text = true;
  phase_ = phase;
  percent_ = 0;
  Recompute(nowMs, c);
}

void PhaseTracker::SetPercent(int percent, std::uint32_t nowMs, Change& c) {
  percent = std::clamp(percent, 0, 100);
  if (percent == percent_) return;
  percent_ = percent;
  c.percent = c.text = true;
  Recompute(nowMs, c);
}

double PhaseTracker::Fraction() const {
  if (phase_ == UpdatePhase::None) return 0.0;
  // Until the programming's range arrives the image is taken to fill the
  // sectors erased for it.
  const double bytes = imageBytes_ > 0   ? static_cast<double>(imageBytes_)
                       : sectors_ > 0    ? static_cast<double>(sectors_) * 4096.0
                                         : static_cast<double>(costs_.defaultImageBytes);
  const double erase = sectors_ > 0 ? static_cast<double>(sectors_) * costs_.eraseMsPerSector
                                    : bytes / 4096.0 * costs_.eraseMsPerSector;
  const double expected[] = {erase, bytes / 1024.0 * costs_.programMsPerKiB,
                             bytes / 1024.0 * costs_.verifyMsPerKiB};
  const double all = expected[0] + expected[1] + expected[2];
  if (all <= 0.0) return 0.0;
  const std::size_t at = static_cast<std::size_t>(PhaseStep(phase_)) - 1;
  double done = 0.0;
  for (std::size_t i = 0; i < at; ++i) done += expected[i];
  done += expected[at] * percent_ / 100.0;
  return std::clamp(done / all, 0.0, 1.0);
}

void PhaseTracker::Recompute(std::uint32_t nowMs, Change& c) {
  // Without a run there is no start to measure from, and nothing overall.
  if (!running_) return;
  const double f = Fraction();
  // The last percent waits for the outcome: verified is not yet done.
  const int overall = std::min(99, static_cast<int>(f * 100.0));
  if (overall > overall_) {
    overall_ = overall;
    c.overall = true;
  }
  long left = -1;
  const std::uint32_t elapsed = nowMs - runStartMs_;
  if (f * 100.0 >= kTimeLeftFromPercent && f < 1.0 && elapsed > 0) {
    const double ms = elapsed * (1.0 - f) / f;
    left = static_cast<long>((static_cast<std::uint64_t>(ms) + 999) / 1000);
  }
  if (left != secondsLeft_) c.text = true;
  secondsLeft_ = left;
}

PhaseTracker::Change PhaseTracker::Tick(std::uint32_t nowMs) {
  Change c;
  Recompute(nowMs, c);
  return c;
}

PhaseTracker::Change PhaseTracker::Note(std::uint32_t code, std::uint32_t value,
                                        std::uint32_t nowMs) {
  Change c;
  switch (code) {
    case UPD_ERASE_RANGE:
      if (phase_ == UpdatePhase::None) Enter(UpdatePhase::Erase, nowMs, c);
      sectors_ = value + 1;
      break;
    case UPD_ERASE_POS:
      if (phase_ == UpdatePhase::Erase && sectors_ > 0)
        SetPercent(static_cast<int>((std::uint64_t{value} + 1) * 100 / sectors_), nowMs, c);
      break;
    case UPD_ERASE_RESULT:
      if (phase_ == UpdatePhase::Erase && value != 0) SetPercent(100, nowMs, c);
      break;
    case UPD_DOWNLOAD_BEGIN:
      Enter(UpdatePhase::Program, nowMs, c);
      break;
    case UPD_VALIDATE_BEGIN:
      Enter(UpdatePhase::Verify, nowMs, c);
      break;
    case UPD_RANGE:
      if (value > kProgressFloor) {
        total_ = value;
        if (phase_ == UpdatePhase::Program) imageBytes_ = value;
      }
      break;
    case UPD_DOWNLOAD_POS:
      // Sectors erased one by one are counted by their own codes; in the
      // verification a position is the short write of what is verified last.
      if (value <= kProgressFloor || phase_ == UpdatePhase::Verify) break;
      if (phase_ == UpdatePhase::Erase && sectors_ > 0) break;
      if (total_ > 0) SetPercent(ProgressPercent(value, static_cast<std::int32_t>(std::min<std::uint32_t>(total_, 0x7FFFFFFF))), nowMs, c);
      break;
    case UPD_VALIDATE_POS:
      if (value <= kProgressFloor) break;
      // A run that reports its read-back without announcing it (boot-header)
      // enters the verification with its first position.
      if (phase_ != UpdatePhase::Verify && phase_ != UpdatePhase::None)
        Enter(UpdatePhase::Verify, nowMs, c);
      if (total_ > 0) SetPercent(ProgressPercent(value, static_cast<std::int32_t>(std::min<std::uint32_t>(total_, 0x7FFFFFFF))), nowMs, c);
      break;
    case UPD_VALIDATE_RESULT:
      if (value != 0 && phase_ == UpdatePhase::Verify) SetPercent(100, nowMs, c);
      break;
    case UPD_DOWNLOAD_DONE:
      if (phase_ != UpdatePhase::None) SetPercent(100, nowMs, c);
      if (running_) {
        if (overall_ != 100) c.overall = true;
        overall_ = 100;
        End();
        c.text = true;
      }
      break;
    default:
      break;
  }
  return c;
}

FailureKind ClassifyFailure(std::uint32_t code, std::uint32_t value, bool refused) {
  if (refused) return FailureKind::Refused;
  switch (code) {
    case UPD_ACCESS_FAILED:
      return FailureKind::NoAnswer;
    case UPD_ERASE_RESULT:
      return value == 0 ? FailureKind::EraseFailed : FailureKind::WriteFailed;
    case UPD_VALIDATE_RESULT:
      return FailureKind::VerifyFailed;
    default:
      return FailureKind::WriteFailed;
  }
}

PresentationView ComposeFailureView(const PresentationView& pass, UiLanguage lang,
                                    FailureKind kind, std::string_view engineStatus) {
  PresentationView v = pass;
  // A presentation with a link or a file to choose keeps its own layout:
  // the failure is not what the user acts on there.
  if (pass.linkShown || pass.chooseFileShown) return v;
  // Trying again would be refused again: a refusal gives no such advice.
  const bool retry = OffersUpdate(pass.presentation) && kind != FailureKind::Refused;
  std::u16string text(FailureHeadline(lang, kind));
  text += u'\n';
  text += FailureSafetyText(lang, kind);
  text += u'\n';
  text += retry ? std::u16string(RetryAdviceText(lang)) : pass.statusText;
  if (!engineStatus.empty()) {
    text += u'\n';
    text += DetailLabel(lang);
    text += u' ';
    text += widen_narrow_text(std::string(engineStatus));
  }
  v.statusText = std::move(text);
  v.statusRect = kFailureStatusRect;
  v.windowSize = kFailureWindowSize;
  if (v.updateButtonShown) v.updateButtonRect = kFailureUpdateButtonRect;
  return v;
}

}  // namespace lumavix
