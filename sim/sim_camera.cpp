#include "sim/sim_camera.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "devlib/clock.h"

namespace lumavix::sim {

namespace {

// Frame limits of the 40-byte data report.
constexpr std::size_t kMaxLegacyI2cWrite = 37;
constexpr std::size_t kMaxLegacyI2cRead = 40;
constexpr std::size_t kMaxSpiWrite = 37;
constexpr std::size_t kMaxSpiRead = 40;
constexpr std::size_t kMaxExtI2cRead = 39;
constexpr std::size_t kExtHeader = 5;  // command, 0, slave, 0, sub-address length

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
  return buf;
}

bool valid_reg_length(unsigned len) { return len == 1 || len == 2 || len == 4; }

}  // namespace

std::vector<SimNode> plain_topology() {
  return {SimNode::Terminal, SimNode::ProcessingUnit, SimNode::Terminal};
}

std::vector<std::uint8_t> camera_report_descriptor() {
  return {
      0x06, 0x00, 0xFF,        // Usage Page (vendor 0xFF00)
      0x09, 0x01,              // Usage 1
      0xA1, 0x01,              // Collection (Application)
      0x15, 0x00,              //   Logical Minimum 0
      0x26, 0xFF, 0x00,        //   Logical Maximum 255
      0x75, 0x08,              //   Report Size 8
      0x85, 0x87, 0x95, 0x04,  //   Report ID 0x87, Report Count 4
      0x09, 0x02, 0xB1, 0x02,  //   Usage 2, Feature (Data,Var,Abs)
      0x85, 0x93, 0x95, 0x28,  //   Report ID 0x93, Report Count 40
      0x09, 0x03, 0xB1, 0x02,  //   Usage 3, Feature (Data,Var,Abs)
      0x85, 0x97, 0x95, 0x28,  //   Report ID 0x97, Report Count 40
      0x09, 0x04, 0xB1, 0x02,  //   Usage 4, Feature (Data,Var,Abs)
      0xC0,                    // End Collection
  };
}

SimCamera::SimCamera(SimCameraConfig config)
    : config_(std::move(config)),
      path_(config_.path),
      port_(config_.port),
      regs_(kRegisterSpace, 0),
      flash_(config_.flash_id, config_.flash_present),
      eeprom_(config_.eeprom_size),
      latency_us_(config_.latency_us),
      fail_at_(config_.fail_at),
      fail_rate_(config_.fail_rate),
      rng_(config_.seed),
      unplug_after_(config_.unplug_after),
      refuse_97_(config_.refuse_97) {
  regs_[kRegEepromCtl] = 0x4F;
  regs_[kRegGpioOut0] = regs_[kRegGpioIn0] = 0x80;
  regs_[kRegGpioOut1] = regs_[kRegGpioIn1] = 0x01;
  reset_identity_registers();
  std::vector<std::uint8_t>& fm = flash_.memory();
  std::copy_n(config_.flash_content.begin(), std::min(fm.size(), config_.flash_content.size()),
              fm.begin());
  std::vector<std::uint8_t>& em = eeprom_.memory();
  std::copy_n(config_.eeprom_content.begin(),
              std::min(em.size(), config_.eeprom_content.size()), em.begin());
  flash_.set_busy_times(config_.busy_times);
  flash_.set_stuck_busy(config_.stuck_busy);
}

void SimCamera::reset_identity_registers() {
  std::copy(config_.chip_id.begin(), config_.chip_id.end(), regs_.begin() + kRegChipId);
  regs_[kRegChipIdByte] = config_.chip_id_byte;
  regs_[kRegBusStatus] = static_cast<std::uint8_t>(
      (regs_[kRegBusStatus] & ~kBusStatusSpiBoot) | (config_.spi_boot ? kBusStatusSpiBoot : 0));
}

// ---------------------------------------------------------------- endpoint --

void SimCamera::note_violation(std::string message) {
  violations_.push_back({counters_.total, std::move(message)});
}

int SimCamera::violation(std::string message) {
  note_violation(std::move(message));
  pending_ = Pending::None;
  ++counters_.failed;
  return -EPIPE;
}

