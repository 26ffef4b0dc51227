#include "devlib/video_xu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "devlib/internal/library_state.h"
#include "devlib/library_lock.h"
#include "devlib/trace.h"

namespace lumavix {

std::string guid_text(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12],
                g[13], g[14], g[15]);
  return buf;
}

std::array<std::uint8_t, 32> encode_xu_query(const XuQuery& q) {
  std::array<std::uint8_t, 32> out{};
  std::copy(q.unit.begin(), q.unit.end(), out.begin());
  const std::uint32_t words[4] = {q.selector, q.flags, q.node, 0};
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) out[16 + 4 * w + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
  return out;
}

bool xu_length_varies(std::uint32_t selector) {
  switch (selector) {
    case XU_REG_READ:
    case XU_REG_WRITE:
    case XU_I2C_READ:
    case XU_I2C_WRITE:
    case XU_SPI_READ:
    case XU_SPI_WRITE:
    case XU_XDATA_READ:
    case XU_XDATA_WRITE:
      return true;
    default:
      return false;
  }
}

XuRoute xu_route(std::uint32_t selector) {
  return xu_length_varies(selector) ? XuRoute::RawUsb : XuRoute::Driver;
}

const Guid& xu_unit_guid(XuVariant variant) {
  switch (variant) {
    case XuVariant::Aveo: return kAveoUnitGuid;
    case XuVariant::Etron: return kEtronUnitGuid;
    case XuVariant::Kavex: break;
  }
  return kKavexUnitGuid;
}

std::vector<std::size_t> merge_order(const DeviceEntry* table, std::int32_t known,
                                     const std::vector<std::string>& found) {
  std::vector<std::size_t> order;
  std::vector<bool> taken(found.size(), false);
  const auto key = [](const std::string& p) { return p.substr(0, kMaxTablePath); };
  const std::int32_t n = std::clamp<std::int32_t>(known, 0, kMaxDevices);
  for (std::int32_t i = 0; i < n; ++i) {
    const std::string old = key(table[i].path);
    for (std::size_t f = 0; f < found.size(); ++f) {
      // A camera answers for one known position only, so two positions with
      // the same path never share an interface.
      if (taken[f] || key(found[f]) != old) continue;
      taken[f] = true;
      order.push_back(f);
      break;
    }
  }
  for (std::size_t f = 0; f < found.size(); ++f) {
    if (!taken[f]) order.push_back(f);
  }
  return order;
}

}  // namespace lumavix

using namespace lumavix;

