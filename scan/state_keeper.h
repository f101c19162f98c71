// --state: a long watch's device table kept on disk, so that a restart does not forget an
// indicator that died meanwhile. The file is read once at start: a file that cannot be read
// or is not a state file is kept beside as FILE.bad (FILE.bad.1, ... when that exists; never
// overwritten) and the watch starts empty. Afterwards the table is written a few seconds
// after it changes, at most once in that while however much it churns, and at the end; the
// writing is a FileSaver's, off the event loop. Messages go to `err`.
#pragma once

#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devices/device_snapshot.h"
#include "platform/file_saver.h"

// A change is written this long after it, and no sooner after the last write.
inline constexpr int kStateSaveDelayMs = 3000;

class StateKeeper final {
 public:
  // `document` renders the file's contents at the moment of a write.
  StateKeeper(std::string path, std::function<std::string()> document, std::FILE* err);
  StateKeeper(const StateKeeper&) = delete;
  StateKeeper& operator=(const StateKeeper&) = delete;

  // Checks that the file's directory takes new files and reads what was kept into
  // `devices`. False with a one-line reason in `error` when the directory cannot be written
  // (the watch must not run for months without keeping anything); a bad file is no failure.
  bool Load(std::vector<DeviceSnapshot>& devices, std::string& error);
  // The table changed: written within kStateSaveDelayMs.
  void Changed();
  // Writes the table now and waits for the disk: the watch's end.
  void SaveNow();

 private:
  void Save();
  void SetAside(const std::string& why);

  std::string m_path;
  std::function<std::string()> m_document;
  std::FILE* m_err;
  QTimer m_delay;
  std::unique_ptr<FileSaver> m_saver;
};
