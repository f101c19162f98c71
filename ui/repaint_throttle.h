// Holds a window's repaints to one per interval while changes pour in, as they do when a
// thousand devices answer at once: a full repaint of the device list costs more than handling
// an answer. Qt keeps the changed areas meanwhile, so a held repaint loses nothing; it is
// painted when the interval has passed, also while a blocking call waits.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

class RepaintThrottle : public QObject {
 public:
  // Watches `window` (a top-level widget, which outlives the throttle).
  RepaintThrottle(QWidget* window, int interval_ms);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Asks for the held repaint once the interval since the last one has passed.
  void ReleaseWhenDue();

  QWidget* m_window;
  int m_interval_ms;
  QElapsedTimer m_since_paint;
  bool m_held = false;
  QTimer m_release;
};
