// Runs the Qt event loop in tests until a condition holds, with a bound.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>
#include <thread>

// Processes events until `done` returns true (true) or `limit_ms` pass (false).
inline bool RunUntil(const std::function<bool()>& done, int limit_ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limit_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Processes events for `ms` milliseconds.
inline void RunFor(int ms) {
  RunUntil([] { return false; }, ms);
}
