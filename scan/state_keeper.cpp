#include "scan/state_keeper.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "formats/safe_text.h"
#include "formats/state_file.h"
#include "platform/atomic_file.h"
#include "platform/error_text.h"

StateKeeper::StateKeeper(std::string path, std::function<std::string()> document, std::FILE* err)
    : m_path(std::move(path)), m_document(std::move(document)), m_err(err) {
  m_delay.setSingleShot(true);
  QObject::connect(&m_delay, &QTimer::timeout, [this] { Save(); });
  m_saver = std::make_unique<FileSaver>(
      [this](const std::string& path, bool ok, AtomicWriteFailure failure) {
        if (ok) return;
        std::fprintf(m_err, "tarovue-scan: cannot save the state to %s: %s\n",
                     TerminalText(path).c_str(), ErrorText(failure.error));
      });
}

bool StateKeeper::Load(std::vector<DeviceSnapshot>& devices, std::string& error) {
  devices.clear();
  error.clear();
  // Months of watching must not end in a state that could never be written.
  if (AtomicWriteFailure failure; !CanWriteAtomically(m_path, failure)) {
    error = failure.creating
                ? "--state: cannot write files in " + TerminalText(DirectoryOf(m_path)) + ": " +
                      ErrorText(failure.error)
                : "--state: cannot save the state to " + TerminalText(m_path) + ": " +
                      ErrorText(failure.error);
    return false;
  }

  QFile file(QFile::decodeName(m_path.c_str()));
  if (!file.exists()) return true;
  if (!file.open(QIODevice::ReadOnly)) {
    SetAside("cannot be read: " + file.errorString().toStdString());
    return true;
  }
  const QByteArray bytes = file.readAll();
  std::string why;
  if (!ReadStateDocument(
          std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), devices,
          why)) {
    SetAside("is " + why);
  }
  return true;
}

void StateKeeper::SetAside(const std::string& why) {
  // The first free name: a link never replaces a file, so no earlier .bad is lost.
  std::string aside = m_path + ".bad";
  for (int n = 1; link(m_path.c_str(), aside.c_str()) != 0; ++n) {
    if (errno != EEXIST || n > 1000) {
      std::fprintf(m_err,
                   "tarovue-scan: the state file %s %s; it cannot be kept aside (%s), "
                   "and the watch starts empty without it\n",
                   TerminalText(m_path).c_str(), TerminalText(why).c_str(), ErrorText(errno));
      return;
    }
    aside = m_path + ".bad." + std::to_string(n);
  }
  unlink(m_path.c_str());
  std::fprintf(m_err, "tarovue-scan: the state file %s %s; kept as %s, starting empty\n",
               TerminalText(m_path).c_str(), TerminalText(why).c_str(),
               TerminalText(aside).c_str());
}

void StateKeeper::Changed() {
  if (!m_delay.isActive()) m_delay.start(kStateSaveDelayMs);
}

void StateKeeper::Save() {
  m_saver->Save(m_path, m_document(), kStateMode);
}

void StateKeeper::SaveNow() {
  m_delay.stop();
  // The saver's results are handed back through the event loop, which has ended: this last
  // write is waited for here, after any still under way.
  m_saver->Flush();
  AtomicWriteFailure failure;
  if (!WriteFileAtomically(m_path, m_document(), kStateMode, failure)) {
    std::fprintf(m_err, "tarovue-scan: cannot save the state to %s: %s\n",
                 TerminalText(m_path).c_str(), ErrorText(failure.error));
  }
}
