// The scanner's command line: what each option sets, and the one-line reasons that end the
// program with status 2 before anything is opened.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/scan_options.h"
#include "scan/target_list.h"
#include "version.h"

namespace {

struct Parsed {
  bool ok;
  ScanOptions options;
  std::string error;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "tarovue-scan");
  Parsed parsed{};
  parsed.ok =
      ParseScanOptions(static_cast<int>(args.size()), args.data(), parsed.options, parsed.error);
  return parsed;
}

TEST(ScanOptions, DefaultsToASixSecondTable) {
  const Parsed p = Parse({});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_DOUBLE_EQ(p.options.seconds, 6.0);
  EXPECT_EQ(p.options.format, ScanFormat::kTable);
  EXPECT_FALSE(p.options.watch);
  EXPECT_FALSE(p.options.help);
  EXPECT_FALSE(p.options.version);
}

TEST(ScanOptions, TakesValuesAsSeparateOrInlineArguments) {
  Parsed p = Parse({"--time", "2", "--format", "json"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_DOUBLE_EQ(p.options.seconds, 2.0);
  EXPECT_EQ(p.options.format, ScanFormat::kJson);
  p = Parse({"--time=0.5", "--format=csv"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_DOUBLE_EQ(p.options.seconds, 0.5);
  EXPECT_EQ(p.options.format, ScanFormat::kCsv);
  p = Parse({"--format", "json", "--format", "table"});
  EXPECT_EQ(p.options.format, ScanFormat::kTable) << "the last one counts";
}

TEST(ScanOptions, FlagsSetTheirMode) {
  EXPECT_TRUE(Parse({"--watch", "--format", "json"}).options.watch);
  EXPECT_TRUE(Parse({"--help"}).options.help);
  EXPECT_TRUE(Parse({"-h"}).options.help);
  EXPECT_TRUE(Parse({"--version"}).options.version);
}

TEST(ScanOptions, VersionIsNamedAsTheOtherProgramsName) {
  EXPECT_EQ(std::string(ScanVersionText()), std::string("tarovue-scan ") + TAROVUE_VERSION);
}

TEST(ScanOptionsErrors, NameTheArgumentThatIsWrong) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"--bogus"}, "unknown argument '--bogus' (see --help)"},
      {{"scan"}, "unknown argument 'scan' (see --help)"},
      {{"--time"}, "--time needs a value"},
      {{"--format"}, "--format needs a value"},
      {{"--time", "0"}, "--time needs a number of seconds from 0.1 to 86400 (got '0')"},
      {{"--time", "-1"}, "--time needs a number of seconds from 0.1 to 86400 (got '-1')"},
      {{"--time", "2s"}, "--time needs a number of seconds from 0.1 to 86400 (got '2s')"},
      {{"--time", "86401"}, "--time needs a number of seconds from 0.1 to 86400 (got '86401')"},
      {{"--time", "nan"}, "--time needs a number of seconds from 0.1 to 86400 (got 'nan')"},
      {{"--time="}, "--time needs a number of seconds from 0.1 to 86400 (got '')"},
      {{"--format", "xml"}, "--format needs table, json or csv (got 'xml')"},
      {{"--format", "JSON"}, "--format needs table, json or csv (got 'JSON')"},
      {{"--watch=yes"}, "--watch takes no value"},
      {{"--watch", "--time", "5"},
       "--time and --watch cannot be combined: only a timed scan ends by itself"},
      {{"--save="}, "--save needs a file name"},
      {{"--watch", "--baseline", "inv.json"},
       "--baseline and --watch cannot be combined: a comparison is a timed scan's verdict"},
  };
  for (const auto& [args, error] : cases) {
    const Parsed p = Parse(args);
    EXPECT_FALSE(p.ok) << error;
    EXPECT_EQ(p.error, error);
  }
}

TEST(ScanOptionsErrors, DecimalOptionsTakeDigitsWithAtMostOnePoint) {
  const std::vector<std::pair<const char*, const char*>> options = {
      {"--time", "from 0.1 to 86400"},
      {"--fetch-timeout", "from 0.5 to 60"},
      {"--refresh", "from 0 to 86400"},
      {"--forget", "from 1 to 31536000"}};
  for (const auto& [option, bounds] : options) {
    for (const char* value :
         {"0x2", "0x1p-1", "1e1", "+2", " 2", "2 ", "1.5.1", ".", "inf", "2,5"}) {
      const Parsed p = Parse({option, value});
      EXPECT_FALSE(p.ok) << option << " " << value;
      EXPECT_EQ(p.error, std::string(option) + " needs a number of seconds " + bounds + " (got '" +
                             value + "')");
    }
    for (const char* good : {"2.5", "2."}) {
      std::vector<const char*> args = {option, good};
      if (std::string(option) == "--forget") args.push_back("--watch");  // a watch's option
      EXPECT_TRUE(Parse(args).ok) << option << " " << good;
    }
  }
  EXPECT_DOUBLE_EQ(Parse({"--time", ".5"}).options.seconds, 0.5);
}

