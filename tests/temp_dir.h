// A scratch directory under $TMPDIR (or /tmp), removed with everything in it
// when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace lumavix::test {

class TempDir {
 public:
#ifdef _WIN32
  // The user's temporary folder; a name nobody has taken yet.
  TempDir() {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    for (unsigned i = 0; i < 1000 && path_.empty(); ++i) {
      const std::filesystem::path p =
          base / ("lumavix-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(i));
      if (std::filesystem::create_directory(p, ec)) path_ = p.string();
    }
  }
#else
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/lumavix-test-XXXXXX";
    if (char* made = ::mkdtemp(templ.data())) path_ = made;
  }
#endif
  ~TempDir() {
    std::error_code ec;
    // Directories a test made unreadable must be opened up before removal.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }

  // Writes `content` to path()/rel, creating the folders on the way.
  void write(const std::string& rel, const std::string& content) const {
    const std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }

  // Writes `bytes` to path()/rel; returns the file's path.
  std::string write_bytes(const std::string& rel, const std::vector<std::uint8_t>& bytes) const {
    write(rel, std::string(bytes.begin(), bytes.end()));
    return (std::filesystem::path(path_) / rel).string();
  }

 private:
  std::string path_;
};

// A test with a scratch folder of its own in `dir_`.
class TempDirTest : public ::testing::Test {
 protected:
  std::string write(const std::string& rel, const std::vector<std::uint8_t>& bytes) const {
    return tmp_.write_bytes(rel, bytes);
  }

  TempDir tmp_;
  std::filesystem::path dir_{tmp_.path()};
};

}  // namespace lumavix::test
