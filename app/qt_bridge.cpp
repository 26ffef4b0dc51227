#include "app/qt_bridge.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QWidget>

namespace lumavix {

QEvent::Type NotifyEvent::type() {
  static const QEvent::Type t = static_cast<QEvent::Type>(QEvent::registerEventType());
  return t;
}

void EventNotifyTarget::post(std::uint32_t code, std::uint32_t value) {
  QCoreApplication::postEvent(receiver_, new NotifyEvent(code, value));
}

MessageAnswer MessageBoxPrompter::ask(std::string_view caption, std::string_view text,
                                      MessageButtons buttons, MessageIcon icon) {
  QMessageBox box(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                  ToQString(caption), ToQString(text),
                  buttons == MessageButtons::OkCancel ? (QMessageBox::Ok | QMessageBox::Cancel)
                                                      : QMessageBox::Ok,
                  parent_);
  return box.exec() == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

void ShowMessage(QWidget* parent, const char* caption, const char* text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(caption), QString::fromUtf8(text),
                  QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace lumavix
