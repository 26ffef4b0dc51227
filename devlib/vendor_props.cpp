#include "devlib/vendor_props.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devlib/bytes.h"
#include "devlib/internal/library_state.h"
#include "devlib/library_lock.h"
#include "devlib/trace.h"
#include "devlib/video_xu.h"

namespace lumavix {

PropRequest::PropRequest(const Guid& set, std::uint32_t id, std::uint32_t flags, bool long_form)
    : size(long_form ? kLongRequest : kShortRequest) {
  std::copy(set.begin(), set.end(), bytes.begin());
  set_word(kPropIdAt, id);
  set_word(kPropFlagsAt, flags);
}

std::uint32_t PropRequest::word(std::size_t at) const {
  return load_le32(bytes.data() + at);
}

void PropRequest::set_word(std::size_t at, std::uint32_t v) {
  store_le32(bytes.data() + at, v);
}

}  // namespace lumavix

using namespace lumavix;

namespace {

// The property-set interfaces of the vendor positions, owned here; the table
// holds borrowed pointers.
std::unique_ptr<PropertySetDevice> g_devices[kMaxDevices];

bool call(PropertySetDevice* d, PropRequest& r) {
  if (!d) return false;
  SysError err;
  const int n = d->property(std::span<std::uint8_t>(r.bytes.data(), r.size), err);
  if (n < 0) {
    if (err.empty()) err = {-n, d->path() + ": " + std::strerror(-n)};
    set_last_transfer_error(err);
    return false;
  }
  return true;
}

// After a get, the answer's words and payload replace the request's; they
// are cleared first so that a short answer leaves zeros, not the question.
void clear_answer(PropRequest& r) {
  std::fill(r.bytes.begin() + kPropWordAAt, r.bytes.begin() + r.size, 0);
}

bool valid_reg_len(std::uint8_t len) { return len >= 1 && len <= 4; }

void add_cause_once(const std::string& cause) {
  const std::vector<std::string>& causes = library_state().causes;
  if (std::find(causes.begin(), causes.end(), cause) == causes.end()) add_cause(cause);
}

// ------------------------------------------------------ register access --

bool select_register(PropertySetDevice* d, const Guid& set, std::uint32_t select) {
  PropRequest r(set, kPropRegSelect, kPropSet, false);
  r.set_word(kPropWordAAt, select);
  return call(d, r);
}

bool read_value(PropertySetDevice* d, const Guid& set, std::uint32_t& value) {
  PropRequest r(set, kPropRegValue, kPropGet, false);
  if (!call(d, r)) return false;
  value = r.word(kPropWordAAt);
  return true;
}

bool write_value(PropertySetDevice* d, const Guid& set, std::uint32_t value) {
  PropRequest r(set, kPropRegValue, kPropSet, false);
  r.set_word(kPropWordAAt, value);
  return call(d, r);
}

// The vendor video set's register select: the low address byte and a size
// field of 1, 2 or 4.
std::uint32_t sys_select(const RegRequest& req) {
  return static_cast<std::uint32_t>(req.addr & 0xFF) << 8 | req.len;
}

// The BDA set's one-call I2C transfer, also used for the narrow register
// form (pseudo-slave 0xFF, the register address as sub-address).
bool bda_i2c_get(PropertySetDevice* d, std::uint32_t slave, const std::uint8_t* sub,
                 std::uint8_t sub_len, std::uint8_t* out, std::uint8_t len) {
  if (sub_len > kPropPayload || len > kPropPayload) return false;
  PropRequest r(kBdaVendorSetGuid, kPropBdaI2c, kPropGet, true);
  r.set_word(kPropWordAAt, slave);
  r.set_word(kPropWordBAt, sub_len);
  r.set_word(kPropWordCAt, len);
  std::memcpy(r.payload(), sub, sub_len);
  if (!call(d, r)) return false;
  std::memcpy(out, r.payload(), len);
  return true;
}

bool bda_i2c_set(PropertySetDevice* d, std::uint32_t slave, const std::uint8_t* bytes,
                 std::size_t len) {
  if (len > kPropPayload) return false;
  PropRequest r(kBdaVendorSetGuid, kPropBdaI2c, kPropSet, true);
  r.set_word(kPropWordAAt, slave);
  r.set_word(kPropWordBAt, static_cast<std::uint32_t>(len));
  std::memcpy(r.payload(), bytes, len);
  return call(d, r);
}

bool bda_narrow_read(PropertySetDevice* d, RegRequest& req) {
  const std::uint8_t sub = req.addr & 0xFF;
  std::uint8_t bytes[4] = {};
  if (!bda_i2c_get(d, kBdaRegisterSlave, &sub, 1, bytes, req.len)) return false;
  for (std::uint8_t i = 0; i < req.len; ++i) {
    req.value &= ~(0xFFu << (8 * i));
    req.value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  }
  return true;
}

// Before every register access: the chip id decides whether the address
// goes out whole. A chip id that cannot be read counts as 0.
bool bda_wide(PropertySetDevice* d, std::uint16_t addr) {
  RegRequest id;
  id.addr = kChipIdReg;
  id.len = 1;
  if (!bda_narrow_read(d, id)) id.value = 0;
  return (id.value & 0xFF) >= kBdaWideChipId && addr > 0xFF;
}

// ---------------------------------------------------------------- probes --

void release_all() {
  for (auto& d : g_devices) d.reset();
}

// Makes `device` table position `count` and counts it.
void take(std::unique_ptr<PropertySetDevice> device) {
  LibraryState& s = library_state();
  const std::int32_t pos = s.count++;
  g_devices[pos] = std::move(device);
  DeviceEntry& e = s.table[pos];
  e.hid = nullptr;
  e.control = g_devices[pos].get();
  e.variant = XuVariant::Kavex;
  e.gen = 0;
}

// Tries each device of `category` with `answers`; returns how many devices
// the category listed.
template <typename Answers>
std::size_t probe_category(DeviceCategory category, Answers answers, bool& limit_reached) {
  PropertySetBackend* backend = platform().props;
  std::vector<CategoryDevice> devices;
  SysError err;
  if (list_category(backend, category, devices, err) < 0) {
    if (!err.message.empty()) add_cause_once(err.message);
    return 0;
  }
  for (const CategoryDevice& dev : devices) {
    if (library_state().count == kMaxDevices) {
      limit_reached = true;
      break;
    }
    std::unique_ptr<PropertySetDevice> device;
    SysError bind_err;
    if (lookup_filter(backend, category, dev.path, device, bind_err) < 0 || !device) {
      if (!bind_err.message.empty()) add_cause_once(bind_err.message);
      continue;
    }
    RegRequest probe;
    probe.addr = kChipIdReg;
    probe.len = 1;
    if (!answers(device.get(), probe)) continue;
    take(std::move(device));
  }
  return devices.size();
}

bool open_lock() {
  LibraryState& s = library_state();
  if (!s.lock) s.lock = open_library_lock(nullptr, false);
  return s.lock != nullptr;
}

bool fail_probe() {
  LibraryState& s = library_state();
  release_all();
  for (std::int32_t i = 0; i < kMaxDevices; ++i) s.table[i].control = nullptr;
  s.lock.reset();
  s.kind = DeviceKind::None;
  s.count = 0;
  return false;
}

std::string none_answers(std::size_t listed, const char* what) {
  return "none of the " + std::to_string(listed) + " " + what +
         (listed == 1 ? " answers" : "s answers") + " the camera's vendor property set";
}

}  // namespace

