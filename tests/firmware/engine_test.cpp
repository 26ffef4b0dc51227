// The update engine end to end: real downloads and uploads in a worker
// thread against the simulated camera, in virtual time, and every refusal of
// the start checks.
#include "firmware/engine.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/platform.h"
#include "firmware/image.h"
#include "sim/simulator.h"
#include "sim_camera.h"

namespace lumavix {
namespace {

namespace fs = std::filesystem;
using Seq = std::vector<Notification>;

std::string describe(const Seq& seq) {
  std::string out;
  for (const Notification& n : seq) {
    out += std::string(update_code_name(n.code)) + "(" + std::to_string(n.value) + ") ";
  }
  return out;
}

std::size_t outcome_count(const Seq& seq) {
  return static_cast<std::size_t>(
      std::count_if(seq.begin(), seq.end(), [](const Notification& n) { return is_outcome(n); }));
}

// The one outcome of a run; fails the test unless there is exactly one.
Notification single_outcome(const Seq& seq) {
  EXPECT_EQ(outcome_count(seq), 1u) << "expected exactly one outcome in " << describe(seq);
  for (const Notification& n : seq) {
    if (is_outcome(n)) return n;
  }
  return {0xFFFF, 0};
}

// Blocks the worker in its first post until released, so a run is known to
// be in progress while the test makes further requests.
class GateTarget final : public NotifyTarget {
 public:
  void post(std::uint32_t code, std::uint32_t value) override {
    std::unique_lock lock(mutex_);
    seen_.push_back({code, value});
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void wait_entered() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return entered_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  Seq seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool open_ = false;
  Seq seen_;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("engine_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }

  void TearDown() override {
    WaitForWorker();
    CloseDevices();
    camera_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Installs a simulated camera of `profile` and opens the library on it.
  void attach(sim::SimProfile profile, std::uint32_t latency_us = 20, std::uint32_t count = 1) {
    sim::SimOptions o;
    o.profile = profile;
    o.latency_us = latency_us;
    o.count = count;
    install(o);
    ASSERT_EQ(OpenDevices(), 1);
  }

  void install(const sim::SimOptions& o) {
    // The camera before is gone before the next one is installed.
    camera_.reset();
    camera_ = std::make_unique<test::SimulatedCamera>(o);
  }
  sim::SimCamera& cam() { return camera_->camera(); }
  sim::Simulator& sim() { return camera_->sim(); }

  std::string write_file(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path p = dir_ / name;
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }

  static std::vector<std::uint8_t> read_back(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  DownloadRequest request(const std::string& path, std::uint8_t mode = kDownloadBootHeader) {
    DownloadRequest r;
    r.notifyWindow = &queue_;
    r.owner = &prompter_;
    r.mode = mode;
    r.file0Path = path;
    return r;
  }

  // Starts the download, waits for its worker and returns what it posted.
  Seq run(DownloadRequest& r) {
    const WorkerHandle h = StartDownload(r);
    EXPECT_NE(h, kNoWorker) << "download refused: "
                            << (prompter_.shown().empty() ? "" : prompter_.shown().back().text);
    WaitForWorker();
    EXPECT_EQ(CurrentWorker(), kNoWorker);
    return queue_.drain();
  }

  // Expects the request to be refused with exactly `text` under `caption`,
  // and nothing to be posted.
  void expect_refused(WorkerHandle h, const char* caption, const char* text) {
    EXPECT_EQ(h, kNoWorker);
    ASSERT_FALSE(prompter_.shown().empty()) << "expected the message \"" << text << "\"";
    EXPECT_EQ(prompter_.shown().back().caption, caption);
    EXPECT_EQ(prompter_.shown().back().text, text);
    EXPECT_EQ(prompter_.shown().back().buttons, MessageButtons::Ok);
    EXPECT_TRUE(queue_.drain().empty()) << "a refused request must post nothing";
  }

  std::unique_ptr<test::SimulatedCamera> camera_;
  NotifyQueue queue_;
  RecordingPrompter prompter_{MessageAnswer::Ok};
  fs::path dir_;
};

std::vector<std::uint8_t> complete_file(std::uint32_t image_size) {
  FirmwareBuildOptions o;
  o.firmware_version = 0x0105;
  o.image_size = image_size;
  return build_firmware_file(o);
}

// -------------------------------------------------------- boot-header runs --

TEST_F(EngineTest, CompleteImageIsWrittenFromAddressZeroAndVerified) {
  attach(sim::SimProfile::Q);
  const auto file = complete_file(0x20000);
  ASSERT_FALSE(file.empty());
  DownloadRequest r = request(write_file("fw.bin", file));
  const Seq seq = run(r);
  const std::uint32_t t = static_cast<std::uint32_t>(file.size() - 4);

  EXPECT_EQ(r.file0Size, file.size());
  EXPECT_TRUE(prompter_.shown().empty());
  EXPECT_EQ(cam().flash_bytes(0, t), std::vector<std::uint8_t>(file.begin() + 4, file.end()))
      << "flash must hold the image from address 0, its own header included";
  EXPECT_EQ(cam().flash_status() & 0x0C, 0x0C) << "protection must be restored";

  Seq want = {{UPD_DOWNLOAD_POS, 0}, {UPD_ERASE_RANGE, t / 4096 - 1}};
  for (std::uint32_t i = 0; i < t / 4096; ++i) want.push_back({UPD_ERASE_POS, i});
  want.insert(want.end(), {{UPD_ERASE_RESULT, 1}, {UPD_DOWNLOAD_BEGIN, 0}, {UPD_RANGE, t},
                           {UPD_DOWNLOAD_POS, 0}, {UPD_RANGE, t}, {UPD_DOWNLOAD_POS, 0}});
  // Everything but the first page is written, then read back with a report
  // every 4 KiB and at its end; the first page is written last.
  for (std::uint32_t done = 256; done <= t - 256; done += 256)
    want.push_back({UPD_DOWNLOAD_POS, done});
  for (std::uint32_t read = 0x1000; read < t - 256; read += 0x1000)
    want.push_back({UPD_VALIDATE_POS, read});
  want.push_back({UPD_VALIDATE_POS, t - 256});
  want.push_back({UPD_DOWNLOAD_POS, t});
  want.insert(want.end(), {{UPD_VALIDATE_POS, 0}, {UPD_VALIDATE_RANGE, t},
                           {UPD_VALIDATE_RESULT, 1}});
  ASSERT_EQ(seq.size(), want.size() + 2) << describe(seq);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), seq.begin()));
  EXPECT_EQ(seq[want.size()].code, UPD_ELAPSED_MS);
  EXPECT_GT(seq[want.size()].value, 0u);
  EXPECT_EQ(seq.back(), (Notification{UPD_DOWNLOAD_DONE, 0}));
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_DOWNLOAD_DONE, 0}));
  EXPECT_EQ(LastOutcome(), (Notification{UPD_DOWNLOAD_DONE, 0}));
}

