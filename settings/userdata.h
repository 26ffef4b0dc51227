// The user-data block in the camera's flash: its 290-byte layout, the record
// it decodes into, the device operations that read and rewrite it, the
// window-level read and write with their status texts, the model variant that
// follows from it, and the engineering page's logic on plain field texts.
//
// Strings of the record are single-byte text (ISO 8859-1: one byte per code
// unit below 0x100, '?' for anything else), the narrow code page of this
// platform; the page's texts are UTF-16 like every other text shown to the
// user.
//
// Everything here runs on one thread (the window's, or the command line's);
// the device library serialises the device transfers itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "devlib/clock.h"
#include "firmware/image.h"
#include "firmware/product_config.h"

namespace lumavix {

// ------------------------------------------------------------- the block --

using UserDataBlock = std::array<std::uint8_t, kUserDataBlockSize>;

// Fields of the block beyond those firmware/image.h names. The carried fields
// have no meaning to this tool; they are moved as opaque values.
inline constexpr std::uint32_t kUdCarriedA = 0x0C4;
inline constexpr std::uint32_t kUdCarriedB = 0x0C5;
inline constexpr std::uint32_t kUdCarriedC = 0x0C6;  // words C, D, E, F follow
inline constexpr std::uint32_t kUdCarriedG = 0x0CE;
inline constexpr std::uint32_t kUdCarriedGSize = 17;
// 0x0DF..0x0FF is written as zero; 0x100..0x103 keeps what the device held.
inline constexpr std::uint32_t kUdReserved = 0x0DF;
inline constexpr std::uint32_t kUdDeviceKept = 0x100;
inline constexpr std::uint32_t kUdDeviceKeptSize = 4;

// A string descriptor slot holds bLength, bDescriptorType and up to 30 UTF-16
// code units.
inline constexpr std::uint8_t kStringDescriptorType = 3;
inline constexpr std::size_t kUdStringUnits = (kUdStringSlot - 2) / 2;
// The record's strings are char[260] in the stored form: at most 259 bytes.
inline constexpr std::size_t kUserDataTextMax = 259;

// The seven UVC property defaults the page edits: 16-bit little-endian values
// at these offsets inside the 30-byte area.
inline constexpr std::uint32_t kUvcBrightness = 11;
inline constexpr std::uint32_t kUvcContrast = 13;
inline constexpr std::uint32_t kUvcGain = 15;
inline constexpr std::uint32_t kUvcHue = 18;
inline constexpr std::uint32_t kUvcSaturation = 21;
inline constexpr std::uint32_t kUvcSharpness = 23;
inline constexpr std::uint32_t kUvcGamma = 25;

// The decoded block.
struct EepromUserData {
  std::string chipName;  // "QT6200" or "QT62100"
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t firmwareVersion = 0;
  std::string vendorString;  // single-byte text, at most kUserDataTextMax bytes
  std::string productString;
  std::string serialNumber;
  std::array<std::uint8_t, kUdUvcDefaultsSize> uvcDefaults = {};
  std::int32_t chipType = 0;  // 1 or 2, from the boot configuration
  std::uint8_t carriedA = 0;
  std::uint8_t carriedB = 0;
  std::uint16_t carriedC = 0;
  std::uint16_t carriedD = 0;
  std::uint16_t carriedE = 0;
  std::uint16_t carriedF = 0;
  std::array<std::uint8_t, kUdCarriedGSize> carriedG = {};

