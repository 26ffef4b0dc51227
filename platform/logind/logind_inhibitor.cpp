#include "platform/logind/logind_inhibitor.h"

#include <atomic>

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>
#include <QVariant>

#include "platform/sys_call.h"

namespace lumavix {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kInterface = "org.freedesktop.login1.Manager";
// What the update must not be cut by: suspend, hibernate, power-off and
// reboot; logind asks sessions to log out through the same shutdown lock.
constexpr const char* kWhat = "shutdown:sleep";
constexpr const char* kMode = "block";
constexpr int kCallTimeoutMs = 5000;

// One connection name per call: QtDBus shares connections by name.
QString NextConnectionName() {
  static std::atomic<int> serial{0};
  return QStringLiteral("lumavix-inhibit-%1").arg(++serial);
}

}  // namespace

LogindInhibitor::LogindInhibitor(std::string busAddress, std::string who)
    : busAddress_(std::move(busAddress)), who_(std::move(who)) {}

LogindInhibitor::~LogindInhibitor() { Release(); }

bool LogindInhibitor::Acquire(std::string_view why, std::string& error) {
  if (held()) return true;
  const QString name = NextConnectionName();
  bool ok = false;
  {
    QDBusConnection bus =
        busAddress_.empty()
            ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, name)
            : QDBusConnection::connectToBus(QString::fromStdString(busAddress_), name);
    if (!bus.isConnected()) {
      error = "no D-Bus system bus: " + bus.lastError().message().toStdString();
    } else {
      QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Inhibit");
      call << QString(kWhat) << QString::fromStdString(who_)
           << QString::fromUtf8(why.data(), static_cast<qsizetype>(why.size())) << QString(kMode);
      const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
      if (reply.type() != QDBusMessage::ReplyMessage) {
        error = "logind refused the inhibitor: " + reply.errorName().toStdString() + ": " +
                reply.errorMessage().toStdString();
      } else if (reply.arguments().size() != 1 ||
                 !reply.arguments().at(0).canConvert<QDBusUnixFileDescriptor>()) {
        error = "logind answered without a file descriptor";
      } else {
        const auto fd = reply.arguments().at(0).value<QDBusUnixFileDescriptor>();
        // The message's copy closes with it; the lock lives as long as ours.
        fd_ = fd.isValid() ? sys_dup_cloexec(fd.fileDescriptor()) : -1;
        ok = fd_ >= 0;
        if (!ok) error = "logind's file descriptor could not be kept";
      }
    }
  }
  QDBusConnection::disconnectFromBus(name);
  return ok;
}

void LogindInhibitor::Release() {
  if (fd_ < 0) return;
  sys_close(fd_);
  fd_ = -1;
}

std::unique_ptr<SleepInhibitor> MakeSystemSleepInhibitor(std::string who) {
  return std::make_unique<LogindInhibitor>(std::string(), std::move(who));
}

}  // namespace lumavix