void SimCamera::drop_pending_with_note() {
  if (pending_ == Pending::None) return;
  if (pending_ == Pending::ExtI2cWrite)
    note_violation("extended I2C write was not followed by its 0x93 data");
  else
    note_violation("command " + hex2(pending_cmd_[0]) + " was not followed by its 0x93 transfer");
  pending_ = Pending::None;
}

int SimCamera::begin_transfer(bool set, std::uint8_t report_id, Channel channel) {
  ++counters_.total;
  switch (channel) {
    case Channel::Hid:
      ++(set ? counters_.sets : counters_.gets)[report_id];
      break;
    case Channel::Xu:
      ++(set ? counters_.xu_sets : counters_.xu_gets)[report_id];
      break;
    case Channel::Prop:
      ++(set ? counters_.prop_sets : counters_.prop_gets)[report_id];
      break;
  }
  settle_replug_locked();
  if (!unplugged_ && unplug_after_ && counters_.total > *unplug_after_) {
    unplugged_ = true;
    pending_ = Pending::None;
    flash_.power_cycle();
  }
  if (unplugged_) {
    ++counters_.failed;
    return -ENODEV;
  }
  bool fail = fail_at_ != 0 && counters_.total == fail_at_;
  if (!fail && fail_rate_ > 0.0) {
    const double u = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
    fail = u < fail_rate_;
  }
  if (fail) {
    // The exchange broke down; the bridge forgets a half-done command.
    pending_ = Pending::None;
    ++counters_.failed;
    return -EIO;
  }
  return 0;
}

int SimCamera::set_feature(std::span<const std::uint8_t> report) {
  if (const std::uint32_t lat = latency_us_.load()) clock().sleep_us(lat);
  std::lock_guard<std::mutex> lock(mu_);
  const std::uint8_t id = report.empty() ? 0 : report[0];
  if (int rc = begin_transfer(true, id); rc < 0) return rc;
  if (report.empty()) return violation("SET_REPORT without a report id");
  const std::span<const std::uint8_t> payload = report.subspan(1);
  const auto wrong_length = [&](std::size_t expected) {
    return violation("SET_REPORT " + hex2(id) + " of " + std::to_string(report.size()) +
                     " bytes (expected " + std::to_string(expected + 1) + ")");
  };
  int rc = 0;
  switch (id) {
    case kReport87:
      if (payload.size() != kCommandPayload) return wrong_length(kCommandPayload);
      rc = on_command(payload.first<kCommandPayload>());
      break;
    case kReport93:
      if (payload.size() != kDataPayload) return wrong_length(kDataPayload);
      rc = on_data_set(payload);
      break;
    case kReport97:
      if (refuse_97_) {
        // A bridge without the extended command stalls the request.
        ++counters_.failed;
        return -EPIPE;
      }
      if (payload.size() != kDataPayload) return wrong_length(kDataPayload);
      rc = on_ext_i2c(payload);
      break;
    default:
      return violation("SET_REPORT of unknown report " + hex2(id));
  }
  return rc < 0 ? rc : static_cast<int>(report.size());
}

int SimCamera::get_feature(std::span<std::uint8_t> report) {
  if (const std::uint32_t lat = latency_us_.load()) clock().sleep_us(lat);
  std::lock_guard<std::mutex> lock(mu_);
  const std::uint8_t id = report.empty() ? 0 : report[0];
  if (int rc = begin_transfer(false, id); rc < 0) return rc;
  if (report.empty()) return violation("GET_REPORT without a report id");
  if (id == kReport87 || id == kReport97)
    return violation("GET_REPORT of " + hex2(id) + ", a report that is only set");
  if (id != kReport93) return violation("GET_REPORT of unknown report " + hex2(id));
  if (report.size() != kDataReply)
    return violation("GET_REPORT 0x93 of " + std::to_string(report.size()) + " bytes (expected " +
                     std::to_string(kDataReply) + ")");
  std::array<std::uint8_t, kDataReply> reply{};
  if (int rc = on_data_get(reply); rc < 0) return rc;
  std::copy(reply.begin(), reply.end(), report.begin());
  return static_cast<int>(kDataReply);
}

