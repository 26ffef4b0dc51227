// The main job on the command line, run as a separate process against the
// simulated camera: status, update with its confirmation, the engineering
// download, dump, the user-data block and the build's constants.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

namespace fs = std::filesystem;

// A quick camera: no transfer latency and no flash busy times.
constexpr const char* kFast = "--simulate=q,latency-us=0,busy=0";

using UpdRun = lumavix::test::CliResult;

nlohmann::json upd_last_json(const UpdRun& r) { return lumavix::test::last_json(r.out); }

std::vector<std::uint8_t> upd_read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class UpdateCli : public lumavix::test::CliFolderTest {
 protected:
  // A firmware file of the given version and product id in the test's directory.
  void make_firmware(const std::string& version, const std::string& pid = "0E51",
                     const std::string& name = "fw.bin") {
    const UpdRun r = run("make-firmware --version " + version + " --product-id " + pid + " -o " + name);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  UpdRun run(const std::string& args) { return run_in_folder(args, "2>/dev/null"); }
};

TEST_F(UpdateCli, UpdateWritesTheImageAndTheCameraIsThenUpToDate) {
  make_firmware("0105");
  const std::string sim = std::string(kFast) + " --sim-state state.sim ";

  UpdRun r = run(sim + "status --json");
  ASSERT_EQ(r.status, 0) << r.out;
  nlohmann::json j = upd_last_json(r);
  EXPECT_EQ(j["presentation"], "update-available");
  EXPECT_EQ(j["cameraVersion"], "0104");
  EXPECT_EQ(j["fileVersion"], "0105");
  EXPECT_EQ(j["text"],
            "Your LUMAVIX Q  is ready to receive an update.\n A new firmware version is "
            "available v0105. The current version is v0104.");
  EXPECT_NE(j["file"].get<std::string>().find("fw.bin"), std::string::npos);
  EXPECT_EQ(j["camera"]["productId"], "0E51");

  r = run(sim + "update --yes --json");
  ASSERT_EQ(r.status, 0) << r.out;
  j = upd_last_json(r);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  EXPECT_EQ(j["result"], "success");
  EXPECT_EQ(j["outcome"], "UPD_DOWNLOAD_DONE");
  EXPECT_TRUE(j["elapsedMs"].is_number());
  EXPECT_GT(j["transfers"].get<long>(), 0);
  EXPECT_EQ(j["presentation"], "update-available");
  EXPECT_EQ(j["cameraVersion"], "0104");
  EXPECT_EQ(j["fileVersion"], "0105");
  EXPECT_EQ(j["text"],
            "Firmware update completed. Current firmware version: v0105. Please disconnect and "
            "reconnect your LUMAVIX Q .");
  // Every line before the result is an event object.
  std::size_t start = 0, events = 0;
  while (true) {
    const std::size_t end = r.out.find('\n', start);
    if (end == std::string::npos || end + 1 >= r.out.size()) break;
    const auto ev = nlohmann::json::parse(r.out.substr(start, end - start), nullptr, false);
    ASSERT_FALSE(ev.is_discarded()) << r.out.substr(start, end - start);
    EXPECT_TRUE(ev.contains("event"));
    ++events;
    start = end + 1;
  }
  EXPECT_GT(events, 0u);

  r = run(sim + "status --json");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(upd_last_json(r)["presentation"], "up-to-date");
  EXPECT_EQ(upd_last_json(r)["cameraVersion"], "0105");

  r = run(sim + "update --yes");
  EXPECT_EQ(r.status, 5) << "nothing to do: " << r.out;
}

TEST_F(UpdateCli, UpdateWithoutConfirmationWritesNothing) {
  make_firmware("0105");
  const std::string sim = std::string(kFast) + " --sim-state state.sim ";
  EXPECT_EQ(run(sim + "update").status, 2) << "no terminal and no --yes: refused";
  EXPECT_EQ(run(sim + "update --json").status, 2);
  EXPECT_EQ(run(sim + "download fw.bin").status, 2);
  const UpdRun after = run(sim + "status --json");
  EXPECT_EQ(after.status, 0) << "the camera still waits for its update: " << after.out;
  EXPECT_EQ(upd_last_json(after)["cameraVersion"], "0104");
}

TEST_F(UpdateCli, ExitStatusesOfStatusAndUpdate) {
  make_firmware("0105");
  fs::create_directories(dir_ / "empty");
  struct Case {
    std::string args;
    int status;
  } cases[] = {
      {std::string(kFast) + " status", 0},
      {"--simulate=none status", 3},
      {"--simulate=none update --yes", 3},
      {"--simulate=gen0-flash status", 3},
      {std::string(kFast) + ",pid=0E5A status", 4},
      {std::string(kFast) + ",pid=0E5A update --yes", 4},
      {std::string(kFast) + ",pid=0E5A update --yes --force", 4},
      {std::string(kFast) + ",fw=0105 status", 0},
      {std::string(kFast) + ",fw=0106 update --yes", 5},
      {std::string(kFast) + ",fw=0105 update --yes --force", 0},
      {std::string(kFast) + ",fw=1721 update --yes", 0},
      {std::string(kFast) + " status empty", 2},
      {std::string(kFast) + " status no-such-dir", 2},
      {std::string(kFast) + " update missing.bin --yes", 2},
      {std::string(kFast) + " download missing.bin --yes", 2},
      {std::string(kFast) + " dump --length 0", 2},
      {"--simulate=none dump", 3},
  };
  for (const Case& c : cases) {
    const UpdRun r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
  }
}

TEST_F(UpdateCli, NoCameraAndNotThisProductAsJson) {
  make_firmware("0105");
  UpdRun r = run("--simulate=none status --json");
  EXPECT_EQ(r.status, 3);
  nlohmann::json j = upd_last_json(r);
  EXPECT_EQ(j["presentation"], "no-camera");
  EXPECT_EQ(j["text"], "Please connect your LUMAVIX Q.");
  EXPECT_TRUE(j["camera"].is_null());

  r = run(std::string(kFast) + ",pid=0E5A status --json");
  EXPECT_EQ(r.status, 4);
  j = upd_last_json(r);
  EXPECT_EQ(j["presentation"], "not-this-product");
  EXPECT_EQ(j["text"],
            "This firmware update is for LUMAVIX Q. To update the firmware of your LUMAVIX, "
            "please visit:");
  EXPECT_NE(j["link"].get<std::string>().find("/download"), std::string::npos);
  EXPECT_EQ(j["camera"]["altProductId"], 1);
}

TEST_F(UpdateCli, InjectedFaultIsNeverReportedAsSuccess) {
  make_firmware("0105");
  int failures = 0;
  for (const int n : {1000, 3000, 12000, 25000}) {
    const std::string state = "state" + std::to_string(n) + ".sim";
    const std::string sim = std::string(kFast) + ",fail-at=" + std::to_string(n) +
                            " --sim-state " + state + " ";
    const UpdRun r = run(sim + "update --yes --json");
    const nlohmann::json j = upd_last_json(r);
    ASSERT_FALSE(j.is_discarded()) << "fail-at=" << n << ": " << r.out;
    if (r.status == 0) {
      // The fault was absorbed by a retry: the success must be real.
      EXPECT_EQ(j["outcome"], "UPD_DOWNLOAD_DONE");
      const UpdRun after = run(std::string(kFast) + " --sim-state " + state + " status --json");
      EXPECT_EQ(upd_last_json(after)["presentation"], "up-to-date") << "fail-at=" << n << " reported success but the camera is not "
                                 << "up to date";
    } else {
      ++failures;
      EXPECT_EQ(r.status, 1) << "fail-at=" << n << ": " << r.out;
      EXPECT_EQ(j["result"], "failed") << "fail-at=" << n;
      EXPECT_NE(j["outcome"], "UPD_DOWNLOAD_DONE") << "fail-at=" << n;
    }
  }
  EXPECT_GT(failures, 0) << "a fault while erasing or verifying must fail the update";
}

// The transfers of a 128 KiB download are the same on every system the
// program is built for (the Windows build under Wine included): exactly what
// the flash steps prescribe. Feature-report transfers over HID: a status
// read is 4, a short command 2 (command, then data report), write enable and
// write disable 6 each; 32 sector erases of an unprotected flash (28 each:
// enable, the unprotect's status read and enable, the erase, its poll,
// disable), the identification (4), 512 page programs of 34 (enable, the
// command, eight 32-byte pieces, the poll, disable), the read-back in two
// reads of 32-byte pieces (all but the boot page, then the boot page), and
// the protection set again at the end (22).
TEST_F(UpdateCli, DownloadTakesThePrescribedTransfers) {
  make_firmware("0105");
  const UpdRun r = run("--simulate=q,busy=0,latency-us=0 --json download fw.bin --yes");
  ASSERT_EQ(r.status, 0) << r.out;
  const nlohmann::json j = upd_last_json(r);
  const long read_back = (2 + (131072 - 256) / 32 * 2) + (2 + 256 / 32 * 2);
  const long prescribed = 32 * 28 + 4 + 512 * 34 + read_back + 22;
  EXPECT_EQ(j["transfers"].get<long>(), prescribed) << r.out;
}

// Names outside ASCII (and outside any one ANSI code page) are found in the
// working folder, opened, and written, the state file replaced in place.
TEST_F(UpdateCli, PathsOutsideAsciiWork) {
  const std::string name = "firmware-\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.bin";  // é, 日本
  make_firmware("0105", "0E51", name);
  const std::string sim = std::string(kFast) + " --sim-state '\xC3\xA9tat.sim' ";
  UpdRun r = run(sim + "--json status");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(upd_last_json(r)["file"].get<std::string>().find(name), std::string::npos)
      << "the search of the working folder finds the file: " << r.out;
  for (int round = 0; round < 2; ++round) {
    r = run(sim + "--json download '" + name + "' --yes");
    EXPECT_EQ(r.status, 0) << "download " << round << ": " << r.out;
  }
  EXPECT_TRUE(fs::exists(dir_ / fs::path(u8"\u00e9tat.sim"))) << "the state file is saved under its name";
}

// Folders named in French, German and Japanese: the file is found by the
// search of the working folder, checked and offered, and written when given
// by its path.
TEST_F(UpdateCli, FoldersNamedInAnyLanguageAreSearchedAndUpdatedFrom) {
  const char* const folders[] = {"T\xC3\xA9l\xC3\xA9" "chargements",
                                 "\xC3\x9C" "berpr\xC3\xBC" "fung",
                                 "\xE3\x82\xAB\xE3\x83\xA1\xE3\x83\xA9"};
  const std::string file = "mise \xC3\xA0 jour.bin";
  for (const char* folder : folders) {
    const std::string utf8 = std::string(folder);
    fs::create_directories(dir_ / fs::path(std::u8string(utf8.begin(), utf8.end())));
#ifdef _WIN32
    const std::string sep = "\\";
#else
    const std::string sep = "/";
#endif
    const std::string rel = utf8 + sep + file;
    make_firmware("0105", "0E51", "'" + rel + "'");
    const std::string sim = std::string(kFast) + " --sim-state '" + utf8 + ".sim' ";
    const UpdRun in_folder = lumavix::test::run_shell(
        "cd '" + dir_.string() + sep + utf8 + "' && LC_ALL=C LANG=C " +
        std::string(LUMAVIX_CLI_PATH) + " " + kFast + " --json status </dev/null 2>/dev/null");
    ASSERT_EQ(in_folder.status, 0) << utf8 << ": " << in_folder.out;
    const nlohmann::json j = upd_last_json(in_folder);
    EXPECT_EQ(j["presentation"], "update-available") << utf8 << ": " << in_folder.out;
    EXPECT_NE(j["file"].get<std::string>().find(file), std::string::npos)
        << utf8 << ": the file found by the folder search expected: " << in_folder.out;
    const UpdRun r = run(sim + "--json update '" + rel + "' --yes");
    EXPECT_EQ(r.status, 0) << rel << ": " << r.out;
    EXPECT_EQ(upd_last_json(r)["result"], "success") << rel << ": " << r.out;
  }
}

TEST_F(UpdateCli, EngineeringDownloadResult) {
  make_firmware("0042", "0E71", "other.bin");  // another model's file: no checks here
  const UpdRun r = run(std::string(kFast) + " --sim-state s.sim download other.bin --yes --json");
  ASSERT_EQ(r.status, 0) << r.out;
  const nlohmann::json j = upd_last_json(r);
  EXPECT_EQ(j["result"], "success");
  EXPECT_EQ(j["outcome"], "UPD_DOWNLOAD_DONE");
  EXPECT_TRUE(j["elapsedMs"].is_number());
  EXPECT_GT(j["transfers"].get<long>(), 1000);
  const UpdRun ud = run(std::string(kFast) + " --sim-state s.sim userdata read --json");
  ASSERT_EQ(ud.status, 0) << ud.out;
  EXPECT_EQ(upd_last_json(ud)["firmwareVersion"], "0042");
  EXPECT_EQ(upd_last_json(ud)["productId"], "0E71");
}

TEST_F(UpdateCli, DumpRoundTrip) {
  make_firmware("0105");
  const std::string sim = std::string(kFast) + " --sim-state state.sim ";
  ASSERT_EQ(run(sim + "update --yes").status, 0);

  const UpdRun r = run(sim + "dump --json");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(upd_last_json(r)["result"], "success");
  const std::vector<std::uint8_t> dumped = upd_read(dir_ / "Dump.bin_");
  ASSERT_EQ(dumped.size(), 0x20004u);
  const uLong crc = crc32(0L, dumped.data() + 4, 0x20000);
  EXPECT_EQ(dumped[0] | dumped[1] << 8 | dumped[2] << 16 | static_cast<uLong>(dumped[3]) << 24,
            crc);
  EXPECT_EQ(dumped, upd_read(dir_ / "fw.bin")) << "the dump of the updated flash is the file";
  EXPECT_FALSE(fs::exists(dir_ / "Dump.bin_.part"));

  const UpdRun small = run(sim + "dump -o small.dump --length 0x100");
  ASSERT_EQ(small.status, 0);
  EXPECT_EQ(fs::file_size(dir_ / "small.dump"), 0x104u);
}

TEST_F(UpdateCli, FailedDumpLeavesNoFile) {
  fs::create_directories(dir_ / "taken");
  // The target is a directory: bad input, refused before the flash is read.
  UpdRun r = run(std::string(kFast) + " dump -o taken");
  EXPECT_EQ(r.status, 2);
  const auto no_temporary = [&] {
    for (const auto& e : fs::directory_iterator(dir_))
      EXPECT_FALSE(e.path().string().ends_with(".part")) << e.path() << " was left behind";
  };
  no_temporary();
  r = run(std::string(kFast) + " dump -o missing-dir/x.bin");
  EXPECT_EQ(r.status, 1);
  r = run(std::string(kFast) + ",fail-at=300 dump -o x.bin");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dir_ / "x.bin"));
  no_temporary();
}

