// Lets another program pull the simulated camera out or put it back while the
// window runs: SIGUSR1 toggles the plug, as Ctrl+Shift+U does from the
// keyboard. The signal handler only writes one byte to a socket pair; the
// window's thread reads it through a QSocketNotifier, so nothing but that
// write runs in signal context.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace lumavix {

class PlugSignal : public QObject {
  Q_OBJECT

 public:
  explicit PlugSignal(QObject* parent = nullptr);
  ~PlugSignal() override;

  // False when the socket pair or the handler could not be set up; the
  // keyboard shortcut still works then.
  [[nodiscard]] bool installed() const { return notifier_ != nullptr; }

 Q_SIGNALS:
  void toggleRequested();

 private:
  void drain();

  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace lumavix
