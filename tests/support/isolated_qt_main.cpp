// main() for tests that send datagrams: the process first moves into a private network
// namespace (before any thread exists), then runs a Qt event loop. Tests check
// NetworkIsolated() and skip when it failed.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "tests/support/isolated_network.h"

int main(int argc, char** argv) {
  IsolateNetwork(nullptr);
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
