// The setting-table download: the address and file-type rules, the default
// addresses and file search, and the writes themselves against the simulated
// camera in virtual time.
#include "settings/tables.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/platform.h"
#include "firmware/engine.h"
#include "firmware/flash.h"
#include "temp_dir.h"
#include "sim/simulator.h"
#include "sim_camera.h"

namespace lumavix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------- the rules --

TEST(SettingTableAddress, ReadsLikeStrtoulBase16) {
  struct Case {
    const char* text;
    std::uint32_t value;
    std::size_t end;
    bool overflow;
  };
  const Case cases[] = {
      {"9000", 0x9000, 4, false},
      {"0x9000", 0x9000, 6, false},
      {"0X9000", 0x9000, 6, false},
      {"9000h", 0x9000, 4, false},
      {"11000", 0x11000, 5, false},
      {"abcDEF", 0xABCDEF, 6, false},
      {"", 0, 0, false},
      {"zz", 0, 0, false},
      {" \t\n9000", 0x9000, 7, false},
      {"+10", 0x10, 3, false},
      {"-1", 0xFFFFFFFF, 2, false},
      {"-0x10", 0xFFFFFFF0, 5, false},
      {"0x", 0, 1, false},     // the "0" is the number; the x is not taken
      {"0xg", 0, 1, false},
      {"0x0x5", 0, 3, false},  // one prefix only
      {"- 5", 0, 0, false},    // no blanks after the sign
      {"00000000011000", 0x11000, 14, false},
      {"FFFFFFFF", 0xFFFFFFFF, 8, false},
      {"100000000", 0xFFFFFFFF, 9, true},
      {"-100000000", 0xFFFFFFFF, 10, true},
  };
  for (const Case& c : cases) {
    const AddressText got = ParseAddressText(c.text);
    EXPECT_EQ(got.value, c.value) << "value of \"" << c.text << "\"";
    EXPECT_EQ(got.end, c.end) << "characters consumed of \"" << c.text << "\"";
    EXPECT_EQ(got.overflow, c.overflow) << "overflow of \"" << c.text << "\"";
    if (!c.overflow) {
      // Within 32 bits the C library agrees (its wider unsigned long wraps
      // negative values the same way in the low bits).
      char* end = nullptr;
      const unsigned long lib = std::strtoul(c.text, &end, 16);
      EXPECT_EQ(static_cast<std::uint32_t>(lib), c.value) << "strtoul(\"" << c.text << "\")";
#ifndef _WIN32
      // Windows' C library gives back no character of a prefix without
      // digits ("0x"), where the standard takes the "0".
      EXPECT_EQ(static_cast<std::size_t>(end - c.text), c.end)
          << "strtoul end of \"" << c.text << "\"";
#endif
    }
  }
}

TEST(SettingTableFileType, ComparesTheLastThreeCharactersExactly) {
  struct Case {
    const char* path;
    TableFileType type;
  };
  const Case cases[] = {
      {"/tables/backend.bin", TableFileType::Bin},
      {"/tables/backend.txt", TableFileType::Txt},
      {"/tables/backend.BIN", TableFileType::Other},
      {"/tables/backend.Txt", TableFileType::Other},
      {"tablebin", TableFileType::Bin},
      {"bin", TableFileType::Bin},
      {"in", TableFileType::Other},
      {"", TableFileType::Other},
      {"/tables/backend.bin ", TableFileType::Other},
      {kBackendTableNotFound, TableFileType::Other},
      {kSensorTableNotFound, TableFileType::Other},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SettingTableFileType(c.path), c.type) << "type of \"" << c.path << "\"";
  }
}

TEST(SettingTableDefaults, AddressesFollowTheChipType) {
  struct Case {
    int chipType;
    const char* backend;
    const char* sensor;
  };
  const Case cases[] = {{1, "9000", "8000"}, {2, "11000", "12000"}, {0, "AB", "CD"},
                        {3, "AB", "CD"}, {-1, "AB", "CD"}};
  for (const Case& c : cases) {
    SettingTableFields f;
    f.backendAddress = "AB";
    f.sensorAddress = "CD";
    ApplyDefaultTableAddresses(c.chipType, f);
    EXPECT_EQ(f.backendAddress, c.backend) << "backend address for chip type " << c.chipType;
    EXPECT_EQ(f.sensorAddress, c.sensor) << "sensor address for chip type " << c.chipType;
  }
}

