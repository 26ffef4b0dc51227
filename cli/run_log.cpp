// The kept trace of an engine run; the contracts are in run_log.h.
#include "cli/run_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "devlib/file_io.h"

namespace lumavix::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = "run-";
constexpr std::string_view kSuffix = ".log";
// The result field of the header is written in place when the run ends, so
// it has a fixed width.
constexpr std::size_t kResultWidth = 64;
// A single trace line longer than this is cut (the library's lines are far
// shorter).
constexpr std::size_t kMaxLine = 2048;

std::string utc_stamp(bool for_file_name) {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm {};
  ::gmtime_r(&ts.tv_sec, &tm);
  const int ms = static_cast<int>(ts.tv_nsec / 1000000);
  return for_file_name
             ? fmt::format("{:04}{:02}{:02}T{:02}{:02}{:02}.{:03}Z", tm.tm_year + 1900,
                           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms)
             : fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900,
                           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

std::string result_field(std::string_view text) {
  std::string s(text.substr(0, kResultWidth));
  s.resize(kResultWidth, ' ');
  return s;
}

}  // namespace

fs::path default_run_log_dir() {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  // Relative values are invalid by the base-directory rules and ignored.
  if (xdg && *xdg && fs::path(xdg).is_absolute()) return fs::path(xdg) / "lumavix";
  const char* home = std::getenv("HOME");
  if (home && *home) return fs::path(home) / ".local" / "state" / "lumavix";
  return {};
}

std::vector<fs::path> run_log_files(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() > kPrefix.size() + kSuffix.size() && name.starts_with(kPrefix) &&
        name.ends_with(kSuffix) && it->is_regular_file(ec))
      files.push_back(it->path());
  }
  // The names start with the UTC time of the run.
  std::sort(files.begin(), files.end());
  return files;
}

RunLog::RunLog(RunLogOptions options) : options_(std::move(options)) {
  if (options_.dir.empty()) options_.dir = default_run_log_dir();
  if (options_.keep == 0) options_.keep = 1;
  options_.max_bytes = std::max<std::size_t>(options_.max_bytes, 4096);
  tail_budget_ = options_.max_bytes / 4;
}

RunLog::~RunLog() {
  if (fd_ >= 0) ::close(fd_);
}

bool RunLog::start(const std::string& command_line, const std::string& version) {
  std::lock_guard lk(mutex_);
  const fs::path& dir = options_.dir;
  if (dir.empty()) {
    problem_ = "no state folder: neither XDG_STATE_HOME nor HOME is set";
    return false;
  }
  // Traces name the camera's nodes and may hold serial numbers: the folder
  // is the user's alone, whichever command made it.
  if (const int e = create_private_folder(dir); e != 0) {
    problem_ = fmt::format("cannot create {}: {}", dir.string(), std::strerror(e));
    return false;
  }
  // Later logs of one process carry a sequence number, so that two within
  // a millisecond still sort in the order they were made ("_" sorts after
  // the plain name's ".").
  static std::atomic<unsigned> sequence{0};
  const std::string stem = fmt::format("{}{}-{}", kPrefix, utc_stamp(true), ::getpid());
  for (int tries = 0; tries < 100; ++tries) {
    const unsigned n = sequence.fetch_add(1);
    path_ = dir / (n == 0 ? stem + std::string(kSuffix)
                          : fmt::format("{}_{:04}{}", stem, n, kSuffix));
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0 || errno != EEXIST) break;
  }
  if (fd_ < 0) {
    problem_ = fmt::format("cannot create {}: {}", path_.string(), std::strerror(errno));
    return false;
  }
  std::string header = fmt::format("lumavix-fw run log\ntime:    {}\ncommand: {}\nversion: {}\n",
                                   utc_stamp(false), command_line.substr(0, kMaxLine), version);
  header += "result:  ";
  result_offset_ = header.size();
  header += result_field("running (or ended without a result)") + "\ntrace:\n";
  head_limit_ = options_.max_bytes - tail_budget_ - 512;
  write_locked(header);
  if (fd_ < 0) return false;

  std::error_code ec;
  std::vector<fs::path> files = run_log_files(dir);
  std::size_t count = files.size();
  for (const fs::path& f : files) {
    if (count <= options_.keep) break;
    if (f == path_) continue;
    if (fs::remove(f, ec)) --count;
  }
  return true;
}

void RunLog::line(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string s(text.substr(0, kMaxLine));
  s += '\n';
  std::lock_guard lk(mutex_);
  if (fd_ < 0) return;
  if (tail_.empty() && written_ + s.size() <= head_limit_) {
    write_locked(s);
    return;
  }
  tail_bytes_ += s.size();
  tail_.push_back(std::move(s));
  while (tail_bytes_ > tail_budget_) {
    tail_bytes_ -= tail_.front().size();
    left_out_bytes_ += tail_.front().size();
    ++left_out_lines_;
    tail_.pop_front();
  }
}

void RunLog::finish(int exit_status, std::string_view meaning) {
  std::lock_guard lk(mutex_);
  if (fd_ < 0) return;
  if (left_out_lines_ > 0)
    write_locked(fmt::format("[... {} trace lines ({} bytes) left out to keep this file within "
                             "{} bytes ...]\n",
                             left_out_lines_, left_out_bytes_, options_.max_bytes));
  for (const std::string& s : tail_) write_locked(s);
  tail_.clear();
  if (fd_ < 0) return;
  const std::string field = result_field(fmt::format("exit {} ({})", exit_status, meaning));
  if (::pwrite(fd_, field.data(), field.size(), static_cast<off_t>(result_offset_)) !=
      static_cast<ssize_t>(field.size())) {
    fail_locked("cannot write");
    return;
  }
  ::close(fd_);
  fd_ = -1;
}

std::string RunLog::problem() const {
  std::lock_guard lk(mutex_);
  return problem_;
}

void RunLog::write_locked(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      fail_locked("cannot write");
      return;
    }
    written_ += static_cast<std::size_t>(n);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void RunLog::fail_locked(const std::string& what) {
  if (problem_.empty())
    problem_ = fmt::format("{} {}: {}", what, path_.string(), std::strerror(errno));
  ::close(fd_);
  fd_ = -1;
}

}  // namespace lumavix::cli
