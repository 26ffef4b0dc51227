// The video-control descriptor parser on the descriptors of a real-shaped
// camera and on hostile ones, and the camera key.
#include <gtest/gtest.h>

#include <random>

#include "devlib/uvc_descriptor.h"
#include "devlib/video_xu.h"
#include "devlib/camera_descriptors.h"

namespace lumavix::uvc {
namespace {

using Bytes = std::vector<std::uint8_t>;
using lumavix::test::camera_descriptors;

TEST(UvcDescriptor, RealShapedCamera) {
  std::vector<ControlInterface> out;
  std::string why;
  ASSERT_TRUE(parse_descriptors(camera_descriptors(), out, why)) << why;
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].configuration, 1);
  EXPECT_EQ(out[0].interface_number, 0);
  ASSERT_EQ(out[0].entities.size(), 4u) << "the streaming interface's format is no unit";
  const std::uint8_t ids[] = {1, 2, 3, 4};
  const std::uint8_t types[] = {kVcInputTerminal, kVcProcessingUnit, kVcExtensionUnit,
                                kVcOutputTerminal};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(out[0].entities[i].id, ids[i]) << i;
    EXPECT_EQ(out[0].entities[i].subtype, types[i]) << i;
  }
  const Entity& xu = out[0].entities[2];
  EXPECT_EQ(xu.guid, lumavix::kKavexUnitGuid);
  EXPECT_EQ(xu.selectors, (std::vector<std::uint8_t>{1, 2, 10, 11}));
}

TEST(UvcDescriptor, HostileChainsAreRefused) {
  const Bytes good = camera_descriptors();
  const std::size_t xu_at = 18 + 9 + 8 + 9 + 13 + 18 + 11;  // offset of the extension unit
  ASSERT_EQ(good[xu_at + 2], kVcExtensionUnit);
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
  } cases[] = {
      {"length 0", [](Bytes& b) { b[18] = 0; }},
      {"length 1", [](Bytes& b) { b[18] = 1; }},
      {"runs past the end", [](Bytes& b) { b.back() = 0; b[b.size() - 11] = 0xF0; }},
      {"header cut short", [](Bytes& b) { b.push_back(0x09); }},
      {"extension unit too short", [&](Bytes& b) { b[xu_at] = 0x10; }},
      {"source pins beyond the unit", [&](Bytes& b) { b[xu_at + 21] = 200; }},
      {"control bytes beyond the unit", [&](Bytes& b) { b[xu_at + 23] = 60; }},
      {"interface descriptor too short", [](Bytes& b) { b[35] = 3; }},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.damage(b);
    std::vector<ControlInterface> out{ControlInterface{}};
    std::string why;
    EXPECT_FALSE(parse_descriptors(b, out, why)) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
}

TEST(UvcDescriptor, EveryTruncationAndMutationIsSafe) {
  const Bytes good = camera_descriptors();
  std::vector<ControlInterface> out;
  std::string why;
  for (std::size_t n = 0; n <= good.size(); ++n) {
    const bool ok = parse_descriptors(std::span(good.data(), n), out, why);
    if (ok) {
      for (const auto& ci : out) EXPECT_LE(ci.entities.size(), 4u);
    }
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    Bytes b = good;
    b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    (void)parse_descriptors(b, out, why);
  }
  EXPECT_TRUE(parse_descriptors({}, out, why));
  EXPECT_TRUE(out.empty());
}

TEST(UvcDescriptor, CameraKey) {
  EXPECT_EQ(interface_key("1-2:1.0"), "usb-1-2:1.0");
  struct Case {
    const char* key;
    bool ok;
    std::uint8_t config, iface;
  } cases[] = {
      {"usb-1-2:1.0", true, 1, 0},       {"usb-3-1.4.2:1.2", true, 1, 2},
      {"USB-1-2:1.0", false, 0, 0},      {"usb-:1.0", false, 0, 0},
      {"usb-1-2:1", false, 0, 0},        {"usb-1-2:1.256", false, 0, 0},
      {"usb-1-2:x.0", false, 0, 0},      {"usb-1-2", false, 0, 0},
      {"usb-1-2/x:1.0", false, 0, 0},    {"", false, 0, 0},
  };
  for (const Case& c : cases) {
    std::uint8_t config = 9, iface = 9;
    EXPECT_EQ(parse_interface_key(c.key, config, iface), c.ok) << c.key;
    if (c.ok) {
      EXPECT_EQ(config, c.config) << c.key;
      EXPECT_EQ(iface, c.iface) << c.key;
    }
  }
}

}  // namespace
}  // namespace lumavix::uvc
