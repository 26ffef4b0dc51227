#include "devlib/hid_descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace lumavix::hid {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The boot-protocol keyboard every keyboard offers: modifier bits,
// a reserved byte, LED output bits with padding, six key-code array slots.
const Bytes kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01,
    0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07,
    0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// Three buttons, five bits of padding, relative X and Y.
const Bytes kMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09,
                      0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01,
                      0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30,
                      0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
                      0xC0, 0xC0};

const Bytes kVendorHead = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage 1
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum 0
    0x26, 0xFF, 0x00,  //   Logical Maximum 255
    0x75, 0x08,        //   Report Size 8
};
// One feature report: Report ID, Report Count, one vendor usage, Feature.
Bytes feature(std::uint8_t id, std::uint8_t count, std::uint8_t usage) {
  return {0x85, id, 0x95, count, 0x09, usage, 0xB1, 0x02};
}
const Bytes kEnd = {0xC0};

const Bytes kCamera = cat({kVendorHead, feature(0x87, 4, 2), feature(0x93, 40, 3),
                           feature(0x97, 40, 4), kEnd});

bool declares(const ReportTypeCaps& caps, std::uint8_t id) {
  return std::any_of(caps.values.begin(), caps.values.end(),
                     [id](const ValueCap& v) { return v.report_id == id; });
}

DescriptorCaps parse_ok(const Bytes& d) {
  DescriptorCaps caps;
  std::string err;
  EXPECT_TRUE(parse_report_descriptor(d, caps, &err)) << "unexpected failure: " << err;
  return caps;
}

TEST(HidDescriptor, BootKeyboard) {
  const DescriptorCaps caps = parse_ok(kKeyboard);
  // Modifier bits and the key array are buttons; the reserved byte is padding.
  ASSERT_EQ(caps.input.buttons.size(), 2u);
  EXPECT_TRUE(caps.input.values.empty());
  const ButtonCap& mods = caps.input.buttons[0];
  EXPECT_EQ(mods.usage_page, 0x07);
  EXPECT_TRUE(mods.is_range);
  EXPECT_EQ(mods.usage_min, 0xE0);
  EXPECT_EQ(mods.usage_max, 0xE7);
  const ButtonCap& keys = caps.input.buttons[1];
  EXPECT_EQ(keys.usage_min, 0x00);
  EXPECT_EQ(keys.usage_max, 0x65);
  EXPECT_EQ(caps.input.data_item_count, 2u);
  EXPECT_EQ(caps.input.byte_length, 9) << "8 report bytes plus the id byte";

  ASSERT_EQ(caps.output.buttons.size(), 1u);
  EXPECT_EQ(caps.output.buttons[0].usage_page, 0x08);
  EXPECT_EQ(caps.output.buttons[0].usage_max, 0x05);
  EXPECT_EQ(caps.output.byte_length, 2);
  EXPECT_EQ(caps.feature.data_item_count, 0u);
  EXPECT_EQ(caps.feature.byte_length, 0);
}

TEST(HidDescriptor, MouseSplitsAxesIntoOneValueCapEach) {
  const DescriptorCaps caps = parse_ok(kMouse);
  ASSERT_EQ(caps.input.buttons.size(), 1u);
  EXPECT_EQ(caps.input.buttons[0].usage_page, 0x09);
  ASSERT_EQ(caps.input.values.size(), 2u);
  EXPECT_EQ(caps.input.values[0].usage_min, 0x30);
  EXPECT_EQ(caps.input.values[1].usage_min, 0x31);
  for (const ValueCap& v : caps.input.values) {
    EXPECT_EQ(v.usage_page, 0x01);
    EXPECT_EQ(v.report_count, 1);
    EXPECT_EQ(v.bit_size, 8);
    EXPECT_EQ(v.logical_min, -127);
    EXPECT_EQ(v.logical_max, 127);
  }
  EXPECT_EQ(caps.input.data_item_count, 3u);
  EXPECT_EQ(caps.input.byte_length, 4);
  EXPECT_TRUE(caps.feature.values.empty());
}

TEST(HidDescriptor, CameraFeatureReports) {
  const DescriptorCaps caps = parse_ok(kCamera);
  const ReportTypeCaps& f = caps.of(ReportType::Feature);
  ASSERT_EQ(f.values.size(), 3u);
  const std::uint8_t ids[] = {0x87, 0x93, 0x97};
  const std::uint16_t counts[] = {4, 40, 40};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("report " + std::to_string(ids[i]));
    EXPECT_EQ(f.values[i].report_id, ids[i]);
    EXPECT_EQ(f.values[i].usage_page, 0xFF00);
    EXPECT_FALSE(f.values[i].is_range);
    EXPECT_EQ(f.values[i].report_count, counts[i]) << "one usage repeated over the report";
    EXPECT_EQ(f.values[i].logical_max, 255);
  }
  EXPECT_EQ(f.data_item_count, 3u);
  EXPECT_EQ(f.byte_length, 41);
  EXPECT_EQ(caps.input.byte_length, 0);
}

