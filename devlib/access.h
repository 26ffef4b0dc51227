// The device operations the rest of the system calls: bridge registers, the
// I2C bus behind the bridge and serial-flash command transactions, the same
// over every interface kind. Each takes the library lock around its one
// device transaction and returns 0 (kOk) or E_FAIL; outputs are written only
// on success.
#pragma once

#include <cstdint>

#include "devlib/types.h"

namespace lumavix {
inline constexpr std::uint16_t kEepromSlave = 0xA0;
inline constexpr std::uint16_t kEepromProtectReg = 0x0006;
inline constexpr std::uint32_t kEepromProtectBit = 0x04;
}  // namespace lumavix

[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_RegRead(std::uint16_t addr, std::uint8_t len,
                                                     std::uint32_t& value);
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_RegReadDev(std::int32_t index, std::uint16_t addr,
                                                        std::uint8_t len, std::uint32_t& value);
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_RegWrite(std::uint16_t addr, std::uint8_t len,
                                                      const std::uint32_t& value);
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_RegWriteDev(std::int32_t index, std::uint16_t addr,
                                                         std::uint8_t len, std::uint32_t value);
// Reads `readLen` bytes from `slave` on position 0, after sending `subLen`
// sub-address bytes. The boot EEPROM (0xA0) is unprotected first.
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_I2cRead(std::uint16_t slave, std::uint8_t subLen,
                                                     const std::uint8_t* sub,
                                                     std::uint8_t readLen, std::uint8_t* out);
// Writes `len` bytes to `slave`; for the EEPROM the two address bytes lead.
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_I2cWriteDev(std::int32_t index, std::uint16_t slave,
                                                         std::uint8_t len,
                                                         const std::uint8_t* data);
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_SpiCmdRead(std::uint8_t target, std::uint8_t finish,
                                                        std::uint8_t wlen,
                                                        const std::uint8_t* wdata,
                                                        std::uint8_t rlen, std::uint8_t* rdata);
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_SpiCmdReadDev(std::int32_t index,
                                                           std::uint8_t target,
                                                           std::uint8_t finish,
                                                           std::uint8_t wlen,
                                                           const std::uint8_t* wdata,
                                                           std::uint8_t rlen,
                                                           std::uint8_t* rdata);
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_SpiCmdWrite(std::uint8_t target, std::uint8_t finish,
                                                         std::uint8_t wlen,
                                                         const std::uint8_t* wdata,
                                                         std::uint8_t dlen,
                                                         const std::uint8_t* data);
[[nodiscard]] lumavix::HRESULT32 kvVidHidCls_SpiCmdWriteDev(std::int32_t index,
                                                            std::uint8_t target,
                                                            std::uint8_t finish,
                                                            std::uint8_t wlen,
                                                            const std::uint8_t* wdata,
                                                            std::uint8_t dlen,
                                                            const std::uint8_t* data);
