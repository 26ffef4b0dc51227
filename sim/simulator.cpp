#include "sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "devlib/bytes.h"
#include "devlib/video_xu.h"
#include "firmware/image.h"
#include "devlib/file_io.h"

// State file layout (all numbers little-endian):
//
//   offset  size  field
//   0       8     "LVXSIMST"
//   8       4     format version (1)
//   12      4     number of cameras
//   then for each camera:
//           4     number of sections (4)
//           and each section: 4-byte tag, 4-byte length, `length` bytes
//             "REGS"  65536 bytes: the bridge register file
//             "FLSH"  the flash memory (0 bytes for a camera without flash)
//             "FLSR"  1 byte: the flash's non-volatile status bits
//             "EEPR"  the I2C EEPROM
//   last    4     CRC-32 of every byte before it
//
// Every tag must appear exactly once per camera, and the sizes must be this
// camera's; anything else refuses the file.

namespace lumavix::sim {

namespace {

constexpr char kStateMagic[8] = {'L', 'V', 'X', 'S', 'I', 'M', 'S', 'T'};
constexpr std::uint32_t kStateVersion = 1;
constexpr std::size_t kMaxStateFile = 64u << 20;

constexpr std::array<std::uint8_t, 4> kGen2ChipId = {0xB2, 0x31, 0x00, 0x00};
constexpr std::uint8_t kGen2ChipIdByte = 0xB2;
// Generation 0: none of the bits 0xB0 in the first byte.
constexpr std::array<std::uint8_t, 4> kGen0ChipId = {0x05, 0x52, 0x00, 0x00};
constexpr std::uint8_t kGen0ChipIdByte = 0x52;
constexpr std::array<std::uint8_t, 3> kDefaultFlash = {0xC2, 0x20, 0x11};
// Plain images of the generation-0 profiles: an EEPROM of size class 5.
constexpr std::uint32_t kPlainFileSize = 0x4000;
constexpr std::uint8_t kPlainEepromType = 5;
constexpr std::uint8_t kPlainFlags = 0x01;

void put_section(std::vector<std::uint8_t>& out, const char* tag,
                 const std::vector<std::uint8_t>& bytes) {
  out.insert(out.end(), tag, tag + 4);
  append_le32(out, static_cast<std::uint32_t>(bytes.size()));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Reads from a byte buffer, refusing to go past its end.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : b_(bytes) {}
  bool u32(std::uint32_t& v) {
    if (b_.size() - pos_ < 4) return false;
    v = load_le32(b_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool bytes(std::size_t n, std::span<const std::uint8_t>& out) {
    if (b_.size() - pos_ < n) return false;
    out = b_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  [[nodiscard]] bool at_end() const { return pos_ == b_.size(); }

 private:
  std::span<const std::uint8_t> b_;
  std::size_t pos_ = 0;
};

// The profiles whose camera lacks the vendor HID interface and is reached
// through a unit or a property set instead.
void reach_without_hid(const SimOptions& o, SimCameraConfig& c) {
  const auto with_unit = [](SimNode unit) {
    return std::vector<SimNode>{SimNode::Terminal, SimNode::ProcessingUnit, unit,
                                SimNode::Terminal};
  };
  switch (o.profile) {
    case SimProfile::UvcKavex:
      c.nodes = with_unit(SimNode::KavexUnit);
      break;
    case SimProfile::UvcAveo:
      c.nodes = with_unit(SimNode::AveoUnit);
      break;
    case SimProfile::UvcEtron:
      c.nodes = with_unit(SimNode::EtronUnit);
      break;
    case SimProfile::VendorVideo:
      c.property_set = SimPropertySet::VendorVideo;
      break;
    case SimProfile::Bda:
      c.property_set = SimPropertySet::Bda;
      c.capture_device = false;
      c.receiver_device = true;
      break;
    default:
      return;
  }
  c.hid = false;
  if (o.xu_legacy) {
    c.refused_selectors = {XU_I2C_READ_EX, XU_I2C_WRITE_EX, XU_XDATA_EX_READ, XU_XDATA_EX_WRITE};
  }
}

}  // namespace

SimCameraConfig camera_config_for(const SimOptions& o) {
  SimCameraConfig c;
  c.vendor_id = VendorId;
  c.latency_us = o.latency_us;
  c.busy_times = o.busy;
  c.stuck_busy = o.stuck_busy;
  c.refuse_97 = o.refuse_97;
  c.fail_at = o.fail_at;
  c.fail_rate = o.fail_rate;
  c.seed = o.seed;
  c.unplug_after = o.unplug_after;
  c.replug_after_update = o.replug;
  c.flash_id = o.flash_id.value_or(kDefaultFlash);

  if (o.profile == SimProfile::Q || o.profile == SimProfile::UvcKavex ||
      o.profile == SimProfile::UvcAveo || o.profile == SimProfile::UvcEtron ||
      o.profile == SimProfile::VendorVideo || o.profile == SimProfile::Bda) {
    reach_without_hid(o, c);
    c.name = "LUMAVIX Q";
    c.product_id = o.product_id.value_or(ProductIdQA);
    c.chip_id = kGen2ChipId;
    c.chip_id_byte = kGen2ChipIdByte;
    c.spi_boot = true;
    FirmwareBuildOptions b;
    b.firmware_version = o.firmware_version;
    b.product_id = c.product_id;
    b.image_size = std::min<std::uint32_t>(0x20000, spi_flash_geometry(c.flash_id).capacity);
    std::vector<std::uint8_t> file = build_firmware_file(b);
    if (file.size() > kFirmwareCrcSize)
      c.flash_content.assign(file.begin() + kFirmwareCrcSize, file.end());
    return c;
  }

  c.name = "LUMAVIX R2";
  c.product_id = o.product_id.value_or(ProductIdR2);
  c.chip_id = kGen0ChipId;
  c.chip_id_byte = kGen0ChipIdByte;
  const std::vector<std::uint8_t> file =
      build_plain_firmware_file(o.firmware_version, kPlainFileSize);
  if (o.profile == SimProfile::Gen0Flash) {
    c.spi_boot = true;
    std::vector<std::uint8_t>& f = c.flash_content;
    f.assign(kPlainSpiImageAddr + file.size(), 0xFF);
    const auto record = plain_boot_record(PlainTarget::SpiFlash, kPlainEepromType, kPlainFlags);
    std::copy(record.begin(), record.end(), f.begin());
    std::copy_n(file.begin() + kPlainCopyFileOffset, kPlainCopySize,
                f.begin() + kPlainSpiCopyAddr);
    std::copy(file.begin(), file.end(), f.begin() + kPlainSpiImageAddr);
  } else {
    c.spi_boot = false;
    c.flash_present = o.flash_id.has_value();
    c.eeprom_content = file;
    const auto record = plain_boot_record(PlainTarget::I2cEeprom, kPlainEepromType, kPlainFlags);
    std::copy(record.begin(), record.end(), c.eeprom_content.begin());
  }
  return c;
}

std::unique_ptr<Simulator> Simulator::create(const SimOptions& options, std::string& error) {
  std::unique_ptr<Simulator> sim(new Simulator(options));
  if (options.profile == SimProfile::None) return sim;
  SimCameraConfig config = camera_config_for(options);
  if (config.flash_present && config.spi_boot && config.flash_content.empty()) {
    error = "cannot build the camera's firmware image";
    return nullptr;
  }
  // Cameras alike, each with its own path and port.
  for (std::uint32_t i = 0; i < options.count; ++i) sim->backend_.add_camera(config);
  return sim;
}

bool Simulator::save_state(const std::string& path, std::string& error) const {
  std::vector<std::uint8_t> out(kStateMagic, kStateMagic + 8);
  append_le32(out, kStateVersion);
  const std::size_t n = backend_.camera_count();
  append_le32(out, static_cast<std::uint32_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    const CameraMemories m = backend_.camera(i)->export_memories();
    append_le32(out, 4);
    put_section(out, "REGS", m.registers);
    put_section(out, "FLSH", m.flash);
    put_section(out, "FLSR", {m.flash_status});
    put_section(out, "EEPR", m.eeprom);
  }
  append_le32(out, Crc32(out.data(), out.size()));

  if (const WriteError w = write_file_atomically(path_from_utf8(path), out, FileAccess::kPrivate);
      w.failed()) {
    error = w.message;
    return false;
  }
  return true;
}

bool Simulator::load_state(const std::string& path, std::string& error) {
  // Only a regular file: a FIFO would hold the command before it began.
  InputFile in = read_input_file(path_from_utf8(path), kMaxStateFile);
  if (!in.ok()) {
    error = in.message;
    return false;
  }
  const std::string bad = path + " is not a usable simulated-camera state file: ";
  if (in.truncated()) {
    error = bad + "larger than " + std::to_string(kMaxStateFile) + " bytes";
    return false;
  }
  const std::vector<std::uint8_t>& data = in.bytes;
  if (data.size() < sizeof kStateMagic + 12 ||
      !std::equal(kStateMagic, kStateMagic + 8, data.begin())) {
    error = bad + "it does not start with the state file signature";
    return false;
  }
  const std::size_t body = data.size() - 4;
  const std::uint32_t stored = load_le32(data.data() + body);
  if (Crc32(data.data(), body) != stored) {
    error = bad + "its checksum does not match (the file is damaged)";
    return false;
  }

  Reader r(std::span<const std::uint8_t>(data.data() + 8, body - 8));
  std::uint32_t version = 0, cameras = 0;
  if (!r.u32(version) || version != kStateVersion) {
    error = bad + "format version " + std::to_string(version) + " (expected 1)";
    return false;
  }
  if (!r.u32(cameras) || cameras != backend_.camera_count()) {
    error = bad + "it holds " + std::to_string(cameras) + " camera(s), the simulation has " +
            std::to_string(backend_.camera_count());
    return false;
  }
  std::vector<CameraMemories> loaded(cameras);
  for (std::uint32_t i = 0; i < cameras; ++i) {
    std::uint32_t sections = 0;
    if (!r.u32(sections) || sections != 4) {
      error = bad + "camera " + std::to_string(i) + " has " + std::to_string(sections) +
              " sections (expected 4)";
      return false;
    }
    CameraMemories& m = loaded[i];
    bool seen[4] = {};
    for (std::uint32_t s = 0; s < sections; ++s) {
      std::span<const std::uint8_t> tag, payload;
      std::uint32_t length = 0;
      if (!r.bytes(4, tag) || !r.u32(length) || !r.bytes(length, payload)) {
        error = bad + "camera " + std::to_string(i) + " is cut short";
        return false;
      }
      const std::string name(tag.begin(), tag.end());
      int which = -1;
      if (name == "REGS") which = 0;
      if (name == "FLSH") which = 1;
      if (name == "FLSR") which = 2;
      if (name == "EEPR") which = 3;
      if (which < 0 || seen[which]) {
        error = bad + "unexpected or repeated section in camera " + std::to_string(i);
        return false;
      }
      seen[which] = true;
      switch (which) {
        case 0:
          m.registers.assign(payload.begin(), payload.end());
          break;
        case 1:
          m.flash.assign(payload.begin(), payload.end());
          break;
        case 2:
          if (payload.size() != 1) {
            error = bad + "the flash status section is " + std::to_string(payload.size()) +
                    " bytes (expected 1)";
            return false;
          }
          m.flash_status = payload[0];
          break;
        default:
          m.eeprom.assign(payload.begin(), payload.end());
      }
    }
    std::string why;
    if (!backend_.camera(i)->memories_fit(m, why)) {
      error = bad + "camera " + std::to_string(i) + ": " + why;
      return false;
    }
  }
  if (!r.at_end()) {
    error = bad + "unexpected bytes after the last camera";
    return false;
  }
  for (std::uint32_t i = 0; i < cameras; ++i) backend_.camera(i)->import_memories(loaded[i]);
  return true;
}

namespace {

// The cameras of `options`, with the memories of `state_file` when it
// exists; `option` names the option at fault in a bad profile.
std::unique_ptr<Simulator> CreateWithState(const SimOptions& options, const std::string& state_file,
                                           const char* option, std::string& error) {
  std::unique_ptr<Simulator> sim = Simulator::create(options, error);
  if (!sim) {
    error = option + error;
    return nullptr;
  }
  if (state_file.empty()) return sim;
  // A link loop or an unreadable folder is the user's to mend: said as such,
  // never thrown.
  std::error_code ec;
  const bool present = std::filesystem::exists(path_from_utf8(state_file), ec);
  if (ec) {
    error = "--sim-state: cannot use " + state_file + ": " + ec.message();
    return nullptr;
  }
  if (present && !sim->load_state(state_file, error)) {
    error = "--sim-state: " + error;
    return nullptr;
  }
  return sim;
}

}  // namespace

std::unique_ptr<Simulator> create_simulator(std::string_view text, const std::string& state_file,
                                            std::string& error) {
  SimOptions options;
  if (!parse_sim_options(text, options, error)) {
    error = "--simulate: " + error;
    return nullptr;
  }
  return CreateWithState(options, state_file, "--simulate: ", error);
}

std::unique_ptr<Simulator> create_served_simulator(std::string_view text,
                                                   const std::string& state_file,
                                                   std::string& error) {
  SimOptions options;
  if (!parse_sim_options(text, options, error)) {
    error = "profile: " + error;
    return nullptr;
  }
  if (options.profile == SimProfile::None) {
    error = "profile none has no camera to serve";
    return nullptr;
  }
  // A camera served to the kernel stays on its bus: the kernel sees its
  // reconnection only when the gadget itself goes.
  options.replug = false;
  return CreateWithState(options, state_file, "profile: ", error);
}

std::string simulated_camera_lock_prefix(const std::string& state_file) {
  if (state_file.empty()) return {};
  namespace fs = std::filesystem;
  std::error_code ec;
  // The file need not exist yet (it is written when the program ends).
  fs::path p = fs::absolute(path_from_utf8(state_file), ec);
  if (ec) p = path_from_utf8(state_file);
  const fs::path canonical = fs::weakly_canonical(p, ec);
  const std::string key = path_to_utf8(ec ? p.lexically_normal() : canonical);
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : key) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  char text[32];
  std::snprintf(text, sizeof text, "sim-%016llx-", static_cast<unsigned long long>(h));
  return text;
}

}  // namespace lumavix::sim
