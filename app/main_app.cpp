#include "app/main_app.h"

#include <QMessageBox>

#include "app/main_dialog.h"
#include "platform/socket_library.h"
#include "res/dialog_template.h"

CMainApp::CMainApp(std::string command_line, std::function<bool()> start_sockets)
    : m_command_line(std::move(command_line)),
      m_start_sockets(start_sockets ? std::move(start_sockets) : StartSocketLibrary) {}

bool CMainApp::AllCommandsRequested(const std::string& command_line) {
  return command_line.find("/X") != std::string::npos;
}

bool CMainApp::InitInstance() {
  if (!m_start_sockets()) {
    QMessageBox box(QMessageBox::Warning, QString(), QString::fromUtf8(kSocketsInitFailedText),
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return false;
  }
  CMainDialog dialog(AllCommandsRequested(m_command_line));
  dialog.DoModal();
  return false;
}