TEST(FindSettingTableFiles, FindsTheDefaultFilesOrSaysTheyAreMissing) {
  test::TempDir dir;
  SettingTableFields f;
  FindSettingTableFiles(f, 1, dir.path());
  EXPECT_EQ(f.backendSettingPath, kBackendTableNotFound);
  EXPECT_EQ(f.sensorSettingPath, kSensorTableNotFound);
  EXPECT_EQ(f.backendAddress, "9000");

  dir.write("backend_init.txt", "x");
  dir.write("SensorSetting.txt", "x");
  FindSettingTableFiles(f, 0, dir.path());
  EXPECT_EQ(std::filesystem::path(f.backendSettingPath), std::filesystem::path(dir.path()) / "backend_init.txt");
  EXPECT_EQ(std::filesystem::path(f.sensorSettingPath), std::filesystem::path(dir.path()) / "SensorSetting.txt");
  EXPECT_EQ(f.backendAddress, "9000") << "chip type 0 leaves the addresses";
}

TEST(FindSettingTableFiles, TakesTheNameAsFoundWhenOnlyTheCaseDiffers) {
  test::TempDir dir;
  dir.write("Backend_Init.txt", "x");
  fs::create_directory(fs::path(dir.path()) / "sensorsetting.txt");  // a folder is no file
  SettingTableFields f;
  FindSettingTableFiles(f, 2, dir.path());
  EXPECT_EQ(std::filesystem::path(f.backendSettingPath), std::filesystem::path(dir.path()) / "Backend_Init.txt");
  EXPECT_EQ(f.sensorSettingPath, kSensorTableNotFound);
}

// --------------------------------------------------- the simulated camera --

class RecordingSink final : public ProgressSink {
 public:
  void range(std::uint32_t total) override { ranges.push_back(total); }
  void position(std::uint32_t done) override { positions.push_back(done); }
  std::vector<std::uint32_t> ranges, positions;
};

class TableDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    camera_.emplace(test::SimulatedCamera::Profile("q"));
    ASSERT_EQ(kvVidHidCls_Init(), 1) << "the simulated camera should be found";
    ui_.status = [this](std::string_view text) { statuses_.emplace_back(text); };
    ui_.prompter = &prompter_;
    ui_.progress = &sink_;
    log_.explicitPath = fs::path(dir_.path()) / "convert.log";
  }

  void TearDown() override {
    kvVidHidCls_DeInit();
    camera_.reset();
  }

  sim::SimCamera& cam() { return camera_->camera(); }
  Bytes flash() { return cam().flash_bytes(0, static_cast<std::uint32_t>(cam().flash_size())); }

  // A file of `size` bytes counting up from `seed`.
  std::string bin_file(const std::string& name, std::size_t size, std::uint8_t seed = 1) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
    dir_.write(name, bytes);
    return dir_.path() + "/" + name;
  }

  static Bytes bytes_of(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    Bytes out;
    if (!f) return out;
    int c;
    while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return out;
  }

  // Fills the given range of the flash with a non-erased pattern, so that
  // programming without an erase shows.
  void scribble(std::uint32_t address, std::uint32_t length) {
    cam().write_flash_bytes(address, Bytes(length, 0x5A));
  }

  // Expects `after` to equal `before` outside [from, to).
  static void expect_untouched_outside(const Bytes& before, const Bytes& after,
                                       std::uint32_t from, std::uint32_t to) {
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (i >= from && i < to) continue;
      if (before[i] != after[i]) {
        ADD_FAILURE() << "flash byte 0x" << std::hex << i << " changed outside [0x" << from
                      << ", 0x" << to << ")";
        return;
      }
    }
  }

  std::optional<test::SimulatedCamera> camera_;
  test::TempDir dir_;
  RecordingPrompter prompter_;
  RecordingSink sink_;
  SettingTableUi ui_;
  SettextLogOptions log_;
  std::vector<std::string> statuses_;
};

TEST_F(TableDownload, BinTableLandsAtItsAddressAndNothingElseChanges) {
  const std::string path = bin_file("backend.bin", 300);
  scribble(0x9000, 0x1000);
  const Bytes before = flash();

  SettingTableFields f;
  f.backendSettingPath = path;
  f.backendAddress = "9100";
  const TableDownloadResult r = DownloadSettingTables(f, ui_, log_);

  EXPECT_EQ(r.backend.outcome, TableOutcome::Written) << r.backend.detail;
  EXPECT_EQ(r.sensor.outcome, TableOutcome::NotRequested);
  EXPECT_TRUE(r.all_written());
  EXPECT_EQ(r.backend.address, 0x9100u);
  EXPECT_EQ(r.backend.size, 300u);
  EXPECT_EQ(statuses_, std::vector<std::string>{kStatusBackendTableWritten});
  EXPECT_TRUE(prompter_.shown().empty());

  const Bytes after = flash();
  EXPECT_EQ(cam().flash_bytes(0x9100, 300), bytes_of(path));
  EXPECT_EQ(cam().flash_bytes(0x9000, 0x100), Bytes(0x100, 0xFF))
      << "the sector that holds the address is erased from its start";
  EXPECT_EQ(cam().flash_bytes(0x9100 + 300, 0x1000 - 0x100 - 300),
            Bytes(0x1000 - 0x100 - 300, 0xFF));
  expect_untouched_outside(before, after, 0x9000, 0xA000);

  EXPECT_EQ(sink_.ranges, std::vector<std::uint32_t>{300});
  EXPECT_EQ(sink_.positions, (std::vector<std::uint32_t>{0, 256, 300}));
}