TEST_F(EngineTest, CodeOnlyImageGetsSynthesisedHeaderAndLandsAtBootAddr) {
  attach(sim::SimProfile::Q);
  FirmwareBuildOptions o;
  o.code_only = true;
  o.image_size = 0x4800;  // not a whole number of sectors
  const auto file = build_firmware_file(o);
  ASSERT_FALSE(file.empty());
  const std::uint32_t t = static_cast<std::uint32_t>(file.size() - 4);
  DownloadRequest r = request(write_file("code.bin", file));
  r.bootHeader = {0x7A, 0x3C, 0x00, 0x10, 0x00, 0, 0, 0, 0xAB, 0xCD};  // BootAddr 0x1000
  const Seq seq = run(r);

  const auto header = synthesize_boot_header(r.bootHeader, t, 0);
  EXPECT_EQ(cam().flash_bytes(0, 16), std::vector<std::uint8_t>(header.begin(), header.end()));
  EXPECT_EQ(cam().flash_bytes(0x1000, t), std::vector<std::uint8_t>(file.begin() + 4, file.end()));
  EXPECT_EQ(cam().flash_bytes(16, 0x1000 - 16), std::vector<std::uint8_t>(0x1000 - 16, 0xFF))
      << "nothing but the header may be written below BootAddr";
  EXPECT_EQ(cam().flash_status() & 0x0C, 0x0C);

  // 0x1000 + 0x4800 ends inside sector 5: sectors 0..5 are erased.
  const auto erase_range = std::find_if(seq.begin(), seq.end(), [](const Notification& n) {
    return n.code == UPD_ERASE_RANGE;
  });
  ASSERT_NE(erase_range, seq.end());
  EXPECT_EQ(erase_range->value, 5u);
  // The image and its header are one programming range, the header last:
  // until it is written the camera is visibly unfinished.
  const Seq program_phase = {{UPD_RANGE, t}, {UPD_DOWNLOAD_POS, 0}, {UPD_RANGE, t + 16},
                             {UPD_DOWNLOAD_POS, 0}, {UPD_DOWNLOAD_POS, 256}};
  EXPECT_NE(std::search(seq.begin(), seq.end(), program_phase.begin(), program_phase.end()),
            seq.end())
      << describe(seq);
  const auto last_pos = std::find_if(seq.rbegin(), seq.rend(), [](const Notification& n) {
    return n.code == UPD_DOWNLOAD_POS;
  });
  ASSERT_NE(last_pos, seq.rend());
  EXPECT_EQ(last_pos->value, t + 16) << "the header's 16 bytes expected to be programmed last";
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_DOWNLOAD_DONE, 0}));
}

TEST_F(EngineTest, SecondCodeImageFollowsTheFirstAndFillsUserCodeFields) {
  attach(sim::SimProfile::Q);
  FirmwareBuildOptions o;
  o.code_only = true;
  o.image_size = 0x3000;
  const auto f0 = build_firmware_file(o);
  o.firmware_version = 0x0200;
  o.image_size = 0x2400;
  const auto f1 = build_firmware_file(o);
  DownloadRequest r = request(write_file("a.bin", f0));
  r.file1Path = write_file("b.bin", f1);
  r.bootHeader = {0x7A, 0x3C, 0x00, 0x02, 0x00};  // BootAddr 0x200
  const Seq seq = run(r);
  EXPECT_EQ(r.file1Size, f1.size());

  const std::uint32_t n0 = 0x3000, n1 = 0x2400;
  const std::vector<std::uint8_t> want_header = {
      0x7A, 0x3C, 0x00, 0x02, 0x00,  // BootAddr 0x200
      0x00, 0x30, 0x00,              // BootSize = file 0's image
      0x00, 0x00,
      0x00, 0x32, 0x00,              // UserCodeAddr = BootAddr + BootSize
      0x00, 0x24, 0x00};             // UserCodeSize = file 1's image
  EXPECT_EQ(cam().flash_bytes(0, 16), want_header);
  EXPECT_EQ(cam().flash_bytes(0x200, n0), std::vector<std::uint8_t>(f0.begin() + 4, f0.end()));
  EXPECT_EQ(cam().flash_bytes(0x200 + n0, n1), std::vector<std::uint8_t>(f1.begin() + 4, f1.end()));
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_DOWNLOAD_DONE, 0}));
}

