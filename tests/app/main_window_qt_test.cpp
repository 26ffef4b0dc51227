// Runs the desktop program itself under a virtual X server: a second copy
// leaves at once, without a window, while the first one runs. (The window's
// behaviour is tested in-process in tests/qtapp.) Skipped when the program
// was not built or no virtual X server is there.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

fs::path ProgramPath() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  // <build>/tests/app_tests -> <build>/app/qt/lumavix-update
  return self.parent_path().parent_path() / "app" / "qt" / "lumavix-update";
}

bool HaveXvfbRun() { return std::system("command -v xvfb-run >/dev/null 2>&1") == 0; }

struct Fixture {
  fs::path dir;
  fs::path runtime;
};

// An empty working directory and a private runtime directory for the
// single-instance lock, so that the test never meets a copy the user runs.
Fixture MakeFixture(const std::string& name) {
  Fixture f;
  f.dir = fs::temp_directory_path() / ("lumavix_qt_" + name + "_" + std::to_string(getpid()));
  fs::remove_all(f.dir);
  fs::create_directories(f.dir);
  f.runtime = f.dir / "run";
  fs::create_directories(f.runtime);
  fs::permissions(f.runtime, fs::perms::owner_all, fs::perm_options::replace);
  return f;
}

// Runs `args` in `cwd` with XDG_RUNTIME_DIR set; returns the exit status, or
// -1 when it did not end normally within `timeout_s`.
int RunProgram(const std::vector<std::string>& args, const Fixture& f, int timeout_s,
        bool withDisplay = true) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(f.dir.c_str()) != 0) _exit(127);
    setenv("XDG_RUNTIME_DIR", f.runtime.c_str(), 1);
    if (!withDisplay) {
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 1);
      dup2(null, 2);
    }
    setpgid(0, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(-pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

class DesktopProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = ProgramPath();
    if (!fs::exists(program_)) GTEST_SKIP() << "lumavix-update not built at " << program_;
    if (!HaveXvfbRun()) GTEST_SKIP() << "xvfb-run not installed";
  }
  std::vector<std::string> UnderXvfb(std::vector<std::string> args) const {
    std::vector<std::string> all = {"xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                                    program_.string()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  fs::path program_;
};

TEST_F(DesktopProgram, SecondCopyLeavesAtOnceWithoutAWindow) {
  Fixture f = MakeFixture("single");
  // The first copy stays up for a few seconds.
  const pid_t first = fork();
  if (first == 0) {
    _exit(RunProgram(UnderXvfb({"--simulate=none", "--screenshot", (f.dir / "a.png").string(),
                         "--screenshot-delay", "5000"}),
              f, 60));
  }
  // Wait until the first copy has its window (the lock is taken before).
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  // No display at all: a second copy that tried to open a window would fail.
  const int second = RunProgram({program_.string(), "--simulate=none"}, f, 10, /*withDisplay=*/false);
  EXPECT_EQ(second, 0) << "the second copy must end silently with status 0";
  int status = 0;
  waitpid(first, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the first copy ran normally";
  fs::remove_all(f.dir);
}

}  // namespace
