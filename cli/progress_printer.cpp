#include "cli/progress_printer.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/json_output.h"

namespace lumavix::cli {

ProgressPrinter::Mode ProgressModeFor(bool json, int fd) {
  if (json) return ProgressPrinter::Mode::Json;
  return ::isatty(fd) == 1 ? ProgressPrinter::Mode::Terminal : ProgressPrinter::Mode::Lines;
}

void ProgressPrinter::BreakLine() {
  if (lineOpen_) out_ << '\n';
  lineOpen_ = false;
  lastWidth_ = 0;
}

void ProgressPrinter::Update(const UpdateView& v, const NotifyEffect& e, int flowPercent) {
  if (v.phase == UpdatePhase::None) {
    if (!e.ringStep || flowPercent > 100) return;
    if (mode_ == Mode::Json) {
      out_ << json_text(nlohmann::ordered_json{{"event", "progress"}, {"percent", flowPercent}}) << '\n'
           << std::flush;
    } else if (mode_ == Mode::Terminal) {
      out_ << '\r' << (flowPercent < 10 ? "  " : flowPercent < 100 ? " " : "") << flowPercent
           << " %" << std::flush;
      lineOpen_ = true;
      lastWidth_ = 5;
    } else if (flowPercent / 10 != lastTenth_) {
      lastTenth_ = flowPercent / 10;
      out_ << flowPercent << " %\n" << std::flush;
    }
    return;
  }
  const bool newPhase = v.phase != phase_;
  const bool moved = v.phasePercent != percent_ || v.overallPercent != overall_;
  if (!newPhase && !moved && !e.phaseStep) return;
  phase_ = v.phase;
  percent_ = v.phasePercent;
  overall_ = v.overallPercent;
  // The whole update's share before the step's own line.
  const std::string line =
      "[" + ToUtf8(PercentText(lang_, v.overallPercent)) + "] " + ToUtf8(v.phaseLine);

  switch (mode_) {
    case Mode::Json: {
      nlohmann::ordered_json ev{{"event", "progress"},
                                {"percent", v.phasePercent},
                                {"phase", PhaseName(v.phase)},
                                {"overallPercent", v.overallPercent}};
      if (v.secondsLeft >= 0) ev["secondsLeft"] = v.secondsLeft;
      out_ << json_text(ev) << '\n' << std::flush;
      break;
    }
    case Mode::Terminal: {
      // A shorter line than the last leaves no tail of it behind.
      out_ << '\r' << line;
      if (line.size() < lastWidth_) out_ << std::string(lastWidth_ - line.size(), ' ');
      out_ << std::flush;
      lastWidth_ = line.size();
      lineOpen_ = true;
      break;
    }
    case Mode::Lines: {
      const int tenth = v.phasePercent / 10;
      if (!newPhase && tenth == lastTenth_) break;
      lastTenth_ = tenth;
      out_ << line << '\n' << std::flush;
      break;
    }
  }
}

}  // namespace lumavix::cli
