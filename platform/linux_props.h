// The vendor property sets on Linux. No Linux driver carries them (they are
// kernel-streaming sets of a vendor capture driver), so this platform lists
// nothing and says why; the simulated camera answers them instead.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devlib/platform.h"

namespace lumavix {

class LinuxPropertySetBackend final : public PropertySetBackend {
 public:
  // Always false, with a sentence for the user.
  [[nodiscard]] bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                          SysError& err) override;
  [[nodiscard]] std::unique_ptr<PropertySetDevice> bind(DeviceCategory category,
                                                        const std::string& path,
                                                        SysError& err) override;
};

}  // namespace lumavix
