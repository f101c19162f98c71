#include "app/main_dialog.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <cstdio>
#include <cstdlib>

#include "app/dialog_units.h"
#include "devices/description_fields.h"
#include "platform/alsa_tones.h"
#include "platform/trace.h"
#include "res/app_icon.h"
#include "res/dialog_template.h"
#include "ssdp/ssdp_protocol.h"
#include "ui/device_string.h"
#include "ui/repaint_throttle.h"
#include "ui/scales_page.h"
#include "ui/shell.h"

namespace {

// The ping page answer is read and dropped; the device only has to see the request.
constexpr uint32_t kPingBufferSize = 1024;
// Least time between two repaints of the window while devices answer in a flood.
constexpr int kRepaintIntervalMs = 30;

QString ProgramName() {
  return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void ShowFatalAndExit(const char* text) {
  QMessageBox box(QMessageBox::NoIcon, ProgramName(), QString::fromUtf8(text), QMessageBox::Ok);
  box.exec();
  std::exit(1);
}

// Detail fields and the description element each one shows, in the order they are filled.
struct DetailField {
  int id;
  DescriptionField field;
};
constexpr DetailField kDetailFields[] = {
    {IDC_MODEL_NAME, DescriptionField::kModelName},
    {IDC_MODEL_NUMBER, DescriptionField::kModelNumber},
    {IDC_SERIAL_NUMBER, DescriptionField::kSerialNumber},
    {IDC_GUID, DescriptionField::kGuid},
};

}  // namespace

CMainDialog::CMainDialog(bool all_commands, DialogServices services, QWidget* parent)
    : QDialog(parent),
      m_device_list(new CReportListCtrl(this)),
      m_icon(AppIcon()),
      m_rows(*m_device_list),
      m_services(std::move(services)),
      m_own_shell(m_services.shell
                      ? nullptr
                      : std::make_unique<DesktopShell>(
                            [this](const std::string& text) { ShowWarning(text.c_str()); })),
      m_shell(m_services.shell ? m_services.shell : m_own_shell.get()),
      m_session(m_rows,
                [this] {
                  SessionServices session = m_services.session;
                  if (session.tones == nullptr) {
                    m_own_tones = std::make_unique<AlsaTones>();
                    session.tones = m_own_tones.get();
                  }
                  session.beep_ticked = [this] { return m_beep && m_beep->isChecked(); };
                  session.report_error = [this](const char* text) { ShowWarning(text); };
                  session.on_timer = [this](int id) { OnTimer(id); };
                  return session;
                }()),
      m_all_commands(all_commands) {
  if (!m_services.fatal) m_services.fatal = ShowFatalAndExit;
  setWindowTitle(QString::fromLatin1(kDialogCaption));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  CreateControls();
  new RepaintThrottle(this, kRepaintIntervalMs);  // owned by the dialog
}

CMainDialog::~CMainDialog() {
  // Every row carries its record; the rows go with the list, the records go here.
  m_session.Registry().FreeAll();
}

void CMainDialog::CreateControls() {
  const QFont font = DialogFont();
  setFont(font);
  const DialogUnits units(font);
  for (const ControlTemplate& control : kMainDialogControls) {
    QWidget* widget = nullptr;
    const QString caption = QString::fromLatin1(control.caption);
    switch (control.kind) {
      case ControlKind::kList:
        // A list draws no caption; without a name a screen reader calls it just "tree".
        m_device_list->setAccessibleName(caption);
        widget = m_device_list;
        break;
      case ControlKind::kLabel:
        widget = new QLabel(caption, this);
        break;
      case ControlKind::kReadOnlyEdit: {
        auto* edit = new QLineEdit(this);
        edit->setReadOnly(true);
        widget = edit;
        break;
      }
      case ControlKind::kButton:
      case ControlKind::kDefaultButton: {
        auto* button = new QPushButton(caption, this);
        // A focused button is the default while it has the focus: Enter on Search searches,
        // Enter anywhere else opens.
        button->setAutoDefault(true);
        button->setDefault(control.kind == ControlKind::kDefaultButton);
        widget = button;
        break;
      }
      case ControlKind::kCheckBox:
        m_beep = new QCheckBox(caption, this);
        widget = m_beep;
        break;
    }
    widget->setObjectName(QString::fromLatin1(control.object_name));
    widget->setGeometry(units.Rect(control.x, control.y, control.width, control.height));
    m_items[control.id] = widget;
  }
  // Tab order is template order.
  for (std::size_t i = 1; i < std::size(kMainDialogControls); ++i) {
    setTabOrder(m_items[kMainDialogControls[i - 1].id], m_items[kMainDialogControls[i].id]);
  }
  // A label names the control that follows it in the template. As its buddy the field gets
  // the label's text as its accessible name and a labelled-by relation; the captions carry no
  // mnemonic, so nothing drawn and no key changes.
  for (std::size_t i = 1; i < std::size(kMainDialogControls); ++i) {
    if (kMainDialogControls[i - 1].kind == ControlKind::kLabel) {
      static_cast<QLabel*>(m_items[kMainDialogControls[i - 1].id])
          ->setBuddy(m_items[kMainDialogControls[i].id]);
    }
  }
  resize(units.X(kDialogWidthDlu), units.Y(kDialogHeightDlu));

  // The event table: each control's event and the handler it reaches.
  auto bind = [this](int id, void (CMainDialog::*handler)()) {
    connect(static_cast<QPushButton*>(m_items[id]), &QPushButton::clicked, this, handler);
  };
  bind(IDC_SEARCH, &CMainDialog::OnSearch);
  bind(IDC_SHOW_SCALES, &CMainDialog::OnShowScales);
  bind(IDC_PING, &CMainDialog::OnPing);
  bind(IDC_TELNET, &CMainDialog::OnTelnet);
  bind(IDC_BACKUP, &CMainDialog::OnBackup);
  bind(IDOK, &CMainDialog::OnOK);
  connect(m_device_list, &CListCtrl::ItemChanged, this, &CMainDialog::OnItemChanged);
  connect(m_device_list, &CListCtrl::DoubleClick, this, &CMainDialog::OnDoubleClick);
}

bool CMainDialog::OnInitDialog() {
  if (m_initialised) return true;
  m_initialised = true;
  if (!m_all_commands) {
    for (int id : {IDC_SHOW_SCALES, IDC_TELNET, IDC_BACKUP}) m_items[id]->hide();
  }
  m_initial_client_rect = rect();
  for (const auto& [id, flags] :
       std::initializer_list<std::pair<int, uint32_t>>{{IDC_DEVICE_LIST, 15},
                                                       {IDOK, 9},
                                                       {IDCANCEL, 9},
                                                       {IDC_SEARCH, 9},
                                                       {IDC_BEEP, 9},
                                                       {IDC_PING, 9},
                                                       {IDC_SHOW_SCALES, 9},
                                                       {IDC_BACKUP, 9},
                                                       {IDC_TELNET, 9},
                                                       {IDC_GUID, 11},
                                                       {IDC_MODEL_NUMBER, 11},
                                                       {IDC_MODEL_NAME, 11},
                                                       {IDC_SERIAL_NUMBER, 11},
                                                       {IDC_GUID_LABEL, 9},
                                                       {IDC_MODEL_NUMBER_LABEL, 9},
                                                       {IDC_MODEL_NAME_LABEL, 9},
                                                       {IDC_SERIAL_NUMBER_LABEL, 9}}) {
    AnchorControl(id, flags);
  }
  setMinimumSize(m_initial_client_rect.size());
  setWindowIcon(m_icon);
  m_device_list->SetupColumns(kDeviceListColumns, kDeviceListColumnCount);

  if (const char* failure = m_session.Open(this)) {
    m_services.fatal(failure);
    return false;
  }
  EnableItem(IDOK, false);
  OnSearch();
  m_session.StartExpiry();
  return true;
}

int CMainDialog::DoModal() {
  if (!OnInitDialog()) return QDialog::Rejected;
  return exec();
}

void CMainDialog::AnchorControl(int id, uint32_t flags) {
  if (QWidget* control = GetDlgItem(id)) m_layout.AddControl(control, flags);
}

QWidget* CMainDialog::GetDlgItem(int id) const {
  auto it = m_items.find(id);
  return it == m_items.end() ? nullptr : it->second;
}

void CMainDialog::EnableItem(int id, bool enable) {
  if (QWidget* item = GetDlgItem(id)) item->setEnabled(enable);
}

void CMainDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  m_layout.Reposition(this);
}

