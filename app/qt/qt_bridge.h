// The bridges between the update engine and the Qt event loop: worker
// notifications as posted events, the engine's message boxes as Qt message
// boxes, and the text conversions the window needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <QEvent>
#include <QString>

#include "app/core/texts.h"
#include "firmware/engine.h"

class QObject;
class QWidget;

namespace lumavix {

// One worker report, delivered on the receiver's thread.
class NotifyEvent final : public QEvent {
 public:
  NotifyEvent(std::uint32_t code, std::uint32_t value)
      : QEvent(type()), code_(code), value_(value) {}
  [[nodiscard]] static QEvent::Type type();
  [[nodiscard]] std::uint32_t code() const { return code_; }
  [[nodiscard]] std::uint32_t value() const { return value_; }

 private:
  std::uint32_t code_;
  std::uint32_t value_;
};

// Posts every notification as a NotifyEvent to `receiver`. post() runs on the
// worker's thread and only queues the event (QCoreApplication::postEvent is
// thread-safe), so the worker never waits for the window. The receiver must
// outlive every run that reports to it.
class EventNotifyTarget final : public NotifyTarget {
 public:
  explicit EventNotifyTarget(QObject* receiver) : receiver_(receiver) {}
  void post(std::uint32_t code, std::uint32_t value) override;

 private:
  QObject* receiver_;
};

// Modal message boxes owned by `parent` (may be null).
class MessageBoxPrompter final : public Prompter {
 public:
  explicit MessageBoxPrompter(QWidget* parent) : parent_(parent) {}
  MessageAnswer ask(std::string_view caption, std::string_view text, MessageButtons buttons,
                    MessageIcon icon) override;

 private:
  QWidget* parent_;
};

// A modal box with an OK button.
void ShowMessage(QWidget* parent, const char* caption, const char* text);

// Qt's own texts (the file dialog's buttons and columns, the standard
// buttons) in `lang`, from Qt's translations as the system installed them.
// English needs none; true when a translation was installed.
bool InstallQtTranslations(UiLanguage lang);

[[nodiscard]] inline QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
[[nodiscard]] inline QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
[[nodiscard]] inline std::u16string ToU16(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<std::size_t>(text.size()));
}

}  // namespace lumavix
