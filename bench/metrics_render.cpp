// The fleet agent's /metrics at scale: device tables of 1000 and 10 000 synthetic indicators
// with texts of realistic length, rendered as one scrape does (snapshot of the table, then
// the exposition) and gzip-compressed as for Prometheus; then the process's resident memory
// while it holds 10 000 devices as the agent does (the session's records and the table's
// snapshots) and one answer of each kind. Prints one line for scripts/bench; no network, no
// event loop.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "agent/exposition.h"
#include "agent/gzip_encoding.h"
#include "devices/description_fields.h"
#include "devices/device_events.h"
#include "devices/device_record.h"
#include "devices/device_table.h"
#include "parse/text.h"

namespace {

constexpr int kRounds = 20;

template <std::size_t N>
void Put(char (&field)[N], const std::string& text) {
  CopyText(field, text.c_str());
}

// Device `i`'s record, as the session would keep it once its description was fetched.
DeviceRecord Record(int i) {
  DeviceRecord record;
  const std::string n = std::to_string(i);
  const std::string address = "10.232." + std::to_string(i / 256) + "." + std::to_string(i % 256);
  Put(record.usn, "uuid:5b0b1a2e-7c4d-4f1e-9a3b-" + std::string(12 - n.size(), '0') + n +
                      "::urn:velmorant-com:device:WeighingIndicator:1");
  Put(record.address_text, address);
  Put(record.host_name, "scale-" + n);
  Put(record.device_type, "WeighingIndicator");
  record.valid_until = 1900000000 + i;
  record.description = std::string(kModelNameOpen) + "Tarovue T-200" + kModelNameClose +
                       kModelNumberOpen + "T200-" + n + kModelNumberClose + kSerialNumberOpen +
                       "SN" + n + kSerialNumberClose + kGuidOpen + "5b0b1a2e-7c4d-4f1e-9a3b-" + n +
                       kGuidClose + kPageUrlOpen + "http://" + address + ":8080/" + kPageUrlClose;
  return record;
}

struct Scrape {
  double render_ms = 1e9;  // best of kRounds
  double gzip_ms = 1e9;
  std::size_t plain = 0;
  std::size_t packed = 0;
};

// Fills `table` (and `records`, which the session would hold) with `count` devices and
// measures what a scrape costs.
Scrape Measure(int count, DeviceTable& table, std::vector<DeviceRecord>& records) {
  records.reserve(static_cast<std::size_t>(count));
  for (int i = 1; i <= count; ++i) {
    records.push_back(Record(i));
    table.Apply({i % 7 == 0 ? DeviceEventKind::kLost : DeviceEventKind::kNew, 1800000000 + i,
                 DeviceView(records.back())});
  }
  DiscoveryCounters counters;
  for (int i = 0; i < count; ++i) counters.CountFetch(FetchOutcome::kOk, 0.001 * (i % 50));
  const HttpCounters http;

  Scrape scrape;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    std::string text = RenderMetrics(table.Devices(), counters, "1.0.0");
    text += RenderHttpMetrics(http);
    const auto rendered = std::chrono::steady_clock::now();
    std::string packed;
    GzipCompress(text, &packed);
    const auto end = std::chrono::steady_clock::now();
    scrape.render_ms = std::min(
        scrape.render_ms, std::chrono::duration<double, std::milli>(rendered - start).count());
    scrape.gzip_ms =
        std::min(scrape.gzip_ms, std::chrono::duration<double, std::milli>(end - rendered).count());
    scrape.plain = text.size();
    scrape.packed = packed.size();
  }
  return scrape;
}

// This process's resident memory in MB, from /proc/self/status; -1 when unknown.
double ResidentMegabytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return -1;
}

}  // namespace

int main() {
  Scrape small;
  {
    DeviceTable table;
    std::vector<DeviceRecord> records;
    small = Measure(1000, table, records);
  }
  DeviceTable table;
  std::vector<DeviceRecord> records;
  const Scrape large = Measure(10000, table, records);
  // What the agent holds at a scrape of 10 000 devices: the records, the table, one snapshot
  // of it and the answers, plain and packed.
  const std::vector<DeviceSnapshot> snapshot = table.Devices();
  const std::string metrics = RenderMetrics(snapshot, DiscoveryCounters{}, "1.0.0");
  const std::string devices = RenderDevicesJson(snapshot);
  std::string packed;
  GzipCompress(metrics, &packed);
  const double rss = ResidentMegabytes();

  const double ratio = large.packed > 0 ? static_cast<double>(large.plain) / large.packed : 0;
  const bool within = small.render_ms <= 50.0 && small.plain <= 2u * 1024 * 1024 &&
                      large.render_ms <= 20.0 && ratio >= 8.0 && rss <= 100.0;
  std::printf(
      "bench-metrics: devices=1000 render=%.1fms size=%.0fKB; devices=10000 render=%.1fms "
      "size=%.0fKB gzip=%.0fKB (1/%.1f, %.1fms) rss=%.0fMB (best of %d; %s 50 ms and 2048 KB "
      "at 1000, 20 ms, 1/8 and 100 MB at 10000)\n",
      small.render_ms, static_cast<double>(small.plain) / 1024.0, large.render_ms,
      static_cast<double>(large.plain) / 1024.0, static_cast<double>(large.packed) / 1024.0, ratio,
      large.gzip_ms, rss, kRounds, within ? "within" : "OVER");
  return devices.empty() ? 1 : 0;
}
