// Fuzzes the names the bundle's tar writer takes: a name is stored whole in
// a header with a valid checksum, or refused with nothing appended.
#include <algorithm>
#include <cstdint>
#include <string>

#include "cli/tar_gz.h"
#include "fuzz/fuzz_file.h"

using lumavix::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 400) return 0;
  lumavix::cli::TarEntry entry;
  entry.name.assign(reinterpret_cast<const char*>(data), size);
  entry.data = "x";
  std::string archive = "prefix";
  if (!lumavix::cli::tar_append(archive, entry)) {
    check(archive == "prefix");
    return 0;
  }
  const std::string header = archive.substr(6, lumavix::cli::kTarBlock);
  check((archive.size() - 6) % lumavix::cli::kTarBlock == 0);
  // The checksum counts the checksum field as spaces.
  unsigned sum = 0;
  for (std::size_t i = 0; i < header.size(); ++i)
    sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(header[i]);
  check(std::stoul(header.substr(148, 7), nullptr, 8) == sum);
  const auto field = [&](std::size_t at, std::size_t n) {
    const std::string f = header.substr(at, n);
    return f.substr(0, f.find('\0'));
  };
  const std::string prefix = field(345, 155);
  const std::string stored = prefix.empty() ? field(0, 100) : prefix + "/" + field(0, 100);
  check(stored == entry.name);
  // No stored name climbs out of the folder it is unpacked in.
  check(!stored.empty() && stored.front() != '/');
  for (std::size_t at = 0; at <= stored.size();) {
    const std::size_t end = std::min(stored.find('/', at), stored.size());
    const std::string part = stored.substr(at, end - at);
    check(part != ".." && part != "." && !part.empty());
    at = end + 1;
  }
  return 0;
}