void vendorprop_ReleaseAll() { release_all(); }

bool sysreg_Probe() {
  LibraryState& s = library_state();
  release_all();
  s.kind = DeviceKind::VendorVideo;
  s.count = 0;
  bool limit = false;
  const std::size_t listed = probe_category(
      DeviceCategory::VideoCapture,
      [](PropertySetDevice* d, RegRequest& r) { return sysreg_RegRead(d, r); }, limit);
  if (s.count == 0) {
    if (listed > 0) add_cause_once(none_answers(listed, "video capture device"));
    return fail_probe();
  }
  if (!open_lock()) return fail_probe();
  DebugTrace("Found SYS Device");
  return true;
}

bool bdareg_Probe() {
  LibraryState& s = library_state();
  release_all();
  s.kind = DeviceKind::BdaVendor;
  s.count = 0;
  auto answers = [](PropertySetDevice* d, RegRequest& r) { return bdareg_RegRead(d, r); };
  bool limit = false;
  const std::size_t receivers = probe_category(DeviceCategory::BroadcastReceiver, answers, limit);
  if (s.count > 0) {
    if (!open_lock()) return fail_probe();
    DebugTrace("Found BDA Device Handle:0x%X",
               static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(s.table[0].control)));
    return true;
  }
  // Capture devices that carry the BDA set themselves.
  const std::size_t captures = probe_category(DeviceCategory::VideoCapture, answers, limit);
  for (std::int32_t i = 0; i < s.count; ++i) {
    DebugTrace("Found BDA Device Num:%d DeviceHandle:0x%X", static_cast<int>(i),
               static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(s.table[0].control)));
  }
  if (s.count == 0) {
    if (receivers + captures > 0)
      add_cause_once(none_answers(receivers + captures, "receiver or capture device"));
    return fail_probe();
  }
  if (!open_lock()) return fail_probe();
  return true;
}

