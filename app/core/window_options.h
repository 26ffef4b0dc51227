// The window's command line, one parser for both front ends. Each front end
// names itself so that options only one of them implements are refused by
// the other as unknown rather than silently ignored.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lumavix {

enum class WindowFrontEnd { Qt, Win32 };

struct WindowProgramOptions {
  std::optional<std::string> simulate;  // profile text when simulating
  std::string simState;                 // the simulated camera's state file
  std::string firmwareFile;             // the firmware file given, if any
  // Checks and documentation: grab the window into an image file and quit.
  std::string screenshot;
  int screenshotDelayMs = 300;
  bool screenshotDialog = false;  // Qt: grab the confirmation dialog instead
  bool startupTime = false;       // Qt: print the time to the first presentation
  std::string trace;              // Win32: append the window's trace lines here
  // Start the update as if Update and OK had been clicked, once a pass
  // offers it.
  bool autoUpdate = false;
};

enum class ParseOutcome { Run, Help, Version, Error };

// `args` without the program's name, as UTF-8. Options take "--name=value"
// or "--name value". On Error, `error` says what is wrong.
[[nodiscard]] ParseOutcome ParseWindowArguments(const std::vector<std::string>& args,
                                                WindowFrontEnd frontEnd,
                                                WindowProgramOptions& out, std::string& error);

}  // namespace lumavix
