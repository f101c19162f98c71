// tarovue-sim: networked weighing indicators for tests and the demo.
#include <cstdio>
#include <string>

#include "sim/event_log.h"
#include "sim/sim_options.h"
#include "sim/simulator.h"

int main(int argc, char** argv) {
  sim::SimOptions options;
  std::string error;
  if (!sim::ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "tarovue-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(sim::UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::puts(TAROVUE_VERSION_LINE("tarovue-sim"));
    return 0;
  }
  std::string address = options.address;
  if (address.empty() && !sim::PickAddress(address, error)) {
    std::fprintf(stderr, "tarovue-sim: %s\n", error.c_str());
    return 2;
  }
  sim::Simulator simulator(options, address);
  if (!simulator.Start(error)) {
    std::fprintf(stderr, "tarovue-sim: %s\n", error.c_str());
    return 1;
  }
  simulator.Run();
  sim::LogLine("%s", simulator.CountsLine("summary").c_str());
  return 0;
}
