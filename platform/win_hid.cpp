// Before windows.h (through the layer's header), whose macros would clash
// with the library's names.
#include "devlib/hid_transport.h"

#include "platform/win_hid.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "devlib/trace.h"

namespace lumavix {

namespace {

// Closes a handle and frees parser data however the inspection ends.
struct Inspection {
  WinApi& api;
  HANDLE handle = INVALID_HANDLE_VALUE;
  PHIDP_PREPARSED_DATA data = nullptr;
  ~Inspection() {
    if (data) api.hid_free_preparsed_data(data);
    if (handle != INVALID_HANDLE_VALUE) api.close_handle(handle);
  }
};

class WinHidDevice final : public HidDevice {
 public:
  WinHidDevice(WinApi& api, HANDLE h, std::string path, std::uint16_t feature_length)
      : api_(api), handle_(h), path_(std::move(path)), feature_length_(feature_length) {}
  ~WinHidDevice() override { api_.close_handle(handle_); }
  WinHidDevice(const WinHidDevice&) = delete;
  WinHidDevice& operator=(const WinHidDevice&) = delete;

  // The class driver takes only buffers of the collection's
  // FeatureReportByteLength, whatever the report's own length: a shorter
  // report travels zero-filled to that length, and a get hands the caller
  // the first bytes of the full-length reply, its report's own.
  int set_feature(std::span<const std::uint8_t> report) override {
    if (const int bad = check_length(report.size(), "set")) return bad;
    std::vector<std::uint8_t> buf = driver_buffer(report.size());
    std::copy(report.begin(), report.end(), buf.begin());
    if (!api_.hid_set_feature(handle_, buf.data(), static_cast<ULONG>(buf.size())))
      return failed("set");
    return static_cast<int>(report.size());
  }

  // The class driver fills the whole buffer or fails; it reports no count.
  int get_feature(std::span<std::uint8_t> report) override {
    if (const int bad = check_length(report.size(), "get")) return bad;
    std::vector<std::uint8_t> buf = driver_buffer(report.size());
    buf[0] = report[0];
    if (!api_.hid_get_feature(handle_, buf.data(), static_cast<ULONG>(buf.size())))
      return failed("get");
    std::copy_n(buf.begin(), report.size(), report.begin());
    return static_cast<int>(report.size());
  }

  const std::string& path() const override { return path_; }

 private:
  // A report longer than the longest the interface declares never reaches
  // the driver; an empty one has no room for the report id.
  int check_length(std::size_t size, const char* what) const {
    if (size == 0) return -EINVAL;
    if (feature_length_ != 0 && size > feature_length_) {
      DebugTrace("%s: feature %s of %u bytes refused: the interface's feature reports are "
                 "at most %u bytes",
                 path_.c_str(), what, static_cast<unsigned>(size),
                 static_cast<unsigned>(feature_length_));
      return -EMSGSIZE;
    }
    return 0;
  }

  // Zeroed, of the interface's feature length; of the report's own length
  // when the parser data could not be had (the only length then known).
  std::vector<std::uint8_t> driver_buffer(std::size_t report_size) const {
    return std::vector<std::uint8_t>(std::max<std::size_t>(report_size, feature_length_), 0);
  }

  int failed(const char* what) {
    const DWORD code = api_.last_error();
    DebugTrace("%s: feature %s failed: %s", path_.c_str(), what, win32_error_text(code).c_str());
    return -errno_from_win32(code);
  }

