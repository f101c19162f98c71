// Turns SIGINT and SIGTERM into a call on the event loop's thread: the handler only writes
// the signal's number into a pipe, whose read end the loop watches. Only one may exist at a
// time; it installs its handlers when created and restores the previous ones when destroyed.
// When the pipe cannot be made, the signals keep their previous handling.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

class SignalPipe final {
 public:
  using Handler = std::function<void(int signal_number)>;

  explicit SignalPipe(Handler handler);
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

 private:
  void Drain();

  Handler m_handler;
  int m_read = -1;
  std::unique_ptr<QSocketNotifier> m_notifier;
};
