// One small wrapper per system call for the Linux platform layers. Each
// retries EINTR and returns -errno on failure, so callers never read a stale
// errno and can carry the real cause up to the user.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumavix {

[[nodiscard]] int sys_open(const char* path, int flags, mode_t mode = 0);
// Never retried: Linux releases the descriptor even when close reports EINTR.
void sys_close(int fd);
// A second descriptor of the same open file, closed on exec.
[[nodiscard]] int sys_dup_cloexec(int fd);
[[nodiscard]] ssize_t sys_read(int fd, void* buf, std::size_t len);
[[nodiscard]] int sys_ioctl(int fd, unsigned long request, void* arg);

[[nodiscard]] std::string errno_text(int code);

// Reads a whole file of at most `limit` bytes: 0, -errno, or -EFBIG when it
// is longer. `out` is empty on failure.
[[nodiscard]] int read_file(const std::string& path, std::size_t limit,
                            std::vector<std::uint8_t>& out);

// The sentence shown when a camera's device node cannot be opened, for errno
// `code`: "permission denied on /dev/hidraw3", "... is gone (device
// unplugged)", "... is busy", or the system's text.
[[nodiscard]] std::string node_open_message(const std::string& path, int code);

}  // namespace lumavix
