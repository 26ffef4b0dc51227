// The command line acts only on what the camera's memories show, run as a
// separate process against the simulated camera: a failed transfer never
// makes a finished camera "interrupted" (nor rewrites it), a camera whose
// USB id names another model is never given this file, a block signed
// otherwise reads as finished, a file that would leave a camera unfinished
// is refused, and `update --all` names the cameras it left unfinished.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

namespace fs = std::filesystem;
using lumavix::test::CliResult;
using lumavix::test::last_json;

constexpr const char* kFast = "--simulate=q,busy=0,latency-us=0,replug=0";

std::vector<std::uint8_t> read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& p, const std::vector<std::uint8_t>& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The CRC in front of the image, after the image was changed.
void seal(std::vector<std::uint8_t>& f) {
  const auto crc = static_cast<std::uint32_t>(
      crc32(0L, f.data() + 4, static_cast<uInt>(f.size() - 4)));
  for (int i = 0; i < 4; ++i) f[i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

// Where make-firmware puts the user-data block of a complete image: behind
// the CRC, the user code at 0x1000 and the block 0x2000 after it.
constexpr std::size_t kBlockInFile = 4 + 0x3000;

class EvidenceCli : public lumavix::test::CliFolderTest {
 protected:
  CliResult run(const std::string& args) { return run_in_folder(args, "2>/dev/null"); }
  CliResult run_err(const std::string& args) { return run_in_folder(args, "2>&1"); }
  void make_firmware(const std::string& version, const std::string& pid, const std::string& name) {
    const CliResult r =
        run("make-firmware --version " + version + " --product-id " + pid + " -o " + name);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  // The whole flash of the camera in `state`.
  std::vector<std::uint8_t> flash(const std::string& sim, const std::string& state) {
    const CliResult r = run(sim + " --sim-state " + state + " dump --start 0 --length 0x20000 -o d.bin");
    EXPECT_EQ(r.status, 0) << r.out;
    return read_bytes(dir_ / "d.bin");
  }
};

// A camera at 0106 and a v0105 file: with one failed transfer anywhere in
// the pass and the start of the run, `update --yes` neither succeeds nor
// writes (it used to call the camera interrupted and downgrade it).
TEST_F(EvidenceCli, OneFailedTransferNeverRewritesAFinishedCamera) {
  make_firmware("0105", "0E51", "v0105.bin");
  for (const std::string fw : {"0106", "0105"}) {
    const std::string sim = std::string(kFast) + ",fw=" + fw;
    ASSERT_EQ(run(sim + " --sim-state base.sim status").status, 0);
    const std::vector<std::uint8_t> before = flash(sim, "base.sim");
    int up_to_date = 0;
    // The pass takes 34 transfers and an update's first erase comes at 56.
    for (int n = 1; n <= 60; ++n) {
      // Removed first: mingw's copy_file refuses to overwrite.
      fs::remove(dir_ / "run.sim");
      fs::copy_file(dir_ / "base.sim", dir_ / "run.sim");
      const CliResult r = run(sim + ",fail-at=" + std::to_string(n) +
                              " --sim-state run.sim --json update --yes v0105.bin");
      const nlohmann::json j = last_json(r.out);
      EXPECT_NE(r.status, 0) << "camera " << fw << ", fail-at=" << n << ": " << r.out;
      if (!j.is_object()) {
        ADD_FAILURE() << "camera " << fw << ", fail-at=" << n
                      << ": a result object expected on the last line; status " << r.status
                      << ", output:\n" << r.out;
        continue;
      }
      EXPECT_NE(j.value("result", ""), "success") << "camera " << fw << ", fail-at=" << n;
      EXPECT_NE(j.value("presentation", ""), "interrupted") << "fail-at=" << n;
      if (r.status == 5) ++up_to_date;
      // No worker ran (its outcome would be in the result); the memory
      // itself is compared at a spread of points.
      EXPECT_FALSE(j.contains("outcome")) << "camera " << fw << ", fail-at=" << n << ": " << r.out;
      if (n % 8 == 0) {
        EXPECT_EQ(flash(sim, "run.sim"), before)
            << "camera " << fw << ", fail-at=" << n << ": the finished camera was written";
      }
    }
    EXPECT_GT(up_to_date, 50) << "a retried read expected to find the camera up to date";
    fs::remove(dir_ / "base.sim");
  }
}

// A QAlt camera left unfinished by a cut: a QA file is refused with both
// ids named, with or without --recover, and nothing is written; its own
// file still finishes it.
TEST_F(EvidenceCli, UnfinishedCameraOfAnotherVariantIsNeverGivenThisFile) {
  make_firmware("0105", "0E5A", "alt.bin");
  make_firmware("0105", "0E51", "qa.bin");
  const std::string sim = std::string(kFast) + ",pid=0E5A";
  CliResult r = run(sim + ",unplug-after=9000 --sim-state st.sim update --yes alt.bin");
  ASSERT_EQ(r.status, 1) << r.out;
  const std::vector<std::uint8_t> cut = flash(sim, "st.sim");
  for (const std::string flags : {"", " --recover"}) {
    r = run_err(sim + " --sim-state st.sim update --yes" + flags + " qa.bin");
    EXPECT_EQ(r.status, 4) << flags << ": " << r.out;
    EXPECT_NE(r.out.find("0E5A"), std::string::npos) << "the camera's id named: " << r.out;
    EXPECT_NE(r.out.find("0E51"), std::string::npos) << "the file's id named: " << r.out;
    EXPECT_EQ(flash(sim, "st.sim"), cut) << flags << ": nothing expected written";
  }
  r = run(sim + " --sim-state st.sim --json update --yes alt.bin");
  EXPECT_EQ(r.status, 0) << "its own file finishes it: " << r.out;
  r = run(sim + " --sim-state st.sim --json userdata read");
  EXPECT_EQ(last_json(r.out)["productId"], "0E5A") << r.out;
}

// A block signed otherwise is whole: after the update the camera is up to
// date, not unfinished, and a second update has nothing to do.
TEST_F(EvidenceCli, AnyBlockSignatureReadsAsFinished) {
  make_firmware("0105", "0E51", "fw.bin");
  std::vector<std::uint8_t> f = read_bytes(dir_ / "fw.bin");
  f[kBlockInFile] ^= 0x5A;
  seal(f);
  write_bytes(dir_ / "other.bin", f);
  const std::string sim = std::string(kFast) + " --sim-state st.sim --json ";
  CliResult r = run(sim + "update --yes other.bin");
  ASSERT_EQ(r.status, 0) << r.out;
  r = run(sim + "status");
  EXPECT_EQ(last_json(r.out)["presentation"], "up-to-date") << r.out;
  EXPECT_EQ(last_json(r.out)["cameraVersion"], "0105") << r.out;
  EXPECT_EQ(run(sim + "update --yes other.bin").status, 5) << "nothing left to do";
}

// A file whose own image would read back as unfinished is refused before
// anything is written: block beyond 64 KiB, or erased.
TEST_F(EvidenceCli, FileThatWouldLeaveTheCameraUnfinishedIsRefused) {
  make_firmware("0105", "0E51", "fw.bin");
  const std::vector<std::uint8_t> good = read_bytes(dir_ / "fw.bin");
  struct Case {
    const char* name;
    std::size_t at;
    std::vector<std::uint8_t> bytes;
    const char* reason;
  } cases[] = {
      // UserCodeAddr 0xF000: the block would lie at 0x11000.
      {"block beyond 64 KiB", 4 + 10, {0x00, 0xF0, 0x00}, "beyond the first 64 KiB"},
      {"block erased", kBlockInFile, std::vector<std::uint8_t>(0x122, 0xFF), "erased"},
  };
  const std::string sim = std::string(kFast) + " --sim-state st.sim";
  ASSERT_EQ(run(sim + " status").status, 0);
  const std::vector<std::uint8_t> before = flash(kFast, "st.sim");
  for (const Case& c : cases) {
    std::vector<std::uint8_t> f = good;
    std::copy(c.bytes.begin(), c.bytes.end(), f.begin() + static_cast<std::ptrdiff_t>(c.at));
    seal(f);
    write_bytes(dir_ / "bad.bin", f);
    const CliResult r = run_err(sim + " update --yes bad.bin");
    EXPECT_EQ(r.status, 2) << c.name << ": " << r.out;
    EXPECT_NE(r.out.find(c.reason), std::string::npos) << c.name << ": " << r.out;
    EXPECT_EQ(flash(kFast, "st.sim"), before) << c.name << ": nothing expected written";
  }
}

// A camera that opens but then stops answering: its own presentation, exit
// 1 for status and update, no Update offered, nothing written.
TEST_F(EvidenceCli, CameraThatStopsAnsweringIsUnreadable) {
  make_firmware("0105", "0E51", "fw.bin");
  int found = 0;
  for (int k = 1; k <= 40 && found == 0; ++k) {
    const std::string sim = std::string(kFast) + ",unplug-after=" + std::to_string(k) + " --json ";
    const CliResult st = run(sim + "status");
    if (last_json(st.out)["presentation"] != "unreadable") continue;
    ++found;
    EXPECT_EQ(st.status, 1) << st.out;
    EXPECT_EQ(last_json(st.out)["text"],
              "The camera does not answer reliably; reconnect it and try again.");
    const CliResult up = run(sim + "update --yes fw.bin");
    EXPECT_EQ(up.status, 1) << up.out;
    EXPECT_EQ(last_json(up.out)["presentation"], "unreadable") << up.out;
  }
  EXPECT_EQ(found, 1) << "a camera that answers its opening and nothing after expected";
}

std::vector<nlohmann::json> results(const std::string& out) {
  std::vector<nlohmann::json> v;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_discarded() && !j.contains("event")) v.push_back(j);
  }
  return v;
}

// Unfinished cameras that nothing identifies are their own outcome and fail
// the run (they used to count as another product: exit 4 or even 0); the
// summary names the interface kinds searched.
TEST_F(EvidenceCli, UpdateAllNamesUnfinishedCamerasAndFails) {
  make_firmware("0105", "0E51", "fw.bin");
  const std::string sim = std::string(kFast) + ",pid=4321,count=2 --sim-state st.sim --json ";
  CliResult r = run(std::string(kFast) + ",pid=4321,count=2,unplug-after=9000 --sim-state st.sim "
                    "update --all --yes fw.bin");
  ASSERT_EQ(r.status, 1) << r.out;
  r = run(sim + "update --all --yes fw.bin");
  EXPECT_EQ(r.status, 1) << "cameras left unfinished fail the run\n" << r.out;
  const std::vector<nlohmann::json> v = results(r.out);
  ASSERT_EQ(v.size(), 3u) << r.out;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(v[i]["outcome"], "unfinished") << v[i];
  EXPECT_EQ(v[2]["summary"]["unfinished"], 2) << v[2];
  EXPECT_EQ(v[2]["summary"]["kinds"], nlohmann::json::array({"Hid"})) << v[2];
  EXPECT_TRUE(v[2]["summary"]["kindsNotSearched"].empty()) << v[2];
  EXPECT_EQ(v[2]["result"], "failed") << v[2];

  r = run(sim + "update --all --yes --recover fw.bin");
  EXPECT_EQ(r.status, 0) << "--recover finishes them on the user's word\n" << r.out;
}

}  // namespace
