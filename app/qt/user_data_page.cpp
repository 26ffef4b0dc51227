#include "app/qt/user_data_page.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/qt/qt_bridge.h"
#include "resources/dialog_templates.h"
#include "settings/userdata.h"

namespace lumavix {

namespace res = resources;

namespace {

// Each edit control and the page text it shows.
struct Binding {
  int id;
  std::u16string UserDataPage::*text;
  std::size_t limit;
};

const Binding kBindings[] = {
    {1101, &UserDataPage::chipName, 0},
    {1128, &UserDataPage::firmwareVersion, 0},
    {1103, &UserDataPage::vendorId, kPageHexIdLimit},
    {1104, &UserDataPage::productId, kPageHexIdLimit},
    {1110, &UserDataPage::vendorString, kPageStringLimit},
    {1111, &UserDataPage::productString, kPageStringLimit},
    {1112, &UserDataPage::serialNumber, kPageStringLimit},
    {1117, &UserDataPage::redGain, kPageByteLimit},
    {1118, &UserDataPage::greenGain, kPageByteLimit},
    {1119, &UserDataPage::blueGain, kPageByteLimit},
    {1121, &UserDataPage::aeTarget, kPageByteLimit},
    {1033, &UserDataPage::brightness, kPageByteLimit},
    {1034, &UserDataPage::contrast, kPageByteLimit},
    {1035, &UserDataPage::hue, 0},
    {1036, &UserDataPage::saturation, 0},
    {1037, &UserDataPage::sharpness, 0},
    {1038, &UserDataPage::gamma, 0},
    {1043, &UserDataPage::gain, 0},
};

}  // namespace

UserDataPageWidget::UserDataPageWidget(UserDataPage& page, QWidget* parent)
    : QWidget(parent), page_(page) {
  for (const res::ControlTemplate& c : res::kUserDataPageControls) {
    QWidget* w = nullptr;
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
      case res::ControlKind::Edit:
        w = new QLineEdit(this);
        break;
      case res::ControlKind::PushButton:
        w = new QPushButton(text, this);
        break;
      case res::ControlKind::CheckBox:
        w = new QCheckBox(text, this);
        break;
      case res::ControlKind::GroupBox:
        w = new QGroupBox(text, this);
        w->lower();
        break;
      default:
        w = new QLabel(text, this);
        break;
    }
    w->setGeometry(res::DluToPixelsX(c.x), res::DluToPixelsY(c.y), res::DluToPixelsX(c.width),
                   res::DluToPixelsY(c.height));
    if (c.id != 0) {
      w->setObjectName(QString("control%1").arg(c.id));
      controls_[c.id] = w;
    }
  }
  for (const Binding& b : kBindings) {
    if (QLineEdit* e = Edit(b.id); e && b.limit) e->setMaxLength(static_cast<int>(b.limit));
  }
  // Target and version are shown, not typed (unless the version is editable).
  Edit(1101)->setEnabled(false);
  Edit(1128)->setEnabled(page_.firmwareVersionEditable);

  auto hide = [this](std::span<const int> ids) {
    for (int id : ids) {
      if (auto it = controls_.find(id); it != controls_.end()) it->second->hide();
    }
  };
  if (!page_.showRgbGains) hide(PageRgbGainControls());
  if (!page_.showAeTarget) hide(PageAeTargetControls());
  if (!page_.showUvcDefaults) hide(PageUvcDefaultControls());

  connect(static_cast<QPushButton*>(controls_[1025]), &QPushButton::clicked, this, [this] {
    if (onRead_) onRead_();
  });
  connect(static_cast<QPushButton*>(controls_[1026]), &QPushButton::clicked, this, [this] {
    if (onWrite_) onWrite_();
  });
  connect(static_cast<QCheckBox*>(controls_[1019]), &QCheckBox::toggled, this,
          [this](bool on) { page_.autoWriteAfterUpdate = on ? 1 : 0; });
}

QLineEdit* UserDataPageWidget::Edit(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : qobject_cast<QLineEdit*>(it->second);
}

void UserDataPageWidget::ShowFields(const QString& stateText) {
  for (const Binding& b : kBindings) {
    if (QLineEdit* e = Edit(b.id)) e->setText(ToQString(page_.*b.text));
  }
  if (!stateText.isNull()) static_cast<QLabel*>(controls_[1024])->setText(stateText);
  static_cast<QCheckBox*>(controls_[1019])->setChecked(page_.autoWriteAfterUpdate == 1);
  for (int id : PageEditableControls(page_.firmwareVersionEditable)) {
    if (auto it = controls_.find(id); it != controls_.end()) {
      it->second->setEnabled(page_.controlsEnabled);
    }
  }
}

void UserDataPageWidget::TakeFields() {
  for (const Binding& b : kBindings) {
    if (QLineEdit* e = Edit(b.id)) page_.*b.text = ToU16(e->text());
  }
  page_.autoWriteAfterUpdate = static_cast<QCheckBox*>(controls_[1019])->isChecked() ? 1 : 0;
}

}  // namespace lumavix
