// The main window's template: caption, size and controls in dialog units, in template order
// (which is also the tab order), with the ids the program's handlers use. A dialog unit is a
// quarter of the dialog font's average character width across and an eighth of its height
// down; app/dialog_units.h turns them into pixels.
#pragma once

inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDR_MAIN_ICON = 128;
inline constexpr int IDS_SOCKETS_INIT_FAILED = 103;

inline constexpr char kDialogCaption[] = "Tarovue";
inline constexpr int kDialogWidthDlu = 322;
inline constexpr int kDialogHeightDlu = 201;
inline constexpr char kDialogFontFamily[] = "MS Sans Serif";
inline constexpr int kDialogFontPoints = 8;

// String resource 103.
inline constexpr char kSocketsInitFailedText[] = "Fehler beim Initialisieren der Windows-Sockets.";

// Control ids.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;  // the template has no such control
inline constexpr int IDC_SEARCH = 1001;
inline constexpr int IDC_SERIAL_NUMBER = 1002;
inline constexpr int IDC_MODEL_NUMBER = 1003;
inline constexpr int IDC_MODEL_NAME = 1004;
inline constexpr int IDC_GUID = 1005;
inline constexpr int IDC_DEVICE_LIST = 1006;
inline constexpr int IDC_SHOW_SCALES = 1007;
inline constexpr int IDC_BEEP = 1008;
inline constexpr int IDC_MODEL_NAME_LABEL = 1009;
inline constexpr int IDC_MODEL_NUMBER_LABEL = 1010;
inline constexpr int IDC_SERIAL_NUMBER_LABEL = 1011;
inline constexpr int IDC_GUID_LABEL = 1012;
inline constexpr int IDC_PING = 1013;
inline constexpr int IDC_TELNET = 1014;
inline constexpr int IDC_BACKUP = 1015;

enum class ControlKind { kList, kLabel, kReadOnlyEdit, kButton, kDefaultButton, kCheckBox };

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* caption;      // '&' marks the mnemonic; a list's is its accessible name only
  int x, y, width, height;  // dialog units
  const char* object_name;  // how tests and style sheets find the control
};

inline constexpr ControlTemplate kMainDialogControls[] = {
    {IDC_DEVICE_LIST, ControlKind::kList, "Indicators", 7, 7, 308, 88, "deviceList"},
    {IDC_MODEL_NAME_LABEL, ControlKind::kLabel, "Model name", 7, 104, 40, 8, "modelNameLabel"},
    {IDC_MODEL_NAME, ControlKind::kReadOnlyEdit, "", 76, 102, 214, 13, "modelNameField"},
    {IDC_MODEL_NUMBER_LABEL, ControlKind::kLabel, "Model number", 7, 121, 46, 8,
     "modelNumberLabel"},
    {IDC_MODEL_NUMBER, ControlKind::kReadOnlyEdit, "", 76, 119, 214, 13, "modelNumberField"},
    {IDC_SERIAL_NUMBER_LABEL, ControlKind::kLabel, "Serial number", 7, 138, 44, 8,
     "serialNumberLabel"},
    {IDC_SERIAL_NUMBER, ControlKind::kReadOnlyEdit, "", 76, 136, 214, 13, "serialNumberField"},
    {IDC_GUID_LABEL, ControlKind::kLabel, "GUID", 7, 156, 44, 8, "guidLabel"},
    {IDC_GUID, ControlKind::kReadOnlyEdit, "", 76, 154, 214, 13, "guidField"},
    {IDC_SEARCH, ControlKind::kButton, "&Search", 7, 180, 50, 14, "searchButton"},
    {IDC_SHOW_SCALES, ControlKind::kButton, "Show Scales", 65, 181, 48, 13, "showScalesButton"},
    {IDC_BEEP, ControlKind::kCheckBox, "Beep", 7, 166, 33, 13, "beepBox"},
    {IDOK, ControlKind::kDefaultButton, "&Open", 265, 180, 50, 14, "openButton"},
    {IDC_PING, ControlKind::kButton, "Ping", 135, 181, 48, 13, "pingButton"},
    {IDC_TELNET, ControlKind::kButton, "&Telnet", 192, 181, 31, 13, "telnetButton"},
    {IDC_BACKUP, ControlKind::kButton, "&Backup", 227, 181, 31, 13, "backupButton"},
};
