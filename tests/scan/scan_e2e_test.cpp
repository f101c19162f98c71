// tarovue-scan end to end in a private network: against the simulator (the three formats
// for 0, 1 and 3 devices, parsed back by independent parsers; --watch through new, a search
// on request, byebye and online again), its command line, a network it cannot use, and
// third-party SSDP and HTTP servers playing three indicators.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_protocol.h"
#include "tests/sim/sim_harness.h"

namespace {

using testnet::Side;

constexpr const char kPython[] = "/usr/bin/python3";
constexpr int kScanLimitMs = 15000;

std::string ScanPath() {
  const char* dir = std::getenv("TAROVUE_BUILD_DIR");
  return dir && *dir ? std::string(dir) + "/tarovue-scan" : std::string(TAROVUE_SCAN_BINARY);
}

std::string ScanScript(const std::string& name) {
  const char* dir = std::getenv("TAROVUE_SOURCE_DIR");
  return (dir && *dir ? std::string(dir) + "/tests/scan" : std::string(TAROVUE_SCAN_TEST_DIR)) +
         "/" + name;
}

struct ScanRun {
  int status = -1;
  std::string output;  // stdout and stderr together
};

QJsonArray JsonArray(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << text;
  EXPECT_TRUE(doc.isArray()) << text;
  return doc.array();
}

int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

class ScanE2eTest : public simtest::SimTest {
 protected:
  pid_t StartScan(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ScanPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = net.Spawn(Side::kClient, argv);
    EXPECT_GT(pid, 0) << net.error();
    return pid;
  }
  ScanRun Finish(pid_t pid, int limit_ms = kScanLimitMs) {
    ScanRun run;
    run.status = net.Wait(pid, limit_ms);
    run.output = net.Output(pid);
    return run;
  }
  ScanRun Scan(const std::vector<std::string>& args) { return Finish(StartScan(args)); }

  // The three formats of one two-second scan each, run side by side.
  std::map<std::string, ScanRun> ScanAllFormats() {
    std::map<std::string, pid_t> pids;
    for (const char* format : {"table", "json", "csv"}) {
      pids[format] = StartScan({"--time", "2", "--format", format});
    }
    std::map<std::string, ScanRun> runs;
    for (const auto& [format, pid] : pids) {
      runs[format] = Finish(pid);
      EXPECT_EQ(runs[format].status, 0) << format << ": " << runs[format].output;
    }
    return runs;
  }

  // The CSV as Python's csv module reads it: rows of fields.
  std::vector<std::vector<std::string>> ParseCsv(const std::string& csv) {
    const pid_t pid = net.Spawn(
        Side::kClient,
        {kPython, "-c",
         "import csv, io, json, sys\n"
         "print(json.dumps(list(csv.reader(io.StringIO(sys.argv[1], newline=''), strict=True))))",
         csv});
    EXPECT_EQ(net.Wait(pid, 10000), 0) << net.Output(pid);
    std::vector<std::vector<std::string>> rows;
    for (const QJsonValue& row : JsonArray(net.Output(pid))) {
      rows.emplace_back();
      for (const QJsonValue& field : row.toArray()) {
        rows.back().push_back(field.toString().toStdString());
      }
    }
    return rows;
  }

