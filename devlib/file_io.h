// Paths and files the same way on every system. Paths travel through the
// program as UTF-8 text; on Windows they become wide paths only where a file
// is opened or a folder is read, so a name outside the ANSI code page still
// opens. On Linux these are the plain calls.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace lumavix {

// The path named by UTF-8 `text`.
[[nodiscard]] std::filesystem::path path_from_utf8(std::string_view text);
// `p` as UTF-8 text (never throws for a name the ANSI code page lacks).
[[nodiscard]] std::string path_to_utf8(const std::filesystem::path& p);
// fopen of `p` (the wide open on Windows); null with errno set on failure.
[[nodiscard]] std::FILE* open_file(const std::filesystem::path& p, const char* mode);
// Puts `from` in the place of `to`, replacing a file already there (which
// the C library's rename refuses on Windows). 0, or an errno value.
[[nodiscard]] int replace_file(const std::filesystem::path& from, const std::filesystem::path& to);
// Removes a file; a missing one is no error.
void remove_file(const std::filesystem::path& p);
// The running program's own file; empty when the system does not say.
[[nodiscard]] std::filesystem::path program_file();

}  // namespace lumavix