void CMainDialog::OnReceive(char* text, uint32_t address) {
  m_session.OnReceive(text, address);
}

void CMainDialog::OnTimer(int id) {
  m_session.OnTimer(id);
}

void CMainDialog::ShowWarning(const char* text) {
  QMessageBox box(QMessageBox::Warning, ProgramName(), QString::fromUtf8(text), QMessageBox::Ok,
                  this);
  box.exec();
}

void CMainDialog::OnSearch() {
  EnableItem(IDOK, false);
  m_session.Search();
}

DeviceRecord* CMainDialog::GetSelectedDevice() const {
  int row = m_device_list->GetFirstSelectedItem();
  return row < 0 ? nullptr : m_rows.RecordAt(row);
}

void CMainDialog::OnItemChanged() {
  // Runs once for every row that gets its record, so a flood of new devices must find the
  // panel already showing what it would write.
  DeviceRecord* record = GetSelectedDevice();
  for (int id : {IDOK, IDC_PING, IDC_TELNET, IDC_BACKUP}) EnableItem(id, record != nullptr);
  for (const DetailField& detail : kDetailFields) {
    auto* edit = static_cast<QLineEdit*>(GetDlgItem(detail.id));
    QString text = QStringLiteral("---");
    if (record != nullptr) {
      char value[kDescriptionFieldSize];
      ReadDescriptionField(*record, detail.field, value);
      text = DeviceString(value);
    }
    if (edit->text() != text) edit->setText(text);
  }
}

