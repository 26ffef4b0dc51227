// Two processes against one library lock: while another process holds
// "Kavex VideoClass HidClass Library", every library operation gives up
// after its time-out without touching the camera; once the holder dies, even
// by SIGKILL, the kernel frees the lock and operations go through again.
// Runs on the real clock, so it takes about two seconds.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/library_lock.h"
#include "firmware/engine.h"
#include "firmware/flash.h"
#include "platform/linux_lock.h"
#include "sim/simulator.h"
#include "library_scope.h"

namespace lumavix {
namespace {

using Ms = std::chrono::milliseconds;

template <typename F>
long long time_ms(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start).count();
}

class LockProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ =
        (std::filesystem::temp_directory_path() / "lumavix-lockproc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    locks_ = std::make_unique<FlockLockBackend>(dir_);
    sim::SimOptions o;
    o.latency_us = 0;
    o.busy = false;
    std::string error;
    sim_ = sim::Simulator::create(o, error);
    ASSERT_TRUE(sim_) << error;
    // The real clock: time-outs are measured in real time.
    scope_.emplace(nullptr, Platform{&sim_->hid(), locks_.get()});
    ASSERT_EQ(OpenDevices(), 1);
  }

  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    CloseDevices();
    scope_.reset();
    sim_.reset();
    locks_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Forks a process that takes the lock through its own FlockLockBackend and
  // then sleeps until killed. Returns once the child holds the lock.
  void start_holder() {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    child_ = ::fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      ::close(fds[0]);
      FlockLockBackend backend(dir_);
      SysError err;
      std::unique_ptr<NamedLock> lock = backend.create(kLibraryLockName, err);
      const char taken = lock && lock->try_acquire() ? 'y' : 'n';
      (void)!::write(fds[1], &taken, 1);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    char taken = 0;
    ASSERT_EQ(::read(fds[0], &taken, 1), 1);
    ::close(fds[0]);
    ASSERT_EQ(taken, 'y') << "the holder process could not take the lock";
  }

  std::uint64_t transfers() { return sim_->camera(0)->counters().total; }

  std::string dir_;
  std::unique_ptr<FlockLockBackend> locks_;
  std::unique_ptr<sim::Simulator> sim_;
  pid_t child_ = -1;
  std::optional<lumavix::test::LibraryScope> scope_;
};

TEST_F(LockProcessTest, HeldLockTimesOperationsOutAndAKilledHolderReleasesIt) {
  std::uint32_t value = 0;
  ASSERT_EQ(kvVidHidCls_RegRead(0x0000, 1, value), kOk) << "the lock must be free at first";
  start_holder();
  const std::uint64_t before = transfers();

  HRESULT32 rc = kOk;
  const long long reg_ms = time_ms([&] { rc = kvVidHidCls_RegRead(0x0000, 1, value); });
  EXPECT_EQ(rc, E_FAIL);
  // The wait counts whole ticks of a millisecond counter, so it may end up
  // to one tick short of 1000 ms of real time.
  EXPECT_GE(reg_ms, 998) << "a register read waits 1000 ms for the lock";
  EXPECT_LT(reg_ms, 1600);

  std::uint8_t buf[16] = {};
  bool ok = true;
  const long long read_ms = time_ms([&] { ok = kvVidHidCls_SPI_Flash_Read(0, sizeof buf, buf); });
  EXPECT_FALSE(ok);
  EXPECT_GE(read_ms, 98) << "a flash read waits 100 ms for the lock";
  EXPECT_LT(read_ms, 600);
  EXPECT_EQ(transfers(), before) << "nothing may reach the camera without the lock";

  ASSERT_EQ(::kill(child_, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child_, nullptr, 0), child_);
  child_ = -1;

  const long long free_ms = time_ms([&] { rc = kvVidHidCls_RegRead(0x0000, 1, value); });
  EXPECT_EQ(rc, kOk) << "the dead holder's lock must be free";
  EXPECT_LT(free_ms, 100);
  EXPECT_EQ(value & 0xFFu, 0xB2u);
  EXPECT_TRUE(kvVidHidCls_SPI_Flash_Read(0, sizeof buf, buf));
  EXPECT_GT(transfers(), before);
}

}  // namespace
}  // namespace lumavix
