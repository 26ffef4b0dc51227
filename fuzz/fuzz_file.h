// A file per fuzzer process for the loaders that take a path: each input is
// written there before it is loaded.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace lumavix::fuzz {

inline const std::string& scratch_path(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  static const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumavix-fuzz-" +
                                  name + "-" + std::to_string(::getpid());
  return path;
}

inline void write_scratch(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) __builtin_trap();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) __builtin_trap();
  std::fclose(f);
}

inline void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace lumavix::fuzz
