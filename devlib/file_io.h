// Paths and files the same way on every system. Paths travel through the
// program as UTF-8 text; on Windows they become wide paths only where a file
// is opened or a folder is read, so a name outside the ANSI code page still
// opens. On Linux these are the plain calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

// Every file the tool reads goes through read_input_file, so that no reader
// waits forever on a FIFO nobody writes, reads a device node or a folder, or
// is told apart from the file it opened by a swap of the path meanwhile: the
// path is opened without blocking and the type of the descriptor opened, not
// of the path, decides.

// What a read may take besides a regular file. A pipe (a FIFO named by the
// path, /dev/fd/N, a process substitution) is read once, as far as the limit;
// a FIFO whose writer is not there yet reads as empty rather than waiting.
enum class InputKind { kRegularFile, kRegularFileOrPipe };

// The error value of a read refused because the path names something other
// than a regular file (or pipe, where one is taken). Never an errno value.
inline constexpr int kNotRegularFileError = -1;

// A sentence for an error value of a failed read: the system's text for an
// errno value, or that the path is not a regular file.
[[nodiscard]] std::string read_error_text(int error);

struct InputFile {
  int error = 0;  // 0, an errno value, or kNotRegularFileError
  std::string message;  // for the user, naming the path, when error != 0
  std::vector<std::uint8_t> bytes;  // at most the limit
  // The length of what was opened: for a regular file its length (at least
  // what was read), for a pipe what came, at most the limit plus one.
  std::uint64_t size = 0;
  bool pipe = false;

  [[nodiscard]] bool ok() const { return error == 0; }
  // More bytes were there than the limit let in.
  [[nodiscard]] bool truncated() const { return size > bytes.size(); }
};

// Reads at most `limit` bytes of `p` from its start, in one open.
[[nodiscard]] InputFile read_input_file(const std::filesystem::path& p, std::size_t limit,
                                        InputKind kind = InputKind::kRegularFile);

// Every file the tool writes goes through these, so that no writer replaces
// a device node or a folder, follows a link planted under its temporary name,
// or writes into a file someone else made.

// Why a write did not happen; `kind` is kNone when it did.
struct WriteError {
  enum class Kind {
    kNone,
    // The target exists and is not a regular file (a device node, a folder,
    // a FIFO, a socket, a dangling or looping link): bad input, left alone.
    kNotRegularFile,
    // The system refused the write (permissions, a full disk).
    kSystem,
  };
  Kind kind = Kind::kNone;
  int error = 0;        // errno value for kSystem
  std::string message;  // for the user, naming the target

  [[nodiscard]] bool failed() const { return kind != Kind::kNone; }
};

// Who may read the finished file: the user alone (0600), or whoever the
// user's umask lets (an ordinary output such as a firmware file).
enum class FileAccess { kPrivate, kUmask };

// Refuses a target that exists and is not a regular file. A link to a
// regular file passes (the rename replaces the link, never its target).
[[nodiscard]] WriteError check_write_target(const std::filesystem::path& target);

// Creates a new, empty file with a unique name in the target's folder
// ("<name>.XXXXXX.part"), opened O_CREAT|O_EXCL|O_NOFOLLOW with mode 0600, so
// that nothing planted under a guessed name is opened. Refuses a target that
// is not a regular file first. The file is closed again; `temp` names it.
[[nodiscard]] WriteError create_temp_beside(const std::filesystem::path& target,
                                            std::filesystem::path& temp);

// Puts a finished temporary file from create_temp_beside in the target's
// place, checking the target again; removes the temporary file on failure.
[[nodiscard]] WriteError commit_temp_file(const std::filesystem::path& temp,
                                          const std::filesystem::path& target, FileAccess access);

// Writes `bytes` to `target` through a temporary file beside it, synced and
// renamed into place, so a failed write leaves neither a partial file nor a
// changed target.
[[nodiscard]] WriteError write_file_atomically(const std::filesystem::path& target,
                                               std::string_view bytes, FileAccess access);
[[nodiscard]] WriteError write_file_atomically(const std::filesystem::path& target,
                                               const std::vector<std::uint8_t>& bytes,
                                               FileAccess access);

// Creates `dir` (and its missing parents) with the last folder the user's
// alone (0700 on Linux), whoever creates it first; a folder already there is
// made private when it belongs to the user. 0, or an errno value.
[[nodiscard]] int create_private_folder(const std::filesystem::path& dir);

}  // namespace lumavix
