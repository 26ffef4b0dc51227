// The update engine: keeps the device access library open for the window,
// offers a few device operations on the first camera, checks a firmware file
// and runs each download or upload in a worker thread of its own that
// reports every phase as a posted notification.
//
// All of the engine's state is process-wide and exists once. Every function
// here is called from one thread, the receiver's (the window's or the command
// line's); only the worker thread runs beside it, and the only guard between
// the two is the worker handle.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumavix {

struct LoadedFirmware;

// ----------------------------------------------------------- notifications --

// The window message that carries every worker report: the code goes in the
// first parameter, the value in the second.
inline constexpr std::uint32_t WM_USER = 0x0400;
inline constexpr std::uint32_t WM_UPDATE_NOTIFY = WM_USER + 1;

inline constexpr std::uint32_t UPD_DOWNLOAD_BEGIN = 0;     // value 0: programming begins
inline constexpr std::uint32_t UPD_DOWNLOAD_POS = 1;       // bytes done, or sector erased
inline constexpr std::uint32_t UPD_VALIDATE_BEGIN = 2;     // value 0: read-back begins
inline constexpr std::uint32_t UPD_VALIDATE_POS = 3;       // bytes verified
inline constexpr std::uint32_t UPD_UPLOAD_BEGIN = 4;       // value 0: upload read begins
inline constexpr std::uint32_t UPD_RANGE = 6;              // a phase of this total begins
inline constexpr std::uint32_t UPD_FILE_WRITE_FAILED = 7;  // upload file not written
inline constexpr std::uint32_t UPD_UPLOAD_DONE = 8;
inline constexpr std::uint32_t UPD_DOWNLOAD_DONE = 10;     // written and verified
inline constexpr std::uint32_t UPD_DOWNLOAD_FAILED = 11;   // read-back differs / program failed
inline constexpr std::uint32_t UPD_ACCESS_FAILED = 12;     // a device transfer failed
inline constexpr std::uint32_t UPD_ELAPSED_MS = 13;        // ms since the worker started
inline constexpr std::uint32_t UPD_VALIDATE_RANGE = 14;    // boot-header: bytes to verify
inline constexpr std::uint32_t UPD_VALIDATE_RESULT = 16;   // boot-header: 1 equal, 0 differs
inline constexpr std::uint32_t UPD_ERASE_RANGE = 17;       // boot-header: last sector index
inline constexpr std::uint32_t UPD_ERASE_POS = 18;         // boot-header: sector just erased
inline constexpr std::uint32_t UPD_ERASE_RESULT = 19;      // boot-header: 1 erased, 0 failed

struct Notification {
  std::uint32_t code = 0;
  std::uint32_t value = 0;
  friend bool operator==(const Notification&, const Notification&) = default;
};

// "UPD_DOWNLOAD_DONE" for 10; "UPD_?" for a code no worker posts.
[[nodiscard]] const char* update_code_name(std::uint32_t code);

// True for the one notification of a run that carries its outcome: codes 7,
// 8, 10, 11 and 12, and UPD_VALIDATE_RESULT or UPD_ERASE_RESULT with value 0.
// UPD_ELAPSED_MS and a final UPD_DOWNLOAD_POS may still follow it.
[[nodiscard]] bool is_outcome(const Notification& n);
// True for the outcomes that mean success (UPD_DOWNLOAD_DONE, UPD_UPLOAD_DONE).
[[nodiscard]] bool is_success(const Notification& n);

// Receives a run's notifications. post() is called on the worker's thread and
// must not block on the receiver: it queues the report for the receiver's own
// thread, in order. Implementations must be thread-safe.
class NotifyTarget {
 public:
  virtual ~NotifyTarget() = default;
  virtual void post(std::uint32_t code, std::uint32_t value) = 0;
};

// A ready-made target: post() appends, the receiver pops in order.
class NotifyQueue final : public NotifyTarget {
 public:
  void post(std::uint32_t code, std::uint32_t value) override;

  // The oldest notification, if any; never waits.
  [[nodiscard]] std::optional<Notification> try_pop();
  // Waits until a notification is there and returns the oldest.
  [[nodiscard]] Notification pop();
  // Everything queued so far, oldest first; never waits.
  [[nodiscard]] std::vector<Notification> drain();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Notification> queue_;
};

// --------------------------------------------------------------- messages --

