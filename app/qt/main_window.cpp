#include "app/qt/main_window.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <QAccessible>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMimeData>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMoveEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QUrl>

#include "app/core/text_fit.h"
#include "app/qt/app_platform.h"
#include "app/qt/confirm_dialog.h"
#include "app/qt/device_monitor.h"
#include "app/qt/icons.h"
#include "app/qt/ring.h"
#include "app/qt/user_data_page.h"
#include "resources/dialog_templates.h"

namespace lumavix {

namespace res = resources;

MainWindow::MainWindow(AppPlatform& platform, bool watchDevices, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      platform_(platform),
      core_(UpdateFlowSwitches{},
            UpdateFlowHooks{[this]() -> const char* {
                              // Chained after a successful download when the
                              // build switches it on.
                              tables_.FindDefaultFiles(core_.watch().camera.cameraChipType);
                              UpdateControls();
                              tables_.Download();
                              return nullptr;
                            },
                            {}}),
      notify_(this),
      prompter_(this) {
  setWindowTitle(QString::fromUtf8(res::kMainTemplateTitle));
  QFont f = font();
  f.setFamilies({res::kTemplateFontFamily, font().family()});
  f.setPointSize(res::kTemplateFontPoints);
  setFont(f);
  setWindowIcon(CameraIcon());
  // A firmware file dropped on the window is taken as the chosen one.
  setAcceptDrops(true);
  InstallRingAccessibility();
  tables_.SetUi([this](std::string_view text) { SetStatus(ToQString(text)); }, &prompter_);

  CreateControls();

  confirm_ = new ConfirmDialog(this);
  confirm_->SetOnConfirmed([this] { StartUpdate(); });

  timer1_.setSingleShot(true);
  timer1_.setInterval(100);
  connect(&timer1_, &QTimer::timeout, this, [this] {
    timer1_.stop();
    UpdateMembers();
    Apply(core_.WatchTimer());
  });
  timer2_.setSingleShot(true);
  timer2_.setInterval(0);
  connect(&timer2_, &QTimer::timeout, this, [this] { OnRingTimer(); });
  progressTimer_.setSingleShot(true);
  progressTimer_.setInterval(kProgressTimerMs);
  connect(&progressTimer_, &QTimer::timeout, this, [this] { Apply(core_.ProgressTimer()); });

  if (watchDevices) {
    monitor_ = new DeviceMonitor(this);
    connect(monitor_, &DeviceMonitor::deviceChanged, this, [this] { OnDeviceChange(); });
    if (!monitor_->start()) {
      // Without udev the window still shows the camera found at start.
      delete monitor_;
      monitor_ = nullptr;
    }
  }
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

int MainWindow::Dpi() const {
  // Qt already scales logical pixels to the screen (its high-DPI scaling
  // turns the screen's dpi into a device-pixel ratio), and then reports 96
  // here; only with that scaling switched off does the real dpi show, and
  // only then does the window multiply. Either way a value is scaled once.
  const int dpi = logicalDpiX();
  return dpi > 0 ? dpi : 96;
}

int MainWindow::Scaled(int v) const { return ScalePixels(v, Dpi()); }

void MainWindow::CreateControls() {
  for (const res::ControlTemplate& c : res::kMainWindowControls) {
    QWidget* w = nullptr;
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
      case res::ControlKind::Static:
      case res::ControlKind::StaticCentred:
      case res::ControlKind::StaticRight: {
        auto* l = new QLabel(text, this);
        Qt::Alignment a = Qt::AlignTop;
        if (c.kind == res::ControlKind::StaticCentred) a |= Qt::AlignHCenter;
        else if (c.kind == res::ControlKind::StaticRight) a |= Qt::AlignRight;
        else a |= Qt::AlignLeft;
        l->setAlignment(a);
        l->setWordWrap(true);
        l->setTextFormat(Qt::PlainText);
        w = l;
        break;
      }
      case res::ControlKind::OwnerDrawn:
        w = ring_ = new RingWidget(this);
        break;
      case res::ControlKind::Link: {
        auto* l = new QLabel(this);
        l->setTextFormat(Qt::RichText);
        l->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        l->setOpenExternalLinks(false);
        // The core names the address (never the markup's href); the
        // desktop's handler for it opens it, and nothing goes through a shell.
        connect(l, &QLabel::linkActivated, this, [this](const QString&) {
          const std::string address = core_.LinkToOpen();
          if (!address.empty()) QDesktopServices::openUrl(QUrl(QString::fromStdString(address)));
        });
        w = link_ = l;
        break;
      }
      case res::ControlKind::PushButton:
      case res::ControlKind::DefaultButton: {
        auto* b = new QPushButton(text, this);
        b->setDefault(c.kind == res::ControlKind::DefaultButton);
        w = b;
        break;
      }
      case res::ControlKind::ProgressBar: {
        auto* p = new QProgressBar(this);
        p->setTextVisible(false);
        p->setRange(0, 100);
        p->setValue(0);
        w = progressBar_ = p;
        break;
      }
      case res::ControlKind::Edit: {
        auto* e = new QLineEdit(this);
        w = e;
        break;
      }
      case res::ControlKind::CheckBox:
        w = dumpFlag_ = new QCheckBox(text, this);
        break;
      case res::ControlKind::GroupBox:
      case res::ControlKind::Icon:
        w = new QLabel(this);
        break;
    }
    w->setObjectName(QString("control%1").arg(c.id));
    w->setGeometry(Scaled(res::DluToPixelsX(c.x)), Scaled(res::DluToPixelsY(c.y)),
                   Scaled(res::DluToPixelsX(c.width)), Scaled(res::DluToPixelsY(c.height)));
    w->setVisible(c.visible);
    controls_[c.id] = w;
  }
  // Not in the template: the phase line under the ring and the button that
  // chooses a firmware file when none is usable.
  phaseLine_ = new QLabel(this);
  phaseLine_->setObjectName("phaseLine");
  phaseLine_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  phaseLine_->setTextFormat(Qt::PlainText);
  phaseLine_->setVisible(false);
  chooseFile_ = new QPushButton(this);
  chooseFile_->setObjectName("chooseFile");
  chooseFile_->setVisible(false);
  connect(chooseFile_, &QPushButton::clicked, this, [this] { Apply(core_.ChooseFileClicked()); });

  status_ = static_cast<QLabel*>(control(res::id::kStatus));
  update_ = static_cast<QPushButton*>(control(res::id::kUpdate));
  percent_ = static_cast<QLabel*>(control(res::id::kPercentage));
  progressMessage_ = static_cast<QLabel*>(control(res::id::kProgressMessage));
  backendAddr_ = static_cast<QLineEdit*>(control(res::id::kBackendAddr));
  sensorAddr_ = static_cast<QLineEdit*>(control(res::id::kSensorAddr));

  // The percentage sits in the middle of the ring, above the ring area.
  QFont pf = font();
  pf.setFamilies({res::kTemplateFontFamily, font().family()});
  pf.setBold(true);
  pf.setPointSize(25);
  percent_->setFont(pf);
  percent_->setAlignment(Qt::AlignCenter);
  percent_->setAttribute(Qt::WA_TranslucentBackground);
  percent_->raise();

  connect(update_, &QPushButton::clicked, this, [this] { OnUpdateClicked(); });
  connect(static_cast<QPushButton*>(control(res::id::kBrowse)), &QPushButton::clicked, this,
          [this] { BrowseFirmware(); });
  for (int id : {res::id::kBackendBrowse, res::id::kBrowseTxt, res::id::kSensorBrowse}) {
    connect(static_cast<QPushButton*>(control(id)), &QPushButton::clicked, this,
            [this, id] { BrowseTable(id); });
  }
  connect(static_cast<QPushButton*>(control(res::id::kSettingDownload)), &QPushButton::clicked,
          this, [this] { DownloadTables(); });
  connect(static_cast<QPushButton*>(control(res::id::kTxtMakeBin)), &QPushButton::clicked, this,
          [this] { MakeBinAndWriteTable(); });
}

void MainWindow::Initialise() {
  // Bound members start empty, so the template's texts of bound controls
  // give way to empty ones at once.
  UpdateControls();

  const UiLanguage lang = LanguageFromEnvironment();
  ring_->setAccessibleName(ToQString(RingAccessibleName(lang)));
  percent_->setAccessibleName(ToQString(RingAccessibleName(lang)));
  confirm_->SetTexts(lang, ModelName(ToolVariant));

  for (int id : res::kHiddenAtInitialisation) ShowControl(id, false);

  if (EnableUserDataPage) {
    QWidget* anchor = control(res::id::kPageAnchor);
    page_ = new UserDataPageWidget(core_.watch().page, this);
    page_->setGeometry(anchor->geometry());
    page_->SetOnRead([this] { ReadUserDataFromPage(); });
    page_->SetOnWrite([this] { WriteUserDataFromPage(); });
    page_->show();
    core_.watch().page.created = true;
  }

  core_.SetRender([this] { Render(); });
  WindowCoreConfig config;
  config.language = lang;
  config.directory = QDir::currentPath().toStdString();
  config.downloadsFolder = downloadsFolder_;
  if (page_) core_.watch().page.SetControlsEnabled(false);
  Apply(core_.Initialise(config, &notify_, &prompter_));

  backendAddr_->setText(QString::fromUtf8(res::kBackendAddrDefault));
  sensorAddr_->setText(QString::fromUtf8(res::kSensorAddrDefault));
  tables_.backendAddress() = res::kBackendAddrDefault;
  tables_.sensorAddress() = res::kSensorAddrDefault;
  UpdateControls();

  // Centred on the screen at the size the pass gave.
  if (QScreen* s = screen()) {
    const QRect avail = s->availableGeometry();
    const QSize outer = outerTarget_.isValid() ? outerTarget_ : size();
    move(avail.center() - QPoint(outer.width() / 2, outer.height() / 2));
  }
}

// ------------------------------------------------------------ layout --

void MainWindow::Place(int id, const PixelRect& r) {
  if (QWidget* w = control(id)) {
    w->setGeometry(Scaled(r.x), Scaled(r.y), Scaled(r.width), Scaled(r.height));
  }
}

void MainWindow::ShowControl(int id, bool shown) {
  if (QWidget* w = control(id)) w->setVisible(shown);
}

void MainWindow::SetOuterSize(const PixelSize& size96) {
  outerTarget_ = QSize(Scaled(size96.width), Scaled(size96.height));
  ApplyOuterSize();
}

void MainWindow::ApplyOuterSize() {
  if (!outerTarget_.isValid()) return;
  // The layout gives the outer size, frame included; the frame is the window
  // manager's and is only known once the window is shown (0 without one).
  QSize frame = frameGeometry().size() - geometry().size();
  if (frame.width() < 0 || frame.height() < 0) frame = QSize(0, 0);
  lastFrame_ = frame;
  const QSize client(std::max(1, outerTarget_.width() - frame.width()),
                     std::max(1, outerTarget_.height() - frame.height()));
  setFixedSize(client);
}

void MainWindow::moveEvent(QMoveEvent* e) {
  QWidget::moveEvent(e);
  // The window manager reparents the window after it is shown; once the
  // frame is known the client size is derived again from the outer size.
  if (frameGeometry().size() - geometry().size() != lastFrame_) ApplyOuterSize();
}

void MainWindow::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  ApplyOuterSize();
}

void MainWindow::SetActionControlsEnabled(bool enable) {
  for (int id : kActionControls) {
    if (QWidget* w = control(id)) w->setEnabled(enable);
  }
}

// ------------------------------------------------------------ events --

void MainWindow::OnDeviceChange() { Apply(core_.DeviceChanged()); }

void MainWindow::Apply(const WindowEffects& e) {
  if (e.endConfirmation && confirm_->isVisible()) confirm_->done(0);
  if (e.resetRing) ring_->Reset();
  if (e.beginRingPass) ring_->BeginPass(*e.beginRingPass);
  Render();
  if (e.messageBox) {
    core_.EnterModal();
    ShowMessage(this, e.messageCaption ? e.messageCaption : kAppCaption, e.messageBox);
    Apply(core_.LeaveModal());
  }
  if (e.armWatchTimer) timer1_.start();
  if (e.armRingTimer) timer2_.start();
  if (e.armProgressTimer) progressTimer_.start();
  if (e.showConfirmation) confirm_->exec();
  if (e.openFileDialog) ChooseFirmwareFile();
}

namespace {

// `text` as `label` shows it at `width`: a run too wide for a line (a long
// path or file name) shortened in its middle.
QString FittedText(const QLabel* label, const std::u16string& text, int width) {
  const QFontMetrics metrics(label->font());
  return ToQString(ElideUnbreakableRuns(text, width, [&](std::u16string_view run) {
    return metrics.horizontalAdvance(ToQString(std::u16string(run)));
  }));
}

}  // namespace

int MainWindow::NeededHeight(const QLabel* label, std::u16string& text, int width96) {
  // A label like the shown one, never shown itself, measures the text as
  // the shown one will wrap it.
  if (!probe_) {
    probe_ = new QLabel(this);
    probe_->setVisible(false);
    probe_->setTextFormat(Qt::PlainText);
    probe_->setWordWrap(true);
  }
  const int width = Scaled(width96);
  probe_->setFont(label->font());
  probe_->setAlignment(label->alignment());
  const QString shown = FittedText(label, text, width);
  text = ToU16(shown);
  probe_->setText(shown);
  return UnscalePixelsUp(probe_->heightForWidth(width), Dpi());
}

WindowFrame MainWindow::FitFrame(const WindowFrame& given) {
  WindowFrame f = given;
  TextHeights needed;
  if (f.statusShown) needed.status = NeededHeight(status_, f.statusText, f.statusRect.width);
  if (f.progressMessageShown) {
    needed.progressMessage =
        NeededHeight(progressMessage_, f.progressMessage, f.progressMessageRect.width);
  }
  const res::ControlTemplate& t = *std::find_if(
      std::begin(res::kMainWindowControls), std::end(res::kMainWindowControls),
      [](const res::ControlTemplate& c) { return c.id == res::id::kUpdate; });
  const PixelRect updateTemplate{res::DluToPixelsX(t.x), res::DluToPixelsY(t.y),
                                 res::DluToPixelsX(t.width), res::DluToPixelsY(t.height)};
  return GrowFrameToFit(f, needed, updateTemplate);
}

void MainWindow::Render() {
  // The frame with its places grown to hold its texts whole.
  const WindowFrame f = FitFrame(core_.frame());
  setWindowTitle(f.title.empty() ? QString::fromUtf8(res::kMainTemplateTitle)
                                 : ToQString(f.title));
  SetOuterSize(f.windowSize);

  Place(res::id::kStatus, f.statusRect);
  ShowControl(res::id::kStatus, f.statusShown);
  if (f.updateRect.width > 0) {
    Place(res::id::kUpdate, f.updateRect);
  } else {
    const res::ControlTemplate& t = *std::find_if(
        std::begin(res::kMainWindowControls), std::end(res::kMainWindowControls),
        [](const res::ControlTemplate& c) { return c.id == res::id::kUpdate; });
    update_->setGeometry(Scaled(res::DluToPixelsX(t.x)), Scaled(res::DluToPixelsY(t.y)),
                         Scaled(res::DluToPixelsX(t.width)), Scaled(res::DluToPixelsY(t.height)));
  }
  if (update_->text() != ToQString(f.updateText)) update_->setText(ToQString(f.updateText));
  ShowControl(res::id::kUpdate, f.updateShown);
  if (f.linkShown) {
    Place(res::id::kLink, f.linkRect);
    link_->setText(ToQString(f.linkMarkup));
  }
  ShowControl(res::id::kLink, f.linkShown);
  if (f.chooseFileShown) {
    chooseFile_->setGeometry(Scaled(f.chooseFileRect.x), Scaled(f.chooseFileRect.y),
                             Scaled(f.chooseFileRect.width), Scaled(f.chooseFileRect.height));
  }
  chooseFile_->setText(ToQString(f.chooseFileText));
  chooseFile_->setVisible(f.chooseFileShown);
  chooseFile_->setEnabled(f.chooseFileShown);

  ShowControl(res::id::kRingArea, f.ringShown);
  ShowControl(res::id::kPercentage, f.ringShown);
  // The percentage over the ring's background in a colour that reads on
  // it, whatever the theme.
  const QColor percentColour = QColor::fromRgbF(ring_->theme().text.r, ring_->theme().text.g,
                                                ring_->theme().text.b);
  if (percent_->palette().color(QPalette::WindowText) != percentColour) {
    QPalette pp = percent_->palette();
    pp.setColor(QPalette::WindowText, percentColour);
    percent_->setPalette(pp);
  }
  if (f.ringShown) percent_->raise();
  ring_->SetValue(f.ringValue, ToQString(f.ringValueText));
  Place(res::id::kProgressMessage, f.progressMessageRect);
  ShowControl(res::id::kProgressMessage, f.progressMessageShown);
  phaseLine_->setGeometry(Scaled(f.phaseLineRect.x), Scaled(f.phaseLineRect.y),
                          Scaled(f.phaseLineRect.width), Scaled(f.phaseLineRect.height));
  phaseLine_->setVisible(f.phaseLineShown);

  if (f.progressRange > 0) {
    progressBar_->setRange(0, static_cast<int>(std::min<std::uint32_t>(f.progressRange, INT32_MAX)));
    progressBar_->setValue(static_cast<int>(std::min(f.progressPosition, f.progressRange)));
  }
  SetActionControlsEnabled(f.actionControlsEnabled);
  UpdateControls();
  if (f.focus == kChooseFileControlId) chooseFile_->setFocus();
  else if (f.focus != 0) {
    if (QWidget* w = control(f.focus)) w->setFocus();
  }
}

void MainWindow::OnUpdateClicked() {
  UpdateMembers();
  Apply(core_.UpdateClicked());
}

void MainWindow::StartUpdate() {
  UpdateMembers();
  Apply(core_.Confirmed());
}

void MainWindow::RequestAutoUpdate() {
  UpdateMembers();
  Apply(core_.RequestAutoUpdate());
}

bool MainWindow::event(QEvent* e) {
  if (e->type() == NotifyEvent::type()) {
    const auto* n = static_cast<NotifyEvent*>(e);
    UpdateMembers();
    Apply(core_.Notification(n->code(), n->value()));
    return true;
  }
  return QWidget::event(e);
}

void MainWindow::OnRingTimer() {
  timer2_.stop();
  if (const std::optional<int> percent = core_.RingTimer()) {
    core_.RingStepDrawn(*percent, ring_->DrawStep(*percent));
  }
  Render();
}

// -------------------------------------------------------- data exchange --

void MainWindow::Announce(QWidget* w) {
  // Screen readers speak a changed name of a shown label.
  if (!w->isVisible()) return;
  QAccessibleEvent event(w, QAccessible::NameChanged);
  lumavix::Announce(&event);
}

void MainWindow::UpdateControls() {
  auto set = [this](QLabel* label, const QString& text) {
    if (label->text() == text) return;
    label->setText(text);
    Announce(label);
  };
  // A text shortened to fit keeps its whole form as the tooltip.
  auto setFitted = [&](QLabel* label, const std::u16string& text) {
    const QString shown = FittedText(label, text, label->width());
    const QString whole = ToQString(text);
    label->setToolTip(shown == whole ? QString() : whole);
    set(label, shown);
  };
  core_.Refresh();
  const WindowFrame& f = core_.frame();
  setFitted(status_, f.statusText);
  static_cast<QLabel*>(control(res::id::kFirmwarePath))->setText(ToQString(f.firmwarePath));
  if (f.progressView) {
    setFitted(progressMessage_, f.progressMessage);
    set(phaseLine_, ToQString(f.phaseLine));
  }
  static_cast<QLabel*>(control(res::id::kByteCount))->setText(ToQString(f.byteCountText));
  static_cast<QLabel*>(control(res::id::kSeconds))->setText(ToQString(f.secondsText));
  percent_->setText(ToQString(f.percentText));
  static_cast<QLabel*>(control(res::id::kBackendPath))
      ->setText(ToQString(tables_.backendPath()));
  static_cast<QLabel*>(control(res::id::kSensorPath))
      ->setText(ToQString(tables_.sensorPath()));
  dumpFlag_->setChecked(core_.flow().dumpFlag);
  if (page_) page_->ShowFields();
}

void MainWindow::UpdateMembers() {
  tables_.backendAddress() = backendAddr_->text().toStdString();
  tables_.sensorAddress() = sensorAddr_->text().toStdString();
  core_.flow().dumpFlag = dumpFlag_->isChecked();
  if (page_) page_->TakeFields();
}

// ------------------------------------------------------- paint, close --

void MainWindow::paintEvent(QPaintEvent* e) {
  if (isMinimized()) {
    // Some window managers still paint a minimised window (as a thumbnail):
    // the icon centred on an erased background.
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    const int icon = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    const QPixmap pm = CameraIconPixmap(icon, devicePixelRatioF());
    p.drawPixmap((width() - icon + 1) / 2, (height() - icon + 1) / 2, pm);
    return;
  }
  QWidget::paintEvent(e);
}

void MainWindow::closeEvent(QCloseEvent* e) {
  const WindowEffects effects = core_.CloseRequested();
  Render();
  if (effects.closeWindow) e->accept();
  else e->ignore();
}

void MainWindow::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Escape:
      // Closes unless an update runs; then the close says why not.
      close();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
      UpdateMembers();
      const WindowEffects effects =
          core_.KeyReturn(chooseFile_->hasFocus() ? kChooseFileControlId : 0);
      if (effects.showConfirmation || effects.openFileDialog) {
        Apply(effects);
        return;
      }
      break;
    }
    default:
      break;
  }
  QWidget::keyPressEvent(e);
}

