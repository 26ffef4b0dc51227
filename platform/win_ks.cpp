#include "platform/win_ks.h"

#include <objbase.h>
#include <oaidl.h>
#include <ocidl.h>
#include <strmif.h>
// After strmif.h:
#include <ks.h>
#include <ksproxy.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <cwctype>

#include "devlib/trace.h"

namespace lumavix {

namespace {

constexpr GUID kSystemDeviceEnum = {0x62BE5D10, 0x60EB, 0x11D0,
                                    {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kIidCreateDevEnum = {0x29840822, 0x5B84, 0x11D0,
                                    {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kIidPropertyBag = {0x55272A00, 0x42CB, 0x11CE,
                                  {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
constexpr GUID kIidBaseFilter = {0x56A86895, 0x0AD4, 0x11CE,
                                 {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID kIidKsTopologyInfo = {0x720D4AC0, 0x7533, 0x11D0,
                                     {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID kIidKsControl = {0x28F54685, 0x06FD, 0x11D2,
                                {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kVideoInputCategory = {0x860BB310, 0x5D01, 0x11D0,
                                      {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kBdaReceiverCategory = {0xFD0A5AF4, 0xB41D, 0x11D2,
                                       {0x9C, 0x95, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0}};
// The node type of a device-specific unit: an extension unit.
constexpr GUID kNodeDevSpecific = {0x941C7AC0, 0xC559, 0x11D0,
                                   {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr std::size_t kMaxCategoryDevices = 64;

// The filter's topology interface, in the order of its table (the SDK's
// header for it is not among mingw-w64's).
struct IKsTopologyInfoVtbl : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD, GUID*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD, void*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD, WCHAR*, DWORD, DWORD*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD*) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD, GUID*) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD, REFIID, void**) = 0;
};

// Releases a COM interface when it goes out of scope.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// A string property of a moniker's bag; empty when it has none.
std::wstring read_bag(IPropertyBag* bag, const wchar_t* name) {
  VARIANT v;
  ::VariantInit(&v);
  std::wstring out;
  if (SUCCEEDED(bag->Read(name, &v, nullptr)) && v.vt == VT_BSTR && v.bstrVal) out = v.bstrVal;
  ::VariantClear(&v);
  return out;
}

// Walks a category's monikers; `visit` returns false to stop.
template <typename Visit>
HRESULT each_device(const GUID& category, Visit visit) {
  ComRef<ICreateDevEnum> devenum;
  HRESULT hr = ::CoCreateInstance(kSystemDeviceEnum, nullptr, CLSCTX_ALL, kIidCreateDevEnum,
                                  devenum.put_void());
  if (FAILED(hr)) return hr;
  ComRef<IEnumMoniker> monikers;
  hr = devenum->CreateClassEnumerator(category, monikers.put(), 0);
  if (hr != S_OK || !monikers) return FAILED(hr) ? hr : S_FALSE;  // S_FALSE: empty
  for (;;) {
    ComRef<IMoniker> moniker;
    if (monikers->Next(1, moniker.put(), nullptr) != S_OK) break;
    ComRef<IPropertyBag> bag;
    hr = moniker->BindToStorage(nullptr, nullptr, kIidPropertyBag, bag.put_void());
    if (FAILED(hr)) return hr;
    if (!visit(moniker.get(), bag.get())) break;
  }
  return S_OK;
}

class SystemKsFilter final : public KsFilter {
 public:
  SystemKsFilter(IBaseFilter* filter, IKsTopologyInfoVtbl* topology, IKsControl* control)
      : filter_(filter), topology_(topology), control_(control) {}
  ~SystemKsFilter() override {
    if (control_) control_->Release();
    if (topology_) topology_->Release();
    if (filter_) filter_->Release();
  }
  SystemKsFilter(const SystemKsFilter&) = delete;
  SystemKsFilter& operator=(const SystemKsFilter&) = delete;

  HRESULT node_count(DWORD& out) override {
    return topology_ ? topology_->get_NumNodes(&out) : E_NOINTERFACE;
  }
  HRESULT node_type(DWORD node, GUID& out) override {
    return topology_ ? topology_->get_NodeType(node, &out) : E_NOINTERFACE;
  }
  HRESULT ks_property(void* property, ULONG property_length, void* data, ULONG data_length,
                      ULONG& returned) override {
    if (!control_) return E_NOINTERFACE;
    returned = 0;
    return control_->KsProperty(static_cast<PKSPROPERTY>(property), property_length, data,
                                data_length, &returned);
  }

 private:
  IBaseFilter* filter_;
  IKsTopologyInfoVtbl* topology_;
  IKsControl* control_;
};

class SystemKsApi final : public KsApi {
 public:
  HRESULT init_thread() override {
    // Once per thread, never uninitialised: the library's interfaces are
    // used from this thread until it ends.
    thread_local HRESULT result = [] {
      const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      return hr == RPC_E_CHANGED_MODE ? S_FALSE : hr;
    }();
    return result;
  }

  HRESULT list_category(const GUID& category, std::vector<KsDeviceEntry>& out) override {
    out.clear();
    const HRESULT hr = each_device(category, [&](IMoniker*, IPropertyBag* bag) {
      KsDeviceEntry e{read_bag(bag, L"FriendlyName"), read_bag(bag, L"DevicePath")};
      if (!e.name.empty()) out.push_back(std::move(e));
      return out.size() < kMaxCategoryDevices;
    });
    return FAILED(hr) ? hr : out.empty() ? S_FALSE : S_OK;
  }

  HRESULT bind(const GUID& category, const std::wstring& path,
               std::unique_ptr<KsFilter>& out) override {
    out.reset();
    HRESULT bound = S_FALSE;
    const HRESULT hr = each_device(category, [&](IMoniker* moniker, IPropertyBag* bag) {
      // A device without a path is known by its name (vendor property sets).
      std::wstring key = read_bag(bag, L"DevicePath");
      if (key.empty()) key = read_bag(bag, L"FriendlyName");
      if (key.empty() || key != path) return true;
      IBaseFilter* filter = nullptr;
      bound = moniker->BindToObject(nullptr, nullptr, kIidBaseFilter,
                                    reinterpret_cast<void**>(&filter));
      if (SUCCEEDED(bound) && filter) {
        IKsTopologyInfoVtbl* topology = nullptr;
        IKsControl* control = nullptr;
        filter->QueryInterface(kIidKsTopologyInfo, reinterpret_cast<void**>(&topology));
        filter->QueryInterface(kIidKsControl, reinterpret_cast<void**>(&control));
        out = std::make_unique<SystemKsFilter>(filter, topology, control);
        bound = S_OK;
      }
      return false;
    });
    return FAILED(hr) ? hr : bound;
  }
};

// The one thread on which every DirectShow and kernel-streaming call runs,
// in the multithreaded apartment. The window's thread is a single-threaded
// apartment (the file dialog and the shell need one), and the library's
// worker threads use the filters the window's passes bound: an interface
// may be used only in the apartment that made it, so all of them live and
// are used and released here. Made on first use and never ended (a thread
// cannot be joined while the process exits).
class MtaThread {
 public:
  static MtaThread& get() {
    static MtaThread* thread = new MtaThread;
    return *thread;
  }

  // Runs `call` on the thread and waits for it; on the thread itself
  // (a call from within a call) at once.
  void run(const std::function<void()>& call) {
    if (std::this_thread::get_id() == id_) {
      call();
      return;
    }
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++posted_;
    queue_.push_back(&call);
    wake_.notify_all();
    wake_.wait(lock, [&] { return done_ >= ticket; });
  }

 private:
  MtaThread() {
    std::thread t([this] { loop(); });
    id_ = t.get_id();
    t.detach();
  }

  void loop() {
    // Never uninitialised: the apartment lasts as long as the process.
    (void)::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return !queue_.empty(); });
      const std::function<void()>* call = queue_.front();
      queue_.pop_front();
      lock.unlock();
      (*call)();
      lock.lock();
      ++done_;
      wake_.notify_all();
    }
  }

  std::thread::id id_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<const std::function<void()>*> queue_;
  std::uint64_t posted_ = 0, done_ = 0;
};

template <typename F>
auto in_mta(F&& f) -> decltype(f()) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    MtaThread::get().run([&] { f(); });
  } else {
    R result{};
    MtaThread::get().run([&] { result = f(); });
    return result;
  }
}

// Retries nothing: each call is one KsProperty on the filter.
class KsVideoControl final : public VideoControl {
 public:
  KsVideoControl(KsApi& api, std::unique_ptr<KsFilter> filter, std::string path)
      : api_(api), filter_(std::move(filter)), path_(std::move(path)) {}
  ~KsVideoControl() override { in_mta([&] { filter_.reset(); }); }
  KsVideoControl(const KsVideoControl&) = delete;
  KsVideoControl& operator=(const KsVideoControl&) = delete;

  std::uint32_t node_count() override {
    return in_mta([&]() -> std::uint32_t {
      DWORD n = 0;
      return SUCCEEDED(api_.init_thread()) && SUCCEEDED(filter_->node_count(n)) ? n : 0;
    });
  }

  bool node_is_extension_unit(std::uint32_t node) override {
    return in_mta([&] {
      GUID type{};
      return SUCCEEDED(api_.init_thread()) && SUCCEEDED(filter_->node_type(node, type)) &&
             std::memcmp(&type, &kNodeDevSpecific, sizeof type) == 0;
    });
  }

  int xu_request(const XuQuery& q, std::span<std::uint8_t> data, SysError& err) override {
    // Both routes are the same one here: the driver takes every length.
    std::array<std::uint8_t, 32> prop = encode_xu_query(q);
    if (const HRESULT hr = in_mta([&] { return api_.init_thread(); }); FAILED(hr))
      return failed(hr, err);
    ULONG returned = 0;
    const bool question = q.flags == kXuFlagSetSupport;
    const HRESULT hr = in_mta([&] {
      return filter_->ks_property(prop.data(), static_cast<ULONG>(prop.size()),
                                  question ? nullptr : data.data(),
                                  question ? 0 : static_cast<ULONG>(data.size()), returned);
    });
    if (FAILED(hr)) return failed(hr, err);
    if (question) return 0;
    // A driver that claims more than the buffer held is not believed.
    return static_cast<int>(q.flags == kXuFlagGet ? std::min<ULONG>(returned, data.size())
                                                  : data.size());
  }

  const std::string& path() const override { return path_; }

 private:
  int failed(HRESULT hr, SysError& err) const {
    const int code = errno_from_hresult(hr);
    err = {code, path_ + ": " + hresult_text(hr)};
    return -code;
  }

  KsApi& api_;
  std::unique_ptr<KsFilter> filter_;
  std::string path_;
};

class KsPropertySetDevice final : public PropertySetDevice {
 public:
  KsPropertySetDevice(KsApi& api, std::unique_ptr<KsFilter> filter, std::string path)
      : api_(api), filter_(std::move(filter)), path_(std::move(path)) {}
  ~KsPropertySetDevice() override { in_mta([&] { filter_.reset(); }); }
  KsPropertySetDevice(const KsPropertySetDevice&) = delete;
  KsPropertySetDevice& operator=(const KsPropertySetDevice&) = delete;

  // The request is both the property and its data: a get answers in place.
  int property(std::span<std::uint8_t> request, SysError& err) override {
    if (request.size() < sizeof(KSPROPERTY)) {
      err = {EINVAL, path_ + ": a property request is at least " +
                         std::to_string(sizeof(KSPROPERTY)) + " bytes"};
      return -EINVAL;
    }
    ULONG returned = 0;
    const HRESULT hr = in_mta([&] {
      HRESULT r = api_.init_thread();
      if (SUCCEEDED(r))
        r = filter_->ks_property(request.data(), static_cast<ULONG>(request.size()),
                                 request.data(), static_cast<ULONG>(request.size()), returned);
      return r;
    });
    if (FAILED(hr)) {
      const int code = errno_from_hresult(hr);
      err = {code, path_ + ": " + hresult_text(hr)};
      return -code;
    }
    return static_cast<int>(std::min<ULONG>(returned, request.size()));
  }

  const std::string& path() const override { return path_; }

 private:
  KsApi& api_;
  std::unique_ptr<KsFilter> filter_;
  std::string path_;
};

// The USB product id a device path carries ("\\?\usb#vid_2a9c&pid_0e51&mi_00#..."),
// in either case; 0 when it carries none.
std::uint16_t product_id_of_path(const std::wstring& path) {
  for (std::size_t at = 0; at + 8 <= path.size(); ++at) {
    if (std::towlower(path[at]) != L'p' || std::towlower(path[at + 1]) != L'i' ||
        std::towlower(path[at + 2]) != L'd' || path[at + 3] != L'_')
      continue;
    unsigned value = 0;
    bool hex = true;
    for (std::size_t k = at + 4; k < at + 8 && hex; ++k) {
      const wchar_t c = static_cast<wchar_t>(std::towlower(path[k]));
      hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
      value = value * 16 + (c <= L'9' ? c - L'0' : c - L'a' + 10);
    }
    if (hex) return static_cast<std::uint16_t>(value);
  }
  return 0;
}

bool list_devices(KsApi& api, DeviceCategory category, bool paths_only,
                  std::vector<CategoryDevice>& out, SysError& err) {
  out.clear();
  err = {};
  std::vector<KsDeviceEntry> entries;
  const HRESULT hr = in_mta([&] {
    HRESULT r = api.init_thread();
    if (SUCCEEDED(r)) r = api.list_category(category_guid(category), entries);
    return r;
  });
  if (FAILED(hr)) {
    err = {errno_from_hresult(hr), "the capture devices cannot be listed: " + hresult_text(hr)};
    return false;
  }
  for (const KsDeviceEntry& e : entries) {
    if (paths_only && e.path.empty()) continue;
    out.push_back({narrow(e.name), narrow(e.path.empty() ? e.name : e.path),
                   product_id_of_path(e.path)});
  }
  return true;
}

template <typename Device>
std::unique_ptr<Device> bind_device(KsApi& api, DeviceCategory category, const std::string& path,
                                    SysError& err) {
  err = {};
  std::unique_ptr<KsFilter> filter;
  const HRESULT hr = in_mta([&] {
    HRESULT r = api.init_thread();
    if (SUCCEEDED(r)) r = api.bind(category_guid(category), widen(path), filter);
    return r;
  });
  if (FAILED(hr)) {
    in_mta([&] { filter.reset(); });
    err = {errno_from_hresult(hr), "cannot bind " + path + ": " + hresult_text(hr)};
    return nullptr;
  }
  if (!filter) {
    err = {ENODEV, path + " is gone (device unplugged)"};
    return nullptr;
  }
  return std::make_unique<Device>(api, std::move(filter), path);
}

}  // namespace

KsApi& system_ks_api() {
  static SystemKsApi api;
  return api;
}

int errno_from_hresult(HRESULT hr) {
  if (hr == E_ACCESSDENIED) return EACCES;
  if (hr == E_OUTOFMEMORY) return ENOMEM;
  if (hr == E_INVALIDARG) return EINVAL;
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32) return errno_from_win32(HRESULT_CODE(hr));
  return EIO;
}

std::string hresult_text(HRESULT hr) {
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32) return win32_error_text(HRESULT_CODE(hr));
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(hr));
  return std::string("error ") + hex;
}

GUID category_guid(DeviceCategory category) {
  return category == DeviceCategory::VideoCapture ? kVideoInputCategory : kBdaReceiverCategory;
}

bool WinKsVideoBackend::list(DeviceCategory category, std::vector<CategoryDevice>& out,
                             SysError& err) {
  return list_devices(api_, category, true, out, err);
}

std::unique_ptr<VideoControl> WinKsVideoBackend::bind(DeviceCategory category,
                                                      const std::string& path, SysError& err) {
  return bind_device<KsVideoControl>(api_, category, path, err);
}

bool WinKsPropertySetBackend::list(DeviceCategory category, std::vector<CategoryDevice>& out,
                                   SysError& err) {
  return list_devices(api_, category, false, out, err);
}

std::unique_ptr<PropertySetDevice> WinKsPropertySetBackend::bind(DeviceCategory category,
                                                                 const std::string& path,
                                                                 SysError& err) {
  return bind_device<KsPropertySetDevice>(api_, category, path, err);
}

}  // namespace lumavix
