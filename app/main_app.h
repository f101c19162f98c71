// CMainApp: the whole life of the program. Starts the socket library, reads the one switch,
// runs the main window modally and ends when it closes.
#pragma once

#include <functional>
#include <string>

class CMainApp {
 public:
  // `command_line` is the whole command line, program path included.
  explicit CMainApp(std::string command_line, std::function<bool()> start_sockets = nullptr);

  // Runs the program. Returns false, so that the application ends when it returns.
  bool InitInstance();

  // Whether the command line asks for all commands ("/X" anywhere, case-sensitive).
  [[nodiscard]] static bool AllCommandsRequested(const std::string& command_line);

 private:
  std::string m_command_line;
  std::function<bool()> m_start_sockets;
};
