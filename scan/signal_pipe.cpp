#include "scan/signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <iterator>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};
int g_write = -1;
struct sigaction g_previous[std::size(kSignals)];

void OnSignal(int signal_number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  // A full pipe already holds a wake-up; losing this byte loses nothing.
  [[maybe_unused]] const ssize_t written = write(g_write, &byte, 1);
  errno = saved;
}

}  // namespace

SignalPipe::SignalPipe(Handler handler) : m_handler(std::move(handler)) {
  int fds[2];
  if (g_write >= 0 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  m_read = fds[0];
  g_write = fds[1];
  m_notifier = std::make_unique<QSocketNotifier>(m_read, QSocketNotifier::Read);
  QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &action, &g_previous[i]);
  }
}

SignalPipe::~SignalPipe() {
  if (m_read < 0) return;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &g_previous[i], nullptr);
  }
  m_notifier.reset();
  close(m_read);
  close(g_write);
  g_write = -1;
}

void SignalPipe::Drain() {
  unsigned char bytes[16];
  const ssize_t count = read(m_read, bytes, sizeof bytes);
  for (ssize_t i = 0; i < count; ++i) m_handler(bytes[i]);
}
