#include "platform/win_sys_call.h"

#include <sddl.h>

#include <cerrno>
#include <string>
#include <vector>

namespace lumavix {

namespace {

class SystemWinApi final : public WinApi {
 public:
  DWORD last_error() override { return ::GetLastError(); }

  void hid_guid(GUID& out) override { ::HidD_GetHidGuid(&out); }

  HDEVINFO class_devices(const GUID& cls) override {
    return ::SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  }

  bool enum_interface(HDEVINFO set, const GUID& cls, DWORD index,
                      SP_DEVICE_INTERFACE_DATA& out) override {
    out.cbSize = sizeof out;
    return ::SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &out) != FALSE;
  }

  bool interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& iface, std::wstring& path) override {
    DWORD needed = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
    // DWORD-aligned storage for the variable-length record.
    std::vector<DWORD> buf((needed + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr))
      return false;
    path = detail->DevicePath;
    return true;
  }

  void destroy_device_list(HDEVINFO set) override { ::SetupDiDestroyDeviceInfoList(set); }

  HANDLE open_device(const std::wstring& path, DWORD access) override {
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  }

  void close_handle(HANDLE h) override { ::CloseHandle(h); }

  bool hid_attributes(HANDLE h, HIDD_ATTRIBUTES& out) override {
    out.Size = sizeof out;
    return ::HidD_GetAttributes(h, &out) != FALSE;
  }

  bool hid_preparsed_data(HANDLE h, PHIDP_PREPARSED_DATA& out) override {
    return ::HidD_GetPreparsedData(h, &out) != FALSE;
  }

  void hid_free_preparsed_data(PHIDP_PREPARSED_DATA data) override {
    ::HidD_FreePreparsedData(data);
  }

  NTSTATUS hidp_caps(PHIDP_PREPARSED_DATA data, HIDP_CAPS& out) override {
    return ::HidP_GetCaps(data, &out);
  }

  NTSTATUS hidp_value_caps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps, USHORT& count,
                           PHIDP_PREPARSED_DATA data) override {
    return ::HidP_GetValueCaps(type, caps, &count, data);
  }

  NTSTATUS hidp_button_caps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps, USHORT& count,
                            PHIDP_PREPARSED_DATA data) override {
    return ::HidP_GetButtonCaps(type, caps, &count, data);
  }

  bool hid_product_string(HANDLE h, std::wstring& out) override {
    // The string descriptor's limit: 126 characters and a terminator.
    wchar_t buf[127] = {};
    if (!::HidD_GetProductString(h, buf, sizeof buf - sizeof buf[0])) return false;
    out = buf;
    return true;
  }

  bool hid_set_feature(HANDLE h, void* report, ULONG length) override {
    return ::HidD_SetFeature(h, report, length) != FALSE;
  }

  bool hid_get_feature(HANDLE h, void* report, ULONG length) override {
    return ::HidD_GetFeature(h, report, length) != FALSE;
  }

  HANDLE create_mutex(const std::wstring& name, bool for_every_session) override {
    constexpr DWORD kLockRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
    if (!for_every_session) return ::CreateMutexExW(nullptr, name.c_str(), 0, kLockRights);
    // Everyone may wait for it and release it, and nothing more; the label
    // lets processes of any integrity do so (an elevated copy's objects
    // are otherwise out of a normal copy's reach).
    // A system whose parser knows no integrity label gets the DACL alone.
    PSECURITY_DESCRIPTOR sd = nullptr;
    for (const wchar_t* sddl : {L"D:(A;;0x00100001;;;WD)S:(ML;;NW;;;LW)", L"D:(A;;0x00100001;;;WD)"}) {
      if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                                nullptr))
        break;
      sd = nullptr;
    }
    if (sd == nullptr) return nullptr;
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    const HANDLE h = ::CreateMutexExW(&sa, name.c_str(), 0, kLockRights);
    const DWORD code = ::GetLastError();
    ::LocalFree(sd);
    ::SetLastError(code);
    return h;
  }

  DWORD wait_for(HANDLE h, DWORD timeout_ms) override {
    return ::WaitForSingleObject(h, timeout_ms);
  }

  bool release_mutex(HANDLE h) override { return ::ReleaseMutex(h) != FALSE; }
};

}  // namespace

WinApi& system_win_api() {
  static SystemWinApi api;
  return api;
}

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

int errno_from_win32(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_COMMAND:  // what a handle of a removed device answers
      return ENODEV;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_USER_BUFFER:
    case ERROR_INSUFFICIENT_BUFFER:
      return EMSGSIZE;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return EBUSY;
    case ERROR_SEM_TIMEOUT:
      return ETIMEDOUT;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

std::string win32_error_text(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n > 0 && text) {
    out = narrow(std::wstring_view(text, n));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.' ||
                            out.back() == ' '))
      out.pop_back();
  }
  if (text) ::LocalFree(text);
  const std::string number = "Windows error " + std::to_string(code);
  return out.empty() ? number : out + " (" + number + ")";
}

std::string device_open_message(const std::string& path, DWORD code) {
  switch (errno_from_win32(code)) {
    case EACCES:
      return "access denied on " + path + " (another program may hold the camera)";
    case ENODEV:
      return path + " is gone (device unplugged)";
    case EBUSY:
      return path + " is busy";
    default:
      return "cannot open " + path + ": " + win32_error_text(code);
  }
}

}  // namespace lumavix
