// Running lumavix-fw as a separate process from the command-line tests.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <cctype>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "temp_dir.h"

namespace lumavix::test {

struct CliResult {
  int status = -1;  // exit status, -1 when the program did not exit normally
  std::string out;  // standard output
};

#ifdef _WIN32
// The tests write their command lines for a POSIX shell; on Windows they run
// through cmd.exe, so the few shell forms they use are translated: "cd 'D'
// && ", "VAR=value " before the program, single-quoted arguments,
// "</dev/null" and "2>/dev/null". The program's path is quoted.
inline std::string cmd_line(const std::string& sh) {
  std::string out;
  std::size_t i = 0;
  const std::string prog = LUMAVIX_CLI_PATH;
  while (i < sh.size()) {
    if (sh.compare(i, 4, "cd '") == 0) {
      const std::size_t end = sh.find('\'', i + 4);
      out += "cd /d \"" + sh.substr(i + 4, end - i - 4) + "\"";
      i = end + 1;
    } else if (sh.compare(i, 10, "</dev/null") == 0) {
      out += "<NUL";
      i += 10;
    } else if (sh.compare(i, 11, "2>/dev/null") == 0) {
      out += "2>NUL";
      i += 11;
    } else if (sh.compare(i, prog.size(), prog) == 0) {
      out += "\"" + prog + "\"";
      i += prog.size();
    } else if (sh[i] == '\'') {
      const std::size_t end = sh.find('\'', i + 1);
      out += "\"" + sh.substr(i + 1, end - i - 1) + "\"";
      i = end + 1;
    } else if ((i == 0 || sh[i - 1] == ' ') && std::isupper(static_cast<unsigned char>(sh[i])) &&
               sh.find('=', i) < sh.find(' ', i)) {
      const std::size_t end = sh.find(' ', i);
      out += "set " + sh.substr(i, end - i) + "&&";
      i = end;
    } else {
      out += sh[i++];
    }
  }
  return out;
}

// The command line is UTF-8, as the program's arguments are; it goes to
// cmd.exe as wide text so that no character is lost to the ANSI code page.
inline CliResult run_shell(const std::string& command) {
  CliResult r;
  // cmd /c drops the outer quotes of the whole line.
  const std::string line = "\"" + cmd_line(command) + "\"";
  std::wstring wide(static_cast<std::size_t>(
                        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                            nullptr, 0)),
                    L'\0');
  MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                      static_cast<int>(wide.size()));
  // cmd.exe ends with 9009 when it could not start the program at all, a
  // status the program never gives. Under Wine that happens, rarely, while
  // other processes start beside it; the run is then tried again (the
  // program did nothing, so nothing is run twice).
  constexpr int kCouldNotStart = 9009;
  for (int attempt = 0; attempt < 3; ++attempt) {
    FILE* p = _wpopen(wide.c_str(), L"rb");
    if (!p) return r;
    r.out.clear();
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    r.status = _pclose(p);
    if (r.status != kCouldNotStart || !r.out.empty()) break;
  }
  return r;
}
#else
// Runs a shell command line and keeps its standard output.
inline CliResult run_shell(const std::string& command) {
  CliResult r;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}
#endif

// The last non-empty line of an output.
inline std::string last_line(const std::string& s) {
  std::string t = s;
  while (!t.empty() && t.back() == '\n') t.pop_back();
  const auto pos = t.rfind('\n');
  return pos == std::string::npos ? t : t.substr(pos + 1);
}

// The result object of a --json run (a discarded value when it is not JSON).
inline nlohmann::json last_json(const std::string& out) {
  return nlohmann::json::parse(last_line(out), nullptr, false);
}

// A test with a fresh working folder of its own, in which lumavix-fw runs
// with English texts and no terminal on stdin.
class CliFolderTest : public TempDirTest {
 protected:
  // `stderr_to` is "2>&1" to keep messages after the output, or "2>/dev/null".
  CliResult run_in_folder(const std::string& args, const char* stderr_to = "2>&1") const {
    return run_shell("cd '" + dir_.string() + "' && LC_ALL=C LANG=C " +
                     std::string(LUMAVIX_CLI_PATH) + " " + args + " </dev/null " + stderr_to);
  }
};

}  // namespace lumavix::test
