// The progress of a run on the command line: JSON progress events with the
// phase, its percentage, the whole update's percentage and the time left; on a terminal one line redrawn in
// place; elsewhere (a log, a pipe) a line when a phase begins and at every
// tenth of it, so a log is not one line per percent.
#pragma once

#include <ostream>

#include "app/core/texts.h"
#include "app/core/update_flow.h"

namespace lumavix::cli {

class ProgressPrinter {
 public:
  enum class Mode { Json, Terminal, Lines };

  ProgressPrinter(std::ostream& out, Mode mode, UiLanguage lang) : out_(out), mode_(mode), lang_(lang) {}

  // After every notification the flow handled. A run without phases (a
  // dump) shows `flowPercent` when the effect asks for a ring step.
  void Update(const UpdateView& view, const NotifyEffect& effect, int flowPercent);
  // Before another line goes to the same stream: ends a line being redrawn.
  void BreakLine();

 private:
  std::ostream& out_;
  Mode mode_;
  UiLanguage lang_;
  bool lineOpen_ = false;
  std::size_t lastWidth_ = 0;
  UpdatePhase phase_ = UpdatePhase::None;
  int percent_ = -1;
  int overall_ = -1;
  int lastTenth_ = -1;
};

// Terminal when `fd` is one, Lines otherwise; Json in JSON mode.
[[nodiscard]] ProgressPrinter::Mode ProgressModeFor(bool json, int fd);

}  // namespace lumavix::cli