  friend bool operator==(const EepromUserData&, const EepromUserData&) = default;
};

// Decodes a block read from a camera whose boot configuration gave
// `chipType`. The signature is not tested. False (record untouched) when
// `block` is shorter than the 290-byte block.
[[nodiscard]] bool decode_user_data_block(std::span<const std::uint8_t> block,
                                          std::int32_t chipType, EepromUserData& out);

// Builds the block as the tool writes it: bytes 0x000..0x0FF afresh
// (signature 0x95673C7A, the record's fields, zero elsewhere), 0x100..0x103
// from `deviceKept`, 0x104..0x121 from the record's uvcDefaults.
[[nodiscard]] UserDataBlock encode_user_data_block(
    const EepromUserData& record, std::span<const std::uint8_t, kUdDeviceKeptSize> deviceKept);

// One string descriptor slot. Decoding takes at most (bLength - 2) / 2 code
// units, never more than 30 nor more than `slot` holds, and stops at a zero
// unit. Encoding stores at most 30 units, zero-fills the rest of the slot and
// sets bLength to 2 + 2 x the units stored.
[[nodiscard]] std::string decode_string_descriptor(std::span<const std::uint8_t> slot);
void encode_string_descriptor(std::string_view text,
                              std::span<std::uint8_t, kUdStringSlot> slot);

// ------------------------------------------------------- text conversions --

// Single-byte text to UTF-16 and back; units that have no single-byte form
// (a surrogate pair counts once) become '?'.
[[nodiscard]] std::u16string widen_narrow_text(std::string_view text);
[[nodiscard]] std::string narrow_wide_text(std::u16string_view text);

// Hexadecimal text as the user types it: read from the last character to the
// first with a place value that starts at 1 and grows by 16 per character;
// hexadecimal digits of either case add their value at their place, any
// other character adds nothing but still takes a place. "" gives 0, "1G"
// gives 0x10, " 5" gives 5. The caller keeps the low bits it needs.
[[nodiscard]] std::uint32_t ParseHexText(std::u16string_view text);

// ------------------------------------------------------ device operations --

// What the camera's flash says of its identity, as a user-data read found
// it. An update erases the boot configuration first and writes it last, so
// the three unfinished states are what an unfinished update (or a damaged
// flash) leaves: the identity in the flash cannot be trusted. Each of them is
// seen in bytes that were read; a read that fails says nothing about the
// flash and is Unreadable, never unfinished.
enum class FlashIdentity : std::uint8_t {
  Valid,          // boot configuration with its magic; a block in reach, not erased (any signature)
  NotApplicable,  // no device 0, or its chip generation is not 2: nothing was read
  Unreadable,     // a flash read still failed after its retries
  NoBootConfig,   // the boot configuration is erased or lacks its magic
  OutOfReach,     // the block lies outside the image's layout (at or above 64 KiB, or across its sector)
  BlockErased,    // the block reads as erased flash (every byte 0xFF)
};
// "valid", "not-applicable", "unreadable", "no-boot-configuration",
// "block-out-of-reach", "block-erased".
[[nodiscard]] const char* FlashIdentityName(FlashIdentity f);
// True for the states an interrupted update leaves (not Unreadable: a failed
// read is no evidence about the camera).
[[nodiscard]] bool IdentityUnfinished(FlashIdentity f);

// The pass's rule on bytes already in hand: the 16-byte boot configuration
// and, when it locates a block in reach, the block's bytes (`block` may be
// empty for "not read yet"; it is only looked at for a located block).
// Returns NoBootConfig, OutOfReach, BlockErased or Valid; `loc` says where
// the block lies.
[[nodiscard]] FlashIdentity ClassifyFlashIdentity(
    std::span<const std::uint8_t, kBootConfigSize> boot, std::span<const std::uint8_t> block,
    UserDataLocation& loc);

// What a camera would hold after this image (the file's bytes after its CRC)
// were written from address 0, read by the same rule: bytes beyond the image
// count as erased flash. A firmware file whose image is not Valid here would
// leave a camera that every later pass calls unfinished.
[[nodiscard]] FlashIdentity ImageFlashIdentity(std::span<const std::uint8_t> image);

// How often a failed flash or register read is tried again within one pass,
// and the pause (through the process clock) before each new try.
inline constexpr int kReadAttempts = 5;
inline constexpr std::uint32_t kReadRetryPauseMs = 20;

// Tries `read` (true: it succeeded) up to kReadAttempts times, pausing
// kReadRetryPauseMs, then twice as long each time, through the process
// clock: a failed transfer or a lock wait that timed out says nothing about
// what the camera holds, and the next try may well succeed.
template <class Read>
[[nodiscard]] bool ReadWithRetries(Read read) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    if (attempt > 0) clock().sleep_ms(kReadRetryPauseMs << (attempt - 1));
    if (read()) return true;
  }
  return false;
}

// Reads the block of device 0 into `record` (replaced as a whole). False,
// without touching the flash, when device 0 is missing or its chip
// generation is not 2; false when a read fails or the block's location
// cannot be read (at or above 0x10000, or not wholly inside its sector).
// Each read is tried up to kReadAttempts times. `identity`, when given, says
// what was found; a block that was read but whose boot configuration lacks
// its magic or which is erased is still returned (true), for the
// engineering views.
[[nodiscard]] bool ReadUserDataBlock(EepromUserData& record, FlashIdentity* identity = nullptr);

// Rewrites the block of device 0 from `record`, keeping every other byte of
// its sector and the block's bytes 0x100..0x103 as the device held them. The
// sector is erased, programmed (the page with the block's signature last)
// and read back; any difference is a failure. Refused like ReadUserDataBlock.
[[nodiscard]] bool WriteUserDataBlock(const EepromUserData& record);

// ---------------------------------------------------------- model variant --

// The main window's camera fields and the program-wide model values that a
// successful ReadUserData sets. The window owns the one instance; the device
// watch and the update flow read it. Values persist until the next
// successful read.
struct CameraIdentity {
  std::uint8_t cameraChipType = 0;
  std::uint16_t cameraFirmwareVersion = 0;
  std::uint16_t cameraProductId = 0;
  std::u16string cameraModelText;  // "LUMAVIX Q ", "LUMAVIX R " or "LUMAVIX R2 "
  ModelVariant CameraVariant = ModelVariant::Q;
  std::int32_t cameraAltProductId = 0;  // 1: a Q camera with the alternative id
};

