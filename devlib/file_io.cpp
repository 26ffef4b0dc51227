#include "devlib/file_io.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h:
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <random>
#include <system_error>

namespace lumavix {

std::filesystem::path path_from_utf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string path_to_utf8(const std::filesystem::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

#ifdef _WIN32
namespace {
// A name longer than a folder entry can hold is refused as such: the C
// library would only say that the file does not exist.
void name_too_long_as_such(const std::filesystem::path& p) {
  for (const std::filesystem::path& part : p) {
    if (part.native().size() > 255) errno = ENAMETOOLONG;
  }
}
}  // namespace
#endif

std::FILE* open_file(const std::filesystem::path& p, const char* mode) {
#ifdef _WIN32
  const std::wstring wmode(mode, mode + std::char_traits<char>::length(mode));
  std::FILE* f = ::_wfopen(p.c_str(), wmode.c_str());
  if (f == nullptr) name_too_long_as_such(p);
  return f;
#else
  return std::fopen(p.c_str(), mode);
#endif
}

int replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef _WIN32
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 0;
  const DWORD e = ::GetLastError();
  return e == ERROR_ACCESS_DENIED ? EACCES : e == ERROR_PATH_NOT_FOUND ? ENOENT : EIO;
#else
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
#endif
}

void remove_file(const std::filesystem::path& p) {
  std::error_code ec;
  std::filesystem::remove(p, ec);
}

std::filesystem::path program_file() {
#ifdef _WIN32
  // Long paths: the buffer grows until the whole name fits.
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return std::filesystem::path(buf.substr(0, n));
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 2);
  }
#else
  std::error_code ec;
  std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
#endif
}

std::string read_error_text(int error) {
  if (error == kNotRegularFileError)
    return "it is not a regular file (a FIFO, a device, a socket or a folder)";
  return std::strerror(error);
}

namespace {

InputFile input_refused(const std::filesystem::path& p, int error, const char* what) {
  InputFile f;
  f.error = error;
  f.message = error == kNotRegularFileError
                  ? path_to_utf8(p) +
                        " is not a regular file (a FIFO, a device, a socket or a folder); it "
                        "was not read"
                  : std::string(what) + " " + path_to_utf8(p) + ": " + std::strerror(error);
  return f;
}

// The bytes read so far grow by doubling up to `want`, so that a large
// limit costs nothing for a small file.
void grow(std::vector<std::uint8_t>& buf, std::size_t want) {
  buf.resize(std::min(want, std::max<std::size_t>(buf.size() * 2, 65536)));
}

void keep_read(InputFile& f, std::vector<std::uint8_t>& buf, std::size_t got, std::size_t limit,
               std::uint64_t file_length) {
  buf.resize(std::min(got, limit));
  f.bytes = std::move(buf);
  f.size = got;
  // A regular file longer than the limit: its own length, as it was opened.
  if (got > limit && !f.pipe) f.size = std::max<std::uint64_t>(file_length, got);
}

#ifdef _WIN32
int errno_of(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}
#endif

}  // namespace

