// The commands of lumavix-fw. Each registers its CLI11 subcommand and, when
// chosen, runs against a Context that has already set up the platform.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

#include "cli/cli_context.h"

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
// file-info, make-firmware.
void register_firmware_commands(CLI::App& app, Commands& commands);
void register_settings_commands(CLI::App& app, Commands& commands);
// status, update, download, dump, userdata read, config.
void register_update_commands(CLI::App& app, Commands& commands);

}  // namespace lumavix::cli
