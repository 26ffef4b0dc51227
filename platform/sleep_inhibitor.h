// Keeps the machine from suspending, shutting down or logging out while the
// camera's flash is being rewritten. The Linux implementation asks logind
// (platform/logind/); where there is none, the null one does nothing and
// says so. Front ends install one for the process (update_flow.h).
#pragma once

#include <string>
#include <string_view>

namespace lumavix {

class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // Takes the inhibition for `why`. False when the system offers none; the
  // caller carries on, `error` says why (for the trace).
  [[nodiscard]] virtual bool Acquire(std::string_view why, std::string& error) = 0;
  // Lets go of it; nothing when none is held.
  virtual void Release() = 0;
  [[nodiscard]] virtual bool held() const = 0;
};

// For platforms (and builds) without a way to ask.
class NullSleepInhibitor final : public SleepInhibitor {
 public:
  bool Acquire(std::string_view, std::string& error) override {
    error = "no sleep inhibitor on this platform";
    return false;
  }
  void Release() override {}
  [[nodiscard]] bool held() const override { return false; }
};

}  // namespace lumavix
