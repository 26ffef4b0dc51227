// Access to the bridge chip through a vendor extension unit of the camera's
// video-class interface, for cameras without the vendor HID interface: the
// listing of video capture devices, the search for the three known units,
// the video-class probe with its re-enumeration rule, and the register, I2C
// and serial-flash operations over the units' controls.
//
// The operations run under the library lock, taken by the unified access
// layer (or held by the probe for its own reads): the selector-1 length,
// transfer, reset sequence must not interleave with another thread's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "devlib/platform.h"
#include "devlib/types.h"

namespace lumavix {

struct DeviceEntry;

inline constexpr Guid kKavexUnitGuid =
    make_guid(0x5A215226, 0x3289, 0x4156, {0x89, 0x4A, 0x5C, 0x55, 0x7C, 0xDF, 0x96, 0x64});
inline constexpr Guid kAveoUnitGuid =
    make_guid(0xAAB8F252, 0x8ED1, 0x4972, {0x8C, 0xED, 0x96, 0xB1, 0x7F, 0x04, 0x40, 0x8B});
inline constexpr Guid kEtronUnitGuid =
    make_guid(0xC66D125B, 0x0480, 0x0844, {0x8C, 0x26, 0xB8, 0x36, 0x3A, 0x84, 0xDE, 0x63});

[[nodiscard]] const Guid& xu_unit_guid(XuVariant variant);

// Selectors of the bridge maker's unit. The variable-length ones are set
// after XU_LENGTH announced their length.
enum XuSelector : std::uint8_t {
  XU_LENGTH = 1,
  XU_REG_READ = 2,
  XU_REG_WRITE = 3,
  XU_I2C_READ = 4,
  XU_I2C_WRITE = 5,
  XU_SPI_READ = 8,
  XU_SPI_WRITE = 9,
  XU_XDATA_READ = 10,
  XU_XDATA_WRITE = 11,
  XU_I2C_READ_EX = 20,
  XU_I2C_WRITE_EX = 21,
  XU_XDATA_EX_READ = 26,
  XU_XDATA_EX_WRITE = 27,
};

// Whether a control of the bridge maker's unit changes its length from call
// to call (announced through XU_LENGTH just before): 2, 3, 4, 5, 8, 9, 10, 11.
[[nodiscard]] bool xu_length_varies(std::uint32_t selector);

// Which way a transfer on the bridge maker's unit travels (see XuRoute):
//  - the register forms of fixed length (26, 27, and XU_LENGTH itself) stay
//    with the video driver, so reading the chip generation or a register
//    leaves the camera streaming;
//  - the register forms of variable length (10, 11, 2, 3) go raw, and so
//    does the XU_LENGTH announcement that frames them;
//  - the I2C and serial-flash operations go raw as a whole (kXuBusRoute):
//    their legacy and flash selectors vary in length, an EEPROM or flash job
//    is thousands of them, and one route per operation keeps a job from
//    handing the interface back and forth.
// Once one transfer has gone raw the platform sends the rest raw too, until
// the library lets go of the camera.
[[nodiscard]] XuRoute xu_route(std::uint32_t selector);
inline constexpr XuRoute kXuBusRoute = XuRoute::RawUsb;

// The extended selectors always move this many bytes.
inline constexpr std::uint32_t kXuExtendedLen = 32;
// Extended I2C frames: four header bytes, the sub-address, a length byte,
// then data; a read reply is a count byte and at most 31 data bytes.
inline constexpr std::uint32_t kXuExtI2cHeader = 4;
inline constexpr std::uint32_t kXuExtI2cReadMax = kXuExtendedLen - 1;

// The Aveo unit's one control: an 8-byte payload in a 32-byte transfer.
inline constexpr std::uint32_t kAveoSelector = 2;
inline constexpr std::uint32_t kAveoPayload = 8;
inline constexpr std::uint32_t kAveoTransferLen = 32;

// Category listings keep at most this many devices, and names and paths of
// at most this many characters.
inline constexpr std::size_t kMaxCategoryDevices = 64;
inline constexpr std::size_t kMaxDeviceText = 511;
// Video-class positions recognise a camera again by their first 255 path
// characters (a 256-character slot with its terminator).
inline constexpr std::size_t kMaxTablePath = 255;
// Only devices on USB are looked up; the prefix is case-sensitive.
inline constexpr std::string_view kUsbPathPrefix = "usb-";

inline constexpr HRESULT32 E_UNEXPECTED = static_cast<HRESULT32>(0x8000FFFFu);

// Lists a category through `backend` (VideoClassBackend or
// PropertySetBackend). An empty category fails with E_UNEXPECTED; a failed
// listing with E_FAIL and `err`. Devices without a friendly name are
// skipped; at most kMaxCategoryDevices are kept.
template <typename Backend>
[[nodiscard]] HRESULT32 list_category(Backend* backend, DeviceCategory category,
                                      std::vector<CategoryDevice>& out, SysError& err);

// Finds the device of `category` whose path (or, for a device without one,
// name) equals `path` and binds it. A path without the USB prefix fails with
// E_FAIL; no match is success with a null `bound`.
template <typename Backend, typename Bound>
[[nodiscard]] HRESULT32 lookup_filter(Backend* backend, DeviceCategory category,
                                      const std::string& path, std::unique_ptr<Bound>& bound,
                                      SysError& err);

// The re-enumeration rule. `table` holds `known` positions from the previous
// enumeration; `found` the paths of the cameras found now, in enumeration
// order. Returns, for each new position, the index into `found` of its
// camera: first the known positions found again (old order), then the rest
// of `found` (enumeration order).
[[nodiscard]] std::vector<std::size_t> merge_order(const DeviceEntry* table, std::int32_t known,
                                                   const std::vector<std::string>& found);

}  // namespace lumavix

