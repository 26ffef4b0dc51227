// The support bundle's pieces in-process: the .tar.gz read back through
// zlib and a small ustar reader, serial-number masking, the USB serials
// found in sysfs, and the run logs' rotation, size bound and failures.
#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/run_log.h"
#include "cli/support_bundle.h"
#include "cli/tar_gz.h"
#include "temp_dir.h"

namespace {

using namespace lumavix::cli;
namespace fs = std::filesystem;

// Inflates a gzip member with zlib; empty optional-like flag on failure.
bool gunzip(const std::string& gz, std::string& out) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  out.clear();
  char buf[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole;
}

struct Member {
  std::string name;
  std::string data;
  unsigned mode = 0;
};

unsigned long octal(const char* p, std::size_t n) {
  return std::strtoul(std::string(p, strnlen(p, n)).c_str(), nullptr, 8);
}

// A ustar reader strict about what this writer promises: checksums, magic,
// sizes, padding and the closing zero blocks.
bool untar(const std::string& tar, std::vector<Member>& out, std::string& why) {
  std::size_t pos = 0;
  for (;;) {
    if (pos + 512 > tar.size()) return why = "no end blocks", false;
    const char* h = tar.data() + pos;
    if (std::all_of(h, h + 1024, [](char c) { return c == 0; })) break;
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i)
      sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
    if (sum != octal(h + 148, 8)) return why = "bad checksum at " + std::to_string(pos), false;
    if (std::string(h + 257, 5) != "ustar" || h[156] != '0') return why = "not ustar", false;
    Member m;
    const std::string prefix(h + 345, strnlen(h + 345, 155));
    m.name = (prefix.empty() ? "" : prefix + "/") + std::string(h, strnlen(h, 100));
    m.mode = static_cast<unsigned>(octal(h + 100, 8));
    const std::size_t size = octal(h + 124, 12);
    pos += 512;
    if (pos + size > tar.size()) return why = "short data", false;
    m.data = tar.substr(pos, size);
    pos += (size + 511) / 512 * 512;
    out.push_back(std::move(m));
  }
  if (pos + 1024 != tar.size()) return why = "bytes after the end blocks", false;
  return true;
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return s;
}

TEST(TarGz, GzipOfStoredBlocksInflatesWithZlib) {
  // Around the 65535-byte block limit, and empty.
  for (const std::size_t n : {0ul, 1ul, 65534ul, 65535ul, 65536ul, 200001ul}) {
    const std::string data = pattern(n);
    const std::string gz = gzip_stored(data, 1700000000);
    std::string back;
    ASSERT_TRUE(gunzip(gz, back)) << n << " bytes: zlib does not take the gzip member";
    EXPECT_EQ(back, data) << n << " bytes do not come back";
    EXPECT_EQ(gz.size(), n + 18 + 5 * std::max<std::size_t>(1, (n + 65534) / 65535))
        << n << " bytes: one 5-byte header per stored block expected";
  }
}

TEST(TarGz, MembersComeBackWithTheirNamesAndData) {
  const std::string dir100(99, 'd');
  const std::string long_name = std::string(120, 'p') + "/" + std::string(90, 'n');
  const struct {
    std::string name;
    std::size_t size;
  } cases[] = {{"a.txt", 0},         {"runs/b.log", 511}, {"c", 512},
               {"d/e/f.json", 513},  {dir100 + "x", 3},   {long_name, 1000}};
  std::string tar;
  for (const auto& c : cases) {
    const std::string data = pattern(c.size);
    ASSERT_TRUE(tar_append(tar, {c.name, data, 0640, 0})) << c.name;
  }
  tar_finish(tar);
  std::vector<Member> got;
  std::string why;
  ASSERT_TRUE(untar(tar, got, why)) << why;
  ASSERT_EQ(got.size(), std::size(cases));
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].name, cases[i].name) << "member " << i;
    EXPECT_EQ(got[i].data, pattern(cases[i].size)) << cases[i].name;
    EXPECT_EQ(got[i].mode, 0640u) << cases[i].name;
  }
}