// ------------------------------------------------------------- plain runs --

TEST_F(EngineTest, PlainFlashLayoutWithBootRecordLast) {
  attach(sim::SimProfile::Gen0Flash);
  const auto file = build_plain_firmware_file(0x0321, 0x2345);
  DownloadRequest r = request(write_file("plain.bin", file), kDownloadPlain);
  const Seq seq = run(r);
  const std::uint32_t n = static_cast<std::uint32_t>(file.size());

  EXPECT_EQ(cam().flash_bytes(0, 4), (std::vector<std::uint8_t>{0x26, 0x50, 0x01, 0x00}));
  EXPECT_EQ(cam().flash_bytes(0x1000, 0x100),
            std::vector<std::uint8_t>(file.begin() + 0x54, file.begin() + 0x154));
  EXPECT_EQ(cam().flash_bytes(0x3000, 0x1000), std::vector<std::uint8_t>(0x1000, 0xFF));
  EXPECT_EQ(cam().flash_bytes(0x5000, n), file);
  EXPECT_EQ(cam().flash_status() & 0x0C, 0x0C);

  Seq want = {{UPD_RANGE, 0xFFFF}, {UPD_DOWNLOAD_POS, 0}};
  for (std::uint32_t a = 0; a < 0x10000; a += 0x1000) want.push_back({UPD_DOWNLOAD_POS, a});
  want.insert(want.end(), {{UPD_DOWNLOAD_BEGIN, 0}, {UPD_RANGE, n}, {UPD_DOWNLOAD_POS, 0},
                           {UPD_DOWNLOAD_POS, 0}, {UPD_RANGE, n}, {UPD_VALIDATE_BEGIN, 0},
                           {UPD_DOWNLOAD_POS, 0}, {UPD_RANGE, 4}, {UPD_DOWNLOAD_DONE, 0}});
  ASSERT_EQ(seq.size(), want.size() + 1) << describe(seq);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), seq.begin())) << describe(seq);
  EXPECT_EQ(seq.back().code, UPD_ELAPSED_MS);
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_DOWNLOAD_DONE, 0}));
}

TEST_F(EngineTest, PlainEepromLayoutFillsThenProgramsInPieces) {
  attach(sim::SimProfile::Gen0Eeprom);
  const auto file = build_plain_firmware_file(0x0321, 1000);
  DownloadRequest r = request(write_file("plain.bin", file), kDownloadPlain);
  const Seq seq = run(r);

  const auto mem = cam().eeprom_bytes(0, 0x4000);
  EXPECT_EQ(std::vector<std::uint8_t>(mem.begin(), mem.begin() + 4),
            (std::vector<std::uint8_t>{0x26, 0x00, 0x03, 0x00}));
  EXPECT_TRUE(std::equal(file.begin() + 4, file.end(), mem.begin() + 4));
  EXPECT_TRUE(std::all_of(mem.begin() + 1000, mem.end(), [](std::uint8_t b) { return b == 0xFF; }))
      << "the fill must cover the whole size class";

  Seq want = {{UPD_RANGE, 0x4000}, {UPD_DOWNLOAD_POS, 0}};
  for (std::uint32_t a = 32; a <= 0x4000; a += 32) want.push_back({UPD_DOWNLOAD_POS, a});
  want.insert(want.end(), {{UPD_DOWNLOAD_POS, 1000}, {UPD_DOWNLOAD_BEGIN, 0}, {UPD_RANGE, 1000},
                           {UPD_DOWNLOAD_POS, 0}});
  for (std::uint32_t a = 32; a <= 992; a += 32) want.push_back({UPD_DOWNLOAD_POS, a});
  want.insert(want.end(), {{UPD_DOWNLOAD_POS, 1000}, {UPD_VALIDATE_BEGIN, 0},
                           {UPD_VALIDATE_POS, 0}});
  for (std::uint32_t a = 32; a <= 992; a += 32) want.push_back({UPD_VALIDATE_POS, a});
  want.insert(want.end(), {{UPD_VALIDATE_POS, 1000}, {UPD_DOWNLOAD_DONE, 0}});
  ASSERT_EQ(seq.size(), want.size() + 1) << describe(seq);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), seq.begin())) << describe(seq);
  EXPECT_EQ(seq.back().code, UPD_ELAPSED_MS);
}

// --------------------------------------------------------------- uploads --

