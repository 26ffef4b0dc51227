#include "app/qt/confirm_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/core/texts.h"
#include "app/qt/icons.h"
#include "app/qt/qt_bridge.h"
#include "resources/dialog_templates.h"

namespace lumavix {

namespace res = resources;

namespace {

QRect TemplateRect(const res::ControlTemplate& c) {
  return QRect(res::DluToPixelsX(c.x), res::DluToPixelsY(c.y), res::DluToPixelsX(c.width),
               res::DluToPixelsY(c.height));
}

const res::ControlTemplate& Control(int id) {
  for (const auto& c : res::kConfirmControls) {
    if (c.id == id) return c;
  }
  return res::kConfirmControls[0];
}

}  // namespace

ConfirmDialog::ConfirmDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
  setModal(true);
  setFixedSize(res::DluToPixelsX(res::kConfirmTemplateWidth),
               res::DluToPixelsY(res::kConfirmTemplateHeight));
  // A caption-less popup still has its thin frame.
  setObjectName("confirm");
  setStyleSheet("QDialog#confirm { border: 1px solid palette(mid); }");

  icon_ = new QLabel(this);
  icon_->setObjectName("icon1046");
  // The icon is loaded at 96 x 96, larger than its template place; it is
  // centred across the dialog above the heading.
  const int iconPx = res::kConfirmIconPixels;
  icon_->setPixmap(UpdateWarningPixmap(iconPx, devicePixelRatioF()));
  icon_->setGeometry((width() - iconPx) / 2, 18, iconPx, iconPx);

  heading_ = new QLabel(this);
  heading_->setObjectName("text1047");
  heading_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  QFont bold = font();
  bold.setFamilies({res::kTemplateFontFamily, font().family()});
  bold.setBold(true);
  bold.setPointSize(res::kConfirmHeadingPoints);
  heading_->setFont(bold);
  QRect hr = TemplateRect(Control(res::id::kConfirmHeading));
  // The bold 13-point line is taller than its template place; grow it
  // downward only by what the font needs, keeping its top.
  hr.setHeight(std::max(hr.height(), QFontMetrics(bold).height()));
  heading_->setGeometry(hr);

  warning_ = new QLabel(this);
  warning_->setObjectName("text1048");
  warning_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  warning_->setWordWrap(true);
  QRect wr = TemplateRect(Control(res::id::kConfirmWarning));
  wr.moveTop(std::max(wr.top(), hr.bottom() + 1));
  warning_->setGeometry(wr);

  cancel_ = new QPushButton(this);
  cancel_->setObjectName("button2");
  cancel_->setGeometry(TemplateRect(Control(res::id::kCancel)));
  ok_ = new QPushButton(this);
  ok_->setObjectName("button1");
  ok_->setGeometry(TemplateRect(Control(res::id::kOk)));
  ok_->setDefault(true);
  ok_->setFocusPolicy(Qt::StrongFocus);
  cancel_->setFocusPolicy(Qt::StrongFocus);
  setTabOrder(ok_, cancel_);
  ok_->setAutoDefault(true);
  cancel_->setAutoDefault(false);

  // Both buttons end the dialog with the cancel result, which nobody reads.
  connect(cancel_, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });
  connect(ok_, &QPushButton::clicked, this, [this] { Ok(); });
}

void ConfirmDialog::SetTexts(UiLanguage lang, const std::u16string& toolModelName) {
  heading_->setText(ToQString(ConfirmText(lang, kConfirmSlotHeading)));
  warning_->setText(ToQString(ConfirmWarningText(lang, toolModelName)));
  // Alt and the underlined letter press a button; Tab goes from one to the
  // other.
  cancel_->setText(ToQString(ConfirmButtonMnemonic(lang, kConfirmSlotCancel)));
  ok_->setText(ToQString(ConfirmButtonMnemonic(lang, kConfirmSlotOk)));
  icon_->setAccessibleName(ToQString(ConfirmText(lang, kConfirmSlotHeading)));
  setAccessibleName(ToQString(ConfirmText(lang, kConfirmSlotHeading)));
}

void ConfirmDialog::Ok() {
  done(QDialog::Rejected);
  if (onConfirmed_) onConfirmed_();
}

}  // namespace lumavix
