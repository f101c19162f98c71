// The fleet agent's /metrics at scale: a device table of 1000 synthetic indicators with
// texts of realistic length, rendered as one scrape does (snapshot of the table, then the
// exposition). Prints one line for scripts/bench; no network, no event loop.
#include <chrono>
#include <cstdio>
#include <string>

#include "agent/exposition.h"
#include "devices/description_fields.h"
#include "devices/device_events.h"
#include "devices/device_record.h"
#include "devices/device_table.h"
#include "parse/text.h"

namespace {

constexpr int kDevices = 1000;
constexpr int kRounds = 20;

template <std::size_t N>
void Put(char (&field)[N], const std::string& text) {
  CopyText(field, text.c_str());
}

}  // namespace

int main() {
  DeviceTable table;
  DeviceRecord record;
  for (int i = 1; i <= kDevices; ++i) {
    const std::string n = std::to_string(i);
    const std::string address = "10.232." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    Put(record.usn, "uuid:5b0b1a2e-7c4d-4f1e-9a3b-" + std::string(12 - n.size(), '0') + n +
                        "::urn:velmorant-com:device:WeighingIndicator:1");
    Put(record.address_text, address);
    Put(record.host_name, "scale-" + n);
    Put(record.device_type, "WeighingIndicator");
    record.valid_until = 1900000000 + i;
    Put(record.description, std::string(kModelNameOpen) + "Tarovue T-200" + kModelNameClose +
                                kModelNumberOpen + "T200-" + n + kModelNumberClose +
                                kSerialNumberOpen + "SN" + n + kSerialNumberClose + kGuidOpen +
                                "5b0b1a2e-7c4d-4f1e-9a3b-" + n + kGuidClose + kPageUrlOpen +
                                "http://" + address + ":8080/" + kPageUrlClose);
    table.Apply({i % 7 == 0 ? DeviceEventKind::kLost : DeviceEventKind::kNew, 1800000000 + i,
                 DeviceView(record)});
  }
  DiscoveryCounters counters;
  for (int i = 0; i < kDevices; ++i) counters.CountFetch(FetchOutcome::kOk, 0.001 * (i % 50));

  std::size_t size = 0;
  double best_ms = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const std::string text = RenderMetrics(table.Devices(), counters, "1.0.0");
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (ms < best_ms) best_ms = ms;
    size = text.size();
  }
  const bool within = best_ms <= 50.0 && size <= 2u * 1024 * 1024;
  std::printf(
      "bench-metrics: devices=%d render=%.1fms size=%.0fKB (best of %d; %s 50 ms and "
      "2048 KB)\n",
      kDevices, best_ms, static_cast<double>(size) / 1024.0, kRounds, within ? "within" : "OVER");
  return 0;
}
