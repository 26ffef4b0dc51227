// Scripted video-class and property-set platforms: every request is recorded
// byte for byte and answered by a handler the test provides.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devlib/platform.h"

namespace lumavix::test {

struct XuCall {
  XuQuery q;
  std::vector<std::uint8_t> bytes;  // sent (set) or the length asked (get, zeros)
};

class FakeVideoControl final : public VideoControl {
 public:
  // Answers a request: fills `data` for a get; returns the byte count or
  // -errno. The default accepts everything and answers zeros.
  using Handler = std::function<int(const XuQuery&, std::span<std::uint8_t>)>;

  FakeVideoControl(std::string path, std::vector<bool> unit_nodes, Handler h,
                   std::vector<XuCall>* log)
      : path_(std::move(path)), units_(std::move(unit_nodes)), handler_(std::move(h)), log_(log) {}

  std::uint32_t node_count() override { return static_cast<std::uint32_t>(units_.size()); }
  bool node_is_extension_unit(std::uint32_t n) override { return n < units_.size() && units_[n]; }
  int xu_request(const XuQuery& q, std::span<std::uint8_t> data, SysError&) override {
    if (log_) log_->push_back({q, std::vector<std::uint8_t>(data.begin(), data.end())});
    if (!handler_) return static_cast<int>(data.size());
    return handler_(q, data);
  }
  const std::string& path() const override { return path_; }

 private:
  std::string path_;
  std::vector<bool> units_;
  Handler handler_;
  std::vector<XuCall>* log_;
};

// A category of devices, each bound to a FakeVideoControl made on demand.
class FakeVideoBackend final : public VideoClassBackend {
 public:
  struct Device {
    CategoryDevice info;
    std::vector<bool> unit_nodes;
    FakeVideoControl::Handler handler;
  };
  std::vector<Device> devices;
  std::vector<XuCall> log;  // every request of every bound device
  bool list_fails = false;
  int binds = 0;

  bool list(DeviceCategory c, std::vector<CategoryDevice>& out, SysError& err) override {
    out.clear();
    if (list_fails) {
      err = {EIO, "cannot list video devices: test"};
      return false;
    }
    if (c != DeviceCategory::VideoCapture) return true;
    for (const Device& d : devices) out.push_back(d.info);
    return true;
  }
  std::unique_ptr<VideoControl> bind(DeviceCategory, const std::string& path,
                                     SysError& err) override {
    for (const Device& d : devices) {
      if (d.info.path != path) continue;
      ++binds;
      return std::make_unique<FakeVideoControl>(path, d.unit_nodes, d.handler, &log);
    }
    err = {ENODEV, path + " is not present"};
    return nullptr;
  }
};

class FakePropertyDevice final : public PropertySetDevice {
 public:
  using Handler = std::function<int(std::span<std::uint8_t>)>;
  FakePropertyDevice(std::string path, Handler h, std::vector<std::vector<std::uint8_t>>* log)
      : path_(std::move(path)), handler_(std::move(h)), log_(log) {}
  int property(std::span<std::uint8_t> request, SysError&) override {
    if (log_) log_->emplace_back(request.begin(), request.end());
    if (!handler_) return static_cast<int>(request.size());
    return handler_(request);
  }
  const std::string& path() const override { return path_; }

 private:
  std::string path_;
  Handler handler_;
  std::vector<std::vector<std::uint8_t>>* log_;
};

class FakePropertyBackend final : public PropertySetBackend {
 public:
  struct Device {
    DeviceCategory category;
    CategoryDevice info;
    FakePropertyDevice::Handler handler;
  };
  std::vector<Device> devices;
  std::vector<std::vector<std::uint8_t>> log;

  bool list(DeviceCategory c, std::vector<CategoryDevice>& out, SysError&) override {
    out.clear();
    for (const Device& d : devices)
      if (d.category == c) out.push_back(d.info);
    return true;
  }
  std::unique_ptr<PropertySetDevice> bind(DeviceCategory c, const std::string& path,
                                          SysError& err) override {
    for (const Device& d : devices) {
      if (d.category == c && d.info.path == path)
        return std::make_unique<FakePropertyDevice>(path, d.handler, &log);
    }
    err = {ENODEV, path + " is not present"};
    return nullptr;
  }
};

inline std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

}  // namespace lumavix::test
