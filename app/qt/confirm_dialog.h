// The confirmation dialog before an update (template 140): a caption-less
// box with the warning icon, a bold heading, the warning about unplugging
// and powering off, and Cancel / OK. OK ends the dialog and then asks the
// window to start the update while the dialog is still on screen.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <QDialog>

class QLabel;
class QPushButton;

namespace lumavix {

enum class UiLanguage : std::uint8_t;

class ConfirmDialog final : public QDialog {
 public:
  explicit ConfirmDialog(QWidget* parent);

  // Sets the texts for the language and the tool's model name.
  void SetTexts(UiLanguage lang, const std::u16string& toolModelName);
  // Called after OK has ended the dialog.
  void SetOnConfirmed(std::function<void()> f) { onConfirmed_ = std::move(f); }

 private:
  void Ok();

  QLabel* icon_;
  QLabel* heading_;
  QLabel* warning_;
  QPushButton* cancel_;
  QPushButton* ok_;
  std::function<void()> onConfirmed_;
};

}  // namespace lumavix
