#include "sim/sim_hid_backend.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace lumavix::sim {

namespace {

class CameraHandle final : public HidDevice {
 public:
  explicit CameraHandle(std::shared_ptr<SimCamera> camera)
      : camera_(std::move(camera)), path_(camera_->path()) {}
  int set_feature(std::span<const std::uint8_t> report) override {
    return camera_->set_feature(report);
  }
  int get_feature(std::span<std::uint8_t> report) override {
    return camera_->get_feature(report);
  }
  const std::string& path() const override { return path_; }

 private:
  std::shared_ptr<SimCamera> camera_;
  std::string path_;
};

// Any other HID device: it knows none of the camera's feature reports.
class ForeignHandle final : public HidDevice {
 public:
  explicit ForeignHandle(std::string path) : path_(std::move(path)) {}
  int set_feature(std::span<const std::uint8_t>) override { return -EPIPE; }
  int get_feature(std::span<std::uint8_t>) override { return -EPIPE; }
  const std::string& path() const override { return path_; }

 private:
  std::string path_;
};

}  // namespace

std::string SimHidBackend::next_path() const {
  return "/sim/hidraw" + std::to_string(entries_.size());
}

std::shared_ptr<SimCamera> SimHidBackend::add_camera(SimCameraConfig config) {
  std::lock_guard<std::mutex> lock(mu_);
  if (config.path.empty()) config.path = next_path();
  if (config.port.empty()) config.port = "usb-1-" + std::to_string(cameras_.size() + 1) + ":1.0";
  Entry e;
  e.info.path = config.path;
  e.info.report_descriptor = camera_report_descriptor();
  e.info.vendor_id = config.vendor_id;
  e.info.product_id = config.product_id;
  e.info.name = config.name;
  e.info.port = config.port;
  const bool hid = config.hid;
  e.camera = std::make_shared<SimCamera>(std::move(config));
  cameras_.push_back(e.camera);
  if (hid) entries_.push_back(e);
  return e.camera;
}

std::vector<std::shared_ptr<SimCamera>> SimHidBackend::cameras() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cameras_;
}

void SimHidBackend::add_interface(HidInterfaceInfo info) {
  std::lock_guard<std::mutex> lock(mu_);
  if (info.path.empty()) info.path = next_path();
  entries_.push_back({std::move(info), nullptr, 0});
}

void SimHidBackend::set_open_error(const std::string& path, int error) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Entry& e : entries_) {
    if (e.info.path == path) e.open_error = error;
  }
}

std::size_t SimHidBackend::camera_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cameras_.size();
}

SimCamera* SimHidBackend::camera(std::size_t i) const {
  std::lock_guard<std::mutex> lock(mu_);
  return i < cameras_.size() ? cameras_[i].get() : nullptr;
}

std::size_t SimHidBackend::open_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return opens_;
}

bool SimHidBackend::enumerate(std::vector<HidInterfaceInfo>& out, SysError&) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Entry& e : entries_) {
    if (e.camera && e.camera->unplugged()) continue;
    out.push_back(e.info);
  }
  return true;
}

std::unique_ptr<HidDevice> SimHidBackend::open(const std::string& path, SysError& err) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Entry& e : entries_) {
    if (e.info.path != path) continue;
    if (e.open_error) {
      std::string why = std::strerror(e.open_error);
      if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
      err = {e.open_error, why + " on " + path};
      return nullptr;
    }
    if (e.camera && e.camera->unplugged()) break;
    ++opens_;
    if (e.camera) return std::make_unique<CameraHandle>(e.camera);
    return std::make_unique<ForeignHandle>(path);
  }
  err = {ENODEV, path + " is not present"};
  return nullptr;
}

}  // namespace lumavix::sim
