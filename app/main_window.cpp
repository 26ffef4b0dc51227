#include "app/main_window.h"

#include <algorithm>

#include <QAccessible>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
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

#include "app/app_platform.h"
#include "app/confirm_dialog.h"
#include "app/device_monitor.h"
#include "app/icons.h"
#include "app/ring.h"
#include "app/user_data_page.h"
#include "resources/dialog_templates.h"

namespace lumavix {

namespace res = resources;

MainWindow::MainWindow(AppPlatform& platform, bool watchDevices, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      platform_(platform),
      flow_(UpdateFlowSwitches{},
            UpdateFlowHooks{[this]() -> const char* {
                              // Chained after a successful download when the
                              // build switches it on.
                              tables_.FindDefaultFiles(watch_.camera.cameraChipType);
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
    RunDeviceWatch();
    UpdateControls();
  });
  timer2_.setSingleShot(true);
  timer2_.setInterval(0);
  connect(&timer2_, &QTimer::timeout, this, [this] { OnRingTimer(); });

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

bool MainWindow::updateRunning() const { return flow_.running() || WorkerRunning(); }

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
        // The clicked address is opened by the desktop's handler for it;
        // nothing goes through a shell.
        connect(l, &QLabel::linkActivated, this,
                [](const QString& href) { QDesktopServices::openUrl(QUrl(href)); });
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
  connect(chooseFile_, &QPushButton::clicked, this, [this] { ChooseFirmwareFile(); });

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
  watch_.deviceOpen = 0;
  UpdateControls();

  lang_ = LanguageFromEnvironment();
  SetUiLanguage(lang_);
  toolModelName_ = ModelName(ToolVariant);
  windowTitle_ = WindowTitle(lang_, ToolVariant);
  // The title from the start, whatever the first pass finds.
  setWindowTitle(ToQString(windowTitle_));
  update_->setText(ToQString(StatusText(lang_, 6)));
  chooseFile_->setText(ToQString(ChooseFileButtonText(lang_)));
  ring_->setAccessibleName(ToQString(RingAccessibleName(lang_)));
  percent_->setAccessibleName(ToQString(RingAccessibleName(lang_)));
  confirm_->SetTexts(lang_, toolModelName_);

  for (int id : res::kHiddenAtInitialisation) ShowControl(id, false);

  if (EnableUserDataPage) {
    QWidget* anchor = control(res::id::kPageAnchor);
    page_ = new UserDataPageWidget(watch_.page, this);
    page_->setGeometry(anchor->geometry());
    page_->SetOnRead([this] { ReadUserDataFromPage(); });
    page_->SetOnWrite([this] { WriteUserDataFromPage(); });
    page_->show();
    watch_.page.created = true;
  }

  RunDeviceWatch();

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
  update_->setFocus();
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

// ------------------------------------------------------- device watch --

void MainWindow::OnDeviceChange() { timer1_.start(); }

void MainWindow::RunDeviceWatch() {
  // A message box inside a pass runs its own event loop; a pass asked for
  // meanwhile runs after this one.
  if (inPass_) {
    passPending_ = true;
    return;
  }
  // The pass closes and reopens the library, which the update worker uses:
  // it waits for the worker's terminal notification.
  if (updateRunning()) {
    passPending_ = true;
    return;
  }
  inPass_ = true;
  UpdateMembers();

  DeviceWatchConfig cfg;
  cfg.language = lang_;
  cfg.directory = QDir::currentPath().toStdString();
  cfg.firmwareFile = chosenFile_;
  cfg.fileProblemsInWindow = true;
  cfg.updateInProgress = flow_.running();

  if (page_) watch_.page.SetControlsEnabled(false);
  SetActionControlsEnabled(false);
  const DeviceWatchResult r = EvaluateDeviceWatch(watch_, cfg);
  if (r.outcome == WatchOutcome::Deferred) {
    inPass_ = false;
    passPending_ = true;
    // Only the worker's thread is still finishing; look again shortly.
    if (!flow_.running()) timer1_.start();
    return;
  }
  ++passCount_;
  ring_->Reset();
  percentText_.clear();
  PresentationView view = r.view;
  if (failurePending_) {
    // The failed run's view: what happened, whether the camera may be
    // unplugged, what to do now that the pass has seen the camera again.
    view = ComposeFailureView(r.view, lang_, failureKind_, failureDetail_);
    watch_.statusText = view.statusText;
    failurePending_ = false;
  }

  if (r.endConfirmation && confirm_->isVisible()) confirm_->done(0);
  ApplyPresentation(view);
  if (page_) page_->ShowFields();
  UpdateControls();

  if (r.messageBox) {
    ShowMessage(this, r.messageCaption ? r.messageCaption : kAppCaption, r.messageBox);
  }
  if (r.setWindowTitle) setWindowTitle(ToQString(r.windowTitle));
  if (r.outcome == WatchOutcome::Presented) SetActionControlsEnabled(r.view.controlsEnabled);

  inPass_ = false;
  if (passPending_) {
    passPending_ = false;
    timer1_.start();
  }
}

void MainWindow::ApplyPresentation(const PresentationView& v) {
  Place(res::id::kStatus, v.statusRect);
  ShowControl(res::id::kUpdate, false);
  SetOuterSize(v.windowSize);
  ShowControl(res::id::kStatus, true);
  ShowControl(res::id::kRingArea, false);
  ShowControl(res::id::kPercentage, false);
  ShowControl(res::id::kProgressMessage, false);
  ShowControl(res::id::kLink, false);

  if (v.linkShown) {
    Place(res::id::kLink, v.linkRect);
    link_->setText(ToQString(v.linkMarkup));
  }
  ShowControl(res::id::kLink, v.linkShown);
  if (v.updateButtonRect.width > 0) {
    Place(res::id::kUpdate, v.updateButtonRect);
  } else {
    const res::ControlTemplate& t = *std::find_if(
        std::begin(res::kMainWindowControls), std::end(res::kMainWindowControls),
        [](const res::ControlTemplate& c) { return c.id == res::id::kUpdate; });
    update_->setGeometry(Scaled(res::DluToPixelsX(t.x)), Scaled(res::DluToPixelsY(t.y)),
                         Scaled(res::DluToPixelsX(t.width)), Scaled(res::DluToPixelsY(t.height)));
  }
  ShowControl(res::id::kUpdate, v.updateButtonShown);
  phaseLine_->setVisible(false);
  if (v.chooseFileShown) {
    chooseFile_->setGeometry(Scaled(v.chooseFileRect.x), Scaled(v.chooseFileRect.y),
                             Scaled(v.chooseFileRect.width), Scaled(v.chooseFileRect.height));
  }
  chooseFile_->setVisible(v.chooseFileShown);
  chooseFile_->setEnabled(v.chooseFileShown);
  if (v.chooseFileShown) chooseFile_->setFocus();
  else if (v.updateButtonShown) update_->setFocus();
}

// -------------------------------------------------------- update flow --

void MainWindow::OnUpdateClicked() {
  UpdateMembers();
  confirm_->exec();
}

void MainWindow::ApplyProgressLayout() {
  SetOuterSize(kProgressWindowSize);
  ShowControl(res::id::kStatus, false);
  ShowControl(res::id::kUpdate, false);
  ShowControl(res::id::kRingArea, true);
  ShowControl(res::id::kPercentage, true);
  ShowControl(res::id::kProgressMessage, true);
  ShowControl(res::id::kLink, false);
  chooseFile_->setVisible(false);
  phaseLine_->setVisible(true);
  phaseLine_->clear();
  Place(res::id::kProgressMessage, kProgressMessageRect);
  phaseLine_->setGeometry(Scaled(kPhaseLineRect.x), Scaled(kPhaseLineRect.y),
                          Scaled(kPhaseLineRect.width), Scaled(kPhaseLineRect.height));
  percent_->raise();
  progressMessage_->setText(ToQString(StatusText(lang_, 15)));
}

void MainWindow::StartUpdate() {
  UpdateMembers();
  // The progress view is up before the engine's own start checks can show
  // their message boxes over it.
  ApplyProgressLayout();
  const StartResult result = flow_.StartUpdate(watch_, lang_, &notify_, &prompter_);
  if (result == StartResult::Started) ring_->BeginPass(RingPassColour(flow_.view().phase));
  if (result == StartResult::Started || result == StartResult::EngineRefused) {
    SetActionControlsEnabled(false);
    if (page_) page_->ShowFields();
  }
  ApplyFlowView();
  UpdateControls();
  if (const char* box = flow_.view().messageBox) {
    ShowMessage(this, kAppCaption, box);
    flow_.view().messageBox = nullptr;
  }
  // Nothing runs after a refused start (the reason was shown in a box):
  // back to a status view instead of an empty progress view with a ring
  // that never moves.
  if (result != StartResult::Started) RunDeviceWatch();
}

void MainWindow::ApplyFlowView() {
  const UpdateView& v = flow_.view();
  if (v.progressRange > 0) {
    progressBar_->setRange(0, static_cast<int>(std::min<std::uint32_t>(v.progressRange, INT32_MAX)));
    progressBar_->setValue(static_cast<int>(std::min(v.progressPosition, v.progressRange)));
  }
  if (v.progressView && ring_->isVisible()) {
    SetOuterSize(v.windowSize);
    Place(res::id::kProgressMessage, v.progressMessageRect);
    phaseLine_->setGeometry(Scaled(v.phaseLineRect.x), Scaled(v.phaseLineRect.y),
                            Scaled(v.phaseLineRect.width), Scaled(v.phaseLineRect.height));
  }
}

void MainWindow::ApplyPhase(const NotifyEffect& effect) {
  // Each phase is one pass of the ring, over the last one in its colour.
  if (effect.phaseChanged) ring_->BeginPass(RingPassColour(flow_.view().phase));
  if (effect.phaseChanged || effect.phaseStep) timer2_.start();
}

bool MainWindow::event(QEvent* e) {
  if (e->type() == NotifyEvent::type()) {
    const auto* n = static_cast<NotifyEvent*>(e);
    OnNotification(n->code(), n->value());
    return true;
  }
  return QWidget::event(e);
}

void MainWindow::OnNotification(std::uint32_t code, std::uint32_t value) {
  UpdateMembers();
  const NotifyEffect effect = flow_.HandleNotification(watch_, lang_, code, value);
  ApplyFlowView();
  ApplyPhase(effect);
  if (effect.completed) {
    SetActionControlsEnabled(flow_.view().actionControlsEnabled);
    if (page_) page_->ShowFields();
  }
  UpdateControls();
  // A failed run leaves the progress view: the next pass (as soon as the
  // worker's thread has ended) shows the camera as it is now, with the
  // failure above it, and enables what that presentation offers, such as
  // Update for another try. Without it the window would stay on the ring
  // with nothing running until the camera is replugged.
  const bool failed =
      effect.terminal && !flow_.completed() && !is_success(Notification{code, value});
  if (failed) {
    failurePending_ = true;
    failureKind_ = flow_.view().failure;
    failureDetail_ = ToUtf8(watch_.statusText);
    passPending_ = true;
  }
  // Device changes seen during the run get their pass now; it waits itself
  // (timer 1) while the worker's thread is still ending.
  if (effect.terminal && passPending_) {
    passPending_ = false;
    timer1_.start();
  }
}

void MainWindow::OnRingTimer() {
  timer2_.stop();
  // The phase's percentage: the same as the writing's before any run
  // (the flow then has no phase) and while writing.
  const std::int32_t percent = flow_.view().phasePercent;
  if (percent <= 100 && ring_->DrawStep(percent)) {
    percentText_ = QString("%1%").arg(percent);
    ring_->SetValue(percent);
  }
  flow_.RingStepDrawn();
  UpdateControls();
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
  set(status_, ToQString(watch_.statusText));
  static_cast<QLabel*>(control(res::id::kFirmwarePath))->setText(ToQString(watch_.firmwarePath));
  const UpdateView& v = flow_.view();
  if (v.progressView) {
    std::u16string message = v.progressMessage;
    if (!v.closeNotice.empty()) message += u"\n\n" + v.closeNotice;
    set(progressMessage_, ToQString(message));
    set(phaseLine_, ToQString(v.phaseLine));
  }
  static_cast<QLabel*>(control(res::id::kByteCount))->setText(ToQString(v.byteCountText));
  static_cast<QLabel*>(control(res::id::kSeconds))->setText(ToQString(v.secondsText));
  percent_->setText(percentText_);
  static_cast<QLabel*>(control(res::id::kBackendPath))
      ->setText(ToQString(tables_.backendPath()));
  static_cast<QLabel*>(control(res::id::kSensorPath))
      ->setText(ToQString(tables_.sensorPath()));
  dumpFlag_->setChecked(flow_.dumpFlag);
}

void MainWindow::UpdateMembers() {
  tables_.backendAddress() = backendAddr_->text().toStdString();
  tables_.sensorAddress() = sensorAddr_->text().toStdString();
  flow_.dumpFlag = dumpFlag_->isChecked();
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
  // Ending the process under a running worker would leave the camera's
  // flash half written; the window stays until the run has ended, and says
  // why.
  if (!flow_.CloseAllowed(lang_, updateRunning())) {
    e->ignore();
    ApplyFlowView();
    UpdateControls();
    return;
  }
  e->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Escape:
      // Closes unless an update runs; then the close says why not.
      close();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (update_->isVisible() && update_->isEnabled() && !updateRunning()) {
        OnUpdateClicked();
        return;
      }
      break;
    default:
      break;
  }
  QWidget::keyPressEvent(e);
}

namespace {

// The first local *.bin file among the dragged ones, or empty.
QString DroppedFirmware(const QMimeData* mime) {
  if (!mime || !mime->hasUrls()) return {};
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile() && url.toLocalFile().endsWith(".bin", Qt::CaseInsensitive))
      return url.toLocalFile();
  }
  return {};
}

}  // namespace

