#include "app/qt/device_monitor.h"

#include <libudev.h>

#include <QSocketNotifier>

#include "devlib/clock.h"
#include "devlib/trace.h"
#include "platform/linux_usb.h"

namespace lumavix {

DeviceMonitor::DeviceMonitor(QObject* parent) : QObject(parent) {}

DeviceMonitor::~DeviceMonitor() {
  delete notifier_;
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

bool DeviceMonitor::start() {
  if (monitor_) return true;
  udev_ = udev_new();
  if (!udev_) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (!monitor_) {
    DebugTrace("device monitor: no udev netlink monitor");
    return false;
  }
  for (const char* subsystem : {"hidraw", "video4linux", "usb"}) {
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, subsystem, nullptr) < 0) {
      DebugTrace("device monitor: cannot filter %s", subsystem);
    }
  }
  if (udev_monitor_enable_receiving(monitor_) < 0) {
    DebugTrace("device monitor: cannot receive udev events");
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    return false;
  }
  const int fd = udev_monitor_get_fd(monitor_);
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
  return true;
}

void DeviceMonitor::drain() {
  // Take every queued event so that the notifier does not fire again for
  // them; one signal stands for the whole batch.
  // Events the library's own driver hand-overs cause (a flash read of a
  // video-class camera takes its interface from the video driver) are not
  // device changes: a pass for them would make the next hand-over.
  bool any = false;
  const std::uint32_t handover = last_driver_handover_ms();
  const std::uint32_t now = lumavix::clock().ticks_ms();
  while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
    const char* subsystem = udev_device_get_subsystem(dev);
    const char* devtype = udev_device_get_devtype(dev);
    if (!is_own_handover_event(subsystem ? subsystem : "", devtype ? devtype : "", now, handover))
      any = true;
    udev_device_unref(dev);
  }
  if (any) Q_EMIT deviceChanged();
}

}  // namespace lumavix
