// The simulated bridge reached through its video-control extension units and
// through the vendor property sets: the same registers, flash and EEPROM as
// over HID, other frames.
#include <algorithm>
#include <cerrno>

#include "devlib/bytes.h"
#include "devlib/clock.h"
#include "devlib/vendor_props.h"
#include "devlib/video_xu.h"
#include "sim/sim_camera.h"

namespace lumavix::sim {

namespace {

// Another vendor's unit, for topologies where the bridge maker's unit is not
// the first device-specific node.
constexpr Guid kForeignUnitGuid =
    make_guid(0x0F3F95DC, 0x2632, 0x4C4E, {0x92, 0xC9, 0xA0, 0x47, 0x82, 0xF4, 0x3B, 0xC8});

const Guid* unit_guid(SimNode node) {
  switch (node) {
    case SimNode::KavexUnit: return &kKavexUnitGuid;
    case SimNode::AveoUnit: return &kAveoUnitGuid;
    case SimNode::EtronUnit: return &kEtronUnitGuid;
    case SimNode::ForeignUnit: return &kForeignUnitGuid;
    default: return nullptr;
  }
}

bool is_extended(std::uint32_t selector) {
  return selector == XU_I2C_READ_EX || selector == XU_I2C_WRITE_EX ||
         selector == XU_XDATA_EX_READ || selector == XU_XDATA_EX_WRITE;
}

bool valid_len(unsigned len) { return len >= 1 && len <= 4; }

std::uint32_t word_at(std::span<const std::uint8_t> b, std::size_t at) {
  return load_le32(b.data() + at);
}

void put_word(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string n(std::size_t v) { return std::to_string(v); }

}  // namespace

std::uint32_t SimCamera::node_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<std::uint32_t>(config_.nodes.size());
}

bool SimCamera::node_is_extension_unit(std::uint32_t node) const {
  std::lock_guard<std::mutex> lock(mu_);
  return node < config_.nodes.size() && unit_guid(config_.nodes[node]) != nullptr;
}

std::uint8_t SimCamera::xu_announced_length() const {
  std::lock_guard<std::mutex> lock(mu_);
  return xu_length_;
}

void SimCamera::set_bus_status(bool ack) {
  regs_[kRegBusStatus] = static_cast<std::uint8_t>((regs_[kRegBusStatus] & ~kBusStatusI2cNak) |
                                                   (ack ? 0 : kBusStatusI2cNak));
}

// ------------------------------------------------------- extension units --

int SimCamera::xu_request(const XuQuery& q, std::span<std::uint8_t> data) {
  const bool transfer = q.flags == kXuFlagGet || q.flags == kXuFlagSet;
  if (transfer) {
    if (const std::uint32_t lat = latency_us_.load()) clock().sleep_us(lat);
  }
  std::lock_guard<std::mutex> lock(mu_);
  settle_replug_locked();
  if (unplugged_) return -ENODEV;
  if (q.node >= config_.nodes.size()) return -ENOENT;
  const SimNode node = config_.nodes[q.node];
  const Guid* guid = unit_guid(node);
  if (!guid || *guid != q.unit) return -ENOENT;
  if (q.flags == kXuFlagSetSupport) return 0;
  if (!transfer) return -EINVAL;

  const bool set = q.flags == kXuFlagSet;
  if (int rc = begin_transfer(set, static_cast<std::uint8_t>(q.selector), Channel::Xu); rc < 0)
    return rc;
  int rc = 0;
  switch (node) {
    case SimNode::KavexUnit:
      if (config_.refused_selectors.count(static_cast<std::uint8_t>(q.selector)) != 0) {
        ++counters_.failed;
        return -EPIPE;
      }
      rc = set ? kavex_set(q.selector, data) : kavex_get(q.selector, data);
      break;
    case SimNode::AveoUnit:
      if (q.selector != kAveoSelector)
        return violation("Aveo unit request on selector " + n(q.selector));
      rc = set ? aveo_set(data) : aveo_get(data);
      break;
    default:
      return violation("request on selector " + n(q.selector) +
                       " of a unit that has no command set");
  }
  return rc < 0 ? rc : static_cast<int>(data.size());
}

int SimCamera::kavex_set(std::uint32_t selector, std::span<const std::uint8_t> p) {
  const std::string what = "SET_CUR of selector " + n(selector) + " with " + n(p.size()) + " bytes";
  if (selector == XU_LENGTH) {
    if (p.size() != 1) return violation(what + " (expected 1)");
    xu_length_ = p[0];
    return 0;
  }
  if (is_extended(selector) && p.size() != kXuExtendedLen)
    return violation(what + " (expected 32)");
  if (xu_length_varies(selector) && p.size() != xu_length_)
    return violation(what + " after XU_LENGTH announced " + n(xu_length_));
  if (!is_extended(selector) && !xu_length_varies(selector))
    return violation("SET_CUR of unknown selector " + n(selector));

  XuLatch latch;
  latch.selector = static_cast<std::uint8_t>(selector);
  switch (selector) {
    case XU_XDATA_EX_READ:
    case XU_XDATA_READ:
      if (p.size() < 3 || !valid_len(p[2])) return violation(what + ": bad register length");
      latch.addr = static_cast<std::uint16_t>(p[0] | p[1] << 8);
      latch.len = p[2];
      xu_latch_ = latch;
      return 0;
    case XU_REG_READ:
      if (p.size() < 2 || !valid_len(p[1])) return violation(what + ": bad register length");
      latch.addr = p[0];
      latch.len = p[1];
      xu_latch_ = latch;
      return 0;
    case XU_XDATA_EX_WRITE:
    case XU_XDATA_WRITE: {
      const std::size_t len = p.size() >= 3 ? p[2] : 0;
      if (!valid_len(len) || 3 + len > p.size()) return violation(what + ": bad register length");
      if (selector == XU_XDATA_WRITE && 3 + len != p.size())
        return violation(what + " for a register write of length " + n(len));
      const std::uint16_t addr = static_cast<std::uint16_t>(p[0] | p[1] << 8);
      for (std::size_t i = 0; i < len; ++i) write_reg(static_cast<std::uint16_t>(addr + i), p[3 + i]);
      return 0;
    }
    case XU_REG_WRITE: {
      const std::size_t len = p.size() >= 2 ? p[1] : 0;
      if (!valid_len(len) || 2 + len != p.size()) return violation(what + ": bad register length");
      for (std::size_t i = 0; i < len; ++i)
        write_reg(static_cast<std::uint16_t>(p[0] + i), p[2 + i]);
      return 0;
    }
    case XU_I2C_READ_EX: {
      const std::size_t sub_len = p[3];
      if (kXuExtI2cHeader + sub_len + 1 > kXuExtendedLen)
        return violation("extended I2C read with a sub-address of " + n(sub_len) + " bytes");
      const std::size_t count = p[kXuExtI2cHeader + sub_len];
      if (count > kXuExtI2cReadMax)
        return violation("extended I2C read of " + n(count) + " bytes (at most 31)");
      const std::uint8_t slave = p[1];
      bool ack = sub_len == 0 || i2c_write(slave, p.subspan(kXuExtI2cHeader, sub_len));
      if (ack) ack = i2c_read(slave, std::span<std::uint8_t>(latch.reply).subspan(1, count));
      if (!ack) latch.reply.fill(0);
      latch.reply[0] = ack ? static_cast<std::uint8_t>(count) : 0;
      xu_latch_ = latch;
      return 0;
    }
    case XU_I2C_WRITE_EX: {
      const std::size_t sub_len = p[3];
      if (kXuExtI2cHeader + sub_len + 1 > kXuExtendedLen)
        return violation("extended I2C write with a sub-address of " + n(sub_len) + " bytes");
      const std::size_t count = p[kXuExtI2cHeader + sub_len];
      if (kXuExtI2cHeader + sub_len + 1 + count > kXuExtendedLen)
        return violation("extended I2C write of " + n(sub_len + count) + " bytes");
      std::vector<std::uint8_t> bytes(p.begin() + kXuExtI2cHeader,
                                      p.begin() + kXuExtI2cHeader + sub_len);
      const auto d = p.subspan(kXuExtI2cHeader + sub_len + 1, count);
      bytes.insert(bytes.end(), d.begin(), d.end());
      (void)i2c_write(p[1], bytes);
      return 0;
    }
    case XU_I2C_READ:
      if (p.size() != 3) return violation(what + " (expected 3)");
      latch.slave = p[0];
      latch.len = p[1];
      xu_latch_ = latch;
      return 0;
    case XU_I2C_WRITE: {
      if (p.size() < 3 || 3u + p[1] != p.size())
        return violation(what + " for an I2C write of " + n(p.size() >= 2 ? p[1] : 0) + " bytes");
      set_bus_status(i2c_write(p[0], p.subspan(3)));
      return 0;
    }
    case XU_SPI_READ:
      if (p.size() != 3) return violation(what + " (expected 3)");
      if (p[0] != 0) return violation("serial-flash read of target " + n(p[0]));
      latch.len = p[1];
      latch.finish = p[2];
      xu_latch_ = latch;
      return 0;
    case XU_SPI_WRITE:
      if (p.size() < 3 || 3u + p[1] != p.size())
        return violation(what + " for a serial-flash write of " + n(p.size() >= 2 ? p[1] : 0) +
                         " bytes");
      if (p[0] != 0) return violation("serial-flash write to target " + n(p[0]));
      flash_.clock_in(p.subspan(3));
      if (p[2]) flash_.deselect();
      return 0;
    default:
      return violation("SET_CUR of unknown selector " + n(selector));
  }
}

int SimCamera::kavex_get(std::uint32_t selector, std::span<std::uint8_t> out) {
  const XuLatch latch = xu_latch_;
  if (latch.selector == 0 || latch.selector != selector)
    return violation("GET_CUR of selector " + n(selector) + " without its set");
  xu_latch_ = {};
  const bool extended = is_extended(selector);
  const std::size_t expected = extended ? kXuExtendedLen : latch.len;
  if (out.size() != expected)
    return violation("GET_CUR of selector " + n(selector) + " with " + n(out.size()) +
                     " bytes (expected " + n(expected) + ")");
  std::fill(out.begin(), out.end(), 0);
  switch (selector) {
    case XU_XDATA_EX_READ:
    case XU_XDATA_READ:
    case XU_REG_READ:
      for (std::size_t i = 0; i < latch.len; ++i)
        out[i] = read_reg(static_cast<std::uint16_t>(latch.addr + i));
      return 0;
    case XU_I2C_READ_EX:
      std::copy(latch.reply.begin(), latch.reply.end(), out.begin());
      return 0;
    case XU_I2C_READ:
      set_bus_status(i2c_read(latch.slave, out));
      return 0;
    case XU_SPI_READ:
      for (std::uint8_t& b : out) b = flash_.clock_out();
      if (latch.finish) flash_.deselect();
      return 0;
    default:
      return violation("GET_CUR of selector " + n(selector) + ", which is only set");
  }
}

int SimCamera::aveo_set(std::span<const std::uint8_t> p) {
  if (p.size() != kAveoTransferLen)
    return violation("Aveo unit SET_CUR of " + n(p.size()) + " bytes (expected 32)");
  const std::uint8_t cmd = p[0];
  const std::uint16_t word = static_cast<std::uint16_t>(p[3] | p[4] << 8);
  const std::uint8_t slave = p[5];
  const std::uint8_t mode = p[6];
  // The sub-address goes out most significant byte first.
  std::vector<std::uint8_t> sub;
  if (mode & 0x10) sub.push_back(static_cast<std::uint8_t>(word >> 8));
  sub.push_back(static_cast<std::uint8_t>(word & 0xFF));
  switch (cmd) {
    case 0x01:
      aveo_latch_ = {cmd, static_cast<std::uint16_t>(p[1] | p[2] << 8), {}};
      return 0;
    case 0x03: {
      if (aveo_latch_.command != 0x01)
        return violation("Aveo register write without a register select");
      // The unit's registers are 16 bits wide.
      write_reg(aveo_latch_.addr, p[1]);
      write_reg(static_cast<std::uint16_t>(aveo_latch_.addr + 1), p[2]);
      aveo_latch_ = {};
      return 0;
    }
    case 0xE0: {
      AveoLatch latch{cmd, 0, {}};
      latch.reply[0] = cmd;
      const std::size_t count = (mode & 0x01) ? 2 : 1;
      bool ack = i2c_write(slave, sub);
      if (ack) ack = i2c_read(slave, std::span<std::uint8_t>(latch.reply).subspan(1, count));
      set_bus_status(ack);
      aveo_latch_ = latch;
      return 0;
    }
    case 0x05: {
      sub.push_back(p[1]);
      set_bus_status(i2c_write(slave, sub));
      return 0;
    }
    default:
      return violation("unknown Aveo unit command " + n(cmd));
  }
}

int SimCamera::aveo_get(std::span<std::uint8_t> out) {
  if (out.size() != kAveoTransferLen)
    return violation("Aveo unit GET_CUR of " + n(out.size()) + " bytes (expected 32)");
  const AveoLatch latch = aveo_latch_;
  std::fill(out.begin(), out.end(), 0);
  switch (latch.command) {
    case 0x01:
      out[0] = 0x01;
      out[1] = read_reg(latch.addr);
      out[2] = read_reg(static_cast<std::uint16_t>(latch.addr + 1));
      return 0;
    case 0xE0:
      aveo_latch_ = {};
      std::copy(latch.reply.begin(), latch.reply.end(), out.begin());
      return 0;
    default:
      return violation("Aveo unit GET_CUR without a preceding command");
  }
}

// ---------------------------------------------------------- property sets --

int SimCamera::property(std::span<std::uint8_t> request) {
  if (request.size() != kShortRequest && request.size() != kLongRequest) return -EINVAL;
  if (const std::uint32_t lat = latency_us_.load()) clock().sleep_us(lat);
  std::lock_guard<std::mutex> lock(mu_);
  settle_replug_locked();
  if (unplugged_) return -ENODEV;
  Guid set_guid{};
  std::copy_n(request.begin(), set_guid.size(), set_guid.begin());
  const bool vendor_video = config_.property_set == SimPropertySet::VendorVideo &&
                            set_guid == kVendorVideoSetGuid;
  const bool bda = config_.property_set == SimPropertySet::Bda && set_guid == kBdaVendorSetGuid;
  if (!vendor_video && !bda) return -ENOENT;
  const std::uint32_t id = word_at(request, kPropIdAt);
  const std::uint32_t flags = word_at(request, kPropFlagsAt);
  if (flags != kPropGet && flags != kPropSet) return -EINVAL;
  const bool set = flags == kPropSet;
  if (int rc = begin_transfer(set, static_cast<std::uint8_t>(id), Channel::Prop); rc < 0)
    return rc;
  const bool short_form = id == kPropRegSelect || id == kPropRegValue;
  const std::size_t expected = short_form ? kShortRequest : kLongRequest;
  if (request.size() != expected)
    return violation("property " + n(id) + " in a " + n(request.size()) +
                     "-byte request (expected " + n(expected) + ")");
  const int rc = vendor_video ? vendor_video_property(id, set, request)
                              : bda_property(id, set, request);
  return rc < 0 ? rc : static_cast<int>(request.size());
}

int SimCamera::register_property(std::uint32_t id, bool set, bool wide,
                                 std::span<std::uint8_t> request) {
  const std::uint32_t a = word_at(request, kPropWordAAt);
  if (id == kPropRegSelect) {
    if (!set) return violation("get of the register select");
    const std::uint32_t len = a & 0xFF;
    const bool ok = wide ? valid_len(len) : (len == 1 || len == 2 || len == 4);
    if (!ok) return violation("register select of size " + n(len));
    const std::uint32_t addr = (a >> 8) & (wide ? 0xFFFFu : 0xFFu);
    prop_select_ = addr << 8 | len;
    prop_selected_ = true;
    return 0;
  }
  if (!prop_selected_) return violation("register value without a register select");
  const std::uint16_t addr = static_cast<std::uint16_t>(prop_select_ >> 8);
  const std::uint32_t len = prop_select_ & 0xFF;
  if (set) {
    for (std::uint32_t i = 0; i < len; ++i)
      write_reg(static_cast<std::uint16_t>(addr + i), static_cast<std::uint8_t>(a >> (8 * i)));
    return 0;
  }
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < len; ++i)
    value |= std::uint32_t{read_reg(static_cast<std::uint16_t>(addr + i))} << (8 * i);
  put_word(request, kPropWordAAt, value);
  put_word(request, kPropWordBAt, 0);
  return 0;
}

