// Setting-table download: writes the backend initialisation table and the
// image-sensor setting table into the camera's serial flash, each from a
// ready table image (*.bin, written unchanged) or a setting text (*.txt,
// converted first), and the "Txt Make Bin" step that converts the backend
// text and writes it with sector erases on the way.
//
// The window's path and address fields come in as plain texts; what the user
// sees goes out through a status callback (the main window's status text,
// refreshed at once) and the message boxes of a Prompter. Progress of the
// programming goes to an optional ProgressSink (range, then positions).
//
// Everything runs on the caller's thread and blocks it while the flash is
// written. The device library must be open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "firmware/image.h"
#include "settings/settext.h"

namespace lumavix {

class Prompter;
class ProgressSink;

// ------------------------------------------------------------------ texts --

inline constexpr const char* kTablesCaption = "LUMAVIX Firmware Update Tool";

inline constexpr const char* kMsgTableFileOpenError =
    "Firmware backend setting bin file open Error!!";
inline constexpr const char* kMsgMakeBinNeedsTxt = "Create bin file must be select txt file!!";

inline constexpr const char* kStatusBackendTableWritten = "Write backend setting table success.";
inline constexpr const char* kStatusSensorTableWritten = "Write sensor setting table success.";
inline constexpr const char* kStatusTableWritten = "Write setting table success.";
inline constexpr const char* kStatusTableFailed = "Write setting table Fail.";
inline constexpr const char* kStatusErasingTable = "Erase all EEPROM content, please wait ...";

// The files the automatic step looks for, and what the path fields say when
// they are missing.
inline constexpr const char* kBackendTableFileName = "backend_init.txt";
inline constexpr const char* kSensorTableFileName = "SensorSetting.txt";
inline constexpr const char* kBackendTableNotFound = "No found backend_Init.txt, ";
inline constexpr const char* kSensorTableNotFound = "No found SensorSetting.txt, ";

// File dialog filters: description, pattern list, each ended by '|'.
inline constexpr const char* kTableFileFilter = "Setting Bin or Txt(*.bin, *.txt)|*.bin;*.txt||";
inline constexpr const char* kTableTextFilter = "Customer Txt File(*.txt)|*.txt||";

// The address fields' texts at start-up.
inline constexpr const char* kDefaultBackendAddressText = "11000";
inline constexpr const char* kDefaultSensorAddressText = "12000";

// ------------------------------------------------------------- the fields --

// The window's fields that the table operations read and FindSettingTableFiles
// sets. The addresses are hexadecimal texts as typed (no prefix needed).
struct SettingTableFields {
  std::string backendSettingPath;
  std::string sensorSettingPath;
  std::string backendAddress = kDefaultBackendAddressText;
  std::string sensorAddress = kDefaultSensorAddressText;
};

// What the operations show. Both members may be empty (nothing is shown).
struct SettingTableUi {
  // Sets the window's status text and repaints it at once, so that it shows
  // while the flash is written.
  std::function<void(std::string_view)> status;
  // Shows the modal message boxes (Ok-only).
  Prompter* prompter = nullptr;
  // Receives the programming's range and positions; may be null.
  ProgressSink* progress = nullptr;
  // Says why a table of `size` bytes at `address` may not be written there
  // (the sectors it would erase hold what the firmware needs); empty lets
  // it be written. Null refuses nothing.
  std::function<std::string(std::uint32_t address, std::size_t size)> guard;
};

// --------------------------------------------------------- small rules --

enum class TableFileType : std::uint8_t { Bin, Txt, Other };

// The last three characters of the path, compared exactly with "bin" and
// "txt": "table.BIN" and a path shorter than three characters are Other.
[[nodiscard]] TableFileType SettingTableFileType(std::string_view path);

// An address text read the way the C library's strtoul reads base 16 with a
// 32-bit unsigned long: leading white space, an optional sign, an optional
// "0x"/"0X" (taken only when a hexadecimal digit follows it), then digits up
// to the first character that is not one. No digits give 0; a value beyond
// 32 bits gives 0xFFFFFFFF; a minus sign negates modulo 2^32.
struct AddressText {
  std::uint32_t value = 0;
  std::size_t end = 0;    // characters consumed; 0 when no digit was found
  bool overflow = false;  // the digits did not fit in 32 bits
};
[[nodiscard]] AddressText ParseAddressText(std::string_view text);
[[nodiscard]] inline std::uint32_t SettingTableAddress(std::string_view text) {
  return ParseAddressText(text).value;
}

// Sets both address texts from the camera's chip type: 1 gives "9000" and
// "8000", 2 gives "11000" and "12000"; any other type leaves them. Returns
// true when the type was one of the two.
bool ApplyDefaultTableAddresses(int cameraChipType, SettingTableFields& fields);

// The automatic step before a chained download: the default addresses for
// the chip type, then "backend_init.txt" and "SensorSetting.txt" looked up in
// `directory` (a name that matches exactly is preferred; otherwise the first,
// in name order, that matches ignoring case). A found file's path field
// becomes directory + "/" + its name as found; a missing one's the not-found
// text, which names no table type, so the download leaves that table alone.
void FindSettingTableFiles(SettingTableFields& fields, int cameraChipType,
                           const std::filesystem::path& directory);
// The same in the working directory.
void FindSettingTableFiles(SettingTableFields& fields, int cameraChipType);

// ----------------------------------------------------------- operations --

enum class TableOutcome : std::uint8_t {
  NotRequested,   // the path field is empty
  NotAttempted,   // an earlier table file could not be opened
  Written,        // every erase and page program succeeded
  WriteFailed,    // an erase, the flash identification or a page program failed
  OpenFailed,     // the .bin file cannot be opened or read
  UnknownType,    // the path ends in neither "bin" nor "txt"
  Empty,          // the file yields no data (an empty .bin)
  TextRefused,    // the text yields no arrays, or cannot be read or converted
  TooLarge,       // the image exceeds the buffer
  OutsideFlash,   // the table would run past the end of the flash
  CrossesPage,    // an unaligned address whose first piece would cross a page
  Protected,      // the guard refused the range; nothing more is written
};

[[nodiscard]] const char* table_outcome_name(TableOutcome outcome);

struct TableResult {
  TableOutcome outcome = TableOutcome::NotRequested;
  std::uint32_t address = 0;
  std::size_t size = 0;    // image bytes taken from the file
  std::string detail;      // why, for refusals and failures
  std::string status;      // the status text shown for this table, if any

