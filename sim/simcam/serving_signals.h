// The signals of the programs that serve the simulated camera to the kernel
// (lumavix-simcam, lumavix-gadgetcam): SIGINT and SIGTERM end the service,
// SIGUSR1 unplugs and replugs the camera, SIGPIPE is taken rather than fatal.
#pragma once

#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace lumavix::sim {

// Blocks the four signals and returns a descriptor that reads them, so that
// they are seen between two events, never in the middle of answering one.
// -1 with `error` when they cannot be taken.
[[nodiscard]] inline int take_serving_signals(std::string& error) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGPIPE);
  if (::sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
    error = std::string("cannot block signals: ") + std::strerror(errno);
    return -1;
  }
  const int fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  if (fd < 0) error = std::string("cannot watch signals: ") + std::strerror(errno);
  return fd;
}

}  // namespace lumavix::sim