TEST_F(EngineTest, DumpOfTwoHalvesIsAFirmwareFileOfTheFlash) {
  attach(sim::SimProfile::Q);
  const std::string out = (dir_ / "Dump.bin_").string();
  UploadRequest u;
  u.notifyWindow = &queue_;
  u.owner = &prompter_;
  u.length = 0x20000;
  u.outputPath = out;
  ASSERT_NE(StartUpload(u), kNoWorker);
  WaitForWorker();
  const Seq seq = queue_.drain();

  const auto bytes = read_back(out);
  ASSERT_EQ(bytes.size(), 0x20004u);
  const std::uint32_t stored = bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                               static_cast<std::uint32_t>(bytes[3]) << 24;
  EXPECT_EQ(stored, ::crc32(0, bytes.data() + 4, 0x20000));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 4, bytes.end()), cam().flash_bytes(0, 0x20000));
  EXPECT_TRUE(CheckFileCrc(out));

  ASSERT_EQ(seq.size(), 7u) << describe(seq);
  EXPECT_EQ(seq[0], (Notification{UPD_RANGE, 0x20000}));
  EXPECT_EQ(seq[1], (Notification{UPD_UPLOAD_BEGIN, 0}));
  EXPECT_EQ(seq[2], (Notification{UPD_RANGE, 0x10000}));
  EXPECT_EQ(seq[3], (Notification{UPD_RANGE, 0x10000}));
  EXPECT_EQ(seq[4], (Notification{UPD_UPLOAD_DONE, 0}));
  EXPECT_EQ(seq[5].code, UPD_ELAPSED_MS);
  EXPECT_GE(seq[5].value, 100u) << "the dump waits 100 ms between its halves";
  EXPECT_EQ(seq[6], (Notification{UPD_DOWNLOAD_POS, 0x20000}));
}

TEST_F(EngineTest, DownloadThenDumpRoundTrip) {
  attach(sim::SimProfile::Q);
  const auto file = complete_file(0x20000);
  DownloadRequest r = request(write_file("fw.bin", file));
  ASSERT_EQ(single_outcome(run(r)), (Notification{UPD_DOWNLOAD_DONE, 0}));

  UploadRequest u;
  u.notifyWindow = &queue_;
  u.length = 0x20000;
  u.outputPath = (dir_ / "Dump.bin_").string();
  ASSERT_NE(StartUpload(u), kNoWorker);
  WaitForWorker();
  EXPECT_EQ(single_outcome(queue_.drain()), (Notification{UPD_UPLOAD_DONE, 0}));
  EXPECT_EQ(read_back(u.outputPath), file) << "the dump of a written image is the same file";
}

TEST_F(EngineTest, ShortDumpReadsFromTheStartAddress) {
  attach(sim::SimProfile::Q);
  UploadRequest u;
  u.notifyWindow = &queue_;
  u.startAddress = 0x3000;
  u.length = 0x140;
  u.outputPath = (dir_ / "part.bin").string();
  ASSERT_NE(StartUpload(u), kNoWorker);
  WaitForWorker();
  EXPECT_EQ(single_outcome(queue_.drain()), (Notification{UPD_UPLOAD_DONE, 0}));
  const auto bytes = read_back(u.outputPath);
  ASSERT_EQ(bytes.size(), 0x144u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 4, bytes.end()), cam().flash_bytes(0x3000, 0x140));
}

TEST_F(EngineTest, DumpIntoAnUncreatableFileReportsFileWriteFailed) {
  attach(sim::SimProfile::Q);
  UploadRequest u;
  u.notifyWindow = &queue_;
  u.length = 0x100;
  u.outputPath = (dir_ / "no_such_dir" / "x.bin").string();
  ASSERT_NE(StartUpload(u), kNoWorker);
  WaitForWorker();
  EXPECT_EQ(single_outcome(queue_.drain()), (Notification{UPD_FILE_WRITE_FAILED, 0}));
}

// -------------------------------------------------------------- refusals --

TEST_F(EngineTest, ClosedLibraryRefusesBothStarts) {
  attach(sim::SimProfile::Q);
  CloseDevices();
  DownloadRequest r = request(write_file("fw.bin", complete_file(0x8000)));
  expect_refused(StartDownload(r), kDownloadCaption, kMsgNoDevice);
  UploadRequest u;
  u.notifyWindow = &queue_;
  u.owner = &prompter_;
  u.outputPath = (dir_ / "d.bin").string();
  expect_refused(StartUpload(u), kUploadCaption, kMsgNoDevice);
}

TEST_F(EngineTest, OpenDevicesWithoutCameraLeavesLibraryClosed) {
  sim::SimOptions o;
  o.profile = sim::SimProfile::None;
  install(o);
  EXPECT_EQ(OpenDevices(), 0);
  EXPECT_FALSE(DevicesOpen());
  EXPECT_EQ(DeviceCount(), 0);
}