int SimCamera::on_command(std::span<const std::uint8_t, kCommandPayload> p) {
  drop_pending_with_note();
  Pending next = Pending::None;
  switch (p[0]) {
    case 0x00:
      if (!valid_reg_length(p[2]))
        return violation("register read of length " + std::to_string(p[2]));
      next = Pending::RegRead8;
      break;
    case 0x08:
      if (!valid_reg_length(p[3]))
        return violation("register read of length " + std::to_string(p[3]));
      next = Pending::RegRead16;
      break;
    case 0x01:
      next = Pending::RegWrite8;
      break;
    case 0x09:
      next = Pending::RegWrite16;
      break;
    case 0x02:
      if (p[2] > kMaxLegacyI2cRead)
        return violation("I2C read of " + std::to_string(p[2]) + " bytes (at most 40)");
      next = Pending::I2cRead;
      break;
    case 0x03:
      next = Pending::I2cWrite;
      break;
    case 0x0A:
      if (p[1] != 0) return violation("serial-flash read of target " + std::to_string(p[1]));
      if (p[2] > kMaxSpiRead)
        return violation("serial-flash read of " + std::to_string(p[2]) + " bytes (at most 40)");
      next = Pending::SpiRead;
      break;
    case 0x0B:
      next = Pending::SpiWrite;
      break;
    default:
      return violation("unknown command " + hex2(p[0]) + " on report 0x87");
  }
  std::copy(p.begin(), p.end(), pending_cmd_.begin());
  pending_ = next;
  return 0;
}

int SimCamera::on_data_set(std::span<const std::uint8_t> p) {
  const Pending kind = pending_;
  pending_ = Pending::None;
  switch (kind) {
    case Pending::RegWrite8:
    case Pending::RegWrite16: {
      const bool wide = kind == Pending::RegWrite16;
      const std::uint16_t addr = wide ? static_cast<std::uint16_t>(p[0] | p[1] << 8) : p[0];
      const std::uint8_t len = p[wide ? 2 : 1];
      if (!valid_reg_length(len)) return violation("register write of length " + std::to_string(len));
      const std::size_t first = wide ? 3 : 2;
      for (std::size_t i = 0; i < len; ++i)
        write_reg(static_cast<std::uint16_t>(addr + i), p[first + i]);
      return 0;
    }
    case Pending::I2cWrite: {
      const std::uint8_t count = p[1];
      if (count > kMaxLegacyI2cWrite)
        return violation("I2C write of " + std::to_string(count) + " bytes (at most 37)");
      const bool ack = i2c_write(p[0], p.subspan(3, count));
      regs_[kRegBusStatus] = static_cast<std::uint8_t>(
          (regs_[kRegBusStatus] & ~kBusStatusI2cNak) | (ack ? 0 : kBusStatusI2cNak));
      return 0;
    }
    case Pending::SpiWrite: {
      if (p[0] != 0) return violation("serial-flash write to target " + std::to_string(p[0]));
      const std::uint8_t count = p[1];
      if (count > kMaxSpiWrite)
        return violation("serial-flash write of " + std::to_string(count) + " bytes (at most 37)");
      if (stuck_protection_ && !flash_.selected() && count >= 2 && p[3] == kOpWriteStatus) {
        std::vector<std::uint8_t> bytes(p.begin() + 3, p.begin() + 3 + count);
        bytes[1] |= kStatusBp;
        flash_.clock_in(bytes);
      } else {
        flash_.clock_in(p.subspan(3, count));
      }
      if (p[2]) flash_.deselect();
      return 0;
    }
    case Pending::ExtI2cWrite:
      // The data frame repeats the extended command, which already ran.
      return 0;
    default:
      return violation("SET_REPORT 0x93 without a preceding write command");
  }
}

