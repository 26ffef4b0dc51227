// What the simulated camera looks like and how it misbehaves, parsed from the
// command-line text "PROFILE[,KEY=VALUE...]".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "firmware/product_config.h"

namespace lumavix::sim {

enum class SimProfile : std::uint8_t {
  Q,           // HID, generation 2, SPI flash holding a complete image
  Gen0Flash,   // generation 0, boots from SPI flash (register 0x05 bit 7 set)
  Gen0Eeprom,  // generation 0, boots from the I2C EEPROM (bit 7 clear)
  None,        // no camera at all
  // Cameras of profile q's memories without the vendor HID interface:
  UvcKavex,     // reached through the bridge maker's extension unit
  UvcAveo,      // through an Aveo unit
  UvcEtron,     // through an Etron unit
  VendorVideo,  // through the vendor video property set
  Bda,          // a broadcast-receiver component with the vendor BDA set
};

[[nodiscard]] const char* profile_name(SimProfile profile);

// The profiles by name, in the order help and error texts list them. `hid`:
// the camera has the vendor HID interface (what a HID server can serve).
struct SimProfileInfo {
  SimProfile profile;
  const char* name;
  bool hid;
};
[[nodiscard]] std::span<const SimProfileInfo> sim_profiles();

// Default time every feature transfer takes, in microseconds. The latency is
// what moves a virtual clock forward while the library polls the flash's
// busy bit without sleeping: with latency-us=0 on a virtual clock, time
// stands still and such a wait never ends, so pair it with busy=0.
inline constexpr std::uint32_t kDefaultLatencyUs = 100;

struct SimOptions {
  SimProfile profile = SimProfile::Q;
  std::uint16_t firmware_version = 0x0104;  // fw=HEX
  // pid=HEX; unset means the profile's: ProductIdQA for q, ProductIdR2 for
  // the generation-0 profiles.
  std::optional<std::uint16_t> product_id;
  // flash=XXXXXX; unset means the profile's flash (C2 20 11, or none for
  // gen0-eeprom).
  std::optional<std::array<std::uint8_t, 3>> flash_id;
  std::uint32_t latency_us = kDefaultLatencyUs;  // latency-us=N
  bool busy = true;                              // busy=0|1: erase/program take time
  bool stuck_busy = false;                       // stuck-busy=1: WIP never clears
  std::uint64_t fail_at = 0;                     // fail-at=N, 1-based; 0 = never
  double fail_rate = 0.0;                        // fail-rate=P, 0..1
  std::uint64_t seed = 1;                        // seed=N
  std::optional<std::uint64_t> unplug_after;     // unplug-after=N
  bool refuse_97 = false;                        // refuse-97=1
  // xu-legacy=1: the bridge maker's unit stalls the extended selectors 20,
  // 21, 26 and 27, so every access takes the legacy form.
  bool xu_legacy = false;
  // count=N: N cameras alike, each with its own memories, listed in order
  // (a classroom trolley or a hub).
  std::uint32_t count = 1;
  // replug=0|1: after a verified update the camera leaves the bus and comes
  // back a moment later, as the person in front of it is asked to do. On by
  // default for a camera described by text (the command line, the window);
  // off for one built in code unless asked.
  bool replug = false;
};

// Most cameras count=N makes: the device library's table size.
inline constexpr std::uint32_t kMaxSimCameras = 24;

// The keys of the option text with the form help shows ("fw=HEX"), in the
// order help and error texts list them. `video_only`: it changes only the
// cameras reached through an extension unit.
struct SimKeyInfo {
  const char* key;
  const char* form;
  bool video_only;
};
[[nodiscard]] std::span<const SimKeyInfo> sim_keys();

// For help texts: "q (default), gen0-flash, ..." (with `hid_only` the HID
// profiles only) and "fw=HEX pid=HEX ..." (with `hid_only` without the keys
// that touch only extension-unit cameras).
[[nodiscard]] std::string sim_profiles_help(bool hid_only);
[[nodiscard]] std::string sim_keys_help(bool hid_only);

// Parses "PROFILE[,KEY=VALUE...]"; an empty text or a first item that is a
// KEY=VALUE pair means profile q. On an unknown profile or key, a bad value or
// a key given twice, returns false with `error` saying which and why; `out`
// is then unchanged.
[[nodiscard]] bool parse_sim_options(std::string_view text, SimOptions& out, std::string& error);

}  // namespace lumavix::sim
