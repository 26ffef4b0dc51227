// The confirmation every command asks before it rewrites the camera's
// flash, for the commands whose own headers keep clear of the update flow's.
#pragma once

#include <string>

#include "cli/cli_context.h"

namespace lumavix::cli {

// kExitOk when the write may go ahead: `yes` (--yes), or the user agreed on
// the terminal after `warning` (UTF-8). Without a terminal and without --yes
// the write is refused as a usage error, as `download` refuses it.
[[nodiscard]] int confirm_flash_write(Context& ctx, bool yes, const std::string& warning);

}  // namespace lumavix::cli
