// `update --wait-replug`: after a verified update, the wait for the camera
// to be reconnected (the completion text asks the user to) and the check
// that it then runs the version written, decided by the same device-watch
// passes that the window runs.
#pragma once

#include <string>

#include "app/core/device_watch.h"

namespace lumavix::cli {

struct ReplugOutcome {
  bool confirmed = false;  // back, and running the version written
  std::string message;     // what a person reads, either way
};

// `st` is the state of the update's pass, whose flow has marked the version
// written; `cfg` that pass's configuration. Polls every half second for at
// most `seconds` on the injectable clock; says what it waits for on stderr.
[[nodiscard]] ReplugOutcome wait_for_replug(DeviceWatchState& st, const DeviceWatchConfig& cfg,
                                            unsigned seconds);

}  // namespace lumavix::cli
