#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "firmware/image.h"
#include "sim_frames.h"

namespace lumavix::sim::test {
namespace {

TEST(SimOptionsParse, Accepted) {
  SimOptions o;
  std::string err;
  ASSERT_TRUE(parse_sim_options("", o, err)) << err;
  EXPECT_EQ(o.profile, SimProfile::Q);
  EXPECT_EQ(o.firmware_version, 0x0104);
  EXPECT_FALSE(o.product_id.has_value());

  ASSERT_TRUE(parse_sim_options("gen0-flash,fw=0107,pid=0x0E5A", o, err)) << err;
  EXPECT_EQ(o.profile, SimProfile::Gen0Flash);
  EXPECT_EQ(o.firmware_version, 0x0107);
  EXPECT_EQ(o.product_id, 0x0E5A);

  ASSERT_TRUE(parse_sim_options("fw=1A,flash=ef3014,latency-us=0,busy=0", o, err)) << err;
  EXPECT_EQ(o.profile, SimProfile::Q) << "a leading key means the default profile";
  EXPECT_EQ(o.firmware_version, 0x001A);
  EXPECT_EQ(o.flash_id, (std::array<std::uint8_t, 3>{0xEF, 0x30, 0x14}));
  EXPECT_EQ(o.latency_us, 0u);
  EXPECT_FALSE(o.busy);

  ASSERT_TRUE(parse_sim_options(
      "none,fail-at=12,fail-rate=0.25,seed=7,unplug-after=0,refuse-97=1,stuck-busy=1", o, err))
      << err;
  EXPECT_EQ(o.profile, SimProfile::None);
  EXPECT_EQ(o.fail_at, 12u);
  EXPECT_DOUBLE_EQ(o.fail_rate, 0.25);
  EXPECT_EQ(o.seed, 7u);
  EXPECT_EQ(o.unplug_after, 0u);
  EXPECT_TRUE(o.refuse_97);
  EXPECT_TRUE(o.stuck_busy);
}

TEST(SimOptionsParse, RefusedWithAReason) {
  struct Case {
    const char* text;
    const char* mention;
  };
  const Case cases[] = {
      {"uvc-foo", "unknown profile \"uvc-foo\""},
      {"q,speed=1", "unknown key \"speed\""},
      {"q,fw=12345", "fw"},
      {"q,fw=XYZ", "fw"},
      {"q,fw=", "fw"},
      {"q,pid=-1", "pid"},
      {"q,flash=C220", "flash"},
      {"q,flash=C22011FF", "flash"},
      {"q,busy=2", "busy"},
      {"q,fail-at=0", "fail-at"},
      {"q,fail-rate=1.5", "fail-rate"},
      {"q,fail-rate=abc", "fail-rate"},
      {"q,fail-rate=nan", "fail-rate"},
      {"q,latency-us=-1", "latency-us"},
      {"q,seed=1e3", "seed"},
      {"q,fw=1,fw=2", "given twice"},
      {"q,count=0", "count"},
      {"q,count=25", "count"},
      {"q,replug=yes", "replug"},
      {"q,", "empty item"},
      {"q,fw", "not KEY=VALUE"},
  };
  for (const Case& c : cases) {
    SimOptions o;
    o.firmware_version = 0x7777;
    std::string err;
    EXPECT_FALSE(parse_sim_options(c.text, o, err)) << c.text;
    EXPECT_NE(err.find(c.mention), std::string::npos)
        << c.text << ": error \"" << err << "\" should mention \"" << c.mention << "\"";
    EXPECT_EQ(o.firmware_version, 0x7777) << c.text << ": output left alone";
  }
}

std::uint16_t le16(const std::vector<std::uint8_t>& v, std::size_t at) {
  return static_cast<std::uint16_t>(v.at(at) | v.at(at + 1) << 8);
}

TEST(SimProfiles, QHoldsACompleteImageWithItsUserData) {
  SimOptions o;
  std::string err;
  ASSERT_TRUE(parse_sim_options("q,fw=0107,pid=0E5A", o, err));
  auto sim = Simulator::create(o, err);
  ASSERT_NE(sim, nullptr) << err;
  ASSERT_EQ(sim->camera_count(), 1u);
  SimCamera& cam = *sim->camera(0);
  const auto head = cam.flash_bytes(0, 16);
  const BootConfig cfg = decode_boot_config(std::span<const std::uint8_t, 16>(head.data(), 16));
  EXPECT_TRUE(cfg.has_magic());
  const UserDataLocation loc = locate_user_data(cfg);
  ASSERT_TRUE(loc.readable);
  const auto block = cam.flash_bytes(loc.block_addr, kUserDataBlockSize);
  EXPECT_EQ(le16(block, kUdFirmwareVersion), 0x0107);
  EXPECT_EQ(le16(block, kUdProductId), 0x0E5A);
  EXPECT_EQ(le16(block, kUdVendorId), VendorId);

  SimOptions d;
  auto def = Simulator::create(d, err);
  const auto b2 = def->camera(0)->flash_bytes(loc.block_addr, kUserDataBlockSize);
  EXPECT_EQ(le16(b2, kUdFirmwareVersion), 0x0104);
  EXPECT_EQ(le16(b2, kUdProductId), ProductIdQA);
}

TEST(SimProfiles, GenerationZeroPlainLayouts) {
  SimOptions o;
  std::string err;
  ASSERT_TRUE(parse_sim_options("gen0-flash,fw=0213", o, err));
  auto flash_sim = Simulator::create(o, err);
  SimCamera& fc = *flash_sim->camera(0);
  EXPECT_EQ(fc.flash_bytes(0, 4), (std::vector<std::uint8_t>{0x26, 0x50, 0x01, 0x00}));
  EXPECT_EQ(fc.flash_bytes(0x5000 + kPlainVersionOffset, 2),
            (std::vector<std::uint8_t>{0x02, 0x13}));
  EXPECT_EQ(fc.flash_bytes(0x1000, 16), fc.flash_bytes(0x5000 + 0x54, 16));

  ASSERT_TRUE(parse_sim_options("gen0-eeprom,fw=0213", o, err));
  auto ee_sim = Simulator::create(o, err);
  SimCamera& ec = *ee_sim->camera(0);
  EXPECT_EQ(ec.eeprom_bytes(0, 4), (std::vector<std::uint8_t>{0x26, 0x00, 0x03, 0x00}));
  EXPECT_EQ(ec.eeprom_bytes(kPlainVersionOffset, 2), (std::vector<std::uint8_t>{0x02, 0x13}));
  EXPECT_EQ(ec.flash_size(), 0u) << "no flash on an EEPROM camera";

  ASSERT_TRUE(parse_sim_options("none", o, err));
  auto none = Simulator::create(o, err);
  ASSERT_NE(none, nullptr);
  std::vector<HidInterfaceInfo> list;
  SysError se;
  ASSERT_TRUE(none->hid().enumerate(list, se));
  EXPECT_TRUE(list.empty());
}

class SimState : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("lumavix_sim_state_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                .string();
  }
  void TearDown() override { std::remove(path_.c_str()); }