TEST_F(TableDownload, SensorTextOnlyWritesTheConvertedImage) {
  const std::string text = std::string(LUMAVIX_TEST_DATA_DIR) + "/settext/backend_init.txt";
  const SettextConversion expected = ConvertSettingText(text, kTableDownloadBufferSize, log_);
  ASSERT_TRUE(expected.ok()) << expected.error;
  scribble(0x12000, 0x1000);
  const Bytes before = flash();

  SettingTableFields f;
  f.sensorSettingPath = text;
  const TableDownloadResult r = DownloadSettingTables(f, ui_, log_);

  EXPECT_EQ(r.backend.outcome, TableOutcome::NotRequested);
  EXPECT_EQ(r.sensor.outcome, TableOutcome::Written) << r.sensor.detail;
  EXPECT_EQ(statuses_, std::vector<std::string>{kStatusSensorTableWritten});
  EXPECT_EQ(cam().flash_bytes(0x12000, static_cast<std::uint32_t>(expected.image.size())),
            expected.image);
  expect_untouched_outside(before, flash(), 0x12000, 0x13000);
}

TEST_F(TableDownload, TableAcrossASectorBoundaryErasesEverySectorItTouches) {
  // 0x11F00 + 5000 bytes ends at 0x13288: three sectors.
  const std::string path = bin_file("sensor.bin", 5000, 3);
  scribble(0x11000, 0x3000);
  const Bytes before = flash();

  SettingTableFields f;
  f.sensorSettingPath = path;
  f.sensorAddress = "11F00";
  const TableDownloadResult r = DownloadSettingTables(f, ui_, log_);

  ASSERT_EQ(r.sensor.outcome, TableOutcome::Written) << r.sensor.detail;
  EXPECT_EQ(cam().flash_bytes(0x11F00, 5000), bytes_of(path))
      << "the part in the second sector must not be programmed over old data";
  EXPECT_EQ(cam().flash_bytes(0x13288, 0x1000 - 0x288), Bytes(0x1000 - 0x288, 0xFF));
  expect_untouched_outside(before, flash(), 0x11000, 0x14000);
}

TEST_F(TableDownload, MissingBinStopsBeforeTheSensorTable) {
  const Bytes before = flash();
  SettingTableFields f;
  f.backendSettingPath = dir_.path() + "/absent.bin";
  f.sensorSettingPath = bin_file("sensor.bin", 64);
  const TableDownloadResult r = DownloadSettingTables(f, ui_, log_);

  EXPECT_EQ(r.backend.outcome, TableOutcome::OpenFailed);
  EXPECT_EQ(r.sensor.outcome, TableOutcome::NotAttempted);
  EXPECT_FALSE(r.all_written());
  ASSERT_EQ(prompter_.shown().size(), 1u);
  EXPECT_EQ(prompter_.shown()[0].caption, kTablesCaption);
  EXPECT_EQ(prompter_.shown()[0].text, kMsgTableFileOpenError);
  EXPECT_TRUE(statuses_.empty());
  EXPECT_EQ(flash(), before);
}

