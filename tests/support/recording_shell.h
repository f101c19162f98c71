// A Shell that only remembers what it was asked to open, so that tests never start a browser,
// a file viewer or a terminal.
#pragma once

#include <string>
#include <vector>

#include "ui/shell.h"

class RecordingShell final : public Shell {
 public:
  void OpenUrl(const std::string& url) override { urls.push_back(url); }
  void OpenFile(const std::string& path) override { files.push_back(path); }
  void StartTelnet(const std::string& address) override { telnet_addresses.push_back(address); }

  // Whether no request of any kind was made.
  [[nodiscard]] bool Empty() const {
    return urls.empty() && files.empty() && telnet_addresses.empty();
  }

  std::vector<std::string> urls;              // OpenUrl arguments, in call order
  std::vector<std::string> files;             // OpenFile arguments, in call order
  std::vector<std::string> telnet_addresses;  // StartTelnet arguments, in call order
};
