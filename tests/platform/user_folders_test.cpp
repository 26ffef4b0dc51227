// Where the Downloads folder is: the XDG user-dirs file as the desktop
// writes it (and as users edit it), and the fall-backs when it says nothing.
#include "platform/user_folders.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "temp_dir.h"

namespace lumavix {
namespace {

TEST(UserDirsParse, TheFormsTheFileIsMeantToHold) {
  const std::string home = "/home/anne";
  struct Case {
    const char* what;
    const char* text;
    std::optional<std::string> want;
  } cases[] = {
      {"as written by the desktop", "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", "/home/anne/Downloads"},
      {"a translated name with a blank",
       "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements récents\"\n",
       "/home/anne/Téléchargements récents"},
      {"an absolute path", "XDG_DOWNLOAD_DIR=\"/data/dl\"", "/data/dl"},
      {"the home folder itself", "XDG_DOWNLOAD_DIR=\"$HOME\"", "/home/anne"},
      {"the home folder with a slash", "XDG_DOWNLOAD_DIR=\"$HOME/\"", "/home/anne"},
      {"escaped quote and backslash", "XDG_DOWNLOAD_DIR=\"$HOME/a\\\"b\\\\c\"", "/home/anne/a\"b\\c"},
      {"blanks around and CRLF", "  XDG_DOWNLOAD_DIR = \"$HOME/DL\"  \r\n", "/home/anne/DL"},
      {"the last assignment counts",
       "XDG_DOWNLOAD_DIR=\"$HOME/old\"\nXDG_DOWNLOAD_DIR=\"$HOME/new\"\n", "/home/anne/new"},
      {"an invalid later one keeps the earlier",
       "XDG_DOWNLOAD_DIR=\"$HOME/ok\"\nXDG_DOWNLOAD_DIR=relative\n", "/home/anne/ok"},
      {"comment", "# XDG_DOWNLOAD_DIR=\"$HOME/no\"\n", std::nullopt},
      {"no quotes", "XDG_DOWNLOAD_DIR=$HOME/Downloads\n", std::nullopt},
      {"unclosed quote", "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\n", std::nullopt},
      {"text after the quote", "XDG_DOWNLOAD_DIR=\"$HOME/a\" b\n", std::nullopt},
      {"relative path", "XDG_DOWNLOAD_DIR=\"Downloads\"\n", std::nullopt},
      {"another variable of the shell", "XDG_DOWNLOAD_DIR=\"$HOMEDIR/x\"\n", std::nullopt},
      {"a longer key", "XDG_DOWNLOAD_DIRS=\"/x\"\n", std::nullopt},
      {"empty file", "", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseUserDirsDownload(c.text, home), c.want) << c.what;
  }
  EXPECT_EQ(ParseUserDirsDownload("XDG_DOWNLOAD_DIR=\"$HOME/x\"", ""), std::nullopt)
      << "a home-relative value without a home folder names nothing";
}

TEST(UserDirsFolder, TheFileOfTheConfigFolderThenHomeDownloads) {
  test::TempDir tmp;
  const std::string home = tmp.path() + "/home";
  const std::string config = tmp.path() + "/config";
  // No file at all: the usual name under the home folder.
  EXPECT_EQ(XdgDownloadsFolder(home, config), home + "/Downloads");
  // The file of XDG_CONFIG_HOME.
  tmp.write("config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Stahování\"\n");
  EXPECT_EQ(XdgDownloadsFolder(home, config), home + "/Stahování");
  // Without XDG_CONFIG_HOME, or with a relative one: ~/.config.
  EXPECT_EQ(XdgDownloadsFolder(home, ""), home + "/Downloads");
  tmp.write("home/.config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"/srv/dl\"\n");
  EXPECT_EQ(XdgDownloadsFolder(home, ""), "/srv/dl");
  EXPECT_EQ(XdgDownloadsFolder(home, "config"), "/srv/dl") << "a relative config folder is ignored";
  // A file that names no Downloads folder.
  tmp.write("config/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/Music\"\n");
  EXPECT_EQ(XdgDownloadsFolder(home, config), home + "/Downloads");
  // No usable home folder: none.
  EXPECT_EQ(XdgDownloadsFolder("", config), std::nullopt);
  EXPECT_EQ(XdgDownloadsFolder("relative/home", config), std::nullopt);
}

}  // namespace
}  // namespace lumavix
