// The device-watch pass as the update commands run it (status, update, the
// plan of a dry run): the pass itself with the command line's wording of its
// failures, and the JSON and text of what it found.
#pragma once

#include <optional>
#include <string>

#include "app/core/device_watch.h"
#include "cli/run_support.h"

namespace lumavix::cli {

// An update that did not finish, whether or not the camera says what it is.
[[nodiscard]] bool is_interrupted(Presentation p);
// Nothing the camera's flash says of it is to be trusted: its update did not
// finish (whatever the presentation), or it could not be read.
[[nodiscard]] bool flash_untrusted(const DeviceWatchResult& r);
// The refusal of an unfinished camera whose USB id names another model or
// variant, with both ids.
[[nodiscard]] std::string other_model_message(const DeviceWatchState& st,
                                              const DeviceWatchResult& r);
// Why the file's image would not read back as finished (ImageReadsFinished).
[[nodiscard]] std::string unfinished_image_message(const DeviceWatchState& st);

// The camera as the pass found it; only its USB identity when an update was
// interrupted (nothing in its flash can be trusted then).
[[nodiscard]] json camera_json(const DeviceWatchState& st, const DeviceWatchResult& r);
// The status object of a pass.
[[nodiscard]] json status_json(const DeviceWatchState& st, const DeviceWatchResult& r);
// The window's status text, with the download page for another product.
[[nodiscard]] std::string status_text(const DeviceWatchResult& r);
// The exit status that a presentation means for `update`.
[[nodiscard]] int presentation_status(Presentation p);

// Runs the pass; a file-open failure becomes the usage status with the
// window's message. Returns nullopt when the caller goes on.
[[nodiscard]] std::optional<int> watch(Context& ctx, DeviceWatchState& st, DeviceWatchResult& r,
                                       const DeviceWatchConfig& cfg);

}  // namespace lumavix::cli
