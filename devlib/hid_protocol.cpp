#include "devlib/hid_protocol.h"

#include <cstring>

#include "devlib/bytes.h"
#include "devlib/hid_transport.h"
#include "devlib/internal/library_state.h"
#include "devlib/trace.h"

using namespace lumavix;

namespace {

bool set_command(HidDevice* h, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                 std::uint8_t b3) {
  const std::uint8_t cmd[kCommandLen] = {b0, b1, b2, b3};
  return hidreq_SetFeature(h, kReportCommand, cmd, kCommandLen);
}

bool set_data(HidDevice* h, const std::uint8_t (&frame)[kFrameLen]) {
  return hidreq_SetFeature(h, kReportData, frame, kFrameLen);
}

bool get_data(HidDevice* h, std::uint8_t* reply) {
  return hidreq_GetFeature(h, kReportData, reply, kFrameLen);
}

bool valid_reg_len(std::uint8_t len) { return len == 1 || len == 2 || len == 4; }

bool wide_mode(std::uint8_t gen, std::uint16_t addr) { return gen == 2 || addr > 0xFF; }

// The bus status after a legacy I2C transfer. A status that cannot be read
// says nothing about the slave, so the transfer counts as failed.
bool bus_status_ok(HidDevice* h) {
  RegRequest status;
  status.addr = kBusStatusReg;
  status.len = 1;
  if (!hidreg_RegRead(h, status)) return false;
  return (status.value & kBusStatusNoAck) == 0;
}

bool legacy_i2c_write(HidDevice* h, const I2cRequest& req) {
  const std::uint32_t sub = (req.flags & 1) ? req.subLen : 0;
  if (sub + req.dataLen > kLegacyI2cWriteMax) return false;
  if (!set_command(h, 0x03, 0, 0, 0)) return false;
  std::uint8_t frame[kFrameLen] = {};
  frame[0] = static_cast<std::uint8_t>(req.slave);
  frame[1] = static_cast<std::uint8_t>(req.subLen + req.dataLen);
  frame[2] = req.dataLen > 0 ? 1 : 0;
  std::memcpy(frame + 3, req.sub, sub);
  std::memcpy(frame + 3 + sub, req.data, req.dataLen);
  if (!set_data(h, frame)) return false;
  return bus_status_ok(h);
}

const char* ok_word(bool ok) { return ok ? "OK" : "FAIL"; }

}  // namespace

bool hidreg_GetChipGen(HidDevice* h, std::uint8_t& gen) {
  gen = 0;
  if (!set_command(h, 0x08, 0x00, 0x00, 0x04)) return false;
  std::uint8_t reply[kFrameLen];
  if (!get_data(h, reply)) return false;
  const std::uint8_t nibble = reply[0] >> 4;
  gen = (nibble == 0xB || nibble == 0xC) ? 2 : 0;
  return true;
}

bool hidreg_RegRead(HidDevice* h, RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  std::uint8_t gen = 0;
  (void)hidreg_GetChipGen(h, gen);
  const bool ok = wide_mode(gen, req.addr)
                      ? set_command(h, 0x08, req.addr & 0xFF, req.addr >> 8, req.len)
                      : set_command(h, 0x00, req.addr & 0xFF, req.len, 0x00);
  if (!ok) return false;
  std::uint8_t reply[kFrameLen];
  if (!get_data(h, reply)) {
    DebugTrace("hidreg_RegRead Add:0x%04x Len:0x%02x -> Fail", req.addr, req.len);
    return false;
  }
  req.value = load_le32(reply);
  DebugTrace("HID RegRead Add:0x%04x Len:0x%02x -> 0x%08x OK", req.addr, req.len, req.value);
  return true;
}