TEST_F(EngineTest, RunningWorkerRefusesDownloadAndUpload) {
  attach(sim::SimProfile::Q);
  const auto file = complete_file(0x8000);
  GateTarget gate;
  DownloadRequest first = request(write_file("fw.bin", file));
  first.notifyWindow = &gate;
  const WorkerHandle h = StartDownload(first);
  ASSERT_NE(h, kNoWorker);
  gate.wait_entered();
  EXPECT_TRUE(WorkerRunning());
  EXPECT_EQ(CurrentWorker(), h);

  // The refused requests take over the notifications of the running worker.
  DownloadRequest second = request(first.file0Path);
  expect_refused(StartDownload(second), kDownloadCaption, kMsgThreadRunning);
  UploadRequest u;
  u.notifyWindow = &queue_;
  u.owner = &prompter_;
  u.outputPath = (dir_ / "d.bin").string();
  EXPECT_EQ(StartUpload(u), kNoWorker);
  EXPECT_EQ(prompter_.shown().back().caption, kUploadCaption);
  EXPECT_EQ(prompter_.shown().back().text, kMsgThreadRunning);

  gate.open();
  WaitForWorker();
  EXPECT_FALSE(WorkerRunning());
  EXPECT_EQ(gate.seen().size(), 1u);
  const Seq rest = queue_.drain();
  EXPECT_EQ(single_outcome(rest), (Notification{UPD_DOWNLOAD_DONE, 0}));

  // Once the worker has ended, a new download starts.
  DownloadRequest third = request(first.file0Path);
  EXPECT_EQ(single_outcome(run(third)), (Notification{UPD_DOWNLOAD_DONE, 0}));
}

struct QuestionCase {
  const char* name;
  bool corrupt_crc;
  bool missing_file;
  MessageAnswer answer;
  std::vector<std::string> texts;  // every message shown, in order
  bool starts;
};

TEST_F(EngineTest, FileQuestionsDecideWhetherTheBootHeaderDownloadGoesOn) {
  attach(sim::SimProfile::Q);
  auto good = complete_file(0x6000);
  auto bad = good;
  bad[100] ^= 0x01;
  const std::string good_path = write_file("good.bin", good);
  const std::string bad_path = write_file("bad.bin", bad);
  const std::string missing = (dir_ / "missing.bin").string();

  const QuestionCase cases[] = {
      {"crc wrong, cancel", true, false, MessageAnswer::Cancel, {kMsgFile0CrcQuestion}, false},
      {"crc wrong, ok", true, false, MessageAnswer::Ok, {kMsgFile0CrcQuestion}, true},
      {"missing, cancel", false, true, MessageAnswer::Cancel, {kMsgFile0OpenError}, false},
      {"missing, ok", false, true, MessageAnswer::Ok, {kMsgFile0OpenError, kMsgOpenFileError},
       false},
      {"good file", false, false, MessageAnswer::Cancel, {}, true},
  };
  for (const QuestionCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingPrompter prompter(c.answer);
    DownloadRequest r = request(c.missing_file ? missing : c.corrupt_crc ? bad_path : good_path);
    r.owner = &prompter;
    const WorkerHandle h = StartDownload(r);
    WaitForWorker();
    const Seq seq = queue_.drain();
    ASSERT_EQ(prompter.shown().size(), c.texts.size());
    for (std::size_t i = 0; i < c.texts.size(); ++i) {
      EXPECT_EQ(prompter.shown()[i].text, c.texts[i]);
      EXPECT_EQ(prompter.shown()[i].caption, kDownloadCaption);
    }
    if (!c.texts.empty()) {
      EXPECT_EQ(prompter.shown()[0].buttons, MessageButtons::OkCancel);
      EXPECT_EQ(prompter.shown()[0].icon, MessageIcon::Warning);
    }
    EXPECT_EQ(h != kNoWorker, c.starts);
    if (c.starts) {
      EXPECT_EQ(single_outcome(seq), (Notification{UPD_DOWNLOAD_DONE, 0}));
      const auto& f = c.corrupt_crc ? bad : good;
      EXPECT_EQ(cam().flash_bytes(0, f.size() - 4), std::vector<std::uint8_t>(f.begin() + 4, f.end()))
          << "an accepted file is written exactly as it is";
    } else {
      EXPECT_TRUE(seq.empty());
    }
  }
}

TEST_F(EngineTest, PlainDownloadRefusesWrongCrcEvenAfterOk) {
  attach(sim::SimProfile::Gen0Eeprom);
  auto file = build_plain_firmware_file(0x0100, 0x800);
  file[0x200] ^= 0xFF;
  DownloadRequest r = request(write_file("p.bin", file), kDownloadPlain);
  expect_refused(StartDownload(r), kDownloadCaption, kMsgFileCrcError);
  ASSERT_EQ(prompter_.shown().size(), 2u);
  EXPECT_EQ(prompter_.shown()[0].text, kMsgFile0CrcQuestion);
}

struct SizeCase {
  const char* name;
  std::uint8_t mode;
  std::uint8_t eeprom_type;
  std::uint32_t size;
  const char* refusal;  // null: the download starts
};

TEST_F(EngineTest, SizeLimits) {
  attach(sim::SimProfile::Gen0Eeprom);
  const SizeCase cases[] = {
      {"whole buffer passes the buffer check", kDownloadPlain, 5, 0x40000, kMsgOverMaximum},
      {"one byte over the buffer", kDownloadPlain, 5, 0x40001, kMsgFilesTooLarge},
      {"one byte over the buffer, boot header", kDownloadBootHeader, 5, 0x40001,
       kMsgFilesTooLarge},
      {"type 5 takes 16384 bytes", kDownloadPlain, 5, 16384, nullptr},
      {"type 5 refuses 16385 bytes", kDownloadPlain, 5, 16385, kMsgOverMaximum},
      {"type 0 refuses 2049 bytes", kDownloadPlain, 0, 2049, kMsgOverMaximum},
      {"type 9 is not a size class", kDownloadPlain, 9, 0x800, kMsgBadEepromType},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    prompter_.clear();
    DownloadRequest r = request(write_file("s.bin", build_plain_firmware_file(1, std::min(c.size, 0x40000u))), c.mode);
    if (c.size > 0x40000) {
      std::ofstream(r.file0Path, std::ios::binary | std::ios::app).put('\0');
    }
    r.eepromType = c.eeprom_type;
    const WorkerHandle h = StartDownload(r);
    EXPECT_EQ(r.file0Size, c.size) << "the size is written back into the request";
    EXPECT_EQ(r.file1Size, 0u);
    if (c.refusal) {
      expect_refused(h, kDownloadCaption, c.refusal);
    } else {
      EXPECT_NE(h, kNoWorker);
      WaitForWorker();
      EXPECT_EQ(single_outcome(queue_.drain()), (Notification{UPD_DOWNLOAD_DONE, 0}));
    }
  }
}

