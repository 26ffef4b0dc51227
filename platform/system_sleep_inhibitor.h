// The sleep inhibitor a front end installs: logind's where the build has
// Qt's D-Bus module, the null one elsewhere.
#pragma once

#include <memory>
#include <string>

#include "platform/sleep_inhibitor.h"
#if defined(LUMAVIX_HAVE_LOGIND)
#include "platform/logind/logind_inhibitor.h"
#endif

namespace lumavix {

[[nodiscard]] inline std::unique_ptr<SleepInhibitor> MakeSleepInhibitor(std::string who) {
#if defined(LUMAVIX_HAVE_LOGIND)
  return MakeSystemSleepInhibitor(std::move(who));
#else
  (void)who;
  return std::make_unique<NullSleepInhibitor>();
#endif
}

}  // namespace lumavix
