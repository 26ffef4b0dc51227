// The video-class and property-set platforms of the simulated cameras: they
// list the cameras of a SimHidBackend by category, keyed by their USB port,
// and bind them to the cameras' extension-unit and property-set endpoints.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "devlib/platform.h"
#include "sim/sim_hid_backend.h"

namespace lumavix::sim {

class SimVideoBackend final : public VideoClassBackend {
 public:
  explicit SimVideoBackend(const SimHidBackend& cameras) : cameras_(cameras) {}
  // Lists the plugged cameras of `category` in the order added.
  [[nodiscard]] bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                          SysError& err) override;
  [[nodiscard]] std::unique_ptr<VideoControl> bind(DeviceCategory category,
                                                   const std::string& path,
                                                   SysError& err) override;
  [[nodiscard]] std::size_t bind_count() const { return binds_; }

 private:
  const SimHidBackend& cameras_;
  std::size_t binds_ = 0;
};

class SimPropertyBackend final : public PropertySetBackend {
 public:
  explicit SimPropertyBackend(const SimHidBackend& cameras) : cameras_(cameras) {}
  [[nodiscard]] bool list(DeviceCategory category, std::vector<CategoryDevice>& out,
                          SysError& err) override;
  [[nodiscard]] std::unique_ptr<PropertySetDevice> bind(DeviceCategory category,
                                                        const std::string& path,
                                                        SysError& err) override;

 private:
  const SimHidBackend& cameras_;
};

}  // namespace lumavix::sim
