// Before windows.h (through the header), whose macros would clash with the
// engine's names.
#include "devlib/frame.h"

#include "app/win/win_app_platform.h"

namespace lumavix {

WinAppPlatform::WinAppPlatform() = default;

WinAppPlatform::~WinAppPlatform() { set_platform({}); }

void WinAppPlatform::InstallDevices(Platform& p) { system_.install(p); }

}  // namespace lumavix
