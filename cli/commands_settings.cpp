// Commands on setting tables: converting a setting text into its table image
// (no camera needed), and writing the backend and sensor tables into the
// camera's flash as the window's "Download" button does.
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <array>
#include <vector>

#include "app/core/device_watch.h"
#include "cli/camera_write_lock.h"
#include "cli/commands.h"
#include "cli/write_confirmation.h"
#include "devlib/access.h"
#include "devlib/file_io.h"
#include "firmware/engine.h"
#include "firmware/flash.h"
#include "firmware/image.h"
#include "settings/settext.h"
#include "settings/tables.h"
#include "settings/userdata.h"

namespace lumavix::cli {
namespace {

// ---------------------------------------------------------------- make-bin --

struct MakeBinArgs {
  std::string text;
  std::string output;
  std::string log;
};

int run_make_bin(Context& ctx, const MakeBinArgs& a) {
  SettextLogOptions log;
  if (!a.log.empty()) log.explicitPath = a.log;
  const SettextConversion conv = ConvertSettingText(a.text, kTableDownloadBufferSize, log);
  if (!conv.ok()) return ctx.fail(kExitUsage, conv.error);

  if (!a.output.empty()) {
    if (const WriteError w =
            write_file_atomically(path_from_utf8(a.output), conv.image, FileAccess::kUmask);
        w.failed())
      return ctx.fail(write_error_status(w), w.message);
  }

  nlohmann::ordered_json j{{"arrays", conv.arrayCount},
                           {"size", conv.image.size()},
                           {"names", conv.names}};
  if (!a.output.empty()) j["output"] = a.output;
  if (!conv.logPath.empty()) j["log"] = path_to_utf8(conv.logPath);

  std::string text = fmt::format("{} array{}, {} bytes", conv.arrayCount,
                                 conv.arrayCount == 1 ? "" : "s", conv.image.size());
  for (const std::string& name : conv.names) text += "\n  " + name;
  if (!a.output.empty()) text += "\nwrote " + a.output;
  ctx.result(j, text);
  return kExitOk;
}

// ---------------------------------------------------------- tables download --

struct TablesArgs {
  std::string backend, backend_addr, sensor, sensor_addr;
  bool find = false;
  bool yes = false;
  bool force = false;
};

// What the camera's firmware occupies in the flash the tables go to, as
// the camera's own boot memory says: the boot-header layout's boot
// configuration, code and user-data block, or the plain layout's 64 KiB.
// False when the camera cannot be read: then nothing tells where the
// firmware lies.
bool firmware_regions(std::vector<FlashRegion>& out) {
  out.clear();
  std::uint32_t reg = 0;
  if (kvVidHidCls_RegRead(0x0000, 4, reg) < 0) return false;
  if (ChipGenFromRegister(reg) == 2) {
    std::array<std::uint8_t, kBootConfigSize> head{};
    if (!kvVidHidCls_SPI_Flash_Read(0, kBootConfigSize, head.data())) return false;
    out = boot_header_regions(head);
    return true;
  }
  std::uint32_t bus = 0;
  if (kvVidHidCls_RegRead(0x0005, 1, bus) < 0) return false;
  // An older chip that boots from its EEPROM keeps no firmware in the flash.
  if ((bus & 0x80) != 0) out = plain_flash_regions();
  return true;
}

// Why `size` bytes at `address` may not be written: the sectors they erase
// hold part of the firmware. Empty when they may.
std::string overlap_reason(const std::vector<FlashRegion>& regions, const char* which,
                           std::uint32_t address, std::uint64_t size) {
  const FlashRegion* r = sectors_overlap(regions, address, size);
  if (!r) return {};
  return fmt::format(
      "the {} table at 0x{:X} would erase flash that holds {} (0x{:X}..0x{:X}); nothing was "
      "written (--force writes there anyway)",
      which, address, r->what, r->start, r->end - 1);
}

// Message boxes of the table operations, as lines on stderr.
class StderrPrompter final : public Prompter {
 public:
  MessageAnswer ask(std::string_view caption, std::string_view text, MessageButtons,
                    MessageIcon) override {
    std::cerr << caption << ": " << text << std::endl;
    return MessageAnswer::Ok;
  }
};

// Programming progress on stderr, at most one line per tenth of the table.
class StderrProgress final : public ProgressSink {
 public:
  void set_label(std::string label) { label_ = std::move(label); }
  void range(std::uint32_t total) override {
    total_ = total;
    next_ = 0;
  }
  void position(std::uint32_t done) override {
    if (total_ == 0 || (done < next_ && done != total_)) return;
    std::cerr << fmt::format("{}: {}/{} bytes ({}%)", label_, done, total_,
                             static_cast<unsigned>(std::uint64_t{done} * 100 / total_))
              << std::endl;
    next_ = done + (total_ + 9) / 10;
  }

