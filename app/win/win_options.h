// The native program's command line, read from the wide arguments as
// UTF-8 (the ANSI code page would lose what it cannot hold).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumavix {

struct WinProgramOptions {
  std::optional<std::string> simulate;  // profile text when simulating
  std::string simState;
  std::string firmwareFile;
  std::string screenshot;
  int screenshotDelayMs = 300;
  std::string trace;
  bool autoUpdate = false;
};

enum class ParseOutcome { Run, Help, Version, Error };

// `args` without the program's name. On Error, `error` says what is wrong.
[[nodiscard]] ParseOutcome ParseWinArguments(const std::vector<std::string>& args,
                                             WinProgramOptions& out, std::string& error);

extern const char* const kWinUsage;

}  // namespace lumavix
