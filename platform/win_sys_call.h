// The Windows system calls of the Windows platform layers, each behind one
// small virtual wrapper, so that the layers can be tested with the calls
// faked (Wine has no camera, and no test machine has every failure). A
// wrapper does exactly its call; it keeps no state. Calls that fail leave
// their code for last_error(), which must be asked before the next call.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h. mingw-w64's HID headers declare no C linkage of their own.
extern "C" {
#include <hidsdi.h>
// After hidsdi.h (which defines USAGE):
#include <hidpi.h>
}
#include <setupapi.h>

#include <string>
#include <string_view>

namespace lumavix {

class WinApi {
 public:
  virtual ~WinApi() = default;

  [[nodiscard]] virtual DWORD last_error() = 0;  // GetLastError

  // SetupAPI on the HID interface class.
  virtual void hid_guid(GUID& out) = 0;  // HidD_GetHidGuid
  // SetupDiGetClassDevsW for the present interfaces of `cls`;
  // INVALID_HANDLE_VALUE on failure.
  [[nodiscard]] virtual HDEVINFO class_devices(const GUID& cls) = 0;
  // SetupDiEnumDeviceInterfaces; false with ERROR_NO_MORE_ITEMS past the end.
  [[nodiscard]] virtual bool enum_interface(HDEVINFO set, const GUID& cls, DWORD index,
                                            SP_DEVICE_INTERFACE_DATA& out) = 0;
  // SetupDiGetDeviceInterfaceDetailW, asked for the size first and then
  // into a buffer of that size: the interface's device path.
  [[nodiscard]] virtual bool interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& iface,
                                            std::wstring& path) = 0;
  virtual void destroy_device_list(HDEVINFO set) = 0;  // SetupDiDestroyDeviceInfoList

  // CreateFileW of an existing device, sharing read and write, blocking
  // transfers; `access` 0 opens it for inspection only.
  [[nodiscard]] virtual HANDLE open_device(const std::wstring& path, DWORD access) = 0;
  virtual void close_handle(HANDLE h) = 0;  // CloseHandle

  // The HID class driver and its parser.
  [[nodiscard]] virtual bool hid_attributes(HANDLE h, HIDD_ATTRIBUTES& out) = 0;
  [[nodiscard]] virtual bool hid_preparsed_data(HANDLE h, PHIDP_PREPARSED_DATA& out) = 0;
  virtual void hid_free_preparsed_data(PHIDP_PREPARSED_DATA data) = 0;
  [[nodiscard]] virtual NTSTATUS hidp_caps(PHIDP_PREPARSED_DATA data, HIDP_CAPS& out) = 0;
  // `count` is the room on entry and the number filled on return.
  [[nodiscard]] virtual NTSTATUS hidp_value_caps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps,
                                                 USHORT& count, PHIDP_PREPARSED_DATA data) = 0;
  [[nodiscard]] virtual NTSTATUS hidp_button_caps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps,
                                                  USHORT& count, PHIDP_PREPARSED_DATA data) = 0;
  // HidD_GetProductString into `out` (at most 126 characters).
  [[nodiscard]] virtual bool hid_product_string(HANDLE h, std::wstring& out) = 0;
  // HidD_SetFeature / HidD_GetFeature: byte 0 of the buffer is the report id.
  [[nodiscard]] virtual bool hid_set_feature(HANDLE h, void* report, ULONG length) = 0;
  [[nodiscard]] virtual bool hid_get_feature(HANDLE h, void* report, ULONG length) = 0;

  // Kernel objects: CreateMutexExW without initial ownership, asking only
  // the rights a lock uses (SYNCHRONIZE and MUTEX_MODIFY_STATE), so that a
  // mutex made by another user or an elevated copy can still be opened when
  // its security allows those; null on failure (ERROR_ACCESS_DENIED when it
  // does not), last_error() ERROR_ALREADY_EXISTS when it was there. A mutex
  // made `for_every_session` grants those rights to everyone (for the
  // Global\ names); otherwise it has the creator's default security.
  // WaitForSingleObject, ReleaseMutex.
  [[nodiscard]] virtual HANDLE create_mutex(const std::wstring& name, bool for_every_session) = 0;
  [[nodiscard]] virtual DWORD wait_for(HANDLE h, DWORD timeout_ms) = 0;
  [[nodiscard]] virtual bool release_mutex(HANDLE h) = 0;
};

// The real calls.
[[nodiscard]] WinApi& system_win_api();

// UTF-8 and the system's wide text.
[[nodiscard]] std::wstring widen(std::string_view utf8);
[[nodiscard]] std::string narrow(std::wstring_view wide);

// The errno value closest to a Win32 error code, for the platform
// interfaces' -errno results: access denied is EACCES, a device that is gone
// ENODEV, a buffer of the wrong length EMSGSIZE, a shared device held
// elsewhere EBUSY, a time-out ETIMEDOUT, anything else EIO (among them
// ERROR_GEN_FAILURE, a request the device refused: it is still attached).
[[nodiscard]] int errno_from_win32(DWORD code);
// "access denied (Windows error 5)": the system's text when it has one.
[[nodiscard]] std::string win32_error_text(DWORD code);
// The sentence shown when a device path cannot be opened: "access denied
// on PATH (another program may hold the camera)", "PATH is gone (device
// unplugged)", or the system's text.
[[nodiscard]] std::string device_open_message(const std::string& path, DWORD code);

}  // namespace lumavix