TEST_F(EngineTest, RequestsTheLayoutsCannotTakeAreRefusedBeforeErasing) {
  attach(sim::SimProfile::Q);
  const auto before = cam().flash_bytes(0, 0x1000);
  FirmwareBuildOptions o;
  o.code_only = true;
  o.image_size = 0x3000;
  const std::string code = write_file("code.bin", build_firmware_file(o));

  // BootAddr 0: the image would overwrite the header it follows.
  DownloadRequest at_zero = request(code);
  expect_refused(StartDownload(at_zero), kDownloadCaption, kMsgBadBootAddress);
  // BootAddr 0x10: pages would wrap inside the flash's 256-byte pages.
  DownloadRequest unaligned = request(code);
  unaligned.bootHeader = {0x7A, 0x3C, 0x10};
  expect_refused(StartDownload(unaligned), kDownloadCaption, kMsgBadBootAddress);
  EXPECT_EQ(cam().flash_bytes(0, 0x1000), before);

  DownloadRequest long_path = request(std::string(260, 'x'));
  expect_refused(StartDownload(long_path), kDownloadCaption, kMsgPathTooLong);

  UploadRequest u;
  u.notifyWindow = &queue_;
  u.owner = &prompter_;
  u.length = kMaxUploadLength + 1;
  u.outputPath = (dir_ / "d.bin").string();
  expect_refused(StartUpload(u), kUploadCaption, kMsgUploadTooLong);
  u.length = 0x100;
  u.outputPath = std::string(512, 'y');
  expect_refused(StartUpload(u), kUploadCaption, kMsgUploadPathTooLong);
}

// ----------------------------------------------------------------- faults --

// Injects a fault into the camera at a known point of the run: when the
// worker posts `trigger`, the camera loses the transfer `offset` transfers
// later (or every transfer from then on, when `unplug`).
class FaultOnTarget final : public NotifyTarget {
 public:
  FaultOnTarget(sim::SimCamera& cam, Notification trigger, std::uint64_t offset, bool unplug)
      : cam_(cam), trigger_(trigger), offset_(offset), unplug_(unplug) {}
  void post(std::uint32_t code, std::uint32_t value) override {
    seen.push_back({code, value});
    if (armed_ || !(Notification{code, value} == trigger_)) return;
    armed_ = true;
    const std::uint64_t now = cam_.counters().total;
    if (unplug_) {
      cam_.set_unplug_after(now + offset_);
    } else {
      cam_.set_fail_at(now + offset_);
    }
  }
  Seq seen;

 private:
  sim::SimCamera& cam_;
  Notification trigger_;
  std::uint64_t offset_;
  bool unplug_;
  bool armed_ = false;
};

TEST_F(EngineTest, CameraLostInEachPhaseGivesThatPhasesFailure) {
  attach(sim::SimProfile::Q);
  const std::string path = write_file("fw.bin", complete_file(0x6000));
  struct Case {
    const char* name;
    Notification trigger;
    Notification outcome;
  } cases[] = {
      {"during the erase", {UPD_ERASE_POS, 1}, {UPD_ERASE_RESULT, 0}},
      {"while programming", {UPD_DOWNLOAD_POS, 0x1000}, {UPD_DOWNLOAD_FAILED, 0}},
      {"while reading back", {UPD_VALIDATE_RANGE, 0x6000}, {UPD_VALIDATE_RESULT, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultOnTarget target(cam(), c.trigger, 3, true);
    DownloadRequest r = request(path);
    r.notifyWindow = &target;
    ASSERT_NE(StartDownload(r), kNoWorker);
    WaitForWorker();
    EXPECT_EQ(single_outcome(target.seen), c.outcome) << describe(target.seen);
    EXPECT_EQ(std::count(target.seen.begin(), target.seen.end(),
                         Notification{UPD_DOWNLOAD_DONE, 0}),
              0);
    cam().set_unplug_after(std::nullopt);
    cam().replug();
  }
}

// One lost transfer while programming: a lost data piece fails the run; a
// lost status poll is absorbed by the wait. Success is only ever reported
// with the image really in the flash.
TEST_F(EngineTest, SingleLostTransferWhileProgrammingIsNeverFalseSuccess) {
  attach(sim::SimProfile::Q);
  const auto file = complete_file(0x6000);
  const std::vector<std::uint8_t> image(file.begin() + 4, file.end());
  const std::string path = write_file("fw.bin", file);

  int failures = 0;
  for (std::uint64_t offset = 1; offset <= 40; offset += 3) {
    SCOPED_TRACE("transfer " + std::to_string(offset) + " after the first page fails");
    FaultOnTarget target(cam(), {UPD_DOWNLOAD_POS, 256}, offset, false);
    DownloadRequest r = request(path);
    r.notifyWindow = &target;
    ASSERT_NE(StartDownload(r), kNoWorker);
    WaitForWorker();
    cam().set_fail_at(0);
    // A broken multi-piece command can leave the flash selected; as after a
    // real failure, the camera is replugged before the next attempt.
    cam().unplug();
    cam().replug();
    const Notification outcome = single_outcome(target.seen);
    if (outcome == Notification{UPD_DOWNLOAD_DONE, 0}) {
      EXPECT_EQ(cam().flash_bytes(0, image.size()), image) << "success without the image";
    } else {
      EXPECT_EQ(outcome, (Notification{UPD_DOWNLOAD_FAILED, 0})) << describe(target.seen);
      ++failures;
    }
  }
  EXPECT_GT(failures, 0) << "no lost data piece was detected";
}

TEST_F(EngineTest, BusyBitThatNeverClearsTimesOut) {
  attach(sim::SimProfile::Q);
  const std::string path = write_file("fw.bin", complete_file(0x6000));
  cam().set_stuck_busy(true);
  DownloadRequest r = request(path);
  const std::uint32_t start = camera_->clock().ticks_ms();
  const Seq seq = run(r);
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_ERASE_RESULT, 0})) << describe(seq);
  EXPECT_GE(camera_->clock().ticks_ms() - start, 3000u) << "the erase gives up only after 3000 ms";
}

