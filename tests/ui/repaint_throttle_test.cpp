// A flood of changes is painted at most once per interval, the last change always reaches the
// screen, and a blocking call's painting (events without timers) releases a held repaint too.
#include "ui/repaint_throttle.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPainter>
#include <QTest>
#include <QWidget>
#include <thread>

namespace {

constexpr int kIntervalMs = 100;

// Paints the number it was last given, and remembers what it painted.
class Counter : public QWidget {
 public:
  int value = 0;
  int painted_value = -1;
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter(this).drawText(rect(), Qt::AlignCenter, QString::number(value));
    painted_value = value;
    ++paints;
  }
};

class RepaintThrottleTest : public testing::Test {
 protected:
  void SetUp() override {
    m_window.resize(120, 40);
    m_throttle = new RepaintThrottle(&m_window, kIntervalMs);
    m_window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_window));
    QTest::qWait(2 * kIntervalMs);  // the first paints are over and the interval has passed
  }

  // Changes the number and asks for a repaint, as a model change does.
  void Change() {
    ++m_window.value;
    m_window.update();
  }

  // Processes events the way a blocking call does while it waits, for `ms`.
  static void WaitLikeABlockingCall(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                      QEventLoop::ExcludeSocketNotifiers |
                                      QEventLoop::X11ExcludeTimers);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  Counter m_window;
  RepaintThrottle* m_throttle = nullptr;
};

TEST_F(RepaintThrottleTest, AChangeAfterAQuietSpellIsPaintedAtOnce) {
  const int before = m_window.paints;
  Change();
  QCoreApplication::processEvents();
  EXPECT_EQ(m_window.paints, before + 1);
  EXPECT_EQ(m_window.painted_value, m_window.value);
}

TEST_F(RepaintThrottleTest, AFloodIsPaintedOncePerIntervalAndEndsWithTheLastChange) {
  const int before = m_window.paints;
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < 10 * kIntervalMs) {
    Change();
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const int during = m_window.paints - before;
  EXPECT_GE(during, 3);
  EXPECT_LE(during, 12) << "about one paint per interval, not one per change";

  ASSERT_TRUE(
      QTest::qWaitFor([&] { return m_window.painted_value == m_window.value; }, 20 * kIntervalMs));
}

TEST_F(RepaintThrottleTest, AHeldRepaintIsReleasedWhileABlockingCallWaits) {
  Change();
  QCoreApplication::processEvents();  // painted at once
  Change();
  QCoreApplication::processEvents();  // held: too soon after the last paint
  ASSERT_NE(m_window.painted_value, m_window.value);

  WaitLikeABlockingCall(4 * kIntervalMs);
  EXPECT_EQ(m_window.painted_value, m_window.value);
}

TEST_F(RepaintThrottleTest, NothingHeldMeansNoExtraPaints) {
  const int before = m_window.paints;
  QTest::qWait(4 * kIntervalMs);
  WaitLikeABlockingCall(2 * kIntervalMs);
  EXPECT_EQ(m_window.paints, before);
}

}  // namespace
