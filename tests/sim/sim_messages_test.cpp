// The simulator's own texts and command line, without a network: what a search must hold to
// be answered, the exact sizes of padded responses, and which arguments are refused.
#include <gtest/gtest.h>

#include "sim/device_set.h"
#include "sim/sim_options.h"
#include "sim/ssdp_messages.h"

namespace {

const std::string kSearch =
    "M-SEARCH * HTTP/1.1\r\nMX: 100\r\nST: urn:schemas-velmorant-com:device:indicator:1\r\n"
    "HOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n\r\n";

bool Parse(const std::vector<const char*>& args, sim::SimOptions& options, std::string& error) {
  std::vector<const char*> argv = {"tarovue-sim"};
  argv.insert(argv.end(), args.begin(), args.end());
  return sim::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

}  // namespace

TEST(SimSearchParsing, AcceptsTheClientsSearchAndVariants) {
  sim::SearchRequest r;
  std::string why;
  ASSERT_TRUE(sim::ParseSearch(kSearch, r, why)) << why;
  EXPECT_EQ(r.st, sim::kDeviceType);
  EXPECT_EQ(r.mx, 100);

  std::string lower = "M-SEARCH * HTTP/1.1\nst:  ssdp:all \nman: ssdp:discover\nmx: 2\n\n";
  ASSERT_TRUE(sim::ParseSearch(lower, r, why)) << "names in any case, LF lines: " << why;
  EXPECT_EQ(r.st, "ssdp:all");
  EXPECT_EQ(r.mx, 2);

  std::string no_mx = kSearch;
  no_mx.erase(no_mx.find("MX: 100\r\n"), 9);
  ASSERT_TRUE(sim::ParseSearch(no_mx, r, why)) << "unicast searches may omit MX";
  EXPECT_EQ(r.mx, 0);
}

TEST(SimSearchParsing, RefusesWhatIsNotAnAnswerableSearch) {
  struct Case {
    const char* label;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"notify", "NOTIFY * HTTP/1.1\r\nNT: x\r\n\r\n"},
      {"response", "HTTP/1.1 200 OK\r\nST: x\r\n\r\n"},
      {"no MAN", "M-SEARCH * HTTP/1.1\r\nST: x\r\nMX: 1\r\n\r\n"},
      {"wrong MAN", "M-SEARCH * HTTP/1.1\r\nST: x\r\nMAN: \"ssdp:alive\"\r\n\r\n"},
      {"no ST", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n\r\n"},
      {"empty ST", "M-SEARCH * HTTP/1.1\r\nST:\r\nMAN: \"ssdp:discover\"\r\n\r\n"},
      {"bad MX", "M-SEARCH * HTTP/1.1\r\nST: x\r\nMAN: \"ssdp:discover\"\r\nMX: -1\r\n\r\n"},
      {"huge MX",
       "M-SEARCH * HTTP/1.1\r\nST: x\r\nMAN: \"ssdp:discover\"\r\nMX: 99999999999\r\n\r\n"},
      {"ST after the end", "M-SEARCH * HTTP/1.1\r\nMAN: \"ssdp:discover\"\r\n\r\nST: x\r\n"},
      {"NUL in start line", std::string("M-SEARCH *\0HTTP/1.1\r\n", 21)},
  };
  for (const Case& c : cases) {
    sim::SearchRequest r;
    std::string why;
    EXPECT_FALSE(sim::ParseSearch(c.text, r, why)) << c.label;
    EXPECT_FALSE(why.empty()) << c.label;
    EXPECT_TRUE(r.st.empty()) << c.label;
  }
  // Every cut-short prefix of a good search is refused or read without running past its end.
  for (size_t n = 0; n < kSearch.size(); ++n) {
    sim::SearchRequest r;
    std::string why;
    std::string prefix = kSearch.substr(0, n);
    sim::ParseSearch(prefix, r, why);
  }
}

TEST(SimResponses, PaddingGivesExactlyTheAskedSize) {
  sim::SimOptions options;
  sim::DeviceSet devices(options, "10.231.7.2");
  const sim::Device& d = devices.Devices()[0];
  const std::string natural = sim::BuildResponse(d, sim::kDeviceType, "max-age=1800", 0);
  for (size_t extra = 0; extra < 20; ++extra) {
    std::string padded =
        sim::BuildResponse(d, sim::kDeviceType, "max-age=1800", natural.size() + extra);
    EXPECT_EQ(padded.size(), natural.size() + extra) << extra;
    EXPECT_EQ(padded.substr(padded.size() - 4), "\r\n\r\n") << extra;
    EXPECT_NE(padded.find("\r\nUSN: " + d.usn), std::string::npos) << extra;
  }
  EXPECT_EQ(sim::BuildResponse(d, sim::kDeviceType, "x", 40).size(), 40u) << "cut";
}

TEST(SimResponses, NotificationsCarryTheirFields) {
  sim::SimOptions options;
  options.devices = 2;
  sim::DeviceSet devices(options, "10.231.7.2");
  const sim::Device& d = devices.Devices()[1];
  EXPECT_EQ(d.usn, d.udn + "::" + sim::kDeviceType);
  EXPECT_EQ(d.presentation_url.back(), '/');
  const std::string alive = sim::BuildAlive(d, "max-age=5");
  for (const std::string& line :
       {std::string("NOTIFY * HTTP/1.1\r\n"), std::string("\r\nNTS: ssdp:alive\r\n"),
        "\r\nUSN: " + d.usn + "\r\n", "\r\nLOCATION: " + d.location + "\r\n",
        std::string("\r\nCACHE-CONTROL: max-age=5\r\n"),
        std::string("\r\nHOST: 239.255.255.250:1900\r\n"),
        "\r\nNT: " + std::string(sim::kDeviceType) + "\r\n"}) {
    EXPECT_NE(alive.find(line), std::string::npos) << line;
  }
  const std::string byebye = sim::BuildByebye(d);
  EXPECT_NE(byebye.find("\r\nNTS: ssdp:byebye\r\n"), std::string::npos);
  EXPECT_EQ(byebye.find("LOCATION"), std::string::npos);
  EXPECT_EQ(sim::CacheControlValue("", 1800), "max-age=1800");
  EXPECT_EQ(sim::CacheControlValue("no-cache", 1800), "no-cache");
}

TEST(SimOptionsParsing, DefaultsAndValues) {
  sim::SimOptions o;
  std::string error;
  ASSERT_TRUE(Parse({}, o, error));
  EXPECT_EQ(o.devices, 3);
  EXPECT_EQ(o.http_port, 8080);
  EXPECT_EQ(o.max_age, 1800u);
  EXPECT_FALSE(o.mx_delay);
  ASSERT_TRUE(Parse({"--devices=1000", "--mx-delay", "--notify-interval", "0.5", "--max-age", "0",
                     "--cache-control", "", "--host-name", "a<b>&\"c\""},
                    o, error))
      << error;
  EXPECT_EQ(o.devices, 1000);
  EXPECT_TRUE(o.mx_delay);
  EXPECT_DOUBLE_EQ(o.notify_interval, 0.5);
  EXPECT_EQ(o.host_name, "a<b>&\"c\"");
}

TEST(SimOptionsParsing, BadArgumentsGiveOneLineReasons) {
  const std::vector<std::vector<const char*>> bad = {
      {"--devices", "0"},
      {"--devices", "65536"},
      {"--devices", "3x"},
      {"--devices", "-1"},
      {"--devices"},
      {"--address", "10.0.0"},
      {"--address", "host"},
      {"--serial-base", "999001"},
      {"--serial-base", "999000", "--devices", "1000"},  // past SIM999999
      {"--http-port", "0"},
      {"--http-port", "65536"},
      {"--max-age", "4294967296"},
      {"--notify-interval", "0"},
      {"--notify-interval", "nan"},
      {"--pad-response", "65508"},
      {"--pad-response", "0"},
      {"--mx-delay=1"},
      {"--frobnicate"},
      {"extra"},
      {"--http-hang", "--http-drip"},
      {"--host-name", "a\nb"},
      {"--cache-control", "a\r\nX: y"},
      {"--empty-response", "--pad-response", "600"},
  };
  for (const auto& args : bad) {
    sim::SimOptions o;
    std::string error;
    EXPECT_FALSE(Parse(args, o, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}