namespace {

// The local files among the dragged ones.
std::vector<std::string> DroppedFiles(const QMimeData* mime) {
  std::vector<std::string> files;
  if (!mime || !mime->hasUrls()) return files;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
  }
  return files;
}

}  // namespace

void MainWindow::dragEnterEvent(QDragEnterEvent* e) {
  if (!core_.FirmwareDropPath(DroppedFiles(e->mimeData())).empty()) {
    e->acceptProposedAction();
    return;
  }
  e->ignore();
}

void MainWindow::dropEvent(QDropEvent* e) {
  const std::string path = core_.FirmwareDropPath(DroppedFiles(e->mimeData()));
  if (path.empty()) {
    e->ignore();
    return;
  }
  e->acceptProposedAction();
  SetFirmwareFile(path);
}

void MainWindow::SetFirmwareFile(const std::string& path) {
  UpdateMembers();
  Apply(core_.FirmwareChosen(path));
}

void MainWindow::ChooseFirmwareFile() {
  // The dialog is modal: passes wait until it is gone.
  core_.EnterModal();
  const QString path = QFileDialog::getOpenFileName(
      this, ToQString(core_.frame().chooseFileText), QDir::currentPath(),
      ToQString(FirmwareFileFilterName(core_.language())));
  Apply(core_.LeaveModal());
  if (path.isEmpty()) return;
  SetFirmwareFile(path.toStdString());
}

