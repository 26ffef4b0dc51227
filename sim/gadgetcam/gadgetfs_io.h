// The system calls lumavix-gadgetcam needs beyond platform/sys_call.h, one
// small wrapper each: EINTR retried, -errno returned.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace lumavix::sim {

[[nodiscard]] ssize_t sys_write(int fd, const void* buf, std::size_t len);
[[nodiscard]] int sys_mount_gadgetfs(const char* dir);
// Real-time FIFO scheduling for this process, at a low real-time priority.
[[nodiscard]] int sys_set_fifo_scheduling();
// The names in a directory other than "." and "..", sorted.
[[nodiscard]] int list_directory(const std::string& dir, std::vector<std::string>& out);

}  // namespace lumavix::sim