TEST(TarGz, NamesThatCannotBeStoredSafelyAreRefused) {
  const std::string cases[] = {"",
                               "/etc/passwd",
                               "a/../b",
                               "../up",
                               "a//b",
                               "./a",
                               "dir/",
                               std::string(101, 'x'),
                               std::string(156, 'p') + "/short",
                               "p/" + std::string(101, 'n')};
  for (const std::string& name : cases) {
    std::string tar;
    EXPECT_FALSE(tar_append(tar, {name, "data", 0644, 0})) << "accepted \"" << name << "\"";
    EXPECT_TRUE(tar.empty()) << "\"" << name << "\" left bytes behind";
  }
}

TEST(Masking, SerialKeepsOnlyItsLastCharacters) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""},
               {"AB1", "***"},
               {"AB12", "****"},
               {"AB123", "***23"},
               {"SN123456", "*****456"},
               {"SN1234567890", "********7890"}};
  for (const auto& c : cases) EXPECT_EQ(mask_serial(c.in), c.out) << c.in;
}

TEST(Masking, SerialsAreFoundInJsonTraceRulesAndPaths) {
  const std::vector<std::string> known = {"QX00917A55", "12"};
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      // Known serials anywhere; too short ones are not looked for.
      {"raw USB: claimed QX00917A55 interface 1", "raw USB: claimed *******A55 interface 1"},
      {"Len:0x12 -> 0x12", "Len:0x12 -> 0x12"},
      // Fields named like a serial number.
      {R"({"serialNumber": "ZZ0099887766", "x": 1})", R"({"serialNumber": "********7766", "x": 1})"},
      {R"({"serial":"AB345678"})", R"({"serial":"*****678"})"},
      {"usb serial=AB345678 bus 1", "usb serial=*****678 bus 1"},
      {R"(ATTRS{serial}=="AB345678", TAG+="uaccess")", R"(ATTRS{serial}=="*****678", TAG+="uaccess")"},
      {"serial number     AB345678\nmodel  Q", "serial number     *****678\nmodel  Q"},
      {"Serial: AB345678", "Serial: *****678"},
      {"/dev/v4l/by-id/usb-Lumavix_Q_Camera_AB345678-video-index0",
       "/dev/v4l/by-id/usb-Lumavix_Q_Camera_*****678-video-index0"},
      // Not serial numbers.
      {R"({"serialNumber":null})", R"({"serialNumber":null})"},
      {"serial-flash read of 32 bytes", "serial-flash read of 32 bytes"},
      {"the serial flash MX25L1006E", "the serial flash MX25L1006E"},
      {"SPI FlashType : MX25L1006E-1Mbit", "SPI FlashType : MX25L1006E-1Mbit"},
  };
  for (const auto& c : cases) EXPECT_EQ(mask_serials(c.in, known), c.out) << c.in;
}

TEST(Masking, UsbSerialsOfTheVendorAreReadFromSysfs) {
  lumavix::test::TempDir t;
  const auto device = [&](const std::string& name, const char* vid, const char* serial) {
    t.write("bus/usb/devices/" + name + "/idVendor", vid);
    if (serial) t.write("bus/usb/devices/" + name + "/serial", serial);
  };
  device("1-1", "2a9c\n", "CAM0001X\n");
  device("1-2", "2A9C\n", "CAM0002Y");
  device("1-3", "2a9c\n", "CAM0001X\n");  // the same camera twice
  device("1-4", "1d6b\n", "0000:00:14.0\n");
  device("1-5", "2a9c\n", nullptr);
  device("1-6", "zz\n", "NOTAVID1\n");
  std::vector<std::string> got = usb_serials(t.path(), 0x2A9C);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"CAM0001X", "CAM0002Y"}));
  EXPECT_TRUE(usb_serials(t.path() + "/missing", 0x2A9C).empty());
}

