// Hostile and unlucky input through lumavix-fw, run as a separate process
// against the simulated camera: names that are not UTF-8, outputs that are
// device nodes, folders or planted links, state files on link loops and
// camera strings holding escape sequences. Each must end in a clear status
// and, under --json, in valid JSON lines, with no file but the target
// changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/json_output.h"
#include "cli_run.h"

namespace {

namespace fs = std::filesystem;
using lumavix::test::CliResult;

constexpr const char* kCamera = "--simulate=q,latency-us=0,busy=0";

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The lines of a --json run that are not JSON objects.
std::vector<std::string> bad_json_lines(const std::string& out) {
  std::vector<std::string> bad;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object()) bad.push_back(line);
  }
  return bad;
}

// Names of the folder's entries that look like a writer's temporary file.
std::vector<std::string> leftovers(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n.ends_with(".part") || n.ends_with(".tmp")) out.push_back(n);
  }
  return out;
}

class HostileInput : public lumavix::test::CliFolderTest {
 protected:
  void SetUp() override {
    CliFolderTest::SetUp();
    const CliResult c = run("--json config", "2>/dev/null");
    pid_ = lumavix::test::last_json(c.out)["productIds"]["QA"].get<std::string>();
    ASSERT_EQ(run("make-firmware --version 0105 --product-id " + pid_ + " -o fw.bin").status, 0);
  }
  CliResult run(const std::string& args, const char* stderr_to = "2>&1") const {
    return run_in_folder(args, stderr_to);
  }
  std::string pid_;
};

// The JSON output of a name that is not UTF-8 stays valid, and the name's
// bytes come back from "<key>Bytes".
TEST_F(HostileInput, JsonLinesStayValidWhateverBytesANameHolds) {
  fs::copy_file(dir_ / "fw.bin", dir_ / "caf\xe9.bin");
  std::ofstream(dir_ / "t\xff.txt", std::ios::binary) << "uint8 Na\xfeme[] = { 0x01, };\r\n";
  struct Case {
    std::string args;
    int status;
    std::string key;    // a field holding the name, "" for none
    std::string bytes;  // the name it must give back
  };
  const Case cases[] = {
      {"--json file-info '\xff\xfe.bin'", 2, "error", ""},
      {"--json make-firmware --version 0105 --product-id 1234 -o 'out\xff.bin'", 0, "file",
       "out\xff.bin"},
      {std::string("--json ") + kCamera + " update --yes 'caf\xe9.bin'", 0, "file", "caf\xe9.bin"},
      {std::string("--json ") + kCamera + " status .", 0, "", ""},
      {"--json make-bin 't\xff.txt'", 0, "", ""},
  };
  for (const Case& c : cases) {
    const CliResult r = run(c.args, "2>/dev/null");
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_EQ(bad_json_lines(r.out), std::vector<std::string>{}) << c.args;
    const nlohmann::json j = lumavix::test::last_json(r.out);
    ASSERT_TRUE(j.is_object()) << c.args << ": the last line must be the result\n" << r.out;
    if (c.status != 0) EXPECT_EQ(j.value("exitStatus", -1), c.status) << c.args;
    if (!c.bytes.empty()) {
      std::string back;
      ASSERT_TRUE(j.contains(c.key + "Bytes")) << c.args << ": " << j.dump();
      ASSERT_TRUE(lumavix::cli::unescape_bytes(j[c.key + "Bytes"].get<std::string>(), back));
      EXPECT_EQ(back, c.bytes) << c.args << ": the escaped field must give the name back";
    }
  }
  const nlohmann::json made = lumavix::test::last_json(run("--json make-bin 't\xff.txt'", "2>/dev/null").out);
  ASSERT_TRUE(made.contains("namesBytes")) << made.dump();
  EXPECT_EQ(made["namesBytes"][0], "Na\\xfeme");
}

// A command line CLI11 refuses still ends, under --json, in a result.
TEST_F(HostileInput, UsageErrorsEndInAJsonResult) {
  for (const char* args : {"--json update --bogus", "--json frobnicate", "--json dump --length",
                           "--json", "update --json --start"}) {
    const CliResult r = run(args, "2>/dev/null");
    EXPECT_EQ(r.status, 2) << args;
    const nlohmann::json j = lumavix::test::last_json(r.out);
    ASSERT_TRUE(j.is_object()) << args << ": no JSON result\n" << r.out;
    EXPECT_TRUE(j["error"].is_string()) << args << ": " << j.dump();
    EXPECT_EQ(j.value("exitStatus", -1), 2) << args << ": " << j.dump();
  }
}

