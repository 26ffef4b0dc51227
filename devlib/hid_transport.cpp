#include "devlib/hid_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "devlib/hid_descriptor.h"
#include "devlib/internal/library_state.h"
#include "devlib/trace.h"

namespace lumavix {

bool hid_interface_is_camera(std::span<const std::uint8_t> report_descriptor) {
  hid::DescriptorCaps caps;
  if (!hid::parse_report_descriptor(report_descriptor, caps)) return false;
  return hid_feature_caps_are_camera(caps.feature);
}

bool hid_interface_is_camera(const HidInterfaceInfo& info) {
  return info.feature_caps ? hid_feature_caps_are_camera(*info.feature_caps)
                           : hid_interface_is_camera(info.report_descriptor);
}

bool hid_feature_caps_are_camera(const hid::ReportTypeCaps& feature) {
  if (feature.data_item_count < 1 || feature.data_item_count > 3) return false;
  auto declares = [&](std::uint8_t id) {
    return std::any_of(feature.values.begin(), feature.values.end(),
                       [id](const hid::ValueCap& v) { return v.report_id == id; });
  };
  return declares(kReportCommand) && declares(kReportData);
}

namespace {

std::string errno_text(int code) {
  return code ? std::string(std::strerror(code)) : std::string("failed");
}

}  // namespace
}  // namespace lumavix

using namespace lumavix;

std::uint32_t hidreq_OpenAll(HidDeviceList& list) {
  list.count = 0;
  HidBackend* backend = platform().hid;
  if (!backend) {
    add_cause("no HID access on this system");
    return 0;
  }
  std::vector<HidInterfaceInfo> interfaces;
  SysError err;
  if (!backend->enumerate(interfaces, err)) {
    add_cause(err.message.empty() ? "the HID interfaces cannot be listed" : err.message);
    return 0;
  }

  std::vector<const HidInterfaceInfo*> accepted;
  for (const HidInterfaceInfo& info : interfaces) {
    if (!hid_interface_is_camera(info)) continue;
    if (accepted.size() == static_cast<std::size_t>(kMaxDevices)) break;
    accepted.push_back(&info);
  }
  if (accepted.empty()) {
    add_cause(interfaces.empty()
                  ? std::string("no HID device is present")
                  : "none of the " + std::to_string(interfaces.size()) + " HID interface" +
                        (interfaces.size() == 1 ? " is" : "s is") +
                        " a camera's (none declares feature reports 0x87 and 0x93)");
    return 0;
  }

  for (const HidInterfaceInfo* info : accepted) {
    SysError open_err;
    std::unique_ptr<HidDevice> dev = backend->open(info->path, open_err);
    if (!dev) {
      add_cause(open_err.message.empty()
                    ? "cannot open " + info->path + ": " + errno_text(open_err.code)
                    : open_err.message);
      continue;
    }
    const std::uint32_t i = list.count++;
    list.handles[i] = std::move(dev);
    // Paths are kept to 259 characters, as the table's slots hold.
    list.paths[i] = info->path.substr(0, 259);
    list.product_ids[i] = info->product_id;
  }
  return list.count;
}

void hidreq_CloseAll(HidDeviceList& list) {
  if (list.count > static_cast<std::uint32_t>(kMaxDevices)) return;
  for (std::uint32_t i = 0; i < list.count; ++i) {
    list.handles[i].reset();
    list.paths[i].clear();
    list.product_ids[i] = 0;
  }
  list.count = 0;
}

bool hidreq_Init() {
  LibraryState& s = library_state();
  const std::uint32_t count = hidreq_OpenAll(s.hidList);
  if (count == 0) {
    DebugTrace("No found HID Device.");
    return false;
  }
  s.kind = DeviceKind::Hid;
  s.count = static_cast<std::int32_t>(count);
  s.lock = open_library_lock("hidreq_Init", true);
  if (!s.lock) {
    hidreq_CloseAll(s.hidList);
    s.kind = DeviceKind::None;
    s.count = 0;
    return false;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    DeviceEntry& e = s.table[i];
    e.hid = s.hidList.handles[i].get();
    e.usb_product_id = s.hidList.product_ids[i];
    e.control = nullptr;
    e.gen = 0;
    // The HID transport's table reads the generation through the protocol.
    (void)kHidTransport.chip_gen(e, e.gen);
  }
  s.lock->release();
  return true;
}

bool hidreq_SetFeature(HidDevice* handle, std::uint8_t reportId, const std::uint8_t* data,
                       std::uint32_t len) {
  if (!handle || len > kMaxFeaturePayload || (len > 0 && !data)) return false;
  std::uint8_t buf[kMaxFeaturePayload + 1] = {};
  buf[0] = reportId;
  if (len > 0) std::memcpy(buf + 1, data, len);
  const int n = handle->set_feature(std::span<const std::uint8_t>(buf, len + 1));
  if (n < 0) {
    set_last_transfer_error({-n, handle->path() + ": " + std::strerror(-n)});
    return false;
  }
  return true;
}

bool hidreq_GetFeature(HidDevice* handle, std::uint8_t reportId, std::uint8_t* out,
                       std::uint32_t len) {
  if (!handle || !out || len > kMaxFeaturePayload) return false;
  std::uint8_t buf[kMaxFeaturePayload + 1] = {};
  buf[0] = reportId;
  const int n = handle->get_feature(std::span<std::uint8_t>(buf, len + 1));
  if (n <= 0) {
    const int code = n < 0 ? -n : EIO;
    set_last_transfer_error({code, handle->path() + ": " + std::strerror(code)});
    return false;
  }
  // A short reply leaves the rest of the buffer at zero.
  if (static_cast<std::uint32_t>(n) < len + 1) std::memset(buf + n, 0, len + 1 - n);
  std::memcpy(out, buf, len);
  return true;
}
