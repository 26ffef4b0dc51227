// The filtering platform behind CameraScope; contracts in camera_scope.h.
#include "cli/camera_scope.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "devlib/frame.h"
#include "devlib/vendor_props.h"

namespace lumavix::cli {

std::string listed_path(std::int32_t i) {
  const LibraryState& s = library_state();
  if (i < 0 || i >= kMaxDevices) return {};
  if (s.kind == DeviceKind::Hid && static_cast<std::uint32_t>(i) < s.hidList.count)
    return s.hidList.paths[i];
  // The property-set kinds keep their path in the bound device only.
  if ((s.kind == DeviceKind::VendorVideo || s.kind == DeviceKind::BdaVendor) &&
      s.table[i].control != nullptr)
    return prop_device(s.table[i])->path();
  return s.table[i].path;
}

std::vector<ListedCamera> listed_cameras() {
  const LibraryState& s = library_state();
  std::vector<ListedCamera> out;
  const std::int32_t n = std::min<std::int32_t>(kvVidHidCls_GetDevCount(), kMaxDevices);
  for (std::int32_t i = 0; i < n; ++i) out.push_back({i, listed_path(i), {}});
  if (s.kind == DeviceKind::Hid && platform().hid) {
    std::vector<HidInterfaceInfo> infos;
    SysError err;
    if (platform().hid->enumerate(infos, err)) {
      for (ListedCamera& c : out) {
        for (const HidInterfaceInfo& i : infos)
          if (i.path == c.path) c.port = i.port;
      }
    }
  }
  return out;
}

namespace {

// A path outside the scope opens as a camera that has gone.
void not_this_camera(SysError& err) { err = {ENODEV, "not the camera this run is for"}; }

// Each backend passes through everything but its lists, which keep only the
// chosen path. Opening another path by name is refused as a vanished device.
class OnlyHid final : public HidBackend {
 public:
  OnlyHid(HidBackend* inner, const ListedCamera& camera) : inner_(inner), camera_(camera) {}
  bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) override {
    if (!inner_->enumerate(out, err)) return false;
    std::erase_if(out, [&](const HidInterfaceInfo& i) { return !ours(i); });
    listed_.clear();
    for (const HidInterfaceInfo& i : out) listed_.push_back(i.path);
    return true;
  }
  std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override {
    if (path != camera_.path && std::find(listed_.begin(), listed_.end(), path) == listed_.end()) {
      not_this_camera(err);
      return nullptr;
    }
    return inner_->open(path, err);
  }

 private:
  [[nodiscard]] bool ours(const HidInterfaceInfo& i) const {
    return i.path == camera_.path || (!camera_.port.empty() && i.port == camera_.port);
  }
  HidBackend* inner_;
  const ListedCamera& camera_;
  std::vector<std::string> listed_;  // what the last listing let through
};

// The video-class and property-set platforms list categories of devices by
// path and bind one by its path: both narrow the same way.
template <class Backend, class Device>
class OnlyPath final : public Backend {
 public:
  OnlyPath(Backend* inner, const std::string& path) : inner_(inner), path_(path) {}
  bool list(DeviceCategory c, std::vector<CategoryDevice>& out, SysError& err) override {
    if (!inner_->list(c, out, err)) return false;
    std::erase_if(out, [&](const CategoryDevice& d) { return d.path != path_; });
    return true;
  }
  std::unique_ptr<Device> bind(DeviceCategory c, const std::string& path,
                               SysError& err) override {
    if (path != path_) {
      not_this_camera(err);
      return nullptr;
    }
    return inner_->bind(c, path, err);
  }

 private:
  Backend* inner_;
  const std::string& path_;
};

using OnlyVideo = OnlyPath<VideoClassBackend, VideoControl>;
using OnlyProps = OnlyPath<PropertySetBackend, PropertySetDevice>;

}  // namespace

namespace {
// Scopes do not nest: one camera at a time.
const Platform* g_outer = nullptr;
}  // namespace

const Platform& unscoped_platform() { return g_outer ? *g_outer : platform(); }

struct CameraScope::Filters {
  ListedCamera camera;
  std::unique_ptr<HidBackend> hid;
  std::unique_ptr<VideoClassBackend> video;
  std::unique_ptr<PropertySetBackend> props;
};

CameraScope::CameraScope(ListedCamera camera)
    : outer_(platform()), filters_(std::make_unique<Filters>()) {
  Filters& f = *filters_;
  f.camera = std::move(camera);
  const std::string& path = f.camera.path;
  Platform narrowed = outer_;
  if (outer_.hid) narrowed.hid = (f.hid = std::make_unique<OnlyHid>(outer_.hid, f.camera)).get();
  if (outer_.video)
    narrowed.video = (f.video = std::make_unique<OnlyVideo>(outer_.video, path)).get();
  if (outer_.props)
    narrowed.props = (f.props = std::make_unique<OnlyProps>(outer_.props, path)).get();
  set_platform(narrowed);
  g_outer = &outer_;
}

CameraScope::~CameraScope() {
  g_outer = nullptr;
  set_platform(outer_);
}

}  // namespace lumavix::cli
