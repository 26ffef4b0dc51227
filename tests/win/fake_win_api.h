// The Windows system calls of the platform layers, faked: HID interfaces with
// the capabilities their parser would report, failures on any call, a
// scripted feature-report exchange that refuses buffers of any length but
// the interface's feature length (as the class driver does), and named
// mutexes whose waits answer as told and which open only when their security
// allows it. Handles are small numbers; every handle and parser record handed
// out is counted, so a test can tell that the layer gave them all back.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/win_sys_call.h"

namespace lumavix::test {

struct FakeHidInterface {
  std::wstring path;
  USHORT vendor_id = 0x2A9C;
  USHORT product_id = 0x0E51;
  std::wstring product = L"LUMAVIX Q";
  std::vector<HIDP_VALUE_CAPS> feature_values;
  std::vector<HIDP_BUTTON_CAPS> feature_buttons;
  USHORT feature_length = 41;
  DWORD detail_error = 0;        // interface_path fails with it (gone since listed)
  DWORD inspect_error = 0;       // the inspection open fails with it
  DWORD open_error = 0;          // the read-write open fails with it
  bool no_preparsed = false;     // HidD_GetPreparsedData fails
};

// A feature value capability of `report_id` with one usage (or a range).
inline HIDP_VALUE_CAPS value_cap(UCHAR report_id, USHORT count, USHORT usage_min = 1,
                                 USHORT usage_max = 1) {
  HIDP_VALUE_CAPS v{};
  v.UsagePage = 0xFF00;
  v.ReportID = report_id;
  v.BitSize = 8;
  v.ReportCount = count;
  v.IsRange = usage_min != usage_max;
  if (v.IsRange) {
    v.Range.UsageMin = usage_min;
    v.Range.UsageMax = usage_max;
  } else {
    v.NotRange.Usage = usage_min;
  }
  v.LogicalMax = 255;
  return v;
}

inline HIDP_BUTTON_CAPS button_cap(UCHAR report_id) {
  HIDP_BUTTON_CAPS b{};
  b.UsagePage = 0x09;
  b.ReportID = report_id;
  b.NotRange.Usage = 1;
  return b;
}

class FakeWinApi final : public WinApi {
 public:
  std::vector<FakeHidInterface> interfaces;
  DWORD list_error = 0;  // SetupDiGetClassDevs fails with it

  // Feature transfers on the read-write handles.
  std::vector<std::vector<std::uint8_t>> sets;    // every report set, as sent
  std::vector<std::size_t> get_lengths;           // every get's buffer length
  std::deque<std::vector<std::uint8_t>> replies;  // filled into get buffers, in turn
  DWORD transfer_error = 0;                       // every transfer fails with it

  // Mutexes.
  DWORD create_mutex_error = 0;
  std::deque<DWORD> wait_results;  // WAIT_OBJECT_0 when empty
  int waits = 0, releases = 0;
  std::vector<std::wstring> mutex_names;  // every name asked for, in turn
  // The named mutexes there are: made by this process, or by another copy
  // (of another user, session or integrity) that this one may open only
  // when it was made for every session.
  struct MutexObject {
    bool ours = false;
    bool every_session = false;
  };
  std::map<std::wstring, MutexObject> mutex_objects;

  HANDLE last_device = nullptr;  // the device handle opened last
  int product_reads = 0;         // HidD_GetProductString calls
  int open_handles = 0;   // handles handed out and not closed
  int open_preparsed = 0; // parser records not freed
  int device_lists = 0;   // SetupAPI lists not destroyed

  DWORD last_error() override { return error_; }