void MainWindow::dragEnterEvent(QDragEnterEvent* e) {
  if (!updateRunning() && !DroppedFirmware(e->mimeData()).isEmpty()) {
    e->acceptProposedAction();
    return;
  }
  e->ignore();
}

void MainWindow::dropEvent(QDropEvent* e) {
  const QString path = DroppedFirmware(e->mimeData());
  if (path.isEmpty() || updateRunning()) {
    e->ignore();
    return;
  }
  e->acceptProposedAction();
  SetFirmwareFile(path.toStdString());
}

void MainWindow::SetFirmwareFile(const std::string& path) {
  chosenFile_ = path;
  if (!isVisible() && passCount_ == 0) return;  // the first pass takes it
  RunDeviceWatch();
  UpdateControls();
}

void MainWindow::ChooseFirmwareFile() {
  const QString path = QFileDialog::getOpenFileName(
      this, ToQString(ChooseFileButtonText(lang_)), QDir::currentPath(),
      QStringLiteral("Firmware File (*.bin)"));
  if (path.isEmpty()) return;
  SetFirmwareFile(path.toStdString());
}

// -------------------------------------------------- engineering controls --

void MainWindow::SetStatus(const QString& text) {
  watch_.statusText = ToU16(text);
  status_->setText(text);
  status_->repaint();
}

