#include "sim/gadgetcam/gadgetfs_io.h"

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lumavix::sim {

ssize_t sys_write(int fd, const void* buf, std::size_t len) {
  for (;;) {
    const ssize_t n = ::write(fd, buf, len);
    if (n >= 0 || errno != EINTR) return n >= 0 ? n : -errno;
  }
}

int sys_mount_gadgetfs(const char* dir) {
  for (;;) {
    const int r = ::mount("gadgetfs", dir, "gadgetfs", 0, nullptr);
    if (r == 0 || errno != EINTR) return r == 0 ? 0 : -errno;
  }
}

int sys_set_fifo_scheduling() {
  sched_param p{};
  p.sched_priority = 10;
  return ::sched_setscheduler(0, SCHED_FIFO, &p) == 0 ? 0 : -errno;
}

int list_directory(const std::string& dir, std::vector<std::string>& out) {
  out.clear();
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -errno;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      out.emplace_back(e->d_name);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return 0;
}

}  // namespace lumavix::sim
