// One camera's update, as `update` runs it on its own and `update --all`
// runs it for each camera in turn: the device-watch pass, the file and
// identity checks, the confirmation, the write and verification, and, when
// asked, the wait for the camera's reconnection.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/core/device_watch.h"
#include "app/core/texts.h"
#include "cli/run_support.h"

namespace lumavix::cli {

struct UpdateArgs {
  std::string file;
  bool yes = false;
  bool force = false;
  bool recover = false;
  bool all = false;
  bool dry_run = false;
  // --wait-replug[=SECONDS]: wait this long for the camera to come back.
  std::optional<unsigned> wait_replug_s;
  // FILE as the command read it, once, before the first pass (it may be a
  // pipe): every pass and the write take these bytes.
  std::shared_ptr<const LoadedFirmware> image;
};

inline constexpr unsigned kDefaultReplugWaitS = 60;

// What one camera's update came to. Nothing of it has gone to stdout: the
// caller prints `object` (JSON) or `text` as its result, or gathers them.
struct CameraUpdate {
  int status = kExitOk;  // the exit status of this camera alone
  Presentation presentation = Presentation::NoCamera;
  bool written = false;   // the worker ran (the flash may have changed)
  // The pass read an unfinished update in the camera's flash.
  bool unfinished = false;
  json object;            // the result object
  std::string text;       // the text-mode result; empty when stderr said it all
  // What the pass found, when it found it.
  std::optional<std::uint16_t> productId;
  std::optional<std::uint16_t> cameraVersion;
  std::optional<std::uint16_t> fileVersion;
};

// The device-watch pass's settings for an update with `a`.
[[nodiscard]] DeviceWatchConfig update_watch_config(const UpdateArgs& a, UiLanguage lang);

// Runs the update on the camera the library finds at position 0 (the only
// one inside a CameraScope). Messages and progress go to stderr (events to
// stdout in JSON mode). `confirmed`: the user already agreed (--yes, or
// once for every camera).
[[nodiscard]] CameraUpdate update_camera(Context& ctx, const UpdateArgs& a, UiLanguage lang,
                                         bool confirmed);

// An error that ends one camera's update before anything was written: the
// message on stderr, and the object that `Context::fail` would print, added
// to what `found` says of the camera.
[[nodiscard]] CameraUpdate camera_error(int status, const std::string& message,
                                        CameraUpdate found = {});

// `update --all`: every camera the library lists, one after another, each
// with its own result object (with its position and path) on a line of its
// own, then a summary as the result.
[[nodiscard]] int run_update_all(Context& ctx, const UpdateArgs& a);

}  // namespace lumavix::cli
