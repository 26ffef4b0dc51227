// HID access on Windows: interfaces listed through SetupAPI on the HID
// interface class, recognised from the HID parser's feature capabilities
// (the class driver does not hand out the raw report descriptor), feature
// reports through the class driver. Every system call goes through WinApi.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "platform/win_sys_call.h"

namespace lumavix {

class WinHidBackend final : public HidBackend {
 public:
  explicit WinHidBackend(WinApi& api = system_win_api()) : api_(api) {}

  // Interfaces in SetupAPI's order. An interface that cannot be inspected
  // (held exclusively, gone since it was listed, no parser data) is listed
  // without capabilities, so the selection rule passes it by. Only a
  // camera's interface is named (its product string).
  [[nodiscard]] bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) override;
  // Opens for reading and writing, sharing both (blocking transfers).
  [[nodiscard]] std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override;

 private:
  WinApi& api_;
  std::mutex names_mutex_;
  std::map<std::string, std::string> names_;  // product strings by path and USB id
};

// The feature capabilities of an open interface, shaped as the descriptor
// parser shapes them; false when the parser data cannot be had. `byte_length`
// is the class driver's FeatureReportByteLength (report id included).
[[nodiscard]] bool win_feature_caps(WinApi& api, HANDLE h, hid::ReportTypeCaps& out);

}  // namespace lumavix
