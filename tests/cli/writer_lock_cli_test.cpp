// One writer per camera across processes: lumavix-fw against a simulated
// camera whose state file another process shares, while that process holds
// the camera's write lock (this test), or while a second lumavix-fw uses
// the state file (which it waits for).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli_run.h"
#include "devlib/writer_lock.h"
#include "platform/linux_lock.h"
#include "sim/simulator.h"

namespace {

namespace fs = std::filesystem;
using lumavix::test::CliResult;

class WriterLockCli : public lumavix::test::CliFolderTest {
 protected:
  void SetUp() override {
    runtime_ = dir_ / "runtime";
    fs::create_directories(runtime_);
    fs::permissions(runtime_, fs::perms::owner_all);
    const CliResult r = run("make-firmware --version 0105 --product-id 0E51 -o fw.bin");
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // The program keeps the locks of a simulated camera in this user's
  // runtime folder: here, one of the test's own.
  CliResult run(const std::string& args, const std::string& sim = "latency-us=0,busy=0") const {
    return run_in_folder("--simulate=q," + sim + " --sim-state state.sim " + args, "2>&1");
  }
  CliResult run_in_folder(const std::string& args, const char* stderr_to) const {
    return lumavix::test::run_shell("cd '" + dir_.string() + "' && XDG_RUNTIME_DIR='" +
                                    runtime_.string() + "' LC_ALL=C LANG=C " +
                                    std::string(LUMAVIX_CLI_PATH) + " " + args + " </dev/null " +
                                    stderr_to);
  }
  // The write lock the program takes for the state file's first camera.
  std::unique_ptr<lumavix::NamedLock> camera_lock() {
    lumavix::SysError err;
    auto lock = prefixed_.create("usb-1-1", err);
    EXPECT_NE(lock, nullptr) << err.message;
    return lock;
  }

  fs::path runtime_;
  lumavix::FlockLockBackend locks_{(dir_ / "runtime").string()};
  lumavix::PrefixedLockBackend prefixed_{
      locks_, lumavix::sim::simulated_camera_lock_prefix((dir_ / "state.sim").string())};
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(WriterLockCli, EveryWriterIsRefusedAtOnceWhileAnotherWrites) {
  std::unique_ptr<lumavix::NamedLock> held = camera_lock();
  ASSERT_TRUE(held && held->try_acquire());
  const char* const busy = "another program is writing to this camera";
  struct Case {
    const char* args;
    const char* expected;
  } cases[] = {
      {"update --yes", busy},
      {"download fw.bin --yes", busy},
      {"userdata write --serial ABC123 --yes", busy},
      {"tables download --backend none.bin", busy},
      {"status", "Another program is updating your LUMAVIX Q"},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const CliResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.args << ": " << r.out;
    EXPECT_TRUE(contains(r.out, c.expected)) << c.args << ": expected \"" << c.expected
                                             << "\" in: " << r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << c.args << ": refused at once, not after a wait";
  }
  const CliResult j = run("status --json");
  EXPECT_EQ(lumavix::test::last_json(j.out)["presentation"], "busy") << j.out;

  held->release();
  const CliResult after = run("status --json");
  const nlohmann::json s = lumavix::test::last_json(after.out);
  EXPECT_EQ(s["presentation"], "update-available") << after.out;
  EXPECT_EQ(s["cameraVersion"], "0104") << "a refused writer wrote the camera";
  EXPECT_EQ(run("update --yes").status, 0) << "the camera is free again";
}

// Two programs on one camera and state file: the second waits for the
// first to finish and save, the first's verified update is undisturbed,
// and the second then finds the camera up to date.
TEST_F(WriterLockCli, ASecondProgramOnTheSameStateFileWaitsForTheFirst) {
  auto first = std::async(std::launch::async, [this] {
    return run("update --yes", "latency-us=60,busy=0");
  });
  // The first program holds the lock once it writes.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool writing = false;
  while (!writing && std::chrono::steady_clock::now() < give_up &&
         first.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
    std::unique_ptr<lumavix::NamedLock> probe = camera_lock();
    writing = probe && !probe->try_acquire();
    if (!writing && probe) probe->release();
  }
  ASSERT_TRUE(writing) << "the first program was never seen writing";
  const CliResult second = run("update --yes");
  const CliResult done = first.get();
  EXPECT_EQ(done.status, 0) << done.out;
  EXPECT_TRUE(contains(second.out, "waiting for another run")) << second.out;
  EXPECT_EQ(second.status, 5) << "after the first: up to date: " << second.out;
  const nlohmann::json s = lumavix::test::last_json(run("status --json").out);
  EXPECT_EQ(s["presentation"], "up-to-date") << "the first program's update was disturbed";
  EXPECT_EQ(s["cameraVersion"], "0105");
}

}  // namespace