enum class MessageButtons : std::uint8_t { Ok, OkCancel };
enum class MessageIcon : std::uint8_t { None, Warning };
enum class MessageAnswer : std::uint8_t { Ok, Cancel };

// Shows the start checks' modal message boxes. ask() runs on the caller's
// thread of StartDownload/StartUpload and returns the button chosen; for an
// Ok-only box the answer is not consulted.
class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual MessageAnswer ask(std::string_view caption, std::string_view text,
                            MessageButtons buttons, MessageIcon icon) = 0;
};

// Answers every question with one fixed answer and keeps what it was shown.
// For non-interactive front ends and tests.
class RecordingPrompter final : public Prompter {
 public:
  struct Shown {
    std::string caption;
    std::string text;
    MessageButtons buttons = MessageButtons::Ok;
    MessageIcon icon = MessageIcon::None;
  };

  explicit RecordingPrompter(MessageAnswer answer = MessageAnswer::Ok) : answer_(answer) {}
  MessageAnswer ask(std::string_view caption, std::string_view text, MessageButtons buttons,
                    MessageIcon icon) override;

  [[nodiscard]] const std::vector<Shown>& shown() const { return shown_; }
  void clear() { shown_.clear(); }

 private:
  MessageAnswer answer_;
  std::vector<Shown> shown_;
};

inline constexpr const char* kDownloadCaption = "Firmware Download";
inline constexpr const char* kUploadCaption = "Firmware Upload";

inline constexpr const char* kMsgNoDevice = "No USB Device Found!";
inline constexpr const char* kMsgThreadRunning =
    "Another Thread is Running, Please Wait and Try Again Later!";
inline constexpr const char* kMsgFile0OpenError = "File 0 open Error!";
inline constexpr const char* kMsgFile0CrcQuestion = "File 0 CRC Checksum Error! Continue?";
inline constexpr const char* kMsgFile1CrcQuestion = "File 1 CRC Checksum Error! Continue?";
inline constexpr const char* kMsgFilesTooLarge = "File 0 + File 1 max size > 64K!";
inline constexpr const char* kMsgOpenFileError = "File Doesn't Exist or Open File Error!";
inline constexpr const char* kMsgReadFileFailure = "Read File Failure!";
inline constexpr const char* kMsgOverMaximum =
    "Error, The File Size is Over Firmware Maximum Limit!";
inline constexpr const char* kMsgFileCrcError = "File CRC Checksum Error!";
inline constexpr const char* kMsgCreateDownloadThread = "Create Download Thread Failure!";
inline constexpr const char* kMsgCreateUploadThread = "Create Upload Thread Failure!";
// Refusals of requests the device layouts cannot take.
inline constexpr const char* kMsgPathTooLong = "File Path is Too Long (259 Characters at Most)!";
inline constexpr const char* kMsgUploadPathTooLong =
    "Output Path is Too Long (511 Characters at Most)!";
inline constexpr const char* kMsgBadEepromType = "Unknown EEPROM Type!";
inline constexpr const char* kMsgBadBootAddress =
    "Boot Address Must Lie Behind the Boot Header on a 256-Byte Boundary!";
inline constexpr const char* kMsgUploadTooLong = "Upload Length is Over the Dump Buffer Limit!";
// A plain download whose boot memory (register 0x05) cannot be told.
inline constexpr const char* kMsgBootMemoryUnknown =
    "Boot Memory Kind Could Not Be Read (Register 0x05)!";

// --------------------------------------------------------------- requests --

// Longest path the engine takes: 259 characters (a 260-byte field with its
// terminator); 511 for an upload's output path.
inline constexpr std::size_t kMaxPathLength = 259;
inline constexpr std::size_t kMaxUploadPathLength = 511;

// The length of a UTF-8 path in characters as Windows counts them against
// that limit (UTF-16 code units: two for a character beyond U+FFFF), not in
// bytes, which would refuse a short path in Japanese.
[[nodiscard]] constexpr std::size_t PathLength(std::string_view utf8) {
  std::size_t n = 0;
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if ((b & 0xC0) != 0x80) n += b >= 0xF0 && b <= 0xF4 ? 2 : 1;
  }
  return n;
}

// The engine's buffers.
inline constexpr std::uint32_t kFileBufferSize = 0x40000;
inline constexpr std::uint32_t kDumpBufferSize = 0x40000;
inline constexpr std::uint32_t kDumpCrcSlot = 4;
inline constexpr std::uint32_t kMaxUploadLength = kDumpBufferSize - kDumpCrcSlot;

