#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/user_folders.h"
#include "platform/win_sys_call.h"

namespace lumavix {

namespace {

// The Downloads known folder, wherever the user moved it.
class KnownUserFolders final : public UserFolders {
 public:
  [[nodiscard]] std::optional<std::string> Downloads() const override {
    PWSTR wide = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_DEFAULT, nullptr, &wide);
    std::optional<std::string> out;
    if (SUCCEEDED(hr) && wide != nullptr && wide[0] != L'\0') out = narrow(wide);
    // Freed on failure too: the call may hand back a buffer either way.
    ::CoTaskMemFree(wide);
    return out;
  }
};

}  // namespace

const UserFolders& SystemUserFolders() {
  static const KnownUserFolders folders;
  return folders;
}

}  // namespace lumavix
