#include "devlib/file_io.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <system_error>

namespace lumavix {

std::filesystem::path path_from_utf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string path_to_utf8(const std::filesystem::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

std::FILE* open_file(const std::filesystem::path& p, const char* mode) {
#ifdef _WIN32
  const std::wstring wmode(mode, mode + std::char_traits<char>::length(mode));
  std::FILE* f = ::_wfopen(p.c_str(), wmode.c_str());
  // A name longer than a folder entry can hold is refused as such (the C
  // library would only say the file does not exist).
  if (f == nullptr) {
    for (const std::filesystem::path& part : p) {
      if (part.native().size() > 255) errno = ENAMETOOLONG;
    }
  }
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

}  // namespace lumavix