  // Checks the three formats against each other and the simulator's `count` devices.
  void ExpectDevices(const std::map<std::string, ScanRun>& runs, int count) {
    const std::string sim_address = DevicesAddress();
    const QJsonArray devices = JsonArray(runs.at("json").output);
    ASSERT_EQ(devices.size(), count) << runs.at("json").output;
    const auto now = QDateTime::currentDateTime();
    for (int i = 0; i < count; ++i) {
      const QJsonObject d = devices.at(i).toObject();
      const std::string n = std::to_string(i + 1);
      EXPECT_EQ(d["address"].toString().toStdString(), sim_address);
      EXPECT_EQ(d["hostname"].toString().toStdString(), "scale-" + n);
      EXPECT_EQ(d["devtype"].toString(), sim::kModelName);
      EXPECT_EQ(d["model_name"].toString(), sim::kModelName);
      EXPECT_EQ(d["model_number"].toString(), sim::kModelNumber);
      EXPECT_EQ(d["serial_number"].toString().toStdString(), "SIM00000" + n);
      EXPECT_EQ(d["guid"].toString().size(), 36);
      EXPECT_EQ(d["usn"].toString().toStdString(),
                "uuid:" + d["guid"].toString().toStdString() + "::" + sim::kDeviceType);
      EXPECT_EQ(d["page_url"].toString().toStdString(),
                "http://" + sim_address + ":8080/dev/" + n + "/");
      EXPECT_EQ(d["status"].toString(), "online") << "one look: every device that answered";
      EXPECT_EQ(d["fetch"].toString(), "ok") << "fetched in this run, however often it answered";
      const QDateTime until = QDateTime::fromString(d["valid_until"].toString(), Qt::ISODate);
      ASSERT_TRUE(until.isValid()) << d["valid_until"].toString().toStdString();
      EXPECT_NEAR(now.secsTo(until), sim::kDefaultMaxAge, 10);
    }

    const std::string& csv = runs.at("csv").output;
    EXPECT_EQ(Count(csv, "\n"), Count(csv, "\r\n")) << "every record ends in CR LF";
    const auto rows = ParseCsv(csv);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(count) + 1) << csv;
    const std::vector<std::string> header = {
        "address",      "hostname",      "devtype", "status",   "valid_until", "model_name",
        "model_number", "serial_number", "guid",    "page_url", "usn",         "fetch"};
    EXPECT_EQ(rows[0], header);
    for (int i = 0; i < count; ++i) {
      const QJsonObject d = devices.at(i).toObject();
      const auto& row = rows[static_cast<std::size_t>(i) + 1];
      ASSERT_EQ(row.size(), header.size());
      for (std::size_t c = 0; c < header.size(); ++c) {
        if (header[c] == "status" || header[c] == "valid_until") continue;  // may move on
        EXPECT_EQ(row[c], d[QString::fromStdString(header[c])].toString().toStdString())
            << header[c];
      }
    }

    const std::string& table = runs.at("table").output;
    EXPECT_EQ(table.rfind("IP-Addr ", 0), 0u) << table;
    EXPECT_EQ(Count(table, "\n"), count + 1) << table;
    for (int i = 1; i <= count; ++i) {
      EXPECT_EQ(Count(table, "SIM00000" + std::to_string(i)), 1) << table;
    }
  }
};

// --- the three formats

// Standard output keeps the formats' empty documents; standard error says where it looked.
TEST_F(ScanE2eTest, NoDevicesGiveHeadersOnlyStatusZeroAndTheInterfacesSearched) {
  auto runs = ScanAllFormats();
  const std::string searched = "tarovue-scan: no indicator answered within 2 s; searched " +
                               net.Interface(Side::kClient) + " (" + net.Address(Side::kClient) +
                               ")\n";
  for (auto& [format, run] : runs) {
    const std::size_t at = run.output.find(searched);
    ASSERT_NE(at, std::string::npos) << format << ": " << run.output;
    run.output.erase(at, searched.size());
  }
  EXPECT_EQ(runs.at("json").output, "[]\n");
  EXPECT_EQ(ParseCsv(runs.at("csv").output).size(), 1u) << runs.at("csv").output;
  EXPECT_EQ(runs.at("table").output.rfind("IP-Addr  Hostname  DevType  Status  Valid until", 0),
            0u);
  EXPECT_EQ(Count(runs.at("table").output, "\n"), 1);
}

TEST_F(ScanE2eTest, OneDeviceInEveryFormat) {
  StartSim({"--devices", "1"});
  ExpectDevices(ScanAllFormats(), 1);
}

TEST_F(ScanE2eTest, ThreeDevicesInEveryFormat) {
  StartSim({"--devices", "3"});
  ExpectDevices(ScanAllFormats(), 3);
}

