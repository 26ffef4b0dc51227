#include "settings/settext.h"
#include "devlib/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace lumavix {

namespace {

struct TypeWord {
  std::string_view word;
  std::uint32_t size;
};

// Searched in this order; the first word found anywhere in the declaration
// decides, so "uint16" wins over "uint8" and both over the bare "uint".
constexpr TypeWord kTypeWords[] = {
    {"uint32", 4}, {"UINT32", 4}, {"uint16", 2}, {"UINT16", 2},
    {"uint8", 1},  {"UINT8", 1},  {"uint", 2},   {"uchar", 1},
};

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kElementsHeader = "Elements are followed:\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kArrayEnd = "\r\n\r\n";
constexpr std::size_t kField16 = 0xFFFF;

bool DirectiveIs(std::string_view text, std::size_t hash, std::string_view word) {
  return text.substr(hash + 1).starts_with(word);
}

// Position of the next "#" at or after `from` that is directly followed by
// `word`, or npos.
std::size_t FindDirective(std::string_view text, std::size_t from, std::string_view word) {
  for (std::size_t h = text.find('#', from); h != std::string_view::npos;
       h = text.find('#', h + 1)) {
    if (DirectiveIs(text, h, word))
      return h;
  }
  return std::string_view::npos;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Value of an element text that starts with "0x": the hexadecimal digits
// after the prefix up to the first other character. Digits beyond 32 bits
// shift the high ones out, like any value wider than its element; "0x" with
// no digit is 0.
std::uint32_t ElementValue(std::string_view element) {
  std::uint32_t value = 0;
  for (std::size_t k = 2; k < element.size(); ++k) {
    const int digit = HexDigit(element[k]);
    if (digit < 0)
      break;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::size_t LineOf(std::string_view text, std::size_t pos) {
  std::size_t line = 1;
  for (std::size_t k = 0; k < pos && k < text.size(); ++k)
    line += text[k] == '\n' ? 1 : 0;
  return line;
}

void PutLe16(std::uint8_t* out, std::size_t value) {
  out[0] = static_cast<std::uint8_t>(value & 0xFF);
  out[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

struct LogCandidate {
  std::filesystem::path path;
  bool createParent = false;
};

std::filesystem::path DefaultStateHome() {
#ifdef _WIN32
  // The user's local application data, as Windows programs keep their logs.
  if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr && *local != L'\0')
    return std::filesystem::path(local);
  return {};
#endif
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && *xdg != '\0') {
    std::filesystem::path p(xdg);
    // Relative values are invalid by the base-directory rules and ignored.
    if (p.is_absolute())
      return p;
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0')
    return std::filesystem::path(home) / ".local" / "state";
  return {};
}

std::vector<LogCandidate> LogCandidates(const SettextLogOptions& options) {
  std::vector<LogCandidate> out;
  if (!options.explicitPath.empty()) {
    out.push_back({options.explicitPath, false});
    return out;
  }

  std::filesystem::path program = options.programPath;
  if (program.empty()) {
    program = program_file();
  }

  std::filesystem::path logName = "lumavix-fw.log";
  if (!program.empty() && program.has_filename()) {
    logName = program.filename();
    logName.replace_extension(".log");
    out.push_back({program.parent_path() / logName, false});
  }

  const std::filesystem::path stateHome =
      options.stateHome.empty() ? DefaultStateHome() : options.stateHome;
  if (!stateHome.empty())
    out.push_back({stateHome / "lumavix" / logName, true});
  return out;
}

// Opens the first candidate that can be created. Returns nullptr when none
// can; `err` then holds the last errno.
std::FILE* OpenLog(const std::vector<LogCandidate>& candidates, std::filesystem::path& chosen,
                   int& err) {
  err = 0;
  for (const LogCandidate& candidate : candidates) {
    if (candidate.createParent) {
      // The state folder also holds the run traces: private, as they are.
      if (const int e = create_private_folder(candidate.path.parent_path()); e != 0) {
        err = e;
        continue;
      }
    }
    std::FILE* f = open_file(candidate.path, "wb");
    if (f != nullptr) {
      chosen = candidate.path;
      return f;
    }
    err = errno;
  }
  return nullptr;
}

}  // namespace

std::vector<std::filesystem::path> SettextLogCandidates(const SettextLogOptions& options) {
  std::vector<std::filesystem::path> out;
  for (LogCandidate& candidate : LogCandidates(options))
    out.push_back(std::move(candidate.path));
  return out;
}

MakeBinFile::MakeBinFile(SettextLogOptions log) : logOptions_(std::move(log)) {}

MakeBinFile::~MakeBinFile() = default;

void MakeBinFile::clear() {
  arrays_.clear();
}

bool MakeBinFile::skipOne(std::string_view text, std::size_t& pos) {
  const std::size_t n = text.size();
  if (pos >= n)
    return false;

  if (text[pos] == '/') {
    if (pos + 1 >= n)
      return false;
    if (text[pos + 1] == '/') {
      // A line comment ends at the line end, CR LF or a bare LF or CR, so
      // that texts saved with Unix line ends do not lose everything after
      // their first comment.
      const std::size_t eol = text.find_first_of("\r\n", pos + 2);
      if (eol == std::string_view::npos) {
        pos = n;
        return true;
      }
      pos = eol + 1;
      if (text[eol] == '\r' && pos < n && text[pos] == '\n')
        ++pos;
      return true;
    }
    if (text[pos + 1] == '*') {
      const std::size_t end = text.find("*/", pos + 2);
      if (end == std::string_view::npos && openComment_ == std::string_view::npos)
        openComment_ = pos;
      pos = end == std::string_view::npos ? n : end + 2;
      return true;
    }
    // Any other "/" is ordinary text.
    return false;
  }

  if (text[pos] != '#')
    return false;

  if (DirectiveIs(text, pos, "if 0")) {
    // Disabled block: up to the next "#else" (whose part is then read) or
    // "#endif". Blocks do not nest.
    for (std::size_t h = text.find('#', pos + 5); h != std::string_view::npos;
         h = text.find('#', h + 1)) {
      if (DirectiveIs(text, h, "else")) {
        pos = h + 5;
        return true;
      }
      if (DirectiveIs(text, h, "endif")) {
        pos = h + 6;
        return true;
      }
    }
    pos = n;
    return true;
  }
  if (DirectiveIs(text, pos, "if 1")) {
    ifOneActive_ = true;
    pos += 5;
    return true;
  }
  if (DirectiveIs(text, pos, "else")) {
    pos += 5;
    if (ifOneActive_) {
      ifOneActive_ = false;
      const std::size_t h = FindDirective(text, pos, "endif");
      pos = h == std::string_view::npos ? n : h + 6;
    }
    return true;
  }
  if (DirectiveIs(text, pos, "endif")) {
    ifOneActive_ = false;
    pos += 6;
    return true;
  }
  // Any other "#" (#define, #include, ...): only the "#" itself is passed.
  pos += 1;
  return true;
}

void MakeBinFile::SkipCommentOrDirective(std::string_view text, std::size_t& pos) {
  // Comments and directives that follow one another directly are all passed,
  // so a directive on the line after a comment is still recognised. Every
  // step advances, so this ends.
  while (skipOne(text, pos)) {
  }
  if (pos > text.size())
    pos = text.size();
}

ParseStatus MakeBinFile::ParseSettingBuffer(std::string_view text, std::string& log) {
  clear();
  ifOneActive_ = false;
  rejectLine_ = 0;
  openComment_ = std::string_view::npos;
  const auto refuse = [&](ParseStatus status, std::size_t at) {
    rejectLine_ = LineOf(text, at);
    clear();
    return status;
  };

  try {
    const std::size_t n = text.size();
    std::size_t i = 0;
    std::size_t p = 0;  // running position in the data area

    // The declaration is the text since the previous array's closing brace,
    // with skipped comments and disabled blocks left out, so that a type
    // word or a table inside them does not become part of the next array.
    std::string declaration;
    std::size_t live = 0;

    while (i < n) {
      const std::size_t before = i;
      SkipCommentOrDirective(text, i);
      if (i != before) {
        declaration.append(text.substr(live, before - live));
        live = i;
      }
      if (i >= n)
        break;

      if (text[i] == '[') {
        declaration.append(text.substr(live, i - live));

        std::size_t wordPos = std::string_view::npos;
        std::uint32_t elementSize = 0;
        for (const TypeWord& type : kTypeWords) {
          wordPos = declaration.find(type.word);
          if (wordPos != std::string::npos) {
            elementSize = type.size;
            break;
          }
        }
        if (wordPos == std::string::npos) {
          rejectLine_ = LineOf(text, i);
          clear();
          return ParseStatus::MissingElementType;
        }

        std::size_t tokenEnd = declaration.find_first_of(kBlanks, wordPos);
        if (tokenEnd == std::string::npos)
          tokenEnd = declaration.size();
        std::size_t nameStart = declaration.find_first_not_of(kBlanks, tokenEnd);
        if (nameStart == std::string::npos)
          nameStart = declaration.size();

        SettingArray& array = arrays_.emplace_back();
        array.elementSize = elementSize;
        array.name = declaration.substr(nameStart);
        array.nameLength = array.name.size();
        array.nameOffset = p;
        p += array.nameLength;

        log.append(declaration, wordPos, tokenEnd - wordPos);
        log += array.name;
        log += kLineEnd;

        const std::size_t brace = text.find('{', i + 1);
        if (brace == std::string_view::npos)
          return openComment_ != std::string_view::npos
                     ? refuse(ParseStatus::UnterminatedComment, openComment_)
                     : refuse(ParseStatus::UnterminatedArray, i);
        const std::size_t arrayStart = i;
        array.dataOffset = p;
        log += kElementsHeader;

        i = brace + 1;
        bool closed = false;
        while (i < n) {
          SkipCommentOrDirective(text, i);
          if (i >= n)
            break;
          if (text[i] == '}') {
            log += kArrayEnd;
            closed = true;
            break;
          }
          if (text[i] == '0' && i + 1 < n && text[i + 1] == 'x') {
            // The element runs to the comma that follows it. A last element
            // written without its comma ends at the closing brace instead of
            // swallowing the next declaration.
            std::size_t end = text.find_first_of(",}", i + 1);
            if (end == std::string_view::npos)
              end = n;
            const std::string_view element = text.substr(i, end - i);
            array.values.push_back(ElementValue(element));
            array.elementCount = array.values.size();
            p += elementSize;
            log += element;
            log += '\t';
            i = end;
            if (i < n && text[i] == '}')
              continue;
          }
          ++i;
        }
        if (!closed)
          return openComment_ != std::string_view::npos
                     ? refuse(ParseStatus::UnterminatedComment, openComment_)
                     : refuse(ParseStatus::UnterminatedArray, arrayStart);
        // The next declaration starts after the closing brace.
        declaration.clear();
        live = i < n ? i + 1 : n;
      }
      ++i;
    }
  } catch (const std::bad_alloc&) {
    clear();
    return ParseStatus::OutOfMemory;
  } catch (const std::length_error&) {
    clear();
    return ParseStatus::OutOfMemory;
  }
  if (openComment_ != std::string_view::npos)
    return refuse(ParseStatus::UnterminatedComment, openComment_);
  return ParseStatus::Ok;
}

ParseStatus MakeBinFile::ParseSettingText(const std::filesystem::path& textPath) {
  clear();
  lastErrno_ = 0;
  rejectLine_ = 0;
  logPath_.clear();

  // The text is read into memory whole before the log is made: only a
  // regular file, never one past the size limit.
  InputFile in = read_input_file(textPath, kMaxSettingTextSize);
  if (!in.ok()) {
    lastErrno_ = in.error;
    return ParseStatus::TextOpenFailed;
  }

  // The log is created before the text is converted, so every conversion
  // leaves a fresh log even when the text yields nothing.
  const bool logRequired = !logOptions_.explicitPath.empty();
  std::FILE* logFile = nullptr;
  try {
    int logErr = 0;
    logFile = OpenLog(LogCandidates(logOptions_), logPath_, logErr);
    if (logFile == nullptr && logRequired) {
      lastErrno_ = logErr;
      return ParseStatus::LogCreateFailed;
    }
  } catch (const std::bad_alloc&) {
    return ParseStatus::OutOfMemory;
  }

  std::string text;
  ParseStatus status = ParseStatus::Ok;
  if (in.truncated()) {
    status = ParseStatus::TextTooLarge;
  } else {
    try {
      text.assign(in.bytes.begin(), in.bytes.end());
    } catch (const std::bad_alloc&) {
      status = ParseStatus::OutOfMemory;
    }
  }

  std::string log;
  if (status == ParseStatus::Ok)
    status = ParseSettingBuffer(text, log);

  if (logFile != nullptr) {
    const bool written = std::fwrite(log.data(), 1, log.size(), logFile) == log.size();
    const bool closed = std::fclose(logFile) == 0;
    if ((!written || !closed) && logRequired && status == ParseStatus::Ok) {
      lastErrno_ = errno;
      clear();
      status = ParseStatus::LogCreateFailed;
    }
  }
  return status;
}

ImageStatus MakeBinFile::CheckSettingImage(std::size_t capacity, std::size_t& imageSize) const {
  const std::size_t count = arrays_.size();
  if (count == 0)
    return ImageStatus::NoArrays;
  if (count > kSettingImageMaxArrays)
    return ImageStatus::TooManyArrays;

  const std::size_t header = kSettingImageEntrySize * count + 1;
  std::size_t total = header;
  bool overflow = false;
  for (const SettingArray& array : arrays_) {
    // Element counts are bounded by the text length, so these sums do not
    // wrap a 64-bit size.
    const std::size_t dataLength = array.elementCount * array.elementSize;
    total += array.nameLength + dataLength;
    overflow = overflow || array.nameLength > kField16 || dataLength > kField16 ||
               header + array.nameOffset > kField16 || header + array.dataOffset > kField16;
  }
  if (total > capacity)
    return ImageStatus::BufferTooSmall;
  if (overflow)
    return ImageStatus::FieldOverflow;
  imageSize = total;
  return ImageStatus::Ok;
}

ImageStatus MakeBinFile::WriteSettingImage(std::span<std::uint8_t> buffer) const {
  std::size_t imageSize = 0;
  const ImageStatus status = CheckSettingImage(buffer.size(), imageSize);
  if (status != ImageStatus::Ok)
    return status;

  const std::size_t count = arrays_.size();
  const std::size_t header = kSettingImageEntrySize * count + 1;
  std::uint8_t* out = buffer.data();
  out[0] = static_cast<std::uint8_t>(count);
  for (std::size_t k = 0; k < count; ++k) {
    const SettingArray& array = arrays_[k];
    std::uint8_t* entry = out + 1 + kSettingImageEntrySize * k;
    PutLe16(entry + 0, header + array.nameOffset);
    PutLe16(entry + 2, array.nameLength);
    PutLe16(entry + 4, header + array.dataOffset);
    entry[6] = static_cast<std::uint8_t>(array.elementSize);
    PutLe16(entry + 7, array.elementCount * array.elementSize);
  }

  std::size_t at = header;
  for (const SettingArray& array : arrays_) {
    std::memcpy(out + at, array.name.data(), array.name.size());
    at += array.name.size();
    for (const std::uint32_t value : array.values) {
      for (std::uint32_t b = 0; b < array.elementSize; ++b)
        out[at++] = static_cast<std::uint8_t>((value >> (8 * b)) & 0xFF);
    }
  }
  return ImageStatus::Ok;
}

int MakeBinFile::MakeBin(const std::filesystem::path& textPath, std::span<std::uint8_t> buffer,
                         std::size_t& size, const SettextLogOptions& log) {
  MakeBinFile converter(log);
  if (converter.ParseSettingText(textPath) != ParseStatus::Ok)
    return 1;
  std::size_t imageSize = 0;
  if (converter.CheckSettingImage(buffer.size(), imageSize) != ImageStatus::Ok)
    return 1;
  if (converter.WriteSettingImage(buffer) == ImageStatus::Ok)
    size = imageSize;
  return 1;
}

std::string DescribeParseStatus(ParseStatus status, const std::string& where, std::size_t line,
                                int err) {
  const std::string at = where + ", line " + std::to_string(line);
  switch (status) {
    case ParseStatus::Ok:
      return {};
    case ParseStatus::TextOpenFailed:
      return "cannot read " + where + ": " + read_error_text(err);
    case ParseStatus::LogCreateFailed:
      return "cannot write the conversion log: " + std::string(std::strerror(err));
    case ParseStatus::OutOfMemory:
      return "not enough memory to convert " + where;
    case ParseStatus::MissingElementType:
      return at + ": the declaration before \"[\" names no element type "
                  "(uint32, UINT32, uint16, UINT16, uint8, UINT8, uint or uchar)";
    case ParseStatus::TextTooLarge:
      return where + " is larger than " + std::to_string(kMaxSettingTextSize >> 20) +
             " MiB; a setting text is far smaller";
    case ParseStatus::UnterminatedComment:
      return at + ": the comment \"/*\" is never closed by \"*/\"";
    case ParseStatus::UnterminatedArray:
      return at + ": the array is never closed by \"}\"";
  }
  return where + " cannot be converted";
}

SettextConversion ConvertSettingText(const std::filesystem::path& textPath,
                                     std::size_t capacity, const SettextLogOptions& log) {
  SettextConversion result;
  const std::string where = "setting text '" + path_to_utf8(textPath) + "'";
  try {
    MakeBinFile converter(log);
    const ParseStatus status = converter.ParseSettingText(textPath);
    result.logPath = converter.log_path();
    switch (status) {
      case ParseStatus::Ok:
        break;
      case ParseStatus::TextOpenFailed:
        result.error = "cannot read " + where + ": " + read_error_text(converter.last_errno());
        return result;
      case ParseStatus::LogCreateFailed:
        result.error = "cannot write log file '" + path_to_utf8(log.explicitPath) +
                       "': " + std::strerror(converter.last_errno());
        return result;
      case ParseStatus::OutOfMemory:
      case ParseStatus::MissingElementType:
      case ParseStatus::TextTooLarge:
      case ParseStatus::UnterminatedComment:
      case ParseStatus::UnterminatedArray:
        result.error = DescribeParseStatus(status, where, converter.reject_line(),
                                           converter.last_errno());
        return result;
    }

    std::size_t imageSize = 0;
    switch (converter.CheckSettingImage(capacity, imageSize)) {
      case ImageStatus::Ok:
        break;
      case ImageStatus::NoArrays:
        result.error = where + " holds no arrays";
        return result;
      case ImageStatus::TooManyArrays:
        result.error = where + " holds " + std::to_string(converter.arrays().size()) +
                       " arrays; a table image holds at most 255";
        return result;
      case ImageStatus::BufferTooSmall: {
        std::size_t total = kSettingImageEntrySize * converter.arrays().size() + 1;
        for (const SettingArray& array : converter.arrays())
          total += array.nameLength + array.elementCount * array.elementSize;
        result.error = where + " makes an image of " + std::to_string(total) +
                       " bytes; at most " + std::to_string(capacity) + " fit";
        return result;
      }
      case ImageStatus::FieldOverflow:
        result.error = where + " makes an image whose positions or lengths exceed 65535";
        return result;
    }

    result.image.assign(imageSize, 0);
    if (converter.WriteSettingImage(result.image) != ImageStatus::Ok) {
      result.image.clear();
      result.error = "cannot lay out the image of " + where;
      return result;
    }
    result.arrayCount = converter.arrays().size();
    for (const SettingArray& array : converter.arrays())
      result.names.push_back(array.name);
  } catch (const std::bad_alloc&) {
    result = SettextConversion{};
    result.error = "not enough memory to convert " + where;
  }
  return result;
}

}  // namespace lumavix
