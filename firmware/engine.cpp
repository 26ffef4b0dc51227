#include "firmware/engine.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>

#include "devlib/access.h"
#include "devlib/frame.h"
#include "firmware/flash.h"
#include "firmware/image.h"
#include "firmware/workers.h"

namespace lumavix {

// ----------------------------------------------------------- notifications --

const char* update_code_name(std::uint32_t code) {
  switch (code) {
    case UPD_DOWNLOAD_BEGIN: return "UPD_DOWNLOAD_BEGIN";
    case UPD_DOWNLOAD_POS: return "UPD_DOWNLOAD_POS";
    case UPD_VALIDATE_BEGIN: return "UPD_VALIDATE_BEGIN";
    case UPD_VALIDATE_POS: return "UPD_VALIDATE_POS";
    case UPD_UPLOAD_BEGIN: return "UPD_UPLOAD_BEGIN";
    case UPD_RANGE: return "UPD_RANGE";
    case UPD_FILE_WRITE_FAILED: return "UPD_FILE_WRITE_FAILED";
    case UPD_UPLOAD_DONE: return "UPD_UPLOAD_DONE";
    case UPD_DOWNLOAD_DONE: return "UPD_DOWNLOAD_DONE";
    case UPD_DOWNLOAD_FAILED: return "UPD_DOWNLOAD_FAILED";
    case UPD_ACCESS_FAILED: return "UPD_ACCESS_FAILED";
    case UPD_ELAPSED_MS: return "UPD_ELAPSED_MS";
    case UPD_VALIDATE_RANGE: return "UPD_VALIDATE_RANGE";
    case UPD_VALIDATE_RESULT: return "UPD_VALIDATE_RESULT";
    case UPD_ERASE_RANGE: return "UPD_ERASE_RANGE";
    case UPD_ERASE_POS: return "UPD_ERASE_POS";
    case UPD_ERASE_RESULT: return "UPD_ERASE_RESULT";
    default: return "UPD_?";
  }
}

bool is_outcome(const Notification& n) {
  switch (n.code) {
    case UPD_FILE_WRITE_FAILED:
    case UPD_UPLOAD_DONE:
    case UPD_DOWNLOAD_DONE:
    case UPD_DOWNLOAD_FAILED:
    case UPD_ACCESS_FAILED:
      return true;
    case UPD_VALIDATE_RESULT:
    case UPD_ERASE_RESULT:
      return n.value == 0;
    default:
      return false;
  }
}

bool is_success(const Notification& n) {
  return n.code == UPD_DOWNLOAD_DONE || n.code == UPD_UPLOAD_DONE;
}

void NotifyQueue::post(std::uint32_t code, std::uint32_t value) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({code, value});
  }
  cv_.notify_one();
}

std::optional<Notification> NotifyQueue::try_pop() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  Notification n = queue_.front();
  queue_.pop_front();
  return n;
}

Notification NotifyQueue::pop() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return !queue_.empty(); });
  Notification n = queue_.front();
  queue_.pop_front();
  return n;
}

std::vector<Notification> NotifyQueue::drain() {
  std::lock_guard lock(mutex_);
  std::vector<Notification> all(queue_.begin(), queue_.end());
  queue_.clear();
  return all;
}

MessageAnswer RecordingPrompter::ask(std::string_view caption, std::string_view text,
                                     MessageButtons buttons, MessageIcon icon) {
  shown_.push_back({std::string(caption), std::string(text), buttons, icon});
  return buttons == MessageButtons::Ok ? MessageAnswer::Ok : answer_;
}

// ------------------------------------------------------------ engine state --

namespace {

// Forwards a worker's reports to whatever target the latest request named,
// read afresh for every report; nothing is posted while it is null.
class CurrentTarget final : public NotifyTarget {
 public:
  void set(NotifyTarget* target) { target_.store(target); }
  void post(std::uint32_t code, std::uint32_t value) override {
    if (NotifyTarget* t = target_.load()) t->post(code, value);
  }

 private:
  std::atomic<NotifyTarget*> target_{nullptr};
};

using WorkerBody = Notification (*)(EngineState&, NotifyTarget&);

struct Engine {
  ~Engine() {
    // A worker still running at exit is waited for rather than abandoned
    // with the device half written.
    if (thread.joinable()) thread.join();
  }

  EngineState state;
  CurrentTarget notify;
  int connection_open = 0;
  int device_count = 0;

