#include "platform/linux_props.h"

#include <cerrno>

namespace lumavix {

namespace {
constexpr const char* kNoDriver =
    "no Linux driver carries the vendor video or BDA property sets";
}  // namespace

bool LinuxPropertySetBackend::list(DeviceCategory, std::vector<CategoryDevice>& out,
                                   SysError& err) {
  out.clear();
  err = {EOPNOTSUPP, kNoDriver};
  return false;
}

std::unique_ptr<PropertySetDevice> LinuxPropertySetBackend::bind(DeviceCategory, const std::string&,
                                                                 SysError& err) {
  err = {EOPNOTSUPP, kNoDriver};
  return nullptr;
}

}  // namespace lumavix
