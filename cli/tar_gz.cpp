// ustar and stored-block gzip; the contracts are in tar_gz.h.
#include "cli/tar_gz.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "firmware/image.h"

namespace lumavix::cli {
namespace {

// Octal digits of `v`, right-aligned in `width - 1` characters and a NUL.
bool put_octal(char* field, std::size_t width, std::uint64_t v) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + (v & 7)));
    v >>= 3;
  } while (v != 0);
  if (digits.size() > width - 1) return false;
  std::memset(field, '0', width - 1);
  std::memcpy(field + (width - 1 - digits.size()), digits.data(), digits.size());
  field[width - 1] = '\0';
  return true;
}

bool safe_name(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.back() == '/') return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return name.find('\0') == std::string_view::npos;
}

// Splits `name` into ustar's prefix and name fields.
bool split_name(std::string_view name, std::string_view& prefix, std::string_view& last) {
  if (name.size() <= 100) {
    prefix = {};
    last = name;
    return true;
  }
  // The latest '/' that leaves a prefix of at most 155 characters.
  for (std::size_t slash = std::min<std::size_t>(name.size() - 1, 155);; --slash) {
    if (name[slash] == '/' && name.size() - slash - 1 <= 100 && name.size() - slash - 1 > 0) {
      prefix = name.substr(0, slash);
      last = name.substr(slash + 1);
      return true;
    }
    if (slash == 0) return false;
  }
}

void put_le32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

bool tar_append(std::string& archive, const TarEntry& e) {
  std::string_view prefix, last;
  if (!safe_name(e.name) || !split_name(e.name, prefix, last)) return false;
  char h[kTarBlock] = {};
  if (!last.empty()) std::memcpy(h, last.data(), last.size());
  if (!put_octal(h + 100, 8, e.mode & 07777) || !put_octal(h + 108, 8, 0) ||
      !put_octal(h + 116, 8, 0) || !put_octal(h + 124, 12, e.data.size()) ||
      !put_octal(h + 136, 12, e.mtime < 0 ? 0 : static_cast<std::uint64_t>(e.mtime)))
    return false;
  h[156] = '0';  // a regular file
  std::memcpy(h + 257, "ustar", 6);
  std::memcpy(h + 263, "00", 2);
  // An empty view may carry no pointer at all, which memcpy must not get.
  if (!prefix.empty()) std::memcpy(h + 345, prefix.data(), prefix.size());
  // The checksum is taken with its own field read as spaces.
  std::memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  (void)put_octal(h + 148, 7, sum);  // six digits and a NUL; the space stays
  archive.append(h, sizeof h);
  archive.append(e.data);
  archive.append((kTarBlock - e.data.size() % kTarBlock) % kTarBlock, '\0');
  return true;
}

void tar_finish(std::string& archive) { archive.append(2 * kTarBlock, '\0'); }

std::string gzip_stored(std::string_view data, std::int64_t mtime) {
  std::string out;
  out.reserve(data.size() + data.size() / kStoredBlockMax * 5 + 32);
  // Magic, deflate, no optional fields.
  for (const char c : {'\x1f', '\x8b', '\x08', '\x00'}) out.push_back(c);
  put_le32(out, mtime > 0 && mtime <= 0xFFFFFFFFLL ? static_cast<std::uint32_t>(mtime) : 0);
  out.push_back('\x00');  // no compression level to report
  out.push_back('\x03');  // made on Unix
  std::size_t pos = 0;
  do {
    const std::size_t n = std::min(kStoredBlockMax, data.size() - pos);
    const bool final = pos + n == data.size();
    // BFINAL and BTYPE 00; a stored block then starts on the next byte.
    out.push_back(final ? '\x01' : '\x00');
    out.push_back(static_cast<char>(n & 0xFF));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(~n & 0xFF));
    out.push_back(static_cast<char>((~n >> 8) & 0xFF));
    out.append(data.substr(pos, n));
    pos += n;
  } while (pos < data.size());
  put_le32(out, Crc32(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
  put_le32(out, static_cast<std::uint32_t>(data.size()));
  return out;
}

}  // namespace lumavix::cli
