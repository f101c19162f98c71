// A third-party SSDP client, GSSDP's resource browser (driven from Python through GObject
// introspection), finds every simulated device: the simulator speaks SSDP as others do,
// not only as Tarovue reads it.
#include <set>
#include <sstream>

#include "sim/sim_protocol.h"
#include "tests/sim/sim_harness.h"

using simtest::SimTest;

namespace {

constexpr const char kPython[] = "/usr/bin/python3";

}  // namespace

TEST_F(SimTest, GssdpResourceBrowserFindsEveryDevice) {
  pid_t probe = net.Spawn(testnet::Side::kClient, {kPython, "-c",
                                                   "import gi; gi.require_version('GSSDP', '1.6'); "
                                                   "from gi.repository import GSSDP"});
  if (probe < 0 || net.Wait(probe, 10000) != 0) {
    GTEST_SKIP() << "GSSDP for Python is missing (Debian packages python3-gi and "
                    "gir1.2-gssdp-1.6; scripts/install-deps installs them): "
                 << net.Output(probe);
  }
  StartSim({"--devices", "5"});
  pid_t browser = net.Spawn(testnet::Side::kClient,
                            {kPython, simtest::TestScript("gssdp_browse.py"),
                             net.Interface(testnet::Side::kClient), "2", sim::kDeviceType});
  ASSERT_GT(browser, 0);
  ASSERT_EQ(net.Wait(browser, 15000), 0) << net.Output(browser);

  std::set<std::string> usns;
  std::istringstream lines(net.Output(browser));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string event, usn, location;
    words >> event >> usn >> location;
    if (event != "available") continue;
    usns.insert(usn);
    EXPECT_EQ(location.rfind("http://" + DevicesAddress() + ":8080/dev/", 0), 0u) << line;
    EXPECT_EQ(usn.substr(usn.find("::") + 2), sim::kDeviceType) << line;
  }
  EXPECT_EQ(usns.size(), 5u) << net.Output(browser);
}