  [[nodiscard]] bool written() const { return outcome == TableOutcome::Written; }
  // True for NotRequested and Written.
  [[nodiscard]] bool ok() const {
    return outcome == TableOutcome::NotRequested || outcome == TableOutcome::Written;
  }
};

// Reads a whole .bin table into `buffer`, as the download does before it
// writes: false when the file cannot be opened or read; a file larger than
// the buffer sets TooLarge rather than being cut.
[[nodiscard]] bool ReadSettingTableFile(const std::string& path, std::span<std::uint8_t> buffer,
                                        TableResult& result);

struct TableDownloadResult {
  TableResult backend;
  TableResult sensor;

  // At least one table was requested and every requested one was written.
  [[nodiscard]] bool all_written() const {
    const bool any = backend.outcome != TableOutcome::NotRequested ||
                     sensor.outcome != TableOutcome::NotRequested;
    return any && backend.ok() && sensor.ok();
  }
};

// The "Download" button and the chained step: the backend table, then the
// sensor table, each when its path field is set. Table data goes through
// `buffer` (the window's firmware buffer, which this overwrites; cleared
// before the sensor table). An image larger than the buffer is refused.
//
// Before anything is erased the table is checked: it must hold data, lie
// inside the flash, and, at an address that is not a multiple of the page
// size, its first page piece must not cross a page. Every 4 KiB sector the
// table touches is erased (the erase is issued twice; the sector counts as
// erased when either succeeds), then the table is programmed page by page.
// A .bin that cannot be opened shows the open-error message box and stops the
// whole operation, and so does a range the guard refuses; any other refusal or failure shows "Write setting table
// Fail." for that table and goes on with the next.
TableDownloadResult DownloadSettingTables(const SettingTableFields& fields,
                                          std::span<std::uint8_t> buffer,
                                          const SettingTableUi& ui,
                                          const SettextLogOptions& log = {});
// The same through a buffer of its own, kTableDownloadBufferSize bytes.
TableDownloadResult DownloadSettingTables(const SettingTableFields& fields,
                                          const SettingTableUi& ui,
                                          const SettextLogOptions& log = {});

// The "Txt Make Bin" button: converts the backend text into a 4096-byte
// buffer and writes it at the backend address with EraseProgramRange. A path
// not ending in "txt" and a text that yields no image that fits are refused
// with their message boxes before anything is erased.
TableResult MakeBinAndWrite(const SettingTableFields& fields, const SettingTableUi& ui,
                            const SettextLogOptions& log = {});

}  // namespace lumavix
