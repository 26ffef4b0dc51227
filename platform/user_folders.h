// The user's own folders as the desktop names them: where a browser saves a
// downloaded firmware file. Linux asks the XDG user-dirs file, Windows the
// Downloads known folder; tests and simulated runs name a folder of their
// own (FixedUserFolders).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumavix {

class UserFolders {
 public:
  virtual ~UserFolders() = default;
  // The Downloads folder as a UTF-8 path; nullopt when the system names
  // none (no home folder, the shell call failed). The folder need not exist.
  [[nodiscard]] virtual std::optional<std::string> Downloads() const = 0;
};

// A folder given outright (tests, simulated runs); nullopt names none.
class FixedUserFolders final : public UserFolders {
 public:
  explicit FixedUserFolders(std::optional<std::string> downloads)
      : downloads_(std::move(downloads)) {}
  [[nodiscard]] std::optional<std::string> Downloads() const override { return downloads_; }

 private:
  std::optional<std::string> downloads_;
};

// The system's folders: linux_user_folders.cpp or win_user_folders.cpp.
[[nodiscard]] const UserFolders& SystemUserFolders();

// XDG_DOWNLOAD_DIR of a user-dirs.dirs text, resolved against `home`. The
// file is a shell fragment, but only two forms are meant to be read from it:
// XDG_DOWNLOAD_DIR="$HOME/rest" (or "$HOME" alone) and XDG_DOWNLOAD_DIR="/abs";
// a backslash quotes the character after it. Comments, other keys, values
// without quotes or with an unclosed quote, and relative paths are passed
// over; of several valid assignments the last counts, as in the shell.
// nullopt when there is none.
[[nodiscard]] std::optional<std::string> ParseUserDirsDownload(std::string_view text,
                                                               std::string_view home);

// The Downloads folder by the XDG rules: the user-dirs.dirs file of
// `configHome` (when it is absolute; else of `home`/.config), and
// `home`/Downloads when the file is missing or names none. nullopt when
// `home` is empty or not absolute.
[[nodiscard]] std::optional<std::string> XdgDownloadsFolder(std::string_view home,
                                                            std::string_view configHome);

}  // namespace lumavix
