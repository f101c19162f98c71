#include "platform/timer_table.h"

#include <QTimerEvent>

TimerTable::TimerTable(std::function<void(int id)> on_timer) : m_on_timer(std::move(on_timer)) {}

TimerTable::~TimerTable() {
  for (const auto& [id, qt_id] : m_by_id) killTimer(qt_id);
}

void TimerTable::SetTimer(int id, int period_ms) {
  KillTimer(id);
  int qt_id = startTimer(period_ms, Qt::PreciseTimer);
  if (qt_id != 0) m_by_id[id] = qt_id;
}

void TimerTable::KillTimer(int id) {
  auto it = m_by_id.find(id);
  if (it == m_by_id.end()) return;
  killTimer(it->second);
  m_by_id.erase(it);
}

void TimerTable::timerEvent(QTimerEvent* event) {
  for (const auto& [id, qt_id] : m_by_id) {
    if (qt_id == event->timerId()) {
      m_on_timer(id);
      return;
    }
  }
}
