#include "settings/userdata.h"

#include <algorithm>
#include <cstdio>

#include "devlib/bytes.h"
#include "devlib/clock.h"
#include "devlib/frame.h"
#include "devlib/trace.h"
#include "firmware/flash.h"

namespace lumavix {

namespace {

constexpr std::uint32_t kUvcPageOffsets[] = {kUvcBrightness, kUvcContrast,   kUvcGain,
                                             kUvcHue,        kUvcSaturation, kUvcSharpness,
                                             kUvcGamma};

std::span<const std::uint8_t, kUdStringSlot> string_slot(const UserDataBlock& b,
                                                         std::uint32_t offset) {
  return std::span<const std::uint8_t, kUdStringSlot>(b.data() + offset, kUdStringSlot);
}

// Hexadecimal upper-case text of `value` with at least `digits` digits.
std::u16string hex_text(std::uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, value);
  return widen_narrow_text(buf);
}

// The library answers 0 for its generation when the transfer that asks for
// it fails, so anything but 2 is asked again before the camera is taken to
// be of another generation.
bool device0_is_gen2() {
  return ReadWithRetries([] {
    std::uint8_t gen = 0;
    return kvVidHidCls_GetDevChipGen(0, gen) == 1 && gen == 2;
  });
}

bool all_erased(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// Reads the boot configuration and the block of device 0 as the device holds
// it. Only the block's own 290 bytes are read, not the whole sector around
// it: the bytes taken are the same, and the window's device watch, which
// runs this after every plug, needs 34 transfers instead of 270. Returns
// what it found; `block` holds the block for Valid, NoBootConfig (with a
// location in reach) and BlockErased.
FlashIdentity read_block(UserDataLocation& loc, UserDataBlock& block) {
  std::array<std::uint8_t, kBootConfigSize> boot{};
  if (!ReadWithRetries([&] { return kvVidHidCls_SPI_Flash_Read(0, kBootConfigSize, boot.data()); }))
    return FlashIdentity::Unreadable;
  const BootConfig cfg = decode_boot_config(boot);
  DebugTrace("Boot config Info :");
  DebugTrace("BootAddr :\t\t0x%08X", cfg.boot_addr);
  DebugTrace("BootSize :\t\t0x%08X", cfg.boot_size);
  DebugTrace("UserCodeAddr :\t0x%08X", cfg.user_code_addr);
  DebugTrace("UserCodeSize :\t0x%08X", cfg.user_code_size);

  const FlashIdentity located = ClassifyFlashIdentity(boot, {}, loc);
  if (!loc.readable) {
    DebugTrace("Code size error Size:0x%04x", loc.block_addr);
    return located;
  }
  // `readable` promises the block lies wholly inside its sector.
  if (!ReadWithRetries([&] {
        return kvVidHidCls_SPI_Flash_Read(loc.sector + loc.offset, kUserDataBlockSize,
                                          block.data());
      }))
    return FlashIdentity::Unreadable;

  const std::uint32_t signature = load_le32(block.data() + kUdSignature);
  DebugTrace("Signature:0x%x VID:0x%04x PID:0x%04x FwVersion:0x%04x", signature,
             load_le16(block.data() + kUdVendorId), load_le16(block.data() + kUdProductId),
             load_le16(block.data() + kUdFirmwareVersion));
  DebugTrace("Default UVC property value: 0x%04x", block[kUdUvcDefaults]);
  return ClassifyFlashIdentity(boot, block, loc);
}

// The block was read, whatever it holds.
bool block_was_read(FlashIdentity f) {
  return f == FlashIdentity::Valid || f == FlashIdentity::BlockErased ||
         f == FlashIdentity::NoBootConfig;
}

}  // namespace

// ------------------------------------------------------- text conversions --

std::u16string widen_narrow_text(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char c : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

std::string narrow_wide_text(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u < 0x100) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF)
      ++i;
    out.push_back('?');
  }
  return out;
}

