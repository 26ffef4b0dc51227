// The simulated set-up as a whole: the cameras a profile describes, the HID,
// video-class and property-set platforms that serve them, and the state file
// that carries their memories from one run to the next.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "sim/sim_camera.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_options.h"
#include "sim/sim_video_backend.h"

namespace lumavix::sim {

// The camera a profile describes (not used for profile none).
[[nodiscard]] SimCameraConfig camera_config_for(const SimOptions& options);

class Simulator {
 public:
  // Builds the cameras of `options.profile` (none for profile none). Returns
  // null with `error` when the options cannot be realised.
  [[nodiscard]] static std::unique_ptr<Simulator> create(const SimOptions& options,
                                                         std::string& error);

  [[nodiscard]] HidBackend& hid() { return backend_; }
  [[nodiscard]] SimHidBackend& backend() { return backend_; }
  [[nodiscard]] VideoClassBackend& video() { return video_; }
  [[nodiscard]] PropertySetBackend& props() { return props_; }
  [[nodiscard]] SimCamera* camera(std::size_t i) { return backend_.camera(i); }
  [[nodiscard]] std::size_t camera_count() const { return backend_.camera_count(); }
  [[nodiscard]] const SimOptions& options() const { return options_; }

  // The state file holds, for every camera, its register file, flash (with
  // the flash's non-volatile status bits) and EEPROM. Loading checks the whole
  // file (format, lengths, CRC, sizes against these cameras) before it
  // changes anything; a refused file leaves the cameras as they were. The
  // chip-identity registers always keep the profile's values.
  [[nodiscard]] bool load_state(const std::string& path, std::string& error);
  // Writes through a unique temporary file (made O_EXCL|O_NOFOLLOW, 0600)
  // renamed into place; the file stays the user's alone.
  [[nodiscard]] bool save_state(const std::string& path, std::string& error) const;

 private:
  explicit Simulator(const SimOptions& options) : options_(options) {}

  SimOptions options_;
  SimHidBackend backend_;
  SimVideoBackend video_{backend_};
  SimPropertyBackend props_{backend_};
};

// For the programs with --simulate TEXT and --sim-state FILE (the command
// line, both windows): the cameras of the profile `text`, with their
// memories from `state_file` when it exists (a missing one is written when
// the program saves). Null with `error`, which names the option at fault.
[[nodiscard]] std::unique_ptr<Simulator> create_simulator(std::string_view text,
                                                          const std::string& state_file,
                                                          std::string& error);

// For the programs that serve one simulated camera to the kernel: the
// cameras of the profile `text`, with their memories from `state_file` when
// it exists. Null with `error`, a sentence for the user that names the
// option at fault, when the profile is bad or "none" or the state file
// cannot be used.
[[nodiscard]] std::unique_ptr<Simulator> create_served_simulator(std::string_view text,
                                                                 const std::string& state_file,
                                                                 std::string& error);

// The prefix of the write-lock keys of the cameras whose memories live in
// `state_file` ("sim-<hash of its absolute path>-"), so that two programs
// that share a state file share its cameras' locks (devlib/writer_lock.h)
// and programs on other files do not meet. Empty for no state file: the
// cameras then live in one process only, and a process-local lock serves.
[[nodiscard]] std::string simulated_camera_lock_prefix(const std::string& state_file);

}  // namespace lumavix::sim
