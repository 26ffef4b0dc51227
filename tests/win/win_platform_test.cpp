// The Windows platform layers against faked system calls: which HID
// interfaces are taken, how each failure of the system reaches the caller,
// and the named mutex's answers. The real calls are exercised where Wine can
// answer them (the named mutex between threads).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/internal/library_state.h"
#include "devlib/hid_transport.h"
#include "devlib/library_lock.h"
#include "fake_win_api.h"
#include "platform/win_hid.h"
#include "platform/win_instance.h"
#include "platform/win_lock.h"

namespace lumavix {
namespace {

using test::button_cap;
using test::FakeHidInterface;
using test::FakeWinApi;
using test::value_cap;

FakeHidInterface camera(const std::wstring& path) {
  FakeHidInterface f;
  f.path = path;
  f.feature_values = {value_cap(0x87, 4), value_cap(0x93, 40)};
  return f;
}

class WinHidTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(api_.open_handles, 0) << "every handle the layer opened is closed again";
    EXPECT_EQ(api_.open_preparsed, 0) << "every parser record is freed";
    EXPECT_EQ(api_.device_lists, 0) << "the SetupAPI list is destroyed";
  }
  std::vector<HidInterfaceInfo> list() {
    std::vector<HidInterfaceInfo> out;
    SysError err;
    EXPECT_TRUE(backend_.enumerate(out, err)) << err.message;
    return out;
  }

  FakeWinApi api_;
  WinHidBackend backend_{api_};
};

// Each interface is recognised from its parser capabilities by the same rule
// as a descriptor: reports 0x87 and 0x93, one to three data items.
TEST_F(WinHidTest, SelectionFollowsTheParserCapabilities) {
  struct Case {
    const char* what;
    FakeHidInterface iface;
    bool camera;
  };
  FakeHidInterface only87 = camera(L"\\\\?\\hid#only87");
  only87.feature_values = {value_cap(0x87, 4)};
  FakeHidInterface with97 = camera(L"\\\\?\\hid#with97");
  with97.feature_values.push_back(value_cap(0x97, 40));
  FakeHidInterface four_items = camera(L"\\\\?\\hid#range");
  four_items.feature_values = {value_cap(0x87, 4), value_cap(0x93, 40, 1, 3)};
  FakeHidInterface buttons = camera(L"\\\\?\\hid#buttons");
  buttons.feature_buttons = {button_cap(0x87), button_cap(0x87)};
  FakeHidInterface no_features = camera(L"\\\\?\\hid#keyboard");
  no_features.feature_values.clear();
  no_features.feature_length = 0;
  FakeHidInterface no_parser = camera(L"\\\\?\\hid#noparser");
  no_parser.no_preparsed = true;
  const std::vector<Case> cases = {
      {"reports 0x87 and 0x93", camera(L"\\\\?\\hid#cam"), true},
      {"report 0x87 only", only87, false},
      {"0x87, 0x93 and 0x97", with97, true},
      {"a range of three usages makes four data items", four_items, false},
      {"two button caps make four data items", buttons, false},
      {"no feature reports at all", no_features, false},
      {"no parser data", no_parser, false},
  };
  for (const Case& c : cases) api_.interfaces.push_back(c.iface);
  const std::vector<HidInterfaceInfo> got = list();
  ASSERT_EQ(got.size(), cases.size()) << "every interface is listed, camera or not";
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(hid_interface_is_camera(got[i]), cases[i].camera) << cases[i].what;
  EXPECT_EQ(got[0].vendor_id, 0x2A9C);
  EXPECT_EQ(got[0].product_id, 0x0E51);
  EXPECT_EQ(got[0].name, "LUMAVIX Q");
  ASSERT_TRUE(got[0].feature_caps.has_value());
  EXPECT_EQ(got[0].feature_caps->byte_length, 41) << "FeatureReportByteLength is kept";
}

