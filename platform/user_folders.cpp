#include "platform/user_folders.h"

#include <fstream>
#include <iterator>

#include "devlib/file_io.h"

namespace lumavix {

namespace {

constexpr std::string_view kDownloadKey = "XDG_DOWNLOAD_DIR";
// A user-dirs file is a handful of lines; anything longer is not one.
constexpr std::size_t kMaxUserDirsBytes = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The text between the double quotes of `value`, with its backslash
// escapes undone; nullopt without both quotes or with text after them.
std::optional<std::string> Unquote(std::string_view value) {
  value = TrimRight(TrimLeft(value));
  if (value.size() < 2 || value.front() != '"') return std::nullopt;
  std::string out;
  std::size_t i = 1;
  for (; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\') {
      if (i + 1 >= value.size()) return std::nullopt;
      out.push_back(value[++i]);
    } else if (c == '"') {
      break;
    } else {
      out.push_back(c);
    }
  }
  if (i >= value.size()) return std::nullopt;  // no closing quote
  if (!TrimLeft(value.substr(i + 1)).empty()) return std::nullopt;
  return out;
}

std::string JoinHome(std::string_view home, std::string_view rest) {
  std::string out(home);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  if (!rest.empty()) {
    if (out.empty() || out.back() != '/') out.push_back('/');
    out += rest;
  }
  return out;
}

}  // namespace

std::optional<std::string> ParseUserDirsDownload(std::string_view text, std::string_view home) {
  std::optional<std::string> found;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    line = TrimLeft(line);
    if (line.empty() || line.front() == '#') continue;
    if (!line.starts_with(kDownloadKey)) continue;
    line = TrimLeft(line.substr(kDownloadKey.size()));
    if (line.empty() || line.front() != '=') continue;  // another key, e.g. XDG_DOWNLOAD_DIRS
    const std::optional<std::string> value = Unquote(line.substr(1));
    if (!value) continue;
    const std::string_view v = *value;
    if (v == "$HOME" || v.starts_with("$HOME/")) {
      if (home.empty()) continue;
      found = JoinHome(home, v.substr(5));
    } else if (v.starts_with('/')) {
      found = std::string(v);
    }
  }
  return found;
}

std::optional<std::string> XdgDownloadsFolder(std::string_view home, std::string_view configHome) {
  if (home.empty() || home.front() != '/') return std::nullopt;
  // A relative XDG_CONFIG_HOME is invalid by the base-directory rules.
  const std::string config = !configHome.empty() && configHome.front() == '/'
                                 ? std::string(configHome)
                                 : JoinHome(home, ".config");
  std::ifstream in(path_from_utf8(JoinHome(config, "user-dirs.dirs")), std::ios::binary);
  if (in) {
    std::string text(kMaxUserDirsBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (auto dir = ParseUserDirsDownload(text, home)) return dir;
  }
  return JoinHome(home, "Downloads");
}

}  // namespace lumavix
