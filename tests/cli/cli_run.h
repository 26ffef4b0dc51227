// Running lumavix-fw as a separate process from the command-line tests.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace lumavix::test {

struct CliResult {
  int status = -1;  // exit status, -1 when the program did not exit normally
  std::string out;  // standard output
};

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

}  // namespace lumavix::test