// -------------------------------------------------- engineering controls --

void MainWindow::SetStatus(const QString& text) {
  core_.watch().statusText = ToU16(text);
  status_->setText(text);
  status_->repaint();
}

void MainWindow::BrowseFirmware() {
  const QString path = QFileDialog::getOpenFileName(this, QString(), QDir::currentPath(),
                                                    QStringLiteral("Firmware File (*.bin)"));
  if (path.isEmpty()) return;
  UpdateMembers();
  core_.watch().firmwarePath.clear();
  UpdateControls();
  update();
  core_.watch().firmwarePath = path.toStdString();
  UpdateControls();
}

void MainWindow::BrowseTable(int id) {
  const QString filter = id == res::id::kBrowseTxt
                             ? QStringLiteral("Customer Txt File (*.txt)")
                             : QStringLiteral("Setting Bin or Txt (*.bin *.txt)");
  const QString path = QFileDialog::getOpenFileName(this, QString(), QDir::currentPath(), filter);
  if (path.isEmpty()) return;
  UpdateMembers();
  std::string& field =
      id == res::id::kSensorBrowse ? tables_.sensorPath() : tables_.backendPath();
  field.clear();
  UpdateControls();
  update();
  field = path.toStdString();
  UpdateControls();
}

void MainWindow::DownloadTables() {
  UpdateMembers();
  if (!core_.EngineeringActionAllowed(/*needsCamera=*/true)) return;
  tables_.Download();
  UpdateControls();
}

void MainWindow::MakeBinAndWriteTable() {
  UpdateMembers();
  if (!core_.EngineeringActionAllowed(/*needsCamera=*/true)) return;
  tables_.MakeBinAndWrite();
  UpdateControls();
}

void MainWindow::ReadUserDataFromPage() {
  if (!core_.EngineeringActionAllowed(/*needsCamera=*/false)) return;
  DeviceWatchState& watch = core_.watch();
  const UserDataOutcome o = ReadUserData(watch.deviceOpen, watch.page, watch.camera);
  if (o.status) watch.statusText = ToU16(QString::fromUtf8(o.status));
  if (page_) page_->ShowFields();
  UpdateControls();
}

void MainWindow::WriteUserDataFromPage() {
  if (!core_.EngineeringActionAllowed(/*needsCamera=*/false)) return;
  UpdateMembers();
  DeviceWatchState& watch = core_.watch();
  const UserDataOutcome o = WriteUserData(watch.deviceOpen, watch.page);
  if (o.status) watch.statusText = ToU16(QString::fromUtf8(o.status));
  if (page_) page_->ShowFields();
  UpdateControls();
}

}  // namespace lumavix