  static std::unique_ptr<Simulator> make(const char* text) {
    SimOptions o;
    std::string err;
    EXPECT_TRUE(parse_sim_options(text, o, err)) << err;
    o.latency_us = 0;
    o.busy = false;
    return Simulator::create(o, err);
  }
  std::vector<std::uint8_t> read_file() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void write_file(const std::vector<std::uint8_t>& b) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  static void fix_crc(std::vector<std::uint8_t>& b) {
    const std::uint32_t c = Crc32(b.data(), b.size() - 4);
    for (int i = 0; i < 4; ++i) b[b.size() - 4 + i] = static_cast<std::uint8_t>(c >> (8 * i));
  }

  std::string path_;
};

TEST_F(SimState, RoundTripThroughTheProtocol) {
  auto a = make("q");
  {
    Frames f(*a->camera(0));
    f.reg_write16(0x0300, {0x5A});
    f.reg_write16(0x0006, {0x4B});
    f.write_enable();
    f.sector_erase(0x7000);
    f.write_enable();
    f.page_program(0x7000, {1, 2, 3});
    f.write_enable();
    f.spi_write(1, {0x01, 0x0C});
    EXPECT_EQ(f.set97({0x0D, 0, 0xA0, 0, 0, 3, 0x00, 0x08, 0x99}), 41);
    EXPECT_EQ(f.set93({0x0D, 0, 0xA0, 0, 0, 3, 0x00, 0x08, 0x99}), 41);
  }
  std::string err;
  ASSERT_TRUE(a->save_state(path_, err)) << err;

  auto b = make("q,fw=0200");
  ASSERT_TRUE(b->load_state(path_, err)) << err;
  SimCamera& cam = *b->camera(0);
  EXPECT_EQ(cam.flash_bytes(0, 0x20000), a->camera(0)->flash_bytes(0, 0x20000));
  EXPECT_EQ(cam.flash_bytes(0x7000, 4), (std::vector<std::uint8_t>{1, 2, 3, 0xFF}));
  EXPECT_EQ(cam.reg(0x0300), 0x5A);
  EXPECT_EQ(cam.eeprom_bytes(0x0008, 1)[0], 0x99);
  EXPECT_EQ(cam.flash_status() & 0x0C, 0x0C) << "protection survives a power cycle";
}

TEST_F(SimState, IdentityRegistersFollowTheProfile) {
  auto q = make("q");
  std::string err;
  ASSERT_TRUE(q->save_state(path_, err)) << err;
  auto gen0 = make("gen0-flash");
  ASSERT_TRUE(gen0->load_state(path_, err)) << err;
  Frames f(*gen0->camera(0));
  EXPECT_EQ(f.reg_read16(0x0000, 4), 0x00005205u) << "still a generation-0 chip";
  EXPECT_EQ(gen0->camera(0)->flash_bytes(0, 2), (std::vector<std::uint8_t>{0x7A, 0x3C}))
      << "but with the saved flash";
}

TEST_F(SimState, DamagedFilesAreRefusedAndChangeNothing) {
  auto a = make("q");
  std::string err;
  ASSERT_TRUE(a->save_state(path_, err)) << err;
  const std::vector<std::uint8_t> good = read_file();
  ASSERT_GT(good.size(), 0x30000u);

  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
  };
  const Case cases[] = {
      {"empty", [](auto& b) { b.clear(); }},
      {"7 bytes", [](auto& b) { b.resize(7); }},
      {"header only", [](auto& b) { b.resize(20); }},
      {"cut in the flash", [](auto& b) { b.resize(0x18000); }},
      {"last byte missing", [](auto& b) { b.pop_back(); }},
      {"one flash byte changed", [](auto& b) { b[0x12345] ^= 0x01; }},
      {"wrong signature", [](auto& b) { b[0] = 'X'; fix_crc(b); }},
      {"format version 2", [](auto& b) { b[8] = 2; fix_crc(b); }},
      {"two cameras claimed", [](auto& b) { b[12] = 2; fix_crc(b); }},
      {"huge section length",
       [](auto& b) {
         // The first section's length field (after count and tag).
         b[24] = b[25] = b[26] = 0xFF;
         b[27] = 0x7F;
         fix_crc(b);
       }},
      {"register file one byte short",
       [](auto& b) {
         b[24] = 0xFF;
         b[25] = 0xFF;
         b[26] = 0x00;
         fix_crc(b);
       }},
      {"trailing bytes",
       [](auto& b) {
         b.insert(b.end() - 4, 3, 0x00);
         fix_crc(b);
       }},
      {"unknown section",
       [](auto& b) {
         b[20] = 'Z';
         fix_crc(b);
       }},
  };
  for (const Case& c : cases) {
    auto target = make("q");
    Frames(*target->camera(0)).reg_write16(0x0300, {0x77});
    const auto before = target->camera(0)->export_memories();
    std::vector<std::uint8_t> bytes = good;
    c.damage(bytes);
    write_file(bytes);
    std::string why;
    EXPECT_FALSE(target->load_state(path_, why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
    const auto after = target->camera(0)->export_memories();
    EXPECT_EQ(after.registers, before.registers) << c.what;
    EXPECT_EQ(after.flash, before.flash) << c.what;
  }

  // A camera with another flash size cannot take this state.
  write_file(good);
  auto small = make("q,flash=C22010");
  EXPECT_FALSE(small->load_state(path_, err));
  EXPECT_NE(err.find("flash of 131072 bytes"), std::string::npos) << err;

  EXPECT_FALSE(a->load_state(path_ + ".missing", err));
  EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
}

}  // namespace
}  // namespace lumavix::sim::test

