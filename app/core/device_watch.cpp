#include "app/core/device_watch.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "devlib/file_io.h"
#include "devlib/frame.h"
#include "devlib/writer_lock.h"
#include "firmware/engine.h"
#include "firmware/image.h"

namespace lumavix {

// ------------------------------------------------------------------ layout --

int ScalePixels(int value, int dpi) {
  if (dpi <= 0) dpi = 96;
  return static_cast<int>(static_cast<long long>(value) * dpi / 96);
}

PixelRect ScalePixels(const PixelRect& r, int dpi) {
  return {ScalePixels(r.x, dpi), ScalePixels(r.y, dpi), ScalePixels(r.width, dpi),
          ScalePixels(r.height, dpi)};
}

PixelSize ScalePixels(const PixelSize& s, int dpi) {
  return {ScalePixels(s.width, dpi), ScalePixels(s.height, dpi)};
}

NotThisProductLayout NotThisProductPlaces(UiLanguage lang) {
  switch (lang) {
    case UiLanguage::English:
      return {{130, 60, 380, 30}, {25, 20, 380, 70}};
    case UiLanguage::French:
      return {{130, 80, 380, 30}, {25, 20, 400, 80}};
    case UiLanguage::German:
      return {{130, 60, 380, 30}, {25, 20, 400, 80}};
    case UiLanguage::Japanese:
      return {{130, 80, 380, 30}, {25, 20, 400, 80}};
    case UiLanguage::Italian:
      return {{130, 60, 380, 30}, {25, 20, 400, 80}};
    case UiLanguage::Dutch:
      return {{120, 60, 380, 30}, {25, 20, 380, 80}};
  }
  return {{130, 60, 380, 30}, {25, 20, 380, 70}};
}

// ------------------------------------------------------------ firmware file --

namespace {

bool ends_with_bin(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return ext == ".bin";
}

}  // namespace

FirmwareInfo ReadFirmwareInfo(std::span<const std::uint8_t> head) {
  FirmwareInfo info;
  info.read = true;
  const std::size_t n = std::min<std::size_t>(head.size(), kFirmwareWatchRead);
  head = head.first(n);
  info.bytesRead = static_cast<std::uint32_t>(n);

  const FirmwareIdentity id = ReadFirmwareIdentity(head);
  info.chipType = id.chip_type;
  info.codeBase = id.code_base;
  info.blockInReach = id.block_in_reach;
  info.firmwareVersion = id.firmware_version;
  info.productId = id.product_id;
  // The pass reads the file's block from its first 64 KiB only: a block the
  // flash could hold but the pass would not read counts as out of reach.
  info.imageIdentity = head.size() > kFirmwareCrcSize
                           ? ImageFlashIdentity(head.subspan(kFirmwareCrcSize))
                           : FlashIdentity::NoBootConfig;
  if (info.imageIdentity == FlashIdentity::Valid && !info.blockInReach)
    info.imageIdentity = FlashIdentity::OutOfReach;
  return info;
}

bool ImageReadsFinished(const FirmwareInfo& info) {
  return info.read && info.imageIdentity == FlashIdentity::Valid;
}

std::string FindFirmwareFile(const std::string& directory) {
  namespace fs = std::filesystem;
  const fs::path dir = directory.empty() ? fs::path(".") : path_from_utf8(directory);
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return {};
  std::string best;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = path_to_utf8(it->path().filename());
    if (!ends_with_bin(name)) continue;
    // A directory named "x.bin" is no firmware file; a link to a file is.
    std::error_code sec;
    if (!fs::is_regular_file(it->path(), sec)) continue;
    if (best.empty() || name < best) best = name;
  }
  if (best.empty()) return {};
  return path_to_utf8(dir / path_from_utf8(best));
}

const char* FirmwareSourceName(FirmwareSource source) {
  switch (source) {
    case FirmwareSource::Folder:
      return "folder";
    case FirmwareSource::Given:
      return "given";
    case FirmwareSource::Downloads:
      return "downloads";
  }
  return "?";
}