enum DownloadMode : std::uint8_t { kDownloadPlain = 0, kDownloadBootHeader = 2 };
inline constexpr std::uint8_t kUploadFlashDump = 2;

// The window's request, with the values the window passes unless it fills
// them: boot-header mode, header 0x7A 0x3C and zeros, EEPROM type 5, flags 1.
struct DownloadRequest {
  NotifyTarget* notifyWindow = nullptr;  // receives this run's notifications; may be null
  Prompter* owner = nullptr;             // shows the start checks; null shows nothing
  std::uint8_t mode = kDownloadBootHeader;
  std::uint32_t file0Size = 0;  // written by StartDownload (0 when it cannot be opened)
  std::string file0Path;
  std::uint32_t file1Size = 0;  // written by StartDownload
  std::string file1Path;        // second code image of a boot-header download, or empty
  std::array<std::uint8_t, 16> bootHeader = {0x7A, 0x3C};
  std::uint8_t eepromType = 5;  // plain mode: memory size class 0..8
  std::uint8_t flags = 0x01;    // plain mode: bits 0..2 enter the option byte
  // The files as the caller already read them (and decided on them). When
  // set, these bytes are the ones checked and written and the path only
  // names them; when null, StartDownload reads the path once itself.
  std::shared_ptr<const LoadedFirmware> file0Image;
  std::shared_ptr<const LoadedFirmware> file1Image;
};

struct UploadRequest {
  NotifyTarget* notifyWindow = nullptr;
  Prompter* owner = nullptr;
  std::uint8_t mode = kUploadFlashDump;
  std::uint32_t startAddress = 0;
  std::uint32_t length = 0x20000;
  std::string outputPath;
};

// Serial number of a worker run; 0 means none.
using WorkerHandle = std::uint32_t;
inline constexpr WorkerHandle kNoWorker = 0;

// ------------------------------------------------------ device operations --

// Closes the library if open and opens it again. Returns 1 when a camera was
// found, 0 (library left closed) when none. Not while a worker runs.
[[nodiscard]] int OpenDevices();
// Closes the library. Not while a worker runs.
void CloseDevices();
[[nodiscard]] bool DevicesOpen();
[[nodiscard]] int DeviceCount();

[[nodiscard]] bool ReadRegister(std::uint16_t address, std::uint8_t length,
                                std::uint32_t& value);
[[nodiscard]] bool WriteRegister(std::uint16_t address, std::uint8_t length,
                                 std::uint32_t value);
// The range operations with the engine's progress sink, which posts ranges
// as UPD_RANGE and positions as UPD_DOWNLOAD_POS to the current target.
[[nodiscard]] bool ProgramRange(std::uint32_t address, std::uint32_t length,
                                const std::uint8_t* data);
[[nodiscard]] bool EraseProgramRange(std::uint32_t address, std::uint32_t length,
                                     const std::uint8_t* data);
[[nodiscard]] bool EraseSector(std::uint32_t address);

// ----------------------------------------------------------------- starts --

// Reads each firmware file once (unless the request carries it already
// read), checks those bytes, copies them into the file buffer and starts the
// download worker; the path is never opened again. Returns at once: the
// worker's handle, or kNoWorker when refused (the reason was shown through
// request.owner, and nothing was posted). The sizes are written back into the request even when
// it is refused later on.
[[nodiscard]] WorkerHandle StartDownload(DownloadRequest& request);
// Starts a flash dump of request.length bytes into request.outputPath.
// Returns kNoWorker when refused, or silently for a mode other than 2.
[[nodiscard]] WorkerHandle StartUpload(const UploadRequest& request);

// The handle of the worker that has not yet finished its last step, or
// kNoWorker.
[[nodiscard]] WorkerHandle CurrentWorker();
// True while the last worker's thread has not ended.
[[nodiscard]] bool WorkerRunning();
// Waits until the last worker's thread has ended and reclaims it. Returns at
// once when none was started. Not from a worker.
void WaitForWorker();
// The outcome notification of the last finished run, if any.
[[nodiscard]] std::optional<Notification> LastOutcome();
// Why the last finished run refused before touching the camera's memory
// (an unknown flash part, or an image or range the part cannot hold); empty
// when it did not refuse. Its failure notification says no more than that
// the run failed.
[[nodiscard]] std::string LastRefusal();

}  // namespace lumavix
