#include "devlib/hid_descriptor.h"

#include <algorithm>
#include <map>
#include <utility>

namespace lumavix::hid {

const ReportTypeCaps& DescriptorCaps::of(ReportType t) const {
  switch (t) {
    case ReportType::Input:
      return input;
    case ReportType::Output:
      return output;
    case ReportType::Feature:
      break;
  }
  return feature;
}

ReportTypeCaps& DescriptorCaps::of(ReportType t) {
  return const_cast<ReportTypeCaps&>(std::as_const(*this).of(t));
}

namespace {

// Item types of the short-item prefix byte.
constexpr std::uint8_t kTypeMain = 0;
constexpr std::uint8_t kTypeGlobal = 1;
constexpr std::uint8_t kTypeLocal = 2;

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// Main item tags.
constexpr std::uint8_t kMainInput = 0x8;
constexpr std::uint8_t kMainOutput = 0x9;
constexpr std::uint8_t kMainCollection = 0xA;
constexpr std::uint8_t kMainFeature = 0xB;
constexpr std::uint8_t kMainEndCollection = 0xC;

// Global item tags.
constexpr std::uint8_t kGlobalUsagePage = 0x0;
constexpr std::uint8_t kGlobalLogicalMin = 0x1;
constexpr std::uint8_t kGlobalLogicalMax = 0x2;
constexpr std::uint8_t kGlobalReportSize = 0x7;
constexpr std::uint8_t kGlobalReportId = 0x8;
constexpr std::uint8_t kGlobalReportCount = 0x9;
constexpr std::uint8_t kGlobalPush = 0xA;
constexpr std::uint8_t kGlobalPop = 0xB;

// Local item tags.
constexpr std::uint8_t kLocalUsage = 0x0;
constexpr std::uint8_t kLocalUsageMin = 0x1;
constexpr std::uint8_t kLocalUsageMax = 0x2;

// Main item data bits.
constexpr std::uint32_t kFlagConstant = 0x01;
constexpr std::uint32_t kFlagVariable = 0x02;

struct Item {
  std::uint8_t type = 0;
  std::uint8_t tag = 0;
  std::uint8_t size = 0;  // data bytes: 0, 1, 2 or 4
  std::uint32_t data = 0;

  [[nodiscard]] std::int32_t signed_data() const {
    switch (size) {
      case 1:
        return static_cast<std::int8_t>(data);
      case 2:
        return static_cast<std::int16_t>(data);
      default:
        return static_cast<std::int32_t>(data);
    }
  }
};

struct GlobalState {
  std::uint16_t usage_page = 0;
  std::int32_t logical_min = 0;
  Item logical_max_item;  // kept raw: its sign depends on logical_min
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  std::uint8_t report_id = 0;
};

// One usage or usage range before a main item. `extended` entries carry
// their own page in the high half; the others take the usage page in force
// at the main item.
struct LocalUsage {
  std::uint32_t min = 0;
  std::uint32_t max = 0;
  bool is_range = false;
  bool extended = false;
};

struct LocalState {
  std::vector<LocalUsage> usages;
  bool have_min = false;
  bool have_max = false;
  std::uint32_t pending_min = 0;
  std::uint32_t pending_max = 0;
  bool pending_min_ext = false;
  bool pending_max_ext = false;
};

class Parser {
 public:
  Parser(std::span<const std::uint8_t> desc, DescriptorCaps& out) : desc_(desc), out_(out) {}

  bool run() {
    std::size_t pos = 0;
    while (pos < desc_.size()) {
      const std::uint8_t prefix = desc_[pos];
      if (prefix == kLongItemPrefix) {
        // Long items carry no meaning for report layout; skip them whole.
        if (desc_.size() - pos < 3) return fail("truncated long item at offset", pos);
        const std::size_t data_len = desc_[pos + 1];
        if (desc_.size() - pos - 3 < data_len) return fail("long item runs past the end at offset", pos);
        pos += 3 + data_len;
        continue;
      }
      Item item;
      item.size = static_cast<std::uint8_t>((prefix & 0x3) == 3 ? 4 : (prefix & 0x3));
      item.type = static_cast<std::uint8_t>((prefix >> 2) & 0x3);
      item.tag = static_cast<std::uint8_t>(prefix >> 4);
      if (desc_.size() - pos - 1 < item.size) return fail("truncated item at offset", pos);
      for (std::uint8_t i = 0; i < item.size; ++i)
        item.data |= static_cast<std::uint32_t>(desc_[pos + 1 + i]) << (8 * i);
      const std::size_t at = pos;
      pos += 1 + item.size;

      bool ok = true;
      switch (item.type) {
        case kTypeMain:
          ok = main_item(item, at);
          break;
        case kTypeGlobal:
          ok = global_item(item, at);
          break;
        case kTypeLocal:
          ok = local_item(item, at);
          break;
        default:
          break;  // reserved item type: ignored
      }
      if (!ok) return false;
    }
    if (collection_depth_ != 0) return fail("collection not closed at end of descriptor");
    finish_lengths();
    return true;
  }

