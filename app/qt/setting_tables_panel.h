// The window's side of the setting-table download (the hidden engineering
// controls): the path and address fields and the operations on them, kept
// in a unit of their own so that the window's other code does not depend on
// the table module's declarations.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace lumavix {

class Prompter;
struct SettingTableFields;

class SettingTablesPanel {
 public:
  SettingTablesPanel();
  ~SettingTablesPanel();
  SettingTablesPanel(const SettingTablesPanel&) = delete;
  SettingTablesPanel& operator=(const SettingTablesPanel&) = delete;

  [[nodiscard]] std::string& backendPath();
  [[nodiscard]] std::string& sensorPath();
  [[nodiscard]] std::string& backendAddress();
  [[nodiscard]] std::string& sensorAddress();

  // Where the operations report: the window's status text (shown at once)
  // and its message boxes.
  void SetUi(std::function<void(std::string_view)> status, Prompter* prompter);

  // The default addresses for the chip type and the default table files of
  // the working directory.
  void FindDefaultFiles(int cameraChipType);
  // "Download": the backend table, then the sensor table.
  void Download();
  // "Txt Make Bin": converts the backend text and writes it.
  void MakeBinAndWrite();

 private:
  std::unique_ptr<SettingTableFields> fields_;
  std::function<void(std::string_view)> status_;
  Prompter* prompter_ = nullptr;
};

}  // namespace lumavix
