// The engine's message boxes and the update's confirmation on a terminal:
// messages go to stderr, questions are answered on stdin when it is a
// terminal, and nobody answers them otherwise.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/engine.h"

namespace lumavix::cli {

class TerminalPrompter final : public Prompter {
 public:
  // `interactive`: a person can answer on `in` (stdin is a terminal).
  TerminalPrompter(bool interactive, std::istream& in, std::ostream& out);

  // Prints "caption: text". An Ok-only message needs no answer; a question
  // (OkCancel) is asked when interactive and answered Cancel otherwise, so
  // that no warning is ever agreed to on nobody's behalf.
  MessageAnswer ask(std::string_view caption, std::string_view text, MessageButtons buttons,
                    MessageIcon icon) override;

  // The update's confirmation: heading, warning and the two button labels.
  // Ok only when a person typed the OK label, "ok", "y" or "yes" (any case).
  // Cancel at once when not interactive.
  MessageAnswer confirm(std::string_view heading, std::string_view warning,
                        std::string_view ok_label, std::string_view cancel_label);

  [[nodiscard]] bool interactive() const { return interactive_; }
  // Texts shown so far, oldest first.
  [[nodiscard]] const std::vector<std::string>& shown() const { return shown_; }

  // True when standard input is a terminal.
  [[nodiscard]] static bool stdin_is_terminal();

 private:
  [[nodiscard]] bool read_yes(std::string_view ok_label);

  bool interactive_;
  std::istream& in_;
  std::ostream& out_;
  std::vector<std::string> shown_;
};

}  // namespace lumavix::cli