// Tables that cannot be written as asked are refused before anything is
// erased, and the next table is still attempted.
TEST_F(TableDownload, RefusedTablesLeaveTheFlashUntouched) {
  const std::string no_arrays = dir_.path() + "/no_arrays.txt";
  dir_.write("no_arrays.txt", "// nothing but a comment\r\n");
  struct Case {
    std::string what;
    std::string path;
    const char* address;
    TableOutcome outcome;
  };
  const std::vector<Case> cases = {
      {"a .bin beyond the 64 KiB buffer", bin_file("big.bin", kTableDownloadBufferSize + 1),
       "11000", TableOutcome::TooLarge},
      {"an empty .bin", bin_file("empty.bin", 0), "11000", TableOutcome::Empty},
      {"an upper-case extension", bin_file("upper.BIN", 16), "11000", TableOutcome::UnknownType},
      {"a text without arrays", no_arrays, "11000", TableOutcome::TextRefused},
      {"a table past the end of the flash", bin_file("tail.bin", 0x200), "1FF00",
       TableOutcome::OutsideFlash},
      {"an address that wraps to the start", bin_file("wrap.bin", 16), "-1000",
       TableOutcome::OutsideFlash},
      {"a first piece across a page", bin_file("page.bin", 0x100), "11080",
       TableOutcome::CrossesPage},
  };
  const std::string good = bin_file("good.bin", 32);
  for (const Case& c : cases) {
    scribble(0x11000, 0x2000);
    statuses_.clear();
    const Bytes before = flash();
    SettingTableFields f;
    f.backendSettingPath = c.path;
    f.backendAddress = c.address;
    f.sensorSettingPath = good;
    f.sensorAddress = "13000";
    const TableDownloadResult r = DownloadSettingTables(f, ui_, log_);
    EXPECT_EQ(r.backend.outcome, c.outcome)
        << c.what << ": expected " << table_outcome_name(c.outcome) << ", got "
        << table_outcome_name(r.backend.outcome) << " (" << r.backend.detail << ")";
    EXPECT_EQ(r.sensor.outcome, TableOutcome::Written) << c.what << ": the sensor table follows";
    EXPECT_EQ(statuses_,
              (std::vector<std::string>{kStatusTableFailed, kStatusSensorTableWritten}))
        << c.what;
    expect_untouched_outside(before, flash(), 0x13000, 0x14000);
  }
  EXPECT_TRUE(prompter_.shown().empty());
}

TEST_F(TableDownload, UnpluggedCameraReportsFailureForEachTable) {
  SettingTableFields f;
  f.backendSettingPath = bin_file("backend.bin", 64);
  f.sensorSettingPath = bin_file("sensor.bin", 64);
  cam().unplug();
  const TableDownloadResult r = DownloadSettingTables(f, ui_, log_);
  EXPECT_EQ(r.backend.outcome, TableOutcome::WriteFailed);
  EXPECT_EQ(r.sensor.outcome, TableOutcome::WriteFailed);
  EXPECT_EQ(statuses_, (std::vector<std::string>{kStatusTableFailed, kStatusTableFailed}));
}

TEST_F(TableDownload, TxtMakeBinWritesTheBackendImage) {
  const std::string text = std::string(LUMAVIX_TEST_DATA_DIR) + "/settext/backend_init.txt";
  const SettextConversion expected = ConvertSettingText(text, kTxtMakeBinBufferSize, log_);
  ASSERT_TRUE(expected.ok()) << expected.error;
  scribble(0x9000, 0x1000);
  const Bytes before = flash();

  SettingTableFields f;
  f.backendSettingPath = text;
  f.backendAddress = "9000";
  const TableResult r = MakeBinAndWrite(f, ui_, log_);

  EXPECT_EQ(r.outcome, TableOutcome::Written) << r.detail;
  EXPECT_EQ(statuses_,
            (std::vector<std::string>{kStatusErasingTable, kStatusTableWritten}));
  EXPECT_EQ(cam().flash_bytes(0x9000, static_cast<std::uint32_t>(expected.image.size())),
            expected.image);
  expect_untouched_outside(before, flash(), 0x9000, 0xA000);
}

TEST_F(TableDownload, TxtMakeBinRefusalsShowTheirMessage) {
  std::string big = "const uint8 Big[] = {";
  for (int i = 0; i < 5000; ++i) big += "0x01,";
  big += "};\r\n";
  dir_.write("big.txt", big);
  dir_.write("empty.txt", "");
  struct Case {
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {bin_file("table.bin", 16), kMsgMakeBinNeedsTxt},
      {dir_.path() + "/big.txt", kMsgFirmwareSizeError},  // beyond the 4096-byte buffer
      {dir_.path() + "/empty.txt", kMsgFirmwareSizeError},
      {dir_.path() + "/absent.txt", kMsgFirmwareSizeError},
  };
  const Bytes before = flash();
  for (const Case& c : cases) {
    prompter_.clear();
    SettingTableFields f;
    f.backendSettingPath = c.path;
    const TableResult r = MakeBinAndWrite(f, ui_, log_);
    EXPECT_FALSE(r.written()) << c.path;
    ASSERT_EQ(prompter_.shown().size(), 1u) << c.path;
    EXPECT_EQ(prompter_.shown()[0].text, c.message) << c.path;
  }
  EXPECT_TRUE(statuses_.empty());
  EXPECT_EQ(flash(), before);
}

}  // namespace
}  // namespace lumavix
