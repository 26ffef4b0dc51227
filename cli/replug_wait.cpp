// The wait for the camera's reconnection; the contract is in replug_wait.h.
#include "cli/replug_wait.h"

#include <fmt/format.h>

#include <iostream>

#include "devlib/clock.h"
#include "firmware/engine.h"

namespace lumavix::cli {

namespace {
constexpr std::uint32_t kPollMs = 500;
}  // namespace

ReplugOutcome wait_for_replug(DeviceWatchState& st, const DeviceWatchConfig& cfg,
                              unsigned seconds) {
  ReplugOutcome out;
  if (!st.awaitingReplug) {
    out.message = "the update did not say which version to expect";
    return out;
  }
  const std::uint16_t expected = *st.awaitingReplug;
  std::cerr << fmt::format(
      "waiting up to {} s for the camera to be disconnected and connected again...\n", seconds);
  Clock& clock = lumavix::clock();
  const std::uint32_t start = clock.ticks_ms();
  const std::uint64_t limit = std::uint64_t{seconds} * 1000;
  for (;;) {
    const DeviceWatchResult r = EvaluateDeviceWatch(st, cfg);
    const Presentation p = r.view.presentation;
    if (p == Presentation::Confirmed) {
      out.confirmed = true;
      out.message = fmt::format("update confirmed: the camera is back and runs firmware {:04X}",
                                expected);
      break;
    }
    // Back, but the pass presented something else: the comparison says why.
    if (!st.awaitingReplug) {
      const bool compared = p == Presentation::UpToDate || p == Presentation::UpdateAvailable;
      out.message =
          compared ? fmt::format("the camera came back with firmware {:04X}, not the {:04X} written",
                                 st.camera.cameraFirmwareVersion, expected)
                   : fmt::format("the camera came back, but as \"{}\"", PresentationName(p));
      break;
    }
    if (clock.ticks_ms() - start >= limit) {
      out.message = st.replugLeft
                        ? fmt::format("the camera did not come back within {} s", seconds)
                        : fmt::format(
                              "the camera was not reconnected within {} s: unplug it and plug it "
                              "in again to run the new firmware",
                              seconds);
      break;
    }
    clock.sleep_ms(kPollMs);
  }
  CloseDevices();
  st.deviceOpen = 0;
  return out;
}

}  // namespace lumavix::cli
