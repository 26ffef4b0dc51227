// lumavix-fw against simulated cameras without the HID interface: each
// transport end to end, as a separate process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

using XuRun = lumavix::test::CliResult;

XuRun run_xu_cli(const std::string& args) {
  return lumavix::test::run_shell(std::string(LUMAVIX_CLI_PATH) + " " + args + " 2>/dev/null");
}

nlohmann::json xu_last_json(const std::string& s) {
  return nlohmann::json::parse(lumavix::test::last_line(s));
}

TEST(XuCli, EachTransportListsItsCamera) {
  struct Case {
    const char* profile;
    const char* kind;
    const char* variant;  // null for the property-set kinds
    int gen;
  } cases[] = {
      {"uvc-kavex", "VideoClass", "Kavex", 2},
      {"uvc-aveo", "VideoClass", "Aveo", 0},
      {"uvc-etron", "VideoClass", "Etron", 0},
      {"vendor-video", "VendorVideo", nullptr, 0},
      {"bda", "BdaVendor", nullptr, 0},
  };
  for (const Case& c : cases) {
    const XuRun r = run_xu_cli(std::string("--simulate=") + c.profile + " list --json");
    ASSERT_EQ(r.status, 0) << c.profile << ": " << r.out;
    const auto j = xu_last_json(r.out);
    ASSERT_EQ(j["cameras"].size(), 1u) << c.profile;
    const auto& cam = j["cameras"][0];
    EXPECT_EQ(cam["kind"], c.kind) << c.profile;
    if (c.variant) {
      EXPECT_EQ(cam["variant"], c.variant) << c.profile;
      EXPECT_EQ(cam["path"], "usb-1-1:1.0") << c.profile;
    } else {
      EXPECT_TRUE(cam["variant"].is_null()) << c.profile;
    }
    EXPECT_EQ(cam["chipGen"], c.gen) << c.profile;
  }
}

TEST(XuCli, FlashAndRegistersEndToEnd) {
  struct Case {
    const char* args;
    int status;
    const char* contains;  // in stdout, or null
  } cases[] = {
      {"--simulate=uvc-kavex flash id", 0, "C2 20 11"},
      {"--simulate=uvc-kavex,xu-legacy=1 flash id", 0, "C2 20 11"},
      {"--simulate=vendor-video flash id", 0, "C2 20 11"},
      {"--simulate=uvc-kavex flash read 0 16 --json", 0, "7A3C"},
      {"--simulate=uvc-kavex,xu-legacy=1 flash read 0 16 --json", 0, "7A3C"},
      {"--simulate=vendor-video flash read 0 16 --json", 0, "7A3C"},
      {"--simulate=uvc-kavex reg read 0000 4", 0, "0x000031B2"},
      {"--simulate=uvc-aveo reg read 0000 2", 0, "0x31B2"},
      {"--simulate=vendor-video reg read 000A 1", 0, "0xB2"},
      {"--simulate=bda reg read 000A 1", 0, "0xB2"},
      {"--simulate=uvc-etron reg read 0000 1", 1, nullptr},
      {"--simulate=bda flash id", 1, nullptr},
      {"--simulate=uvc-kavex,xu-legacy=3 list", 2, nullptr},
  };
  for (const Case& c : cases) {
    const XuRun r = run_xu_cli(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
    if (c.contains) {
      EXPECT_NE(r.out.find(c.contains), std::string::npos) << c.args << ": " << r.out;
    }
  }
}

}  // namespace
