// Video-class extension units and vendor property sets on Windows, through
// kernel streaming: capture devices listed by DirectShow's device categories
// (name and device path from each moniker's property bag), the camera bound
// to its filter, the filter's topology nodes, and every control request a
// KsProperty call on the filter (a node request for an extension unit, the
// caller's own buffer for a vendor property set).
//
// The DirectShow and kernel-streaming calls go through KsApi, so the layer
// can be tested with them faked. Every call runs on one thread of the layer's
// own, in the multithreaded apartment, whichever thread asks (the window's
// is a single-threaded apartment): the filters bound there are used and
// released there only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "platform/win_sys_call.h"

namespace lumavix {

struct KsDeviceEntry {
  std::wstring name;  // FriendlyName
  std::wstring path;  // DevicePath; empty when the device has none
};

// One bound filter: its topology and its kernel-streaming control.
class KsFilter {
 public:
  virtual ~KsFilter() = default;
  [[nodiscard]] virtual HRESULT node_count(DWORD& out) = 0;             // get_NumNodes
  [[nodiscard]] virtual HRESULT node_type(DWORD node, GUID& out) = 0;   // get_NodeType
  // IKsControl::KsProperty: `property` describes the request, `data` carries
  // its payload either way; `returned` is the bytes the driver returned.
  [[nodiscard]] virtual HRESULT ks_property(void* property, ULONG property_length, void* data,
                                            ULONG data_length, ULONG& returned) = 0;
};

class KsApi {
 public:
  virtual ~KsApi() = default;
  // CoInitializeEx(multithreaded) once on the calling thread (the layer's
  // own); a thread that COM already serves in another mode is served as it is.
  [[nodiscard]] virtual HRESULT init_thread() = 0;
  // The devices of a DirectShow category through the system device
  // enumerator; S_FALSE with no entry for an empty category. Devices without
  // a FriendlyName are left out; at most 64 are listed.
  [[nodiscard]] virtual HRESULT list_category(const GUID& category,
                                              std::vector<KsDeviceEntry>& out) = 0;
  // Binds the category's device whose DevicePath (its FriendlyName when it
  // has none) is `path` to its filter; S_FALSE and no filter when none is.
  [[nodiscard]] virtual HRESULT bind(const GUID& category, const std::wstring& path,
                                     std::unique_ptr<KsFilter>& out) = 0;
};

[[nodiscard]] KsApi& system_ks_api();

// The errno value of a failed HRESULT (a Win32 error inside it is mapped as
// errno_from_win32 maps it; E_ACCESSDENIED is EACCES), and its text.
[[nodiscard]] int errno_from_hresult(HRESULT hr);
[[nodiscard]] std::string hresult_text(HRESULT hr);

// DirectShow's video input devices and broadcast receiver components.
[[nodiscard]] GUID category_guid(DeviceCategory category);

class WinKsVideoBackend final : public VideoClassBackend {
 public:
  explicit WinKsVideoBackend(KsApi& api = system_ks_api()) : api_(api) {}
  // Devices with a path only: a camera is found again by its path.
  [[nodiscard]] bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                          SysError& err) override;
  [[nodiscard]] std::unique_ptr<VideoControl> bind(DeviceCategory category,
                                                   const std::string& path,
                                                   SysError& err) override;

 private:
  KsApi& api_;
};

class WinKsPropertySetBackend final : public PropertySetBackend {
 public:
  explicit WinKsPropertySetBackend(KsApi& api = system_ks_api()) : api_(api) {}
  [[nodiscard]] bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                          SysError& err) override;
  [[nodiscard]] std::unique_ptr<PropertySetDevice> bind(DeviceCategory category,
                                                        const std::string& path,
                                                        SysError& err) override;

 private:
  KsApi& api_;
};

}  // namespace lumavix
