// The filtering platform behind CameraScope; contracts in camera_scope.h.
#include "cli/camera_scope.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "devlib/frame.h"

namespace lumavix::cli {

std::vector<ListedCamera> listed_cameras() {
  const LibraryState& s = library_state();
  std::vector<ListedCamera> out;
  const std::int32_t n = std::min<std::int32_t>(kvVidHidCls_GetDevCount(), kMaxDevices);
  for (std::int32_t i = 0; i < n; ++i) {
    std::string path = s.table[i].path;
    if (s.kind == DeviceKind::Hid && static_cast<std::uint32_t>(i) < s.hidList.count)
      path = s.hidList.paths[i];
    out.push_back({i, std::move(path)});
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
  OnlyHid(HidBackend* inner, const std::string& path) : inner_(inner), path_(path) {}
  bool enumerate(std::vector<HidInterfaceInfo>& out, SysError& err) override {
    if (!inner_->enumerate(out, err)) return false;
    std::erase_if(out, [&](const HidInterfaceInfo& i) { return i.path != path_; });
    return true;
  }
  std::unique_ptr<HidDevice> open(const std::string& path, SysError& err) override {
    if (path != path_) {
      not_this_camera(err);
      return nullptr;
    }
    return inner_->open(path, err);
  }

 private:
  HidBackend* inner_;
  const std::string& path_;
};

void keep_path(std::vector<CategoryDevice>& out, const std::string& path) {
  std::erase_if(out, [&](const CategoryDevice& d) { return d.path != path; });
}

class OnlyVideo final : public VideoClassBackend {
 public:
  OnlyVideo(VideoClassBackend* inner, const std::string& path) : inner_(inner), path_(path) {}
  bool list(DeviceCategory c, std::vector<CategoryDevice>& out, SysError& err) override {
    if (!inner_->list(c, out, err)) return false;
    keep_path(out, path_);
    return true;
  }
  std::unique_ptr<VideoControl> bind(DeviceCategory c, const std::string& path,
                                     SysError& err) override {
    if (path != path_) {
      not_this_camera(err);
      return nullptr;
    }
    return inner_->bind(c, path, err);
  }

 private:
  VideoClassBackend* inner_;
  const std::string& path_;
};

class OnlyProps final : public PropertySetBackend {
 public:
  OnlyProps(PropertySetBackend* inner, const std::string& path) : inner_(inner), path_(path) {}
  bool list(DeviceCategory c, std::vector<CategoryDevice>& out, SysError& err) override {
    if (!inner_->list(c, out, err)) return false;
    keep_path(out, path_);
    return true;
  }
  std::unique_ptr<PropertySetDevice> bind(DeviceCategory c, const std::string& path,
                                          SysError& err) override {
    if (path != path_) {
      not_this_camera(err);
      return nullptr;
    }
    return inner_->bind(c, path, err);
  }

 private:
  PropertySetBackend* inner_;
  const std::string& path_;
};

}  // namespace

namespace {
// Scopes do not nest: one camera at a time.
const Platform* g_outer = nullptr;
}  // namespace

const Platform& unscoped_platform() { return g_outer ? *g_outer : platform(); }

struct CameraScope::Filters {
  std::string path;
  std::unique_ptr<HidBackend> hid;
  std::unique_ptr<VideoClassBackend> video;
  std::unique_ptr<PropertySetBackend> props;
};

CameraScope::CameraScope(std::string path)
    : outer_(platform()), filters_(std::make_unique<Filters>()) {
  Filters& f = *filters_;
  f.path = std::move(path);
  Platform narrowed = outer_;
  if (outer_.hid) narrowed.hid = (f.hid = std::make_unique<OnlyHid>(outer_.hid, f.path)).get();
  if (outer_.video)
    narrowed.video = (f.video = std::make_unique<OnlyVideo>(outer_.video, f.path)).get();
  if (outer_.props)
    narrowed.props = (f.props = std::make_unique<OnlyProps>(outer_.props, f.path)).get();
  set_platform(narrowed);
  g_outer = &outer_;
}

CameraScope::~CameraScope() {
  g_outer = nullptr;
  set_platform(outer_);
}

}  // namespace lumavix::cli
