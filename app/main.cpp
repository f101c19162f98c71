// tarovue: finds weighing indicators on the local network and opens them.
#include <QApplication>
#include <string>

#include "app/main_app.h"
#include "platform/trace.h"
#include "version.h"

int main(int argc, char** argv) {
  InstallRawTraceOutput();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarovue"));
  QApplication::setApplicationVersion(QStringLiteral(TAROVUE_VERSION));
  QApplication::setOrganizationName(QStringLiteral("Velmorant"));
  // Lets Wayland compositors find the installed desktop entry and its icon for the window.
  QGuiApplication::setDesktopFileName(QStringLiteral(TAROVUE_APP_ID));

  std::string command_line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) command_line += ' ';
    command_line += argv[i];
  }
  CMainApp app(command_line);
  app.InitInstance();
  return 0;
}
