// lumavix-fw make-bin and tables download, run as a separate process: the
// JSON fields and exit statuses scripts rely on, and the tables reaching the
// simulated camera's flash (carried between runs by a state file).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.h"

#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

using TablesCliRun = lumavix::test::CliResult;
using lumavix::test::last_json;

// Runs lumavix-fw with `args` in `cwd` (when given); stdout is kept,
// stderr dropped.
TablesCliRun run_tables_cli(const std::string& args, const std::string& cwd = {}) {
  std::string cmd;
  if (!cwd.empty()) cmd = "cd '" + cwd + "' && ";
  return lumavix::test::run_shell(cmd + std::string(LUMAVIX_CLI_PATH) + " " + args +
                                  " 2>/dev/null");
}

std::string sample_text() { return std::string(LUMAVIX_TEST_DATA_DIR) + "/settext/backend_init.txt"; }

std::vector<unsigned char> file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string hex(const std::vector<unsigned char>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (unsigned char b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

TEST(TablesCli, MakeBinReportsArraysSizeAndNames) {
  lumavix::test::TempDir dir;
  const std::string out = dir.path() + "/table.bin";
  const TablesCliRun r = run_tables_cli("make-bin '" + sample_text() + "' -o '" + out +
                                        "' --log '" + dir.path() + "/convert.log' --json");
  ASSERT_EQ(r.status, 0) << r.out;
  const nlohmann::json j = last_json(r.out);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["arrays"], 3);
  EXPECT_EQ(j["names"], (nlohmann::json{"BackendInit", "GammaCurve", "SensorId"}));
  ASSERT_TRUE(j["size"].is_number());
  const std::vector<unsigned char> image = file_bytes(out);
  EXPECT_EQ(image.size(), j["size"].get<std::size_t>()) << "the image file holds the image";
  ASSERT_FALSE(image.empty());
  EXPECT_EQ(image[0], 3) << "the image starts with its array count";
  EXPECT_TRUE(fs::exists(dir.path() + "/convert.log"));
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "table.bin" || name == "convert.log") << "left behind: " << name;
  }
}

TEST(TablesCli, MakeBinRefusesTextsWithoutAnImage) {
  lumavix::test::TempDir dir;
  dir.write("comment.txt", "// no arrays here\r\n");
  dir.write("untyped.txt", "const short T[] = { 0x01, };\r\n");
  for (const char* name : {"comment.txt", "untyped.txt", "absent.txt"}) {
    const std::string out = dir.path() + "/out.bin";
    const TablesCliRun r = run_tables_cli("make-bin '" + dir.path() + "/" + name + "' -o '" +
                                          out + "' --log '" + dir.path() + "/l.log' --json");
    EXPECT_EQ(r.status, 2) << name << ": expected exit 2, output " << r.out;
    EXPECT_TRUE(last_json(r.out).contains("error")) << name;
    EXPECT_FALSE(fs::exists(out)) << name << ": no image is written";
  }
}

TEST(TablesCli, DownloadWritesBothTablesToTheSimulatedFlash) {
  lumavix::test::TempDir dir;
  dir.write("backend.bin", std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  const std::string state = dir.path() + "/camera.state";
  const TablesCliRun r = run_tables_cli(
      "--simulate --sim-state '" + state + "' tables download --backend '" + dir.path() +
      "/backend.bin' --backend-addr 9000 --sensor '" + sample_text() + "' --json --yes --force");
  ASSERT_EQ(r.status, 0) << r.out;
  const nlohmann::json j = last_json(r.out);
  EXPECT_EQ(j["result"], "success");
  EXPECT_EQ(j["backend"]["address"], "0x9000");
  EXPECT_EQ(j["sensor"]["address"], "0x12000");
  EXPECT_EQ(j["sensor"]["result"], "written");

  const TablesCliRun back =
      run_tables_cli("--simulate --sim-state '" + state + "' flash read 9000 8 --json");
  ASSERT_EQ(back.status, 0) << back.out;
  EXPECT_EQ(last_json(back.out)["data"], "0102030405060708");

  const std::string image = dir.path() + "/sensor.bin";
  ASSERT_EQ(run_tables_cli("make-bin '" + sample_text() + "' -o '" + image + "' --log '" +
                           dir.path() + "/l.log'")
                .status,
            0);
  const std::vector<unsigned char> bytes = file_bytes(image);
  const TablesCliRun sensor = run_tables_cli("--simulate --sim-state '" + state +
                                             "' flash read 12000 " +
                                             std::to_string(bytes.size()) + " --json");
  EXPECT_EQ(last_json(sensor.out)["data"], hex(bytes)) << "the sensor text arrives converted";
}

TEST(TablesCli, DownloadExitStatuses) {
  lumavix::test::TempDir dir;
  dir.write("backend_init.txt", "const uint8 T[] = { 0x01, 0x02, };\r\n");
  dir.write("table.bin", "abc");
  struct Case {
    std::string what;
    std::string args;
    std::string cwd;
    int status;
  };
  const std::string table = "'" + dir.path() + "/table.bin'";
  const std::vector<Case> cases = {
      {"--find in a folder with backend_init.txt", "--simulate tables download --find", dir.path(), 0},
      {"--find in a folder without tables", "--simulate tables download --find", "/", 2},
      {"no table named", "--simulate tables download", "", 2},
      {"a missing file", "--simulate tables download --backend '" + dir.path() + "/absent.bin'", "", 2},
      {"an address that is not hexadecimal", "--simulate tables download --backend " + table +
       " --backend-addr 9g00", "", 2},
      {"no camera", "--simulate=none tables download --backend " + table, "", 3},
      {"a camera that stops answering", "--simulate=q,unplug-after=40 tables download --backend " +
       table, "", 1},
  };
  for (const Case& c : cases) {
    // Confirmed, and over the simulated image's code (which fills its flash).
    const TablesCliRun r = run_tables_cli(c.args + " --json --yes --force", c.cwd);
    EXPECT_EQ(r.status, c.status) << c.what << ": expected exit " << c.status << ", output "
                                  << r.out;
  }
}

}  // namespace
