// The update commands' device-watch pass; contracts in watch_pass.h.
#include "cli/watch_pass.h"

#include <fmt/format.h>

#include <iostream>

#include "cli/commands.h"
#include "firmware/engine.h"
#include "firmware/product_config.h"

namespace lumavix::cli {

bool is_interrupted(Presentation p) {
  return p == Presentation::Interrupted || p == Presentation::InterruptedUnidentified;
}

bool flash_untrusted(const DeviceWatchResult& r) {
  return is_interrupted(r.view.presentation) || r.view.presentation == Presentation::Unreadable ||
         IdentityUnfinished(r.flashIdentity);
}

std::string other_model_message(const DeviceWatchState& st, const DeviceWatchResult& r) {
  return fmt::format(
      "the camera's update did not finish and its USB product id {} is another model's or "
      "variant's than the file's {}: nothing was written to the camera (--recover is only for "
      "a camera whose id this tool does not know)",
      hex4(r.usbProductId), hex4(st.firmware.productId));
}

std::string unfinished_image_message(const DeviceWatchState& st) {
  const char* why = "";
  switch (st.firmware.imageIdentity) {
    case FlashIdentity::OutOfReach:
      why = "its user-data block lies beyond the first 64 KiB";
      break;
    case FlashIdentity::NoBootConfig:
      why = "it carries no boot configuration";
      break;
    case FlashIdentity::BlockErased:
      why = "its user-data block is erased";
      break;
    default:
      why = "its user-data block cannot be read";
      break;
  }
  return fmt::format(
      "{}: {}, so a camera written with it would read as unfinished", st.firmwarePath, why);
}

json camera_json(const DeviceWatchState& st, const DeviceWatchResult& r) {
  if (flash_untrusted(r)) {
    // Nothing of the flash's identity can be trusted: only what the
    // interface says.
    return json{{"chipGen", st.chipGen},
                {"flash", FlashIdentityName(r.flashIdentity)},
                {"usbProductId", r.usbProductId != 0 ? json(hex4(r.usbProductId)) : json(nullptr)},
                {"model", st.camera.cameraModelText.empty() ? json(nullptr)
                                                            : json(utf8(st.camera.cameraModelText))},
                {"userDataRead", r.userDataRead}};
  }
  return json{{"chipGen", st.chipGen},
              {"chipType", st.camera.cameraChipType},
              {"productId", hex4(st.camera.cameraProductId)},
              {"firmwareVersion", hex4(st.camera.cameraFirmwareVersion)},
              {"model", utf8(st.camera.cameraModelText)},
              {"variant", variant_name(st.camera.CameraVariant)},
              {"altProductId", st.camera.cameraAltProductId},
              {"userDataRead", r.userDataRead}};
}

json status_json(const DeviceWatchState& st, const DeviceWatchResult& r) {
  const Presentation p = r.view.presentation;
  json j{{"presentation", PresentationName(p)}, {"text", utf8(r.view.statusText)}};
  const bool identified = p != Presentation::NoCamera;
  const bool compared = p == Presentation::UpdateAvailable || p == Presentation::UpToDate;
  j["cameraVersion"] = identified && !flash_untrusted(r)
                          ? json(hex4(st.camera.cameraFirmwareVersion))
                          : json(nullptr);
  j["fileVersion"] = st.firmware.read ? json(hex4(st.firmware.firmwareVersion)) : json(nullptr);
  j["file"] = compared || st.firmware.read ? json(st.firmwarePath) : json(nullptr);
  // Which folder the file came from: the one searched, the user's
  // Downloads (the searched one held none usable), or named outright.
  j["fileSource"] = j["file"].is_string() ? json(FirmwareSourceName(r.fileSource)) : json(nullptr);
  j["camera"] = identified ? camera_json(st, r) : json(nullptr);
  if (p == Presentation::NotThisProduct) j["link"] = DownloadUrl;
  if (p == Presentation::NoCamera) {
    const std::string why = no_camera_causes();
    j["reason"] = st.deviceOpen != 0 ? json("the camera's chip generation is not supported")
                  : why.empty()      ? json(nullptr)
                                     : json(why);
  }
  return j;
}

std::string status_text(const DeviceWatchResult& r) {
  std::string t = utf8(r.view.statusText);
  if (r.view.presentation == Presentation::NotThisProduct) t += std::string("\n") + DownloadUrl;
  return t;
}

int presentation_status(Presentation p) {
  switch (p) {
    case Presentation::NoCamera:
      return kExitNoCamera;
    case Presentation::NotThisProduct:
      return kExitNotThisProduct;
    case Presentation::UpToDate:
      return kExitUpToDate;
    case Presentation::UpdateAvailable:
    case Presentation::Interrupted:
    case Presentation::Confirmed:
      return kExitOk;
    case Presentation::InterruptedUnidentified:
      return kExitNotThisProduct;
    case Presentation::Unreadable:
      return kExitFailed;
    case Presentation::CameraBusy:
      return kExitFailed;  // another program writes it: nothing was read
  }
  return kExitFailed;
}

std::optional<int> watch(Context& ctx, DeviceWatchState& st, DeviceWatchResult& r,
                         const DeviceWatchConfig& cfg) {
  r = EvaluateDeviceWatch(st, cfg);
  if (r.userDataAttempted && !r.userDataRead)
    std::cerr << "warning: " << kMsgReadUserDataFail << '\n';
  if (r.outcome == WatchOutcome::FileOpenError) {
    std::string detail;
    if (r.noFirmwareFile) {
      detail = fmt::format("no *.bin file in {}", cfg.directory.empty() ? "." : cfg.directory);
    } else if (PathLength(st.firmwarePath) > kMaxPathLength) {
      detail = fmt::format("the path is longer than {} characters", kMaxPathLength);
    } else {
      detail = st.image && !st.image->opened
                   ? fmt::format("cannot read {}: {}", st.firmwarePath,
                                 read_error_text(st.image->error))
                   : fmt::format("cannot read {}", st.firmwarePath);
    }
    return ctx.fail(kExitUsage, std::string(kMsgFirmwareFileOpenError) + " (" + detail + ")");
  }
  if (r.view.presentation == Presentation::NoCamera && st.deviceOpen == 0) {
    const std::string why = no_camera_causes();
    if (!why.empty()) std::cerr << "no camera found: " << why << '\n';
    print_doctor_hint();
  }
  return std::nullopt;
}

}  // namespace lumavix::cli