  // The worker: `handle` is cleared by the worker as its last step, `running`
  // as the very last statement of its thread.
  std::thread thread;
  std::atomic<WorkerHandle> handle{kNoWorker};
  std::atomic<bool> running{false};
  WorkerHandle last_handle = kNoWorker;
  std::mutex outcome_mutex;
  std::optional<Notification> last_outcome;
  std::string last_refusal;
};

Engine& engine() {
  static Engine e;
  return e;
}

// Reclaims a worker thread that has ended (or is about to: it only has to
// return once `running` is false).
void reap_worker(Engine& e) {
  if (e.thread.joinable() && e.thread.get_id() != std::this_thread::get_id()) {
    e.thread.join();
  }
}

// Starts `body` in a new thread. The handle and the running flag are set
// before the thread exists so that a worker that ends at once cannot have
// its clearing overwritten.
WorkerHandle launch(Engine& e, WorkerBody body) {
  reap_worker(e);
  WorkerHandle h = ++e.last_handle;
  if (h == kNoWorker) h = ++e.last_handle;
  e.handle.store(h);
  e.running.store(true);
  {
    std::lock_guard lock(e.outcome_mutex);
    e.last_outcome.reset();
    e.last_refusal.clear();
  }
  try {
    e.thread = std::thread([&e, body] {
      const Notification outcome = body(e.state, e.notify);
      {
        std::lock_guard lock(e.outcome_mutex);
        e.last_outcome = outcome;
        e.last_refusal = e.state.refusal;
      }
      e.handle.store(kNoWorker);
      e.running.store(false);
    });
  } catch (const std::system_error&) {
    e.handle.store(kNoWorker);
    e.running.store(false);
    return kNoWorker;
  }
  return h;
}

void tell(Prompter* owner, const char* caption, const char* text) {
  if (owner) (void)owner->ask(caption, text, MessageButtons::Ok, MessageIcon::None);
}

// True when the user chose to go on. Without a prompter nobody can agree, so
// the question is answered Cancel.
bool question(Prompter* owner, const char* caption, const char* text) {
  if (!owner) return false;
  return owner->ask(caption, text, MessageButtons::OkCancel, MessageIcon::Warning) ==
         MessageAnswer::Ok;
}

// The file the request names, read once, unless the request carries it
// already read. Null for an empty path (no file).
std::shared_ptr<const LoadedFirmware> load_once(const std::shared_ptr<const LoadedFirmware>& given,
                                                const std::string& path) {
  if (given) return given;
  if (path.empty()) return nullptr;
  return std::make_shared<const LoadedFirmware>(LoadFirmwareFile(path));
}

// The size the request is told: 0 when the file could not be read.
std::uint32_t size_of(const std::shared_ptr<const LoadedFirmware>& file) {
  return file && file->opened ? file->size32() : 0;
}

// The loaded bytes from file offset `offset` on, into `out` (at most `room`
// bytes). Returns the count copied.
std::uint32_t copy_from(const LoadedFirmware& file, std::uint32_t offset, std::uint8_t* out,
                        std::uint32_t room) {
  if (file.bytes.size() <= offset) return 0;
  const std::uint32_t n = std::min<std::uint32_t>(
      static_cast<std::uint32_t>(file.bytes.size() - offset), room);
  std::copy_n(file.bytes.begin() + offset, n, out);
  return n;
}

std::uint32_t get_le24(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
}

void put_le24(std::uint8_t* p, std::uint32_t v) {
  p[0] = v & 0xFF;
  p[1] = (v >> 8) & 0xFF;
  p[2] = (v >> 16) & 0xFF;
}

// Fills the file buffer for a boot-header download from the loaded files.
// Returns the worker body, or null when refused (the reason was shown).
WorkerBody load_boot_header(Engine& e, const DownloadRequest& r, const LoadedFirmware& f0,
                            const LoadedFirmware* f1) {
  EngineState& s = e.state;
  s.boot_header = r.bootHeader;
  s.file_buffer.fill(0);
  const std::uint32_t file0 = copy_from(f0, kFirmwareCrcSize, s.file_buffer.data(), kFileBufferSize);
  // A file of 4 bytes or fewer has an empty image: there is nothing to write.
  if (file0 == 0) {
    tell(r.owner, kDownloadCaption, kMsgReadFileFailure);
    return nullptr;
  }
  s.complete_image = file0 >= 2 && s.file_buffer[0] == 0x7A && s.file_buffer[1] == 0x3C;

  std::uint32_t file1 = 0;
  if (s.complete_image) {
    s.boot_header.fill(0);
  } else {
    if (r.file1Size != 0) {
      if (!f1 || !f1->opened) {
        tell(r.owner, kDownloadCaption, kMsgOpenFileError);
        return nullptr;
      }
      file1 = copy_from(*f1, kFirmwareCrcSize, s.file_buffer.data() + file0,
                        kFileBufferSize - file0);
    }
    put_le24(s.boot_header.data() + 5, file0);
    if (file1 != 0) put_le24(s.boot_header.data() + 13, file1);

    // The code is programmed page by page from BootAddr; it must not overlap
    // the 16-byte header at address 0, and must start on a page boundary for
    // no page program to wrap inside its page. Either fault would only show
    // at verification, after the camera's flash had been erased.
    const std::uint32_t boot_addr = get_le24(s.boot_header.data() + 2);
    if (boot_addr < kBootConfigSize || boot_addr % 256 != 0) {
      tell(r.owner, kDownloadCaption, kMsgBadBootAddress);
      return nullptr;
    }
  }
  s.byte_count = file0 + file1;
  return &DownloadWorkerBootHeader;
}

// Fills the state for a plain download. Returns the worker body, or null.
WorkerBody load_plain(Engine& e, const DownloadRequest& r) {
  EngineState& s = e.state;
  s.plain_type = r.eepromType;
  s.plain_flags = r.flags;
  const EepromTypeInfo* type = find_eeprom_type(r.eepromType);
  if (!type) {
    tell(r.owner, kDownloadCaption, kMsgBadEepromType);
    return nullptr;
  }
  if (s.byte_count > type->max_file_size) {
    tell(r.owner, kDownloadCaption, kMsgOverMaximum);
    return nullptr;
  }
  if (!CheckImageCrc(s.file_buffer.data(), s.byte_count)) {
    tell(r.owner, kDownloadCaption, kMsgFileCrcError);
    return nullptr;
  }
  // Bit 7 tells the boot memory. A read that fails tells nothing: taking it
  // for the EEPROM would send the image to the I2C bus of a camera that
  // boots from SPI flash, so the start is refused with nothing written.
  std::uint32_t bus = 0;
  if (kvVidHidCls_RegRead(0x0005, 1, bus) < 0) {
    tell(r.owner, kDownloadCaption, kMsgBootMemoryUnknown);
    return nullptr;
  }
  return (bus & 0x80) != 0 ? &DownloadWorkerPlainFlash : &DownloadWorkerPlainEeprom;
}

}  // namespace