  void hid_guid(GUID& out) override { out = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0, 0x11, 0x11, 0, 0, 0x30}}; }

  HDEVINFO class_devices(const GUID&) override {
    if (list_error) return fail<HDEVINFO>(list_error, INVALID_HANDLE_VALUE);
    ++device_lists;
    return reinterpret_cast<HDEVINFO>(std::uintptr_t{0x5E7});
  }

  bool enum_interface(HDEVINFO, const GUID&, DWORD index, SP_DEVICE_INTERFACE_DATA& out) override {
    if (index >= interfaces.size()) return fail(ERROR_NO_MORE_ITEMS, false);
    out.Reserved = index;
    return true;
  }

  bool interface_path(HDEVINFO, SP_DEVICE_INTERFACE_DATA& iface, std::wstring& path) override {
    const FakeHidInterface& f = interfaces.at(iface.Reserved);
    if (f.detail_error) return fail(f.detail_error, false);
    path = f.path;
    return true;
  }

  void destroy_device_list(HDEVINFO) override { --device_lists; }

  HANDLE open_device(const std::wstring& path, DWORD access) override {
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
      const FakeHidInterface& f = interfaces[i];
      if (f.path != path) continue;
      const DWORD e = access == 0 ? f.inspect_error : f.open_error;
      if (e) return fail<HANDLE>(e, INVALID_HANDLE_VALUE);
      ++open_handles;
      const auto h = reinterpret_cast<HANDLE>(next_handle_++);
      handle_iface_[h] = i;
      last_device = h;
      return h;
    }
    return fail<HANDLE>(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  }

  void close_handle(HANDLE h) override {
    --open_handles;
    handle_iface_.erase(h);
  }

  bool hid_attributes(HANDLE h, HIDD_ATTRIBUTES& out) override {
    const FakeHidInterface& f = of(h);
    out.VendorID = f.vendor_id;
    out.ProductID = f.product_id;
    return true;
  }

  bool hid_preparsed_data(HANDLE h, PHIDP_PREPARSED_DATA& out) override {
    const FakeHidInterface& f = of(h);
    if (f.no_preparsed) return fail(ERROR_INVALID_PARAMETER, false);
    ++open_preparsed;
    // The record names its interface.
    out = reinterpret_cast<PHIDP_PREPARSED_DATA>(std::uintptr_t{0x1000} + handle_iface_.at(h));
    return true;
  }

  void hid_free_preparsed_data(PHIDP_PREPARSED_DATA) override { --open_preparsed; }

  NTSTATUS hidp_caps(PHIDP_PREPARSED_DATA data, HIDP_CAPS& out) override {
    const FakeHidInterface& f = of(data);
    out = {};
    out.FeatureReportByteLength = f.feature_length;
    out.NumberFeatureValueCaps = static_cast<USHORT>(f.feature_values.size());
    out.NumberFeatureButtonCaps = static_cast<USHORT>(f.feature_buttons.size());
    return HIDP_STATUS_SUCCESS;
  }

  NTSTATUS hidp_value_caps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps, USHORT& count,
                           PHIDP_PREPARSED_DATA data) override {
    const FakeHidInterface& f = of(data);
    if (type != HidP_Feature || count < f.feature_values.size()) return HIDP_STATUS_BUFFER_TOO_SMALL;
    for (std::size_t i = 0; i < f.feature_values.size(); ++i) caps[i] = f.feature_values[i];
    count = static_cast<USHORT>(f.feature_values.size());
    return HIDP_STATUS_SUCCESS;
  }

  NTSTATUS hidp_button_caps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps, USHORT& count,
                            PHIDP_PREPARSED_DATA data) override {
    const FakeHidInterface& f = of(data);
    if (type != HidP_Feature || count < f.feature_buttons.size()) return HIDP_STATUS_BUFFER_TOO_SMALL;
    for (std::size_t i = 0; i < f.feature_buttons.size(); ++i) caps[i] = f.feature_buttons[i];
    count = static_cast<USHORT>(f.feature_buttons.size());
    return HIDP_STATUS_SUCCESS;
  }

  bool hid_product_string(HANDLE h, std::wstring& out) override {
    ++product_reads;
    out = of(h).product;
    return true;
  }

  // As the class driver: a buffer of any length but the collection's
  // FeatureReportByteLength is refused before the device sees it.
  bool hid_set_feature(HANDLE h, void* report, ULONG length) override {
    if (length != of(h).feature_length) return fail(ERROR_INVALID_PARAMETER, false);
    if (transfer_error) return fail(transfer_error, false);
    const auto* p = static_cast<const std::uint8_t*>(report);
    sets.emplace_back(p, p + length);
    return true;
  }

  bool hid_get_feature(HANDLE h, void* report, ULONG length) override {
    get_lengths.push_back(length);
    if (length != of(h).feature_length) return fail(ERROR_INVALID_PARAMETER, false);
    if (transfer_error) return fail(transfer_error, false);
    auto* p = static_cast<std::uint8_t*>(report);
    if (!replies.empty()) {
      const std::vector<std::uint8_t> r = replies.front();
      replies.pop_front();
      for (std::size_t i = 0; i < length && i < r.size(); ++i) p[i] = r[i];
    }
    return true;
  }

  // As the object manager: a name that exists is opened when its security
  // lets this process wait for it and release it, else refused.
  HANDLE create_mutex(const std::wstring& name, bool for_every_session) override {
    if (create_mutex_error) return fail<HANDLE>(create_mutex_error, nullptr);
    mutex_names.push_back(name);
    const auto there = mutex_objects.find(name);
    if (there != mutex_objects.end() && !there->second.ours && !there->second.every_session)
      return fail<HANDLE>(ERROR_ACCESS_DENIED, nullptr);
    if (there == mutex_objects.end()) mutex_objects[name] = {true, for_every_session};
    error_ = there == mutex_objects.end() ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
    ++open_handles;
    return reinterpret_cast<HANDLE>(next_handle_++);
  }

  DWORD wait_for(HANDLE, DWORD) override {
    ++waits;
    if (wait_results.empty()) return WAIT_OBJECT_0;
    const DWORD r = wait_results.front();
    wait_results.pop_front();
    if (r == WAIT_FAILED) error_ = ERROR_INVALID_HANDLE;
    return r;
  }

  bool release_mutex(HANDLE) override {
    ++releases;
    return true;
  }

 private:
  template <typename T>
  T fail(DWORD e, T result) {
    error_ = e;
    return result;
  }
  const FakeHidInterface& of(HANDLE h) const { return interfaces.at(handle_iface_.at(h)); }
  const FakeHidInterface& of(PHIDP_PREPARSED_DATA d) const {
    return interfaces.at(reinterpret_cast<std::uintptr_t>(d) - 0x1000);
  }

  DWORD error_ = 0;
  std::uintptr_t next_handle_ = 0x100;
  std::map<HANDLE, std::size_t> handle_iface_;
};

}  // namespace lumavix::test