bool ProductIdOfModel(std::uint16_t id, ModelVariant tool) {
  switch (tool) {
    case ModelVariant::Q:
      return id == ProductIdQA || id == ProductIdQB || id == ProductIdQAlt;
    case ModelVariant::R:
      return id == ProductIdRA || id == ProductIdRB;
    case ModelVariant::R2:
      return id == ProductIdR2;
  }
  return false;
}

std::optional<DownloadedFirmware> FindDownloadedFirmware(
    const std::string& folder, const std::function<bool(const FirmwareInfo&)>& fits) {
  namespace fs = std::filesystem;
  if (folder.empty()) return std::nullopt;
  struct Candidate {
    fs::file_time_type modified;
    std::string name;
    fs::path path;
  };
  std::vector<Candidate> found;
  std::error_code ec;
  const fs::path dir = path_from_utf8(folder);
  fs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = path_to_utf8(it->path().filename());
    if (!ends_with_bin(name)) continue;
    std::error_code sec;
    if (!fs::is_regular_file(it->path(), sec)) continue;
    // A disk image or an archive named *.bin is no firmware file: it is not
    // read at all.
    const std::uintmax_t size = fs::file_size(it->path(), sec);
    if (sec || size > kMaxFirmwareLoad || size < kFirmwareCrcSize + kBootConfigSize) continue;
    const fs::file_time_type modified = fs::last_write_time(it->path(), sec);
    if (sec) continue;
    found.push_back({modified, name, it->path()});
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    if (a.modified != b.modified) return a.modified > b.modified;
    return a.name < b.name;
  });
  if (found.size() > kMaxDownloadCandidates) found.resize(kMaxDownloadCandidates);
  for (const Candidate& c : found) {
    const std::string path = path_to_utf8(c.path);
    if (PathLength(path) > kMaxPathLength) continue;
    auto image = std::make_shared<const LoadedFirmware>(LoadFirmwareFile(path));
    if (CheckFirmwareImage(*image) != FileProblem::None) continue;
    FirmwareInfo info = ReadFirmwareInfo(image->bytes);
    if (!ImageReadsFinished(info) || !fits(info)) continue;
    return DownloadedFirmware{path, std::move(image), info};
  }
  return std::nullopt;
}

bool ReadFirmwareHead(const std::string& path, std::vector<std::uint8_t>& out) {
  // Only a regular file: the window's thread must never wait on a FIFO.
  InputFile in = read_input_file(path_from_utf8(path), kFirmwareWatchRead);
  if (!in.ok()) return false;
  out = std::move(in.bytes);
  return true;
}

// ------------------------------------------------------------------- rules --

ChipGen ChipGenFromRegister(std::uint32_t value) { return (value & 0xB0) != 0 ? 2 : 0; }

bool CameraMatchesTool(const CameraIdentity& camera, ModelVariant tool) {
  const std::uint8_t expected = tool == ModelVariant::Q ? 2 : 1;
  return camera.cameraChipType == expected && camera.CameraVariant == tool;
}

bool FirmwareFitsCamera(std::uint16_t id, const CameraIdentity& camera) {
  switch (camera.CameraVariant) {
    case ModelVariant::Q:
      if (id == ProductIdQAlt && camera.cameraAltProductId == 0) return false;
      if ((id == ProductIdQA || id == ProductIdQB) && camera.cameraAltProductId == 1) return false;
      return true;
    case ModelVariant::R:
      return id == ProductIdRA || id == ProductIdRB;
    case ModelVariant::R2:
      return id == ProductIdR2;
  }
  return true;
}

bool KnownProductId(std::uint16_t id) {
  return id == ProductIdQA || id == ProductIdQB || id == ProductIdQAlt || id == ProductIdRA ||
         id == ProductIdRB || id == ProductIdR2;
}

