// The dialog as a user starts it, with a probe for scripts/bench: a timer that should tick
// every 10 ms. Timers wait exactly as input does (both are held while a handler blocks, both
// get their turn once the loop runs), so a late tick is a stretch in which a click would have
// waited: each one over 20 ms is traced as "probe: waited N ms".
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <string>

#include "app/main_app.h"
#include "platform/trace.h"

namespace {

constexpr int kProbePeriodMs = 10;
constexpr qint64 kReportedWaitMs = 20;

}  // namespace

int main(int argc, char** argv) {
  InstallRawTraceOutput();
  QApplication application(argc, argv);
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    if (now - last > kReportedWaitMs) Trace("probe: waited %lld ms", now - last);
    last = now;
  });
  probe.start(kProbePeriodMs);
  std::string command_line;
  for (int i = 0; i < argc; ++i) command_line += std::string(i > 0 ? " " : "") + argv[i];
  CMainApp app(command_line);
  app.InitInstance();
  return 0;
}
