// The plan of a write (`update --dry-run`, `download --dry-run`): what the
// run would do to the camera, found by rehearsing it. The same flow and
// worker run against a simulated twin of the camera (same transport, chip
// generation, boot memory and flash part; the same memories when the camera
// is itself simulated), whose flash keeps a record of every erase, program
// and read. So the transfers planned are the transfers the run takes, by
// construction, apart from the extra status reads that a real flash needs
// while it is busy.
#pragma once

#include <string>

#include "app/core/device_watch.h"
#include "app/core/update_flow.h"
#include "cli/run_support.h"

namespace lumavix::cli {

struct WritePlan {
  bool ok = false;
  std::string error;  // why no plan could be made, when !ok
  bool refused = false;  // the engine would refuse the request (file or camera)
  json object;        // the plan, as the JSON result
  std::string text;   // the plan, for a person
};

// Plans the write that `flow switches` would start from `st` (the pass's
// state, library open on the camera). Reads the camera (its registers and
// flash identity) and writes nothing to it; the library is left closed.
[[nodiscard]] WritePlan plan_write(DeviceWatchState& st, const UpdateFlowSwitches& switches,
                                   UiLanguage lang);

}  // namespace lumavix::cli
