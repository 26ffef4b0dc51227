// The trace of the last few engine runs (update, download, dump), kept in
// the user's state folder so that `doctor --bundle` can hand them to
// support after the fact, without the user having to run again with
// LUMAVIX_TRACE.
//
// One file per run: a header (time, command line, version, result), then the
// device library's trace lines. The folder holds the newest `keep` runs;
// each file stays within `max_bytes`: the first lines go straight to disk,
// and when a run traces more, the rest is kept in memory as the newest
// lines that fit, written after a note of what was left out, so both how a
// run began and how it ended survive.
//
// Keeping the trace never fails a run: every problem is recorded in
// problem() and the run goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lumavix::cli {

inline constexpr std::size_t kRunLogKeep = 5;
inline constexpr std::size_t kRunLogMaxBytes = 1u << 20;

struct RunLogOptions {
  std::filesystem::path dir;  // empty: default_run_log_dir()
  std::size_t keep = kRunLogKeep;
  std::size_t max_bytes = kRunLogMaxBytes;
};

// $XDG_STATE_HOME/lumavix when that is absolute, else
// $HOME/.local/state/lumavix; empty when neither is set.
[[nodiscard]] std::filesystem::path default_run_log_dir();

// The run files of `dir` ("run-*.log"), oldest first.
[[nodiscard]] std::vector<std::filesystem::path> run_log_files(const std::filesystem::path& dir);

class RunLog {
 public:
  explicit RunLog(RunLogOptions options = {});
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Creates the folder (private to the user) and this run's file, writes
  // the header and drops the oldest runs beyond `keep`. False, with
  // problem() set, when the folder or the file cannot be made.
  [[nodiscard]] bool start(const std::string& command_line, const std::string& version);

  // One trace line; safe from any thread. Does nothing before a successful
  // start() or after finish().
  void line(std::string_view text);

  // Writes the lines kept in memory and the result into the header.
  void finish(int exit_status, std::string_view meaning);

  // Why the trace is not (or not wholly) kept; empty while all is well.
  [[nodiscard]] std::string problem() const;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  void write_locked(std::string_view bytes);
  void fail_locked(const std::string& what);

  RunLogOptions options_;
  std::filesystem::path path_;
  mutable std::mutex mutex_;
  int fd_ = -1;
  std::string problem_;
  std::size_t written_ = 0;        // bytes in the file
  std::size_t head_limit_ = 0;     // lines go to disk up to here
  std::size_t result_offset_ = 0;  // where the header's result field starts
  std::deque<std::string> tail_;   // newest lines past the head limit
  std::size_t tail_bytes_ = 0;
  std::size_t tail_budget_ = 0;
  std::uint64_t left_out_lines_ = 0;
  std::uint64_t left_out_bytes_ = 0;
};

}  // namespace lumavix::cli
