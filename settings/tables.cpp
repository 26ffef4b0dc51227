#include "settings/tables.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "devlib/trace.h"
#include "firmware/engine.h"
#include "firmware/flash.h"
#include "devlib/file_io.h"

namespace lumavix {

namespace {

constexpr std::uint32_t kTxtMakeBinBuffer = static_cast<std::uint32_t>(kTxtMakeBinBufferSize);

void show_status(const SettingTableUi& ui, TableResult& result, const char* text) {
  result.status = text;
  if (ui.status) ui.status(text);
}

void show_message(const SettingTableUi& ui, const char* text) {
  if (ui.prompter)
    (void)ui.prompter->ask(kTablesCaption, text, MessageButtons::Ok, MessageIcon::None);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The C locale's white space, as strtoul skips it.
bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string fmt_hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// The path of `name` in `directory`: the exact name when such a file exists,
// else the first entry in name order that matches ignoring case. Empty when
// none is there or the directory cannot be read.
std::string find_table_file(const std::filesystem::path& directory, std::string_view name) {
  std::error_code ec;
  // The exact name is looked for among the entries too: on a file system
  // that ignores case (Windows) opening it would succeed for any spelling,
  // and the name shown must be the one found.
  std::vector<std::string> matches;
  bool listed = false;
  std::filesystem::directory_iterator it(directory, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    listed = true;
    const std::string entry = path_to_utf8(it->path().filename());
    std::error_code type_ec;
    if (!equal_ignoring_case(entry, name) || !it->is_regular_file(type_ec)) continue;
    if (entry == name) return path_to_utf8(directory / path_from_utf8(entry));
    matches.push_back(entry);
  }
  if (!listed) {
    const std::filesystem::path exact = directory / path_from_utf8(name);
    std::error_code type_ec;
    if (std::filesystem::is_regular_file(exact, type_ec)) return path_to_utf8(exact);
  }
  if (matches.empty()) return {};
  std::sort(matches.begin(), matches.end());
  return path_to_utf8(directory / path_from_utf8(matches.front()));
}

// Reads a whole .bin table into `buffer`. Returns false when the file cannot
// be opened or read; a file larger than the buffer is refused (TooLarge)
// rather than cut, since a cut table is not the table the user chose.
bool read_table_file(const std::string& path, std::span<std::uint8_t> buffer,
                     TableResult& result) {
  // Only a regular file: a FIFO or a device would hold the thread, or give
  // a different table at every read.
  InputFile in = read_input_file(path_from_utf8(path), buffer.size());
  if (!in.ok()) {
    result.outcome = TableOutcome::OpenFailed;
    result.detail = in.message;
    return false;
  }
  if (in.truncated()) {
    std::fill(buffer.begin(), buffer.end(), 0);
    result.outcome = TableOutcome::TooLarge;
    result.detail = path + " is larger than the " + std::to_string(buffer.size()) +
                    " bytes a setting table may take";
    return true;
  }
  std::copy(in.bytes.begin(), in.bytes.end(), buffer.begin());
  result.size = in.bytes.size();
  if (in.bytes.empty()) {
    result.outcome = TableOutcome::Empty;
    result.detail = path + " is empty";
  }
  return true;
}

// Converts a setting text into `buffer`; sets the outcome on a refusal.
void convert_table_text(const std::string& path, std::span<std::uint8_t> buffer,
                        const SettextLogOptions& log, TableResult& result) {
  const auto refuse = [&](TableOutcome outcome, std::string why) {
    result.outcome = outcome;
    result.detail = std::move(why);
    result.size = 0;
  };
  try {
    MakeBinFile converter(log);
    const ParseStatus parsed = converter.ParseSettingText(path);
    switch (parsed) {
      case ParseStatus::Ok:
        break;
      case ParseStatus::TextOpenFailed:
        return refuse(TableOutcome::TextRefused, "cannot read setting text " + path + ": " +
                                                     read_error_text(converter.last_errno()));
      case ParseStatus::LogCreateFailed:
        return refuse(TableOutcome::TextRefused,
                      "cannot write the conversion log: " +
                          std::string(std::strerror(converter.last_errno())));
      case ParseStatus::OutOfMemory:
        return refuse(TableOutcome::TextRefused, "not enough memory to convert " + path);
      case ParseStatus::MissingElementType:
        return refuse(TableOutcome::TextRefused,
                      path + ", line " + std::to_string(converter.reject_line()) +
                          ": the declaration names no element type");
      case ParseStatus::TextTooLarge:
      case ParseStatus::UnterminatedComment:
      case ParseStatus::UnterminatedArray:
        return refuse(TableOutcome::TextRefused,
                      DescribeParseStatus(parsed, path, converter.reject_line(), 0));
    }
    std::size_t size = 0;
    switch (converter.CheckSettingImage(buffer.size(), size)) {
      case ImageStatus::Ok:
        break;
      case ImageStatus::NoArrays:
        return refuse(TableOutcome::TextRefused, path + " holds no arrays");
      case ImageStatus::TooManyArrays:
        return refuse(TableOutcome::TextRefused, path + " holds more than 255 arrays");
      case ImageStatus::FieldOverflow:
        return refuse(TableOutcome::TextRefused,
                      path + " makes an image whose positions or lengths exceed 65535");
      case ImageStatus::BufferTooSmall:
        return refuse(TableOutcome::TooLarge, path + " makes an image larger than the " +
                                                  std::to_string(buffer.size()) +
                                                  " bytes a setting table may take");
    }
    if (converter.WriteSettingImage(buffer) != ImageStatus::Ok)
      return refuse(TableOutcome::TextRefused, "cannot lay out the image of " + path);
    result.size = size;
  } catch (const std::bad_alloc&) {
    refuse(TableOutcome::TextRefused, "not enough memory to convert " + path);
  }
}

// Checks where the table goes against the flash; sets the outcome and
// returns false when it cannot be written there.
bool check_placement(TableResult& result) {
  SpiFlashInfo info;
  if (!kvVidHidCls_SPI_Flash_GetInfo(info) || info.page_size == 0) {
    result.outcome = TableOutcome::WriteFailed;
    result.detail = "the camera's flash cannot be identified";
    return false;
  }
  const std::uint64_t end = std::uint64_t{result.address} + result.size;
  // The part's real size: the WinBond rows' capacity column understates it.
  if (end > info.size) {
    result.outcome = TableOutcome::OutsideFlash;
    result.detail = "a table of " + std::to_string(result.size) + " bytes at 0x" +
                    fmt_hex(result.address) + " runs past the end of the " +
                    std::to_string(info.size) + "-byte flash";
    return false;
  }
  // Page programming wraps inside a page, so a first piece that crosses a
  // page boundary would overwrite the start of its own page.
  const std::uint32_t in_page = result.address % info.page_size;
  if (in_page != 0 && in_page + std::min<std::uint64_t>(result.size, info.page_size) >
                          info.page_size) {
    result.outcome = TableOutcome::CrossesPage;
    result.detail = "address 0x" + fmt_hex(result.address) + " is not a multiple of the " +
                    std::to_string(info.page_size) + "-byte flash page";
    return false;
  }
  return true;
}

// Erases every sector the table touches, then programs it.
bool erase_and_program(const TableResult& table, const std::uint8_t* data,
                       ProgressSink* progress) {
  const std::uint32_t first = table.address & ~(kSectorSize - 1);
  const std::uint32_t last =
      static_cast<std::uint32_t>(table.address + table.size - 1) & ~(kSectorSize - 1);
  for (std::uint32_t sector = first;; sector += kSectorSize) {
    const bool once = kvVidHidCls_SPI_Flash_SectorErase(0, sector);
    const bool twice = kvVidHidCls_SPI_Flash_SectorErase(0, sector);
    if (!once && !twice) return false;
    if (sector == last) break;
  }
  return ProgramRange(table.address, static_cast<std::uint32_t>(table.size), data, progress);
}

// One table of the download. Returns false when the operation must stop
// (the .bin file could not be opened).
bool download_table(const std::string& path, const std::string& address_text,
                    std::span<std::uint8_t> buffer, const SettingTableUi& ui,
                    const SettextLogOptions& log, const char* success_text,
                    TableResult& result) {
  if (path.empty()) return true;
  result.address = SettingTableAddress(address_text);

  switch (SettingTableFileType(path)) {
    case TableFileType::Bin:
      if (!read_table_file(path, buffer, result)) {
        DebugTrace("setting table %s: %s\n", path.c_str(), result.detail.c_str());
        show_message(ui, kMsgTableFileOpenError);
        return false;
      }
      break;
    case TableFileType::Txt:
      convert_table_text(path, buffer, log, result);
      break;
    case TableFileType::Other:
      result.outcome = TableOutcome::UnknownType;
      result.detail = "\"" + path + "\" names neither a .bin nor a .txt table file";
      break;
  }

  // The outcome stays NotRequested while the table is fit to be written.
  // Nothing is erased for a table that will not be written: an erase with
  // nothing to program would only wipe what the sector held.
  if (result.outcome == TableOutcome::NotRequested && check_placement(result)) {
    if (std::string why = ui.guard ? ui.guard(result.address, result.size) : std::string();
        !why.empty()) {
      result.outcome = TableOutcome::Protected;
      result.detail = std::move(why);
      DebugTrace("setting table %s: %s\n", path.c_str(), result.detail.c_str());
      show_status(ui, result, kStatusTableFailed);
      return false;
    }
    result.outcome = erase_and_program(result, buffer.data(), ui.progress)
                         ? TableOutcome::Written
                         : TableOutcome::WriteFailed;
    if (result.outcome == TableOutcome::WriteFailed)
      result.detail = "the flash did not accept the erase or a page program";
  }
  if (!result.detail.empty())
    DebugTrace("setting table %s: %s\n", path.c_str(), result.detail.c_str());
  show_status(ui, result, result.written() ? success_text : kStatusTableFailed);
  return true;
}

}  // namespace

bool ReadSettingTableFile(const std::string& path, std::span<std::uint8_t> buffer,
                          TableResult& result) {
  return read_table_file(path, buffer, result);
}

TableFileType SettingTableFileType(std::string_view path) {
  if (path.size() < 3) return TableFileType::Other;
  const std::string_view tail = path.substr(path.size() - 3);
  if (tail == "bin") return TableFileType::Bin;
  if (tail == "txt") return TableFileType::Txt;
  return TableFileType::Other;
}

AddressText ParseAddressText(std::string_view text) {
  AddressText out;
  std::size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      hex_digit(text[i + 2]) >= 0) {
    i += 2;
  }
  std::uint64_t value = 0;
  const std::size_t digits_from = i;
  for (; i < text.size(); ++i) {
    const int d = hex_digit(text[i]);
    if (d < 0) break;
    if (value <= 0xFFFFFFFFu) value = value * 16 + static_cast<unsigned>(d);
  }
  if (i == digits_from) return out;  // no digits: 0, nothing consumed
  out.end = i;
  if (value > 0xFFFFFFFFu) {
    out.overflow = true;
    out.value = 0xFFFFFFFFu;
    return out;
  }
  out.value = static_cast<std::uint32_t>(value);
  if (negative) out.value = static_cast<std::uint32_t>(0u - out.value);
  return out;
}

bool ApplyDefaultTableAddresses(int cameraChipType, SettingTableFields& fields) {
  switch (cameraChipType) {
    case 1:
      fields.backendAddress = "9000";
      fields.sensorAddress = "8000";
      return true;
    case 2:
      fields.backendAddress = "11000";
      fields.sensorAddress = "12000";
      return true;
    default:
      return false;
  }
}

void FindSettingTableFiles(SettingTableFields& fields, int cameraChipType,
                           const std::filesystem::path& directory) {
  ApplyDefaultTableAddresses(cameraChipType, fields);
  const std::string backend = find_table_file(directory, kBackendTableFileName);
  fields.backendSettingPath = backend.empty() ? kBackendTableNotFound : backend;
  const std::string sensor = find_table_file(directory, kSensorTableFileName);
  fields.sensorSettingPath = sensor.empty() ? kSensorTableNotFound : sensor;
}

void FindSettingTableFiles(SettingTableFields& fields, int cameraChipType) {
  std::error_code ec;
  const std::filesystem::path here = std::filesystem::current_path(ec);
  FindSettingTableFiles(fields, cameraChipType, ec ? std::filesystem::path(".") : here);
}

const char* table_outcome_name(TableOutcome outcome) {
  switch (outcome) {
    case TableOutcome::NotRequested: return "not-requested";
    case TableOutcome::NotAttempted: return "not-attempted";
    case TableOutcome::Written: return "written";
    case TableOutcome::WriteFailed: return "write-failed";
    case TableOutcome::OpenFailed: return "open-failed";
    case TableOutcome::UnknownType: return "unknown-type";
    case TableOutcome::Empty: return "empty";
    case TableOutcome::TextRefused: return "text-refused";
    case TableOutcome::TooLarge: return "too-large";
    case TableOutcome::OutsideFlash: return "outside-flash";
    case TableOutcome::CrossesPage: return "crosses-page";
    case TableOutcome::Protected: return "protected";
  }
  return "?";
}

TableDownloadResult DownloadSettingTables(const SettingTableFields& fields,
                                          std::span<std::uint8_t> buffer,
                                          const SettingTableUi& ui,
                                          const SettextLogOptions& log) {
  TableDownloadResult r;
  if (!download_table(fields.backendSettingPath, fields.backendAddress, buffer, ui, log,
                      kStatusBackendTableWritten, r.backend)) {
    if (!fields.sensorSettingPath.empty()) r.sensor.outcome = TableOutcome::NotAttempted;
    return r;
  }
  if (!fields.sensorSettingPath.empty()) {
    std::fill(buffer.begin(), buffer.end(), 0);
    (void)download_table(fields.sensorSettingPath, fields.sensorAddress, buffer, ui, log,
                         kStatusSensorTableWritten, r.sensor);
  }
  return r;
}

TableDownloadResult DownloadSettingTables(const SettingTableFields& fields,
                                          const SettingTableUi& ui,
                                          const SettextLogOptions& log) {
  std::vector<std::uint8_t> buffer(kTableDownloadBufferSize, 0);
  return DownloadSettingTables(fields, buffer, ui, log);
}

TableResult MakeBinAndWrite(const SettingTableFields& fields, const SettingTableUi& ui,
                            const SettextLogOptions& log) {
  TableResult result;
  const std::string& path = fields.backendSettingPath;
  if (SettingTableFileType(path) != TableFileType::Txt) {
    result.outcome = TableOutcome::UnknownType;
    result.detail = "\"" + path + "\" is not a .txt setting text";
    show_message(ui, kMsgMakeBinNeedsTxt);
    return result;
  }
  std::vector<std::uint8_t> buffer(kTxtMakeBinBuffer, 0);
  convert_table_text(path, buffer, log, result);
  if (result.outcome != TableOutcome::NotRequested) {  // refused: no image
    show_message(ui, kMsgFirmwareSizeError);
    return result;
  }
  result.address = SettingTableAddress(fields.backendAddress);
  show_status(ui, result, kStatusErasingTable);
  if (!check_placement(result)) {
    show_status(ui, result, kStatusTableFailed);
    return result;
  }
  if (std::string why = ui.guard ? ui.guard(result.address, result.size) : std::string();
      !why.empty()) {
    result.outcome = TableOutcome::Protected;
    result.detail = std::move(why);
    show_status(ui, result, kStatusTableFailed);
    return result;
  }
  const bool ok = EraseProgramRange(result.address, static_cast<std::uint32_t>(result.size),
                                    buffer.data(), ui.progress);
  result.outcome = ok ? TableOutcome::Written : TableOutcome::WriteFailed;
  if (!ok) result.detail = "the flash did not accept an erase or a page program";
  show_status(ui, result, ok ? kStatusTableWritten : kStatusTableFailed);
  return result;
}

}  // namespace lumavix
