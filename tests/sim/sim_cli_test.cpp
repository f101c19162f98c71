// The simulator's command line as a user meets it: help, version, refusals with exit status
// 2, and the choice of address. Even these runs happen in a private network, so that a
// fault that lets the simulator start cannot reach the host's network.
#include <algorithm>

#include "tests/sim/sim_harness.h"

using simtest::SimPath;
using simtest::SimTest;

namespace {

int RunSim(testnet::PrivateNetwork& net, std::vector<std::string> args, std::string& output) {
  args.insert(args.begin(), SimPath());
  pid_t pid = net.Spawn(testnet::Side::kDevices, args);
  int status = net.Wait(pid, 5000);
  if (status < 0) status = net.Stop(pid);
  output = net.Output(pid);
  return status;
}

}  // namespace

TEST_F(SimTest, HelpAndVersion) {
  std::string out;
  EXPECT_EQ(RunSim(net, {"--version"}, out), 0);
  EXPECT_NE(out.find("1.0.0.0"), std::string::npos) << out;
  EXPECT_EQ(RunSim(net, {"--help"}, out), 0);
  for (const char* option :
       {"--devices", "--address", "--http-port", "--max-age", "--notify-interval", "--mx-delay",
        "--pad-response", "--cache-control", "--spread", "--http-delay", "--http-jitter", "--hung",
        "--boot-id", "--config-id", "--planned-reboot"}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }
}

TEST_F(SimTest, BadArgumentsExitWithStatusTwoAndOneLine) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--devices", "none"},
                                        {"--bogus"},
                                        {"--address", "1.2.3"},
                                        {"--spread"},
                                        {"--planned-reboot"},
                                        {"--hung", "4"}}) {
    SCOPED_TRACE(args[0]);
    std::string out;
    EXPECT_EQ(RunSim(net, args, out), 2);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(out.rfind("tarovue-sim: ", 0), 0u) << out;
  }
}

TEST_F(SimTest, AddressIsPickedOnlyWhenThereIsOne) {
  pid_t pid = net.Spawn(testnet::Side::kDevices, {SimPath(), "--devices", "1"});
  ASSERT_TRUE(net.WaitForOutput(pid, "ready:", 5000)) << net.Output(pid);
  EXPECT_NE(net.Output(pid).find(" on " + DevicesAddress() + ","), std::string::npos);
  EXPECT_EQ(net.Stop(pid), 0);

  pid_t add = net.Spawn(testnet::Side::kDevices, {"ip", "addr", "add", "10.231.250.9/24", "dev",
                                                  net.Interface(testnet::Side::kDevices)});
  ASSERT_EQ(net.Wait(add, 5000), 0) << net.Output(add);
  std::string out;
  EXPECT_EQ(RunSim(net, {"--devices", "1"}, out), 2);
  EXPECT_NE(out.find("--address"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST_F(SimTest, AddressNotOnThisHostFailsToStart) {
  std::string out;
  EXPECT_EQ(RunSim(net, {"--address", "10.231.251.1"}, out), 1);
  EXPECT_NE(out.find("tarovue-sim: "), std::string::npos) << out;
}
