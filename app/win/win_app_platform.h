// What the native window runs on: the Windows HID and kernel-streaming
// layers, or the built-in simulated camera (--simulate), installed for the
// device library as the command line does; and the sleep inhibitor that
// keeps Windows awake while the flash is written.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/sleep_inhibitor.h"
#include "platform/win_lock.h"

namespace lumavix {

namespace sim {
class Simulator;
}
class WinHidBackend;
class WinKsVideoBackend;
class WinKsPropertySetBackend;

struct WinPlatformOptions {
  std::optional<std::string> simulate;  // profile text when simulating
  std::string simState;                 // state file of the simulated camera
};

class WinAppPlatform {
 public:
  WinAppPlatform();
  ~WinAppPlatform();
  WinAppPlatform(const WinAppPlatform&) = delete;
  WinAppPlatform& operator=(const WinAppPlatform&) = delete;

  // Installs the platform; false with `error` when the simulated camera
  // cannot be made or its state file is refused.
  [[nodiscard]] bool setup(const WinPlatformOptions& options, std::string& error);
  // Waits for a worker still running, closes the library and saves the
  // simulated camera's memories when a state file was given.
  [[nodiscard]] bool finish(std::string& error);

  [[nodiscard]] bool simulating() const { return simulator_ != nullptr; }
  // True when the simulated camera left or came back by itself (its
  // reconnection after an update) since the last call.
  [[nodiscard]] bool simulated_plug_changed();

 private:
  WinMutexLockBackend locks_;
  std::unique_ptr<sim::Simulator> simulator_;
  std::unique_ptr<WinHidBackend> hid_;
  std::unique_ptr<WinKsVideoBackend> video_;
  std::unique_ptr<WinKsPropertySetBackend> props_;
  std::string simState_;
  bool simPlugged_ = true;
};

// Keeps the system from sleeping while held: SetThreadExecutionState on the
// thread that acquires it (the window's), released on the same thread.
class WinSleepInhibitor final : public SleepInhibitor {
 public:
  ~WinSleepInhibitor() override { Release(); }
  bool Acquire(std::string_view why, std::string& error) override;
  void Release() override;
  [[nodiscard]] bool held() const override { return held_; }

 private:
  bool held_ = false;
};

}  // namespace lumavix