InputFile read_input_file(const std::filesystem::path& p, std::size_t limit, InputKind kind) {
  const bool pipes = kind == InputKind::kRegularFileOrPipe;
  const std::size_t want = limit == SIZE_MAX ? limit : limit + 1;
  std::vector<std::uint8_t> buf;
  std::size_t got = 0;
#ifdef _WIN32
  // A folder is refused by name: CreateFileW opens none without backup
  // semantics, and would only say "access denied".
  const DWORD attrs = ::GetFileAttributesW(p.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return input_refused(p, kNotRegularFileError, "cannot open");
  HANDLE h = ::CreateFileW(p.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    int e = errno_of(::GetLastError());
    errno = e;
    name_too_long_as_such(p);
    e = errno;
    return input_refused(p, e, "cannot open");
  }
  // The handle's own type decides: a console, a printer port or a pipe
  // where none is taken is refused.
  bool accepted = false;
  bool pipe = false;
  std::uint64_t length = 0;
  const DWORD type = ::GetFileType(h);
  if (type == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION info{};
    accepted = ::GetFileInformationByHandle(h, &info) != 0 &&
               (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    length = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  } else if (type == FILE_TYPE_PIPE && pipes) {
    accepted = true;
    pipe = true;
  }
  if (!accepted) {
    ::CloseHandle(h);
    return input_refused(p, kNotRegularFileError, "cannot open");
  }
  InputFile f;
  f.pipe = pipe;
  int err = 0;
  for (;;) {
    if (got == buf.size()) {
      if (buf.size() >= want) break;
      grow(buf, want);
    }
    const DWORD chunk =
        static_cast<DWORD>(std::min<std::size_t>(buf.size() - got, std::size_t{1} << 30));
    DWORD n = 0;
    if (!::ReadFile(h, buf.data() + got, chunk, &n, nullptr)) {
      const DWORD e = ::GetLastError();
      if (e != ERROR_BROKEN_PIPE && e != ERROR_HANDLE_EOF) err = errno_of(e);
      break;
    }
    if (n == 0) break;
    got += n;
  }
  ::CloseHandle(h);
#else
  auto acceptable = [pipes](mode_t m) { return S_ISREG(m) || (pipes && S_ISFIFO(m)); };
  // The path's type first, so that a device node is not even opened (the
  // open of some has effects of its own); the descriptor's type then decides.
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return input_refused(p, errno, "cannot open");
  if (!acceptable(st.st_mode)) return input_refused(p, kNotRegularFileError, "cannot open");
  int fd = -1;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return input_refused(p, errno, "cannot open");
  if (::fstat(fd, &st) != 0 || !acceptable(st.st_mode)) {
    const int e = acceptable(st.st_mode) ? errno : kNotRegularFileError;
    ::close(fd);
    return input_refused(p, e, "cannot open");
  }
  // Reads wait again: a pipe whose writer is there is read to its end.
  if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0)
    (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  InputFile f;
  f.pipe = S_ISFIFO(st.st_mode);
  const std::uint64_t length = static_cast<std::uint64_t>(st.st_size);
  int err = 0;
  for (;;) {
    if (got == buf.size()) {
      if (buf.size() >= want) break;
      grow(buf, want);
    }
    const ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
#endif
  if (err != 0) return input_refused(p, err, "cannot read");
  keep_read(f, buf, got, limit, length);
  return f;
}

namespace {

WriteError system_error(int e, std::string what) {
  WriteError w;
  w.kind = WriteError::Kind::kSystem;
  w.error = e;
  w.message = std::move(what) + ": " + std::strerror(e);
  return w;
}

// Six random letters and digits: a name no one can plant in advance.
std::string unique_suffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 gen{std::random_device{}() ^
                             static_cast<std::uint64_t>(
                                 std::chrono::steady_clock::now().time_since_epoch().count())};
  std::string s;
  for (int i = 0; i < 6; ++i) s += kChars[gen() % (sizeof kChars - 1)];
  return s;
}

int write_all(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
#ifdef _WIN32
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1 << 30);
    const int n = ::_write(fd, bytes.data() + done, static_cast<unsigned>(chunk));
#else
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
#endif
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int close_fd(int fd) {
#ifdef _WIN32
  return ::_close(fd) == 0 ? 0 : errno;
#else
  return ::close(fd) == 0 ? 0 : errno;
#endif
}

// Opens a new temporary file beside `target`; -1 with `err` set when none
// can be made.
int open_temp(const std::filesystem::path& target, std::filesystem::path& temp, int& err) {
  std::filesystem::path folder = target.parent_path();
  const std::filesystem::path name = target.filename();
  for (int tries = 0; tries < 100; ++tries) {
    temp = folder / path_from_utf8(path_to_utf8(name) + "." + unique_suffix() + ".part");
#ifdef _WIN32
    const int fd = ::_wopen(temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                            _S_IREAD | _S_IWRITE);
    if (fd < 0) name_too_long_as_such(temp);
#else
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600);
#endif
    if (fd >= 0) return fd;
    err = errno;
    if (err != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

WriteError check_write_target(const std::filesystem::path& target) {
  std::error_code ec;
  const std::filesystem::file_status link = std::filesystem::symlink_status(target, ec);
  if (ec || link.type() == std::filesystem::file_type::not_found) return {};
  const std::filesystem::file_status st = std::filesystem::status(target, ec);
  if (!ec && st.type() == std::filesystem::file_type::regular) return {};
  WriteError w;
  w.kind = WriteError::Kind::kNotRegularFile;
  w.message = path_to_utf8(target) + " exists and is not a regular file; it was left alone";
  return w;
}

WriteError create_temp_beside(const std::filesystem::path& target, std::filesystem::path& temp) {
  if (WriteError w = check_write_target(target); w.failed()) return w;
  int err = 0;
  const int fd = open_temp(target, temp, err);
  if (fd < 0) return system_error(err, "cannot create a temporary file beside " + path_to_utf8(target));
  if (const int e = close_fd(fd); e != 0) {
    remove_file(temp);
    return system_error(e, "cannot create " + path_to_utf8(temp));
  }
  return {};
}

WriteError commit_temp_file(const std::filesystem::path& temp, const std::filesystem::path& target,
                            FileAccess access) {
  // A target that became a device node or a folder while the file was
  // written is refused all the same.
  WriteError w = check_write_target(target);
  if (!w.failed()) {
#ifndef _WIN32
    if (access == FileAccess::kUmask) {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      if (::chmod(temp.c_str(), 0666 & ~mask) != 0)
        w = system_error(errno, "cannot set the permissions of " + path_to_utf8(temp));
    }
#else
    (void)access;
#endif
  }
  if (!w.failed()) {
    if (const int e = replace_file(temp, target); e != 0)
      w = system_error(e, "cannot create " + path_to_utf8(target));
  }
  if (w.failed()) remove_file(temp);
  return w;
}

WriteError write_file_atomically(const std::filesystem::path& target, std::string_view bytes,
                                 FileAccess access) {
  if (WriteError w = check_write_target(target); w.failed()) return w;
  std::filesystem::path temp;
  int err = 0;
  const int fd = open_temp(target, temp, err);
  if (fd < 0) return system_error(err, "cannot create a temporary file beside " + path_to_utf8(target));
  int e = write_all(fd, bytes);
#ifdef _WIN32
  if (e == 0 && ::_commit(fd) != 0) e = errno;
#else
  if (e == 0 && ::fsync(fd) != 0) e = errno;
#endif
  if (const int c = close_fd(fd); e == 0) e = c;
  if (e != 0) {
    remove_file(temp);
    return system_error(e, "cannot write " + path_to_utf8(target));
  }
  return commit_temp_file(temp, target, access);
}

WriteError write_file_atomically(const std::filesystem::path& target,
                                 const std::vector<std::uint8_t>& bytes, FileAccess access) {
  return write_file_atomically(
      target, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), access);
}

int create_private_folder(const std::filesystem::path& dir) {
  std::error_code ec;
  if (dir.has_parent_path()) std::filesystem::create_directories(dir.parent_path(), ec);
#ifdef _WIN32
  // A new folder takes the user's profile permissions from its parent.
  std::filesystem::create_directory(dir, ec);
  return ec ? ec.value() : 0;
#else
  if (::mkdir(dir.c_str(), 0700) == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  // Made by an earlier version, or by a writer that used the umask.
  if (st.st_uid == ::getuid() && (st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
    return errno;
  return 0;
#endif
}

}  // namespace lumavix
