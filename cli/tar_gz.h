// A .tar.gz archive written without a compression library: a ustar archive
// of regular files, wrapped in a gzip member whose deflate stream is made of
// stored (uncompressed) blocks. Every tar and gzip reader takes it; the
// archive is only as large as its contents plus headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumavix::cli {

inline constexpr std::size_t kTarBlock = 512;
// Longest stored deflate block.
inline constexpr std::size_t kStoredBlockMax = 65535;

struct TarEntry {
  // Relative, '/'-separated, no "." or ".." parts; at most 100 characters,
  // or a folder part of at most 155 and a last part of at most 100.
  std::string name;
  std::string_view data;
  std::uint32_t mode = 0644;
  std::int64_t mtime = 0;  // seconds since 1970
};

// Appends one member (its header, then the data padded to whole blocks).
// False, with nothing appended, when the name cannot be stored.
[[nodiscard]] bool tar_append(std::string& archive, const TarEntry& entry);

// Appends the two zero blocks that end an archive.
void tar_finish(std::string& archive);

// One gzip member holding `data`, with its CRC-32 and length.
[[nodiscard]] std::string gzip_stored(std::string_view data, std::int64_t mtime);

}  // namespace lumavix::cli
