// One writer per camera on the command line (devlib/writer_lock.h): the
// refusal of a second writer, and the lock of the commands that write
// without the update flow, which takes it itself.
#pragma once

#include <memory>
#include <string>

#include "cli/cli_context.h"
#include "devlib/writer_lock.h"

namespace lumavix::cli {

// A second writer's refusal: another run holds the camera's write lock.
inline constexpr const char* kMsgCameraBusy =
    "another program is writing to this camera; nothing was written (try again once it has "
    "finished)";

// Takes the write lock of the camera at position 0 of the open library.
// False after the failure (exit 1) was reported; a lock narrower than
// machine-wide is a warning on stderr.
[[nodiscard]] bool take_writer_lock(Context& ctx, std::unique_ptr<CameraWriterLock>& out,
                                    int& status);
// The warning of a write lock narrower than machine-wide; nothing when `note`
// is empty.
void warn_writer_lock(const std::string& note);

}  // namespace lumavix::cli
