// CMainDialog: the program's one window. It lays out the template's controls, owns the device
// list and the discovery session (both SSDP sockets, the search burst, the registry and its
// timers), receives every accepted datagram as the session's listener, and runs the per-device
// commands on the selected row. Each row's DeviceRecord is freed when the dialog goes.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QRect>
#include <functional>
#include <map>
#include <memory>

#include "app/anchor_layout.h"
#include "app/list_rows.h"
#include "devices/discovery_session.h"
#include "ui/report_list_ctrl.h"

class QCheckBox;
class Shell;

// What the dialog needs from its surroundings; tests replace parts of it.
struct DialogServices {
  SessionServices session;  // the dialog fills in beep_ticked and report_error
  Shell* shell = nullptr;   // the desktop when null
  // Shows a start-up failure and ends the process with status 1.
  std::function<void(const char* text)> fatal;
};

class CMainDialog : public QDialog, public SsdpListener {
  Q_OBJECT

 public:
  explicit CMainDialog(bool all_commands, DialogServices services = {}, QWidget* parent = nullptr);
  ~CMainDialog() override;
  CMainDialog(const CMainDialog&) = delete;
  CMainDialog& operator=(const CMainDialog&) = delete;

  // Start-up: lays out the controls, opens both sockets, starts a search and the expiry
  // sweep. A failure after the controls exist goes to the fatal handler; returns false then.
  bool OnInitDialog();
  // OnInitDialog, then the modal run; returns the run's result.
  int DoModal();

  // A datagram accepted by either socket.
  void OnReceive(char* text, uint32_t address) override;
  void OnTimer(int id);

  // Commands.
  void OnSearch();
  void OnOK();
  void OnPing();
  void OnTelnet();
  void OnBackup();
  void OnShowScales();
  void OnItemChanged();
  void OnDoubleClick(const QPoint& position);

  // The record of the selected row, or nullptr.
  [[nodiscard]] DeviceRecord* GetSelectedDevice() const;
  // The child control with this template id, or nullptr.
  [[nodiscard]] QWidget* GetDlgItem(int id) const;
  [[nodiscard]] CReportListCtrl& DeviceList() { return *m_device_list; }
  [[nodiscard]] DiscoverySession& Session() { return m_session; }
  [[nodiscard]] const AnchorLayout& Layout() const { return m_layout; }
  [[nodiscard]] QRect InitialClientRect() const { return m_initial_client_rect; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  // Enter and the default button open the selected device; they never close the window.
  void accept() override { OnOK(); }

 private:
  void CreateControls();
  void AnchorControl(int id, uint32_t flags);
  void EnableItem(int id, bool enable);
  // A failure the operator must hear about: a receive error, or a telnet that cannot start.
  void ShowWarning(const char* text);
  // The device's page address from its description; empty when it has none.
  [[nodiscard]] std::string PageAddress(const DeviceRecord& record) const;

  CReportListCtrl* m_device_list;  // owned by the dialog as its child
  QIcon m_icon;
  ListRows m_rows;
  DialogServices m_services;
  std::unique_ptr<Shell> m_own_shell;
  std::unique_ptr<ToneGenerator> m_own_tones;
  Shell* m_shell;
  DiscoverySession m_session;
  bool m_all_commands;
  AnchorLayout m_layout;
  QRect m_initial_client_rect;
  std::map<int, QWidget*> m_items;
  QCheckBox* m_beep = nullptr;
  bool m_initialised = false;
};