namespace lumavix::sim::test {
namespace {

// Help texts and error messages come from the same tables the parser reads:
// a profile or key the tables name must parse, and every one must be listed.
TEST(SimOptionTables, EveryListedProfileAndKeyIsTheParsersAndInTheHelp) {
  const std::string help_profiles = sim_profiles_help(false);
  const std::string hid_profiles = sim_profiles_help(true);
  for (const SimProfileInfo& p : sim_profiles()) {
    SimOptions o;
    std::string err;
    ASSERT_TRUE(parse_sim_options(p.name, o, err)) << p.name << ": " << err;
    EXPECT_EQ(o.profile, p.profile) << p.name;
    EXPECT_STREQ(profile_name(p.profile), p.name);
    EXPECT_NE(help_profiles.find(p.name), std::string::npos) << p.name << " missing from help";
    EXPECT_EQ(hid_profiles.find(p.name) != std::string::npos, p.hid)
        << p.name << (p.hid ? " belongs" : " does not belong") << " in the HID server's help";
  }
  const std::string help_keys = sim_keys_help(false);
  const std::string hid_keys = sim_keys_help(true);
  for (const SimKeyInfo& k : sim_keys()) {
    SimOptions o;
    std::string err;
    // A value no key takes: the error must be about the value, not the key.
    EXPECT_FALSE(parse_sim_options(std::string("q,") + k.key + "=?", o, err)) << k.key;
    EXPECT_EQ(err.find("unknown key"), std::string::npos) << k.key << ": " << err;
    EXPECT_NE(help_keys.find(k.form), std::string::npos) << k.form << " missing from help";
    EXPECT_EQ(hid_keys.find(k.form) != std::string::npos, !k.video_only) << k.form;
  }
  std::string err;
  SimOptions o;
  EXPECT_FALSE(parse_sim_options("q,nope=1", o, err));
  EXPECT_NE(err.find("count, replug)"), std::string::npos)
      << "the known keys end the message: " << err;
}

}  // namespace
}  // namespace lumavix::sim::test
