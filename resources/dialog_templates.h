// The window layouts as data: every control of the main window (template
// 102), the confirmation dialog (template 140) and the engineering user-data
// page (template 134), with its id, kind, place and size in dialog units,
// template text and whether the template shows it.
//
// Dialog units follow the templates' font, 11-point text at 96 dpi, whose
// base units are 8 x 20 pixels: one horizontal unit is 2 pixels, one vertical
// unit 2.5 pixels (DluToPixelsX/Y, rounded like the platform's MulDiv).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace lumavix::resources {

enum class ControlKind : std::uint8_t {
  Static,          // text, left-aligned
  StaticCentred,   // text, centred
  StaticRight,     // text, right-aligned
  OwnerDrawn,      // drawn by the window (the ring area)
  Link,            // link control showing one anchor
  PushButton,
  DefaultButton,   // push button that is the default
  ProgressBar,     // with border
  Edit,            // bordered, horizontal scroll
  CheckBox,        // auto check box
  GroupBox,
  Icon,
};

struct ControlTemplate {
  int id;
  ControlKind kind;
  int x, y, width, height;  // dialog units
  const char* text;         // template text; "" for none
  bool visible;             // shown in the template
};

inline constexpr int kBaseUnitX = 8;
inline constexpr int kBaseUnitY = 20;

// MulDiv(v, base, 4 or 8): rounded half away from zero.
[[nodiscard]] constexpr int MulDivRound(int v, int mul, int div) {
  const long long p = static_cast<long long>(v) * mul;
  return static_cast<int>(p >= 0 ? (p + div / 2) / div : -((-p + div / 2) / div));
}
[[nodiscard]] constexpr int DluToPixelsX(int dlu) { return MulDivRound(dlu, kBaseUnitX, 4); }
[[nodiscard]] constexpr int DluToPixelsY(int dlu) { return MulDivRound(dlu, kBaseUnitY, 8); }

// ---------------------------------------------------- main window (102) --

inline constexpr const char* kMainTemplateTitle = "Kesh_Download_Tools";
inline constexpr int kMainTemplateWidth = 319;   // dialog units
inline constexpr int kMainTemplateHeight = 344;
inline constexpr const char* kTemplateFontFamily = "Segoe UI";
inline constexpr int kTemplateFontPoints = 11;

namespace id {
inline constexpr int kBrowse = 1000;
inline constexpr int kUpdate = 1001;
inline constexpr int kProgressBar = 1002;
inline constexpr int kBackendBrowse = 1003;
inline constexpr int kStatus = 1004;
inline constexpr int kFirmwarePathLabel = 1005;
inline constexpr int kByteCount = 1006;
inline constexpr int kSeconds = 1007;
inline constexpr int kFirmwarePath = 1008;
inline constexpr int kBackendPath = 1009;
inline constexpr int kBackendPathLabel = 1010;
inline constexpr int kSettingDownload = 1011;
inline constexpr int kBackendAddrLabel = 1012;
inline constexpr int kBackendAddr = 1013;
inline constexpr int kSensorPath = 1014;
inline constexpr int kBrowseTxt = 1015;
inline constexpr int kTxtMakeBin = 1016;
inline constexpr int kSensorPathLabel = 1017;
inline constexpr int kSensorAddrLabel = 1018;
inline constexpr int kDumpFlag = 1019;
inline constexpr int kSensorAddr = 1020;
inline constexpr int kSensorBrowse = 1021;
inline constexpr int kPageAnchor = 1022;
inline constexpr int kPercentage = 1043;
inline constexpr int kRingArea = 1044;
inline constexpr int kProgressMessage = 1045;
inline constexpr int kLink = 1060;
// Confirmation dialog.
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;
inline constexpr int kConfirmIcon = 1046;
inline constexpr int kConfirmHeading = 1047;
inline constexpr int kConfirmWarning = 1048;
}  // namespace id

using K = ControlKind;