// Interfaces that fail on the way are listed without capabilities or left
// out, and the rest of the list is still made.
TEST_F(WinHidTest, InterfacesThatFailAreSkippedNotFatal) {
  FakeHidInterface gone = camera(L"\\\\?\\hid#gone");
  gone.detail_error = ERROR_NO_SUCH_DEVINST;  // unplugged between two calls
  FakeHidInterface held = camera(L"\\\\?\\hid#held");
  held.inspect_error = ERROR_ACCESS_DENIED;
  api_.interfaces = {gone, held, camera(L"\\\\?\\hid#\u00e9cam")};
  const std::vector<HidInterfaceInfo> got = list();
  ASSERT_EQ(got.size(), 2u) << "the vanished interface is left out";
  EXPECT_EQ(got[0].path, "\\\\?\\hid#held");
  EXPECT_FALSE(got[0].feature_caps.has_value()) << "an interface that cannot be inspected";
  EXPECT_FALSE(hid_interface_is_camera(got[0]));
  EXPECT_EQ(got[1].path, "\\\\?\\hid#\xc3\xa9" "cam") << "wide paths travel as UTF-8";
  EXPECT_TRUE(hid_interface_is_camera(got[1]));
}

// The product string is a request to the device: asked of cameras only,
// once for each interface, however many passes list it.
TEST_F(WinHidTest, ProductStringsAreAskedOfCamerasOnceEach) {
  FakeHidInterface mouse = camera(L"\\\\?\\hid#mouse");
  mouse.feature_values.clear();
  api_.interfaces = {mouse, camera(L"\\\\?\\hid#cam")};
  for (int pass = 0; pass < 3; ++pass) {
    const std::vector<HidInterfaceInfo> got = list();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, "") << "a mouse is not asked its name";
    EXPECT_EQ(got[1].name, "LUMAVIX Q") << "pass " << pass << ": the camera keeps its name";
  }
  EXPECT_EQ(api_.product_reads, 1) << "one product-string request for three passes expected";
  api_.interfaces[1].product_id = 0x0E52;  // another camera at the same path
  api_.interfaces[1].product = L"LUMAVIX R";
  EXPECT_EQ(list()[1].name, "LUMAVIX R") << "another USB id is asked again";
}

TEST_F(WinHidTest, NoListAtAllIsAFailureWithTheSystemsReason) {
  api_.list_error = ERROR_INVALID_PARAMETER;
  std::vector<HidInterfaceInfo> out;
  SysError err;
  EXPECT_FALSE(backend_.enumerate(out, err));
  EXPECT_NE(err.message.find("the HID interfaces cannot be listed"), std::string::npos)
      << err.message;
  EXPECT_NE(err.message.find("Windows error 87"), std::string::npos) << err.message;
}

// An open that fails carries the Win32 cause up as a sentence and an errno.
TEST_F(WinHidTest, OpenFailuresNameTheirCause) {
  struct Case {
    DWORD error;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {ERROR_ACCESS_DENIED, EACCES, "access denied on \\\\?\\hid#cam"},
      {ERROR_FILE_NOT_FOUND, ENODEV, "is gone (device unplugged)"},
      {ERROR_DEVICE_NOT_CONNECTED, ENODEV, "is gone (device unplugged)"},
      {ERROR_SHARING_VIOLATION, EBUSY, "is busy"},
      {ERROR_NOT_READY, EIO, "Windows error 21"},
  };
  for (const Case& c : cases) {
    FakeHidInterface f = camera(L"\\\\?\\hid#cam");
    f.open_error = c.error;
    api_.interfaces = {f};
    SysError err;
    EXPECT_EQ(backend_.open("\\\\?\\hid#cam", err), nullptr) << c.says;
    EXPECT_EQ(err.code, c.code) << c.says;
    EXPECT_NE(err.message.find(c.says), std::string::npos)
        << "expected \"" << c.says << "\" in: " << err.message;
  }
}