bool UsbIdentityFitsFirmware(std::uint16_t usb, std::uint16_t file, ModelVariant tool) {
  if (!KnownProductId(usb)) return false;
  // The camera as its block would describe it, had it been whole.
  CameraIdentity camera;
  const bool q = usb == ProductIdQA || usb == ProductIdQB || usb == ProductIdQAlt;
  camera.cameraChipType = q ? 2 : 1;
  ApplyModelVariant(camera.cameraChipType, usb, camera);
  return CameraMatchesTool(camera, tool) && FirmwareFitsCamera(file, camera);
}

bool UpdateOffered(std::uint16_t file, std::uint16_t camera) {
  if (file > camera) return true;
  return file != camera && (camera == 0x1721 || camera == 0x0108);
}

// ------------------------------------------------------------- presentation --

const char* PresentationName(Presentation p) {
  switch (p) {
    case Presentation::NoCamera:
      return "no-camera";
    case Presentation::NotThisProduct:
      return "not-this-product";
    case Presentation::UpdateAvailable:
      return "update-available";
    case Presentation::UpToDate:
      return "up-to-date";
    case Presentation::Interrupted:
      return "interrupted";
    case Presentation::InterruptedUnidentified:
      return "interrupted-unidentified";
    case Presentation::Confirmed:
      return "confirmed";
    case Presentation::Unreadable:
      return "unreadable";
    case Presentation::CameraBusy:
      return "busy";
  }
  return "?";
}

bool OffersUpdate(Presentation p) {
  return p == Presentation::UpdateAvailable || p == Presentation::Interrupted;
}

PresentationView ComposePresentation(Presentation p, UiLanguage lang,
                                     std::u16string_view toolModelName,
                                     std::u16string_view cameraModelText,
                                     std::uint16_t fileVersion, std::uint16_t cameraVersion) {
  PresentationView v;
  v.presentation = p;
  switch (p) {
    case Presentation::NoCamera:
      v.statusText = ConnectText(lang, toolModelName);
      v.statusRect = kConnectStatusRect;
      break;
    case Presentation::NotThisProduct: {
      const NotThisProductLayout places = NotThisProductPlaces(lang);
      v.statusText = NotThisProductText(lang, toolModelName);
      v.statusRect = places.status;
      v.linkShown = true;
      v.linkRect = places.link;
      v.linkMarkup = std::string("<a href=\"") + DownloadUrl + "\">" + DownloadUrl + "</a>";
      break;
    }
    case Presentation::UpdateAvailable:
      v.statusText = UpdateAvailableText(lang, cameraModelText, fileVersion, cameraVersion);
      v.statusRect = kUpdateAvailableStatusRect;
      v.updateButtonShown = true;
      v.controlsEnabled = true;
      break;
    case Presentation::UpToDate:
      v.statusText = UpToDateText(lang, cameraModelText, cameraVersion);
      v.statusRect = kUpToDateStatusRect;
      v.controlsEnabled = true;
      break;
    case Presentation::Interrupted:
      v.statusText = InterruptedText(lang, toolModelName, fileVersion);
      v.statusRect = kUpdateAvailableStatusRect;
      v.updateButtonShown = true;
      v.controlsEnabled = true;
      break;
    case Presentation::InterruptedUnidentified:
      // The button is the user's word that the camera is this model.
      v.statusText = InterruptedUnidentifiedText(lang, toolModelName);
      v.statusRect = kUpdateAvailableStatusRect;
      v.updateButtonShown = true;
      v.updateButtonText = std::u16string(FinishUpdateButtonText(lang));
      v.controlsEnabled = true;
      break;
    case Presentation::Unreadable:
      v.statusText = std::u16string(UnreadableCameraText(lang));
      v.statusRect = kConnectStatusRect;
      break;
    case Presentation::Confirmed:
      v.statusText = ConfirmedText(lang, toolModelName, cameraVersion);
      v.statusRect = kUpdateAvailableStatusRect;
      v.controlsEnabled = true;
      break;
    case Presentation::CameraBusy:
      v.statusText = CameraBusyText(lang, toolModelName);
      v.statusRect = kConnectStatusRect;
      break;
  }
  return v;
}

// ------------------------------------------------------------ file problems --

