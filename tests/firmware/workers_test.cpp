// The worker bodies run directly on the test's thread against the simulated
// camera: verification differences, the protection left behind, positions
// and elapsed time, with the engine state filled by hand.
#include "firmware/workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/platform.h"
#include "firmware/engine.h"
#include "firmware/image.h"
#include "sim/simulator.h"
#include "sim_camera.h"

namespace lumavix {
namespace {

using Seq = std::vector<Notification>;

std::string describe(const Seq& seq) {
  std::string out;
  for (const Notification& n : seq) {
    out += std::string(update_code_name(n.code)) + "(" + std::to_string(n.value) + ") ";
  }
  return out;
}

// Records every report; on `trigger` it runs `action` once (on the worker's
// thread, between two steps of the run).
class ScriptedTarget final : public NotifyTarget {
 public:
  ScriptedTarget() = default;
  ScriptedTarget(Notification trigger, std::function<void()> action)
      : trigger_(trigger), action_(std::move(action)) {}
  void post(std::uint32_t code, std::uint32_t value) override {
    seen.push_back({code, value});
    if (action_ && Notification{code, value} == trigger_) {
      auto once = std::move(action_);
      action_ = nullptr;
      once();
    }
  }
  [[nodiscard]] std::size_t outcomes() const {
    return static_cast<std::size_t>(
        std::count_if(seen.begin(), seen.end(), [](const Notification& n) { return is_outcome(n); }));
  }
  [[nodiscard]] bool has(Notification n) const {
    return std::find(seen.begin(), seen.end(), n) != seen.end();
  }
  Seq seen;

 private:
  Notification trigger_{};
  std::function<void()> action_;
};

class WorkersTest : public ::testing::Test {
 protected:
  void TearDown() override {
    camera_.reset();
  }

  void attach(sim::SimProfile profile, std::uint32_t clock_start = 1000,
              std::optional<std::array<std::uint8_t, 3>> flash = std::nullopt) {
    sim::SimOptions o;
    o.profile = profile;
    o.latency_us = 20;
    o.flash_id = flash;
    // The camera before is gone before the next one is installed.
    camera_.reset();
    camera_ = std::make_unique<test::SimulatedCamera>(o, clock_start);
    ASSERT_EQ(kvVidHidCls_Init(), 1);
  }

  sim::SimCamera& cam() { return camera_->camera(); }

  void load(const std::vector<std::uint8_t>& bytes) {
    state_->file_buffer.fill(0);
    std::copy(bytes.begin(), bytes.end(), state_->file_buffer.begin());
    state_->byte_count = static_cast<std::uint32_t>(bytes.size());
  }