  std::string error;

 private:
  bool fail(const char* what, std::size_t offset) {
    error = std::string(what) + " " + std::to_string(offset);
    return false;
  }
  bool fail(const char* what) {
    error = what;
    return false;
  }

  bool global_item(const Item& item, std::size_t at) {
    switch (item.tag) {
      case kGlobalUsagePage:
        global_.usage_page = static_cast<std::uint16_t>(item.data);
        break;
      case kGlobalLogicalMin:
        global_.logical_min = item.signed_data();
        break;
      case kGlobalLogicalMax:
        global_.logical_max_item = item;
        break;
      case kGlobalReportSize:
        if (item.data > kMaxReportSizeBits) return fail("report size too large at offset", at);
        global_.report_size = item.data;
        break;
      case kGlobalReportCount:
        // Bounded later by the report length; here only against overflow.
        if (item.data > kMaxReportBytes * 8) return fail("report count too large at offset", at);
        global_.report_count = item.data;
        break;
      case kGlobalReportId:
        if (item.data == 0 || item.data > 0xFF) return fail("invalid report id at offset", at);
        global_.report_id = static_cast<std::uint8_t>(item.data);
        break;
      case kGlobalPush:
        if (stack_.size() >= kMaxPushDepth) return fail("push nested too deeply at offset", at);
        stack_.push_back(global_);
        break;
      case kGlobalPop:
        if (stack_.empty()) return fail("pop without push at offset", at);
        global_ = stack_.back();
        stack_.pop_back();
        break;
      default:
        break;  // physical range, units: not needed for the caps
    }
    return true;
  }

  bool local_item(const Item& item, std::size_t at) {
    const bool ext = item.size == 4;
    switch (item.tag) {
      case kLocalUsage:
        if (local_.usages.size() >= kMaxLocalUsages) return fail("too many usages at offset", at);
        local_.usages.push_back({item.data, item.data, false, ext});
        break;
      case kLocalUsageMin:
        local_.have_min = true;
        local_.pending_min = item.data;
        local_.pending_min_ext = ext;
        break;
      case kLocalUsageMax:
        local_.have_max = true;
        local_.pending_max = item.data;
        local_.pending_max_ext = ext;
        break;
      default:
        return true;  // designators, strings, delimiters: not needed
    }
    if (local_.have_min && local_.have_max) return close_range(at);
    return true;
  }

  bool close_range(std::size_t at) {
    LocalUsage u;
    u.is_range = true;
    u.extended = local_.pending_min_ext || local_.pending_max_ext;
    u.min = local_.pending_min;
    u.max = local_.pending_max;
    // A 4-byte bound carries its page; a short partner takes the same page.
    if (u.extended) {
      const std::uint32_t page =
          (local_.pending_min_ext ? local_.pending_min : local_.pending_max) & 0xFFFF0000u;
      if (!local_.pending_min_ext) u.min = page | (u.min & 0xFFFF);
      if (!local_.pending_max_ext) u.max = page | (u.max & 0xFFFF);
      if ((u.min & 0xFFFF0000u) != (u.max & 0xFFFF0000u))
        return fail("usage range spans two usage pages at offset", at);
    }
    if ((u.min & 0xFFFF) > (u.max & 0xFFFF)) return fail("usage minimum above maximum at offset", at);
    if (local_.usages.size() >= kMaxLocalUsages) return fail("too many usages at offset", at);
    local_.usages.push_back(u);
    local_.have_min = local_.have_max = false;
    return true;
  }

  // A lone usage minimum or maximum before a main item stands for itself.
  void settle_local() {
    if (local_.have_min)
      local_.usages.push_back({local_.pending_min, local_.pending_min, false, local_.pending_min_ext});
    if (local_.have_max)
      local_.usages.push_back({local_.pending_max, local_.pending_max, false, local_.pending_max_ext});
    local_.have_min = local_.have_max = false;
  }

  bool main_item(const Item& item, std::size_t at) {
    bool ok = true;
    switch (item.tag) {
      case kMainCollection:
        if (collection_depth_ >= kMaxCollectionDepth) {
          ok = fail("collections nested too deeply at offset", at);
        } else {
          ++collection_depth_;
        }
        break;
      case kMainEndCollection:
        if (collection_depth_ == 0) {
          ok = fail("end collection without collection at offset", at);
        } else {
          --collection_depth_;
        }
        break;
      case kMainInput:
        ok = data_item(ReportType::Input, item.data, at);
        break;
      case kMainOutput:
        ok = data_item(ReportType::Output, item.data, at);
        break;
      case kMainFeature:
        ok = data_item(ReportType::Feature, item.data, at);
        break;
      default:
        break;
    }
    local_ = LocalState{};
    return ok;
  }

