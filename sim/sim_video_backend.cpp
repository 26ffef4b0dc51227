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
    out.push_back({cam->config().name, cam->port()});
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
  SimVideoControl(std::shared_ptr<SimCamera> cam, std::string path)
      : cam_(std::move(cam)), path_(std::move(path)) {}
  std::uint32_t node_count() override { return cam_->node_count(); }
  bool node_is_extension_unit(std::uint32_t node) override {
    return cam_->node_is_extension_unit(node);
  }
  int xu_request(const XuQuery& q, std::span<std::uint8_t> data, SysError&) override {
    return cam_->xu_request(q, data);
  }
  const std::string& path() const override { return path_; }

 private:
  std::shared_ptr<SimCamera> cam_;
  std::string path_;
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
  return true;
}

std::unique_ptr<VideoControl> SimVideoBackend::bind(DeviceCategory category,
                                                    const std::string& path, SysError& err) {
  auto cam = find_camera(cameras_, category, path, err);
  if (!cam) return nullptr;
  ++binds_;
  return std::make_unique<SimVideoControl>(std::move(cam), path);
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