bool hidreg_RegWrite(HidDevice* h, const RegRequest& req) {
  if (!valid_reg_len(req.len)) return false;
  std::uint8_t gen = 0;
  (void)hidreg_GetChipGen(h, gen);
  const bool wide = wide_mode(gen, req.addr);
  if (!set_command(h, wide ? 0x09 : 0x01, 0, 0, 0)) return false;
  std::uint8_t frame[kFrameLen] = {};
  std::size_t at = 0;
  frame[at++] = req.addr & 0xFF;
  if (wide) frame[at++] = req.addr >> 8;
  frame[at++] = req.len;
  for (std::uint8_t i = 0; i < req.len; ++i) frame[at++] = (req.value >> (8 * i)) & 0xFF;
  const bool ok = set_data(h, frame);
  DebugTrace(ok ? "hidreg_RegWrite Add:0x%02x Len:0x%02x -> 0x%02x OK"
                : "hidreg_RegWrite Add:0x%02x Len:0x%02x -> 0x%02x Fail",
             req.addr, req.len, req.value);
  return ok;
}

bool hidreg_I2cRead(HidDevice* h, I2cRequest& req) {
  if (req.subLen > kExtI2cSubMax || req.dataLen > kExtI2cReadMax) return false;
  std::uint8_t frame[kFrameLen] = {};
  frame[0] = 0x0C;
  frame[2] = static_cast<std::uint8_t>(req.slave);
  frame[4] = req.subLen;
  std::memcpy(frame + 5, req.sub, req.subLen);
  frame[5 + req.subLen] = req.dataLen;
  const bool accepted = hidreq_SetFeature(h, kReportExtI2c, frame, kFrameLen);
  DebugTrace(
      "HID I2C Read Ex SetCMD: %s ,RAW Data(8 bytes) : 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, "
      "0x%02X, 0x%02X, 0x%02X.",
      ok_word(accepted), frame[0], frame[1], frame[2], frame[3], frame[4], frame[5], frame[6],
      frame[7]);
  if (accepted) {
    std::memset(frame, 0, 4);
    // A failed get leaves the status byte at 0, which fails below.
    (void)get_data(h, frame);
    const std::uint8_t status = frame[0];
    const bool ok = status >= 1 && status <= 38;
    if (ok) std::memcpy(req.data, frame + 1, req.dataLen);
    DebugTrace(
        "HID I2C Read Ex ReadBack: %s ,RAW Data(8 bytes) :0x%02X, 0x%02X, 0x%02X, 0x%02X, "
        "0x%02X, 0x%02X, 0x%02X, 0x%02X.",
        ok_word(accepted), frame[0], frame[1], frame[2], frame[3], frame[4], frame[5], frame[6],
        frame[7]);
    return ok;
  }

  // The device does not know the extended command: address it the old way.
  if (req.subLen > 0 && (req.flags & 1)) {
    if (!legacy_i2c_write(h, SubAddressWrite(req))) return false;
  }
  if (!set_command(h, 0x02, static_cast<std::uint8_t>(req.slave), req.dataLen, 0x01))
    return false;
  std::memset(req.data, 0, sizeof req.data);
  if (!get_data(h, req.data)) return false;
  return bus_status_ok(h);
}

bool hidreg_I2cWrite(HidDevice* h, const I2cRequest& req) {
  if (req.subLen > sizeof req.sub || req.dataLen > sizeof req.data) return false;
  if (static_cast<std::uint32_t>(req.subLen) + req.dataLen > kExtI2cWriteMax) return false;
  std::uint8_t frame[kFrameLen] = {};
  frame[0] = 0x0D;
  frame[2] = static_cast<std::uint8_t>(req.slave);
  frame[4] = req.subLen;
  std::memcpy(frame + 5, req.sub, req.subLen);
  frame[5 + req.subLen] = req.dataLen;
  std::memcpy(frame + 6 + req.subLen, req.data, req.dataLen);
  const bool accepted = hidreq_SetFeature(h, kReportExtI2c, frame, kFrameLen);
  if (accepted) (void)set_data(h, frame);
  DebugTrace(
      "HID I2C Write Ex : %s ,RAW Data(8 bytes) : 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, "
      "0x%02X, 0x%02X, 0x%02X.",
      ok_word(accepted), frame[0], frame[1], frame[2], frame[3], frame[4], frame[5], frame[6],
      frame[7]);
  if (accepted) return true;
  return legacy_i2c_write(h, req);
}