int SimCamera::vendor_video_property(std::uint32_t id, bool set, std::span<std::uint8_t> r) {
  const std::uint32_t a = word_at(r, kPropWordAAt);
  const std::uint32_t b = word_at(r, kPropWordBAt);
  const std::uint32_t c = word_at(r, kPropWordCAt);
  const std::span<std::uint8_t> payload = r.subspan(kPropPayloadAt, kPropPayload);
  const auto nak = [&] {
    ++counters_.failed;
    return -EPIPE;
  };
  switch (id) {
    case kPropRegSelect:
    case kPropRegValue:
      return register_property(id, set, false, r);
    case kPropI2cReadSetup: {
      if (!set) return violation("get of the I2C read set-up");
      if (b > kPropPayload || c > kPropPayload)
        return violation("I2C read set-up of " + n(b) + "+" + n(c) + " bytes");
      prop_latch_ = {id, a, b, c, {}};
      std::copy(payload.begin(), payload.end(), prop_latch_.payload.begin());
      return 0;
    }
    case kPropI2cData: {
      if (set) {
        if (b > kPropPayload) return violation("I2C write of " + n(b) + " bytes");
        if (!i2c_write(static_cast<std::uint8_t>(a), payload.first(b))) return nak();
        return 0;
      }
      const PropLatch l = prop_latch_;
      prop_latch_ = {};
      if (l.id != kPropI2cReadSetup) return violation("I2C data get without its set-up");
      const auto slave = static_cast<std::uint8_t>(l.a);
      bool ack = l.b == 0 || i2c_write(slave, std::span<const std::uint8_t>(l.payload).first(l.b));
      std::fill(r.begin() + kPropWordAAt, r.end(), 0);
      if (ack) ack = i2c_read(slave, payload.first(l.c));
      return ack ? 0 : nak();
    }
    case kPropSpiReadSetup: {
      if (!set) return violation("get of the serial-flash read set-up");
      if (a != 0) return violation("serial-flash read of target " + n(a));
      if (b < 1 || b > kPropPayload || c > kPropPayload)
        return violation("serial-flash read set-up of " + n(b) + "+" + n(c) + " bytes");
      flash_.clock_in(payload.subspan(1, b - 1));
      prop_latch_ = {id, a, payload[0], c, {}};
      return 0;
    }
    case kPropSpiData: {
      if (set) {
        if (a != 0) return violation("serial-flash write to target " + n(a));
        if (b < 1 || b > kPropPayload) return violation("serial-flash write of " + n(b) + " bytes");
        flash_.clock_in(payload.subspan(1, b - 1));
        if (payload[0]) flash_.deselect();
        return 0;
      }
      const PropLatch l = prop_latch_;
      prop_latch_ = {};
      if (l.id != kPropSpiReadSetup) return violation("serial-flash data get without its set-up");
      std::fill(r.begin() + kPropWordAAt, r.end(), 0);
      for (std::uint32_t i = 0; i < l.c; ++i) payload[i] = flash_.clock_out();
      if (l.b) flash_.deselect();
      return 0;
    }
    default:
      return violation("unknown vendor video property " + n(id));
  }
}