namespace {

// The control interfaces of the video-class positions, owned here; the
// table holds borrowed pointers.
std::unique_ptr<VideoControl> g_controls[kMaxDevices];

std::uint32_t& node_id(XuVariant v) {
  return library_state().node_ids[static_cast<std::size_t>(v)];
}

// One control transfer on `variant`'s unit at that variant's node.
bool transfer(VideoControl* c, XuVariant variant, std::uint32_t selector, std::uint32_t flags,
              std::span<std::uint8_t> data, XuRoute route) {
  if (!c) return false;
  const XuQuery q{xu_unit_guid(variant), selector, flags, node_id(variant), route};
  SysError err;
  const int n = c->xu_request(q, data, err);
  if (n < 0) {
    if (err.empty()) err = {-n, c->path() + ": " + std::strerror(-n)};
    set_last_transfer_error(err);
    return false;
  }
  return true;
}

bool set(VideoControl* c, std::uint8_t selector, const std::uint8_t* payload, std::size_t len,
         XuRoute route) {
  std::uint8_t buf[256] = {};
  if (len > sizeof buf) return false;
  std::memcpy(buf, payload, len);
  return transfer(c, XuVariant::Kavex, selector, kXuFlagSet, std::span<std::uint8_t>(buf, len),
                  route);
}

bool get(VideoControl* c, std::uint8_t selector, std::uint8_t* out, std::size_t len,
         XuRoute route) {
  return transfer(c, XuVariant::Kavex, selector, kXuFlagGet, std::span<std::uint8_t>(out, len),
                  route);
}

// Announces the length of the next variable-length set. The announcement
// takes the route of the transfer it announces, so both reach the device
// in order whichever way they go.
bool set_length(VideoControl* c, std::uint32_t len, XuRoute route) {
  const std::uint8_t b = static_cast<std::uint8_t>(len);
  return set(c, XU_LENGTH, &b, 1, route);
}

// Register lengths the 32-bit request value can carry.
bool valid_reg_len(std::uint8_t len) { return len >= 1 && len <= 4; }

void put_value(std::uint8_t* out, std::uint32_t value, std::uint8_t len) {
  for (std::uint8_t i = 0; i < len; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Replaces the low `len` bytes of `value` with `bytes`.
void take_value(std::uint32_t& value, const std::uint8_t* bytes, std::uint8_t len) {
  for (std::uint8_t i = 0; i < len; ++i) {
    value &= ~(0xFFu << (8 * i));
    value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  }
}

// After a legacy I2C transfer: bit 4 of register 0x05 tells that the slave
// did not answer. A status that cannot be read says nothing about the
// slave, so the transfer counts as failed.
bool bus_status_ok(VideoControl* c) {
  RegRequest r;
  r.addr = 0x05;
  r.len = 1;
  if (!vidxu_RegRead(c, r)) return false;
  return (r.value & 0x10) == 0;
}

void release_all() {
  for (auto& c : g_controls) c.reset();
}

// ---------------------------------------------------------------- Aveo --

using AveoPayload = std::array<std::uint8_t, kAveoPayload>;

bool aveo_set(VideoControl* c, const AveoPayload& p) {
  std::uint8_t buf[kAveoTransferLen] = {};
  std::copy(p.begin(), p.end(), buf);
  return transfer(c, XuVariant::Aveo, kAveoSelector, kXuFlagSet,
                  std::span<std::uint8_t>(buf, kAveoTransferLen), XuRoute::Driver);
}

bool aveo_get(VideoControl* c, std::uint8_t (&reply)[kAveoTransferLen]) {
  std::memset(reply, 0, sizeof reply);
  return transfer(c, XuVariant::Aveo, kAveoSelector, kXuFlagGet,
                  std::span<std::uint8_t>(reply, kAveoTransferLen), XuRoute::Driver);
}

// The sub-address as a 16-bit number (most significant byte first on the
// bus) and the mode byte: bit 0 = bit 1 of the transfer length, bit 4 = bit
// 1 of the sub-address length.
std::uint16_t aveo_sub_word(const I2cRequest& r) {
  if (r.subLen >= 2) return static_cast<std::uint16_t>(r.sub[0] << 8 | r.sub[1]);
  return r.subLen == 1 ? r.sub[0] : 0;
}

std::uint8_t aveo_mode(std::uint8_t transfer_len, std::uint8_t sub_len) {
  return static_cast<std::uint8_t>(((transfer_len >> 1) & 1) | (((sub_len >> 1) & 1) << 4));
}

}  // namespace

// ------------------------------------------------------------ the probe --

void vidxu_ReleaseAll() { release_all(); }

bool vidxu_FindUnit(VideoControl* filter, XuVariant variant) {
  if (!filter) return false;
  const std::uint32_t nodes = filter->node_count();
  for (std::uint32_t node = 0; node < nodes; ++node) {
    if (!filter->node_is_extension_unit(node)) continue;
    const XuQuery q{xu_unit_guid(variant), 0, kXuFlagSetSupport, node};
    SysError err;
    if (filter->xu_request(q, {}, err) >= 0) {
      node_id(variant) = node;
      return true;
    }
    // The bridge maker's unit is only looked for on the first such node.
    if (variant == XuVariant::Kavex) return false;
  }
  return false;
}

bool EnumVideoDevice() {
  LibraryState& s = library_state();
  release_all();
  std::unique_ptr<LibraryLock> lock = open_library_lock(nullptr, true);
  if (!lock) return false;

  VideoClassBackend* backend = platform().video;
  std::vector<CategoryDevice> devices;
  SysError list_err;
  const HRESULT32 listed =
      list_category(backend, DeviceCategory::VideoCapture, devices, list_err);
  DebugTrace("EnumVideoDevice found %d Cap Filters", static_cast<int>(devices.size()));
  if (listed < 0 && !list_err.message.empty()) add_cause(list_err.message);

  struct Found {
    std::unique_ptr<VideoControl> control;
    std::string path;
    XuVariant variant;
    ChipGen gen;
    std::uint16_t product_id;
  };
  std::vector<Found> found;
  std::size_t without_unit = 0;
  for (const CategoryDevice& d : devices) {
    if (found.size() == static_cast<std::size_t>(kMaxDevices)) break;
    std::unique_ptr<VideoControl> filter;
    SysError bind_err;
    if (lookup_filter(backend, DeviceCategory::VideoCapture, d.path, filter, bind_err) < 0 ||
        !filter) {
      if (!bind_err.message.empty()) add_cause(bind_err.message);
      continue;
    }
    Found f{nullptr, d.path, XuVariant::Kavex, 0, d.product_id};
    if (vidxu_FindUnit(filter.get(), XuVariant::Kavex)) {
      f.variant = XuVariant::Kavex;
      (void)vidxu_GetChipGen(filter.get(), f.gen);
      DebugTrace("Get Kavex UVC Device : %s", d.path.c_str());
    } else if (vidxu_FindUnit(filter.get(), XuVariant::Aveo)) {
      f.variant = XuVariant::Aveo;
      DebugTrace("Get 2595 UVC Device : %s", d.path.c_str());
    } else if (vidxu_FindUnit(filter.get(), XuVariant::Etron)) {
      f.variant = XuVariant::Etron;
      DebugTrace("Get 1 Etron UVC Device");
      DebugTrace("Etron Node Id:%d", static_cast<int>(node_id(XuVariant::Etron)));
    } else {
      ++without_unit;
      continue;
    }
    f.control = std::move(filter);
    found.push_back(std::move(f));
  }

  if (found.empty()) {
    if (listed == E_UNEXPECTED) {
      add_cause("no video capture device is present");
    } else if (without_unit > 0) {
      add_cause("none of the " + std::to_string(without_unit) + " video capture device" +
                (without_unit == 1 ? " carries" : "s carries") + " the camera's extension unit");
    }
    s.kind = DeviceKind::None;
    s.count = 0;
    lock->release();
    return false;
  }

  std::vector<std::string> paths;
  for (const Found& f : found) paths.push_back(f.path.substr(0, kMaxTablePath));
  const std::vector<std::size_t> order = merge_order(s.table, s.known, paths);
  for (std::size_t pos = 0; pos < static_cast<std::size_t>(kMaxDevices); ++pos) {
    DeviceEntry& e = s.table[pos];
    e.hid = nullptr;
    e.control = nullptr;
    if (pos >= order.size()) {
      e.path.clear();
      e.variant = XuVariant::Kavex;
      e.gen = 0;
      e.usb_product_id = 0;
      continue;
    }
    Found& f = found[order[pos]];
    g_controls[pos] = std::move(f.control);
    e.control = g_controls[pos].get();
    e.path = paths[order[pos]];
    e.variant = f.variant;
    e.gen = f.gen;
    e.usb_product_id = f.product_id;
  }
  s.kind = DeviceKind::VideoClass;
  s.count = s.known = static_cast<std::int32_t>(found.size());
  s.lock = std::move(lock);
  s.lock->release();
  // The platform lock does not tell whether it existed before.
  DebugTrace("Found UVC Device:%d Mutex:%x", s.count, 0u);
  return true;
}

// ------------------------------------------------------- bridge maker's --

bool vidxu_GetChipGen(VideoControl* c, std::uint8_t& gen) {
  gen = 0;
  RegRequest r;
  r.addr = 0x0000;
  r.len = 4;
  if (!vidxu_RegRead(c, r)) return false;
  gen = ((r.value & 0xFF) >> 4) == 0xB ? 2 : 0;
  return true;
}

bool vidxu_RegRead(VideoControl* c, RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  const std::uint8_t lo = req.addr & 0xFF, hi = req.addr >> 8;

  std::uint8_t ext[kXuExtendedLen] = {lo, hi, req.len};
  const XuRoute ext_route = xu_route(XU_XDATA_EX_READ);
  if (set(c, XU_XDATA_EX_READ, ext, kXuExtendedLen, ext_route)) {
    std::uint8_t reply[kXuExtendedLen] = {};
    if (get(c, XU_XDATA_EX_READ, reply, kXuExtendedLen, ext_route)) {
      take_value(req.value, reply, req.len);
      DebugTrace("vidxu_RegRead XU_XDATA_EX_READ Get Index:0x%04x  Len:%x -> 0x%x OK", req.addr,
                 req.len, req.value);
      return true;
    }
    DebugTrace("vidxu_RegRead XU_XDATA_EX_READ Get Index:0x%04x  Len:%x -> 0x%x Fail", req.addr,
               req.len, req.value);
  }

  const XuRoute xdata_route = xu_route(XU_XDATA_READ);
  if (!set_length(c, 3, xdata_route)) return false;
  const std::uint8_t xdata[3] = {lo, hi, req.len};
  bool ok = false;
  if (set(c, XU_XDATA_READ, xdata, sizeof xdata, xdata_route)) {
    std::uint8_t bytes[4] = {};
    ok = get(c, XU_XDATA_READ, bytes, req.len, xdata_route);
    if (ok) {
      take_value(req.value, bytes, req.len);
      DebugTrace("vidxu_RegRead XU_XDATA_READ Get Index:0x%04x  Len:%x -> 0x%08x OK", req.addr,
                 req.len, req.value);
    } else {
      DebugTrace("vidxu_RegRead XU_XDATA_READ Get Index:0x%04x  Len:%x -> Fail 0x%x", req.addr,
                 req.len, 0u);
    }
  } else {
    DebugTrace("vidxu_RegRead XU_XDATA_READ Set Index:0x%04x  Len:%x -> Fail 0x%x", req.addr,
               req.len, 0u);
  }
  (void)set_length(c, 1, xdata_route);
  if (ok) return true;

  const XuRoute legacy_route = xu_route(XU_REG_READ);
  if (!set_length(c, 2, legacy_route)) return false;
  const std::uint8_t legacy[2] = {lo, req.len};
  if (set(c, XU_REG_READ, legacy, sizeof legacy, legacy_route)) {
    std::uint8_t bytes[4] = {};
    ok = get(c, XU_REG_READ, bytes, req.len, legacy_route);
    if (ok) {
      take_value(req.value, bytes, req.len);
      DebugTrace("vidxu_RegRead XU_REG_READ Get Index:0x%08x  Len:%x -> 0x%08x OK", req.addr,
                 req.len, req.value);
    } else {
      DebugTrace("vidxu_RegRead XU_REG_READ Get Index:0x%08x  Len:%x -> Fail", req.addr, req.len);
    }
  } else {
    DebugTrace("vidxu_RegRead XU_REG_READ Set Index:0x%08x  Len:%x -> Fail", req.addr, req.len);
  }
  (void)set_length(c, 1, legacy_route);
  return ok;
}

bool vidxu_RegWrite(VideoControl* c, const RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  const std::uint8_t lo = req.addr & 0xFF, hi = req.addr >> 8;

  std::uint8_t ext[kXuExtendedLen] = {lo, hi, req.len};
  put_value(ext + 3, req.value, req.len);
  if (set(c, XU_XDATA_EX_WRITE, ext, kXuExtendedLen, xu_route(XU_XDATA_EX_WRITE))) {
    DebugTrace("vidxu_RegWrite XU_XDATA_EX_WRITE Index:0x%04x  Len:%x OK", req.addr, req.len);
    return true;
  }
  DebugTrace("vidxu_RegWrite XU_XDATA_EX_WRITE Index:0x%04x  Len:%x -> Fail 0x%x", req.addr,
             req.len, 0u);

  const XuRoute xdata_route = xu_route(XU_XDATA_WRITE);
  if (!set_length(c, req.len + 3u, xdata_route)) return false;
  std::uint8_t xdata[7] = {lo, hi, req.len};
  put_value(xdata + 3, req.value, req.len);
  const bool accepted = set(c, XU_XDATA_WRITE, xdata, req.len + 3u, xdata_route);
  if (accepted) {
    DebugTrace("vidxu_RegWrite XU_XDATA_WRITE Index:0x%04x  Len:%x OK", req.addr, req.len);
  } else {
    DebugTrace("vidxu_RegWrite XU_XDATA_WRITE Index:0x%04x  Len:%x -> Fail 0x%x", req.addr,
               req.len, 0u);
  }
  (void)set_length(c, 1, xdata_route);
  if (accepted) return true;

  const XuRoute legacy_route = xu_route(XU_REG_WRITE);
  if (!set_length(c, req.len + 2u, legacy_route)) return false;
  std::uint8_t legacy[6] = {lo, req.len};
  put_value(legacy + 2, req.value, req.len);
  const bool ok = set(c, XU_REG_WRITE, legacy, req.len + 2u, legacy_route);
  (void)set_length(c, 1, legacy_route);
  if (ok) {
    DebugTrace("vidxu_RegWrite  XU_REG_WRITE Index:0x%08x  Len:%x -> 0x%08x OK", req.addr, req.len,
               req.value);
  } else {
    DebugTrace("vidxu_RegWite  XU_REG_WRITE Index:0x%08x  Len:%x -> Fail", req.addr, req.len);
  }
  return ok;
}

bool vidxu_I2cRead(VideoControl* c, I2cRequest& req) {
  if (req.subLen > sizeof req.sub || req.dataLen > sizeof req.data) return false;

  // The extended frame holds the header, the sub-address and the length; its
  // reply at most 31 data bytes. Longer requests go the legacy way.
  const bool fits = kXuExtI2cHeader + req.subLen + 1 <= kXuExtendedLen &&
                    req.dataLen <= kXuExtI2cReadMax;
  if (fits) {
    std::uint8_t frame[kXuExtendedLen] = {0x00, static_cast<std::uint8_t>(req.slave), 0x00,
                                          req.subLen};
    std::memcpy(frame + kXuExtI2cHeader, req.sub, req.subLen);
    frame[kXuExtI2cHeader + req.subLen] = req.dataLen;
    if (set(c, XU_I2C_READ_EX, frame, kXuExtendedLen, kXuBusRoute)) {
      std::uint8_t reply[kXuExtendedLen] = {};
      if (get(c, XU_I2C_READ_EX, reply, kXuExtendedLen, kXuBusRoute)) {
        // The count byte says how many bytes were read: 0 when the slave
        // did not answer, never more than the reply holds. A reply shorter
        // than asked is a failed read, not a partial one.
        const std::uint8_t count = reply[0];
        if (count == 0 || count > kXuExtI2cReadMax || count < req.dataLen) {
          DebugTrace(
              "Vidxu I2c Read XU_I2C_READ_EX Read Add:0x%x SubAdd[00:0x%x Len:%x -> count 0x%x Fail",
              req.slave, req.sub[0], req.dataLen, count);
          return false;
        }
        DebugTrace("Vidxu I2c Read XU_I2C_READ_EX Read Add:0x%x SubAdd[00:0x%x Len:%x -> [0]0x%x OK",
                   req.slave, req.sub[0], req.dataLen, reply[1]);
        std::memcpy(req.data, reply + 1, req.dataLen);
        return true;
      }
    }
  }

  if (req.subLen > 0 && (req.flags & 1)) {
    if (!vidxu_I2cWrite(c, SubAddressWrite(req))) return false;
  }
  if (!set_length(c, 3, kXuBusRoute)) return false;
  const std::uint8_t cmd[3] = {static_cast<std::uint8_t>(req.slave), req.dataLen, 0x01};
  std::uint8_t data[sizeof req.data] = {};
  bool ok = set(c, XU_I2C_READ, cmd, sizeof cmd, kXuBusRoute);
  if (ok) ok = get(c, XU_I2C_READ, data, req.dataLen, kXuBusRoute);
  (void)set_length(c, 1, kXuBusRoute);
  if (!ok || !bus_status_ok(c)) return false;
  std::memcpy(req.data, data, req.dataLen);
  return true;
}

bool vidxu_I2cWrite(VideoControl* c, const I2cRequest& req) {
  if (req.subLen > sizeof req.sub || req.dataLen > sizeof req.data) return false;

  const bool fits = kXuExtI2cHeader + req.subLen + 1u + req.dataLen <= kXuExtendedLen;
  if (fits) {
    std::uint8_t frame[kXuExtendedLen] = {0x00, static_cast<std::uint8_t>(req.slave), 0x00,
                                          req.subLen};
    std::memcpy(frame + kXuExtI2cHeader, req.sub, req.subLen);
    frame[kXuExtI2cHeader + req.subLen] = req.dataLen;
    std::memcpy(frame + kXuExtI2cHeader + req.subLen + 1, req.data, req.dataLen);
    if (set(c, XU_I2C_WRITE_EX, frame, kXuExtendedLen, kXuBusRoute)) {
      DebugTrace("Vidxu I2c Read XU_I2C_WRITE_EX Write Add:0x%x SubAdd[0]:0x%x Len:%x -> [0]0x%x OK",
                 req.slave, req.sub[0], req.dataLen, req.data[0]);
      return true;
    }
  }

  // Sub-address bytes go out only when the request says it carries them.
  const std::uint8_t sub = (req.flags & 1) ? req.subLen : 0;
  const std::uint32_t n = req.dataLen + 3u + sub;
  if (!set_length(c, n, kXuBusRoute)) return false;
  std::uint8_t frame[3 + sizeof req.sub + sizeof req.data] = {
      static_cast<std::uint8_t>(req.slave), static_cast<std::uint8_t>(sub + req.dataLen),
      static_cast<std::uint8_t>(req.dataLen > 0 ? 1 : 0)};
  std::memcpy(frame + 3, req.sub, sub);
  std::memcpy(frame + 3 + sub, req.data, req.dataLen);
  const bool accepted = set(c, XU_I2C_WRITE, frame, n, kXuBusRoute);
  (void)set_length(c, 1, kXuBusRoute);
  if (!accepted) return false;
  return bus_status_ok(c);
}

bool vidxu_SpiWrite(VideoControl* c, const SpiRequest& req) {
  if (req.wlen > sizeof req.wdata || req.rlen > sizeof req.data) return false;
  const std::uint32_t n = req.wlen + req.rlen + 3u;
  if (!set_length(c, n, kXuBusRoute)) return false;
  std::uint8_t frame[3 + sizeof req.wdata + sizeof req.data] = {
      static_cast<std::uint8_t>(req.target), static_cast<std::uint8_t>(req.wlen + req.rlen),
      req.finish};
  std::memcpy(frame + 3, req.wdata, req.wlen);
  std::memcpy(frame + 3 + req.wlen, req.data, req.rlen);
  const bool accepted = set(c, XU_SPI_WRITE, frame, n, kXuBusRoute);
  (void)set_length(c, 1, kXuBusRoute);
  return accepted;
}

bool vidxu_SpiRead(VideoControl* c, SpiRequest& req) {
  if (req.wlen > sizeof req.wdata || req.rlen > sizeof req.data) return false;
  if (req.wlen > 0) {
    SpiRequest command;
    command.finish = 0;
    command.target = req.target;
    std::memcpy(command.wdata, req.wdata, req.wlen);
    command.wlen = req.wlen;
    if (!vidxu_SpiWrite(c, command)) return false;
  }
  if (!set_length(c, 3, kXuBusRoute)) return false;
  const std::uint8_t cmd[3] = {static_cast<std::uint8_t>(req.target), req.rlen, req.finish};
  bool ok = set(c, XU_SPI_READ, cmd, sizeof cmd, kXuBusRoute);
  if (ok) {
    std::memset(req.data, 0, sizeof req.data);
    ok = get(c, XU_SPI_READ, req.data, req.rlen, kXuBusRoute);
  }
  (void)set_length(c, 1, kXuBusRoute);
  return ok;
}

// ---------------------------------------------------------------- Aveo --

bool vidxu_Aveo_RegRead(VideoControl* c, RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  const AveoPayload select = {0x01, static_cast<std::uint8_t>(req.addr & 0xFF),
                              static_cast<std::uint8_t>(req.addr >> 8)};
  std::uint8_t reply[kAveoTransferLen];
  if (!aveo_set(c, select) || !aveo_get(c, reply)) {
    DebugTrace("vidxu_Aveo_RegRead  Index:0x%08x  -> Fail", req.addr);
    return false;
  }
  // The unit answers 16 bits whatever length was asked.
  req.value = reply[1] + 256u * reply[2];
  DebugTrace("vidxu_Aveo_RegRead  Index:0x%08x  -> 0x%08x OK", req.addr, req.value);
  return true;
}

bool vidxu_Aveo_RegWrite(VideoControl* c, const RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  const AveoPayload select = {0x01, static_cast<std::uint8_t>(req.addr & 0xFF),
                              static_cast<std::uint8_t>(req.addr >> 8)};
  const AveoPayload value = {0x03, static_cast<std::uint8_t>(req.value & 0xFF),
                             static_cast<std::uint8_t>(req.value >> 8)};
  return aveo_set(c, select) && aveo_set(c, value);
}

bool vidxu_Aveo_I2cRead(VideoControl* c, I2cRequest& req) {
  // One data byte per transfer and a 16-bit sub-address: anything longer
  // would come back as zeros reported as data.
  if (req.dataLen > 1 || req.subLen > 2) return false;
  const std::uint16_t word = aveo_sub_word(req);
  const AveoPayload cmd = {0xE0,
                           0x00,
                           0x00,
                           static_cast<std::uint8_t>(word & 0xFF),
                           static_cast<std::uint8_t>(word >> 8),
                           static_cast<std::uint8_t>(req.slave),
                           aveo_mode(req.dataLen, req.subLen),
                           0x00};
  std::uint8_t reply[kAveoTransferLen];
  if (!aveo_set(c, cmd) || !aveo_get(c, reply)) {
    DebugTrace("vidxu_Aveo_I2cRead  Index:0x%08x  -> Fail", req.sub[0] * 256u + req.sub[1]);
    return false;
  }
  req.data[0] = reply[1];
  return true;
}

bool vidxu_Aveo_I2cWrite(VideoControl* c, const I2cRequest& req) {
  // Exactly one data byte: the frame has no room for more, and a write of
  // none would still put the byte slot on the bus.
  if (req.dataLen != 1 || req.subLen > 2) return false;
  const std::uint16_t word = aveo_sub_word(req);
  const AveoPayload cmd = {0x05,
                           req.data[0],
                           0x00,
                           static_cast<std::uint8_t>(word & 0xFF),
                           static_cast<std::uint8_t>(word >> 8),
                           static_cast<std::uint8_t>(req.slave),
                           aveo_mode(req.dataLen, req.subLen),
                           0x00};
  return aveo_set(c, cmd);
}

// ---------------------------------------------- the video-class transport --

namespace {

// The unit variant is that of the current device, the interface that of the
// addressed position.
XuVariant current_variant() {
  const LibraryState& s = library_state();
  if (s.current < 0 || s.current >= kMaxDevices) return XuVariant::Kavex;
  return s.table[s.current].variant;
}

// The register and I2C forms of each variant's unit. Etron cameras carry no
// command set the library knows: register reads fail, and writes and I2C
// transfers, which would go out as Aveo requests to a camera that has no
// Aveo unit, are refused before any traffic as well.
struct VariantOps {
  bool (*reg_read)(VideoControl*, RegRequest&);
  bool (*reg_write)(VideoControl*, const RegRequest&);
  bool (*i2c_read)(VideoControl*, I2cRequest&);
  bool (*i2c_write)(VideoControl*, const I2cRequest&);
};

constexpr VariantOps kVariantOps[] = {
    {vidxu_RegRead, vidxu_RegWrite, vidxu_I2cRead, vidxu_I2cWrite},                  // Kavex
    {vidxu_Aveo_RegRead, vidxu_Aveo_RegWrite, vidxu_Aveo_I2cRead, vidxu_Aveo_I2cWrite},  // Aveo
    {nullptr, nullptr, nullptr, nullptr},                                            // Etron
};

const VariantOps& variant_ops() {
  const auto v = static_cast<std::size_t>(current_variant());
  return v < std::size(kVariantOps) ? kVariantOps[v] : kVariantOps[2];
}

void release_video() {
  LibraryState& s = library_state();
  // Paths, variants and generations stay for the next enumeration; only the
  // interfaces go.
  const std::int32_t n = s.count < kMaxDevices ? s.count : kMaxDevices;
  for (std::int32_t i = 0; i < n; ++i) s.table[i].control = nullptr;
  vidxu_ReleaseAll();
}

bool xu_chip_gen(const DeviceEntry& e, ChipGen& gen) { return vidxu_GetChipGen(xu_control(e), gen); }

bool xu_reg_read(const DeviceEntry& e, RegRequest& r) {
  const VariantOps& ops = variant_ops();
  return ops.reg_read && ops.reg_read(xu_control(e), r);
}
bool xu_reg_write(const DeviceEntry& e, const RegRequest& r) {
  const VariantOps& ops = variant_ops();
  return ops.reg_write && ops.reg_write(xu_control(e), r);
}
bool xu_i2c_read(const DeviceEntry& e, I2cRequest& r) {
  const VariantOps& ops = variant_ops();
  return ops.i2c_read && ops.i2c_read(xu_control(e), r);
}
bool xu_i2c_write(const DeviceEntry& e, const I2cRequest& r) {
  const VariantOps& ops = variant_ops();
  return ops.i2c_write && ops.i2c_write(xu_control(e), r);
}
// Serial flash goes through the bridge maker's unit for every variant.
bool xu_spi_read(const DeviceEntry& e, SpiRequest& r) { return vidxu_SpiRead(xu_control(e), r); }
bool xu_spi_write(const DeviceEntry& e, const SpiRequest& r) {
  return vidxu_SpiWrite(xu_control(e), r);
}

std::string xu_path(std::int32_t i) { return library_state().table[i].path; }

std::string xu_writer_key(std::int32_t i) {
  const DeviceEntry& e = library_state().table[i];
  return e.has_interface() ? port_of(e.path) : std::string();
}

}  // namespace

namespace lumavix {

const Transport kVideoClassTransport{
    DeviceKind::VideoClass, "%sIs Video Class Device", EnumVideoDevice, release_video,
    xu_chip_gen,            xu_reg_read,               xu_reg_write,    xu_i2c_read,
    xu_i2c_write,           xu_spi_read,               xu_spi_write,    xu_path,
    xu_writer_key,
};

}  // namespace lumavix
