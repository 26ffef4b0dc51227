// The logind inhibitor against a stand-in logind on a private bus (no
// system bus needed): what it asks for, that it holds the lock until
// Release, and that it reports, without throwing or blocking, a bus without
// logind, a refusing logind and a bus that is not there.
#if defined(LUMAVIX_HAVE_LOGIND)

#include "platform/logind/logind_inhibitor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace lumavix {
namespace {

const char* const kScript = LUMAVIX_TEST_DATA_DIR "/logind/fake_logind.py";

struct Lock {
  std::string what, who, why, mode;
  bool held = false;
};

class LogindInhibitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/dbus-daemon"))
      GTEST_SKIP() << "dbus-daemon not installed (Debian package dbus-daemon)";
    QProcess probe;
    probe.start("/usr/bin/python3", {"-c", "import dbus, gi.repository.GLib"});
    if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
      GTEST_SKIP() << "python3-dbus or python3-gi not installed";
    ASSERT_TRUE(dir_.isValid());
    address_ = "unix:path=" + dir_.filePath("bus").toStdString();
    daemon_.start("/usr/bin/dbus-daemon",
                  {"--session", "--nofork", "--nopidfile",
                   QString::fromStdString("--address=" + address_), "--print-address=1"});
    ASSERT_TRUE(daemon_.waitForReadyRead(10000)) << "the private bus expected to start";
    const std::string printed = daemon_.readLine().trimmed().toStdString();
    ASSERT_FALSE(printed.empty()) << "the bus daemon expected to print its address";
    address_ = printed;
  }

  void TearDown() override {
    for (QProcess* p : {&logind_, &daemon_}) {
      if (p->state() != QProcess::NotRunning) {
        p->terminate();
        if (!p->waitForFinished(3000)) p->kill();
        p->waitForFinished(3000);
      }
    }
    QDBusConnection::disconnectFromBus("lumavix-test-query");
  }

  void StartLogind(bool refuse = false) {
    QStringList args{kScript, QString::fromStdString(address_)};
    if (refuse) args << "--refuse";
    logind_.start("/usr/bin/python3", args);
    ASSERT_TRUE(logind_.waitForReadyRead(10000))
        << "the stand-in logind expected to start: " << logind_.readAllStandardError().toStdString();
    ASSERT_EQ(logind_.readLine().trimmed().toStdString(), "ready");
  }

  std::vector<Lock> Locks() {
    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromStdString(address_), "lumavix-test-query");
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
        "org.freedesktop.login1", "/org/freedesktop/login1", "com.lumavix.test.FakeLogind",
        "Locks"));
    std::vector<Lock> out;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      ADD_FAILURE() << "the stand-in logind expected to answer: "
                    << reply.errorMessage().toStdString();
      return out;
    }
    const QDBusArgument arg = reply.arguments().at(0).value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
      Lock l;
      QString what, who, why, mode;
      arg.beginStructure();
      arg >> what >> who >> why >> mode >> l.held;
      arg.endStructure();
      l.what = what.toStdString();
      l.who = who.toStdString();
      l.why = why.toStdString();
      l.mode = mode.toStdString();
      out.push_back(l);
    }
    arg.endArray();
    return out;
  }

  QTemporaryDir dir_;
  std::string address_;
  QProcess daemon_;
  QProcess logind_;
};

TEST_F(LogindInhibitorTest, BlocksShutdownAndSleepUntilReleased) {
  StartLogind();
  if (HasFatalFailure()) return;
  LogindInhibitor inhibitor(address_, "lumavix-test");
  std::string error;
  ASSERT_TRUE(inhibitor.Acquire("Updating the camera's firmware", error)) << error;
  EXPECT_TRUE(inhibitor.held());
  EXPECT_TRUE(inhibitor.Acquire("again", error)) << "a second Acquire keeps the one lock";

  std::vector<Lock> locks = Locks();
  ASSERT_EQ(locks.size(), 1u) << "exactly one inhibitor expected to be asked for";
  EXPECT_EQ(locks[0].what, "shutdown:sleep");
  EXPECT_EQ(locks[0].who, "lumavix-test");
  EXPECT_EQ(locks[0].why, "Updating the camera's firmware");
  EXPECT_EQ(locks[0].mode, "block");
  EXPECT_TRUE(locks[0].held) << "the lock expected to be held until Release";

  inhibitor.Release();
  EXPECT_FALSE(inhibitor.held());
  locks = Locks();
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_FALSE(locks[0].held) << "Release expected to close the lock's descriptor";
}

TEST_F(LogindInhibitorTest, TheDestructorReleasesALockStillHeld) {
  StartLogind();
  if (HasFatalFailure()) return;
  {
    LogindInhibitor inhibitor(address_, "lumavix-test");
    std::string error;
    ASSERT_TRUE(inhibitor.Acquire("x", error)) << error;
  }
  const std::vector<Lock> locks = Locks();
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_FALSE(locks[0].held) << "a front end that ends mid-run must not leave the lock held";
}

TEST_F(LogindInhibitorTest, WithoutAUsableLogindAcquireFailsAndSaysWhy) {
  struct Case {
    const char* name;
    bool logind;
    bool refuse;
    std::string address;
    const char* why;  // expected in the error text
  };
  const Case cases[] = {
      {"bus without logind", false, false, address_, "logind"},
      {"logind refuses", true, true, address_, "AccessDenied"},
      {"no bus at all", false, false, "unix:path=" + dir_.filePath("nobus").toStdString(),
       "no D-Bus"},
  };
  for (const Case& c : cases) {
    if (c.logind && logind_.state() == QProcess::NotRunning) StartLogind(c.refuse);
    if (HasFatalFailure()) return;
    LogindInhibitor inhibitor(c.address, "lumavix-test");
    std::string error;
    EXPECT_FALSE(inhibitor.Acquire("x", error)) << c.name << ": no lock expected";
    EXPECT_FALSE(inhibitor.held()) << c.name;
    EXPECT_NE(error.find(c.why), std::string::npos)
        << c.name << ": the error expected to mention \"" << c.why << "\", is \"" << error
        << "\"";
  }
}

}  // namespace
}  // namespace lumavix

#endif  // LUMAVIX_HAVE_LOGIND
