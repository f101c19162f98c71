// main() for widget tests that also send datagrams: the process first moves into a private
// network namespace (before any thread exists), then runs a QApplication on the offscreen
// platform.
#include <gtest/gtest.h>

#include <QApplication>

#include "tests/support/isolated_network.h"

int main(int argc, char** argv) {
  IsolateNetwork(nullptr);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
