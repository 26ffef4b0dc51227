// Bad input through lumavix-fw, run as a separate process against a
// simulated camera kept in a state file: every damaged firmware file, bad
// path or unwritable output gives a clear message and a usage or failure
// status, and neither the camera nor the user's files lose anything.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kCamera = "--simulate=q,latency-us=0,busy=0 --sim-state cam.state";

Bytes read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

class BadInput : public lumavix::test::CliFolderTest {
 protected:
  void SetUp() override {
    CliFolderTest::SetUp();
    const auto r = run("make-firmware --version 0105 --product-id 0E51 -o good.bin");
    ASSERT_EQ(r.status, 0) << r.out;
    good_ = read_bytes(dir_ / "good.bin");
    ASSERT_GT(good_.size(), 0x10000u);
  }
  lumavix::test::CliResult run(const std::string& args) { return run_in_folder(args); }

  std::string camera_version() {
    const auto r = run(std::string(kCamera) + " --json status");
    const auto j = lumavix::test::last_json(r.out);
    return j.is_object() && j["cameraVersion"].is_string() ? j["cameraVersion"].get<std::string>()
                                                           : "unreadable: " + r.out;
  }

  Bytes good_;
};

TEST_F(BadInput, DamagedFirmwareFilesAreRefusedAndNothingIsWritten) {
  Bytes wrong_crc = good_;
  wrong_crc[5000] ^= 0x55;
  Bytes oversized = good_;
  oversized.resize(0x40001, 0);
  Bytes garbage(good_.size());
  for (std::size_t i = 0; i < garbage.size(); ++i)
    garbage[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  const struct {
    const char* name;
    Bytes bytes;
    const char* says;
  } files[] = {
      {"empty.bin", {}, "is empty"},
      {"truncated.bin", Bytes(good_.begin(), good_.begin() + 1000), "CRC-32"},
      {"short.bin", Bytes(good_.begin(), good_.begin() + 10), "too short"},
      {"oversized.bin", oversized, "larger than"},
      {"wrong-crc.bin", wrong_crc, "CRC-32"},
      {"garbage.bin", garbage, "CRC-32"},
  };
  for (const auto& f : files) write_bytes(dir_ / f.name, f.bytes);

  for (const auto& f : files) {
    const std::string file = f.name;
    for (const std::string& command :
         {"update " + file + " --yes", "update " + file + " --yes --force", "download " + file + " --yes"}) {
      const auto r = run(std::string(kCamera) + " " + command);
      EXPECT_EQ(r.status, 2) << command << ": expected the usage status\n" << r.out;
      if (command.rfind("update", 0) == 0) {
        EXPECT_NE(r.out.find(f.says), std::string::npos)
            << command << ": expected the message to say \"" << f.says << "\"\n" << r.out;
      }
    }
    EXPECT_EQ(run("file-info " + file).status, 2) << "file-info " << file;
    EXPECT_EQ(read_bytes(dir_ / f.name), f.bytes) << f.name << " was changed";
  }
  EXPECT_EQ(camera_version(), "0104") << "the camera must still hold its old firmware";

  // The camera is still updatable with a whole file afterwards.
  EXPECT_EQ(run(std::string(kCamera) + " update good.bin --yes").status, 0);
  EXPECT_EQ(camera_version(), "0105");
}

TEST_F(BadInput, StatusWarnsAboutADamagedFileButCompletesThePass) {
  fs::create_directories(dir_ / "folder");
  write_bytes(dir_ / "folder" / "damaged.bin", Bytes(good_.begin(), good_.begin() + 4000));
  const auto r = run(std::string(kCamera) + " --json status folder");
  EXPECT_EQ(r.status, 0) << r.out;
  const auto j = lumavix::test::last_json(r.out);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_TRUE(j["fileProblem"].is_string()) << "expected fileProblem to name the damage: " << r.out;

  const auto ok = lumavix::test::last_json(run(std::string(kCamera) + " --json status").out);
  EXPECT_TRUE(ok["fileProblem"].is_null()) << "a whole file has no problem: " << ok.dump();
}

TEST_F(BadInput, PathsAndFoldersThatCannotBeUsed) {
  const std::string long_name(270, 'x');
  fs::create_directories(dir_ / "nobin");
  const struct {
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {"update missing.bin --yes", 2, "missing.bin"},
      {"update " + long_name + ".bin --yes", 2, "longer than"},
      {"status nobin", 2, "no *.bin"},
      {"dump -o no-such-folder/dump.bin", 1, "no-such-folder"},
      {"dump -o good.bin/inside", 1, "good.bin/inside"},
      {"dump -o " + long_name, 1, "too long"},
      {"dump -o " + std::string(600, 'y'), 2, "longer than"},
  };
  for (const auto& c : cases) {
    const auto r = run(std::string(kCamera) + " " + c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos)
        << c.args << ": expected the message to mention \"" << c.says << "\"\n" << r.out;
  }
  EXPECT_EQ(read_bytes(dir_ / "good.bin"), good_) << "good.bin was changed";
}

TEST_F(BadInput, FailedDumpKeepsTheExistingFileAndLeavesNoPart) {
  const Bytes mine = {'m', 'i', 'n', 'e'};
  write_bytes(dir_ / "Dump.bin_", mine);
  const auto r = run("--simulate=q,latency-us=0,busy=0,unplug-after=200 dump");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(read_bytes(dir_ / "Dump.bin_"), mine) << "a failed dump must not replace the file";
  EXPECT_FALSE(fs::exists(dir_ / "Dump.bin_.part")) << "a failed dump leaves no partial file";
}

TEST_F(BadInput, ReadOnlyFolderRefusesTheDumpClearly) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows folders have no POSIX permission bits";
#else
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
#endif
  fs::create_directories(dir_ / "ro");
  fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  const auto r = run(std::string(kCamera) + " dump -o ro/dump.bin");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("ro/dump.bin"), std::string::npos) << "the message names the file: " << r.out;
  EXPECT_FALSE(fs::exists(dir_ / "ro" / "dump.bin"));
}

}  // namespace
