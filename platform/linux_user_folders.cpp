#include <cstdlib>

#include "platform/user_folders.h"

namespace lumavix {

namespace {

class XdgUserFolders final : public UserFolders {
 public:
  [[nodiscard]] std::optional<std::string> Downloads() const override {
    const char* home = std::getenv("HOME");
    const char* config = std::getenv("XDG_CONFIG_HOME");
    return XdgDownloadsFolder(home ? home : "", config ? config : "");
  }
};

}  // namespace

const UserFolders& SystemUserFolders() {
  static const XdgUserFolders folders;
  return folders;
}

}  // namespace lumavix
