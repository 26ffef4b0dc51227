#include "platform/linux_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace lumavix {
namespace {

using test::TempDir;

constexpr const char* kName = "Kavex VideoClass HidClass Library";

std::unique_ptr<NamedLock> make_lock(LockBackend& backend, const std::string& name = kName) {
  SysError err;
  auto lock = backend.create(name, err);
  EXPECT_NE(lock, nullptr) << err.message;
  return lock;
}

// Runs `threads` contenders that each enter the lock `rounds` times and
// returns whether two were ever inside at once.
bool overlapped(const std::vector<NamedLock*>& locks, int rounds) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (NamedLock* lock : locks) {
    threads.emplace_back([&, lock] {
      for (int i = 0; i < rounds; ++i) {
        while (!lock->try_acquire()) std::this_thread::yield();
        if (inside.fetch_add(1) != 0) overlap = true;
        std::this_thread::yield();
        inside.fetch_sub(1);
        lock->release();
      }
    });
  }
  for (auto& t : threads) t.join();
  return overlap;
}

TEST(FlockLock, FileNameFollowsLockName) {
  EXPECT_EQ(FlockLockBackend::file_name_for(kName), "Kavex_VideoClass_HidClass_Library.lock");
  EXPECT_EQ(FlockLockBackend::file_name_for("a/../b\n"), "a_.._b_.lock")
      << "a name never leaves the lock directory";
}

TEST(FlockLock, CreatesPrivateDirectoryAndFile) {
  TempDir tmp;
  const std::string dir = tmp.path() + "/run";
  FlockLockBackend backend(dir);
  auto lock = make_lock(backend);
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(::stat((dir + "/Kavex_VideoClass_HidClass_Library.lock").c_str(), &st), 0);
}

TEST(FlockLock, ThreadsSharingOneHandleExcludeEachOther) {
  TempDir tmp;
  FlockLockBackend backend(tmp.path());
  auto lock = make_lock(backend);
  ASSERT_TRUE(lock->try_acquire());
  bool other = true;
  std::thread([&] { other = lock->try_acquire(); }).join();
  EXPECT_FALSE(other) << "a second thread took a held lock through the same handle";
  lock->release();
  std::thread([&] { other = lock->try_acquire(); }).join();
  EXPECT_TRUE(other);
  lock->release();

  EXPECT_FALSE(overlapped({lock.get(), lock.get(), lock.get()}, 500));
}

TEST(FlockLock, HandlesOfOneProcessExcludeEachOther) {
  TempDir tmp;
  FlockLockBackend backend(tmp.path());
  auto a = make_lock(backend);
  auto b = make_lock(backend);
  auto other_name = make_lock(backend, "Another Lock");
  ASSERT_TRUE(a->try_acquire());
  EXPECT_FALSE(b->try_acquire());
  EXPECT_TRUE(other_name->try_acquire()) << "locks of different names are independent";
  a->release();
  EXPECT_TRUE(b->try_acquire());
  b->release();
  other_name->release();
  EXPECT_FALSE(overlapped({a.get(), b.get()}, 500));
}

TEST(FlockLock, DestroyingAHeldHandleFreesTheLock) {
  TempDir tmp;
  FlockLockBackend backend(tmp.path());
  auto a = make_lock(backend);
  auto b = make_lock(backend);
  ASSERT_TRUE(a->try_acquire());
  a.reset();
  EXPECT_TRUE(b->try_acquire());
  b->release();
}

// A second process holds the lock until it is killed; the kernel must free
// it then, with no cleanup by the dead holder.
TEST(FlockLock, OtherProcessHoldsUntilKilled) {
  TempDir tmp;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    FlockLockBackend backend(tmp.path());
    SysError err;
    auto lock = backend.create(kName, err);
    const char ok = lock && lock->try_acquire() ? '1' : '0';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, '1') << "the child could not take the lock";

  FlockLockBackend backend(tmp.path());
  auto lock = make_lock(backend);
  EXPECT_FALSE(lock->try_acquire()) << "the lock held by another process was taken";

  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(lock->try_acquire()) << "the lock of a killed holder stayed taken";
  lock->release();
}

TEST(FlockLock, UnusableDirectoryIsAClearError) {
  TempDir tmp;
  tmp.write("file", "x");
  struct Case {
    std::string dir;
    int code;
    std::string message;
  };
  std::vector<Case> cases = {
      {tmp.path() + "/file/sub", ENOTDIR,
       "cannot create the lock directory " + tmp.path() + "/file/sub: Not a directory"},
      {tmp.path() + "/file", ENOTDIR, "the lock directory " + tmp.path() + "/file is not a directory"},
      {tmp.path() + "/missing/sub", ENOENT,
       "cannot create the lock directory " + tmp.path() +
           "/missing/sub: No such file or directory"},
  };
  if (::geteuid() != 0) {
    const std::string ro = tmp.path() + "/ro";
    ASSERT_EQ(::mkdir(ro.c_str(), 0500), 0);
    cases.push_back({ro, EACCES,
                     "cannot open the lock file " + ro +
                         "/Kavex_VideoClass_HidClass_Library.lock: Permission denied"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    FlockLockBackend backend(c.dir);
    SysError err;
    EXPECT_EQ(backend.create(kName, err), nullptr);
    EXPECT_EQ(err.code, c.code);
    EXPECT_EQ(err.message, c.message);
  }
}

TEST(ProcessLock, ExcludesByNameAcrossHandlesAndThreads) {
  ProcessLockBackend backend;
  auto a = make_lock(backend, "process lock test");
  auto b = make_lock(backend, "process lock test");
  auto c = make_lock(backend, "process lock test, other");
  ASSERT_TRUE(a->try_acquire());
  EXPECT_FALSE(b->try_acquire());
  EXPECT_FALSE(a->try_acquire()) << "the lock does not nest";
  EXPECT_TRUE(c->try_acquire());
  b->release();  // a release without holding frees nothing
  EXPECT_FALSE(b->try_acquire());
  // The library may release from another thread than the one that took it.
  std::thread([&] { a->release(); }).join();
  EXPECT_TRUE(b->try_acquire());
  b->release();
  c->release();
  EXPECT_FALSE(overlapped({a.get(), a.get(), b.get()}, 500));
}

}  // namespace
}  // namespace lumavix
