// The commands of lumavix-fw. Each registers its CLI11 subcommand and, when
// chosen, runs against a Context that has already set up the platform.
#pragma once

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/cli_context.h"
#include "firmware/image.h"

namespace lumavix::cli {

class Commands {
 public:
  // Sets the action of the chosen command.
  void choose(std::function<int(Context&)> action) { action_ = std::move(action); }
  [[nodiscard]] int run(Context& ctx) const { return action_ ? action_(ctx) : kExitUsage; }

 private:
  std::function<int(Context&)> action_;
};

// list, reg read, flash id, flash read.
void register_device_commands(CLI::App& app, Commands& commands);
// The result object of `list` for the device library opened now; its text
// lines are appended to `text` when given.
[[nodiscard]] nlohmann::ordered_json camera_list_json(std::string* text = nullptr);
// file-info, make-firmware.
void register_firmware_commands(CLI::App& app, Commands& commands);
void register_settings_commands(CLI::App& app, Commands& commands);
// Why the firmware file cannot be written to a camera (it cannot be read, is
// empty, too short, too large, or fails its CRC-32), or empty when it is
// whole. The loaded form judges the bytes that will be written.
[[nodiscard]] std::string firmware_file_problem(const LoadedFirmware& file);
[[nodiscard]] std::string firmware_file_problem(const std::string& path);

// status, update.
void register_update_commands(CLI::App& app, Commands& commands);
// download, dump.
void register_download_commands(CLI::App& app, Commands& commands);
// userdata read, userdata write.
void register_userdata_commands(CLI::App& app, Commands& commands);
// config.
void register_config_commands(CLI::App& app, Commands& commands);
// doctor.
void register_doctor_commands(CLI::App& app, Commands& commands);

// After a "no camera found" message: when the library's causes include a
// node this user may not open, writes the hint that names `doctor` to
// stderr (never to stdout, which may carry JSON).
void print_doctor_hint();

}  // namespace lumavix::cli