int SimCamera::on_ext_i2c(std::span<const std::uint8_t> p) {
  drop_pending_with_note();
  const std::uint8_t cmd = p[0];
  const std::uint8_t slave = p[2];
  const std::size_t sub_len = p[4];
  if (cmd != 0x0C && cmd != 0x0D)
    return violation("unknown command " + hex2(cmd) + " on report 0x97");
  if (kExtHeader + sub_len + 1 > kDataPayload)
    return violation("extended I2C command with a sub-address of " + std::to_string(sub_len) +
                     " bytes (at most 34)");
  const std::span<const std::uint8_t> sub = p.subspan(kExtHeader, sub_len);
  const std::size_t count = p[kExtHeader + sub_len];
  if (cmd == 0x0C) {
    if (count > kMaxExtI2cRead)
      return violation("extended I2C read of " + std::to_string(count) + " bytes (at most 39)");
    pending_reply_.fill(0);
    bool ack = sub.empty() || i2c_write(slave, sub);
    if (ack) ack = i2c_read(slave, std::span<std::uint8_t>(pending_reply_).subspan(1, count));
    // The status byte is the number of bytes read, 0 when the slave did not
    // answer.
    pending_reply_[0] = ack ? static_cast<std::uint8_t>(count) : 0;
    if (!ack) std::fill(pending_reply_.begin() + 1, pending_reply_.end(), 0);
    pending_cmd_ = {cmd, p[1], slave, p[3]};
    pending_ = Pending::ExtI2cRead;
    return 0;
  }
  if (kExtHeader + sub_len + 1 + count > kDataPayload)
    return violation("extended I2C write of " + std::to_string(sub_len + count) +
                     " bytes (at most 34)");
  std::vector<std::uint8_t> bytes(sub.begin(), sub.end());
  const auto data = p.subspan(kExtHeader + sub_len + 1, count);
  bytes.insert(bytes.end(), data.begin(), data.end());
  (void)i2c_write(slave, bytes);
  pending_cmd_ = {cmd, p[1], slave, p[3]};
  pending_ = Pending::ExtI2cWrite;
  return 0;
}

int SimCamera::on_data_get(std::array<std::uint8_t, kDataReply>& reply) {
  const Pending kind = pending_;
  const auto& c = pending_cmd_;
  pending_ = Pending::None;
  switch (kind) {
    case Pending::RegRead8:
    case Pending::RegRead16: {
      const bool wide = kind == Pending::RegRead16;
      const std::uint16_t addr = wide ? static_cast<std::uint16_t>(c[1] | c[2] << 8) : c[1];
      const std::uint8_t len = wide ? c[3] : c[2];
      for (std::size_t i = 0; i < len; ++i) reply[i] = read_reg(static_cast<std::uint16_t>(addr + i));
      return 0;
    }
    case Pending::I2cRead: {
      const std::span<std::uint8_t> out = std::span<std::uint8_t>(reply).first(c[2]);
      const bool ack = i2c_read(c[1], out);
      regs_[kRegBusStatus] = static_cast<std::uint8_t>(
          (regs_[kRegBusStatus] & ~kBusStatusI2cNak) | (ack ? 0 : kBusStatusI2cNak));
      return 0;
    }
    case Pending::SpiRead:
      for (std::size_t i = 0; i < c[2]; ++i) {
        reply[i] = flash_.clock_out();
        if (corrupt_read_at_ != 0 && ++flash_reply_bytes_ == corrupt_read_at_)
          reply[i] ^= corrupt_mask_;
      }
      if (c[3]) flash_.deselect();
      return 0;
    case Pending::ExtI2cRead:
      reply = pending_reply_;
      return 0;
    default:
      return violation("GET_REPORT 0x93 without a preceding read command");
  }
}

// ---------------------------------------------------------------- registers --

std::uint8_t SimCamera::read_reg(std::uint16_t addr) const { return regs_[addr]; }

void SimCamera::write_reg(std::uint16_t addr, std::uint8_t value) {
  switch (addr) {
    case kRegChipId:
    case kRegChipId + 1:
    case kRegChipId + 2:
    case kRegChipId + 3:
    case kRegChipIdByte:
    case kRegGpioIn0:
    case kRegGpioIn1:
      return;  // read-only
    case kRegBusStatus: {
      const std::uint8_t device_bits = kBusStatusSpiBoot | kBusStatusI2cNak;
      regs_[addr] = static_cast<std::uint8_t>((regs_[addr] & device_bits) | (value & ~device_bits));
      return;
    }
    case kRegGpioOut0:
      regs_[addr] = value;
      regs_[kRegGpioIn0] = value;
      return;
    case kRegGpioOut1:
      regs_[addr] = value;
      regs_[kRegGpioIn1] = value;
      return;
    default:
      regs_[addr] = value;
  }
}

// ---------------------------------------------------------------- I2C bus --