  std::unique_ptr<test::SimulatedCamera> camera_;
  std::unique_ptr<EngineState> state_ = std::make_unique<EngineState>();
};

// The part is identified and the image measured against it before the first
// erase. A refusal leaves every byte as it was and names the part and sizes;
// the WinBond 1 Mbit part holds a 128 KiB image although its capacity column
// says 64 KiB.
TEST_F(WorkersTest, FlashIsCheckedBeforeTheFirstErase) {
  struct Case {
    const char* name;
    std::array<std::uint8_t, 3> flash;
    Notification outcome;
    const char* refusal;  // a part of the reason, or null when it runs
  };
  const Case cases[] = {
      {"unknown part", {0xEF, 0x40, 0x14}, {UPD_DOWNLOAD_FAILED, 0}, "answers EF 40 14"},
      {"64 KiB part", {0xC2, 0x20, 0x10}, {UPD_DOWNLOAD_FAILED, 0}, "holds 65536"},
      {"WinBond 1 Mbit", {0xEF, 0x30, 0x11}, {UPD_DOWNLOAD_DONE, 0}, nullptr},
  };
  for (const Case& c : cases) {
    attach(sim::SimProfile::Q, 1000, c.flash);
    // A whole image of 128 KiB, on a camera whose flash holds another.
    const auto file = build_firmware_file(FirmwareBuildOptions{});
    ASSERT_FALSE(file.empty());
    load({file.begin() + 4, file.end()});
    state_->complete_image = true;
    state_->boot_header.fill(0);
    const auto before = cam().flash_bytes(0, static_cast<std::uint32_t>(cam().flash_size()));

    ScriptedTarget target;
    EXPECT_EQ(DownloadWorkerBootHeader(*state_, target), c.outcome) << c.name;
    if (c.refusal) {
      EXPECT_EQ(cam().flash_stats().sector_erases, 0u) << c.name << ": nothing may be erased";
      EXPECT_EQ(cam().flash_bytes(0, static_cast<std::uint32_t>(before.size())), before)
          << c.name << ": the flash expected untouched";
      EXPECT_NE(state_->refusal.find(c.refusal), std::string::npos)
          << c.name << ": the refusal expected to say \"" << c.refusal << "\", says \""
          << state_->refusal << "\"";
    } else {
      EXPECT_TRUE(state_->refusal.empty()) << c.name << ": " << state_->refusal;
      EXPECT_EQ(cam().flash_bytes(0, 0x20000), std::vector<std::uint8_t>(file.begin() + 4, file.end()))
          << c.name;
    }
    kvVidHidCls_DeInit();
  }
}

// Pages of nothing but 0xFF are not programmed after their sector's erase,
// but the read-back still covers them: one that did not erase is caught.
TEST_F(WorkersTest, BlankPagesAreSkippedButVerified) {
  for (const bool erase_fails : {false, true}) {
    attach(sim::SimProfile::Q);
    FirmwareBuildOptions o;
    o.image_size = 0x6000;
    const auto file = build_firmware_file(o);
    ASSERT_FALSE(file.empty());
    std::vector<std::uint8_t> image(file.begin() + 4, file.end());
    constexpr std::uint32_t kBlank = 0x4000;  // four pages of padding, past the user-data block
    std::fill_n(image.begin() + kBlank, 0x400, 0xFF);
    load(image);
    state_->complete_image = true;
    state_->boot_header.fill(0);

    ScriptedTarget target({UPD_ERASE_RESULT, 1}, [this, erase_fails] {
      if (!erase_fails) return;
      const std::uint8_t left[] = {0x5A};
      cam().write_flash_bytes(kBlank + 0x123, left);
    });
    const std::uint64_t programs_before = cam().flash_stats().page_programs;
    const Notification outcome = DownloadWorkerBootHeader(*state_, target);
    if (erase_fails) {
      EXPECT_EQ(outcome, (Notification{UPD_VALIDATE_RESULT, 0}))
          << "a blank page that did not erase expected to fail the read-back";
      EXPECT_EQ(cam().flash_bytes(0, 16), std::vector<std::uint8_t>(16, 0xFF))
          << "the boot configuration expected still erased";
    } else {
      EXPECT_EQ(outcome, (Notification{UPD_DOWNLOAD_DONE, 0}));
      EXPECT_EQ(cam().flash_stats().page_programs - programs_before, 0x6000 / 256 - 4)
          << "the four blank pages expected not to be programmed";
      EXPECT_EQ(cam().flash_bytes(0, 0x6000), image);
    }
  }
}

// A byte that reads back wrong ends the run unprotected. Where it lies says
// how far the run got: a difference outside the first page is found before
// the first page (the boot configuration) is written, so the camera stays
// visibly unfinished; one inside it is found by the first page's own
// read-back.
TEST_F(WorkersTest, BootHeaderVerificationDifferenceLeavesFlashUnprotected) {
  struct Case {
    const char* name;
    Notification trigger;  // when the byte goes bad
    std::uint32_t address;
    bool boot_config_written;
  };
  const Case cases[] = {
      {"code", {UPD_DOWNLOAD_POS, 0x6000 - 0x100}, 0x2ABC, false},
      {"first page", {UPD_VALIDATE_RANGE, 0x6000}, 0x00BC, true},
  };
  for (const Case& c : cases) {
    attach(sim::SimProfile::Q);
    FirmwareBuildOptions o;
    o.image_size = 0x6000;
    const auto file = build_firmware_file(o);
    ASSERT_FALSE(file.empty());
    load({file.begin() + 4, file.end()});
    state_->complete_image = true;
    state_->boot_header.fill(0);

    ScriptedTarget target(c.trigger, [this, &c] {
      const std::uint8_t wrong[] = {static_cast<std::uint8_t>(~cam().flash_bytes(c.address, 1)[0])};
      cam().write_flash_bytes(c.address, wrong);
    });
    const Notification outcome = DownloadWorkerBootHeader(*state_, target);
    EXPECT_EQ(outcome, (Notification{UPD_VALIDATE_RESULT, 0})) << c.name;
    EXPECT_EQ(target.seen.back(), outcome) << c.name << ": nothing follows a failed verification";
    EXPECT_EQ(target.outcomes(), 1u) << c.name;
    EXPECT_EQ(cam().flash_status() & 0x0C, 0) << c.name << ": a failed download is not protected again";
    const auto head = cam().flash_bytes(0, 16);
    EXPECT_EQ(head == std::vector<std::uint8_t>(file.begin() + 4, file.begin() + 20),
              c.boot_config_written)
        << c.name << ": the boot configuration expected "
        << (c.boot_config_written ? "written" : "still erased");
  }
}

TEST_F(WorkersTest, BootHeaderKeepsUserCodeAddrWithoutUserCode) {
  attach(sim::SimProfile::Q);
  std::vector<std::uint8_t> code(0x900);
  for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<std::uint8_t>(i * 7);
  load(code);
  state_->complete_image = false;
  // BootAddr 0x100, BootSize 0x900, bytes 8..9 kept, UserCodeAddr 0x123456,
  // UserCodeSize 0.
  state_->boot_header = {0x7A, 0x3C, 0x00, 0x01, 0x00, 0x00, 0x09, 0x00,
                         0x5A, 0xA5, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00};
  const auto header = state_->boot_header;
  ScriptedTarget target;
  EXPECT_EQ(DownloadWorkerBootHeader(*state_, target), (Notification{UPD_DOWNLOAD_DONE, 0}))
      << describe(target.seen);
  EXPECT_EQ(cam().flash_bytes(0, 16), std::vector<std::uint8_t>(header.begin(), header.end()));
  EXPECT_EQ(cam().flash_bytes(0x100, 0x900), code);
  EXPECT_TRUE(target.has({UPD_ERASE_RANGE, 0})) << "0x100 + 0x900 lies in sector 0";
}

TEST_F(WorkersTest, PlainFlashDifferenceGivesFailureNoBootRecordAndProtection) {
  attach(sim::SimProfile::Gen0Flash);
  load(build_plain_firmware_file(0x0200, 0x1800));
  state_->plain_type = 5;
  state_->plain_flags = 0x01;
  ScriptedTarget target({UPD_VALIDATE_BEGIN, 0}, [this] {
    const std::uint8_t wrong[] = {0x00};
    cam().write_flash_bytes(0x10FF, wrong);  // last byte of the copy at 0x1000
  });
  const Notification outcome = DownloadWorkerPlainFlash(*state_, target);
  EXPECT_EQ(outcome, (Notification{UPD_DOWNLOAD_FAILED, 0})) << describe(target.seen);
  EXPECT_EQ(target.outcomes(), 1u);
  EXPECT_EQ(cam().flash_bytes(0, 4), std::vector<std::uint8_t>(4, 0xFF))
      << "no boot record after a difference";
  EXPECT_EQ(cam().flash_status() & 0x0C, 0x0C) << "the protection is restored all the same";
}

struct EepromCase {
  const char* name;
  std::uint8_t type;
  std::uint8_t flags;
  std::uint32_t file_size;
  std::uint32_t fill;
  std::uint8_t option;
};

TEST_F(WorkersTest, PlainEepromFillAndBootRecordPerSizeClass) {
  const EepromCase cases[] = {
      {"type 7: a 32 KiB fill ends at position 0x8000", 7, 0x01, 0x2000, 0x8000, 0x03},
      {"type 2, flags 5", 2, 0x05, 0x1000, 0x2000, 0x05},
      {"type 8 with flags bit 1 clears option bit 1", 8, 0x02, 0x500, 0x8000, 0x00},
  };
  for (const EepromCase& c : cases) {
    SCOPED_TRACE(c.name);
    attach(sim::SimProfile::Gen0Eeprom);
    const auto file = build_plain_firmware_file(0x0300, c.file_size);
    load(file);
    state_->plain_type = c.type;
    state_->plain_flags = c.flags;
    ScriptedTarget target;
    EXPECT_EQ(DownloadWorkerPlainEeprom(*state_, target), (Notification{UPD_DOWNLOAD_DONE, 0}));
    EXPECT_EQ(target.seen.front(), (Notification{UPD_RANGE, c.fill}));
    EXPECT_TRUE(target.has({UPD_DOWNLOAD_POS, c.fill})) << "fill positions are unsigned";
    const auto mem = cam().eeprom_bytes(0, c.fill);
    EXPECT_EQ(std::vector<std::uint8_t>(mem.begin(), mem.begin() + 4),
              (std::vector<std::uint8_t>{0x26, 0x00, c.option, 0x00}));
    EXPECT_TRUE(std::equal(file.begin() + 4, file.end(), mem.begin() + 4));
    EXPECT_TRUE(std::all_of(mem.begin() + c.file_size, mem.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    kvVidHidCls_DeInit();
  }
}

TEST_F(WorkersTest, PlainEepromDifferenceWritesNoBootRecord) {
  attach(sim::SimProfile::Gen0Eeprom);
  const auto file = build_plain_firmware_file(0x0300, 0x400);
  load(file);
  state_->plain_type = 5;
  ScriptedTarget target({UPD_VALIDATE_BEGIN, 0}, [this] {
    const std::uint8_t wrong[] = {0x12, 0x34};
    cam().write_eeprom_bytes(0x3FE, wrong);  // the last two bytes of the file
  });
  EXPECT_EQ(DownloadWorkerPlainEeprom(*state_, target), (Notification{UPD_DOWNLOAD_FAILED, 0}));
  EXPECT_EQ(target.seen.back(), (Notification{UPD_DOWNLOAD_FAILED, 0}));
  EXPECT_EQ(cam().eeprom_bytes(0, 4), std::vector<std::uint8_t>(file.begin(), file.begin() + 4))
      << "the file's CRC stays where the boot record would go";
}

TEST_F(WorkersTest, ElapsedIsZeroWhenTheTickCounterWrapsDuringTheRun) {
  attach(sim::SimProfile::Gen0Eeprom, 0xFFFFFFC0u);
  load(build_plain_firmware_file(0x0300, 0x800));
  state_->plain_type = 5;
  ScriptedTarget target;
  EXPECT_EQ(DownloadWorkerPlainEeprom(*state_, target), (Notification{UPD_DOWNLOAD_DONE, 0}));
  ASSERT_EQ(target.seen.back().code, UPD_ELAPSED_MS);
  EXPECT_LT(camera_->clock().ticks_ms(), 0xFFFFFFC0u) << "the run must have crossed the wrap";
  EXPECT_EQ(target.seen.back().value, 0u);
}

// A dump reads exactly the range it was given, from its start, also above
// 64 KiB; a range that runs past the part is refused before anything is read
// or written, and says why.
TEST_F(WorkersTest, DumpReadsExactlyItsRangeAndRefusesPastTheEnd) {
  attach(sim::SimProfile::Q);
  state_->upload_path = ::testing::TempDir() + "workers_dump.bin";
  std::remove(state_->upload_path.c_str());
  state_->upload_start = 0x5000;
  state_->upload_length = 0x18000;
  ScriptedTarget target;
  EXPECT_EQ(UploadWorkerFlashDump(*state_, target), (Notification{UPD_UPLOAD_DONE, 0}));
  const auto flash = cam().flash_bytes(0x5000, 0x18000);
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), state_->dump_buffer.begin() + 4))
      << "the dump expected to hold the flash from 0x5000 on";
  EXPECT_TRUE(CheckFileCrc(state_->upload_path));
  std::remove(state_->upload_path.c_str());

  state_->upload_start = 0x5000;
  state_->upload_length = 0x20000;  // 0x5000 past the end of the 128 KiB part
  ScriptedTarget refused;
  EXPECT_EQ(UploadWorkerFlashDump(*state_, refused), (Notification{UPD_ACCESS_FAILED, 0}));
  EXPECT_NE(state_->refusal.find("holds 131072"), std::string::npos)
      << "the refusal expected to name the part's size: " << state_->refusal;
  std::FILE* f = std::fopen(state_->upload_path.c_str(), "rb");
  EXPECT_EQ(f, nullptr) << "a refused dump expected to write no file";
  if (f) std::fclose(f);
}

TEST_F(WorkersTest, DumpOfUnreadableFlashIsAccessFailed) {
  attach(sim::SimProfile::Q);
  cam().unplug();
  state_->upload_length = 0x100;
  state_->upload_path = ::testing::TempDir() + "workers_dump_fail.bin";
  ScriptedTarget target;
  EXPECT_EQ(UploadWorkerFlashDump(*state_, target), (Notification{UPD_ACCESS_FAILED, 0}));
  EXPECT_EQ(target.seen, (Seq{{UPD_ACCESS_FAILED, 0}}));
}

}  // namespace
}  // namespace lumavix
