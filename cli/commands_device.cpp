// Commands that look at the camera without changing it.
#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/camera_scope.h"
#include "cli/commands.h"
#include "devlib/access.h"
#include "devlib/frame.h"
#include "firmware/flash.h"

namespace lumavix::cli {
namespace {

std::string hex_bytes(const std::uint8_t* p, std::size_t n, const char* sep = " ") {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (i) s += sep;
    s += fmt::format("{:02X}", p[i]);
  }
  return s;
}

}  // namespace

nlohmann::ordered_json camera_list_json(std::string* text) {
  const DeviceKind kind = library_kind();
  nlohmann::ordered_json cameras = nlohmann::ordered_json::array();
  for (std::int32_t i = 0; i < kvVidHidCls_GetDevCount(); ++i) {
    const ChipGen gen = device_chip_gen(i);
    const std::string path = listed_path(i);
    nlohmann::ordered_json cam{{"position", i},
                       {"kind", device_kind_name(kind)},
                       {"variant", nullptr},
                       {"chipGen", gen},
                       {"path", path}};
    std::string variant = "-";
    if (kind == DeviceKind::VideoClass) {
      cam["variant"] = xu_variant_name(device_variant(i));
      variant = xu_variant_name(device_variant(i));
    }
    cameras.push_back(cam);
    if (text)
      *text += fmt::format("{}  {:<11} {:<6} generation {}  {}\n", i, device_kind_name(kind),
                           variant, gen, terminal_safe(path));
  }
  return {{"cameras", cameras}};
}

namespace {

int run_list(Context& ctx) {
  if (!ctx.open_camera()) return kExitNoCamera;
  std::string text;
  ctx.result(camera_list_json(&text), text);
  return kExitOk;
}

struct RegArgs {
  std::string addr, len;
};

int run_reg_read(Context& ctx, const RegArgs& a) {
  unsigned long addr = 0, len = 0;
  if (!parse_hex(a.addr, 0xFFFF, addr))
    return ctx.fail(kExitUsage, "register address must be hexadecimal 0..FFFF: " + a.addr);
  if (!parse_count(a.len, 4, len) || (len != 1 && len != 2 && len != 4))
    return ctx.fail(kExitUsage, "register length must be 1, 2 or 4: " + a.len);
  if (!ctx.open_camera()) return kExitNoCamera;
  std::uint32_t value = 0;
  if (kvVidHidCls_RegRead(static_cast<std::uint16_t>(addr), static_cast<std::uint8_t>(len),
                          value) < 0) {
    return ctx.fail(kExitFailed, fmt::format("register 0x{:04X} cannot be read{}", addr,
                                             last_transfer_error().message.empty()
                                                 ? ""
                                                 : ": " + last_transfer_error().message));
  }
  // The device returns four bytes whatever the length; show what was asked.
  const std::uint32_t mask = len == 4 ? 0xFFFFFFFFu : ((1u << (8 * len)) - 1);
  value &= mask;
  const std::string hex = fmt::format("{:0{}X}", value, static_cast<int>(len * 2));
  ctx.result({{"addr", fmt::format("{:04X}", addr)}, {"len", len}, {"value", hex}},
             fmt::format("0x{:04X}: 0x{}", addr, hex));
  return kExitOk;
}

int run_flash_id(Context& ctx) {
  if (!ctx.open_camera()) return kExitNoCamera;
  std::array<std::uint8_t, 3> id{};
  if (!spi_flash_read_id(id)) return ctx.fail(kExitFailed, "the flash identification cannot be read");
  const SpiFlashType* t = find_spi_flash_type(id);
  const std::string bytes = hex_bytes(id.data(), id.size());
  nlohmann::ordered_json j{{"id", bytes}, {"type", nullptr}};
  std::string text = bytes;
  if (t) {
    j["type"] = t->name;
    j["pageSize"] = t->page_size;
    j["capacity"] = t->capacity;
    text += fmt::format("  {}  page {} bytes, capacity 0x{:X}", t->name, t->page_size, t->capacity);
  } else {
    text += "  (not a known flash type)";
  }
  ctx.result(j, text);
  return t ? kExitOk : kExitFailed;
}

struct FlashReadArgs {
  std::string addr, len;
};

int run_flash_read(Context& ctx, const FlashReadArgs& a) {
  unsigned long addr = 0, len = 0;
  if (!parse_hex(a.addr, 0xFFFFFF, addr))
    return ctx.fail(kExitUsage, "flash address must be hexadecimal 0..FFFFFF: " + a.addr);
  if (!parse_count(a.len, 0x40000, len) || len == 0)
    return ctx.fail(kExitUsage, "length must be 1..262144 (decimal, or hexadecimal with 0x): " + a.len);
  if (addr + len > 0x1000000)
    return ctx.fail(kExitUsage, "the range runs past the 24-bit flash address space");
  if (!ctx.open_camera()) return kExitNoCamera;
  std::vector<std::uint8_t> data(len);
  if (!kvVidHidCls_SPI_Flash_Read(static_cast<std::uint32_t>(addr),
                                  static_cast<std::uint32_t>(len), data.data()))
    return ctx.fail(kExitFailed, fmt::format("flash read at 0x{:06X} failed", addr));
  std::string text;
  for (std::size_t off = 0; off < data.size(); off += 16) {
    const std::size_t n = std::min<std::size_t>(16, data.size() - off);
    text += fmt::format("{:06X}  {}\n", addr + off, hex_bytes(data.data() + off, n));
  }
  ctx.result({{"addr", fmt::format("{:06X}", addr)},
              {"length", len},
              {"data", hex_bytes(data.data(), data.size(), "")}},
             text);
  return kExitOk;
}

}  // namespace

void register_device_commands(CLI::App& app, Commands& commands) {
  auto* list = app.add_subcommand("list", "List the cameras found");
  list->callback([&commands] { commands.choose(run_list); });

  auto* reg = app.add_subcommand("reg", "Bridge registers");
  reg->require_subcommand(1);
  auto reg_args = std::make_shared<RegArgs>();
  auto* reg_read = reg->add_subcommand("read", "Read a bridge register");
  reg_read->add_option("ADDR", reg_args->addr, "Register address, hexadecimal")->required();
  reg_read->add_option("LEN", reg_args->len, "Length in bytes: 1, 2 or 4")->required();
  reg_read->callback([&commands, reg_args] {
    commands.choose([reg_args](Context& c) { return run_reg_read(c, *reg_args); });
  });

  auto* flash = app.add_subcommand("flash", "The camera's serial flash");
  flash->require_subcommand(1);
  auto* id = flash->add_subcommand("id", "Identification bytes and flash type");
  id->callback([&commands] { commands.choose(run_flash_id); });
  auto fr_args = std::make_shared<FlashReadArgs>();
  auto* fread = flash->add_subcommand("read", "Read flash bytes");
  fread->add_option("ADDR", fr_args->addr, "Flash address, hexadecimal")->required();
  fread->add_option("LEN", fr_args->len, "Number of bytes (decimal, or hexadecimal with 0x)")->required();
  fread->callback([&commands, fr_args] {
    commands.choose([fr_args](Context& c) { return run_flash_read(c, *fr_args); });
  });
}

}  // namespace lumavix::cli
