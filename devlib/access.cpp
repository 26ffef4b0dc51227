#include "devlib/access.h"

#include <cstring>

#include "devlib/internal/library_state.h"

using namespace lumavix;

namespace {

// Every operation goes to the transport of the current kind; an operation it
// lacks (and every operation while no camera is known) is refused before any
// device traffic.
template <typename Op, typename Request>
bool dispatch(Op Transport::*op, const DeviceEntry& e, Request& r) {
  const Transport* t = active_transport();
  return t && t->*op && (t->*op)(e, r);
}

LibraryLock* lock() { return library_state().lock.get(); }

// Clears the boot EEPROM's write protection (bit 2 of register 0x06) before a
// transfer to it. Its failures do not stop the transfer that follows.
void prepare_eeprom(const DeviceEntry& e) {
  LockGuard guard(lock(), kLockTimeoutMs);
  if (!guard.acquired()) return;
  RegRequest r;
  r.addr = kEepromProtectReg;
  r.len = 1;
  if (!dispatch(&Transport::reg_read, e, r)) return;
  r.value &= ~kEepromProtectBit;
  (void)dispatch(&Transport::reg_write, e, r);
}

}  // namespace

HRESULT32 kvVidHidCls_RegReadDev(std::int32_t index, std::uint16_t addr, std::uint8_t len,
                                 std::uint32_t& value) {
  DeviceEntry* e = device_at(index);
  if (!e) return E_FAIL;
  library_state().current = index;
  RegRequest r;
  r.addr = addr;
  r.len = len;
  LockGuard guard(lock(), kLockTimeoutMs);
  if (!guard.acquired() || !dispatch(&Transport::reg_read, *e, r)) return E_FAIL;
  value = r.value;
  return kOk;
}

HRESULT32 kvVidHidCls_RegRead(std::uint16_t addr, std::uint8_t len, std::uint32_t& value) {
  return kvVidHidCls_RegReadDev(0, addr, len, value);
}

HRESULT32 kvVidHidCls_RegWriteDev(std::int32_t index, std::uint16_t addr, std::uint8_t len,
                                  std::uint32_t value) {
  DeviceEntry* e = device_at(index);
  if (!e) return E_FAIL;
  library_state().current = index;
  RegRequest r;
  r.addr = addr;
  r.len = len;
  r.value = value;
  LockGuard guard(lock(), kLockTimeoutMs);
  if (!guard.acquired() || !dispatch(&Transport::reg_write, *e, r)) return E_FAIL;
  return kOk;
}

HRESULT32 kvVidHidCls_RegWrite(std::uint16_t addr, std::uint8_t len, const std::uint32_t& value) {
  return kvVidHidCls_RegWriteDev(0, addr, len, value);
}

HRESULT32 kvVidHidCls_I2cRead(std::uint16_t slave, std::uint8_t subLen, const std::uint8_t* sub,
                              std::uint8_t readLen, std::uint8_t* out) {
  DeviceEntry* e = device_at(0);
  if (!e || !out || (subLen > 0 && !sub)) return E_FAIL;
  I2cRequest r;
  if (subLen > sizeof r.sub || readLen > sizeof r.data) return E_FAIL;
  r.slave = slave & 0xFF;
  if (r.slave == kEepromSlave) prepare_eeprom(*e);
  if (subLen > 0) {
    r.flags |= 1;
    std::memcpy(r.sub, sub, subLen);
    r.subLen = subLen;
  }
  r.dataLen = readLen;
  LockGuard guard(lock(), kLockTimeoutMs);
  if (!guard.acquired() || !dispatch(&Transport::i2c_read, *e, r)) return E_FAIL;
  std::memcpy(out, r.data, readLen);
  return kOk;
}

HRESULT32 kvVidHidCls_I2cWriteDev(std::int32_t index, std::uint16_t slave, std::uint8_t len,
                                  const std::uint8_t* data) {
  DeviceEntry* e = device_at(index);
  if (!e || (len > 0 && !data)) return E_FAIL;
  library_state().current = index;
  I2cRequest r;
  if (len > sizeof r.data) return E_FAIL;
  r.slave = slave & 0xFF;
  if (r.slave == kEepromSlave) prepare_eeprom(*e);
  if (len > 0) std::memcpy(r.data, data, len);
  r.dataLen = len;
  LockGuard guard(lock(), kLockTimeoutMs);
  if (!guard.acquired() || !dispatch(&Transport::i2c_write, *e, r)) return E_FAIL;
  return kOk;
}

HRESULT32 kvVidHidCls_SpiCmdReadDev(std::int32_t index, std::uint8_t target, std::uint8_t finish,
                                    std::uint8_t wlen, const std::uint8_t* wdata,
                                    std::uint8_t rlen, std::uint8_t* rdata) {
  DeviceEntry* e = device_at(index);
  if (!e || (wlen > 0 && !wdata) || (rlen > 0 && !rdata)) return E_FAIL;
  SpiRequest r;
  if (wlen > sizeof r.wdata || rlen > sizeof r.data) return E_FAIL;
  r.finish = finish;
  r.target = target;
  if (wlen > 0) {
    std::memcpy(r.wdata, wdata, wlen);
    r.wlen = wlen;
  }
  r.rlen = rlen;
  // A short wait: a flash poll loop sees a busy lock as a failed poll.
  LockGuard guard(lock(), kFlashReadLockTimeoutMs);
  if (!guard.acquired() || !dispatch(&Transport::spi_read, *e, r)) return E_FAIL;
  std::memcpy(rdata, r.data, rlen);
  return kOk;
}

HRESULT32 kvVidHidCls_SpiCmdRead(std::uint8_t target, std::uint8_t finish, std::uint8_t wlen,
                                 const std::uint8_t* wdata, std::uint8_t rlen,
                                 std::uint8_t* rdata) {
  return kvVidHidCls_SpiCmdReadDev(0, target, finish, wlen, wdata, rlen, rdata);
}

HRESULT32 kvVidHidCls_SpiCmdWriteDev(std::int32_t index, std::uint8_t target, std::uint8_t finish,
                                     std::uint8_t wlen, const std::uint8_t* wdata,
                                     std::uint8_t dlen, const std::uint8_t* data) {
  DeviceEntry* e = device_at(index);
  if (!e || (wlen > 0 && !wdata) || (dlen > 0 && !data)) return E_FAIL;
  SpiRequest r;
  if (wlen > sizeof r.wdata || dlen > sizeof r.data) return E_FAIL;
  r.finish = finish;
  r.target = target;
  if (wlen > 0) {
    std::memcpy(r.wdata, wdata, wlen);
    r.wlen = wlen;
  }
  if (dlen > 0) std::memcpy(r.data, data, dlen);
  r.rlen = dlen;
  LockGuard guard(lock(), kLockTimeoutMs);
  if (!guard.acquired() || !dispatch(&Transport::spi_write, *e, r)) return E_FAIL;
  return kOk;
}

HRESULT32 kvVidHidCls_SpiCmdWrite(std::uint8_t target, std::uint8_t finish, std::uint8_t wlen,
                                  const std::uint8_t* wdata, std::uint8_t dlen,
                                  const std::uint8_t* data) {
  return kvVidHidCls_SpiCmdWriteDev(0, target, finish, wlen, wdata, dlen, data);
}