  [[nodiscard]] std::int32_t logical_max() const {
    const Item& m = global_.logical_max_item;
    // With a non-negative minimum the maximum is read as unsigned, which is
    // how devices commonly write 0..255 in one byte.
    if (global_.logical_min >= 0) return static_cast<std::int32_t>(m.data);
    return m.signed_data();
  }

  bool data_item(ReportType type, std::uint32_t flags, std::size_t at) {
    settle_local();
    const std::uint64_t bits = std::uint64_t{global_.report_size} * global_.report_count;
    std::uint64_t& total = report_bits_[{static_cast<int>(type), global_.report_id}];
    total += bits;
    if (total > std::uint64_t{kMaxReportBytes} * 8) return fail("report too long at offset", at);
    if (bits == 0 || (flags & kFlagConstant)) return true;

    ReportTypeCaps& caps = out_.of(type);
    std::vector<LocalUsage> usages = local_.usages;
    if (usages.empty()) usages.push_back({});

    const bool is_array = !(flags & kFlagVariable);
    if (is_array || global_.report_size == 1) {
      for (const LocalUsage& u : usages) {
        if (++cap_count_ > kMaxCaps) return fail("too many capabilities at offset", at);
        ButtonCap b;
        b.report_id = global_.report_id;
        b.usage_page = page_of(u);
        b.is_range = u.is_range;
        b.usage_min = static_cast<std::uint16_t>(u.min);
        b.usage_max = static_cast<std::uint16_t>(u.max);
        b.bit_field = static_cast<std::uint16_t>(flags);
        caps.buttons.push_back(b);
        caps.data_item_count += 1;
      }
      return true;
    }

    // Variable fields are handed to the usages in order: a usage takes one
    // field, a range as many as it has usages; the last usage takes every
    // field left. Usages beyond the item's fields are dropped.
    std::uint32_t left = global_.report_count;
    for (std::size_t i = 0; i < usages.size() && left > 0; ++i) {
      const LocalUsage& u = usages[i];
      const bool last = i + 1 == usages.size();
      std::uint32_t span = u.is_range ? (u.max & 0xFFFF) - (u.min & 0xFFFF) + 1 : 1;
      std::uint32_t fields = last ? left : std::min(span, left);
      if (u.is_range && span > fields) span = fields;
      if (++cap_count_ > kMaxCaps) return fail("too many capabilities at offset", at);
      ValueCap v;
      v.report_id = global_.report_id;
      v.usage_page = page_of(u);
      v.is_range = u.is_range;
      v.usage_min = static_cast<std::uint16_t>(u.min);
      v.usage_max = static_cast<std::uint16_t>(u.is_range ? (u.min & 0xFFFF) + span - 1 : u.min);
      v.bit_size = static_cast<std::uint16_t>(global_.report_size);
      v.report_count = static_cast<std::uint16_t>(fields);
      v.logical_min = global_.logical_min;
      v.logical_max = logical_max();
      v.bit_field = static_cast<std::uint16_t>(flags);
      caps.values.push_back(v);
      caps.data_item_count += v.is_range ? std::uint32_t{v.usage_max} - v.usage_min + 1 : 1;
      left -= fields;
    }
    return true;
  }

  [[nodiscard]] std::uint16_t page_of(const LocalUsage& u) const {
    return u.extended ? static_cast<std::uint16_t>(u.min >> 16) : global_.usage_page;
  }

  void finish_lengths() {
    for (const auto& [key, bits] : report_bits_) {
      // The id byte is part of every transfer buffer, declared or not.
      const std::uint64_t bytes = (bits + 7) / 8 + 1;
      ReportTypeCaps& caps = out_.of(static_cast<ReportType>(key.first));
      if (bits > 0)
        caps.byte_length = std::max<std::uint16_t>(caps.byte_length, static_cast<std::uint16_t>(bytes));
    }
  }

  std::span<const std::uint8_t> desc_;
  DescriptorCaps& out_;
  GlobalState global_;
  LocalState local_;
  std::vector<GlobalState> stack_;
  std::size_t collection_depth_ = 0;
  std::size_t cap_count_ = 0;
  std::map<std::pair<int, std::uint8_t>, std::uint64_t> report_bits_;
};

}  // namespace

bool parse_report_descriptor(std::span<const std::uint8_t> desc, DescriptorCaps& out,
                             std::string* error) {
  out = DescriptorCaps{};
  Parser parser(desc, out);
  if (parser.run()) return true;
  out = DescriptorCaps{};
  if (error) *error = parser.error;
  return false;
}

}  // namespace lumavix::hid