bool SimCamera::i2c_write(std::uint8_t slave, std::span<const std::uint8_t> bytes) {
  if ((slave & 0xFE) != kEepromSlave) return false;
  eeprom_.write(bytes, (regs_[kRegEepromCtl] & kEepromWriteProtect) != 0);
  return true;
}

bool SimCamera::i2c_read(std::uint8_t slave, std::span<std::uint8_t> out) {
  if ((slave & 0xFE) != kEepromSlave) {
    // Nobody drives the bus: the lines stay high.
    std::fill(out.begin(), out.end(), 0xFF);
    return false;
  }
  eeprom_.read(out);
  return true;
}

// ---------------------------------------------------------------- accessors --

TransferCounters SimCamera::counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_;
}

void SimCamera::reset_counters() {
  std::lock_guard<std::mutex> lock(mu_);
  counters_ = {};
}

std::vector<Violation> SimCamera::violations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return violations_;
}

void SimCamera::clear_violations() {
  std::lock_guard<std::mutex> lock(mu_);
  violations_.clear();
}

SpiFlashStats SimCamera::flash_stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  return flash_.stats();
}

void SimCamera::record_flash_ops(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  flash_.set_recording(on);
}

std::vector<SpiFlashOp> SimCamera::flash_ops() const {
  std::lock_guard<std::mutex> lock(mu_);
  return flash_.recorded();
}

std::uint8_t SimCamera::reg(std::uint16_t addr) const {
  std::lock_guard<std::mutex> lock(mu_);
  return regs_[addr];
}

void SimCamera::set_reg(std::uint16_t addr, std::uint8_t value) {
  std::lock_guard<std::mutex> lock(mu_);
  regs_[addr] = value;
}

std::size_t SimCamera::flash_size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return flash_.memory().size();
}

std::vector<std::uint8_t> SimCamera::flash_bytes(std::uint32_t addr, std::uint32_t len) const {
  std::lock_guard<std::mutex> lock(mu_);
  const std::vector<std::uint8_t>& m = flash_.memory();
  if (addr >= m.size()) return {};
  const std::size_t n = std::min<std::size_t>(len, m.size() - addr);
  return {m.begin() + addr, m.begin() + addr + n};
}

void SimCamera::write_flash_bytes(std::uint32_t addr, std::span<const std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::uint8_t>& m = flash_.memory();
  if (addr >= m.size()) return;
  const std::size_t n = std::min(bytes.size(), m.size() - addr);
  std::copy_n(bytes.begin(), n, m.begin() + addr);
}

std::uint8_t SimCamera::flash_status() {
  std::lock_guard<std::mutex> lock(mu_);
  return flash_.status();
}

void SimCamera::set_flash_protection(std::uint8_t nv_status_bits) {
  std::lock_guard<std::mutex> lock(mu_);
  flash_.set_nv_status(nv_status_bits);
}

bool SimCamera::flash_selected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return flash_.selected();
}

std::size_t SimCamera::eeprom_size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return eeprom_.memory().size();
}

std::vector<std::uint8_t> SimCamera::eeprom_bytes(std::uint32_t addr, std::uint32_t len) const {
  std::lock_guard<std::mutex> lock(mu_);
  const std::vector<std::uint8_t>& m = eeprom_.memory();
  if (addr >= m.size()) return {};
  const std::size_t n = std::min<std::size_t>(len, m.size() - addr);
  return {m.begin() + addr, m.begin() + addr + n};
}

void SimCamera::write_eeprom_bytes(std::uint32_t addr, std::span<const std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::uint8_t>& m = eeprom_.memory();
  if (addr >= m.size()) return;
  const std::size_t n = std::min(bytes.size(), m.size() - addr);
  std::copy_n(bytes.begin(), n, m.begin() + addr);
}

CameraMemories SimCamera::export_memories() const {
  std::lock_guard<std::mutex> lock(mu_);
  return {regs_, flash_.memory(), flash_.nv_status(), eeprom_.memory()};
}

bool SimCamera::memories_fit(const CameraMemories& m, std::string& why) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto mismatch = [&](const char* what, std::size_t got, std::size_t want) {
    why = std::string(what) + " of " + std::to_string(got) + " bytes, the camera's has " +
          std::to_string(want);
    return false;
  };
  if (m.registers.size() != regs_.size())
    return mismatch("register file", m.registers.size(), regs_.size());
  if (m.flash.size() != flash_.memory().size())
    return mismatch("flash", m.flash.size(), flash_.memory().size());
  if (m.eeprom.size() != eeprom_.memory().size())
    return mismatch("EEPROM", m.eeprom.size(), eeprom_.memory().size());
  return true;
}