TEST_F(EngineTest, PlainFlashDeviceFailureIsAccessFailed) {
  attach(sim::SimProfile::Gen0Flash);
  const std::string path = write_file("p.bin", build_plain_firmware_file(0x0100, 0x1000));
  cam().set_stuck_busy(true);
  DownloadRequest r = request(path, kDownloadPlain);
  const Seq seq = run(r);
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_ACCESS_FAILED, 0})) << describe(seq);
}

TEST_F(EngineTest, UnpluggedEepromCameraIsAccessFailedWithoutBootRecord) {
  attach(sim::SimProfile::Gen0Eeprom);
  const std::string path = write_file("p.bin", build_plain_firmware_file(0x0100, 0x800));
  cam().set_unplug_after(cam().counters().total + 600);
  DownloadRequest r = request(path, kDownloadPlain);
  const Seq seq = run(r);
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_ACCESS_FAILED, 0})) << describe(seq);
  cam().set_unplug_after(std::nullopt);
  cam().replug();
  EXPECT_NE(cam().eeprom_bytes(0, 4), (std::vector<std::uint8_t>{0x26, 0x00, 0x03, 0x00}))
      << "a failed run must leave no boot record";
}

}  // namespace
}  // namespace lumavix

namespace lumavix {
namespace {

// The first run leaves the flash block-protected; the next one must still
// erase every sector before programming a different image.
TEST_F(EngineTest, SecondDownloadOverProtectedFlashWritesTheNewImage) {
  attach(sim::SimProfile::Q);
  const auto first = complete_file(0x6000);
  FirmwareBuildOptions o;
  o.firmware_version = 0x0300;
  o.image_size = 0x6000;
  const auto second = build_firmware_file(o);
  DownloadRequest r1 = request(write_file("one.bin", first));
  ASSERT_EQ(single_outcome(run(r1)), (Notification{UPD_DOWNLOAD_DONE, 0}));
  ASSERT_EQ(cam().flash_status() & 0x0C, 0x0C);
  DownloadRequest r2 = request(write_file("two.bin", second));
  const Seq seq = run(r2);
  EXPECT_EQ(single_outcome(seq), (Notification{UPD_DOWNLOAD_DONE, 0})) << describe(seq);
  EXPECT_EQ(cam().flash_bytes(0, second.size() - 4),
            std::vector<std::uint8_t>(second.begin() + 4, second.end()));
}

// ------------------------------------------------------- the bytes checked --

// Answers every question with OK and, while it is asked, puts other bytes at
// the path: whatever the path holds once a check has passed must not be what
// is written.
class SwappingPrompter final : public Prompter {
 public:
  SwappingPrompter(std::string path, std::vector<std::uint8_t> replacement)
      : path_(std::move(path)), replacement_(std::move(replacement)) {}
  MessageAnswer ask(std::string_view, std::string_view text, MessageButtons,
                    MessageIcon) override {
    shown.emplace_back(text);
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(replacement_.data()),
               static_cast<std::streamsize>(replacement_.size()));
    return MessageAnswer::Ok;
  }
  std::vector<std::string> shown;