  WinApi& api_;
  HANDLE handle_;
  std::string path_;
  std::uint16_t feature_length_;
};

}  // namespace

bool win_feature_caps(WinApi& api, HANDLE h, hid::ReportTypeCaps& out) {
  out = {};
  PHIDP_PREPARSED_DATA data = nullptr;
  if (!api.hid_preparsed_data(h, data) || !data) return false;
  Inspection guard{api};
  guard.data = data;
  HIDP_CAPS caps{};
  if (api.hidp_caps(data, caps) != HIDP_STATUS_SUCCESS) return false;
  out.byte_length = caps.FeatureReportByteLength;

  if (caps.NumberFeatureValueCaps > 0) {
    std::vector<HIDP_VALUE_CAPS> values(caps.NumberFeatureValueCaps);
    USHORT n = caps.NumberFeatureValueCaps;
    if (api.hidp_value_caps(HidP_Feature, values.data(), n, data) != HIDP_STATUS_SUCCESS)
      return false;
    values.resize(std::min<std::size_t>(n, values.size()));
    for (const HIDP_VALUE_CAPS& v : values) {
      hid::ValueCap c;
      c.report_id = v.ReportID;
      c.usage_page = v.UsagePage;
      c.is_range = v.IsRange != FALSE;
      c.usage_min = v.IsRange ? v.Range.UsageMin : v.NotRange.Usage;
      c.usage_max = v.IsRange ? v.Range.UsageMax : v.NotRange.Usage;
      c.bit_size = v.BitSize;
      c.report_count = v.ReportCount;
      c.logical_min = v.LogicalMin;
      c.logical_max = v.LogicalMax;
      c.bit_field = v.BitField;
      // A range covers each of its usages; a reversed one counts as one.
      out.data_item_count +=
          c.is_range && c.usage_max >= c.usage_min ? c.usage_max - c.usage_min + 1u : 1u;
      out.values.push_back(c);
    }
  }
  if (caps.NumberFeatureButtonCaps > 0) {
    std::vector<HIDP_BUTTON_CAPS> buttons(caps.NumberFeatureButtonCaps);
    USHORT n = caps.NumberFeatureButtonCaps;
    if (api.hidp_button_caps(HidP_Feature, buttons.data(), n, data) != HIDP_STATUS_SUCCESS)
      return false;
    buttons.resize(std::min<std::size_t>(n, buttons.size()));
    for (const HIDP_BUTTON_CAPS& b : buttons) {
      hid::ButtonCap c;
      c.report_id = b.ReportID;
      c.usage_page = b.UsagePage;
      c.is_range = b.IsRange != FALSE;
      c.usage_min = b.IsRange ? b.Range.UsageMin : b.NotRange.Usage;
      c.usage_max = b.IsRange ? b.Range.UsageMax : b.NotRange.Usage;
      c.bit_field = b.BitField;
      out.data_item_count += 1;
      out.buttons.push_back(c);
    }
  }
  return true;
}

bool WinHidBackend::enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) {
  out.clear();
  err = {};
  GUID cls{};
  api_.hid_guid(cls);
  HDEVINFO set = api_.class_devices(cls);
  if (set == INVALID_HANDLE_VALUE) {
    const DWORD code = api_.last_error();
    err = {errno_from_win32(code), "the HID interfaces cannot be listed: " + win32_error_text(code)};
    return false;
  }
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (!api_.enum_interface(set, cls, index, iface)) {
      const DWORD code = api_.last_error();
      if (code != ERROR_NO_MORE_ITEMS)
        DebugTrace("HID interface %lu cannot be listed: %s", static_cast<unsigned long>(index),
                   win32_error_text(code).c_str());
      break;
    }
    std::wstring wpath;
    // An interface removed since the list was made has no detail any more.
    if (!api_.interface_path(set, iface, wpath) || wpath.empty()) continue;
    HidInterfaceInfo info;
    info.path = narrow(wpath);

    Inspection probe{api_};
    probe.handle = api_.open_device(wpath, 0);
    if (probe.handle == INVALID_HANDLE_VALUE) {
      DebugTrace("%s", device_open_message(info.path, api_.last_error()).c_str());
      out.push_back(std::move(info));
      continue;
    }
    HIDD_ATTRIBUTES attrs{};
    if (api_.hid_attributes(probe.handle, attrs)) {
      info.vendor_id = attrs.VendorID;
      info.product_id = attrs.ProductID;
    }
    hid::ReportTypeCaps feature;
    if (win_feature_caps(api_, probe.handle, feature)) info.feature_caps = std::move(feature);
    // The product string is a request to the device itself (seconds on a
    // slow one, on the window's thread): asked of a camera's interface
    // only, and once for each path and USB id.
    if (hid_interface_is_camera(info)) {
      const std::string key = info.path + '\n' + std::to_string(info.vendor_id) + ':' +
                              std::to_string(info.product_id);
      std::lock_guard lock(names_mutex_);
      auto known = names_.find(key);
      if (known == names_.end()) {
        std::wstring name;
        known = names_.emplace(key, api_.hid_product_string(probe.handle, name) ? narrow(name)
                                                                                : std::string())
                    .first;
      }
      info.name = known->second;
    }
    out.push_back(std::move(info));
  }
  api_.destroy_device_list(set);
  return true;
}

std::unique_ptr<HidDevice> WinHidBackend::open(const std::string& path, SysError& err) {
  err = {};
  const HANDLE h = api_.open_device(widen(path), GENERIC_READ | GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = api_.last_error();
    err = {errno_from_win32(code), device_open_message(path, code)};
    return nullptr;
  }
  hid::ReportTypeCaps feature;
  const std::uint16_t length = win_feature_caps(api_, h, feature) ? feature.byte_length : 0;
  return std::make_unique<WinHidDevice>(api_, h, path, length);
}

}  // namespace lumavix
