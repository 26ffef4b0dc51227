#include "devlib/writer_lock.h"

#include <cerrno>
#include <vector>

#include "devlib/frame.h"
#include "devlib/trace.h"
#include "devlib/vendor_props.h"

namespace lumavix {

namespace {

// "usb-1-2:1.0" -> "usb-1-2": the interface's part names the same camera.
std::string port_of(const std::string& interface_key) {
  const std::size_t colon = interface_key.find(':');
  return colon == std::string::npos ? interface_key : interface_key.substr(0, colon);
}

LockBackend& writer_backend() {
  static ProcessLockBackend process_locks;
  LockBackend* b = platform().writers;
  return b ? *b : process_locks;
}

}  // namespace

std::string CameraWriterKey(std::int32_t i) {
  const LibraryState& s = library_state();
  if (i < 0 || i >= kMaxDevices || s.kind == DeviceKind::None) return {};
  switch (s.kind) {
    case DeviceKind::Hid: {
      if (static_cast<std::uint32_t>(i) >= s.hidList.count) return {};
      const std::string& path = s.hidList.paths[i];
      // The node ("/dev/hidraw3") is renumbered on every reconnection; the
      // port is what another program that reached the camera sees too.
      std::vector<HidInterfaceInfo> infos;
      SysError err;
      if (platform().hid && platform().hid->enumerate(infos, err)) {
        for (const HidInterfaceInfo& info : infos) {
          if (info.path == path && !info.port.empty()) return port_of(info.port);
        }
      }
      return path;
    }
    case DeviceKind::VideoClass:
      if (!s.table[i].has_interface()) return {};
      return port_of(s.table[i].path);
    case DeviceKind::VendorVideo:
    case DeviceKind::BdaVendor:
      if (s.table[i].control == nullptr) return {};
      return prop_device(s.table[i])->path();
    case DeviceKind::None:
      break;
  }
  return {};
}

WriterLockStatus CameraWriterLock::Take(std::int32_t position,
                                        std::unique_ptr<CameraWriterLock>& out, SysError& err) {
  out.reset();
  err = {};
  const std::string key = CameraWriterKey(position);
  if (key.empty()) {
    err = {ENODEV, "no camera at position " + std::to_string(position)};
    return WriterLockStatus::NoCamera;
  }
  std::unique_ptr<NamedLock> lock = writer_backend().create(key, err);
  if (!lock) {
    DebugTrace("no write lock for the camera at %s: %s", key.c_str(), err.message.c_str());
    return WriterLockStatus::Unavailable;
  }
  if (!lock->try_acquire()) return WriterLockStatus::Busy;
  out.reset(new CameraWriterLock(key, std::move(lock)));
  return WriterLockStatus::Held;
}

CameraWriterLock::~CameraWriterLock() { lock_->release(); }

bool CameraBeingWritten(std::int32_t position) {
  return CameraKeyBeingWritten(CameraWriterKey(position));
}

bool CameraKeyBeingWritten(const std::string& key) {
  if (key.empty()) return false;
  SysError err;
  std::unique_ptr<NamedLock> lock = writer_backend().create(key, err);
  if (!lock || !lock->try_acquire()) return lock != nullptr;
  lock->release();
  return false;
}

}  // namespace lumavix