inline constexpr std::array<ControlTemplate, 27> kMainWindowControls = {{
    {id::kStatus, K::StaticCentred, 16, 15, 165, 24, "Status Message", true},
    {id::kUpdate, K::PushButton, 76, 36, 70, 10, "Update", false},
    {id::kRingArea, K::OwnerDrawn, 49, 7, 101, 69, "", false},
    {id::kPercentage, K::StaticCentred, 62, 32, 62, 18, "0 %", false},
    {id::kProgressMessage, K::StaticCentred, 13, 80, 169, 33, "", false},
    {id::kLink, K::Link, 7, 7, 60, 14, "", false},
    {id::kBrowse, K::DefaultButton, 210, 73, 50, 10, "Browse", true},
    {id::kProgressBar, K::ProgressBar, 7, 178, 307, 10, "", false},
    {id::kFirmwarePathLabel, K::Static, 7, 65, 73, 8, "Firmware File Path :", false},
    {id::kFirmwarePath, K::Static, 7, 73, 200, 10, "Bin File Path", false},
    {id::kByteCount, K::StaticRight, 118, 63, 50, 8, "0 Bytes", false},
    {id::kSeconds, K::StaticRight, 260, 63, 50, 8, "0 secs", false},
    {id::kBackendPathLabel, K::Static, 7, 129, 117, 8, "Backend  Path :", false},
    {id::kBackendPath, K::Static, 7, 139, 200, 10, "Backend setting file path", false},
    {id::kBackendBrowse, K::DefaultButton, 210, 139, 50, 10, "Browse", false},
    {id::kSettingDownload, K::PushButton, 262, 139, 50, 10, "Download", false},
    {id::kBackendAddrLabel, K::Static, 130, 126, 36, 12, "Addr(Hex):", false},
    {id::kBackendAddr, K::Edit, 167, 126, 40, 12, "", false},
    {id::kSensorPathLabel, K::Static, 7, 154, 120, 8, "SensorSetting Path :", false},
    {id::kSensorPath, K::Static, 7, 164, 200, 10, "SensorSetting File Path", false},
    {id::kBrowseTxt, K::PushButton, 210, 149, 50, 10, "Browse Txt", false},
    {id::kTxtMakeBin, K::PushButton, 262, 149, 50, 10, "Txt Make Bin", false},
    {id::kSensorAddrLabel, K::Static, 129, 150, 36, 12, "Addr(Hex):", false},
    {id::kSensorAddr, K::Edit, 166, 150, 40, 12, "", false},
    {id::kSensorBrowse, K::DefaultButton, 210, 164, 50, 10, "Browse", false},
    {id::kPageAnchor, K::Static, 7, 209, 305, 116, "This is child dlg anchor!", true},
    {id::kDumpFlag, K::CheckBox, 7, 327, 80, 10, "Dump bin file", true},
}};

// Hidden by the window's initialisation although the template shows some.
inline constexpr std::array<int, 11> kHiddenAtInitialisation = {
    id::kBrowse,     id::kBackendBrowse, id::kSettingDownload, id::kSensorBrowse,
    id::kBackendPathLabel, id::kBackendAddrLabel, id::kBackendAddr, id::kSensorAddrLabel,
    id::kSensorAddr, id::kDumpFlag,      id::kLink};

inline constexpr const char* kBackendAddrDefault = "11000";
inline constexpr const char* kSensorAddrDefault = "12000";

// --------------------------------------------- confirmation dialog (140) --

inline constexpr int kConfirmTemplateWidth = 172;
inline constexpr int kConfirmTemplateHeight = 111;
inline constexpr int kConfirmIconPixels = 96;  // icon 142 is loaded at this size
inline constexpr int kConfirmHeadingPoints = 13;

inline constexpr std::array<ControlTemplate, 5> kConfirmControls = {{
    {id::kConfirmIcon, K::Icon, 66, 10, 20, 20, "", true},
    {id::kConfirmHeading, K::StaticCentred, 16, 47, 137, 11, "", true},
    {id::kConfirmWarning, K::StaticCentred, 13, 59, 143, 27, "", true},
    {id::kCancel, K::PushButton, 20, 86, 50, 14, "", true},
    {id::kOk, K::DefaultButton, 101, 86, 50, 14, "", true},
}};