 private:
  std::string label_;
  std::uint32_t total_ = 0;
  std::uint32_t next_ = 0;
};

int exit_for(const TableResult& t) {
  switch (t.outcome) {
    case TableOutcome::NotRequested:
    case TableOutcome::Written:
      return kExitOk;
    case TableOutcome::WriteFailed:
    case TableOutcome::NotAttempted:
      return kExitFailed;
    default:
      return kExitUsage;
  }
}

nlohmann::ordered_json table_json(const std::string& path, const TableResult& t) {
  nlohmann::ordered_json j{{"file", path},
                           {"result", table_outcome_name(t.outcome)},
                           {"address", fmt::format("0x{:X}", t.address)},
                           {"size", t.size}};
  if (!t.status.empty()) j["status"] = t.status;
  if (!t.detail.empty()) j["detail"] = t.detail;
  return j;
}

std::string table_text(const char* which, const std::string& path, const TableResult& t) {
  if (t.outcome == TableOutcome::Written)
    return fmt::format("{} table {}: {} bytes written at 0x{:X}\n", which, path, t.size,
                       t.address);
  return fmt::format("{} table {}: {}{}\n", which, path, table_outcome_name(t.outcome),
                     t.detail.empty() ? "" : " (" + t.detail + ")");
}

int run_tables_download(Context& ctx, const TablesArgs& a) {
  // The addresses are checked before the camera is touched: a typing slip
  // must not end up as a write at some other address.
  for (const auto& [name, text] : {std::pair{"--backend-addr", &a.backend_addr},
                                   std::pair{"--sensor-addr", &a.sensor_addr}}) {
    unsigned long v = 0;
    if (!text->empty() && !parse_hex(*text, 0xFFFFFFFFul, v))
      return ctx.fail(kExitUsage, fmt::format("{} must be hexadecimal: {}", name, *text));
  }
  if (!a.find && a.backend.empty() && a.sensor.empty())
    return ctx.fail(kExitUsage, "nothing to download: give --backend, --sensor or --find");

  if (!ctx.open_camera()) return kExitNoCamera;
  std::unique_ptr<CameraWriterLock> writer;
  if (int rc = 0; !take_writer_lock(ctx, writer, rc)) return rc;

  SettingTableFields fields;
  if (a.find) {
    // The default addresses follow the chip type in the camera's user data;
    // when that cannot be read they stay at the window's start-up values.
    EepromUserData record;
    const int chip_type = ReadUserDataBlock(record) ? record.chipType : 0;
    FindSettingTableFiles(fields, chip_type);
    // A file the search did not find is not requested; its not-found text
    // is reported instead.
    for (std::string* path : {&fields.backendSettingPath, &fields.sensorSettingPath}) {
      if (*path == kBackendTableNotFound || *path == kSensorTableNotFound) {
        std::cerr << *path << "skipped" << std::endl;
        path->clear();
      }
    }
  }
  if (!a.backend.empty()) fields.backendSettingPath = a.backend;
  if (!a.sensor.empty()) fields.sensorSettingPath = a.sensor;
  if (!a.backend_addr.empty()) fields.backendAddress = a.backend_addr;
  if (!a.sensor_addr.empty()) fields.sensorAddress = a.sensor_addr;
  if (fields.backendSettingPath.empty() && fields.sensorSettingPath.empty())
    return ctx.fail(kExitUsage, "no setting table file found in the working directory");

  // A table is never written over the firmware unless the engineer says so:
  // the sectors it erases would take the boot configuration or code with
  // them, and the camera would not start again.
  std::vector<FlashRegion> regions;
  if (!a.force) {
    if (!firmware_regions(regions))
      return ctx.fail(kExitFailed,
                      "the camera's boot configuration cannot be read, so where its firmware "
                      "lies is unknown; nothing was written (--force writes without the check)");
    for (const auto& [which, path, address] :
         {std::tuple{"backend", &fields.backendSettingPath, &fields.backendAddress},
          std::tuple{"sensor", &fields.sensorSettingPath, &fields.sensorAddress}}) {
      if (path->empty()) continue;
      if (std::string why = overlap_reason(regions, which, SettingTableAddress(*address), 1);
          !why.empty())
        return ctx.fail(kExitUsage, why);
    }
  }
  {
    std::string what;
    if (!fields.backendSettingPath.empty())
      what += fmt::format(" the backend table {} at 0x{:X}", fields.backendSettingPath,
                          SettingTableAddress(fields.backendAddress));
    if (!fields.sensorSettingPath.empty())
      what += fmt::format("{} the sensor table {} at 0x{:X}", what.empty() ? "" : " and",
                          fields.sensorSettingPath, SettingTableAddress(fields.sensorAddress));
    if (const int rc = confirm_flash_write(
            ctx, a.yes,
            fmt::format("The camera's serial flash is about to be erased and written with{}.",
                        what));
        rc != kExitOk)
      return rc;
  }

  StderrPrompter prompter;
  StderrProgress progress;
  SettingTableUi ui;
  ui.prompter = &prompter;
  ui.progress = &progress;
  if (!a.force) {
    // The whole range, once the table's size is known.
    ui.guard = [&regions, &fields](std::uint32_t address, std::size_t size) {
      const char* which =
          address == SettingTableAddress(fields.backendAddress) ? "backend" : "sensor";
      return overlap_reason(regions, which, address, size);
    };
  }

  // The sensor table follows the backend table in the same call; the label
  // switches once the backend's status text has been shown.
  progress.set_label(fields.backendSettingPath.empty() ? "sensor" : "backend");
  ui.status = [&progress](std::string_view text) {
    std::cerr << text << std::endl;
    progress.set_label("sensor");
  };
  const TableDownloadResult r = DownloadSettingTables(fields, ui);

  // Bad input outweighs a device failure: a table refused or not opened is
  // the caller's to mend, and it also explains a table not attempted.
  const int backend_exit = exit_for(r.backend);
  const int sensor_exit = exit_for(r.sensor);
  int status = kExitOk;
  if (backend_exit == kExitUsage || sensor_exit == kExitUsage)
    status = kExitUsage;
  else if (backend_exit == kExitFailed || sensor_exit == kExitFailed)
    status = kExitFailed;
  nlohmann::ordered_json j{{"result", r.all_written() ? "success" : "failed"}};
  std::string text;
  if (r.backend.outcome != TableOutcome::NotRequested) {
    j["backend"] = table_json(fields.backendSettingPath, r.backend);
    text += table_text("backend", fields.backendSettingPath, r.backend);
  }
  if (r.sensor.outcome != TableOutcome::NotRequested) {
    j["sensor"] = table_json(fields.sensorSettingPath, r.sensor);
    text += table_text("sensor", fields.sensorSettingPath, r.sensor);
  }
  ctx.result(j, text);
  return status;
}

}  // namespace

void register_settings_commands(CLI::App& app, Commands& commands) {
  auto mb = std::make_shared<MakeBinArgs>();
  auto* make = app.add_subcommand("make-bin", "Convert a setting text into its table image");
  make->add_option("TEXT", mb->text, "Setting text file (C-like array initialisers)")->required();
  make->add_option("-o,--output", mb->output, "Write the table image to this file");
  make->add_option("--log", mb->log,
                   "Write the conversion trace here (default: beside the program, named after it)");
  make->callback([&commands, mb] {
    commands.choose([mb](Context& c) { return run_make_bin(c, *mb); });
  });

  auto ta = std::make_shared<TablesArgs>();
  auto* tables = app.add_subcommand("tables", "Setting tables in the camera's flash");
  tables->require_subcommand(1);
  auto* dl = tables->add_subcommand("download", "Write the backend and sensor setting tables");
  dl->add_option("--backend", ta->backend, "Backend table file (.bin image or .txt text)");
  dl->add_option("--backend-addr", ta->backend_addr,
                 "Flash address of the backend table, hexadecimal (default 11000)");
  dl->add_option("--sensor", ta->sensor, "Sensor table file (.bin image or .txt text)");
  dl->add_option("--sensor-addr", ta->sensor_addr,
                 "Flash address of the sensor table, hexadecimal (default 12000)");
  dl->add_flag("--find", ta->find,
               "Look for backend_init.txt and SensorSetting.txt in the working directory and "
               "take the addresses from the camera's chip type first");
  dl->add_flag("--yes,-y", ta->yes, "Confirm without asking");
  dl->add_flag("--force", ta->force,
               "The engineer's override: write a table even where it would erase the boot "
               "configuration or the firmware's code");
  dl->callback([&commands, ta] {
    commands.choose([ta](Context& c) { return run_tables_download(c, *ta); });
  });
}

}  // namespace lumavix::cli
