#include "app/qt/app_platform.h"

#include "devlib/frame.h"

namespace lumavix {

AppPlatform::AppPlatform() = default;

AppPlatform::~AppPlatform() { set_platform({}); }

void AppPlatform::InstallDevices(Platform& p) { system_.install(p); }

}  // namespace lumavix
