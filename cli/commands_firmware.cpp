// Commands on firmware files: inspecting one as the device watch reads it,
// and making a valid one for tests and demos. Neither needs a camera.
#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "firmware/image.h"
#include "devlib/file_io.h"

namespace lumavix::cli {

std::string firmware_file_problem(const LoadedFirmware& file) {
  const std::string& path = file.path;
  if (!file.opened) {
    if (file.error == kNotRegularFileError)
      return path + " is not a regular file (a FIFO, a device, a socket or a folder); it was not read";
    return fmt::format("cannot open {}: {}", path, read_error_text(file.error));
  }
  if (file.size == 0) return path + " is empty";
  if (file.size < kFirmwareCrcSize + kBootConfigSize)
    return fmt::format("{} is too short to be a firmware file ({} bytes)", path, file.size);
  if (file.oversized())
    return fmt::format("{} is larger than the {} bytes a firmware file can hold", path,
                       kMaxFirmwareLoad);
  if (!CheckImageCrc(file.bytes))
    return path + " fails its CRC-32 check: it is damaged or not a firmware file";
  return {};
}

std::string firmware_file_problem(const std::string& path) {
  return firmware_file_problem(LoadFirmwareFile(path));
}

namespace {

struct FileInfoArgs {
  std::string file;
};

int run_file_info(Context& ctx, const FileInfoArgs& a) {
  // A pipe is taken: it is read once, as far as the load limit.
  const LoadedFirmware file = LoadFirmwareFile(a.file, InputKind::kRegularFileOrPipe);
  if (!file.opened) return ctx.fail(kExitUsage, firmware_file_problem(file));
  const std::vector<std::uint8_t>& bytes = file.bytes;
  if (file.size < kFirmwareCrcSize + kBootConfigSize)
    return ctx.fail(kExitUsage, fmt::format("{} is too short to be a firmware file ({} bytes)",
                                            a.file, file.size));
  const bool oversized = file.oversized();

  const bool crc_ok = !oversized && CheckImageCrc(bytes);
  const bool complete = IsCompleteFlashImage(bytes);
  std::span<const std::uint8_t, kBootConfigSize> boot(bytes.data() + kFirmwareCrcSize,
                                                      kBootConfigSize);
  const UserDataLocation loc = locate_user_data(boot);
  // The version and product id as the device watch takes them.
  const FirmwareIdentity id = ReadFirmwareIdentity(bytes);
  const bool block_in_reach = id.block_in_reach;
  const std::uint16_t version = id.firmware_version;
  const std::uint16_t product = id.product_id;

  nlohmann::ordered_json j{{"file", a.file},
                   {"size", file.size},
                   {"crcOk", crc_ok},
                   {"completeImage", complete},
                   {"chipType", loc.chip_type},
                   {"chipName", loc.chip_name},
                   {"codeBase", fmt::format("0x{:X}", loc.code_base)},
                   {"firmwareVersion", fmt::format("{:04X}", version)},
                   {"productId", fmt::format("{:04X}", product)}};
  std::string text = fmt::format(
      "file              {}\nsize              {} bytes{}\nCRC-32            {}\n"
      "kind              {}\nchip              {} (type {})\ncode base         0x{:X}\n"
      "firmware version  {:04X}\nproduct id        {:04X}\n",
      a.file, file.size, oversized ? " (larger than the 262144 bytes the tool loads)" : "",
      crc_ok ? "ok" : "WRONG", complete ? "complete flash image" : "code-only image",
      loc.chip_name, loc.chip_type, loc.code_base, version, product);
  if (!block_in_reach) text += "note: the user-data block lies beyond the first 64 KiB\n";
  ctx.result(j, text);
  return crc_ok ? kExitOk : kExitUsage;
}

struct MakeFirmwareArgs {
  std::string version, product_id, output;
  std::string size = "131072";
  bool code_only = false;
};

int run_make_firmware(Context& ctx, const MakeFirmwareArgs& a) {
  unsigned long version = 0, pid = 0, size = 0;
  if (!parse_hex(a.version, 0xFFFF, version))
    return ctx.fail(kExitUsage, "--version must be four hexadecimal digits: " + a.version);
  if (!parse_hex(a.product_id, 0xFFFF, pid))
    return ctx.fail(kExitUsage, "--product-id must be four hexadecimal digits: " + a.product_id);
  const std::uint32_t min = min_firmware_image_size(a.code_only);
  if (!parse_count(a.size, kMaxFirmwareImageSize, size) || size < min)
    return ctx.fail(kExitUsage, fmt::format("--size must be {}..{} bytes: {}", min,
                                            kMaxFirmwareImageSize, a.size));
  FirmwareBuildOptions o;
  o.firmware_version = static_cast<std::uint16_t>(version);
  o.product_id = static_cast<std::uint16_t>(pid);
  o.image_size = static_cast<std::uint32_t>(size);
  o.code_only = a.code_only;
  const std::vector<std::uint8_t> file = build_firmware_file(o);
  if (file.empty()) return ctx.fail(kExitUsage, "the firmware file cannot be built");

  if (a.output.empty()) return ctx.fail(kExitUsage, "-o needs a file name");
  if (const WriteError w =
          write_file_atomically(path_from_utf8(a.output), file, FileAccess::kUmask);
      w.failed())
    return ctx.fail(write_error_status(w), w.message);
  ctx.result({{"file", a.output},
              {"size", file.size()},
              {"firmwareVersion", fmt::format("{:04X}", version)},
              {"productId", fmt::format("{:04X}", pid)}},
             fmt::format("wrote {} ({} bytes, firmware {:04X}, product id {:04X})", a.output,
                         file.size(), version, pid));
  return kExitOk;
}

}  // namespace

void register_firmware_commands(CLI::App& app, Commands& commands) {
  auto info_args = std::make_shared<FileInfoArgs>();
  auto* info = app.add_subcommand("file-info", "Show a firmware file as the tool reads it");
  info->add_option("FILE", info_args->file, "Firmware file")->required();
  info->callback([&commands, info_args] {
    commands.choose([info_args](Context& c) { return run_file_info(c, *info_args); });
  });

  auto mk = std::make_shared<MakeFirmwareArgs>();
  auto* make = app.add_subcommand("make-firmware", "Write a valid firmware file (for tests and demos)");
  make->add_option("--version", mk->version, "Firmware version, hexadecimal")->required();
  make->add_option("--product-id", mk->product_id, "USB product id, hexadecimal")->required();
  make->add_option("--size", mk->size, "Image size in bytes (default 131072)");
  make->add_flag("--code-only", mk->code_only, "A code-only image, without its own boot configuration");
  make->add_option("-o,--output", mk->output, "Output file")->required();
  make->callback([&commands, mk] {
    commands.choose([mk](Context& c) { return run_make_firmware(c, *mk); });
  });
}

}  // namespace lumavix::cli