// The path is UTF-8: it is opened through its wide form on Windows, where
// a narrow open would read it in the ANSI code page.
FileProblem CheckFirmwareFile(const std::string& path) {
  return CheckFirmwareImage(LoadFirmwareFile(path));
}

FileProblem CheckFirmwareImage(const LoadedFirmware& file) {
  if (!file.opened) return FileProblem::Unreadable;
  if (file.size < kFirmwareCrcSize + kBootConfigSize || file.oversized())
    return FileProblem::NotFirmware;
  return CheckImageCrc(file.bytes) ? FileProblem::None : FileProblem::BadCrc;
}

PresentationView ComposeFileProblemView(UiLanguage lang, FileProblem problem,
                                        std::u16string_view where) {
  PresentationView v;
  v.presentation = Presentation::NoCamera;
  v.statusText = FileProblemText(lang, problem, where);
  v.statusRect = kFileProblemStatusRect;
  v.windowSize = kFileProblemWindowSize;
  v.chooseFileShown = true;
  v.chooseFileRect = kChooseFileRect;
  return v;
}

// ------------------------------------------------------------------- the pass --

DeviceWatchResult EvaluateDeviceWatch(DeviceWatchState& st, const DeviceWatchConfig& cfg) {
  DeviceWatchResult r;
  // Reopening the library under a running worker would pull the device from
  // under the download: the pass waits for the run's terminal notification.
  if (cfg.updateInProgress || WorkerRunning()) {
    r.outcome = WatchOutcome::Deferred;
    return r;
  }

  const std::u16string toolName = ModelName(cfg.toolVariant);
  st.firmware = FirmwareInfo{};
  st.image.reset();
  st.page.SetControlsEnabled(false);

  // Until the camera is identified the window asks for it.
  r.view = ComposePresentation(Presentation::NoCamera, cfg.language, toolName, {}, 0, 0);
  st.statusText = r.view.statusText;

  auto finish = [&](Presentation p) {
    // Whatever came back after the reconnection has now been presented; a
    // camera that did not answer has not been seen yet.
    if (st.replugLeft && p != Presentation::NoCamera && p != Presentation::Unreadable) {
      st.awaitingReplug.reset();
      st.replugLeft = false;
    }
    const std::uint16_t cameraVersion = st.camera.cameraFirmwareVersion;
    r.view = ComposePresentation(p, cfg.language, toolName, st.camera.cameraModelText,
                                 st.firmware.firmwareVersion, cameraVersion);
    // A file from the Downloads folder is named with its folder: the user
    // did not put it beside the program and may not expect it.
    if (r.fileSource == FirmwareSource::Downloads && st.firmware.read && p != Presentation::NoCamera &&
        p != Presentation::NotThisProduct && p != Presentation::Unreadable) {
      const std::filesystem::path file = path_from_utf8(st.firmwarePath);
      r.view.statusText += u'\n';
      r.view.statusText += DownloadsFileText(cfg.language, FromUtf8(path_to_utf8(file.filename())),
                                             FromUtf8(path_to_utf8(file.parent_path())));
    }
    st.statusText = r.view.statusText;
    r.setWindowTitle = true;
    r.windowTitle = WindowTitle(cfg.language, cfg.toolVariant);
    return r;
  };

  // Another run writes the camera: it is neither read (its memories are
  // half written) nor talked to between that run's transfers. Whatever the
  // camera was awaited for stays awaited.
  auto busy = [&] {
    r.view = ComposePresentation(Presentation::CameraBusy, cfg.language, toolName, {}, 0, 0);
    st.statusText = r.view.statusText;
    r.setWindowTitle = true;
    r.windowTitle = WindowTitle(cfg.language, cfg.toolVariant);
    return r;
  };

  if (st.deviceOpen != 0) {
    CloseDevices();
    st.deviceOpen = 0;
  }
  if (!st.cameraKey.empty() && CameraKeyBeingWritten(st.cameraKey)) return busy();
  st.deviceOpen = OpenDevices();
  if (st.deviceOpen == 0) {
    st.cameraKey.clear();
    if (st.awaitingReplug) st.replugLeft = true;
    r.endConfirmation = true;
    return finish(Presentation::NoCamera);
  }
  st.cameraKey = CameraWriterKey(0);
  if (CameraKeyBeingWritten(st.cameraKey)) return busy();

  std::uint32_t reg = 0;
  r.chipRegisterRead = ReadWithRetries([&] { return ReadRegister(0x0000, 4, reg); });
  // The camera is there but does not answer: what it is and what it holds
  // are unknown, and nothing may be decided from it.
  if (!r.chipRegisterRead) return finish(Presentation::Unreadable);
  r.chipRegister = reg;
  st.chipGen = ChipGenFromRegister(reg);
  if (st.chipGen == 0 && !cfg.allowChipGen0Download) return finish(Presentation::NoCamera);

  const UserDataOutcome ud = ReadUserData(st.deviceOpen, st.page, st.camera);
  st.page.SetControlsEnabled(ud.ok);
  r.userDataAttempted = true;
  r.userDataRead = ud.ok;
  r.flashIdentity = ud.identity;
  r.usbProductId = DeviceUsbProductId(0);
  if (ud.status) st.statusText = widen_narrow_text(ud.status);
  // A register that the library's own rule reads as generation 2 while the
  // library still calls the camera another generation: its transfers failed.
  const bool library_gen2 = (reg & 0xF0) == 0xB0 || (reg & 0xF0) == 0xC0;
  if (ud.identity == FlashIdentity::Unreadable ||
      (ud.identity == FlashIdentity::NotApplicable && st.chipGen == 2 && library_gen2))
    return finish(Presentation::Unreadable);
  // The camera answered, and the bytes read from its flash show that it
  // does not say what it is: an update was cut short. What it held before,
  // kept in the camera fields, no longer counts.
  const bool unfinished = IdentityUnfinished(ud.identity);

  std::string path = cfg.firmwareFile;
  r.fileSource = path.empty() ? FirmwareSource::Folder : FirmwareSource::Given;
  if (path.empty()) {
    path = FindFirmwareFile(cfg.directory);
    r.noFirmwareFile = path.empty();
  }

  if (!unfinished && !CameraMatchesTool(st.camera, cfg.toolVariant))
    return finish(Presentation::NotThisProduct);

  // The working folder comes first. Only when it holds no usable firmware
  // file (none at all, or one that is no whole image) and no file was named
  // does the Downloads folder offer one, of this model and fitting this
  // camera. Each file is read once: the one taken is the one written.
  if (r.fileSource == FirmwareSource::Folder && !cfg.downloadsFolder.empty()) {
    if (!path.empty() && PathLength(path) <= kMaxPathLength)
      st.image = std::make_shared<const LoadedFirmware>(LoadFirmwareFile(path));
    const bool usable = st.image && CheckFirmwareImage(*st.image) == FileProblem::None &&
                        ImageReadsFinished(ReadFirmwareInfo(st.image->bytes));
    if (!usable) {
      auto fits = [&](const FirmwareInfo& info) {
        if (!ProductIdOfModel(info.productId, cfg.toolVariant)) return false;
        if (unfinished)
          return !KnownProductId(r.usbProductId) ||
                 UsbIdentityFitsFirmware(r.usbProductId, info.productId, cfg.toolVariant);
        return FirmwareFitsCamera(info.productId, st.camera);
      };
      if (auto d = FindDownloadedFirmware(cfg.downloadsFolder, fits)) {
        path = d->path;
        st.image = d->image;
        r.fileSource = FirmwareSource::Downloads;
        r.noFirmwareFile = false;
      }
    }
  }

  st.firmwarePath = path;
  // The window names the problem in its status line and offers another file.
  auto file_problem = [&](FileProblem problem) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder =
        fs::absolute(cfg.directory.empty() ? fs::path(".") : path_from_utf8(cfg.directory), ec)
            .lexically_normal();
    const std::string where = path_to_utf8(problem == FileProblem::NotFound
                                               ? folder
                                               : path_from_utf8(path).filename());
    r.outcome = WatchOutcome::FileProblemShown;
    r.fileProblem = problem;
    r.view = ComposeFileProblemView(cfg.language, problem, FromUtf8(where));
    st.statusText = r.view.statusText;
    st.firmware = FirmwareInfo{};
    r.setWindowTitle = true;
    r.windowTitle = WindowTitle(cfg.language, cfg.toolVariant);
    return r;
  };
  // The engine takes paths of at most 259 characters: a longer one could be
  // presented as an update that can then not start. The file is read here,
  // once: the checks, the decision and an update started from this pass
  // take these bytes, whatever the path names later.
  if (!st.image && !path.empty() && PathLength(path) <= kMaxPathLength) {
    if (cfg.firmwareImage && cfg.firmwareImage->path == path)
      st.image = cfg.firmwareImage;
    else
      st.image = std::make_shared<const LoadedFirmware>(LoadFirmwareFile(path));
  }
  if (!st.image || !st.image->opened) {
    if (cfg.fileProblemsInWindow)
      return file_problem(path.empty() ? FileProblem::NotFound : FileProblem::Unreadable);
    r.outcome = WatchOutcome::FileOpenError;
    r.messageBox = kMsgFirmwareFileOpenError;
    r.messageCaption = kAppCaption;
    // The window keeps the connect text with every control disabled.
    r.view = ComposePresentation(Presentation::NoCamera, cfg.language, toolName, {}, 0, 0);
    st.statusText = r.view.statusText;
    return r;
  }
  if (cfg.fileProblemsInWindow) {
    // The same checks for a found file and a chosen one, before anything is
    // offered: a damaged file would otherwise be compared by the version its
    // missing block reads as.
    if (const FileProblem problem = CheckFirmwareImage(*st.image); problem != FileProblem::None)
      return file_problem(problem);
  }
  const std::span<const std::uint8_t> head = st.image->bytes;
  st.firmware = ReadFirmwareInfo(head);
  // Written, this image would leave a camera that reads as unfinished.
  if (cfg.fileProblemsInWindow && !ImageReadsFinished(st.firmware))
    return file_problem(FileProblem::NotFirmware);

  if (unfinished) {
    // The camera is taken to be what its USB identity says, when that
    // identity is this tool's model and the file fits it; its version is
    // unknown, so the update is offered whatever the file's version. A
    // known id of another model or variant is refused, --recover or not: it
    // says what the camera is. Only an id this build does not know leaves
    // the model to the user's word.
    const bool fits =
        UsbIdentityFitsFirmware(r.usbProductId, st.firmware.productId, cfg.toolVariant);
    if (!fits && KnownProductId(r.usbProductId)) {
      r.otherModelRefused = true;
      return finish(Presentation::NotThisProduct);
    }
    if (!fits && !cfg.recover) return finish(Presentation::InterruptedUnidentified);
    st.camera = CameraIdentity{};
    st.camera.cameraChipType = 2;
    st.camera.cameraProductId = fits ? r.usbProductId : st.firmware.productId;
    ApplyModelVariant(st.camera.cameraChipType, st.camera.cameraProductId, st.camera);
    return finish(Presentation::Interrupted);
  }

  if (!FirmwareFitsCamera(st.firmware.productId, st.camera)) {
    // A file the user chose is named as the wrong one; the found file keeps
    // the presentation that points to the download page.
    if (cfg.fileProblemsInWindow && !cfg.firmwareFile.empty())
      return file_problem(FileProblem::OtherProduct);
    return finish(Presentation::NotThisProduct);
  }
  // Back after the reconnection the completion text asked for: confirmed
  // when it runs what was written; otherwise the usual comparison says why.
  if (st.awaitingReplug && st.replugLeft) {
    if (*st.awaitingReplug == st.camera.cameraFirmwareVersion)
      return finish(Presentation::Confirmed);
  }
  return finish(UpdateOffered(st.firmware.firmwareVersion, st.camera.cameraFirmwareVersion)
                    ? Presentation::UpdateAvailable
                    : Presentation::UpToDate);
}

}  // namespace lumavix
