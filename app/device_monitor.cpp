#include "app/device_monitor.h"

#include <libudev.h>

#include <QSocketNotifier>

#include "devlib/trace.h"

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
  bool any = false;
  while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
    udev_device_unref(dev);
    any = true;
  }
  if (any) Q_EMIT deviceChanged();
}

}  // namespace lumavix
