#include "app/qt/setting_tables_panel.h"

#include "settings/tables.h"

namespace lumavix {

SettingTablesPanel::SettingTablesPanel() : fields_(std::make_unique<SettingTableFields>()) {}
SettingTablesPanel::~SettingTablesPanel() = default;

std::string& SettingTablesPanel::backendPath() { return fields_->backendSettingPath; }
std::string& SettingTablesPanel::sensorPath() { return fields_->sensorSettingPath; }
std::string& SettingTablesPanel::backendAddress() { return fields_->backendAddress; }
std::string& SettingTablesPanel::sensorAddress() { return fields_->sensorAddress; }

void SettingTablesPanel::SetUi(std::function<void(std::string_view)> status,
                               Prompter* prompter) {
  status_ = std::move(status);
  prompter_ = prompter;
}

void SettingTablesPanel::FindDefaultFiles(int cameraChipType) {
  FindSettingTableFiles(*fields_, cameraChipType);
}

void SettingTablesPanel::Download() {
  SettingTableUi ui;
  ui.status = status_;
  ui.prompter = prompter_;
  (void)DownloadSettingTables(*fields_, ui);
}

void SettingTablesPanel::MakeBinAndWrite() {
  SettingTableUi ui;
  ui.status = status_;
  ui.prompter = prompter_;
  (void)lumavix::MakeBinAndWrite(*fields_, ui);
}

}  // namespace lumavix