int SimCamera::bda_property(std::uint32_t id, bool set, std::span<std::uint8_t> r) {
  const std::uint32_t a = word_at(r, kPropWordAAt);
  const std::uint32_t b = word_at(r, kPropWordBAt);
  const std::uint32_t c = word_at(r, kPropWordCAt);
  const std::span<std::uint8_t> payload = r.subspan(kPropPayloadAt, kPropPayload);
  if (id == kPropRegSelect || id == kPropRegValue) return register_property(id, set, true, r);
  if (id != kPropBdaI2c) return violation("unknown BDA property " + n(id));
  if (b > kPropPayload || c > kPropPayload)
    return violation("BDA I2C transfer of " + n(b) + "+" + n(c) + " bytes");
  const auto nak = [&] {
    ++counters_.failed;
    return -EPIPE;
  };
  if (a == kBdaRegisterSlave) {
    // The bridge's own registers, addressed by a one-byte sub-address.
    if (b < 1) return violation("BDA register transfer without its address");
    const std::uint8_t addr = payload[0];
    if (set) {
      for (std::uint32_t i = 1; i < b; ++i)
        write_reg(static_cast<std::uint16_t>(addr + i - 1), payload[i]);
      return 0;
    }
    for (std::uint32_t i = 0; i < c; ++i) payload[i] = read_reg(static_cast<std::uint16_t>(addr + i));
    return 0;
  }
  const auto slave = static_cast<std::uint8_t>(a);
  if (set) return i2c_write(slave, payload.first(b)) ? 0 : nak();
  std::vector<std::uint8_t> sub(payload.begin(), payload.begin() + b);
  bool ack = sub.empty() || i2c_write(slave, sub);
  if (ack) ack = i2c_read(slave, payload.first(c));
  return ack ? 0 : nak();
}

}  // namespace lumavix::sim