// ---------------------------------------------------------- vendor video --

bool sysreg_RegRead(PropertySetDevice* d, RegRequest& req) {
  // The size field says 1, 2 or 4; any other length would be read as 1.
  if (req.len != 1 && req.len != 2 && req.len != 4) return false;
  if (!select_register(d, kVendorVideoSetGuid, sys_select(req))) return false;
  return read_value(d, kVendorVideoSetGuid, req.value);
}

bool sysreg_RegWrite(PropertySetDevice* d, const RegRequest& req) {
  if (req.len != 1 && req.len != 2 && req.len != 4) return false;
  if (!select_register(d, kVendorVideoSetGuid, sys_select(req))) return false;
  return write_value(d, kVendorVideoSetGuid, req.value);
}

bool sysreg_I2cRead(PropertySetDevice* d, I2cRequest& req) {
  if (req.subLen > sizeof req.sub || req.dataLen > sizeof req.data) return false;
  if (static_cast<std::size_t>(req.subLen) > kPropPayload) return false;
  PropRequest setup(kVendorVideoSetGuid, kPropI2cReadSetup, kPropSet, true);
  setup.set_word(kPropWordAAt, req.slave);
  setup.set_word(kPropWordBAt, req.subLen);
  setup.set_word(kPropWordCAt, req.dataLen);
  std::memcpy(setup.payload(), req.sub, req.subLen);
  if (!call(d, setup)) return false;
  PropRequest data(kVendorVideoSetGuid, kPropI2cData, kPropGet, true);
  clear_answer(data);
  if (!call(d, data)) return false;
  std::memcpy(req.data, data.payload(), req.dataLen);
  return true;
}

bool sysreg_I2cWrite(PropertySetDevice* d, const I2cRequest& req) {
  if (req.subLen > sizeof req.sub || req.dataLen > sizeof req.data) return false;
  const std::size_t n = static_cast<std::size_t>(req.subLen) + req.dataLen;
  if (n > kPropPayload) return false;
  PropRequest r(kVendorVideoSetGuid, kPropI2cData, kPropSet, true);
  r.set_word(kPropWordAAt, req.slave);
  r.set_word(kPropWordBAt, static_cast<std::uint32_t>(n));
  std::memcpy(r.payload(), req.sub, req.subLen);
  std::memcpy(r.payload() + req.subLen, req.data, req.dataLen);
  return call(d, r);
}

bool sysreg_SpiRead(PropertySetDevice* d, SpiRequest& req) {
  if (req.wlen > sizeof req.wdata || req.rlen > sizeof req.data) return false;
  if (1u + req.wlen > kPropPayload) return false;
  PropRequest setup(kVendorVideoSetGuid, kPropSpiReadSetup, kPropSet, true);
  setup.set_word(kPropWordAAt, req.target);
  setup.set_word(kPropWordBAt, req.wlen + 1u);
  setup.set_word(kPropWordCAt, req.rlen);
  setup.payload()[0] = req.finish;
  std::memcpy(setup.payload() + 1, req.wdata, req.wlen);
  if (!call(d, setup)) return false;
  PropRequest data(kVendorVideoSetGuid, kPropSpiData, kPropGet, true);
  clear_answer(data);
  if (!call(d, data)) return false;
  std::memset(req.data, 0, sizeof req.data);
  std::memcpy(req.data, data.payload(), req.rlen);
  return true;
}

bool sysreg_SpiWrite(PropertySetDevice* d, const SpiRequest& req) {
  if (req.wlen > sizeof req.wdata || req.rlen > sizeof req.data) return false;
  const std::size_t n = 1u + req.wlen + req.rlen;
  if (n > kPropPayload) return false;
  PropRequest r(kVendorVideoSetGuid, kPropSpiData, kPropSet, true);
  r.set_word(kPropWordAAt, req.target);
  r.set_word(kPropWordBAt, static_cast<std::uint32_t>(n));
  r.payload()[0] = req.finish;
  std::memcpy(r.payload() + 1, req.wdata, req.wlen);
  std::memcpy(r.payload() + 1 + req.wlen, req.data, req.rlen);
  return call(d, r);
}

// ------------------------------------------------------------------ BDA --

bool bdareg_RegRead(PropertySetDevice* d, RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  if (!bda_wide(d, req.addr)) return bda_narrow_read(d, req);
  if (!select_register(d, kBdaVendorSetGuid, static_cast<std::uint32_t>(req.addr) << 8 | req.len))
    return false;
  return read_value(d, kBdaVendorSetGuid, req.value);
}

