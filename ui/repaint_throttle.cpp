#include "ui/repaint_throttle.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

RepaintThrottle::RepaintThrottle(QWidget* window, int interval_ms)
    : QObject(window), m_window(window), m_interval_ms(interval_ms) {
  m_release.setSingleShot(true);
  connect(&m_release, &QTimer::timeout, this, &RepaintThrottle::ReleaseWhenDue);
  // A blocking call paints by processing events without timers; the dispatcher's wake-up
  // is what still comes then.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    connect(dispatcher, &QAbstractEventDispatcher::awake, this, &RepaintThrottle::ReleaseWhenDue);
  }
  window->installEventFilter(this);
}

bool RepaintThrottle::eventFilter(QObject* watched, QEvent* event) {
  if (watched != m_window || event->type() != QEvent::UpdateRequest) return false;
  const qint64 since = m_since_paint.isValid() ? m_since_paint.elapsed() : m_interval_ms;
  if (since < m_interval_ms) {
    m_held = true;
    if (!m_release.isActive()) m_release.start(static_cast<int>(m_interval_ms - since));
    return true;
  }
  m_held = false;
  m_since_paint.start();
  return false;
}

void RepaintThrottle::ReleaseWhenDue() {
  if (!m_held) return;
  const qint64 since = m_since_paint.elapsed();
  if (since < m_interval_ms) {
    if (!m_release.isActive()) m_release.start(static_cast<int>(m_interval_ms - since));
    return;
  }
  m_held = false;
  QCoreApplication::postEvent(m_window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}