// --------------------------------------------------- user-data page (134) --

inline constexpr int kPageTemplateWidth = 321;
inline constexpr int kPageTemplateHeight = 230;

// The page's controls: labels name their field; the places are the page's
// own grid (two columns of labelled edits, the UVC group below).
inline constexpr std::array<ControlTemplate, 43> kUserDataPageControls = {{
    {1024, K::Static, 7, 4, 307, 10, "", true},
    {0, K::Static, 7, 18, 60, 10, "Target :", true},
    {1101, K::Edit, 70, 17, 80, 12, "", true},
    {0, K::Static, 165, 18, 60, 10, "FW Version :", true},
    {1128, K::Edit, 228, 17, 80, 12, "", true},
    {0, K::Static, 7, 33, 60, 10, "VendorID(HEX) :", true},
    {1103, K::Edit, 70, 32, 80, 12, "", true},
    {0, K::Static, 165, 33, 60, 10, "ProductID(HEX):", true},
    {1104, K::Edit, 228, 32, 80, 12, "", true},
    {0, K::Static, 7, 48, 60, 10, "Vendor String :", true},
    {1110, K::Edit, 70, 47, 238, 12, "", true},
    {0, K::Static, 7, 63, 60, 10, "Product String :", true},
    {1111, K::Edit, 70, 62, 238, 12, "", true},
    {0, K::Static, 7, 78, 60, 10, "Serial Number :", true},
    {1112, K::Edit, 70, 77, 238, 12, "", true},
    {1113, K::GroupBox, 7, 92, 150, 30, "RGB Gains", true},
    {1114, K::Static, 12, 105, 12, 10, "R:", true},
    {1117, K::Edit, 24, 104, 24, 12, "", true},
    {1115, K::Static, 56, 105, 12, 10, "G:", true},
    {1118, K::Edit, 68, 104, 24, 12, "", true},
    {1116, K::Static, 100, 105, 12, 10, "B:", true},
    {1119, K::Edit, 112, 104, 24, 12, "", true},
    {1122, K::GroupBox, 165, 92, 143, 30, "AE", true},
    {1120, K::Static, 172, 105, 50, 10, "AE Target :", true},
    {1121, K::Edit, 228, 104, 30, 12, "", true},
    {1041, K::GroupBox, 7, 125, 301, 72, "UVC Prop default value", true},
    {1027, K::Static, 12, 138, 90, 10, "Brightness(00 - FF):", true},
    {1033, K::Edit, 104, 137, 40, 12, "", true},
    {1028, K::Static, 160, 138, 90, 10, "Contrast(00 - 3F):", true},
    {1034, K::Edit, 252, 137, 40, 12, "", true},
    {1029, K::Static, 12, 153, 90, 10, "Hue(00 - 7F):", true},
    {1035, K::Edit, 104, 152, 40, 12, "", true},
    {1030, K::Static, 160, 153, 90, 10, "Saturation(00 - 3F):", true},
    {1036, K::Edit, 252, 152, 40, 12, "", true},
    {1031, K::Static, 12, 168, 90, 10, "Sharpness(00 - 0F):", true},
    {1037, K::Edit, 104, 167, 40, 12, "", true},
    {1032, K::Static, 160, 168, 90, 10, "Gamma(00 - 3F):", true},
    {1038, K::Edit, 252, 167, 40, 12, "", true},
    {1042, K::Static, 12, 183, 90, 10, "Gain(00 - FF):", true},
    {1043, K::Edit, 104, 182, 40, 12, "", true},
    {1025, K::PushButton, 7, 205, 50, 14, "Read", true},
    {1026, K::PushButton, 62, 205, 50, 14, "Write", true},
    {1019, K::CheckBox, 125, 207, 150, 10, "Auto write after FW download", true},
}};

}  // namespace lumavix::resources