void SimCamera::import_memories(const CameraMemories& m) {
  std::lock_guard<std::mutex> lock(mu_);
  if (m.registers.size() == regs_.size()) regs_ = m.registers;
  reset_identity_registers();
  if (m.flash.size() == flash_.memory().size()) flash_.memory() = m.flash;
  flash_.set_nv_status(m.flash_status);
  if (m.eeprom.size() == eeprom_.memory().size()) eeprom_.memory() = m.eeprom;
}

std::string SimCamera::port() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_;
}

void SimCamera::set_port(std::string port) {
  std::lock_guard<std::mutex> lock(mu_);
  port_ = std::move(port);
}

// ------------------------------------------------------------------ faults --

void SimCamera::set_latency_us(std::uint32_t us) { latency_us_.store(us); }

void SimCamera::set_fail_at(std::uint64_t transfer) {
  std::lock_guard<std::mutex> lock(mu_);
  fail_at_ = transfer;
}

void SimCamera::set_fail_rate(double p, std::uint64_t seed) {
  std::lock_guard<std::mutex> lock(mu_);
  fail_rate_ = std::clamp(p, 0.0, 1.0);
  rng_.seed(seed);
}

void SimCamera::set_unplug_after(std::optional<std::uint64_t> transfers) {
  std::lock_guard<std::mutex> lock(mu_);
  unplug_after_ = transfers;
}

void SimCamera::unplug() {
  std::lock_guard<std::mutex> lock(mu_);
  leave_at_ms_.reset();
  power_off_locked();
}

void SimCamera::power_off_locked() {
  unplugged_ = true;
  pending_ = Pending::None;
  xu_length_ = 1;
  xu_latch_ = {};
  aveo_latch_ = {};
  prop_latch_ = {};
  prop_selected_ = false;
  flash_.power_cycle();
}

void SimCamera::replug() {
  std::lock_guard<std::mutex> lock(mu_);
  leave_at_ms_.reset();
  programs_at_plug_ = flash_.stats().page_programs;
  unplugged_ = false;
  unplug_after_.reset();
  pending_ = Pending::None;
  flash_.power_cycle();
}

bool SimCamera::unplugged() const {
  std::lock_guard<std::mutex> lock(mu_);
  const_cast<SimCamera*>(this)->settle_replug_locked();
  return unplugged_;
}

// Time moves only when someone looks: every transfer and every listing
// settles where the reconnection has got to.
void SimCamera::settle_replug_locked() {
  if (!config_.replug_after_update) return;
  const SpiFlashStats st = flash_.stats();
  const std::uint32_t now = clock().ticks_ms();
  if (!leave_at_ms_ && st.protecting_writes > protects_seen_ &&
      st.page_programs > programs_at_plug_) {
    leave_at_ms_ = now + kReplugLeaveMs;
  }
  protects_seen_ = st.protecting_writes;
  if (!leave_at_ms_) return;
  const std::uint32_t since = now - *leave_at_ms_;
  if (static_cast<std::int32_t>(since) < 0) return;
  if (since < kReplugAwayMs) {
    if (!unplugged_) power_off_locked();
    return;
  }
  leave_at_ms_.reset();
  programs_at_plug_ = st.page_programs;
  unplugged_ = false;
  pending_ = Pending::None;
}

void SimCamera::set_stuck_busy(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  flash_.set_stuck_busy(on);
}

void SimCamera::set_busy_times(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  flash_.set_busy_times(on);
}

void SimCamera::set_refuse_97(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  refuse_97_ = on;
}

void SimCamera::set_corrupt_flash_read(std::uint64_t nth, std::uint8_t mask) {
  std::lock_guard<std::mutex> lock(mu_);
  corrupt_read_at_ = nth;
  flash_reply_bytes_ = 0;
  corrupt_mask_ = mask;
}

void SimCamera::set_stuck_protection(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  stuck_protection_ = on;
}

}  // namespace lumavix::sim