// The shapes the interface selection distinguishes: which value reports are
// declared, and how many feature data items there are.
TEST(HidDescriptor, VendorInterfaceShapes) {
  struct Case {
    const char* name;
    Bytes desc;
    std::uint32_t items;
    bool has87, has93;
  };
  const Case cases[] = {
      {"0x87 and 0x93", cat({kVendorHead, feature(0x87, 4, 2), feature(0x93, 40, 3), kEnd}), 2,
       true, true},
      {"only 0x87", cat({kVendorHead, feature(0x87, 4, 2), kEnd}), 1, true, false},
      {"four reports",
       cat({kVendorHead, feature(0x87, 4, 2), feature(0x93, 40, 3), feature(0x97, 40, 4),
            feature(0x9B, 8, 5), kEnd}),
       4, true, true},
      // One main item with a four-usage range counts four data items.
      {"usage range of four",
       cat({kVendorHead, feature(0x93, 40, 3),
            Bytes{0x85, 0x87, 0x95, 0x04, 0x19, 0x01, 0x29, 0x04, 0xB1, 0x02}, kEnd}),
       5, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DescriptorCaps caps = parse_ok(c.desc);
    EXPECT_EQ(caps.feature.data_item_count, c.items);
    EXPECT_EQ(declares(caps.feature, 0x87), c.has87);
    EXPECT_EQ(declares(caps.feature, 0x93), c.has93);
  }
}

TEST(HidDescriptor, ExtendedUsageCarriesItsOwnPage) {
  const Bytes d = {0x05, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x02, 0x15, 0x00, 0x26, 0xFF,
                   0x00, 0x0B, 0x02, 0x00, 0x00, 0xFF,  // Usage 0xFF00:0002
                   0x1B, 0x10, 0x00, 0x0C, 0x00,        // Usage Minimum 0x000C:0010
                   0x29, 0x11,                          // Usage Maximum 0x11 (same page)
                   0xB1, 0x02, 0xC0};
  const DescriptorCaps caps = parse_ok(d);
  ASSERT_EQ(caps.feature.values.size(), 2u);
  EXPECT_EQ(caps.feature.values[0].usage_page, 0xFF00);
  EXPECT_EQ(caps.feature.values[0].usage_min, 0x02);
  EXPECT_EQ(caps.feature.values[1].usage_page, 0x000C);
  EXPECT_TRUE(caps.feature.values[1].is_range);
  EXPECT_EQ(caps.feature.values[1].usage_min, 0x10);
  EXPECT_EQ(caps.feature.values[1].usage_max, 0x10) << "range narrowed to the one field left";
}

TEST(HidDescriptor, PushPopRestoresGlobals) {
  const Bytes d = cat({kVendorHead, Bytes{0x85, 0x87, 0x95, 0x04, 0xA4,  // Push
                                          0x85, 0x93, 0x95, 0x28, 0x09, 0x03, 0xB1, 0x02,
                                          0xB4,  // Pop: back to report 0x87, count 4
                                          0x09, 0x02, 0xB1, 0x02},
                       kEnd});
  const DescriptorCaps caps = parse_ok(d);
  ASSERT_EQ(caps.feature.values.size(), 2u);
  EXPECT_EQ(caps.feature.values[1].report_id, 0x87);
  EXPECT_EQ(caps.feature.values[1].report_count, 4);
}

TEST(HidDescriptor, LogicalMaximumSign) {
  struct Case {
    Bytes limits;
    std::int32_t min, max;
  };
  const Case cases[] = {
      {{0x15, 0x00, 0x25, 0xFF}, 0, 255},   // unsigned when the minimum is not negative
      {{0x15, 0x81, 0x25, 0x7F}, -127, 127},
      {{0x15, 0x80, 0x25, 0xFF}, -128, -1},  // signed when the minimum is negative
      {{0x17, 0x00, 0x00, 0x00, 0x80, 0x27, 0xFF, 0xFF, 0xFF, 0x7F}, INT32_MIN, INT32_MAX},
  };
  for (const Case& c : cases) {
    const Bytes d = cat({Bytes{0x06, 0x00, 0xFF, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01}, c.limits,
                         Bytes{0x85, 0x87, 0x09, 0x01, 0xB1, 0x02}, kEnd});
    const DescriptorCaps caps = parse_ok(d);
    ASSERT_EQ(caps.feature.values.size(), 1u);
    EXPECT_EQ(caps.feature.values[0].logical_min, c.min);
    EXPECT_EQ(caps.feature.values[0].logical_max, c.max);
  }
}

TEST(HidDescriptor, PaddingAndEmptyItemsMakeNoCaps) {
  // Long item (two data bytes), zero-length collection and usage page, a
  // zero-length feature item (data 0 = array) with report count 0, and a
  // constant feature item.
  const Bytes d = {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x04, 0xA0, 0x75, 0x08, 0x95, 0x00,
                   0xB0, 0x95, 0x04, 0xB1, 0x01, 0xC0};
  const DescriptorCaps caps = parse_ok(d);
  EXPECT_TRUE(caps.feature.values.empty());
  EXPECT_TRUE(caps.feature.buttons.empty());
  EXPECT_EQ(caps.feature.byte_length, 5) << "padding still takes room in the report";
}

TEST(HidDescriptor, ZeroBytesAreEmptyMainItemsAndTerminate) {
  const Bytes zeros(100000, 0x00);
  const DescriptorCaps caps = parse_ok(zeros);
  EXPECT_EQ(caps.input.data_item_count + caps.output.data_item_count +
                caps.feature.data_item_count,
            0u);
}

TEST(HidDescriptor, EveryTruncationOfTheCameraDescriptorIsRejected) {
  // From the middle of the Collection item on, every cut either splits an
  // item or leaves the collection open.
  for (std::size_t n = 6; n < kCamera.size(); ++n) {
    const Bytes part(kCamera.begin(), kCamera.begin() + static_cast<std::ptrdiff_t>(n));
    DescriptorCaps caps;
    std::string err;
    EXPECT_FALSE(parse_report_descriptor(part, caps, &err)) << "prefix of " << n << " bytes";
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(caps.feature.values.empty()) << "no partial result is left behind";
  }
}

TEST(HidDescriptor, HostileInputIsRejected) {
  auto repeat = [](Bytes unit, std::size_t n) {
    Bytes out;
    for (std::size_t i = 0; i < n; ++i) out.insert(out.end(), unit.begin(), unit.end());
    return out;
  };
  struct Case {
    const char* name;
    Bytes desc;
    const char* reason;  // a word the message must contain
  };
  const Case cases[] = {
      {"truncated 2-byte item", {0x06, 0x00}, "truncated"},
      {"truncated 4-byte item", {0x27, 0xFF, 0xFF, 0xFF}, "truncated"},
      {"long item header only", {0xFE, 0x05}, "long item"},
      {"long item data overrun", {0xFE, 0x05, 0x10, 0x01, 0x02}, "long item"},
      {"end collection first", {0xC0}, "collection"},
      {"collection left open", {0xA1, 0x01}, "collection"},
      {"pop without push", {0xB4}, "pop"},
      {"deep push", repeat({0xA4}, kMaxPushDepth + 1), "push"},
      {"deep collections", repeat({0xA1, 0x00}, kMaxCollectionDepth + 1), "collection"},
      {"report id 0", {0x85, 0x00}, "report id"},
      {"report size absurd", {0x76, 0x00, 0x10}, "report size"},
      {"report count absurd", {0x97, 0x00, 0x00, 0x10, 0x00}, "report count"},
      {"report too long", {0x75, 0x08, 0x96, 0x00, 0x50, 0xB1, 0x02}, "too long"},
      {"usage range reversed", {0x19, 0x05, 0x29, 0x01}, "minimum"},
      {"too many caps",
       cat({{0x75, 0x01, 0x95, 0x01}, repeat({0x09, 0x01, 0x81, 0x02}, kMaxCaps + 1)}),
       "capabilities"},
      {"too many usages", repeat({0x09, 0x01}, kMaxLocalUsages + 1), "usages"},
  };
  for (const Case& c : cases) {
    DescriptorCaps caps;
    std::string err;
    EXPECT_FALSE(parse_report_descriptor(c.desc, caps, &err)) << c.name << ": accepted";
    EXPECT_NE(err.find(c.reason), std::string::npos)
        << c.name << ": expected a reason mentioning \"" << c.reason << "\", got \"" << err
        << "\"";
  }
}

TEST(HidDescriptor, EmptyDescriptorHasNoReports) {
  DescriptorCaps caps;
  EXPECT_TRUE(parse_report_descriptor({}, caps));
  EXPECT_EQ(caps.feature.byte_length, 0);
}

}  // namespace
}  // namespace lumavix::hid