// The library's probe over the layer: only the camera's interface is
// opened, and a refused one becomes the library's stated cause.
TEST_F(WinHidTest, ProbeOpensTheCameraAndReportsAccessDenied) {
  FakeHidInterface held = camera(L"\\\\?\\hid#held");
  held.open_error = ERROR_ACCESS_DENIED;
  FakeHidInterface mouse = camera(L"\\\\?\\hid#mouse");
  mouse.feature_values.clear();
  api_.interfaces = {mouse, held, camera(L"\\\\?\\hid#cam")};
  Platform p;
  p.hid = &backend_;
  set_platform(p);
  {
    HidDeviceList devices;
    EXPECT_EQ(hidreq_OpenAll(devices), 1u);
    EXPECT_EQ(devices.paths[0], "\\\\?\\hid#cam");
    const auto& causes = library_causes();
    EXPECT_TRUE(std::any_of(causes.begin(), causes.end(), [](const std::string& c) {
      return c.find("access denied on \\\\?\\hid#held") != std::string::npos;
    })) << "the refused interface is a stated cause";
    hidreq_CloseAll(devices);
  }
  set_platform({});
}

class WinHidDeviceTest : public WinHidTest {
 protected:
  void SetUp() override {
    api_.interfaces = {camera(L"\\\\?\\hid#cam")};
    SysError err;
    dev_ = backend_.open("\\\\?\\hid#cam", err);
    ASSERT_NE(dev_, nullptr) << err.message;
  }
  void TearDown() override {
    dev_.reset();
    WinHidTest::TearDown();
  }
  std::unique_ptr<HidDevice> dev_;
};

// Every report travels in a buffer of the interface's feature length (41
// here), the report id first and zero-filled past the report; a get hands
// back the reply's first bytes.
TEST_F(WinHidDeviceTest, ReportsTravelFullLengthWithTheirIdInByteZero) {
  EXPECT_TRUE(hidreq_SetFeature(dev_.get(), 0x87, std::vector<std::uint8_t>{1, 2, 3, 4}.data(), 4));
  ASSERT_EQ(api_.sets.size(), 1u);
  std::vector<std::uint8_t> sent(41, 0);
  sent[0] = 0x87;
  sent[1] = 1, sent[2] = 2, sent[3] = 3, sent[4] = 4;
  EXPECT_EQ(api_.sets[0], sent)
      << "a 4-byte payload is sent as 41 bytes: the report id, the payload, zeros";

  std::vector<std::uint8_t> reply(41);
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(0xA0 + i);
  api_.replies.push_back(reply);
  std::uint8_t out[40] = {};
  EXPECT_TRUE(hidreq_GetFeature(dev_.get(), 0x93, out, 40));
  api_.replies.push_back(reply);
  std::uint8_t short_out[5] = {0, 0, 0, 0, 0x55};
  EXPECT_TRUE(hidreq_GetFeature(dev_.get(), 0x87, short_out, 4));
  EXPECT_EQ(api_.get_lengths, (std::vector<std::size_t>{41, 41}))
      << "the 40-byte and the 4-byte get both ask for 41 bytes";
  EXPECT_EQ(out[0], 0xA0) << "the device's first reply byte lands in out[0]";
  EXPECT_EQ(out[39], 0xA0 + 39);
  EXPECT_EQ(short_out[3], 0xA3) << "a short report gets its own bytes of the reply";
  EXPECT_EQ(short_out[4], 0x55) << "and nothing past them";
}