bool bdareg_RegWrite(PropertySetDevice* d, const RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  if (!bda_wide(d, req.addr)) {
    std::uint8_t bytes[5] = {static_cast<std::uint8_t>(req.addr & 0xFF)};
    for (std::uint8_t i = 0; i < req.len; ++i)
      bytes[1 + i] = static_cast<std::uint8_t>(req.value >> (8 * i));
    return bda_i2c_set(d, kBdaRegisterSlave, bytes, req.len + 1u);
  }
  if (!select_register(d, kBdaVendorSetGuid, static_cast<std::uint32_t>(req.addr) << 8 | req.len))
    return false;
  return write_value(d, kBdaVendorSetGuid, req.value);
}

bool bdareg_I2cRead(PropertySetDevice* d, I2cRequest& req) {
  if (req.subLen > sizeof req.sub || req.dataLen > sizeof req.data) return false;
  return bda_i2c_get(d, req.slave, req.sub, req.subLen, req.data, req.dataLen);
}

bool bdareg_I2cWrite(PropertySetDevice* d, const I2cRequest& req) {
  if (req.subLen > sizeof req.sub || req.dataLen > sizeof req.data) return false;
  std::uint8_t bytes[sizeof req.sub + sizeof req.data];
  std::memcpy(bytes, req.sub, req.subLen);
  std::memcpy(bytes + req.subLen, req.data, req.dataLen);
  return bda_i2c_set(d, req.slave, bytes, static_cast<std::size_t>(req.subLen) + req.dataLen);
}

// --------------------------------------------- the property-set transports --

namespace {

void release_props() {
  LibraryState& s = library_state();
  const std::int32_t n = s.count < kMaxDevices ? s.count : kMaxDevices;
  for (std::int32_t i = 0; i < n; ++i) s.table[i].control = nullptr;
  vendorprop_ReleaseAll();
}

// The property-set kinds keep their path in the bound device only.
std::string prop_path(std::int32_t i) {
  const DeviceEntry& e = library_state().table[i];
  return e.control ? prop_device(e)->path() : e.path;
}

std::string prop_writer_key(std::int32_t i) {
  const DeviceEntry& e = library_state().table[i];
  return e.control ? prop_device(e)->path() : std::string();
}

bool sys_reg_read(const DeviceEntry& e, RegRequest& r) { return sysreg_RegRead(prop_device(e), r); }
bool sys_reg_write(const DeviceEntry& e, const RegRequest& r) {
  return sysreg_RegWrite(prop_device(e), r);
}
bool sys_i2c_read(const DeviceEntry& e, I2cRequest& r) { return sysreg_I2cRead(prop_device(e), r); }
bool sys_i2c_write(const DeviceEntry& e, const I2cRequest& r) {
  return sysreg_I2cWrite(prop_device(e), r);
}
bool sys_spi_read(const DeviceEntry& e, SpiRequest& r) { return sysreg_SpiRead(prop_device(e), r); }
bool sys_spi_write(const DeviceEntry& e, const SpiRequest& r) {
  return sysreg_SpiWrite(prop_device(e), r);
}

bool bda_reg_read(const DeviceEntry& e, RegRequest& r) { return bdareg_RegRead(prop_device(e), r); }
bool bda_reg_write(const DeviceEntry& e, const RegRequest& r) {
  return bdareg_RegWrite(prop_device(e), r);
}
bool bda_i2c_read(const DeviceEntry& e, I2cRequest& r) { return bdareg_I2cRead(prop_device(e), r); }
bool bda_i2c_write(const DeviceEntry& e, const I2cRequest& r) {
  return bdareg_I2cWrite(prop_device(e), r);
}

}  // namespace

namespace lumavix {

// Neither set carries a chip generation.
const Transport kVendorVideoTransport{
    DeviceKind::VendorVideo, "%s Is Vendor Video Device", sysreg_Probe, release_props,
    nullptr,                 sys_reg_read,                sys_reg_write, sys_i2c_read,
    sys_i2c_write,           sys_spi_read,                sys_spi_write, prop_path,
    prop_writer_key,
};

// The BDA set has no serial-flash commands.
const Transport kBdaVendorTransport{
    DeviceKind::BdaVendor, "%s Is BDA Vendor Device", bdareg_Probe, release_props,
    nullptr,               bda_reg_read,              bda_reg_write, bda_i2c_read,
    bda_i2c_write,         nullptr,                   nullptr,       prop_path,
    prop_writer_key,
};

}  // namespace lumavix
