#include "platform/linux_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
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

// ------------------------------------------------------- the cameras' locks --

// A shared directory as the system keeps /run/lock (sticky, everyone may
// make files) and a private fallback beside it.
struct SharedDirs {
  TempDir tmp;
  std::string shared = tmp.path() + "/run-lock";
  std::string fallback = tmp.path() + "/private";
  SharedDirs() { EXPECT_EQ(::mkdir(shared.c_str(), 01777), 0); ::chmod(shared.c_str(), 01777); }
  SharedFlockLockBackend backend() const {
    return SharedFlockLockBackend(shared, std::make_unique<FlockLockBackend>(fallback));
  }
};

TEST(SharedFlockLock, FileNamesStayInTheDirectoryShortAndDistinct) {
  EXPECT_EQ(SharedFlockLockBackend::file_name_for("usb-1-2"), "lumavix-camera-usb-1-2.lock");
  EXPECT_EQ(SharedFlockLockBackend::file_name_for("usb-3-1.4"), "lumavix-camera-usb-3-1.4.lock");
  EXPECT_EQ(SharedFlockLockBackend::file_name_for("../x/y z"), "lumavix-camera-.._x_y_z.lock")
      << "a key never names a file outside the directory";
  const std::string a = SharedFlockLockBackend::file_name_for(std::string(300, 'p') + "a");
  const std::string b = SharedFlockLockBackend::file_name_for(std::string(300, 'p') + "b");
  EXPECT_LT(a.size(), 120u) << "a long key is cut: " << a;
  EXPECT_NE(a, b) << "keys that differ only past the cut keep distinct files";
}

TEST(SharedFlockLock, OneFileEveryUserCanOpenWhateverTheUmask) {
  SharedDirs d;
  SharedFlockLockBackend backend = d.backend();
  const mode_t old = ::umask(077);
  SysError err;
  auto a = backend.create("usb-1-2", err);
  ::umask(old);
  ASSERT_NE(a, nullptr) << err.message;
  EXPECT_TRUE(err.empty()) << "no fallback expected: " << err.message;
  struct stat st {};
  const std::string file = d.shared + "/lumavix-camera-usb-1-2.lock";
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "readable by all for flock, writable by its maker only";

  auto b = backend.create("usb-1-2", err);
  auto other = backend.create("usb-1-3", err);
  ASSERT_TRUE(b && other);
  ASSERT_TRUE(a->try_acquire());
  EXPECT_FALSE(b->try_acquire()) << "a second writer of the same camera was let in";
  EXPECT_TRUE(other->try_acquire()) << "another camera's lock is its own";
  a->release();
  EXPECT_TRUE(b->try_acquire());
  b->release();
  other->release();
}

// Something planted at a camera's name must neither be followed nor hang
// the opening; the lock is refused instead (nothing is written without it).
TEST(SharedFlockLock, PlantedNamesAreRefused) {
  SharedDirs d;
  const std::string victim = d.tmp.path() + "/victim";
  struct Case {
    const char* what;
    std::function<void(const std::string&)> plant;
  } cases[] = {
      {"a link to a missing file", [&](const std::string& at) { ASSERT_EQ(::symlink(victim.c_str(), at.c_str()), 0); }},
      {"a pipe", [](const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); }},
      {"a directory", [](const std::string& at) { ASSERT_EQ(::mkdir(at.c_str(), 0755), 0); }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string key = "usb-9-" + std::to_string(++n);
    c.plant(d.shared + "/" + SharedFlockLockBackend::file_name_for(key));
    SharedFlockLockBackend backend = d.backend();
    SysError err;
    EXPECT_EQ(backend.create(key, err), nullptr);
    EXPECT_NE(err.code, 0);
    EXPECT_NE(err.message.find(SharedFlockLockBackend::file_name_for(key)), std::string::npos)
        << err.message;
  }
  EXPECT_FALSE(std::filesystem::exists(victim)) << "the link was followed";
  EXPECT_FALSE(std::filesystem::exists(d.fallback)) << "a planted name must not fall back";
}

TEST(SharedFlockLock, AnUnusableSharedDirectoryFallsBackToThePrivateOne) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may create files in any directory";
  SharedDirs d;
  // A camera whose file exists already is locked there even when the
  // directory takes no new files (as after the packaging or root made it).
  {
    SharedFlockLockBackend backend = d.backend();
    SysError err;
    ASSERT_NE(backend.create("usb-1-1", err), nullptr) << err.message;
  }
  ASSERT_EQ(::chmod(d.shared.c_str(), 0555), 0);
  struct Case {
    std::string dir;
    const char* key;
    bool fallback;
  } cases[] = {
      {d.shared, "usb-1-1", false},
      {d.shared, "usb-1-2", true},
      {d.tmp.path() + "/missing", "usb-1-2", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir + " " + c.key);
    SharedFlockLockBackend backend(c.dir, std::make_unique<FlockLockBackend>(d.fallback));
    SysError err;
    auto lock = backend.create(c.key, err);
    ASSERT_NE(lock, nullptr) << err.message;
    EXPECT_EQ(err.code, 0);
    EXPECT_EQ(err.message.empty(), !c.fallback) << err.message;
    if (c.fallback) {
      EXPECT_NE(err.message.find("only this user"), std::string::npos) << err.message;
      EXPECT_TRUE(std::filesystem::exists(d.fallback + "/" +
                                          SharedFlockLockBackend::file_name_for(c.key)))
          << "the same name in the private directory";
    }
    EXPECT_TRUE(lock->try_acquire());
    lock->release();
  }
}

TEST(SharedFlockLock, AnotherProcessHoldsTheCameraUntilItEnds) {
  SharedDirs d;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    SharedFlockLockBackend backend = d.backend();
    SysError err;
    auto lock = backend.create("usb-2-1", err);
    const char ok = lock && lock->try_acquire() ? '1' : '0';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, '1') << "the child could not take the camera's lock";
  SharedFlockLockBackend backend = d.backend();
  SysError err;
  auto lock = backend.create("usb-2-1", err);
  ASSERT_NE(lock, nullptr) << err.message;
  EXPECT_FALSE(lock->try_acquire()) << "the camera another process writes was taken";
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(lock->try_acquire()) << "a dead writer's lock stayed taken";
  lock->release();
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