// The fake is the class driver's gate: a buffer of the report's own length
// (as this layer once sent) is refused, and the refusal is no unplug.
TEST_F(WinHidDeviceTest, ShortBuffersAndRefusedRequestsAreNoUnplug) {
  std::uint8_t own_length[5] = {0x87, 1, 2, 3, 4};
  EXPECT_FALSE(api_.hid_set_feature(api_.last_device, own_length, 5));
  EXPECT_EQ(api_.last_error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
      << "a 5-byte buffer on a 41-byte interface is refused";
  EXPECT_FALSE(api_.hid_get_feature(api_.last_device, own_length, 5));
  EXPECT_EQ(api_.last_error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  api_.get_lengths.clear();

  api_.transfer_error = ERROR_GEN_FAILURE;  // the device stalled the request
  std::vector<std::uint8_t> report = {0x87, 9, 9, 9, 9};
  EXPECT_EQ(dev_->set_feature(report), -EIO);
  EXPECT_EQ(dev_->get_feature(report), -EIO);
  EXPECT_FALSE(hidreq_SetFeature(dev_.get(), 0x87, report.data() + 1, 4));
  EXPECT_EQ(last_transfer_error().code, EIO) << "a refused request is a transfer error";
  EXPECT_EQ(device_open_message("P", ERROR_GEN_FAILURE).find("unplugged"), std::string::npos)
      << device_open_message("P", ERROR_GEN_FAILURE);
}

// Lengths: nothing longer than the interface's feature reports reaches the
// driver, and a length the driver refuses comes back as EMSGSIZE.
TEST_F(WinHidDeviceTest, WrongLengthsAreRefused) {
  std::vector<std::uint8_t> too_long(42, 0);
  too_long[0] = 0x93;
  EXPECT_EQ(dev_->set_feature(too_long), -EMSGSIZE);
  EXPECT_EQ(dev_->get_feature(too_long), -EMSGSIZE);
  EXPECT_TRUE(api_.sets.empty() && api_.get_lengths.empty())
      << "an over-long report is refused before the driver sees it";
  EXPECT_EQ(dev_->set_feature({}), -EINVAL) << "an empty report has no room for its id";

  api_.transfer_error = ERROR_INVALID_USER_BUFFER;
  std::vector<std::uint8_t> report(5, 0);
  report[0] = 0x93;
  EXPECT_EQ(dev_->get_feature(report), -EMSGSIZE);
  api_.transfer_error = ERROR_INVALID_PARAMETER;
  EXPECT_EQ(dev_->set_feature(report), -EMSGSIZE);
}

// Failed transfers carry the Win32 cause as -errno; a get leaves the
// caller's buffer as it was.
TEST_F(WinHidDeviceTest, TransferFailuresCarryTheirCause) {
  struct Case {
    DWORD error;
    int code;
  };
  const Case cases[] = {{ERROR_DEVICE_NOT_CONNECTED, ENODEV},
                        {ERROR_BAD_COMMAND, ENODEV},
                        {ERROR_ACCESS_DENIED, EACCES},
                        {ERROR_SEM_TIMEOUT, ETIMEDOUT},
                        {ERROR_CRC, EIO}};
  for (const Case& c : cases) {
    api_.transfer_error = c.error;
    std::vector<std::uint8_t> report = {0x87, 9, 9, 9, 9};
    EXPECT_EQ(dev_->set_feature(report), -c.code) << "Windows error " << c.error;
    EXPECT_EQ(dev_->get_feature(report), -c.code) << "Windows error " << c.error;
    std::uint8_t out[4] = {7, 7, 7, 7};
    EXPECT_FALSE(hidreq_GetFeature(dev_.get(), 0x87, out, 4));
    EXPECT_EQ(out[0], 7) << "a failed get leaves the buffer untouched";
  }
}

// ------------------------------------------------------------- named mutex --

class WinLockTest : public ::testing::Test {
 protected:
  std::unique_ptr<NamedLock> make(const std::string& name = kLibraryLockName) {
    SysError err;
    auto lock = backend_.create(name, err);
    EXPECT_NE(lock, nullptr) << err.message;
    return lock;
  }
  FakeWinApi api_;
  WinMutexLockBackend backend_{api_};
};

TEST_F(WinLockTest, WaitAnswersDecideTheAcquisition) {
  struct Case {
    const char* what;
    DWORD answer;
    bool acquired;
  };
  // The session's mutex answers first, then the machine-wide one.
  const struct {
    const char* what;
    std::deque<DWORD> answers;
    bool acquired;
    int releases;
  } cases[] = {
      {"both free", {WAIT_OBJECT_0, WAIT_OBJECT_0}, true, 2},
      {"abandoned by a holder that died counts as acquired", {WAIT_ABANDONED, WAIT_ABANDONED},
       true, 2},
      {"held by another process of this session", {WAIT_TIMEOUT}, false, 0},
      {"the wait itself failed", {WAIT_FAILED}, false, 0},
      {"held in another session: the session's mutex is given back", {WAIT_OBJECT_0, WAIT_TIMEOUT},
       false, 1},
  };
  for (const auto& c : cases) {
    auto lock = make("case lock");
    api_.wait_results = c.answers;
    const int releases = api_.releases;
    EXPECT_EQ(lock->try_acquire(), c.acquired) << c.what;
    lock->release();
    EXPECT_EQ(api_.releases - releases, c.releases)
        << c.what << ": each mutex is released exactly when it was taken";
    EXPECT_TRUE(api_.wait_results.empty()) << c.what << ": every answer expected asked for";
  }
}

// Both names are opened with the rights a lock needs; the machine-wide one
// is made so that every session can open it, and one that this process may
// not open (made by an older copy as administrator) leaves the lock to the
// session's name, as before.
TEST_F(WinLockTest, TheMachineWideNameIsOpenToEverySession) {
  { auto lock = make("shared lock"); }
  ASSERT_EQ(api_.mutex_names,
            (std::vector<std::wstring>{L"shared lock", L"Global\\shared lock"}));
  EXPECT_FALSE(api_.mutex_objects[L"shared lock"].every_session)
      << "the session's name keeps its default security";
  EXPECT_TRUE(api_.mutex_objects[L"Global\\shared lock"].every_session);

  api_.mutex_objects[L"Global\\peer lock"] = {false, true};  // another session's copy
  {
    auto lock = make("peer lock");
    api_.wait_results = {WAIT_OBJECT_0, WAIT_TIMEOUT};
    EXPECT_FALSE(lock->try_acquire()) << "held by a copy in another session";
  }
  api_.mutex_objects[L"Global\\old lock"] = {false, false};  // an elevated older copy's
  auto lock = make("old lock");
  const int waits = api_.waits;
  EXPECT_TRUE(lock->try_acquire());
  EXPECT_EQ(api_.waits - waits, 1) << "only the session's mutex is there to take";
  lock->release();
}

// The window's single-instance check: another copy is running when either
// name is there, or there and out of reach; anything else lets it run.
TEST(WinInstanceMutexTest, AnotherCopyIsFoundByEitherNameOrAnAccessDenied) {
  const std::wstring local = L"LUMAVIX_Firmware_Update_Tool";
  const std::wstring global = L"Global\\LUMAVIX_Firmware_Update_Tool";
  const struct {
    const char* what;
    std::map<std::wstring, FakeWinApi::MutexObject> there;
    DWORD create_error;
    InstanceLock seen;
  } cases[] = {
      {"no copy anywhere", {}, 0, InstanceLock::Taken},
      {"a copy in this session", {{local, {true, false}}}, 0, InstanceLock::HeldByRunningCopy},
      {"a copy started as administrator", {{local, {false, false}}}, 0,
       InstanceLock::HeldByRunningCopy},
      {"a copy in another session", {{global, {false, true}}}, 0, InstanceLock::HeldByRunningCopy},
      {"an elevated copy in another session", {{global, {false, false}}}, 0,
       InstanceLock::HeldByRunningCopy},
      {"no mutex can be made at all", {}, ERROR_INVALID_HANDLE, InstanceLock::Unavailable},
  };
  for (const auto& c : cases) {
    FakeWinApi api;
    api.mutex_objects = c.there;
    api.create_mutex_error = c.create_error;
    {
      const WinInstanceMutex instance("LUMAVIX_Firmware_Update_Tool", api);
      EXPECT_EQ(instance.seen(), c.seen) << c.what;
    }
    EXPECT_EQ(api.open_handles, 0) << c.what << ": the handles expected closed";
  }
  FakeWinApi api;
  const WinInstanceMutex first("LUMAVIX_Firmware_Update_Tool", api);
  EXPECT_EQ(first.seen(), InstanceLock::Taken);
  EXPECT_EQ(WinInstanceMutex("LUMAVIX_Firmware_Update_Tool", api).seen(),
            InstanceLock::HeldByRunningCopy)
      << "a second start while the first runs";
  EXPECT_TRUE(api.mutex_objects[global].every_session);
}

TEST_F(WinLockTest, HandlesOfOneProcessExcludeEachOtherWithoutNesting) {
  auto a = make("shared");
  auto b = make("shared");
  ASSERT_TRUE(a->try_acquire());
  const int waits = api_.waits;
  EXPECT_FALSE(a->try_acquire()) << "the lock does not nest";
  EXPECT_FALSE(b->try_acquire()) << "a second handle of the same name is excluded";
  EXPECT_EQ(api_.waits, waits) << "the mutex (which would nest for this thread) is not asked";
  b->release();
  EXPECT_EQ(api_.releases, 0) << "a release through a handle that holds nothing frees nothing";
  a->release();
  EXPECT_TRUE(b->try_acquire());
  b->release();
}

TEST_F(WinLockTest, MutexTimeOutEndsTheLibrarysWait) {
  VirtualClock clock;
  set_clock(&clock);
  for (int i = 0; i < 5000; ++i) api_.wait_results.push_back(WAIT_TIMEOUT);
  SysError err;
  auto lock = LibraryLock::open(&backend_, err);
  ASSERT_NE(lock, nullptr) << err.message;
  const std::uint32_t start = clock.ticks_ms();
  EXPECT_FALSE(lock->wait(kLockTimeoutMs));
  EXPECT_EQ(clock.ticks_ms() - start, kLockTimeoutMs) << "the wait gives up after its time-out";
  api_.wait_results = {WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_ABANDONED};
  EXPECT_TRUE(lock->wait(kLockTimeoutMs)) << "an abandoned mutex ends the wait as acquired";
  lock->release();
  set_clock(nullptr);
  ASSERT_EQ(api_.mutex_names.size(), 2u);
  EXPECT_EQ(api_.mutex_names[0], L"Kavex VideoClass HidClass Library") << "the name peers know";
  EXPECT_EQ(api_.mutex_names[1], L"Global\\Kavex VideoClass HidClass Library");
}

TEST_F(WinLockTest, CreateFailuresAndNames) {
  api_.create_mutex_error = ERROR_INVALID_HANDLE;  // the name belongs to another kind of object
  SysError err;
  EXPECT_EQ(backend_.create("taken", err), nullptr);
  EXPECT_NE(err.message.find("cannot create the lock \"taken\""), std::string::npos)
      << err.message;
  EXPECT_EQ(backend_.create("", err), nullptr) << "a lock needs a name";
  EXPECT_EQ(WinMutexLockBackend::object_name_for("a\\b"), L"a_b")
      << "a backslash would name a namespace";
}

// The real machine-wide mutex with its security descriptor, made and opened
// again with the lock's rights only.
TEST(WinSystemLock, TheMachineWideMutexCanBeMadeAndOpenedAgain) {
  WinApi& api = system_win_api();
  const std::wstring name = L"Global\\lumavix test " + std::to_wstring(::GetCurrentProcessId());
  const HANDLE made = api.create_mutex(name, true);
  ASSERT_NE(made, nullptr) << win32_error_text(api.last_error());
  const HANDLE again = api.create_mutex(name, true);
  ASSERT_NE(again, nullptr) << win32_error_text(api.last_error());
  EXPECT_EQ(api.last_error(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(api.wait_for(again, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(api.release_mutex(again)) << "released through the rights it was opened with";
  api.close_handle(again);
  api.close_handle(made);
}

// The real mutex, as Wine gives it: two threads with a handle each.
TEST(WinSystemLock, ExcludesAnotherThreadAndIsFreeAfterRelease) {
  WinMutexLockBackend backend;
  SysError err;
  const std::string name = "lumavix test lock " + std::to_string(::GetCurrentProcessId());
  auto mine = backend.create(name, err);
  ASSERT_NE(mine, nullptr) << err.message;
  ASSERT_TRUE(mine->try_acquire());
  bool other_got_it = true;
  std::thread([&] {
    auto theirs = backend.create(name, err);
    other_got_it = theirs && theirs->try_acquire();
    if (other_got_it) theirs->release();
  }).join();
  EXPECT_FALSE(other_got_it) << "a held lock excludes another thread's handle";
  mine->release();
  std::thread([&] {
    auto theirs = backend.create(name, err);
    other_got_it = theirs && theirs->try_acquire();
    if (other_got_it) theirs->release();
  }).join();
  EXPECT_TRUE(other_got_it) << "a released lock is free for another thread";
}

}  // namespace
}  // namespace lumavix