bool hidreg_SpiWrite(HidDevice* h, const SpiRequest& req) {
  if (static_cast<std::uint32_t>(req.wlen) + req.rlen > kSpiWriteMax) return false;
  if (!set_command(h, 0x0B, 0, 0, 0)) return false;
  std::uint8_t frame[kFrameLen] = {};
  frame[0] = static_cast<std::uint8_t>(req.target);
  frame[1] = static_cast<std::uint8_t>(req.wlen + req.rlen);
  frame[2] = req.finish;
  std::memcpy(frame + 3, req.wdata, req.wlen);
  std::memcpy(frame + 3 + req.wlen, req.data, req.rlen);
  return set_data(h, frame);
}

bool hidreg_SpiRead(HidDevice* h, SpiRequest& req) {
  if (req.rlen > kLegacyReadMax || req.wlen > kSpiWriteMax) return false;
  if (req.wlen > 0) {
    SpiRequest command;
    command.finish = 0;
    command.target = req.target;
    std::memcpy(command.wdata, req.wdata, req.wlen);
    command.wlen = req.wlen;
    if (!hidreg_SpiWrite(h, command)) return false;
  }
  if (!set_command(h, 0x0A, static_cast<std::uint8_t>(req.target), req.rlen, req.finish))
    return false;
  std::memset(req.data, 0, sizeof req.data);
  return get_data(h, req.data);
}

// ------------------------------------------------------ the HID transport --
//
// The table of the HID kind lives with the protocol: the probe and the list of
// interfaces are the transport's (hidreq_), the operations the protocol's.

namespace {

void release_hid() {
  LibraryState& s = library_state();
  hidreq_CloseAll(s.hidList);
  const std::int32_t n = s.count < kMaxDevices ? s.count : kMaxDevices;
  for (std::int32_t i = 0; i < n; ++i) {
    s.table[i].hid = nullptr;
    s.table[i].usb_product_id = 0;
  }
}

std::string hid_path(std::int32_t i) {
  const LibraryState& s = library_state();
  if (static_cast<std::uint32_t>(i) < s.hidList.count) return s.hidList.paths[i];
  return s.table[i].path;
}

std::string hid_writer_key(std::int32_t i) {
  const LibraryState& s = library_state();
  if (static_cast<std::uint32_t>(i) >= s.hidList.count) return {};
  const std::string& path = s.hidList.paths[i];
  // The node ("/dev/hidraw3") is renumbered on every reconnection; the
  // port is what another program that reached the camera sees too.
  std::vector<HidInterfaceInfo> infos;
  SysError err;
  if (platform().hid && platform().hid->enumerate(infos, err)) {
    for (const HidInterfaceInfo& info : infos) {
      if (info.path == path && !info.port.empty()) return port_of(info.port);
    }
  }
  return path;
}

bool hid_chip_gen(const DeviceEntry& e, ChipGen& gen) { return hidreg_GetChipGen(e.hid, gen); }
bool hid_reg_read(const DeviceEntry& e, RegRequest& r) { return hidreg_RegRead(e.hid, r); }
bool hid_reg_write(const DeviceEntry& e, const RegRequest& r) { return hidreg_RegWrite(e.hid, r); }
bool hid_i2c_read(const DeviceEntry& e, I2cRequest& r) { return hidreg_I2cRead(e.hid, r); }
bool hid_i2c_write(const DeviceEntry& e, const I2cRequest& r) { return hidreg_I2cWrite(e.hid, r); }
bool hid_spi_read(const DeviceEntry& e, SpiRequest& r) { return hidreg_SpiRead(e.hid, r); }
bool hid_spi_write(const DeviceEntry& e, const SpiRequest& r) { return hidreg_SpiWrite(e.hid, r); }

}  // namespace

namespace lumavix {

const Transport kHidTransport{
    DeviceKind::Hid, "%s Is HID Device", hidreq_Init,   release_hid,   hid_chip_gen,
    hid_reg_read,    hid_reg_write,      hid_i2c_read,  hid_i2c_write, hid_spi_read,
    hid_spi_write,   hid_path,           hid_writer_key,
};

}  // namespace lumavix