// Targets as dotted text, in the order a round sends to them.
std::vector<std::string> Targets(const ScanOptions& options) {
  std::vector<std::string> dotted;
  for (uint32_t address : options.targets) {
    char text[INET_ADDRSTRLEN];
    dotted.emplace_back(inet_ntop(AF_INET, &address, text, sizeof text));
  }
  return dotted;
}

TEST(ScanOptions, TargetBlocksLeaveOutNetworkAndBroadcastButNotInTinyBlocks) {
  using List = std::vector<std::string>;
  EXPECT_EQ(Targets(Parse({"--target", "10.1.5.0/30"}).options), (List{"10.1.5.1", "10.1.5.2"}));
  EXPECT_EQ(Targets(Parse({"--target", "10.1.5.8/31"}).options), (List{"10.1.5.8", "10.1.5.9"}));
  EXPECT_EQ(Targets(Parse({"--target", "10.1.5.7/32"}).options), (List{"10.1.5.7"}));
  EXPECT_EQ(Targets(Parse({"--target", "10.1.5.7/30"}).options), (List{"10.1.5.5", "10.1.5.6"}))
      << "host bits set: the block it lies in";
  EXPECT_EQ(Targets(Parse({"--target", "10.1.9.17, 10.1.9.16/30"}).options),
            (List{"10.1.9.17", "10.1.9.18"}))
      << "each address once, in the order given";
  const List whole = Targets(Parse({"--target=10.0.0.0/16,10.1.0.0/30"}).options);
  ASSERT_EQ(whole.size(), kMaxTargets) << "a /16 and two more: exactly the limit";
  EXPECT_EQ(whole.front(), "10.0.0.1");
  EXPECT_EQ(whole[65533], "10.0.255.254");
  EXPECT_EQ(Parse({}).options.rate, 200);
}

TEST(ScanOptionsErrors, NameTheBadTargetOrReachOption) {
  const std::string needs = "--target needs IPv4 addresses or CIDR blocks (got ";
  const std::string hosts = "--target needs host addresses, not groups or broadcast (got ";
  const std::string rate = "--rate needs a whole number of searches a second from 1 to 10000 (got ";
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"--target", "300.1.1.1"}, needs + "'300.1.1.1')"},
      {{"--target", "10.1.5.0/24,10.0.0.0/33"}, needs + "'10.0.0.0/33')"},
      {{"--target", "scale-1.plant.example"}, needs + "'scale-1.plant.example')"},
      {{"--target", "10.0.0"}, needs + "'10.0.0')"},
      {{"--target", "010.0.0.1"}, needs + "'010.0.0.1')"},
      {{"--target", "10.0.0.1/"}, needs + "'10.0.0.1/')"},
      {{"--target", "10.0.0.1/+8"}, needs + "'10.0.0.1/+8')"},
      {{"--target", "10.0.0.1 10.0.0.2"}, needs + "'10.0.0.1 10.0.0.2')"},
      {{"--target", "10.0.0.1\x1B[2J"}, needs + "'10.0.0.1?[2J')"},
      {{"--target", "10.0.0.1,,10.0.0.2"}, "--target has an empty item in '10.0.0.1,,10.0.0.2'"},
      {{"--target="}, "--target has an empty item in ''"},
      {{"--target", "239.255.255.250"}, hosts + "'239.255.255.250')"},
      {{"--target", "255.255.255.255"}, hosts + "'255.255.255.255')"},
      {{"--target", "0.0.0.0/8"}, hosts + "'0.0.0.0/8')"},
      {{"--target", "10.0.0.0/15"}, "--target lists more than 65536 addresses (at '10.0.0.0/15')"},
      {{"--target", "10.0.0.0/16,10.1.0.0/29"},
       "--target lists more than 65536 addresses (at '10.1.0.0/29')"},
      {{"--rate", "0"}, rate + "'0')"},
      {{"--rate", "10001"}, rate + "'10001')"},
      {{"--interface", "eth0,,eth1"}, "--interface needs interface names or addresses (got '')"},
      {{"--interface", "a-name-far-too-long"},
       "--interface needs interface names or addresses (got 'a-name-far-too-long')"},
      {{"--no-multicast"}, "--no-multicast needs --target: nothing would be searched"},
  };
  for (const auto& [args, error] : cases) {
    const Parsed p = Parse(args);
    EXPECT_FALSE(p.ok) << error;
    EXPECT_EQ(p.error, error);
    EXPECT_TRUE(p.options.targets.empty()) << error;
  }
}

