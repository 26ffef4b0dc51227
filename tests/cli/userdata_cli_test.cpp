// lumavix-fw userdata write, run as a separate process against a simulated
// camera kept in a state file: only the given fields change, bad values are
// refused before the camera is touched, and text outside ASCII survives the
// round trip through the block's single-byte strings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

class UserDataCli : public lumavix::test::CliFolderTest {
 protected:
  lumavix::test::CliResult run(const std::string& args) {
    return run_in_folder("--simulate=q,latency-us=0,busy=0 --sim-state cam.state " + args);
  }
  nlohmann::json read_block() {
    const auto r = run("--json userdata read");
    EXPECT_EQ(r.status, 0) << r.out;
    return lumavix::test::last_json(r.out);
  }
};

TEST_F(UserDataCli, WriteChangesOnlyTheGivenFields) {
  const nlohmann::json before = read_block();
  ASSERT_TRUE(before.is_object());

  const auto w = run("userdata write --serial 'SN-0042 \xC3\x84' --product-string 'Doc Cam' "
                     "--uvc brightness=0x40 --uvc gamma=7 --yes");
  ASSERT_EQ(w.status, 0) << w.out;

  const nlohmann::json after = read_block();
  EXPECT_EQ(after["serialNumber"], "SN-0042 \xC3\x84") << "Latin-1 text must come back as typed";
  EXPECT_EQ(after["productString"], "Doc Cam");
  EXPECT_EQ(after["uvcValues"]["brightness"], 0x40);
  EXPECT_EQ(after["uvcValues"]["gamma"], 7);
  for (const char* kept : {"vendorId", "productId", "firmwareVersion", "vendorString", "carriedA",
                           "carriedB", "carriedC", "carriedG"})
    EXPECT_EQ(after[kept], before[kept]) << kept << " was not given and must be kept";
  for (const char* kept : {"contrast", "gain", "hue", "saturation", "sharpness"})
    EXPECT_EQ(after["uvcValues"][kept], before["uvcValues"][kept]) << kept << " must be kept";

  EXPECT_EQ(run("userdata write --product-string 'Doc Cam' --yes").status, 5)
      << "writing the values the block already holds is nothing to do";
}

TEST_F(UserDataCli, BadValuesAreRefusedBeforeTheCameraIsTouched) {
  const nlohmann::json before = read_block();
  const struct {
    const char* args;
    int status;
    const char* says;
  } cases[] = {
      {"userdata write --yes", 2, "nothing to write"},
      {"userdata write --vendor-id 12345 --yes", 2, "--vendor-id"},
      {"userdata write --product-id G1 --yes", 2, "--product-id"},
      {"userdata write --version '' --yes", 2, "--version"},
      {"userdata write --serial 0123456789012345678901234567890 --yes", 2, "at most 30"},
      {"userdata write --vendor-string '\xE6\x97\xA5\xE6\x9C\xAC' --yes", 2, "Latin-1"},
      {"userdata write --uvc brightness --yes", 2, "NAME=HEX"},
      {"userdata write --uvc focus=1 --yes", 2, "NAME=HEX"},
      {"userdata write --serial X", 2, "--yes"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos)
        << c.args << ": expected the message to mention \"" << c.says << "\"\n" << r.out;
  }
  EXPECT_EQ(read_block(), before) << "a refused write must leave the block as it was";
}

}  // namespace
