#include "sim/sim_video_backend.h"

#include <cerrno>

namespace lumavix::sim {

namespace {

bool in_category(const SimCamera& cam, DeviceCategory category) {
  return category == DeviceCategory::VideoCapture ? cam.config().capture_device
                                                  : cam.config().receiver_device;
}

void list_cameras(const SimHidBackend& cameras, DeviceCategory category,
                  std::vector<CategoryDevice>& out) {
  out.clear();
  for (const auto& cam : cameras.cameras()) {
    if (cam->unplugged() || !in_category(*cam, category)) continue;
    out.push_back({cam->config().name, cam->port(), cam->config().product_id});
  }
}

std::shared_ptr<SimCamera> find_camera(const SimHidBackend& cameras, DeviceCategory category,
                                       const std::string& path, SysError& err) {
  for (const auto& cam : cameras.cameras()) {
    if (cam->unplugged() || !in_category(*cam, category) || cam->port() != path) continue;
    return cam;
  }
  err = {ENODEV, path + " is not present"};
  return nullptr;
}

class SimVideoControl final : public VideoControl {
 public:
  SimVideoControl(std::shared_ptr<SimCamera> cam, std::string path,
                  std::shared_ptr<SimDriverState> driver)
      : cam_(std::move(cam)), path_(std::move(path)), driver_(std::move(driver)) {}
  ~SimVideoControl() override {
    if (!raw_) return;
    // The driver gets the interface back and probes the camera afresh.
    std::lock_guard<std::mutex> lock(driver_->mu);
    driver_->lengths.clear();
    driver_->detached = false;
  }
  SimVideoControl(const SimVideoControl&) = delete;
  SimVideoControl& operator=(const SimVideoControl&) = delete;

  std::uint32_t node_count() override { return cam_->node_count(); }
  bool node_is_extension_unit(std::uint32_t node) override {
    return cam_->node_is_extension_unit(node);
  }
  int xu_request(const XuQuery& q, std::span<std::uint8_t> data, SysError& err) override {
    const bool transfer = q.flags == kXuFlagGet || q.flags == kXuFlagSet;
    {
      std::lock_guard<std::mutex> lock(driver_->mu);
      if (q.route == XuRoute::RawUsb && !raw_) {
        raw_ = true;
        driver_->detached = true;
        ++driver_->hand_overs;
      }
      if (raw_) {
        ++driver_->raw_requests;
      } else if (transfer) {
        const auto key = std::make_pair(q.node, q.selector);
        const auto [it, first_use] = driver_->lengths.emplace(key, data.size());
        if (!first_use && it->second != data.size()) {
          ++driver_->refused;
          err = {ENOBUFS, path_ + ": the video driver takes control " +
                              std::to_string(q.selector) + " of node " + std::to_string(q.node) +
                              " with " + std::to_string(it->second) + " bytes, not " +
                              std::to_string(data.size())};
          return -ENOBUFS;
        }
      }
    }
    const int rc = cam_->xu_request(q, data);
    if (rc == -ENODEV) {
      // Unplugged: the driver lets go of the camera and forgets it.
      std::lock_guard<std::mutex> lock(driver_->mu);
      driver_->lengths.clear();
    }
    return rc;
  }
  const std::string& path() const override { return path_; }

 private:
  std::shared_ptr<SimCamera> cam_;
  std::string path_;
  std::shared_ptr<SimDriverState> driver_;
  bool raw_ = false;
};

class SimPropertyDevice final : public PropertySetDevice {
 public:
  SimPropertyDevice(std::shared_ptr<SimCamera> cam, std::string path)
      : cam_(std::move(cam)), path_(std::move(path)) {}
  int property(std::span<std::uint8_t> request, SysError&) override {
    return cam_->property(request);
  }
  const std::string& path() const override { return path_; }

 private:
  std::shared_ptr<SimCamera> cam_;
  std::string path_;
};

}  // namespace

bool SimVideoBackend::list(DeviceCategory category, std::vector<CategoryDevice>& out, SysError&) {
  list_cameras(cameras_, category, out);
  // An unplugged camera is forgotten by the driver.
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& cam : cameras_.cameras()) {
    if (!cam->unplugged()) continue;
    if (const auto it = drivers_.find(cam.get()); it != drivers_.end()) {
      std::lock_guard<std::mutex> dl(it->second->mu);
      it->second->lengths.clear();
    }
  }
  return true;
}

std::unique_ptr<VideoControl> SimVideoBackend::bind(DeviceCategory category,
                                                    const std::string& path, SysError& err) {
  auto cam = find_camera(cameras_, category, path, err);
  if (!cam) return nullptr;
  ++binds_;
  auto driver = driver_of(cam.get());
  return std::make_unique<SimVideoControl>(std::move(cam), path, std::move(driver));
}

std::shared_ptr<SimDriverState> SimVideoBackend::driver_of(const SimCamera* cam) {
  std::lock_guard<std::mutex> lock(mu_);
  std::shared_ptr<SimDriverState>& d = drivers_[cam];
  if (!d) d = std::make_shared<SimDriverState>();
  return d;
}

namespace {

template <typename Field>
std::uint64_t sum_over(std::mutex& mu,
                       const std::map<const SimCamera*, std::shared_ptr<SimDriverState>>& drivers,
                       Field field) {
  std::lock_guard<std::mutex> lock(mu);
  std::uint64_t n = 0;
  for (const auto& [cam, d] : drivers) {
    std::lock_guard<std::mutex> dl(d->mu);
    n += d.get()->*field;
  }
  return n;
}

}  // namespace

std::uint64_t SimVideoBackend::driver_refusals() const {
  return sum_over(mu_, drivers_, &SimDriverState::refused);
}
std::uint64_t SimVideoBackend::raw_requests() const {
  return sum_over(mu_, drivers_, &SimDriverState::raw_requests);
}
std::uint64_t SimVideoBackend::hand_overs() const {
  return sum_over(mu_, drivers_, &SimDriverState::hand_overs);
}

bool SimPropertyBackend::list(DeviceCategory category, std::vector<CategoryDevice>& out,
                              SysError&) {
  list_cameras(cameras_, category, out);
  return true;
}

std::unique_ptr<PropertySetDevice> SimPropertyBackend::bind(DeviceCategory category,
                                                            const std::string& path,
                                                            SysError& err) {
  auto cam = find_camera(cameras_, category, path, err);
  if (!cam) return nullptr;
  return std::make_unique<SimPropertyDevice>(std::move(cam), path);
}

}  // namespace lumavix::sim