TEST(ScanOptions, ServeListensOnLoopbackUnlessGivenAnAddress) {
  Parsed p = Parse({"--serve", "9731"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(p.options.serve);
  EXPECT_TRUE(p.options.watch) << "agent mode is a watch";
  EXPECT_EQ(p.options.serve_address.host, "127.0.0.1");
  EXPECT_EQ(p.options.serve_address.port, 9731);
  EXPECT_EQ(p.options.search_interval, 300);
  p = Parse({"--serve", "0.0.0.0:1", "--interval", "10", "--quiet"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.serve_address.host, "0.0.0.0");
  EXPECT_EQ(p.options.serve_address.port, 1);
  EXPECT_EQ(p.options.search_interval, 10);
  EXPECT_TRUE(p.options.quiet);
  p = Parse({"--serve=[::1]:65535"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.serve_address.host, "::1");
}

TEST(ScanOptionsErrors, RefuseServeValuesThatNameNoPlaceToListen) {
  const std::string port = "--serve needs a port from 1 to 65535 (got ";
  const std::string address =
      "--serve needs a numeric address before the colon (or a bare "
      "port for 127.0.0.1) (got ";
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"--serve", ":0"}, port + "':0')"},
      {{"--serve", "1.2.3.4:99999"}, port + "'1.2.3.4:99999')"},
      {{"--serve", "host:"}, port + "'host:')"},
      {{"--serve", "0"}, port + "'0')"},
      {{"--serve", "9731x"}, port + "'9731x')"},
      {{"--serve", ":9731"}, address + "':9731')"},
      {{"--serve", "host:9731"}, address + "'host:9731')"},
      {{"--serve", "1.2.3:9731"}, address + "'1.2.3:9731')"},
      {{"--serve", "::1:9731"},
       "--serve needs an IPv6 address in brackets: [ADDRESS]:PORT (got '::1:9731')"},
      {{"--serve"}, "--serve needs a value"},
      {{"--serve", "9731", "--interval", "9"},
       "--interval needs whole seconds from 10 to 86400 (got '9')"},
      {{"--serve", "9731", "--time", "5"},
       "--time and --serve cannot be combined: only a timed scan ends by itself"},
      {{"--quiet"}, "--quiet belongs to agent mode: add --serve [ADDRESS:]PORT"},
      {{"--interval", "60"}, "--interval belongs to agent mode: add --serve [ADDRESS:]PORT"},
      {{"--web-config", "web.yml"},
       "--web-config belongs to agent mode: add --serve [ADDRESS:]PORT"},
      {{"--serve", "9731", "--web-config", ""}, "--web-config needs a file name"},
  };
  for (const auto& [args, error] : cases) {
    const Parsed p = Parse(args);
    EXPECT_FALSE(p.ok) << error;
    EXPECT_EQ(p.error, error);
  }
}

// One rule per option for every mode: --serve --save ran while --watch --save was refused,
// and --forget and --rate did nothing in a timed scan without a word.
TEST(ScanOptions, EveryModeTakesTheOptionsThatDoSomethingInIt) {
  for (const std::vector<const char*>& args : std::vector<std::vector<const char*>>{
           {"--save", "inv.json", "--target", "10.0.0.1", "--rate", "5"},
           {"--watch", "--save", "inv.json", "--forget", "60", "--state", "s.json"},
           {"--serve", "9731", "--save", "inv.json", "--forget", "60", "--state", "s.json"},
           {"--watch", "--target", "10.0.0.1", "--rate", "5", "--no-multicast"},
           {"--serve", "9731", "--quiet", "--stats"}}) {
    const Parsed p = Parse(args);
    EXPECT_TRUE(p.ok) << args[0] << " " << args[1] << ": " << p.error;
  }
}

TEST(ScanOptionsErrors, RefuseAnOptionInAModeWhereItDoesNothing) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"--forget", "60"},
       "--forget belongs to --watch and --serve: a timed scan removes no device"},
      {{"--state", "s.json"}, "--state belongs to --watch and --serve: a timed scan keeps nothing"},
      {{"--rate", "100"}, "--rate needs --target: it paces the unicast searches"},
      {{"--serve", "9731", "--rate", "100"},
       "--rate needs --target: it paces the unicast searches"},
      {{"--serve", "9731", "--baseline", "inv.json"},
       "--baseline and --serve cannot be combined: a comparison is a timed scan's verdict"},
      {{"--watch", "--interval", "60"},
       "--interval belongs to agent mode: add --serve [ADDRESS:]PORT"},
      {{"--serve", "9731", "--watch"},
       "--watch and --serve cannot be combined: agent mode is a watch already"},
      {{"--serve", "9731", "--quiet", "--format", "json"},
       "--format and --quiet cannot be combined: --quiet prints no event lines"},
  };
  for (const auto& [args, error] : cases) {
    const Parsed p = Parse(args);
    EXPECT_FALSE(p.ok) << error;
    EXPECT_EQ(p.error, error);
  }
}

TEST(ScanOptionsErrors, KeepControlCharactersOutOfTheMessage) {
  const Parsed p = Parse({"--format", "\x1B[2J\n"});
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.error, "--format needs table, json or csv (got '?[2J?')");
}

TEST(ScanOptionsErrors, CutALongArgumentShort) {
  const std::string long_arg(200, 'x');
  const Parsed p = Parse({long_arg.c_str()});
  std::string expected = "unknown argument '";
  expected.append(60, 'x').append("...' (see --help)");
  EXPECT_EQ(p.error, expected);
}

}  // namespace
