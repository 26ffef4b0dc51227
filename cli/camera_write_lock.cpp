// The write lock of the commands that write without the update flow; the
// contract is in camera_write_lock.h.
#include "cli/camera_write_lock.h"

#include <iostream>

namespace lumavix::cli {

bool take_writer_lock(Context& ctx, std::unique_ptr<CameraWriterLock>& out, int& status) {
  SysError err;
  switch (CameraWriterLock::Take(0, out, err)) {
    case WriterLockStatus::Held:
      warn_writer_lock(err.message);
      return true;
    case WriterLockStatus::NoCamera:
      return true;  // the command's own access finds no camera and says so
    case WriterLockStatus::Busy:
      status = ctx.fail(kExitFailed, kMsgCameraBusy);
      return false;
    case WriterLockStatus::Unavailable:
      break;
  }
  status = ctx.fail(kExitFailed,
                    "cannot reserve the camera for writing: " + err.message + "; nothing was written");
  return false;
}

void warn_writer_lock(const std::string& note) {
  if (!note.empty()) std::cerr << "warning: " << note << '\n';
}

}  // namespace lumavix::cli
