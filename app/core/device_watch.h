// The device-watch pass without a window: it reopens the device library,
// identifies the camera, finds and reads the firmware file, applies the
// identity and version rules, and says which of the four presentations the
// window shows, with its composed text, its layout at 96 dpi and the state of
// its controls. The Qt window lays the result out; it takes no decision of
// its own.
//
// Runs on the receiver's thread (the window's or the command line's), never
// beside an update worker: the pass closes and reopens the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/core/texts.h"
#include "devlib/types.h"
#include "firmware/product_config.h"
#include "settings/userdata.h"

namespace lumavix {

// ------------------------------------------------------------------ layout --

// Places and sizes in pixels at 96 dpi; the window multiplies each value by
// its horizontal logical dpi / 96 (ScalePixels).
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

struct PixelSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// value * dpi / 96, truncated toward zero. A dpi of 0 is taken as 96.
[[nodiscard]] int ScalePixels(int value, int dpi);
[[nodiscard]] PixelRect ScalePixels(const PixelRect& rect, int dpi);
[[nodiscard]] PixelSize ScalePixels(const PixelSize& size, int dpi);

// The window in every watch presentation, and the status line's places.
inline constexpr PixelSize kWatchWindowSize{460, 170};
inline constexpr PixelRect kConnectStatusRect{50, 45, 340, 70};
inline constexpr PixelRect kUpdateAvailableStatusRect{20, 15, 410, 70};
inline constexpr PixelRect kUpToDateStatusRect{50, 30, 340, 70};

// Not-this-product: the link and the status line, per language.
struct NotThisProductLayout {
  PixelRect link;
  PixelRect status;
};
[[nodiscard]] NotThisProductLayout NotThisProductPlaces(UiLanguage lang);

// Control ids the window switches with SetActionControlsEnabled, in the
// order it switches them: Update, Browse, the setting-table buttons and
// address fields, and the dump box.
inline constexpr std::array<int, 8> kActionControls = {1001, 1000, 1003, 1011,
                                                       1021, 1013, 1020, 1019};

// ----------------------------------------------------------------- messages --

inline constexpr const char* kAppCaption = "LUMAVIX Firmware Update Tool";
inline constexpr const char* kMsgFirmwareFileOpenError = "Firmware File open Error!!";

// ------------------------------------------------------------ firmware file --

// What a pass takes from the firmware file's first 64 KiB.
struct FirmwareInfo {
  bool read = false;  // the file was read this pass
  std::uint32_t bytesRead = 0;
  int chipType = 1;            // 2 when the image names a user code area
  std::uint32_t codeBase = 0;  // UserCodeAddr for chip type 2, else BootAddr
  // The image's user-data block lies wholly inside the first 64 KiB of the
  // file; when it does not, the version and product id count as 0.
  bool blockInReach = false;
  std::uint16_t firmwareVersion = 0;
  std::uint16_t productId = 0;
  // What a camera would hold once this image is written, by the pass's own
  // rule (ImageFlashIdentity): OutOfReach when the block is not in reach.
  FlashIdentity imageIdentity = FlashIdentity::NotApplicable;
};

// Decodes the start of a firmware file (at most its first 64 KiB; missing
// bytes count as zero, as in the zero-filled buffer of the pass).
[[nodiscard]] FirmwareInfo ReadFirmwareInfo(std::span<const std::uint8_t> head);

// The file's image would read back as a finished camera: written, it would
// not leave a camera that every later pass calls unfinished (and offers to
// rewrite). A file that fails this is refused before anything is written.
[[nodiscard]] bool ImageReadsFinished(const FirmwareInfo& info);

// The firmware file of a directory: the alphabetically first regular file
// (byte order of the names) whose name ends in ".bin" in any letter case, as
// a full path. Empty when there is none or the directory cannot be read.
[[nodiscard]] std::string FindFirmwareFile(const std::string& directory);

// Where a pass took its firmware file from.
enum class FirmwareSource : std::uint8_t {
  Folder,     // the folder searched (the working folder, or the one given)
  Given,      // a file named outright (command line, file dialog, drop)
  Downloads,  // the user's Downloads folder, the folder holding none usable
};
// "folder", "given", "downloads".
[[nodiscard]] const char* FirmwareSourceName(FirmwareSource source);

// The product id is one of this build's ids for `tool`'s model (Q: QA, QB,
// QAlt; R: RA, RB; R2: R2). Stricter than FirmwareFitsCamera, which lets
// an unknown id through: a Downloads folder holds files of every kind.
[[nodiscard]] bool ProductIdOfModel(std::uint16_t productId, ModelVariant tool);

// The firmware file that a Downloads folder offers: of its regular files
// whose name ends in ".bin" (any letter case), newest first (ties by name),
// the first that is a whole firmware image (size, CRC, an identity that
// reads back finished) and that `fits` takes. Larger files are passed over
// unread, and at most kMaxDownloadCandidates are read. Null when none is.
struct DownloadedFirmware {
  std::string path;
  std::shared_ptr<const LoadedFirmware> image;
  FirmwareInfo info;
};
inline constexpr std::size_t kMaxDownloadCandidates = 32;
[[nodiscard]] std::optional<DownloadedFirmware> FindDownloadedFirmware(
    const std::string& folder, const std::function<bool(const FirmwareInfo&)>& fits);

// Reads at most the first 64 KiB of `path`. False when it cannot be opened
// or read.
[[nodiscard]] bool ReadFirmwareHead(const std::string& path, std::vector<std::uint8_t>& out);

// ------------------------------------------------------------------- rules --

// The window's own chip-generation test on bridge register 0x0000: 2 when
// any of the bits 0xB0 of its lowest byte is set, else 0. Wider than the
// library's rule, which accepts only the high nibbles 0xB and 0xC.
[[nodiscard]] ChipGen ChipGenFromRegister(std::uint32_t value);

// The camera is of the model this tool serves: its chip type is the one
// expected for the tool (2 for Q, 1 otherwise) and its variant is the tool's.
[[nodiscard]] bool CameraMatchesTool(const CameraIdentity& camera, ModelVariant tool);

// The file, by its product id, fits the camera. A Q camera refuses the
// alternative hardware's id unless it is the alternative hardware, and the
// other two Q ids when it is; every other id passes. R and R2 cameras take
// only their own ids.
[[nodiscard]] bool FirmwareFitsCamera(std::uint16_t fileProductId, const CameraIdentity& camera);

// One of the six product ids this build knows (QA, QB, QAlt, RA, RB, R2).
[[nodiscard]] bool KnownProductId(std::uint16_t id);

// A camera whose flash holds no whole identity (an update did not finish)
// may be updated when the USB product id it enumerated with is one of this
// build's ids for the file's model, with the file fitting it as it would fit
// a camera that carried that id in its block. 0 (unknown) never passes.
[[nodiscard]] bool UsbIdentityFitsFirmware(std::uint16_t usbProductId, std::uint16_t fileProductId,
                                           ModelVariant tool);

// An update is offered when the file's version is higher, or when it differs
// and the camera carries 0x1721 or 0x0108 (versions that any other version
// replaces, even a lower one).
[[nodiscard]] bool UpdateOffered(std::uint16_t fileVersion, std::uint16_t cameraVersion);

// ------------------------------------------------------------- presentation --

enum class Presentation : std::uint8_t {
  NoCamera,        // also a generation-0 camera while AllowChipGen0Download is off
  NotThisProduct,
  UpdateAvailable,
  UpToDate,
  // The camera answers but its flash holds no whole identity: an update did
  // not finish. Its USB identity is this tool's model: the Update button
  // offers to run the update again.
  Interrupted,
  // The same, but nothing tells what the camera is: its USB product id is
  // none this build knows. The window's button (Finish update) and the
  // command line's --recover finish it on the user's word, taking it to be
  // the file's model; neither is offered for a camera whose known id says it
  // is another model or variant (that one is NotThisProduct).
  InterruptedUnidentified,
  // The camera left and came back after a verified update and runs the
  // version written: the update is confirmed (no button).
  Confirmed,
  // The camera is there but its reads kept failing (after their retries):
  // nothing is known of what it holds, so nothing is offered; the user is
  // asked to reconnect it.
  Unreadable,
  // Another run is writing the camera (it holds the camera's write lock):
  // the camera is not read meanwhile; no button, the text asks to wait.
  CameraBusy,
};

// "no-camera", "not-this-product", "update-available", "up-to-date",
// "interrupted", "interrupted-unidentified", "confirmed", "unreadable",
// "busy".
[[nodiscard]] const char* PresentationName(Presentation p);

// The presentations whose Update button runs the update with nothing more
// than the confirmation: an update is available, or an interrupted one is to
// be run again. (InterruptedUnidentified shows a button too, which finishes
// the update only on the user's word for the camera's model.)
[[nodiscard]] bool OffersUpdate(Presentation p);

// How a pass ended.
enum class WatchOutcome : std::uint8_t {
  Presented,      // one of the four presentations
  FileOpenError,  // message box; controls stay disabled, title not set
  Deferred,       // an update runs: nothing was touched, run the pass later
  // The firmware file is missing, unreadable, damaged or not this product's
  // (only with DeviceWatchConfig::fileProblemsInWindow): the view names the
  // file and the reason and offers to choose another; controls stay disabled.
  FileProblemShown,
};

// The presentation's part of a pass result: what the window shows.
struct PresentationView {
  Presentation presentation = Presentation::NoCamera;
  std::u16string statusText;
  PixelRect statusRect = kConnectStatusRect;
  PixelSize windowSize = kWatchWindowSize;
  bool updateButtonShown = false;
  bool linkShown = false;
  PixelRect linkRect;
  std::string linkMarkup;  // one anchor whose address and text are the download page
  bool controlsEnabled = false;
  // The Update button's place; width 0 keeps the template's.
  PixelRect updateButtonRect;
  // The Update button's text; empty keeps "Update".
  std::u16string updateButtonText;
  // No usable firmware file: the button that opens the file dialog.
  bool chooseFileShown = false;
  PixelRect chooseFileRect;
};

// The texts and layout of a presentation. `toolModelName` is "LUMAVIX Q";
// `cameraModelText` the camera's, with its trailing blank.
[[nodiscard]] PresentationView ComposePresentation(Presentation p, UiLanguage lang,
                                                   std::u16string_view toolModelName,
                                                   std::u16string_view cameraModelText,
                                                   std::uint16_t fileVersion,
                                                   std::uint16_t cameraVersion);

// What keeps the file at `path` from being a firmware image: unreadable, too
// short or too long, or a CRC that does not match; None when it is one.
[[nodiscard]] FileProblem CheckFirmwareFile(const std::string& path);
// The same for a file already read.
[[nodiscard]] FileProblem CheckFirmwareImage(const LoadedFirmware& file);

// The view of a firmware-file problem: its text (the folder looked in, or the
// file's name and the reason), the button to choose a file, nothing enabled.
[[nodiscard]] PresentationView ComposeFileProblemView(UiLanguage lang, FileProblem problem,
                                                      std::u16string_view where);
inline constexpr PixelRect kFileProblemStatusRect{20, 12, 420, 95};
inline constexpr PixelRect kChooseFileRect{150, 112, 160, 30};
inline constexpr PixelSize kFileProblemWindowSize{460, 190};

// ------------------------------------------------------------------- the pass --

// The window's members that the watch reads and keeps from pass to pass.
struct DeviceWatchState {
  std::int32_t deviceOpen = 0;  // the library's open state; 0 while closed
  ChipGen chipGen = 0;          // kept when the register read fails
  CameraIdentity camera;        // kept when the user-data read fails
  UserDataPage page;            // the engineering page (not created in this build)
  FirmwareInfo firmware;        // cleared by every pass
  std::string firmwarePath;
  // The firmware file as this pass read it (once): the bytes `firmware`
  // was decoded from, that the file checks took, and that an update started
  // from this pass writes. Null until a pass reads one.
  std::shared_ptr<const LoadedFirmware> image;
  std::u16string statusText;
  // After a verified update, the version written, until a pass has seen the
  // camera go and come back (the completion text asks the user to reconnect
  // it); `replugLeft` once a pass found no camera meanwhile.
  std::optional<std::uint16_t> awaitingReplug;
  bool replugLeft = false;
  // The write-lock key of the camera the last pass found
  // (devlib/writer_lock.h): while another run writes it, the next pass does
  // not even reopen the library, whose opening talks to every camera.
  std::string cameraKey;
};

struct DeviceWatchConfig {
  UiLanguage language = UiLanguage::English;
  ModelVariant toolVariant = ToolVariant;
  bool allowChipGen0Download = AllowChipGen0Download;
  // Searched for the firmware file (FindFirmwareFile); "." when empty.
  std::string directory;
  // When set, this file is taken instead of searching the directory.
  std::string firmwareFile;
  // When set, `firmwareFile` as it was already read, once: every pass takes
  // these bytes instead of opening the path again (a pipe reads only once).
  std::shared_ptr<const LoadedFirmware> firmwareImage;
  // The user's Downloads folder (platform/user_folders.h), searched when
  // `directory` holds no usable firmware file and no file was given; empty:
  // not searched (a folder the user named is the only one looked in).
  std::string downloadsFolder;
  // The update flow is between its start and its terminal notification; the
  // pass is deferred, as it is while an update worker's thread runs.
  bool updateInProgress = false;
  // The user vouches that a camera whose interrupted update left it
  // unidentified is the model the file is for (`lumavix-fw update
  // --recover`): it is presented as Interrupted, not InterruptedUnidentified.
  bool recover = false;
  // The window tells what is wrong with the firmware file in its own status
  // line, in the user's language, and offers to choose another, instead of
  // the English message box; it also checks the whole file (size, CRC) and,
  // for a file the user chose, its product, before anything is offered.
  bool fileProblemsInWindow = false;
};

struct DeviceWatchResult {
  WatchOutcome outcome = WatchOutcome::Presented;
  PresentationView view;
  // Set the window title (not after a file-open failure).
  bool setWindowTitle = false;
  std::u16string windowTitle;
  // No camera: an open confirmation dialog is ended with result 0.
  bool endConfirmation = false;
  // A modal message box to show (file-open failure), with its caption.
  const char* messageBox = nullptr;
  const char* messageCaption = nullptr;
  // The user-data read of this pass, when one ran.
  bool userDataAttempted = false;
  bool userDataRead = false;
  // The chip register read of this pass.
  bool chipRegisterRead = false;
  std::uint32_t chipRegister = 0;
  // Nothing in the working directory matched (FileOpenError only).
  bool noFirmwareFile = false;
  // Where the firmware file came from, when the pass took one.
  FirmwareSource fileSource = FirmwareSource::Folder;
  // What is wrong with the firmware file (FileProblemShown).
  FileProblem fileProblem = FileProblem::None;
  // What the user-data read found of the camera's identity, and the USB
  // product id of the interface (0 when the platform does not say).
  FlashIdentity flashIdentity = FlashIdentity::NotApplicable;
  std::uint16_t usbProductId = 0;
  // An unfinished camera whose known USB product id is of another model or
  // variant than the file's (NotThisProduct): `usbProductId` against the
  // file's id, which the command line names.
  bool otherModelRefused = false;
};

// One pass, step by step as the window runs it (RunDeviceWatch): reopens the
// library through the update engine, reads register 0x0000 and the user-data
// block, reads the firmware file and decides. Updates `state` (status text,
// firmware path and info, camera fields, chipGen, deviceOpen) and returns
// what the window shows. Deferred, with nothing touched, while an update runs.
// A generation-2 camera whose flash holds no whole identity (the states an
// interrupted update leaves, FlashIdentity) is never "up to date": it is
// Interrupted, InterruptedUnidentified, or NotThisProduct when its known
// USB id is another model's. Only bytes that were read decide that: reads
// are tried again (ReadWithRetries), and a camera that still cannot be read
// is Unreadable.
[[nodiscard]] DeviceWatchResult EvaluateDeviceWatch(DeviceWatchState& state,
                                                    const DeviceWatchConfig& config);

}  // namespace lumavix
