// The video-class and property-set platforms of the simulated cameras: they
// list the cameras of a SimHidBackend by category, keyed by their USB port,
// and bind them to the cameras' extension-unit and property-set endpoints.
//
// The video platform models Linux's video driver on the Driver route: a
// control's length is fixed by its first use (the GET_LEN the driver asks
// then, which the camera answers with the length just announced), and a
// later request of another length fails with ENOBUFS. The RawUsb route
// reaches the camera as raw control transfers, without that limit; the
// first raw request takes the interface from the driver, every later
// request of that control goes raw too, and the driver forgets the lengths
// when it gets the camera back (the control is destroyed) or the camera is
// unplugged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "devlib/platform.h"
#include "sim/sim_hid_backend.h"

namespace lumavix::sim {

// What the simulated video driver remembers of one camera.
struct SimDriverState {
  std::mutex mu;
  // (node, selector) -> the length the driver takes the control with.
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> lengths;
  std::uint64_t refused = 0;        // requests the driver refused for their length
  std::uint64_t raw_requests = 0;   // requests that went the raw route
  std::uint64_t hand_overs = 0;     // times the driver let go of the interface
  bool detached = false;            // a control holds the interface raw now
};

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
  // Summed over the cameras: requests refused by the driver for their
  // length, requests sent raw, and hand-overs of an interface.
  [[nodiscard]] std::uint64_t driver_refusals() const;
  [[nodiscard]] std::uint64_t raw_requests() const;
  [[nodiscard]] std::uint64_t hand_overs() const;

 private:
  std::shared_ptr<SimDriverState> driver_of(const SimCamera* cam);

  const SimHidBackend& cameras_;
  std::size_t binds_ = 0;
  mutable std::mutex mu_;
  std::map<const SimCamera*, std::shared_ptr<SimDriverState>> drivers_;
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
