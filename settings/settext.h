// Setting text converter: turns a setting text (C-like array initialisers of
// hexadecimal elements, with comments and #if 0 / #if 1 / #else / #endif
// blocks) into the compact table image that the camera's flash holds, and
// writes a readable trace of what it found to a log file.
//
// The parsing works on an in-memory buffer and makes no system calls; the file
// reads and writes sit in thin functions around it, so the parser can be
// fuzzed and tested without files.
//
// Image layout (little-endian, offsets from the start of the image):
//   0        1  N, the number of arrays (1..255)
//   1 + 9k   2  name position of array k (H + nameOffset), H = 9N + 1
//   3 + 9k   2  name length
//   5 + 9k   2  element position of array k (H + dataOffset)
//   7 + 9k   1  element size (1, 2 or 4)
//   8 + 9k   2  data length (elementCount * elementSize)
//   H        .. for each array: its name bytes, then each element in
//               elementSize bytes, low byte first
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumavix {

// One array declaration of the text. The offsets are positions in the image's
// data area (the bytes after the directory). They are kept wider than the
// image's 16-bit fields so that a text too large for the format is refused
// instead of being wrapped.
struct SettingArray {
  std::size_t nameOffset = 0;
  std::size_t nameLength = 0;
  std::size_t dataOffset = 0;  // 0 when no "{" follows the declaration
  std::size_t elementCount = 0;
  std::uint32_t elementSize = 0;  // 1, 2 or 4
  std::string name;                   // not terminated
  std::vector<std::uint32_t> values;  // in text order, full 32-bit values
};

// Outcome of reading a setting text. The first three keep the report codes
// 1, 2 and 3 that callers of the converter know.
enum class ParseStatus : int {
  Ok = 0,
  TextOpenFailed = 1,
  LogCreateFailed = 2,
  OutOfMemory = 3,
  // A declaration (the text before a "[") holds none of the element type
  // words; the whole text is refused.
  MissingElementType = 4,
  // The text is larger than kMaxSettingTextSize; nothing of it is read on.
  TextTooLarge = 5,
  // A "/*" without its "*/", or an array without its "{" or "}": the rest
  // of the text would be lost, so the whole text is refused.
  UnterminatedComment = 6,
  UnterminatedArray = 7,
};

// Far above any real setting text (a table image holds at most 64 KiB), far
// below what would exhaust memory when a device or an endless file is given.
inline constexpr std::size_t kMaxSettingTextSize = 4u << 20;

// A sentence for a status other than Ok, naming `where` (the text) and, for
// the statuses that have one, the line at fault.
[[nodiscard]] std::string DescribeParseStatus(ParseStatus status, const std::string& where,
                                              std::size_t line, int err);

enum class ImageStatus {
  Ok,
  NoArrays,
  TooManyArrays,   // more than 255 arrays
  FieldOverflow,   // a position, name length or data length past 16 bits
  BufferTooSmall,  // the image is larger than the caller's buffer
};

inline constexpr std::size_t kSettingImageMaxArrays = 255;
inline constexpr std::size_t kSettingImageEntrySize = 9;
// Buffers of the two callers: the table download and "Txt Make Bin".
inline constexpr std::size_t kTableDownloadBufferSize = 65536;
inline constexpr std::size_t kTxtMakeBinBufferSize = 4096;

// Where the trace log of a conversion goes.
//
// With `explicitPath` set, that file is the only place tried, and failing to
// create it fails the conversion (the user asked for it). Otherwise the log is
// named after the program (its directory, its base name, ".log"); when that
// cannot be created (an installed program's directory is not writable) it
// goes to <state home>/lumavix/<base name>.log, the directory being created as
// needed, and when that fails too the conversion runs without a log.
struct SettextLogOptions {
  std::filesystem::path explicitPath;
  // The program file the log is named after; empty: /proc/self/exe.
  std::filesystem::path programPath;
  // The user's state directory; empty: $XDG_STATE_HOME when it is absolute,
  // else $HOME/.local/state.
  std::filesystem::path stateHome;
};

// The places tried for the log, in order (no file is touched).
[[nodiscard]] std::vector<std::filesystem::path> SettextLogCandidates(
    const SettextLogOptions& options);

// One conversion. The object holds the arrays found by one parse and the
// conditional-block state of that parse; it is made for one text.
class MakeBinFile {
 public:
  explicit MakeBinFile(SettextLogOptions log = {});
  virtual ~MakeBinFile();
  MakeBinFile(const MakeBinFile&) = delete;
  MakeBinFile& operator=(const MakeBinFile&) = delete;

  // Converts the text file at `textPath` into `buffer`. When the text yields
  // at least one array and the image fits both the format and the buffer,
  // the image is written and `size` becomes its length; otherwise neither the
  // buffer nor `size` is touched. Returns 1 in every case: callers judge the
  // outcome by `size`, as the table download does.
  static int MakeBin(const std::filesystem::path& textPath, std::span<std::uint8_t> buffer,
                     std::size_t& size, const SettextLogOptions& log = {});

  // Reads the text file, parses it and writes the trace log. On any status
  // other than Ok the array list is empty.
  [[nodiscard]] ParseStatus ParseSettingText(const std::filesystem::path& textPath);

  // The parse itself, on a buffer; the trace is appended to `log`. Makes no
  // system calls.
  [[nodiscard]] ParseStatus ParseSettingBuffer(std::string_view text, std::string& log);

  // Called at each scan position: moves `pos` past any comments and directives
  // that start there (and past a disabled block), or leaves it where it was.
  // Never moves `pos` beyond text.size().
  void SkipCommentOrDirective(std::string_view text, std::size_t& pos);

  // Checks the layout against the format and `capacity`; on Ok, `imageSize`
  // receives the image length.
  [[nodiscard]] ImageStatus CheckSettingImage(std::size_t capacity,
                                              std::size_t& imageSize) const;

  // Lays out the image at the start of `buffer`; writes nothing unless
  // CheckSettingImage(buffer.size()) is Ok.
  [[nodiscard]] ImageStatus WriteSettingImage(std::span<std::uint8_t> buffer) const;

  [[nodiscard]] const std::vector<SettingArray>& arrays() const { return arrays_; }
  void clear();

  // Details of the last ParseSettingText, for messages.
  [[nodiscard]] int last_errno() const { return lastErrno_; }
  // 1-based line of the "[" of a declaration without an element type, of an
  // unterminated "/*", or of the "[" of an unterminated array.
  [[nodiscard]] std::size_t reject_line() const { return rejectLine_; }
  // The log file written; empty when the conversion ran without one.
  [[nodiscard]] const std::filesystem::path& log_path() const { return logPath_; }

 private:
  // Skips one comment or directive at `pos`; returns false when none starts
  // there.
  bool skipOne(std::string_view text, std::size_t& pos);

  SettextLogOptions logOptions_;
  std::vector<SettingArray> arrays_;
  // Set by "#if 1", cleared by "#endif" and when an "#else" part is skipped.
  // Lives for one parse: an unclosed "#if 1" does not leak into the next text.
  bool ifOneActive_ = false;
  // Where a "/*" without its "*/" starts; npos when none was met.
  std::size_t openComment_ = std::string_view::npos;
  int lastErrno_ = 0;
  std::size_t rejectLine_ = 0;
  std::filesystem::path logPath_;
};

// Free-function form of MakeBinFile::MakeBin, for the table download.
inline int MakeBin(const std::filesystem::path& textPath, std::span<std::uint8_t> buffer,
                   std::size_t& size, const SettextLogOptions& log = {}) {
  return MakeBinFile::MakeBin(textPath, buffer, size, log);
}

// Result of a conversion for the command line.
struct SettextConversion {
  std::string error;  // empty on success
  std::size_t arrayCount = 0;
  std::vector<std::uint8_t> image;
  std::vector<std::string> names;
  std::filesystem::path logPath;  // empty when no log was written

  [[nodiscard]] bool ok() const { return error.empty(); }
};

// Converts a text file into an image of at most `capacity` bytes. Fails with
// a readable error when the text cannot be read, yields no arrays or is
// refused.
[[nodiscard]] SettextConversion ConvertSettingText(
    const std::filesystem::path& textPath,
    std::size_t capacity = kTableDownloadBufferSize, const SettextLogOptions& log = {});

}  // namespace lumavix
