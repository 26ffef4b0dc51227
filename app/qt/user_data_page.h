// The engineering user-data page (template 134): the camera's USB ids,
// strings and UVC property defaults as editable fields, with Read, Write and
// the "Auto write after FW download" box. It shows the texts of the page
// logic (settings/userdata.h) and hands typed texts back to it; the window
// creates it only in builds with the page switched on.
#pragma once

#include <functional>
#include <map>

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace lumavix {

struct UserDataPage;

class UserDataPageWidget final : public QWidget {
 public:
  UserDataPageWidget(UserDataPage& page, QWidget* parent);

  // Shows the page's texts, its state text and its enabled state.
  void ShowFields(const QString& stateText = {});
  // Takes the typed texts and the box into the page.
  void TakeFields();

  void SetOnRead(std::function<void()> f) { onRead_ = std::move(f); }
  void SetOnWrite(std::function<void()> f) { onWrite_ = std::move(f); }

 private:
  QLineEdit* Edit(int id) const;

  UserDataPage& page_;
  std::map<int, QWidget*> controls_;
  std::function<void()> onRead_;
  std::function<void()> onWrite_;
};

}  // namespace lumavix
