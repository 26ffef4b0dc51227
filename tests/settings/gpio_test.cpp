// The GPIO step against the simulated generation-0 bridge: the bytes that
// reach registers 0x80 and 0x81, and the status text after failed accesses.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "devlib/access.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "settings/gpio.h"
#include "sim/simulator.h"
#include "sim_camera.h"

namespace lumavix::test {
namespace {

class GpioStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    camera_.emplace(test::SimulatedCamera::Profile("gen0-flash"));
    ASSERT_EQ(kvVidHidCls_Init(), 1);
  }
  void TearDown() override {
    kvVidHidCls_DeInit();
    camera_.reset();
  }

  sim::SimCamera& cam() { return camera_->camera(); }

  // Sets the two output registers together with their read-back addresses
  // (set_reg writes one register as it is, like a test probe would).
  void set_gpio(std::uint8_t r80, std::uint8_t r81) {
    cam().set_reg(kGpioOut0, r80);
    cam().set_reg(kGpioIn0, r80);
    cam().set_reg(kGpioOut1, r81);
    cam().set_reg(kGpioIn1, r81);
  }

  // Transfers that one one-byte register read or write takes on this camera.
  std::uint64_t transfers_of_read() {
    cam().reset_counters();
    std::uint32_t v = 0;
    EXPECT_GE(kvVidHidCls_RegRead(kGpioIn1, 1, v), 0);
    return cam().counters().total;
  }
  std::uint64_t transfers_of_write() {
    cam().reset_counters();
    const std::uint32_t v = cam().reg(kGpioOut1);
    EXPECT_GE(kvVidHidCls_RegWrite(kGpioOut1, 1, v), 0);
    return cam().counters().total;
  }

  std::optional<test::SimulatedCamera> camera_;
};

TEST_F(GpioStepTest, RegisterValuesWritten) {
  struct Case {
    const char* what;
    int mode;
    std::uint8_t r80, r81;
    std::uint8_t want80, want81;
  };
  const Case cases[] = {
      {"after update sets bit 7 of 0x80", kGpioAfterUpdate, 0x12, 0x03, 0x92, 0x03},
      {"after update with bit 7 already set", kGpioAfterUpdate, 0xFF, 0x00, 0xFF, 0x00},
      {"before download clears both bits", kGpioBeforeDownload, 0x92, 0x03, 0x12, 0x02},
      {"any other mode is the before-download form", 7, 0xFF, 0xFF, 0x7F, 0xFE},
      {"before download with both bits clear", kGpioBeforeDownload, 0x00, 0x00, 0x00, 0x00},
  };
  for (const Case& c : cases) {
    set_gpio(c.r80, c.r81);
    EXPECT_EQ(GpioStep(c.mode, 0, 1), nullptr) << c.what;
    EXPECT_EQ(cam().reg(kGpioOut0), c.want80) << c.what;
    EXPECT_EQ(cam().reg(kGpioOut1), c.want81) << c.what;
  }
}

TEST_F(GpioStepTest, LeftAloneUnlessOpenGenerationZero) {
  set_gpio(0x12, 0x03);
  cam().reset_counters();
  EXPECT_EQ(GpioStep(kGpioBeforeDownload, 2, 1), nullptr);
  EXPECT_EQ(GpioStep(kGpioAfterUpdate, 2, 1), nullptr);
  EXPECT_EQ(GpioStep(kGpioAfterUpdate, 0, 0), nullptr);
  EXPECT_EQ(cam().counters().total, 0u) << "no register is touched";
  EXPECT_EQ(cam().reg(kGpioOut0), 0x12);
}

TEST_F(GpioStepTest, FailedAccesses) {
  const std::uint64_t r = transfers_of_read();
  const std::uint64_t w = transfers_of_write();
  ASSERT_GT(r, 0u);
  ASSERT_GT(w, 0u);
  struct Case {
    const char* what;
    int mode;
    std::uint64_t fail_transfer;  // 1-based within the step
    const char* status;
    std::uint8_t r80, want80, want81;
  };
  // Accesses in order: before download reads 0x84, writes 0x80, reads 0x85,
  // writes 0x81; after update reads 0x84, writes 0x80. Each access is made
  // to fail on its last transfer, the one that carries its outcome (a read
  // starts with a generation query whose failure the library ignores).
  const Case cases[] = {
      {"after update, read of 0x84 fails", kGpioAfterUpdate, r, kMsgGpioReadError, 0x12, 0x12,
       0x03},
      {"after update, write of 0x80 fails", kGpioAfterUpdate, r + w, kMsgGpioWriteError, 0x12,
       0x12, 0x03},
      {"before download, read of 0x84 fails: 0x81 still handled", kGpioBeforeDownload, r,
       kMsgGpioReadError, 0x92, 0x92, 0x02},
      {"before download, write of 0x80 fails: 0x81 still handled", kGpioBeforeDownload, r + w,
       kMsgGpioWriteError, 0x92, 0x92, 0x02},
      {"before download, read of 0x85 fails", kGpioBeforeDownload, 2 * r + w, kMsgGpioReadError,
       0x92, 0x12, 0x03},
      {"before download, write of 0x81 fails", kGpioBeforeDownload, 2 * r + 2 * w,
       kMsgGpioWriteError, 0x92, 0x12, 0x03},
  };
  for (const Case& c : cases) {
    set_gpio(c.r80, 0x03);
    cam().reset_counters();
    cam().set_fail_at(c.fail_transfer);
    const char* status = GpioStep(c.mode, 0, 1);
    cam().set_fail_at(0);
    ASSERT_NE(status, nullptr) << c.what;
    EXPECT_STREQ(status, c.status) << c.what;
    EXPECT_EQ(cam().reg(kGpioOut0), c.want80) << c.what;
    EXPECT_EQ(cam().reg(kGpioOut1), c.want81) << c.what;
  }
}

}  // namespace
}  // namespace lumavix::test
