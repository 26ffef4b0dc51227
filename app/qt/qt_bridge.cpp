#include "app/qt/qt_bridge.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
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

bool InstallQtTranslations(UiLanguage lang) {
  const char* code = nullptr;
  switch (lang) {
    case UiLanguage::French: code = "fr"; break;
    case UiLanguage::German: code = "de"; break;
    case UiLanguage::Japanese: code = "ja"; break;
    case UiLanguage::Italian: code = "it"; break;
    case UiLanguage::Dutch: code = "nl"; break;
    case UiLanguage::English: return false;
  }
  if (code == nullptr || QCoreApplication::instance() == nullptr) return false;
  // One translator for the process, replaced when asked again.
  static QTranslator* translator = nullptr;
  auto* next = new QTranslator(QCoreApplication::instance());
  if (!next->load(QStringLiteral("qtbase_") + QLatin1String(code),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete next;
    return false;
  }
  if (translator != nullptr) {
    QCoreApplication::removeTranslator(translator);
    delete translator;
  }
  translator = next;
  QCoreApplication::installTranslator(translator);
  return true;
}

}  // namespace lumavix