// ------------------------------------------------------ device operations --

int OpenDevices() {
  Engine& e = engine();
  if (e.connection_open) {
    kvVidHidCls_DeInit();
    e.connection_open = 0;
  }
  e.connection_open = kvVidHidCls_Init();
  e.device_count = kvVidHidCls_GetDevCount();
  if (e.device_count == 0) {
    kvVidHidCls_DeInit();
    e.connection_open = 0;
    return 0;
  }
  return e.connection_open;
}

void CloseDevices() {
  Engine& e = engine();
  e.device_count = 0;
  if (e.connection_open) {
    kvVidHidCls_DeInit();
    e.connection_open = 0;
  }
}

bool DevicesOpen() { return engine().connection_open != 0; }
int DeviceCount() { return engine().device_count; }

bool ReadRegister(std::uint16_t address, std::uint8_t length, std::uint32_t& value) {
  return DevicesOpen() && kvVidHidCls_RegRead(address, length, value) >= 0;
}

bool WriteRegister(std::uint16_t address, std::uint8_t length, std::uint32_t value) {
  return DevicesOpen() && kvVidHidCls_RegWrite(address, length, value) >= 0;
}

namespace {
class EngineSink final : public ProgressSink {
 public:
  explicit EngineSink(NotifyTarget& target) : target_(target) {}
  void range(std::uint32_t total) override { target_.post(UPD_RANGE, total); }
  void position(std::uint32_t done) override { target_.post(UPD_DOWNLOAD_POS, done); }

 private:
  NotifyTarget& target_;
};
}  // namespace

bool ProgramRange(std::uint32_t address, std::uint32_t length, const std::uint8_t* data) {
  EngineSink sink(engine().notify);
  return ProgramRange(address, length, data, &sink);
}

bool EraseProgramRange(std::uint32_t address, std::uint32_t length, const std::uint8_t* data) {
  EngineSink sink(engine().notify);
  return EraseProgramRange(address, length, data, &sink);
}

bool EraseSector(std::uint32_t address) { return kvVidHidCls_SPI_Flash_SectorErase(0, address); }

// ----------------------------------------------------------------- starts --