TEST_F(UpdateCli, ConfigCarriesTheBuildConstants) {
  const UpdRun r = run("config --json");
  ASSERT_EQ(r.status, 0) << r.out;
  const nlohmann::json j = upd_last_json(r);
  EXPECT_EQ(j["toolVariant"], "Q");
  for (const char* k : {"QA", "QB", "QAlt", "RA", "RB", "R2"}) {
    ASSERT_TRUE(j["productIds"].contains(k)) << k;
    EXPECT_EQ(j["productIds"][k].get<std::string>().size(), 4u) << k;
  }
  EXPECT_EQ(j["vendorId"].get<std::string>().size(), 4u);
  EXPECT_NE(j["downloadUrl"].get<std::string>().find("/download"), std::string::npos);
  for (const char* k : {"AllowChipGen0Download", "ChainSettingTables", "EnableUserDataPage",
                        "DumpAfterDownload"}) {
    EXPECT_EQ(j["switches"][k], false) << k;
  }
}

}  // namespace

namespace {

// The whole road after a pulled cable: the cut run fails, `status` says the
// update did not finish (never "up to date"), and a plain `update --yes`
// finishes it without --force.
TEST_F(UpdateCli, InterruptedUpdateIsFinishedByAPlainUpdate) {
  make_firmware("0105");
  const std::string state = " --sim-state state.sim ";
  UpdRun r = run(std::string(kFast) + ",unplug-after=9000" + state + "update --yes --json");
  EXPECT_EQ(r.status, 1) << r.out;

  r = run(std::string(kFast) + state + "status --json");
  ASSERT_EQ(r.status, 0) << r.out;
  nlohmann::json j = upd_last_json(r);
  EXPECT_EQ(j["presentation"], "interrupted") << r.out;
  EXPECT_TRUE(j["cameraVersion"].is_null()) << "an unfinished camera has no version to show";
  EXPECT_EQ(j["camera"]["usbProductId"], "0E51");

  r = run(std::string(kFast) + state + "update --yes --json");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(upd_last_json(r)["result"], "success");
  r = run(std::string(kFast) + state + "status --json");
  EXPECT_EQ(upd_last_json(r)["presentation"], "up-to-date") << r.out;
}

// A dump reads exactly its range: past the end of the flash it is bad input.
TEST_F(UpdateCli, DumpPastTheEndIsRefused) {
  UpdRun r = run(std::string(kFast) + " dump --length 0x30000 -o d.bin");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_FALSE(fs::exists(dir_ / "d.bin")) << "a refused dump expected to write nothing";
  r = run(std::string(kFast) + " dump --start 0x1F000 --length 0x1000 -o d.bin");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(upd_read(dir_ / "d.bin").size(), 0x1004u);
}

}  // namespace
