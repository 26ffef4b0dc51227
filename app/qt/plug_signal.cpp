#include "app/qt/plug_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace lumavix {
namespace {

// [0] is written by the handler, [1] read by the window. One instance per
// process, like the handler itself.
int g_fds[2] = {-1, -1};

void on_sigusr1(int) {
  const int saved = errno;
  const char byte = 1;
  // A full socket buffer only drops a toggle the user asked for many times.
  [[maybe_unused]] const ssize_t n = ::write(g_fds[0], &byte, 1);
  errno = saved;
}

}  // namespace

PlugSignal::PlugSignal(QObject* parent) : QObject(parent) {
  if (g_fds[0] >= 0) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_fds) != 0) {
    g_fds[0] = g_fds[1] = -1;
    return;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_sigusr1;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (::sigaction(SIGUSR1, &sa, nullptr) != 0) {
    ::close(g_fds[0]);
    ::close(g_fds[1]);
    g_fds[0] = g_fds[1] = -1;
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(g_fds[1], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { drain(); });
}

PlugSignal::~PlugSignal() {
  if (!notifier_) return;
  notifier_.reset();
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  ::sigaction(SIGUSR1, &sa, nullptr);
  ::close(g_fds[0]);
  ::close(g_fds[1]);
  g_fds[0] = g_fds[1] = -1;
}

void PlugSignal::drain() {
  char buf[64];
  ssize_t n;
  int toggles = 0;
  while ((n = ::read(g_fds[1], buf, sizeof buf)) > 0) toggles += static_cast<int>(n);
  for (int i = 0; i < toggles; ++i) Q_EMIT toggleRequested();
}

}  // namespace lumavix