std::string read_all(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(RunLog, HeaderCarriesTheCommandAndTheResultOnceKnown) {
  lumavix::test::TempDir t;
  RunLog log({fs::path(t.path()) / "state" / "lumavix", 5, 1u << 20});
  ASSERT_TRUE(log.start("lumavix-fw update --yes fw.bin", "lumavix-fw 9.9")) << log.problem();
  log.line("first line\n");
  const std::string during = read_all(log.path());
  EXPECT_NE(during.find("command: lumavix-fw update --yes fw.bin\n"), std::string::npos) << during;
  EXPECT_NE(during.find("result:  running"), std::string::npos) << during;
  EXPECT_NE(during.find("trace:\nfirst line\n"), std::string::npos) << during;
  log.finish(1, "failed");
  log.line("after the end");
  const std::string after = read_all(log.path());
  EXPECT_NE(after.find("result:  exit 1 (failed)"), std::string::npos) << after;
  EXPECT_EQ(after.find("running"), std::string::npos) << after;
  EXPECT_EQ(after.size(), during.size()) << "the result must be written in place";
  EXPECT_EQ(after.find("after the end"), std::string::npos) << after;
  struct stat st {};
  ASSERT_EQ(::stat(log.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "run logs are the user's alone";
  ASSERT_EQ(::stat(log.path().parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "a folder this tool makes is the user's alone";
}

TEST(RunLog, OnlyTheNewestRunsAreKept) {
  lumavix::test::TempDir t;
  const fs::path dir = fs::path(t.path()) / "lumavix";
  fs::create_directories(dir);
  // Files that are not run logs stay.
  std::ofstream(dir / "lumavix-fw.log") << "make-bin log";
  std::vector<fs::path> made;
  for (int i = 0; i < 8; ++i) {
    RunLog log({dir, 3, 1u << 20});
    ASSERT_TRUE(log.start("run " + std::to_string(i), "v")) << log.problem();
    log.finish(0, "done");
    made.push_back(log.path());
  }
  const std::vector<fs::path> kept = run_log_files(dir);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept, (std::vector<fs::path>{made[5], made[6], made[7]}))
      << "the three newest runs, oldest first, were expected";
  EXPECT_TRUE(fs::exists(dir / "lumavix-fw.log"));
}

TEST(RunLog, LongTraceKeepsItsBeginningAndEndWithinTheBound) {
  lumavix::test::TempDir t;
  constexpr std::size_t kMax = 16384;
  RunLog log({fs::path(t.path()) / "lumavix", 5, kMax});
  ASSERT_TRUE(log.start("update", "v")) << log.problem();
  for (int i = 0; i < 5000; ++i) log.line("trace line " + std::to_string(i) + std::string(30, '.'));
  log.finish(1, "failed");
  const std::string text = read_all(log.path());
  EXPECT_LE(text.size(), kMax);
  EXPECT_GT(text.size(), kMax / 2) << "the bound should be used, not wasted";
  EXPECT_NE(text.find("trace line 0."), std::string::npos) << "the beginning was lost";
  EXPECT_NE(text.find("trace line 4999."), std::string::npos) << "the end was lost";
  EXPECT_NE(text.find("left out"), std::string::npos) << "the gap is not marked";
  EXPECT_NE(text.find("exit 1 (failed)"), std::string::npos);
  // The lines around the gap are whole and in order.
  const std::size_t gap = text.find("[...");
  ASSERT_NE(gap, std::string::npos);
  EXPECT_EQ(text[gap - 1], '\n');
}

TEST(RunLog, LinesFromSeveralThreadsAreNotInterleaved) {
  lumavix::test::TempDir t;
  RunLog log({fs::path(t.path()) / "lumavix", 5, 1u << 20});
  ASSERT_TRUE(log.start("update", "v"));
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k)
    threads.emplace_back([&log, k] {
      for (int i = 0; i < 300; ++i) log.line("thread " + std::to_string(k) + " line " + std::to_string(i));
    });
  for (std::thread& th : threads) th.join();
  log.finish(0, "done");
  std::istringstream in(read_all(log.path()));
  std::string line;
  int trace_lines = 0;
  while (std::getline(in, line)) {
    if (line.rfind("thread ", 0) != 0) continue;
    ++trace_lines;
    EXPECT_EQ(line.find("thread ", 1), std::string::npos) << "interleaved: " << line;
  }
  EXPECT_EQ(trace_lines, 1200);
}

TEST(RunLog, AFolderThatCannotBeMadeIsReportedNotFatal) {
  lumavix::test::TempDir t;
  t.write("afile", "x");
  const fs::path cases[] = {fs::path(t.path()) / "afile" / "lumavix", fs::path()};
  for (const fs::path& dir : cases) {
    // An empty folder means the defaults: take them away.
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const std::string saved_xdg = xdg ? xdg : "", saved_home = home ? home : "";
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    RunLog log({dir, 5, 1u << 20});
    if (xdg) setenv("XDG_STATE_HOME", saved_xdg.c_str(), 1);
    if (home) setenv("HOME", saved_home.c_str(), 1);
    EXPECT_FALSE(log.start("update", "v")) << dir;
    EXPECT_FALSE(log.problem().empty()) << dir;
    log.line("ignored");
    log.finish(0, "done");  // must not crash or create anything
  }
  RunLog again({cases[0], 5, 1u << 20});
  ASSERT_FALSE(again.start("update", "v"));
  EXPECT_NE(again.problem().find(cases[0].string()), std::string::npos) << again.problem();
}

TEST(RunLog, DefaultFolderFollowsTheBaseDirectoryRules) {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  const std::string saved_xdg = xdg ? xdg : "", saved_home = home ? home : "";
  setenv("HOME", "/home/u", 1);
  setenv("XDG_STATE_HOME", "/var/st", 1);
  EXPECT_EQ(default_run_log_dir(), fs::path("/var/st/lumavix"));
  setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(default_run_log_dir(), fs::path("/home/u/.local/state/lumavix"));
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(default_run_log_dir(), fs::path("/home/u/.local/state/lumavix"));
  xdg ? setenv("XDG_STATE_HOME", saved_xdg.c_str(), 1) : unsetenv("XDG_STATE_HOME");
  home ? setenv("HOME", saved_home.c_str(), 1) : unsetenv("HOME");
}

TEST(Bundle, ArchiveHoldsEveryPartMaskedUnlessAsked) {
  BundleInput in;
  in.version = "lumavix-fw 1.0.0\n";
  in.system = "uname: Linux\n";
  in.cameras_json = R"({"cameras":[]})";
  in.doctor_json = R"({"usable":false,"nodes":[{"path":"/dev/v4l/by-id/usb-L_Q_SER98765432-video-index0"}]})";
  in.rules = {{"/etc/udev/rules.d/70-lumavix.rules", "SUBSYSTEM==\"hidraw\", TAG+=\"uaccess\"\n"}};
  in.runs = {{"run-1.log", "command: lumavix-fw update\nclaimed SER98765432 interface 1\n"}};
  in.serials = {"SER98765432"};
  for (const bool with_serials : {false, true}) {
    std::vector<std::string> names;
    const std::string gz = bundle_archive(in, with_serials, 1765000000, &names);
    std::string tar;
    ASSERT_TRUE(gunzip(gz, tar));
    std::vector<Member> got;
    std::string why;
    ASSERT_TRUE(untar(tar, got, why)) << why;
    std::vector<std::string> got_names;
    std::string all;
    for (const Member& m : got) {
      got_names.push_back(m.name.substr(m.name.find('/') + 1));
      all += m.data;
      EXPECT_EQ(m.name.rfind("lumavix-support-", 0), 0u) << m.name;
    }
    EXPECT_EQ(got_names, (std::vector<std::string>{"README.txt", "version.txt", "system.txt",
                                                   "cameras.json", "doctor.json",
                                                   "udev/etc/udev/rules.d/70-lumavix.rules",
                                                   "runs/run-1.log"}));
    EXPECT_EQ(names.size(), got.size());
    EXPECT_EQ(all.find("SER98765432") != std::string::npos, with_serials)
        << (with_serials ? "--with-serials lost the serial" : "a serial number was not masked");
    if (!with_serials) {
      EXPECT_NE(all.find("********432"), std::string::npos) << all;
    }
  }
}

}  // namespace