// --- watch

TEST_F(ScanE2eTest, WatchShowsNewsOnlyNotRepeatsOrSearches) {
  char dir_template[] = "/tmp/tarovue-scan-watch.XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string fifo = std::string(dir_template) + "/stdin";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Read and write: opening never blocks, and the scanner sees no end of input.
  const int input = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(input, 0);

  pid_t sim = StartSim({"--devices", "3"});
  const pid_t scan =
      net.Spawn(Side::kClient, {"/bin/sh", "-c", "exec \"$0\" --watch < \"$1\"", ScanPath(), fifo});
  ASSERT_GT(scan, 0);
  const auto wait_for = [&](const std::function<bool(const std::string&)>& done) {
    for (int i = 0; i < 500; ++i) {
      if (done(net.Output(scan))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  const auto lines = [&](const char* word) {
    return Count(net.Output(scan), "  " + std::string(word) +
                                       std::string(9 - std::strlen(word), ' ') + "  " +
                                       DevicesAddress());
  };
  ASSERT_TRUE(wait_for([&](const std::string&) { return lines("new") == 3; })) << net.Output(scan);
  // The rest of the burst's answers and a search on request say nothing new: no line.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_EQ(write(input, "\n", 1), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(Count(net.Output(scan), "\n"), 3) << "one line per device\n" << net.Output(scan);

  EXPECT_EQ(net.Stop(sim), 0);  // the simulator says byebye
  ASSERT_TRUE(wait_for([&](const std::string&) { return lines("byebye") == 3; }))
      << net.Output(scan);
  sim = StartSim({"--devices", "3"});  // announces itself at start
  EXPECT_TRUE(wait_for([&](const std::string&) { return lines("online") == 3; }))
      << "back after byebye\n"
      << net.Output(scan);

  EXPECT_EQ(net.Stop(scan), 0) << "SIGTERM ends a watch cleanly";
  const std::string out = net.Output(scan);
  EXPECT_EQ(Count(out, "\n"), 9) << out;
  EXPECT_EQ(Count(out, "searching"), 0) << out;
  close(input);
  unlink(fifo.c_str());
  rmdir(dir_template);
}

TEST_F(ScanE2eTest, WatchInJsonGivesOneObjectPerLine) {
  StartSim({"--devices", "2"});
  const pid_t scan = StartScan({"--watch", "--format", "json"});
  ASSERT_TRUE(net.WaitForOutput(scan, "\"serial_number\": \"SIM000002\"", 5000))
      << net.Output(scan);
  EXPECT_EQ(net.Stop(scan), 0);
  const std::string out = net.Output(scan);
  std::size_t start = 0;
  int objects = 0;
  for (std::size_t end = out.find('\n'); end != std::string::npos;
       start = end + 1, end = out.find('\n', start)) {
    const QJsonDocument line =
        QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(start, end - start)));
    ASSERT_TRUE(line.isObject()) << out.substr(start, end - start);
    EXPECT_FALSE(line.object()["time"].toString().isEmpty());
    EXPECT_EQ(line.object()["event"], line.object()["status"]);
    ++objects;
  }
  EXPECT_GE(objects, 2);
}

// --- the command line

TEST_F(ScanE2eTest, BadArgumentsGiveStatusTwoAndOneLine) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"},
                                               {"--time", "soon"},
                                               {"--time"},
                                               {"--format", "xml"},
                                               {"--watch", "--time", "2"},
                                               {"extra"}}) {
    const ScanRun run = Scan(args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_EQ(run.output.rfind("tarovue-scan: ", 0), 0u) << run.output;
    EXPECT_EQ(Count(run.output, "\n"), 1) << run.output;
  }
}

