// The Qt main window: every control of template 102 in its place, rendering
// what the window-free core (main_window_core.h) decides after each event:
// device changes folded by timer 1, the confirmation, the worker's posted
// notifications, ring steps on timer 2, close and keys. The hidden
// engineering controls work on the core's state. This class takes no
// decision of its own; it lays out, binds and draws.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <QTimer>
#include <QWidget>

#include "app/core/device_watch.h"
#include "app/core/main_window_core.h"
#include "app/core/texts.h"
#include "app/core/update_flow.h"
#include "app/qt/qt_bridge.h"
#include "app/qt/setting_tables_panel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace lumavix {

class AppPlatform;
class ConfirmDialog;
class DeviceMonitor;
class RingWidget;
class UserDataPageWidget;

class MainWindow final : public QWidget {
 public:
  // `watchDevices`: listen to udev for device changes (off when simulating).
  MainWindow(AppPlatform& platform, bool watchDevices, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The window's initialisation: language, model name, title, hidden
  // controls, the first device-watch pass, the address fields; then centres
  // the window on the screen.
  void Initialise();

  // The device-change notification: (re)arms timer 1.
  void OnDeviceChange();
  // The firmware file the user chose (file dialog, drop, command line): the
  // passes take it instead of searching the working directory, with the same
  // checks. Runs a pass at once unless an update runs.
  void SetFirmwareFile(const std::string& path);
  // The user's Downloads folder, searched when the working directory holds
  // no usable firmware file; before Initialise. Unset: not searched.
  void SetDownloadsFolder(std::string folder) { downloadsFolder_ = std::move(folder); }
  // The choose-file button's action: the file dialog, filtered to *.bin.
  void ChooseFirmwareFile();
  // The Update button's action and the confirmation's OK.
  void OnUpdateClicked();
  void StartUpdate();
  // --auto-update (MainWindowCore::RequestAutoUpdate).
  void RequestAutoUpdate();

  [[nodiscard]] ConfirmDialog& confirmDialog() { return *confirm_; }
  [[nodiscard]] QWidget* control(int id) const;
  // Whether an update run is between its start and its terminal notification.
  [[nodiscard]] bool updateRunning() const { return core_.UpdateRunning(); }
  // Device-watch passes that ran to an outcome (deferred ones do not count).
  [[nodiscard]] int passCount() const { return core_.passCount(); }
  // `frame` with each shown text's place grown to hold it whole, and the
  // texts with a run too wide for a line shortened in its middle: what the
  // window lays out and shows.
  [[nodiscard]] WindowFrame FitFrame(const WindowFrame& frame);

 protected:
  bool event(QEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void moveEvent(QMoveEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  void CreateControls();
  // Carries out what the core asked for after an event, rendering the frame.
  void Apply(const WindowEffects& effects);
  void Render();
  // Shortens the runs of `text` too wide for a label like `label`, `width96`
  // wide, and gives the height at 96 dpi the text then needs there.
  [[nodiscard]] int NeededHeight(const QLabel* label, std::u16string& text, int width96);
  void OnRingTimer();
  void SetActionControlsEnabled(bool enable);
  void SetOuterSize(const PixelSize& size96);
  void ApplyOuterSize();
  void Place(int id, const PixelRect& rect96);
  void ShowControl(int id, bool shown);
  [[nodiscard]] int Dpi() const;
  [[nodiscard]] int Scaled(int v) const;

  // The window's data exchange: members to controls and back.
  void UpdateControls();
  void UpdateMembers();

  // Engineering controls.
  void BrowseFirmware();
  void BrowseTable(int id);
  void DownloadTables();
  void MakeBinAndWriteTable();
  void ReadUserDataFromPage();
  void WriteUserDataFromPage();
  void SetStatus(const QString& text);
  void Announce(QWidget* w);

  AppPlatform& platform_;
  MainWindowCore core_;
  SettingTablesPanel tables_;
  EventNotifyTarget notify_;
  MessageBoxPrompter prompter_;

  std::map<int, QWidget*> controls_;
  QLabel* status_ = nullptr;
  QPushButton* update_ = nullptr;
  RingWidget* ring_ = nullptr;
  QLabel* percent_ = nullptr;
  QLabel* progressMessage_ = nullptr;
  QLabel* link_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLineEdit* backendAddr_ = nullptr;
  QLineEdit* sensorAddr_ = nullptr;
  QCheckBox* dumpFlag_ = nullptr;
  QLabel* phaseLine_ = nullptr;    // under the ring: the phase and time left
  QPushButton* chooseFile_ = nullptr;
  QLabel* probe_ = nullptr;  // measures texts, never shown

  ConfirmDialog* confirm_ = nullptr;
  UserDataPageWidget* page_ = nullptr;
  DeviceMonitor* monitor_ = nullptr;
  QTimer timer1_;  // folds device changes into one pass
  std::string downloadsFolder_;
  QTimer timer2_;  // one ring step when idle
  QTimer progressTimer_;  // the time left, recomputed while a run goes on

  QSize outerTarget_;          // the outer size the layout asks for
  QSize lastFrame_;            // frame size last used to derive the client size
};

}  // namespace lumavix
