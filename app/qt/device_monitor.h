// The system's device-change notification: a udev monitor on the hidraw,
// video4linux and usb subsystems, read on the window's thread when its socket
// becomes readable. Every event, whatever it is, is reported as one
// deviceChanged() signal; the window folds bursts with its 100 ms timer.
#pragma once

#include <QObject>

struct udev;
struct udev_monitor;
class QSocketNotifier;

namespace lumavix {

class DeviceMonitor final : public QObject {
  Q_OBJECT

 public:
  explicit DeviceMonitor(QObject* parent = nullptr);
  ~DeviceMonitor() override;

  // Starts listening; false when udev cannot be reached (the window then
  // only knows the camera from its first pass).
  [[nodiscard]] bool start();

 Q_SIGNALS:
  void deviceChanged();

 private:
  void drain();

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace lumavix
