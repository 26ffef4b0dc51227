// `lumavix-fw doctor` run as a separate process: the simulated camera, and
// this machine as it is (with or without a camera, the report must agree
// with its exit status).
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

using lumavix::test::CliResult;
using lumavix::test::last_json;
using lumavix::test::last_line;

CliResult run(const std::string& args) {
  return lumavix::test::run_shell(std::string(LUMAVIX_CLI_PATH) + " " + args + " 2>/dev/null");
}

TEST(DoctorCli, SimulatedCameraIsUsableWithoutScanning) {
  const CliResult text = run("--simulate doctor");
  EXPECT_EQ(text.status, 0) << text.out;
  EXPECT_NE(text.out.find("nothing was scanned"), std::string::npos) << text.out;
  EXPECT_EQ(last_line(text.out).rfind("verdict: ", 0), 0u) << text.out;

  const CliResult r = run("--simulate --json doctor");
  ASSERT_EQ(r.status, 0) << r.out;
  const auto j = last_json(r.out);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["usable"], true);
  EXPECT_EQ(j["simulated"], true);
  EXPECT_TRUE(j["nodes"].empty());
}

#ifdef _WIN32
// Windows has no device nodes or udev: the report lists the maker's HID
// interfaces and whether the camera's can be opened.
TEST(DoctorCli, ReportOfThisMachineAgreesWithItsStatus) {
  const CliResult r = run("--json doctor");
  ASSERT_TRUE(r.status == 0 || r.status == 1 || r.status == 3) << "status " << r.status;
  const auto j = last_json(r.out);
  ASSERT_TRUE(j.is_object()) << r.out;
  for (const char* key : {"usable", "nodes", "advice"})
    EXPECT_TRUE(j.contains(key)) << "no \"" << key << "\" in " << r.out;
  EXPECT_EQ(j["usable"].get<bool>(), r.status == 0) << r.out;
  bool camera = false, opens = false;
  for (const auto& n : j["nodes"]) {
    EXPECT_EQ(n["vendorId"], "2A9C") << n.dump();
    EXPECT_EQ(n["kind"], "hid") << n.dump();
    camera = camera || n["configured"].get<bool>();
    opens = opens || (n["configured"].get<bool>() && n["canOpen"].get<bool>());
  }
  EXPECT_EQ(opens, r.status == 0) << r.out;
  EXPECT_EQ(!camera, r.status == 3) << r.out;
  EXPECT_EQ(j["advice"].empty(), r.status == 0) << "advice unless the camera is usable: " << r.out;

  const CliResult text = run("doctor");
  EXPECT_EQ(text.status, r.status) << text.out;
  EXPECT_EQ(last_line(text.out).rfind("verdict: ", 0), 0u) << text.out;
}
#else
TEST(DoctorCli, ReportOfThisMachineAgreesWithItsStatus) {
  const CliResult r = run("--json doctor");
  ASSERT_TRUE(r.status == 0 || r.status == 1 || r.status == 3) << "status " << r.status;
  const auto j = last_json(r.out);
  ASSERT_TRUE(j.is_object()) << r.out;
  for (const char* key : {"usable", "nodes", "ruleInstalled", "ruleFile", "rule", "advice"})
    EXPECT_TRUE(j.contains(key)) << "no \"" << key << "\" in " << r.out;
  EXPECT_EQ(j["usable"].get<bool>(), r.status == 0) << r.out;
  EXPECT_EQ(j["nodes"].empty(), r.status == 3) << r.out;
  EXPECT_EQ(j["rule"].get<std::string>().find("TAG+=\"uaccess\"") != std::string::npos, true);
  bool opens = false;
  for (const auto& n : j["nodes"]) {
    EXPECT_EQ(n["vendorId"], "2A9C") << n.dump();
    EXPECT_TRUE(n["kind"] == "hidraw" || n["kind"] == "video") << n.dump();
    EXPECT_EQ(n["canOpen"].get<bool>(), n["error"].is_null()) << n.dump();
    opens = opens || (n["configured"].get<bool>() && n["canOpen"].get<bool>());
  }
  EXPECT_EQ(opens, r.status == 0) << r.out;
  // Without the rule the advice says where it goes.
  if (!j["ruleInstalled"].get<bool>()) {
    EXPECT_NE(j["advice"].dump().find("/etc/udev/rules.d/70-lumavix.rules"), std::string::npos)
        << r.out;
  }

  const CliResult text = run("doctor");
  EXPECT_EQ(text.status, r.status) << text.out;
  EXPECT_EQ(last_line(text.out).rfind("verdict: ", 0), 0u) << text.out;
}
#endif

}  // namespace