WorkerHandle StartDownload(DownloadRequest& r) {
  Engine& e = engine();
  e.notify.set(r.notifyWindow);
  if (!e.connection_open) {
    tell(r.owner, kDownloadCaption, kMsgNoDevice);
    return kNoWorker;
  }
  if (e.running.load()) {
    tell(r.owner, kDownloadCaption, kMsgThreadRunning);
    return kNoWorker;
  }
  EngineState& s = e.state;
  s.file_buffer.fill(0);
  if (PathLength(r.file0Path) > kMaxPathLength || PathLength(r.file1Path) > kMaxPathLength) {
    r.file0Size = 0;
    r.file1Size = 0;
    tell(r.owner, kDownloadCaption, kMsgPathTooLong);
    return kNoWorker;
  }
  // Each file is read once: the checks below, the questions and the worker
  // all take these bytes.
  const auto f0 = load_once(r.file0Image, r.file0Path);
  const auto f1 = load_once(r.file1Image, r.file1Path);
  r.file0Size = size_of(f0);
  r.file1Size = size_of(f1);

  if (r.file0Size == 0) {
    if (!question(r.owner, kDownloadCaption, kMsgFile0OpenError)) return kNoWorker;
  } else if (!CheckImageCrc(f0->bytes)) {
    if (!question(r.owner, kDownloadCaption, kMsgFile0CrcQuestion)) return kNoWorker;
  }
  if (r.file1Size != 0 && !CheckImageCrc(f1->bytes)) {
    if (!question(r.owner, kDownloadCaption, kMsgFile1CrcQuestion)) return kNoWorker;
  }
  if (std::uint64_t{r.file0Size} + r.file1Size > kFileBufferSize) {
    tell(r.owner, kDownloadCaption, kMsgFilesTooLarge);
    return kNoWorker;
  }
  if (!f0 || !f0->opened) {
    tell(r.owner, kDownloadCaption, kMsgOpenFileError);
    return kNoWorker;
  }
  if (f0->bytes.empty()) {
    tell(r.owner, kDownloadCaption, kMsgReadFileFailure);
    return kNoWorker;
  }

  WorkerBody body = nullptr;
  if (r.mode == kDownloadPlain) {
    s.byte_count = copy_from(*f0, 0, s.file_buffer.data(), kFileBufferSize);
    body = load_plain(e, r);
  } else if (r.mode == kDownloadBootHeader) {
    body = load_boot_header(e, r, *f0, f1.get());
  }
  if (!body) return kNoWorker;

  const WorkerHandle h = launch(e, body);
  if (h == kNoWorker) tell(r.owner, kDownloadCaption, kMsgCreateDownloadThread);
  return h;
}

WorkerHandle StartUpload(const UploadRequest& r) {
  Engine& e = engine();
  e.notify.set(r.notifyWindow);
  if (!e.connection_open) {
    tell(r.owner, kUploadCaption, kMsgNoDevice);
    return kNoWorker;
  }
  if (e.handle.load() != kNoWorker) {
    tell(r.owner, kUploadCaption, kMsgThreadRunning);
    return kNoWorker;
  }
  if (r.outputPath.size() > kMaxUploadPathLength) {
    tell(r.owner, kUploadCaption, kMsgUploadPathTooLong);
    return kNoWorker;
  }
  // The dump buffer holds the CRC slot and at most 0x3FFFC bytes of data.
  if (r.length > kMaxUploadLength) {
    tell(r.owner, kUploadCaption, kMsgUploadTooLong);
    return kNoWorker;
  }
  if (r.mode != kUploadFlashDump) return kNoWorker;

  // The previous worker has cleared its handle; its thread only has to
  // return, so it is reclaimed before its state is replaced.
  reap_worker(e);
  e.state.upload_start = r.startAddress;
  e.state.upload_length = r.length;
  e.state.upload_path = r.outputPath;
  const WorkerHandle h = launch(e, &UploadWorkerFlashDump);
  if (h == kNoWorker) tell(r.owner, kUploadCaption, kMsgCreateUploadThread);
  return h;
}

WorkerHandle CurrentWorker() { return engine().handle.load(); }
bool WorkerRunning() { return engine().running.load(); }

void WaitForWorker() { reap_worker(engine()); }

std::optional<Notification> LastOutcome() {
  Engine& e = engine();
  std::lock_guard lock(e.outcome_mutex);
  return e.last_outcome;
}

std::string LastRefusal() {
  Engine& e = engine();
  std::lock_guard lock(e.outcome_mutex);
  return e.last_refusal;
}

}  // namespace lumavix