// Every writer refuses an output that exists and is not a regular file:
// exit 2, the target as it was, no temporary file left.
TEST_F(HostileInput, WritersRefuseTargetsThatAreNotRegularFiles) {
  std::ofstream(dir_ / "t.txt", std::ios::binary) << "uint8 A[] = { 0x01, };\r\n";
  // Names the bundle takes too.
  fs::create_directory(dir_ / "folder.tar.gz");
  ASSERT_EQ(::mkfifo((dir_ / "fifo.tar.gz").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", dir_ / "to-null.tar.gz");
  fs::create_symlink("missing/nowhere", dir_ / "dangling.tar.gz");
  fs::create_symlink("loop.tar.gz", dir_ / "loop.tar.gz");
  const std::string writers[] = {
      "make-firmware --version 0105 --product-id 1234 -o ",
      "make-bin t.txt -o ",
      std::string(kCamera) + " dump --length 0x100 -o ",
      std::string(kCamera) + " doctor --bundle ",
  };
  for (const std::string& w : writers) {
    for (const char* target : {"folder.tar.gz", "fifo.tar.gz", "to-null.tar.gz", "dangling.tar.gz", "loop.tar.gz"}) {
      const CliResult r = run(w + target);
      EXPECT_EQ(r.status, 2) << w << target << "\n" << r.out;
      EXPECT_NE(r.out.find("not a regular file"), std::string::npos) << w << target << "\n" << r.out;
    }
    EXPECT_TRUE(fs::is_directory(dir_ / "folder.tar.gz")) << w;
    EXPECT_TRUE(fs::is_empty(dir_ / "folder.tar.gz")) << w;
    EXPECT_EQ(fs::symlink_status(dir_ / "fifo.tar.gz").type(), fs::file_type::fifo) << w;
    EXPECT_EQ(fs::read_symlink(dir_ / "to-null.tar.gz"), "/dev/null") << w;
    EXPECT_EQ(fs::read_symlink(dir_ / "dangling.tar.gz"), "missing/nowhere") << w;
    EXPECT_EQ(leftovers(dir_), std::vector<std::string>{}) << w;
  }
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Links planted under the names writers used to take for their temporary
// files are not followed: the victim keeps its bytes, the output is written,
// and the bundle is the user's alone.
TEST_F(HostileInput, PlantedTemporaryNamesAreNotFollowed) {
  std::ofstream(dir_ / "victim", std::ios::binary) << "victim";
  std::ofstream(dir_ / "t.txt", std::ios::binary) << "uint8 A[] = { 0x01, };\r\n";
  for (const char* planted :
       {"out.bin.part", "out.tbl.part", "Dump.bin_.part", "cam.state.tmp", "b.tar.gz.part"})
    fs::create_symlink("victim", dir_ / planted);
  const std::string camera = std::string(kCamera) + " --sim-state cam.state ";
  const std::string runs[] = {
      "make-firmware --version 0105 --product-id 1234 -o out.bin",
      "make-bin t.txt -o out.tbl",
      camera + "dump --length 0x100",
      camera + "doctor --bundle b.tar.gz",
  };
  for (const std::string& args : runs) {
    const CliResult r = run(args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.out;
    EXPECT_EQ(read_text(dir_ / "victim"), "victim") << args << " wrote through a planted link";
  }
  for (const char* made : {"out.bin", "out.tbl", "Dump.bin_", "cam.state", "b.tar.gz"})
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / made))) << made;
  EXPECT_EQ(fs::status(dir_ / "b.tar.gz").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(HostileInput, SimStateOnALinkLoopIsAClearError) {
  fs::create_symlink("loop", dir_ / "loop");
  const CliResult r = run(std::string("--json ") + kCamera + " --sim-state loop status");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("symbolic links"), std::string::npos) << r.out;
  EXPECT_EQ(lumavix::test::last_json(r.out).value("exitStatus", -1), 2) << r.out;
}

// A product string holding an escape sequence (a title change) and a serial
// holding a C1 control reach the terminal as visible escapes; JSON carries
// the exact characters.
TEST_F(HostileInput, CameraStringsAreEscapedOnTheTerminal) {
  const std::string camera = std::string(kCamera) + " --sim-state cam.state ";
  ASSERT_EQ(run(camera + "userdata write --yes --product-string 'A\x1b]0;pwn\aB' --serial 'S\xc2\x9b"
                         "2J'").status,
            0);
  const CliResult text = run(camera + "userdata read", "2>/dev/null");
  ASSERT_EQ(text.status, 0) << text.out;
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos) << "ESC reached the terminal";
  EXPECT_EQ(text.out.find('\a'), std::string::npos) << "BEL reached the terminal";
  EXPECT_EQ(text.out.find("\xc2\x9b"), std::string::npos) << "a C1 control reached the terminal";
  EXPECT_NE(text.out.find("A\\x1b]0;pwn\\x07B"), std::string::npos) << text.out;
  const nlohmann::json j =
      lumavix::test::last_json(run("--json " + camera + "userdata read", "2>/dev/null").out);
  EXPECT_EQ(j["productString"], "A\x1b]0;pwn\aB") << j.dump();
}

// An image larger than the flash is the file's fault (exit 2), and a setting
// text that never ends or never closes is refused with its line.
TEST_F(HostileInput, OversizedImagesAndBrokenTextsAreBadInput) {
  ASSERT_EQ(run("make-firmware --version 0105 --product-id " + pid_ + " --size 262140 -o big.bin")
                .status,
            0);
  for (const char* cmd : {" update --yes big.bin", " download --yes big.bin"}) {
    const CliResult r = run(std::string("--json ") + kCamera + cmd, "2>/dev/null");
    EXPECT_EQ(r.status, 2) << cmd << "\n" << r.out;
    EXPECT_EQ(lumavix::test::last_json(r.out).value("exitStatus", -1), 2) << r.out;
  }
  std::ofstream(dir_ / "open.txt", std::ios::binary)
      << "uint8 A[] = { 0x01, };\r\n\r\n/* uint8 B[] = { 0x02, };\r\n";
  struct Case {
    const char* args;
    const char* says;
  };
  // A regular text past the limit (sparse: nothing is stored for it); a
  // device is not read at all.
  std::ofstream(dir_ / "huge.txt", std::ios::binary) << "uint8 A[] = { 0x01, };\r\n";
  fs::resize_file(dir_ / "huge.txt", (4u << 20) + 1);
  const Case cases[] = {
      {"make-bin huge.txt", "larger than 4 MiB"},
      {"make-bin /dev/zero", "not a regular file"},
      {"make-bin open.txt", "line 3"},
  };
  for (const Case& c : cases) {
    const CliResult r = run(c.args);
    EXPECT_EQ(r.status, 2) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos)
        << c.args << ": expected \"" << c.says << "\"\n" << r.out;
  }
}

}  // namespace