void MainWindow::BrowseFirmware() {
  const QString path = QFileDialog::getOpenFileName(this, QString(), QDir::currentPath(),
                                                    QStringLiteral("Firmware File (*.bin)"));
  if (path.isEmpty()) return;
  UpdateMembers();
  watch_.firmwarePath.clear();
  UpdateControls();
  update();
  watch_.firmwarePath = path.toStdString();
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
  if (!watch_.deviceOpen || updateRunning()) return;
  tables_.Download();
  UpdateControls();
}

void MainWindow::MakeBinAndWriteTable() {
  UpdateMembers();
  if (!watch_.deviceOpen || updateRunning()) return;
  tables_.MakeBinAndWrite();
  UpdateControls();
}

void MainWindow::ReadUserDataFromPage() {
  if (updateRunning()) return;
  const UserDataOutcome o = ReadUserData(watch_.deviceOpen, watch_.page, watch_.camera);
  if (o.status) watch_.statusText = ToU16(QString::fromUtf8(o.status));
  if (page_) page_->ShowFields();
  UpdateControls();
}

void MainWindow::WriteUserDataFromPage() {
  if (updateRunning()) return;
  UpdateMembers();
  const UserDataOutcome o = WriteUserData(watch_.deviceOpen, watch_.page);
  if (o.status) watch_.statusText = ToU16(QString::fromUtf8(o.status));
  if (page_) page_->ShowFields();
  UpdateControls();
}

}  // namespace lumavix
