// Timers by id, as a window system offers them: SetTimer starts or restarts the timer with
// that id, KillTimer stops it, and each tick calls the owner's handler with the id. A tick
// that falls due while the loop is busy is delivered once, later; ticks never pile up.
#pragma once

#include <QObject>
#include <functional>
#include <map>

class TimerHost {
 public:
  virtual ~TimerHost() = default;
  virtual void SetTimer(int id, int period_ms) = 0;
  virtual void KillTimer(int id) = 0;
};

class TimerTable final : public QObject, public TimerHost {
  Q_OBJECT

 public:
  explicit TimerTable(std::function<void(int id)> on_timer);
  ~TimerTable() override;
  TimerTable(const TimerTable&) = delete;
  TimerTable& operator=(const TimerTable&) = delete;

  void SetTimer(int id, int period_ms) override;
  void KillTimer(int id) override;

 protected:
  void timerEvent(QTimerEvent* event) override;

 private:
  std::function<void(int)> m_on_timer;
  std::map<int, int> m_by_id;  // our id -> Qt's timer id
};