void CMainDialog::OnDoubleClick(const QPoint& position) {
  int column = 0;
  if (m_device_list->HitTestCell(position, &column) >= 0) OnOK();
}

std::string CMainDialog::PageAddress(const DeviceRecord& record) const {
  char url[kDescriptionFieldSize];
  ReadDescriptionField(record, DescriptionField::kPageUrl, url);
  return url;
}

void CMainDialog::OnOK() {
  if (DeviceRecord* record = GetSelectedDevice()) OpenWebAddress(*m_shell, PageAddress(*record));
}

void CMainDialog::OnPing() {
  DeviceRecord* record = GetSelectedDevice();
  if (record == nullptr) return;
  char url[64];
  std::snprintf(url, sizeof url, "http://%s/ping", record->address_text);
  char response[kPingBufferSize + 1];
  m_session.FetchUrl(response, kPingBufferSize, url);
}

void CMainDialog::OnTelnet() {
  if (DeviceRecord* record = GetSelectedDevice()) m_shell->StartTelnet(record->address_text);
}

void CMainDialog::OnBackup() {
  DeviceRecord* record = GetSelectedDevice();
  if (record == nullptr) return;
  const std::string page = PageAddress(*record);
  if (page.empty()) return;
  // Appending must not turn a page address that is none into one: "http://" would become
  // the host "backup.html".
  if (!IsWebAddress(page)) {
    Trace("OnBackup: the page address is no web address");
    return;
  }
  OpenWebAddress(*m_shell, BackupAddress(page));
}

void CMainDialog::OnShowScales() {
  ShowScales(m_rows, *m_shell);
}