// The video-class probe: lists the video capture devices, recognises the
// cameras by their units and merges them into the device table.
[[nodiscard]] bool EnumVideoDevice();
// Releases the control interfaces of every video-class position.
void vidxu_ReleaseAll();
// Looks for `variant`'s unit among the filter's device-specific nodes and
// keeps its node id. The bridge maker's unit must be the first such node.
[[nodiscard]] bool vidxu_FindUnit(lumavix::VideoControl* filter, lumavix::XuVariant variant);

// Register 0x0000 over the bridge maker's unit: `gen` 2 when the high nibble
// of its first byte is 0xB, else 0; false (with `gen` 0) when unreadable.
[[nodiscard]] bool vidxu_GetChipGen(lumavix::VideoControl* c, std::uint8_t& gen);
[[nodiscard]] bool vidxu_RegRead(lumavix::VideoControl* c, lumavix::RegRequest& req);
[[nodiscard]] bool vidxu_RegWrite(lumavix::VideoControl* c, const lumavix::RegRequest& req);
[[nodiscard]] bool vidxu_I2cRead(lumavix::VideoControl* c, lumavix::I2cRequest& req);
[[nodiscard]] bool vidxu_I2cWrite(lumavix::VideoControl* c, const lumavix::I2cRequest& req);
[[nodiscard]] bool vidxu_SpiRead(lumavix::VideoControl* c, lumavix::SpiRequest& req);
[[nodiscard]] bool vidxu_SpiWrite(lumavix::VideoControl* c, const lumavix::SpiRequest& req);
// The Aveo unit carries 16-bit registers and single I2C bytes.
[[nodiscard]] bool vidxu_Aveo_RegRead(lumavix::VideoControl* c, lumavix::RegRequest& req);
[[nodiscard]] bool vidxu_Aveo_RegWrite(lumavix::VideoControl* c, const lumavix::RegRequest& req);
[[nodiscard]] bool vidxu_Aveo_I2cRead(lumavix::VideoControl* c, lumavix::I2cRequest& req);
[[nodiscard]] bool vidxu_Aveo_I2cWrite(lumavix::VideoControl* c, const lumavix::I2cRequest& req);

// ----------------------------------------------------------- templates --

namespace lumavix {

template <typename Backend>
HRESULT32 list_category(Backend* backend, DeviceCategory category,
                        std::vector<CategoryDevice>& out, SysError& err) {
  out.clear();
  // A platform without this backend simply has no such devices.
  if (!backend) return E_FAIL;
  std::vector<CategoryDevice> all;
  if (!backend->list(category, all, err)) return E_FAIL;
  if (all.empty()) return E_UNEXPECTED;
  for (CategoryDevice& d : all) {
    if (d.name.empty()) continue;
    if (d.name.size() > kMaxDeviceText) d.name.resize(kMaxDeviceText);
    if (d.path.size() > kMaxDeviceText) d.path.resize(kMaxDeviceText);
    out.push_back(std::move(d));
    if (out.size() == kMaxCategoryDevices) break;
  }
  return kOk;
}

template <typename Backend, typename Bound>
HRESULT32 lookup_filter(Backend* backend, DeviceCategory category, const std::string& path,
                        std::unique_ptr<Bound>& bound, SysError& err) {
  bound.reset();
  if (path.compare(0, kUsbPathPrefix.size(), kUsbPathPrefix) != 0) return E_FAIL;
  if (!backend) return E_FAIL;
  std::vector<CategoryDevice> all;
  if (!backend->list(category, all, err)) return E_FAIL;
  for (const CategoryDevice& d : all) {
    std::string key = d.path.empty() ? d.name : d.path;
    if (key.empty()) continue;
    if (key.size() > kMaxDeviceText) key.resize(kMaxDeviceText);
    if (key != path) continue;
    bound = backend->bind(category, d.path.empty() ? d.name : d.path, err);
    return bound ? kOk : E_FAIL;
  }
  return kOk;
}

}  // namespace lumavix
