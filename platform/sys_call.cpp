#include "platform/sys_call.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lumavix {

int sys_open(const char* path, int flags, mode_t mode) {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd >= 0 ? fd : -errno;
  }
}

int sys_dup_cloexec(int fd) {
  const int r = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return r < 0 ? -errno : r;
}

void sys_close(int fd) {
  if (fd >= 0) ::close(fd);
}

ssize_t sys_read(int fd, void* buf, std::size_t len) {
  for (;;) {
    const ssize_t n = ::read(fd, buf, len);
    if (n >= 0 || errno != EINTR) return n >= 0 ? n : -errno;
  }
}

int sys_ioctl(int fd, unsigned long request, void* arg) {
  for (;;) {
    const int r = ::ioctl(fd, request, arg);
    if (r >= 0 || errno != EINTR) return r >= 0 ? r : -errno;
  }
}

std::string errno_text(int code) { return std::strerror(code); }

int read_file(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out) {
  out.clear();
  const int fd = sys_open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fd;
  int result = 0;
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = sys_read(fd, chunk, sizeof chunk);
    if (n < 0) {
      result = static_cast<int>(n);
      break;
    }
    if (n == 0) break;
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      result = -EFBIG;
      break;
    }
    out.insert(out.end(), chunk, chunk + n);
  }
  sys_close(fd);
  if (result < 0) out.clear();
  return result;
}

std::string node_open_message(const std::string& path, int code) {
  switch (code) {
    case EACCES:
    case EPERM:
      return "permission denied on " + path;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return path + " is gone (device unplugged)";
    case EBUSY:
      return path + " is busy";
    default:
      return "cannot open " + path + ": " + errno_text(code);
  }
}

}  // namespace lumavix