// Derives CameraVariant, cameraAltProductId and cameraModelText from a read
// block's chip type and product id. A Q camera with an id outside the three
// Q ids leaves the alternative-id flag as it was, as does any other camera.
void ApplyModelVariant(std::int32_t chipType, std::uint16_t productId, CameraIdentity& camera);

// ---------------------------------------------------------- the page --

// The engineering page (control ids in brackets). The Qt page binds its
// widgets to the texts: it copies the widgets' texts into them before
// CollectIntoRecord and shows them again after FillFromRecord and after
// SetControlsEnabled.
struct UserDataPage {
  // Display switches, fixed when the page is constructed.
  bool showRgbGains = true;
  bool showAeTarget = true;
  bool showUvcDefaults = true;
  bool firmwareVersionEditable = false;
  // Set by the window once the page window exists; until then the page
  // operations do nothing.
  bool created = false;
  // Follows the "Auto write after FW download" box (1019).
  std::int32_t autoWriteAfterUpdate = 0;
  // Whether the editable controls are enabled.
  bool controlsEnabled = false;

  std::u16string chipName;         // 1101
  std::u16string firmwareVersion;  // 1128
  std::u16string vendorId;         // 1103
  std::u16string productId;        // 1104
  std::u16string vendorString;     // 1110
  std::u16string productString;    // 1111
  std::u16string serialNumber;     // 1112
  std::u16string redGain;          // 1117
  std::u16string greenGain;        // 1118
  std::u16string blueGain;         // 1119
  std::u16string aeTarget;         // 1121
  std::u16string brightness;       // 1033
  std::u16string contrast;         // 1034
  std::u16string hue;              // 1035
  std::u16string saturation;       // 1036
  std::u16string sharpness;        // 1037
  std::u16string gamma;            // 1038
  std::u16string gain;             // 1043

  // The gains and the AE target have no place in the block: the page keeps
  // them as values of its own, which a read resets to 0.
  std::uint8_t redGainValue = 0;
  std::uint8_t greenGainValue = 0;
  std::uint8_t blueGainValue = 0;
  std::uint8_t aeTargetValue = 0;

  // Shows the record's values in the texts.
  void FillFromRecord(const EepromUserData& record);
  // Parses the texts into `record`: ids and version as hexadecimal (low 16
  // bits kept), strings to single-byte text of at most kUserDataTextMax
  // bytes, the seven UVC values at their offsets in uvcDefaults. The gains
  // and the AE target go into the page's own values.
  void CollectIntoRecord(EepromUserData& record);
  void SetControlsEnabled(bool enable);
};

// Typing limits of the page's edit controls (0: none).
inline constexpr std::size_t kPageHexIdLimit = 4;
inline constexpr std::size_t kPageStringLimit = 30;
inline constexpr std::size_t kPageByteLimit = 2;

// The controls SetControlsEnabled switches, and those the page hides at
// initialisation, for the given switches.
[[nodiscard]] std::span<const int> PageEditableControls(bool firmwareVersionEditable);
[[nodiscard]] std::span<const int> PageRgbGainControls();
[[nodiscard]] std::span<const int> PageAeTargetControls();
[[nodiscard]] std::span<const int> PageUvcDefaultControls();

// ------------------------------------------------ window-level operations --

inline constexpr const char* kMsgReadUserDataFail = "Read user data Fail.";
inline constexpr const char* kMsgReadEepromOk = "Read eeprom OK.";
inline constexpr const char* kMsgWriteUserDataOk = "EEPROM write data OK.";
inline constexpr const char* kMsgWriteUserDataFail = "EEPROM write data fail.";

// What a window operation did: its success, and the status text the window
// shows (null: the status text stays as it was). After a non-null status the
// window refreshes itself from its fields.
struct UserDataOutcome {
  bool ok = false;
  const char* status = nullptr;
  // What the read found of the camera's identity (ReadUserData only).
  FlashIdentity identity = FlashIdentity::NotApplicable;
};

// Reads the block of the open camera, fills the page when it is created and
// sets the camera fields and the model values. `deviceOpen` is the window's
// value (0: nothing happens).
[[nodiscard]] UserDataOutcome ReadUserData(std::int32_t deviceOpen, UserDataPage& page,
                                           CameraIdentity& camera);

// Writes the page's values into the camera's block. Nothing happens unless
// the library is open and the page is enabled in this build. The ids,
// version, strings and the seven shown UVC values come from the page; all
// other fields of the block stay as the camera held them. The page's
// controls are disabled for the time of the write.
[[nodiscard]] UserDataOutcome WriteUserData(std::int32_t deviceOpen, UserDataPage& page,
                                            bool pageEnabled = EnableUserDataPage);

}  // namespace lumavix