std::uint32_t ParseHexText(std::u16string_view text) {
  std::uint32_t value = 0;
  std::uint32_t place = 1;
  for (auto it = text.rbegin(); it != text.rend(); ++it) {
    const char16_t c = *it;
    std::uint32_t digit = 0;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else if (c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    value += digit * place;
    place *= 16;
  }
  return value;
}

// ------------------------------------------------------------- the block --

std::string decode_string_descriptor(std::span<const std::uint8_t> slot) {
  if (slot.size() < 2 || slot[0] <= 2) return {};
  const std::size_t units =
      std::min({static_cast<std::size_t>(slot[0] - 2) / 2, kUdStringUnits, (slot.size() - 2) / 2});
  std::u16string wide;
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = static_cast<char16_t>(slot[2 + 2 * i] | slot[3 + 2 * i] << 8);
    if (u == 0) break;
    wide.push_back(u);
  }
  return narrow_wide_text(wide);
}

void encode_string_descriptor(std::string_view text,
                              std::span<std::uint8_t, kUdStringSlot> slot) {
  std::fill(slot.begin(), slot.end(), 0);
  const std::size_t units = std::min(text.size(), kUdStringUnits);
  slot[0] = static_cast<std::uint8_t>(2 + 2 * units);
  slot[1] = kStringDescriptorType;
  for (std::size_t i = 0; i < units; ++i) {
    slot[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    slot[3 + 2 * i] = 0;
  }
}

bool decode_user_data_block(std::span<const std::uint8_t> block, std::int32_t chipType,
                            EepromUserData& out) {
  if (block.size() < kUserDataBlockSize) return false;
  UserDataBlock b{};
  std::copy_n(block.begin(), kUserDataBlockSize, b.begin());

  EepromUserData r;
  r.chipType = chipType;
  r.chipName = chip_name(chipType);
  r.firmwareVersion = load_le16(&b[kUdFirmwareVersion]);
  r.vendorId = load_le16(&b[kUdVendorId]);
  r.productId = load_le16(&b[kUdProductId]);
  r.vendorString = decode_string_descriptor(string_slot(b, kUdManufacturer));
  r.productString = decode_string_descriptor(string_slot(b, kUdProduct));
  r.serialNumber = decode_string_descriptor(string_slot(b, kUdSerialNumber));
  std::copy_n(b.begin() + kUdUvcDefaults, kUdUvcDefaultsSize, r.uvcDefaults.begin());
  r.carriedA = b[kUdCarriedA];
  r.carriedB = b[kUdCarriedB];
  r.carriedC = load_le16(&b[kUdCarriedC]);
  r.carriedD = load_le16(&b[kUdCarriedC + 2]);
  r.carriedE = load_le16(&b[kUdCarriedC + 4]);
  r.carriedF = load_le16(&b[kUdCarriedC + 6]);
  std::copy_n(b.begin() + kUdCarriedG, kUdCarriedGSize, r.carriedG.begin());
  out = std::move(r);
  return true;
}

UserDataBlock encode_user_data_block(
    const EepromUserData& record, std::span<const std::uint8_t, kUdDeviceKeptSize> deviceKept) {
  UserDataBlock b{};
  store_le32(&b[kUdSignature], kUserDataSignature);
  store_le16(&b[kUdFirmwareVersion], record.firmwareVersion);
  store_le16(&b[kUdVendorId], record.vendorId);
  store_le16(&b[kUdProductId], record.productId);
  const auto slot = [&b](std::uint32_t offset) {
    return std::span<std::uint8_t, kUdStringSlot>(b.data() + offset, kUdStringSlot);
  };
  encode_string_descriptor(record.vendorString, slot(kUdManufacturer));
  encode_string_descriptor(record.productString, slot(kUdProduct));
  encode_string_descriptor(record.serialNumber, slot(kUdSerialNumber));
  b[kUdCarriedA] = record.carriedA;
  b[kUdCarriedB] = record.carriedB;
  store_le16(&b[kUdCarriedC], record.carriedC);
  store_le16(&b[kUdCarriedC + 2], record.carriedD);
  store_le16(&b[kUdCarriedC + 4], record.carriedE);
  store_le16(&b[kUdCarriedC + 6], record.carriedF);
  std::copy(record.carriedG.begin(), record.carriedG.end(), b.begin() + kUdCarriedG);
  std::copy(deviceKept.begin(), deviceKept.end(), b.begin() + kUdDeviceKept);
  std::copy(record.uvcDefaults.begin(), record.uvcDefaults.end(), b.begin() + kUdUvcDefaults);
  return b;
}

// ------------------------------------------------------ device operations --

const char* FlashIdentityName(FlashIdentity f) {
  switch (f) {
    case FlashIdentity::Valid:
      return "valid";
    case FlashIdentity::NotApplicable:
      return "not-applicable";
    case FlashIdentity::Unreadable:
      return "unreadable";
    case FlashIdentity::NoBootConfig:
      return "no-boot-configuration";
    case FlashIdentity::OutOfReach:
      return "block-out-of-reach";
    case FlashIdentity::BlockErased:
      return "block-erased";
  }
  return "?";
}

bool IdentityUnfinished(FlashIdentity f) {
  return f == FlashIdentity::NoBootConfig || f == FlashIdentity::OutOfReach ||
         f == FlashIdentity::BlockErased;
}

FlashIdentity ClassifyFlashIdentity(std::span<const std::uint8_t, kBootConfigSize> boot,
                                    std::span<const std::uint8_t> block, UserDataLocation& loc) {
  const BootConfig cfg = decode_boot_config(boot);
  loc = locate_user_data(cfg);
  if (!cfg.has_magic()) return FlashIdentity::NoBootConfig;
  if (!loc.readable) return FlashIdentity::OutOfReach;
  // The signature is not the test: the tool writes 0x95673C7A, but a block
  // signed otherwise is read like any other. Only erased flash is no block:
  // the whole block, or its head (signature, version and ids), which every
  // writer programs after the rest of its sector, so that a write cut short
  // leaves the head erased whatever the rest of the block already holds.
  constexpr std::size_t kHeadEnd = kUdProductId + 2;
  if (block.size() >= kUserDataBlockSize &&
      (all_erased(block.first(kUserDataBlockSize)) ||
       all_erased(block.subspan(kUdSignature, kHeadEnd - kUdSignature))))
    return FlashIdentity::BlockErased;
  return FlashIdentity::Valid;
}

FlashIdentity ImageFlashIdentity(std::span<const std::uint8_t> image) {
  // Erased flash behind a short image.
  const auto byte_at = [&](std::uint64_t at) -> std::uint8_t {
    return at < image.size() ? image[static_cast<std::size_t>(at)] : 0xFF;
  };
  std::array<std::uint8_t, kBootConfigSize> boot{};
  for (std::size_t i = 0; i < boot.size(); ++i) boot[i] = byte_at(i);
  UserDataLocation loc;
  const FlashIdentity located = ClassifyFlashIdentity(boot, {}, loc);
  if (located != FlashIdentity::Valid) return located;
  UserDataBlock block{};
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = byte_at(std::uint64_t{loc.block_addr} + i);
  return ClassifyFlashIdentity(boot, block, loc);
}

bool ReadUserDataBlock(EepromUserData& record, FlashIdentity* identity) {
  if (identity) *identity = FlashIdentity::NotApplicable;
  if (!device0_is_gen2()) return false;
  UserDataLocation loc;
  UserDataBlock block{};
  const FlashIdentity found = read_block(loc, block);
  if (identity) *identity = found;
  // A boot configuration without its magic may point nowhere readable.
  if (!block_was_read(found) || !loc.readable) return false;
  return decode_user_data_block(block, loc.chip_type, record);
}

bool WriteUserDataBlock(const EepromUserData& record) {
  if (!device0_is_gen2()) return false;
  UserDataLocation loc;
  UserDataBlock as_read{};
  // Never into an image whose boot configuration is gone (what an
  // interrupted update leaves): a block written there would make a
  // half-written image look finished. An erased or otherwise signed block in
  // a whole image is the engineering case the write exists for; it leaves
  // it signed.
  const FlashIdentity found = read_block(loc, as_read);
  if (found != FlashIdentity::Valid && found != FlashIdentity::BlockErased) return false;

  const UserDataBlock block = encode_user_data_block(
      record, std::span<const std::uint8_t, kUdDeviceKeptSize>(as_read.data() + kUdDeviceKept,
                                                               kUdDeviceKeptSize));
  const SectorPatch patches[] = {
      {loc.offset, std::span<const std::uint8_t>(block.data(), kUserDataHeadSize)},
      {loc.offset + kUserDataTailOffset,
       std::span<const std::uint8_t>(block.data() + kUserDataTailOffset, kUserDataTailSize)},
  };
  // The signature and the identity behind it (version, vendor and product
  // ids) go in last, as the update writes its boot configuration last: a
  // write cut short leaves them erased, which the watch tells as unfinished,
  // never a signed block over a sector half written.
  return RewriteSectorVerified(loc.sector, patches,
                               {loc.offset + kUdSignature, kUdProductId + 2 - kUdSignature});
}

// ---------------------------------------------------------- model variant --

void ApplyModelVariant(std::int32_t chipType, std::uint16_t productId, CameraIdentity& camera) {
  if (chipType == 2) {
    camera.CameraVariant = ModelVariant::Q;
    camera.cameraModelText = u"LUMAVIX Q ";
    if (productId == ProductIdQAlt)
      camera.cameraAltProductId = 1;
    else if (productId == ProductIdQA || productId == ProductIdQB)
      camera.cameraAltProductId = 0;
  } else if (productId == ProductIdRA || productId == ProductIdRB) {
    camera.CameraVariant = ModelVariant::R;
    camera.cameraModelText = u"LUMAVIX R ";
  } else {
    camera.CameraVariant = ModelVariant::R2;
    camera.cameraModelText = u"LUMAVIX R2 ";
  }
}

// ---------------------------------------------------------- the page --

namespace {

constexpr int kEditableWithVersion[] = {1128, 1103, 1104, 1110, 1111, 1112, 1117, 1118,
                                        1119, 1121, 1025, 1026, 1019, 1033, 1034, 1035,
                                        1036, 1037, 1038, 1043};
constexpr int kRgbGainControls[] = {1113, 1114, 1115, 1116, 1117, 1118, 1119};
constexpr int kAeTargetControls[] = {1120, 1121, 1122};
constexpr int kUvcDefaultControls[] = {1041, 1027, 1028, 1029, 1030, 1031, 1032, 1033,
                                       1034, 1035, 1036, 1037, 1038, 1042, 1043};

// The page's seven UVC texts, in the order of kUvcPageOffsets.
std::array<std::u16string*, 7> uvc_texts(UserDataPage& p) {
  return {&p.brightness, &p.contrast, &p.gain, &p.hue, &p.saturation, &p.sharpness, &p.gamma};
}

std::string page_string(const std::u16string& text) {
  std::string s = narrow_wide_text(text);
  if (s.size() > kUserDataTextMax) s.resize(kUserDataTextMax);
  return s;
}

}  // namespace

std::span<const int> PageEditableControls(bool firmwareVersionEditable) {
  const std::span<const int> all(kEditableWithVersion);
  return firmwareVersionEditable ? all : all.subspan(1);
}
std::span<const int> PageRgbGainControls() { return kRgbGainControls; }
std::span<const int> PageAeTargetControls() { return kAeTargetControls; }
std::span<const int> PageUvcDefaultControls() { return kUvcDefaultControls; }

void UserDataPage::FillFromRecord(const EepromUserData& record) {
  if (!created) return;
  chipName = widen_narrow_text(record.chipName);
  firmwareVersion = hex_text(record.firmwareVersion, 4);
  vendorId = hex_text(record.vendorId, 1);
  productId = hex_text(record.productId, 1);
  vendorString = widen_narrow_text(record.vendorString);
  productString = widen_narrow_text(record.productString);
  serialNumber = widen_narrow_text(record.serialNumber);
  if (showRgbGains) {
    redGainValue = greenGainValue = blueGainValue = 0;
    redGain = greenGain = blueGain = hex_text(0, 1);
  }
  if (showAeTarget) {
    aeTargetValue = 0;
    aeTarget = hex_text(0, 1);
  }
  if (showUvcDefaults) {
    const auto texts = uvc_texts(*this);
    for (std::size_t i = 0; i < texts.size(); ++i)
      *texts[i] = hex_text(load_le16(record.uvcDefaults.data() + kUvcPageOffsets[i]), 2);
  }
}

void UserDataPage::CollectIntoRecord(EepromUserData& record) {
  if (!created) return;
  record.vendorId = static_cast<std::uint16_t>(ParseHexText(vendorId));
  record.productId = static_cast<std::uint16_t>(ParseHexText(productId));
  record.firmwareVersion = static_cast<std::uint16_t>(ParseHexText(firmwareVersion));
  record.vendorString = page_string(vendorString);
  record.productString = page_string(productString);
  record.serialNumber = page_string(serialNumber);
  if (showRgbGains) {
    redGainValue = static_cast<std::uint8_t>(ParseHexText(redGain));
    greenGainValue = static_cast<std::uint8_t>(ParseHexText(greenGain));
    blueGainValue = static_cast<std::uint8_t>(ParseHexText(blueGain));
  }
  if (showAeTarget) aeTargetValue = static_cast<std::uint8_t>(ParseHexText(aeTarget));
  if (showUvcDefaults) {
    const auto texts = uvc_texts(*this);
    for (std::size_t i = 0; i < texts.size(); ++i)
      store_le16(record.uvcDefaults.data() + kUvcPageOffsets[i],
            static_cast<std::uint16_t>(ParseHexText(*texts[i])));
  }
}

void UserDataPage::SetControlsEnabled(bool enable) {
  if (!created) return;
  controlsEnabled = enable;
}

// ------------------------------------------------ window-level operations --

UserDataOutcome ReadUserData(std::int32_t deviceOpen, UserDataPage& page, CameraIdentity& camera) {
  if (deviceOpen == 0) return {};
  EepromUserData record;
  FlashIdentity identity = FlashIdentity::NotApplicable;
  const bool read = ReadUserDataBlock(record, &identity);
  // An identity the flash cannot vouch for is not taken: the camera's
  // fields keep their values and the watch decides from the rest.
  if (!read || identity != FlashIdentity::Valid) return {false, kMsgReadUserDataFail, identity};
  page.FillFromRecord(record);
  camera.cameraChipType = static_cast<std::uint8_t>(record.chipType);
  camera.cameraFirmwareVersion = record.firmwareVersion;
  camera.cameraProductId = record.productId;
  ApplyModelVariant(record.chipType, record.productId, camera);
  return {true, kMsgReadEepromOk, identity};
}

UserDataOutcome WriteUserData(std::int32_t deviceOpen, UserDataPage& page, bool pageEnabled) {
  if (deviceOpen == 0 || !pageEnabled) return {};
  page.SetControlsEnabled(false);
  bool ok = false;
  EepromUserData device;
  // Without a page there are no typed values: writing would put zero ids and
  // empty strings into the camera.
  if (page.created && ReadUserDataBlock(device)) {
    EepromUserData typed;
    page.CollectIntoRecord(typed);
    device.vendorId = typed.vendorId;
    device.productId = typed.productId;
    device.firmwareVersion = typed.firmwareVersion;
    device.vendorString = typed.vendorString;
    device.productString = typed.productString;
    device.serialNumber = typed.serialNumber;
    // Only the seven values the page shows are replaced; the rest of the
    // area holds defaults the page cannot show, which stay as read.
    if (page.showUvcDefaults) {
      for (const std::uint32_t off : kUvcPageOffsets)
        std::copy_n(typed.uvcDefaults.begin() + off, 2, device.uvcDefaults.begin() + off);
    }
    ok = WriteUserDataBlock(device);
  }
  page.SetControlsEnabled(true);
  return {ok, ok ? kMsgWriteUserDataOk : kMsgWriteUserDataFail};
}

}  // namespace lumavix