TEST_F(ScanE2eTest, HelpAndVersion) {
  const ScanRun help = Scan({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("Usage: tarovue-scan", 0), 0u) << help.output;
  const ScanRun version = Scan({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, std::string("tarovue-scan ") + TAROVUE_VERSION + "\n");
}

// A day-long scan with a file it could never write ended only after the day; now it ends
// before the first search.
TEST_F(ScanE2eTest, OutputFilesThatCannotBeWrittenEndTheRunBeforeItSearches) {
  char dir[] = "/tmp/tarovue-scan-paths.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--time", "86400", "--save", "/nonexistent/dir/x.json"},
       "--save: cannot create a file in /nonexistent/dir/: No such file or directory"},
      {{"--watch", "--save", dir},
       std::string("--save: cannot save the inventory to ") + dir + ": Is a directory"},
      {{"--watch", "--state", "/nonexistent/dir/s.json"},
       "--state: cannot write files in /nonexistent/dir/: No such file or directory"},
  };
  for (const auto& [args, message] : cases) {
    const ScanRun run = Scan(args);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_EQ(run.output, "tarovue-scan: " + message + "\n");
  }
  rmdir(dir);
}

// --- a network it cannot use

TEST_F(ScanE2eTest, NetworkWithoutInterfacesGivesStatusOneAndAClearMessage) {
  const std::string expected =
      "tarovue-scan: no network to search: no IPv4 interface is up besides loopback\n";
  // A namespace of its own: only loopback, and that down.
  ScanRun run = Finish(net.Spawn(Side::kClient, {"unshare", "-n", ScanPath(), "--time", "1"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, expected);
  // Loopback up changes nothing: it reaches no device.
  run = Finish(
      net.Spawn(Side::kClient, {"unshare", "-n", "/bin/sh", "-c",
                                "ip link set lo up && exec \"$0\" --format json", ScanPath()}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, expected);
}

// --- inventories

// `first` plus `offset`, dotted.
std::string AddressAfter(const std::string& first, uint32_t offset) {
  in_addr address{};
  inet_pton(AF_INET, first.c_str(), &address);
  address.s_addr = htonl(ntohl(address.s_addr) + offset);
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

QJsonObject JsonObject(const std::string& text) {
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text));
  EXPECT_TRUE(doc.isObject()) << text;
  return doc.object();
}

// After a maintenance day: one indicator gone, one on another address, one swapped for a
// spare; --save and --baseline naming one file compare with what was saved before.
TEST_F(ScanE2eTest, BaselineFindsTheMissingTheMovedAndTheReplaced) {
  const std::string first = net.AddDeviceAddresses(5);
  ASSERT_FALSE(first.empty()) << net.error();
  char dir[] = "/tmp/tarovue-scan-inventory.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string inventory = std::string(dir) + "/inventory.json";

  const pid_t three = StartSim({"--devices", "3", "--spread", "--serial-base", "0"}, first);
  ScanRun run = Scan({"--time", "2", "--save", inventory});
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(net.Stop(three), 0);

  StartSim({"--devices", "1", "--serial-base", "1"}, AddressAfter(first, 4));  // serial 2
  StartSim({"--devices", "1", "--serial-base", "8"}, AddressAfter(first, 2));  // serial 9
  run = Scan({"--time", "2", "--format", "json", "--baseline", inventory, "--save", inventory});
  EXPECT_EQ(run.status, 3) << run.output;
  const QJsonObject report = JsonObject(run.output);
  EXPECT_EQ(report["devices"].toArray().size(), 2) << run.output;
  EXPECT_TRUE(report["conflicts"].toArray().isEmpty()) << run.output;
  const QJsonArray differences = report["differences"].toArray();
  ASSERT_EQ(differences.size(), 3) << run.output;
  const QJsonObject missing = differences[0].toObject();
  EXPECT_EQ(missing["kind"].toString(), "missing");
  EXPECT_EQ(missing["address"].toString().toStdString(), first);
  EXPECT_EQ(missing["baseline"].toObject()["serial_number"].toString(), "SIM000001");
  EXPECT_TRUE(missing["seen"].isNull());
  const QJsonObject replaced = differences[1].toObject();
  EXPECT_EQ(replaced["kind"].toString(), "replaced");
  EXPECT_EQ(replaced["address"].toString().toStdString(), AddressAfter(first, 2));
  EXPECT_EQ(replaced["baseline"].toObject()["serial_number"].toString(), "SIM000003");
  EXPECT_EQ(replaced["seen"].toObject()["serial_number"].toString(), "SIM000009");
  const QJsonObject moved = differences[2].toObject();
  EXPECT_EQ(moved["kind"].toString(), "moved");
  EXPECT_EQ(moved["address"].toString().toStdString(), AddressAfter(first, 4));
  EXPECT_EQ(moved["baseline"].toObject()["address"].toString().toStdString(),
            AddressAfter(first, 1));
  EXPECT_EQ(moved["usn"], moved["baseline"].toObject()["usn"]);

  run = Scan({"--time", "2", "--baseline", inventory});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.rfind("No differences from the baseline (2 devices).\n", 0), 0u)
      << run.output;

  std::ofstream(std::string(dir) + "/cut.json") << "{\"format\": \"tarovue-inventory\",";
  run = Scan({"--time", "2", "--baseline", std::string(dir) + "/cut.json", "--save", inventory});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("is not valid JSON: "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(" at offset 31"), std::string::npos) << run.output;
  EXPECT_EQ(Count(run.output, "\n"), 1) << run.output;
  EXPECT_EQ(std::system(("rm -rf " + std::string(dir)).c_str()), 0);
}

// --- fetches that never end, and forged announcements

// The peak resident size of a running process, in kB; 0 when it cannot be read.
long PeakKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

long Milliseconds(std::chrono::steady_clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// Devices that accept the connection and never answer once held a timed scan for 15 s and
// Ctrl-C for as long; now neither waits for them.
TEST_F(ScanE2eTest, HungDevicesHoldNeitherTheReportNorCtrlC) {
  const std::string first = net.AddDeviceAddresses(3);
  ASSERT_FALSE(first.empty()) << net.error();
  StartSim({"--devices", "3", "--spread", "--address", first, "--hung", "2"});
  auto start = std::chrono::steady_clock::now();
  const ScanRun timed = Scan({"--format", "json", "--time", "1"});
  const long timed_ms = Milliseconds(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(timed.status, 0) << timed.output;
  const QJsonArray devices = JsonArray(timed.output);
  ASSERT_EQ(devices.size(), 3) << "the hung ones are listed with what is known";
  int pending = 0;
  for (const auto& d : devices) pending += d.toObject()["fetch"].toString() == "pending";
  EXPECT_EQ(pending, 2) << timed.output;
  std::printf("[scan] --time 1 with 2 hung devices ended after %ld ms\n", timed_ms);
  EXPECT_LT(timed_ms, 3000);

  const pid_t watch = StartScan({"--watch"});
  ASSERT_TRUE(net.WaitForOutput(watch, "scale-3", 5000)) << net.Output(watch);
  start = std::chrono::steady_clock::now();
  kill(watch, SIGINT);
  EXPECT_EQ(net.Wait(watch, 5000), 0);
  const long stop_ms = Milliseconds(std::chrono::steady_clock::now() - start);
  std::printf("[scan] Ctrl-C with hung fetches pending ended the watch after %ld ms\n", stop_ms);
  EXPECT_LT(stop_ms, 1000);
}

// 200 000 forged NOTIFYs, each with a new USN: the table stops at its bound, memory with it,
// and the real device is still served.
TEST_F(ScanE2eTest, ForgedUsnFloodLeavesMemoryBoundedAndTheRealDeviceServed) {
  char dir_template[] = "/tmp/tarovue-scan-flood.XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string fifo = std::string(dir_template) + "/stdin";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int input = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(input, 0);
  const pid_t sim = StartSim({"--devices", "1"});
  const pid_t scan = net.Spawn(
      Side::kClient, {"/bin/sh", "-c", "exec \"$0\" --watch --stats < \"$1\"", ScanPath(), fifo});
  ASSERT_TRUE(net.WaitForOutput(scan, "scale-1", 5000)) << net.Output(scan);
  const long peak_before = PeakKb(scan);

  constexpr int kForged = 200000;
  const pid_t flood = net.Spawn(
      Side::kDevices,
      {kPython, "-c",
       "import socket, sys, time\n"
       "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
       "t = 'urn:schemas-velmorant-com:device:indicator:1'\n"
       "for i in range(int(sys.argv[3])):\n"
       "    s.sendto((f'NOTIFY * HTTP/1.1\\r\\nNT: {t}\\r\\nNTS: ssdp:alive\\r\\n'\n"
       "              f'USN: uuid:forged-{i}::{t}\\r\\nLOCATION: "
       "http://{sys.argv[2]}:9/d.xml\\r\\n'\n"
       "              'CACHE-CONTROL: max-age=1800\\r\\n\\r\\n').encode(), (sys.argv[1], 1900))\n"
       "    if i % 100 == 99: time.sleep(0.002)\n"
       "print('sent', flush=True)\n",
       net.Address(Side::kClient), DevicesAddress(), std::to_string(kForged)});
  EXPECT_EQ(net.Wait(flood, 60000), 0) << net.Output(flood);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last ones drain

  // After the flood the scanner still searches and hears the real device, which says
  // byebye once it has answered.
  ASSERT_EQ(write(input, "\n", 1), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(net.Stop(sim), 0);
  EXPECT_TRUE(net.WaitForOutput(scan, "byebye", 5000)) << "the real device is heard\n"
                                                       << net.Output(scan);
  const long peak = PeakKb(scan);
  EXPECT_EQ(net.Stop(scan), 0);
  close(input);
  const std::string out = net.Output(scan);
  const std::size_t at = out.find("dropped.table_full ");
  ASSERT_NE(at, std::string::npos);
  const long table_full = std::atol(out.c_str() + at + 19);
  std::printf("[scan] %d forged USNs: dropped.table_full %ld, peak RSS %ld kB (%ld before)\n",
              kForged, table_full, peak, peak_before);
  EXPECT_GE(table_full, 150000) << "the receive buffer may lose a few, not most";
  EXPECT_LT(peak, 150 * 1024) << "bounded: before the bound it grew to 586 MB";
}

// --- third-party servers

TEST_F(ScanE2eTest, ThirdPartyAnnouncerAndHttpServerGiveThreeDevices) {
  const pid_t probe = net.Spawn(Side::kDevices, {kPython, "-c",
                                                 "import gi; gi.require_version('GSSDP', '1.6'); "
                                                 "from gi.repository import GSSDP"});
  if (probe < 0 || net.Wait(probe, 10000) != 0) {
    GTEST_SKIP() << "GSSDP for Python is missing (Debian packages python3-gi and "
                    "gir1.2-gssdp-1.6): "
                 << net.Output(probe);
  }
  // GSSDP answers a search after a random delay of up to its MX, and Tarovue asks with MX 100;
  // a max-age of 9 s makes it announce every 2 s, so each device is heard within the scan.
  const pid_t announcer =
      net.Spawn(Side::kDevices, {kPython, ScanScript("third_party_indicators.py"),
                                 net.Interface(Side::kDevices), DevicesAddress(), "8080", "9"});
  ASSERT_TRUE(net.WaitForOutput(announcer, "ready", 10000)) << net.Output(announcer);

  const ScanRun run = Scan({"--format", "json", "--time", "6"});
  ASSERT_EQ(run.status, 0) << run.output;
  const QJsonArray devices = JsonArray(run.output);
  ASSERT_EQ(devices.size(), 3) << run.output;
  const char* expected[][3] = {
      {"hall-a", "TP-300", "TP0001"}, {"hall-b", "TP-310", "TP0002"}, {"yard", "TP-900", "TP0003"}};
  for (int i = 0; i < 3; ++i) {
    const QJsonObject d = devices.at(i).toObject();
    EXPECT_EQ(d["hostname"].toString(), expected[i][0]);
    EXPECT_EQ(d["devtype"].toString(), expected[i][1]);
    EXPECT_EQ(d["serial_number"].toString(), expected[i][2]);
    EXPECT_EQ(d["address"].toString().toStdString(), DevicesAddress());
    EXPECT_FALSE(d["valid_until"].isNull());
  }
}

// Every datagram is counted: the simulator's answers as accepted responses, another
// device type's announcements as dropped, and standard output stays the plain report.
TEST_F(ScanE2eTest, StatsCountWhatTheSimulatorAndAForeignAnnouncerSent) {
  const pid_t sim = StartSim({"--devices", "3"});
  // Two GSSDP resources of another type; a max-age of 9 s makes them announce every 2 s.
  const pid_t foreign =
      net.Spawn(Side::kDevices,
                {kPython, "-c",
                 "import sys, gi; gi.require_version('GSSDP', '1.6')\n"
                 "from gi.repository import GLib, GSSDP\n"
                 "c = GSSDP.Client.new_full(sys.argv[1], None, 0, GSSDP.UDAVersion.VERSION_1_0)\n"
                 "g = GSSDP.ResourceGroup.new(c); g.set_max_age(9)\n"
                 "t = 'urn:schemas-upnp-org:device:Basic:1'\n"
                 "for n in (1, 2): g.add_resource_simple(t, f'uuid:basic-{n}::{t}', "
                 "f'http://{sys.argv[2]}:9/{n}.xml')\n"
                 "g.set_available(True); print('ready', flush=True); GLib.MainLoop().run()",
                 net.Interface(Side::kDevices), DevicesAddress()});
  if (!net.WaitForOutput(foreign, "ready", 10000)) {
    GTEST_SKIP() << "GSSDP for Python is missing: " << net.Output(foreign);
  }

  const ScanRun run = Scan({"--stats", "--format", "json", "--time", "6"});
  ASSERT_EQ(run.status, 0) << run.output;
  const std::size_t end = run.output.find("]\n");
  ASSERT_NE(end, std::string::npos) << run.output;
  EXPECT_EQ(JsonArray(run.output.substr(0, end + 2)).size(), 3);

  std::map<std::string, long> stats;
  for (std::size_t at = end + 2; at < run.output.size();) {
    std::size_t line_end = run.output.find('\n', at);
    if (line_end == std::string::npos) line_end = run.output.size();
    const std::string line = run.output.substr(at, line_end - at);
    const std::size_t space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << "not a 'name value' line: " << line;
    stats[line.substr(0, space)] = std::atol(line.c_str() + space + 1);
    at = line_end + 1;
  }
  for (const char* name : {"received.port_1900", "received.search_socket", "accepted.alive",
                           "dropped.too_long", "dropped.bad_location", "fetch.timeout",
                           "fetch.seconds.p50", "searches.port_1900", "searches.search_socket"}) {
    EXPECT_TRUE(stats.count(name)) << name << " is printed even when 0";
  }
  EXPECT_GE(stats["dropped.other_type"], 2);
  // Every answer of the burst is described, but each device's description is fetched once.
  EXPECT_EQ(stats["fetch.ok"], 3);
  EXPECT_EQ(stats["fetch.ok"] + stats["fetch.cached"],
            stats["accepted.response"] + stats["accepted.alive"]);
  EXPECT_EQ(stats["searches.search_socket"], 4);

  kill(sim, SIGUSR1);
  ASSERT_TRUE(net.WaitForOutput(sim, "counts:", 5000));
  const std::string counts = net.Output(sim);
  const std::size_t responses = counts.find("responses=", counts.find("counts:"));
  ASSERT_NE(responses, std::string::npos) << counts;
  EXPECT_EQ(stats["accepted.response"], std::atol(counts.c_str() + responses + 10)) << counts;
}

}  // namespace
