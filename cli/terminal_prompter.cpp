#include "cli/terminal_prompter.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cctype>
#include <istream>
#include <ostream>

namespace lumavix::cli {
namespace {

std::string lower_trimmed(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  std::string out(s.substr(b, e - b));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

TerminalPrompter::TerminalPrompter(bool interactive, std::istream& in, std::ostream& out)
    : interactive_(interactive), in_(in), out_(out) {}

#ifdef _WIN32
// The C library's isatty also says yes for NUL (a character device); only a
// console has a console mode.
bool TerminalPrompter::stdin_is_terminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}
#else
bool TerminalPrompter::stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }
#endif

bool TerminalPrompter::read_yes(std::string_view ok_label) {
  std::string line;
  if (!std::getline(in_, line)) return false;
  const std::string answer = lower_trimmed(line);
  return answer == "ok" || answer == "y" || answer == "yes" ||
         (!ok_label.empty() && answer == lower_trimmed(ok_label));
}

MessageAnswer TerminalPrompter::ask(std::string_view caption, std::string_view text,
                                    MessageButtons buttons, MessageIcon) {
  shown_.emplace_back(text);
  out_ << caption << ": " << text << '\n';
  if (buttons == MessageButtons::Ok) {
    out_.flush();
    return MessageAnswer::Ok;
  }
  if (!interactive_) {
    out_ << "(not a terminal: answered Cancel)" << std::endl;
    return MessageAnswer::Cancel;
  }
  out_ << "[OK/Cancel] " << std::flush;
  return read_yes("ok") ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

MessageAnswer TerminalPrompter::confirm(std::string_view heading, std::string_view warning,
                                        std::string_view ok_label,
                                        std::string_view cancel_label) {
  shown_.emplace_back(warning);
  if (!interactive_) return MessageAnswer::Cancel;
  out_ << heading << '\n' << warning << '\n'
       << "[" << ok_label << "/" << cancel_label << "] " << std::flush;
  return read_yes(ok_label) ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

}  // namespace lumavix::cli