 private:
  std::string path_;
  std::vector<std::uint8_t> replacement_;
};

// The file is replaced after it was read: by the user's answer to the CRC
// question, or between the caller's read (the window's pass) and the start.
// The run writes and verifies the bytes that were read and checked, or
// refuses on them; never what the path holds afterwards.
TEST_F(EngineTest, TheBytesCheckedAreTheBytesWritten) {
  attach(sim::SimProfile::Q);
  FirmwareBuildOptions other;
  other.firmware_version = 0x0300;
  other.product_id = ProductIdQAlt;
  other.image_size = 0x6000;
  const auto good = complete_file(0x6000);
  const auto swapped_in = build_firmware_file(other);
  auto damaged = good;
  damaged[0x300] ^= 0x01;
  const std::vector<std::uint8_t> tiny(20, 0x5A);
  const auto plain = build_plain_firmware_file(0x0321, 0x800);
  auto damaged_plain = plain;
  damaged_plain[0x200] ^= 0xFF;

  struct Case {
    const char* name;
    std::vector<std::uint8_t> read;       // what the file held when it was read
    std::vector<std::uint8_t> afterward;  // what the path holds from then on
    bool preloaded;                       // the caller read it (the window's pass)
    std::uint8_t mode;
    const char* refusal;                  // null: it runs and writes `read`
  };
  const Case cases[] = {
      {"damaged file, OK to the question, a good one swapped in", damaged, swapped_in, false,
       kDownloadBootHeader, nullptr},
      {"read by the pass, a 20-byte file swapped in", good, tiny, true, kDownloadBootHeader,
       nullptr},
      {"read by the pass, another model's file swapped in", good, swapped_in, true,
       kDownloadBootHeader, nullptr},
      {"plain: damaged file read, a whole one swapped in", damaged_plain, plain, true,
       kDownloadPlain, kMsgFileCrcError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto flash_before = cam().flash_bytes(0, 0x7000);
    const std::string path = write_file("swap.bin", c.read);
    SwappingPrompter prompter(path, c.afterward);
    DownloadRequest r = request(path, c.mode);
    r.owner = &prompter;
    if (c.preloaded) {
      r.file0Image = std::make_shared<const LoadedFirmware>(LoadFirmwareFile(path));
      write_file("swap.bin", c.afterward);
    }
    const WorkerHandle h = StartDownload(r);
    WaitForWorker();
    const Seq seq = queue_.drain();
    EXPECT_EQ(r.file0Size, c.read.size()) << "the size of the bytes read";
    if (c.refusal) {
      EXPECT_EQ(h, kNoWorker);
      ASSERT_FALSE(prompter.shown.empty());
      EXPECT_EQ(prompter.shown.back(), c.refusal);
      EXPECT_TRUE(seq.empty()) << describe(seq);
      EXPECT_EQ(cam().flash_bytes(0, 0x7000), flash_before) << "nothing may be written";
      continue;
    }
    ASSERT_NE(h, kNoWorker);
    EXPECT_EQ(single_outcome(seq), (Notification{UPD_DOWNLOAD_DONE, 0})) << describe(seq);
    EXPECT_EQ(cam().flash_bytes(0, c.read.size() - 4),
              std::vector<std::uint8_t>(c.read.begin() + 4, c.read.end()))
        << "the flash expected to hold the bytes that were read, not the file swapped in";
  }
}

// A plain download that cannot read the boot memory kind (register 0x05)
// must not guess the EEPROM: on a camera that boots from SPI flash that
// would put the image on its I2C bus.
TEST_F(EngineTest, PlainDownloadRefusesWhenTheBootMemoryCannotBeTold) {
  attach(sim::SimProfile::Gen0Flash);
  const auto file = build_plain_firmware_file(0x0321, 0x2345);
  const auto flash_before = cam().flash_bytes(0, 0x10000);
  const auto eeprom_before = cam().eeprom_bytes(0, 0x4000);
  DownloadRequest r = request(write_file("plain.bin", file), kDownloadPlain);
  // The start's only transfers are the register read's: the chip generation
  // query (two), then the read's request and its reply, which is lost.
  cam().set_fail_at(cam().counters().total + 4);
  expect_refused(StartDownload(r), kDownloadCaption, kMsgBootMemoryUnknown);
  cam().set_fail_at(0);
  EXPECT_EQ(cam().flash_bytes(0, 0x10000), flash_before);
  EXPECT_EQ(cam().eeprom_bytes(0, 0x4000), eeprom_before) << "nothing sent to the EEPROM";

  // Read once it answers, the same request runs as the flash download.
  DownloadRequest again = request(r.file0Path, kDownloadPlain);
  EXPECT_EQ(single_outcome(run(again)), (Notification{UPD_DOWNLOAD_DONE, 0}));
  EXPECT_EQ(cam().flash_bytes(0x5000, static_cast<std::uint32_t>(file.size())), file);
}

// The EEPROM download writes and verifies the camera at position 0; a second
// camera on the bus keeps its memory.
TEST_F(EngineTest, EepromDownloadWritesOnlyTheFirstCamera) {
  attach(sim::SimProfile::Gen0Eeprom, 20, 2);
  ASSERT_EQ(DeviceCount(), 2);
  sim::SimCamera& second = *sim().camera(1);
  const auto second_before = second.eeprom_bytes(0, 0x4000);
  const auto file = build_plain_firmware_file(0x0321, 1000);
  DownloadRequest r = request(write_file("plain.bin", file), kDownloadPlain);
  EXPECT_EQ(single_outcome(run(r)), (Notification{UPD_DOWNLOAD_DONE, 0}));
  const auto first = cam().eeprom_bytes(0, 1000);
  EXPECT_TRUE(std::equal(file.begin() + 4, file.end(), first.begin() + 4))
      << "the first camera holds the file";
  EXPECT_EQ(second.eeprom_bytes(0, 0x4000), second_before)
      << "the second camera expected untouched";
}

}  // namespace
}  // namespace lumavix
