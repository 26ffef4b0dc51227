// The camera's user-data block (its USB identity, strings and video
// defaults): showing every field, and the engineering write of chosen ones.
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/run_support.h"
#include "cli/terminal_prompter.h"
#include "settings/userdata.h"

namespace lumavix::cli {
namespace {

struct UserDataWriteArgs {
  std::optional<std::string> vendorId, productId, version;
  std::optional<std::string> vendorString, productString, serial;
  std::vector<std::string> uvc;
  bool yes = false;
};

// Four hexadecimal digits at most, with or without "0x".
bool parse_hex16(const std::string& text, std::uint16_t& out) {
  std::string t = text;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
  if (t.empty() || t.size() > 4) return false;
  unsigned v = 0;
  for (char c : t) {
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                              : -1;
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  out = static_cast<std::uint16_t>(v);
  return true;
}

// UTF-8 from the terminal to the block's single-byte text (ISO 8859-1).
// False when a character has no single-byte form or the UTF-8 is broken:
// the string would otherwise be stored as something the user did not type.
bool utf8_to_latin1(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size();) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < in.size() &&
               (static_cast<unsigned char>(in[i + 1]) & 0xC0) == 0x80) {
      const unsigned cp = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
      if (cp < 0x80 || cp > 0xFF) return false;
      out += static_cast<char>(cp);
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

// The block's single-byte text as UTF-8 for the terminal and JSON.
std::string latin1_to_utf8(const std::string& in) {
  std::string out;
  for (const char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

int run_userdata_read(Context& ctx) {
  (void)command_language();
  EngineSession session;
  if (OpenDevices() == 0) {
    return fail_no_camera(ctx);
  }
  EepromUserData rec;
  if (!ReadUserDataBlock(rec)) return ctx.fail(kExitFailed, kMsgReadUserDataFail);
  CameraIdentity id;
  ApplyModelVariant(rec.chipType, rec.productId, id);

  std::string uvc;
  for (std::uint8_t b : rec.uvcDefaults) uvc += fmt::format("{:02X}", b);
  std::string carriedG;
  for (std::uint8_t b : rec.carriedG) carriedG += fmt::format("{:02X}", b);
  auto u16 = [&](std::uint32_t off) {
    return static_cast<std::uint16_t>(rec.uvcDefaults[off] | rec.uvcDefaults[off + 1] << 8);
  };
  const json uvcValues{{"brightness", u16(kUvcBrightness)}, {"contrast", u16(kUvcContrast)},
                       {"gain", u16(kUvcGain)},             {"hue", u16(kUvcHue)},
                       {"saturation", u16(kUvcSaturation)}, {"sharpness", u16(kUvcSharpness)},
                       {"gamma", u16(kUvcGamma)}};
  json j{{"chipName", rec.chipName},
         {"chipType", rec.chipType},
         {"firmwareVersion", hex4(rec.firmwareVersion)},
         {"vendorId", hex4(rec.vendorId)},
         {"productId", hex4(rec.productId)},
         {"vendorString", latin1_to_utf8(rec.vendorString)},
         {"productString", latin1_to_utf8(rec.productString)},
         {"serialNumber", latin1_to_utf8(rec.serialNumber)},
         {"uvcDefaults", uvc},
         {"uvcValues", uvcValues},
         {"carriedA", rec.carriedA},
         {"carriedB", rec.carriedB},
         {"carriedC", rec.carriedC},
         {"carriedD", rec.carriedD},
         {"carriedE", rec.carriedE},
         {"carriedF", rec.carriedF},
         {"carriedG", carriedG},
         {"variant", variant_name(id.CameraVariant)},
         {"model", utf8(id.cameraModelText)},
         {"altProductId", id.cameraAltProductId}};
  const std::string text = fmt::format(
      "chip              {} (type {})\nfirmware version  {:04X}\nvendor id         {:04X}\n"
      "product id        {:04X}\nvendor string     {}\nproduct string    {}\n"
      "serial number     {}\nmodel             {}\nUVC defaults      {}\n"
      "carried           A={:02X} B={:02X} C={:04X} D={:04X} E={:04X} F={:04X} G={}\n",
      // The strings come from the camera: a terminal must not take them for
      // escape sequences.
      terminal_safe(rec.chipName), rec.chipType, rec.firmwareVersion, rec.vendorId, rec.productId,
      terminal_safe(latin1_to_utf8(rec.vendorString)),
      terminal_safe(latin1_to_utf8(rec.productString)),
      terminal_safe(latin1_to_utf8(rec.serialNumber)), utf8(id.cameraModelText), uvc,
      rec.carriedA, rec.carriedB, rec.carriedC, rec.carriedD, rec.carriedE, rec.carriedF,
      carriedG);
  ctx.result(j, text);
  return kExitOk;
}

int run_userdata_write(Context& ctx, const UserDataWriteArgs& a) {
  const UiLanguage lang = command_language();
  // Everything the user gave is checked before the camera is touched.
  std::optional<std::uint16_t> vendor_id, product_id, version;
  for (const auto& [given, out, name] :
       {std::tuple{&a.vendorId, &vendor_id, "--vendor-id"},
        std::tuple{&a.productId, &product_id, "--product-id"},
        std::tuple{&a.version, &version, "--version"}}) {
    if (!*given) continue;
    std::uint16_t v = 0;
    if (!parse_hex16(**given, v))
      return ctx.fail(kExitUsage, fmt::format("{} must be 1 to 4 hexadecimal digits: {}", name, **given));
    *out = v;
  }
  std::optional<std::string> strings[3];
  const std::optional<std::string>* given_strings[3] = {&a.vendorString, &a.productString, &a.serial};
  const char* string_names[3] = {"--vendor-string", "--product-string", "--serial"};
  for (int i = 0; i < 3; ++i) {
    if (!*given_strings[i]) continue;
    std::string narrow;
    if (!utf8_to_latin1(**given_strings[i], narrow))
      return ctx.fail(kExitUsage, fmt::format("{}: only Latin-1 characters can be stored", string_names[i]));
    if (narrow.size() > kUdStringUnits)
      return ctx.fail(kExitUsage, fmt::format("{}: at most {} characters fit in the block ({} given)",
                                              string_names[i], kUdStringUnits, narrow.size()));
    strings[i] = narrow;
  }
  static constexpr std::pair<const char*, std::uint32_t> kUvcNames[] = {
      {"brightness", kUvcBrightness}, {"contrast", kUvcContrast},     {"gain", kUvcGain},
      {"hue", kUvcHue},               {"saturation", kUvcSaturation}, {"sharpness", kUvcSharpness},
      {"gamma", kUvcGamma}};
  std::vector<std::pair<std::uint32_t, std::uint16_t>> uvc;
  for (const std::string& item : a.uvc) {
    const auto eq = item.find('=');
    std::uint16_t v = 0;
    const std::string name = eq == std::string::npos ? item : item.substr(0, eq);
    const auto known = std::find_if(std::begin(kUvcNames), std::end(kUvcNames),
                                    [&](const auto& n) { return name == n.first; });
    if (eq == std::string::npos || known == std::end(kUvcNames) ||
        !parse_hex16(item.substr(eq + 1), v))
      return ctx.fail(kExitUsage,
                      "--uvc takes NAME=HEX with NAME one of brightness, contrast, gain, hue, "
                      "saturation, sharpness, gamma: " + item);
    uvc.emplace_back(known->second, v);
  }
  if (!vendor_id && !product_id && !version && !strings[0] && !strings[1] && !strings[2] &&
      uvc.empty())
    return ctx.fail(kExitUsage, "nothing to write: give at least one field to change");

  EngineSession session;
  if (OpenDevices() == 0) return fail_no_camera(ctx);
  // Held from the read that the new block is made from to its last
  // read-back: another writer's change is neither lost nor interleaved.
  std::unique_ptr<CameraWriterLock> writer;
  if (int rc = 0; !take_writer_lock(ctx, writer, rc)) return rc;
  EepromUserData rec;
  if (!ReadUserDataBlock(rec)) return ctx.fail(kExitFailed, kMsgReadUserDataFail);
  const EepromUserData before = rec;
  if (vendor_id) rec.vendorId = *vendor_id;
  if (product_id) rec.productId = *product_id;
  if (version) rec.firmwareVersion = *version;
  if (strings[0]) rec.vendorString = *strings[0];
  if (strings[1]) rec.productString = *strings[1];
  if (strings[2]) rec.serialNumber = *strings[2];
  for (const auto& [offset, value] : uvc) {
    rec.uvcDefaults[offset] = static_cast<std::uint8_t>(value & 0xFF);
    rec.uvcDefaults[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  if (rec == before) {
    ctx.result(json{{"result", "unchanged"}}, "the block already holds these values; nothing was written");
    return kExitUpToDate;
  }

  TerminalPrompter prompter(TerminalPrompter::stdin_is_terminal(), std::cin, std::cerr);
  if (const int rc = confirm_or_refuse(ctx, prompter, a.yes, lang,
                                       u"The camera's user-data block (its USB identity and "
                                       u"defaults) is about to be rewritten.");
      rc != kExitOk)
    return rc;

  // WriteUserDataBlock reads the sector back and compares it; the block is
  // then read again so that what is reported is what the camera holds.
  if (!WriteUserDataBlock(rec)) return ctx.fail(kExitFailed, kMsgWriteUserDataFail);
  EepromUserData after;
  if (!ReadUserDataBlock(after) || !(after == rec))
    return ctx.fail(kExitFailed, "the user-data block read back differs from what was written");
  json j{{"result", "success"},
         {"firmwareVersion", hex4(after.firmwareVersion)},
         {"vendorId", hex4(after.vendorId)},
         {"productId", hex4(after.productId)},
         {"vendorString", latin1_to_utf8(after.vendorString)},
         {"productString", latin1_to_utf8(after.productString)},
         {"serialNumber", latin1_to_utf8(after.serialNumber)}};
  ctx.result(j, kMsgWriteUserDataOk);
  return kExitOk;
}

}  // namespace

void register_userdata_commands(CLI::App& app, Commands& commands) {
  auto* userdata = app.add_subcommand("userdata", "The camera's user-data block");
  userdata->require_subcommand(1);
  auto* ud_read = userdata->add_subcommand("read", "Show every field of the block");
  ud_read->callback([&commands] { commands.choose([](Context& c) { return run_userdata_read(c); }); });
  auto uw = std::make_shared<UserDataWriteArgs>();
  auto* ud_write = userdata->add_subcommand(
      "write", "Engineering: change the given fields of the block, keep the rest, write and "
               "verify (asks for confirmation unless --yes)");
  ud_write->add_option("--vendor-id", uw->vendorId, "USB vendor id (HEX)");
  ud_write->add_option("--product-id", uw->productId, "USB product id (HEX)");
  ud_write->add_option("--version", uw->version, "Firmware version (HEX)");
  ud_write->add_option("--vendor-string", uw->vendorString, "Vendor string (at most 30 characters)");
  ud_write->add_option("--product-string", uw->productString, "Product string (at most 30 characters)");
  ud_write->add_option("--serial", uw->serial, "Serial number (at most 30 characters)");
  ud_write->add_option("--uvc", uw->uvc,
                       "A video default as NAME=HEX (brightness, contrast, gain, hue, saturation, "
                       "sharpness, gamma); repeatable");
  ud_write->add_flag("--yes", uw->yes, "Answer the confirmation with OK");
  ud_write->callback([&commands, uw] {
    commands.choose([uw](Context& c) { return run_userdata_write(c, *uw); });
  });
}

}  // namespace lumavix::cli
