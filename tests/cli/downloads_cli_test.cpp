// `status` and `update` take the firmware file from the user's Downloads
// folder when the working folder holds none, and say so; a folder named on
// the command line is the only one looked in.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

namespace fs = std::filesystem;

class DownloadsCli : public lumavix::test::CliFolderTest {
 protected:
  void SetUp() override {
    CliFolderTest::SetUp();
    fs::create_directories(dir_ / "home/.config");
    fs::create_directories(dir_ / "home/Téléchargements");
    fs::create_directories(dir_ / "work");
    tmp_.write("home/.config/user-dirs.dirs",
               "# written by the desktop\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n");
  }
  // lumavix-fw in `work`, with `home` as the home folder.
  lumavix::test::CliResult run(const std::string& args) const {
    return lumavix::test::run_shell("cd '" + (dir_ / "work").string() + "' && HOME='" +
                                    (dir_ / "home").string() +
                                    "' XDG_CONFIG_HOME= LC_ALL=C LANG=C " LUMAVIX_CLI_PATH
                                    " --simulate=q,latency-us=5,busy=0 --json " +
                                    args + " </dev/null 2>/dev/null");
  }
  void make_firmware(const std::string& rel, const char* version) const {
    const auto r = run_in_folder(std::string("make-firmware --version ") + version +
                                 " --product-id 0E51 -o '" + (dir_ / rel).string() + "'");
    ASSERT_EQ(r.status, 0) << r.out;
  }
};

TEST_F(DownloadsCli, StatusAndUpdateTakeTheDownloadedFileAndSaySo) {
  make_firmware("home/Téléchargements/fw.bin", "0105");
  const std::string want = (dir_ / "home/Téléchargements/fw.bin").string();

  auto r = run("status");
  auto j = lumavix::test::last_json(r.out);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(j["presentation"], "update-available") << r.out;
  EXPECT_EQ(j["file"], want);
  EXPECT_EQ(j["fileSource"], "downloads");
  EXPECT_NE(j["text"].get<std::string>().find("Downloads folder"), std::string::npos)
      << "the text expected to name the folder: " << r.out;

  r = run("update --yes");
  j = lumavix::test::last_json(r.out);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(j["result"], "success") << r.out;
  EXPECT_EQ(j["fileSource"], "downloads");
  EXPECT_EQ(j["file"], want);
}

TEST_F(DownloadsCli, ANamedFolderOrAFileInTheWorkingFolderComesFirst) {
  make_firmware("home/Téléchargements/fw.bin", "0105");
  // A folder named on the command line: only that one.
  auto r = run("status '" + (dir_ / "work").string() + "'");
  EXPECT_EQ(r.status, 2) << "no file in the named folder: " << r.out;

  make_firmware("work/local.bin", "0106");
  r = run("status");
  const auto j = lumavix::test::last_json(r.out);
  EXPECT_EQ(j["fileSource"], "folder") << r.out;
  EXPECT_EQ(j["fileVersion"], "0106");
}

}  // namespace
