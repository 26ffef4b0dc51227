// The filtering platform behind CameraScope; contracts in camera_scope.h.
#include "cli/camera_scope.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "devlib/frame.h"

namespace lumavix::cli {

std::string listed_path(std::int32_t i) { return device_path(i); }

std::vector<ListedCamera> listed_cameras() {
  const DeviceKind kind = library_kind();
  std::vector<ListedCamera> out;
  const std::int32_t n = std::min<std::int32_t>(kvVidHidCls_GetDevCount(), kMaxDevices);
  for (std::int32_t i = 0; i < n; ++i) out.push_back({i, listed_path(i), {}, kind});
  if (kind == DeviceKind::Hid && platform().hid) {
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
    // With a port, the node listed there now; the node the camera had may
    // have been given to another camera meanwhile.
    const bool listed = std::find(listed_.begin(), listed_.end(), path) != listed_.end();
    if (!listed && (!camera_.port.empty() || path != camera_.path)) {
      not_this_camera(err);
      return nullptr;
    }
    return inner_->open(path, err);
  }

 private:
  [[nodiscard]] bool ours(const HidInterfaceInfo& i) const {
    return camera_.port.empty() ? i.path == camera_.path : i.port == camera_.port;
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

// Hides the cameras already found, by path and by port, from every backend.
class HideHid final : public HidBackend {
 public:
  HideHid(HidBackend* inner, const std::vector<std::string>& seen) : inner_(inner), seen_(seen) {}
  bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) override {
    if (!inner_->enumerate(out, err)) return false;
    std::erase_if(out, [&](const HidInterfaceInfo& i) {
      return seen(i.path) || (!i.port.empty() && seen(i.port));
    });
    return true;
  }
  std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override {
    return inner_->open(path, err);
  }

 private:
  [[nodiscard]] bool seen(const std::string& s) const {
    return std::find(seen_.begin(), seen_.end(), s) != seen_.end();
  }
  HidBackend* inner_;
  const std::vector<std::string>& seen_;
};

template <class Backend, class Device>
class HidePaths final : public Backend {
 public:
  HidePaths(Backend* inner, const std::vector<std::string>& seen) : inner_(inner), seen_(seen) {}
  bool list(DeviceCategory c, std::vector<CategoryDevice>& out, SysError& err) override {
    if (!inner_->list(c, out, err)) return false;
    std::erase_if(out, [&](const CategoryDevice& d) {
      return std::find(seen_.begin(), seen_.end(), d.path) != seen_.end();
    });
    return true;
  }
  std::unique_ptr<Device> bind(DeviceCategory c, const std::string& path,
                               SysError& err) override {
    return inner_->bind(c, path, err);
  }

 private:
  Backend* inner_;
  const std::vector<std::string>& seen_;
};

// More openings than kinds: a kind with more cameras than the library's
// table holds takes another opening for the rest.
constexpr int kMaxSearchOpenings = 8;

}  // namespace

CameraSearch search_all_cameras() {
  CameraSearch out;
  const Platform outer = platform();
  std::vector<std::string> seen;
  HideHid hid(outer.hid, seen);
  HidePaths<VideoClassBackend, VideoControl> video(outer.video, seen);
  HidePaths<PropertySetBackend, PropertySetDevice> props(outer.props, seen);
  Platform hiding = outer;
  if (outer.hid) hiding.hid = &hid;
  if (outer.video) hiding.video = &video;
  if (outer.props) hiding.props = &props;
  set_platform(hiding);
  bool exhausted = false;
  for (int opening = 0; opening < kMaxSearchOpenings; ++opening) {
    const bool found = kvVidHidCls_Init() != 0 && kvVidHidCls_GetDevCount() > 0;
    if (!found) {
      exhausted = true;
      break;
    }
    const std::vector<ListedCamera> batch = listed_cameras();
    kvVidHidCls_DeInit();
    const std::string kind = device_kind_name(batch.empty() ? DeviceKind::None : batch[0].kind);
    if (std::find(out.kinds_found.begin(), out.kinds_found.end(), kind) == out.kinds_found.end())
      out.kinds_found.push_back(kind);
    std::size_t added = 0;
    for (ListedCamera c : batch) {
      if (std::find(seen.begin(), seen.end(), c.path) != seen.end()) continue;
      seen.push_back(c.path);
      if (!c.port.empty()) seen.push_back(c.port);
      c.position = static_cast<std::int32_t>(out.cameras.size());
      out.cameras.push_back(std::move(c));
      ++added;
    }
    // Nothing new: the library keeps finding what is hidden from it.
    if (added == 0) {
      exhausted = true;
      break;
    }
  }
  kvVidHidCls_DeInit();
  set_platform(outer);
  if (!exhausted) {
    // The openings ran out before the probe came back empty: the kinds it
    // probes after the last one found may hold cameras still.
    for (const DeviceKind k : {DeviceKind::Hid, DeviceKind::VideoClass, DeviceKind::VendorVideo,
                               DeviceKind::BdaVendor}) {
      const std::string name = device_kind_name(k);
      if (std::find(out.kinds_found.begin(), out.kinds_found.end(), name) == out.kinds_found.end())
        out.kinds_not_searched.push_back(name);
    }
  }
  return out;
}

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
