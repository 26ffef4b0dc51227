#include "devlib/writer_lock.h"

#include <cerrno>
#include <vector>

#include "devlib/internal/library_state.h"
#include "devlib/trace.h"

namespace lumavix {

namespace {

LockBackend& writer_backend() {
  static ProcessLockBackend process_locks;
  LockBackend* b = platform().writers;
  return b ? *b : process_locks;
}

}  // namespace

std::string CameraWriterKey(std::int32_t i) {
  if (i < 0 || i >= kMaxDevices) return {};
  const Transport* t = active_transport();
  return t ? t->writer_key(i) : std::string();
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
