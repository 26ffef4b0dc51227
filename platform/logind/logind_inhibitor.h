// The sleep inhibitor of a Linux desktop: a logind "block" inhibitor lock
// (org.freedesktop.login1.Manager.Inhibit) on shutdown and sleep, held as
// the file descriptor logind hands out and released by closing it.
#pragma once

#include <memory>
#include <string>

#include "platform/sleep_inhibitor.h"

namespace lumavix {

class LogindInhibitor final : public SleepInhibitor {
 public:
  // `busAddress` empty: the system bus, where logind lives; tests give the
  // address of a private bus with a stand-in.
  explicit LogindInhibitor(std::string busAddress = {}, std::string who = "lumavix-update");
  ~LogindInhibitor() override;
  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;

  bool Acquire(std::string_view why, std::string& error) override;
  void Release() override;
  [[nodiscard]] bool held() const override { return fd_ >= 0; }

 private:
  std::string busAddress_;
  std::string who_;
  int fd_ = -1;
};

// The inhibitor of this platform: logind's.
[[nodiscard]] std::unique_ptr<SleepInhibitor> MakeSystemSleepInhibitor(std::string who);

}  // namespace lumavix
