// The scanner's command line: what each option sets, and the one-line reasons that end the
// program with status 2 before anything is opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/scan_options.h"

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

TEST(ScanOptions, VersionIsTheProjectVersionInTwoDigitParts) {
  EXPECT_STREQ(ScanVersionText(), "01.00.00");
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
       "--time and --watch cannot be combined: --watch runs until interrupted"},
  };
  for (const auto& [args, error] : cases) {
    const Parsed p = Parse(args);
    EXPECT_FALSE(p.ok) << error;
    EXPECT_EQ(p.error, error);
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
       "--time and --serve cannot be combined: agent mode runs until interrupted"},
      {{"--quiet"}, "--quiet belongs to agent mode: add --serve [ADDRESS:]PORT"},
      {{"--interval", "60"}, "--interval belongs to agent mode: add --serve [ADDRESS:]PORT"},
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
  EXPECT_EQ(p.error, "unknown argument '" + std::string(60, 'x') + "...' (see --help)");
}

}  // namespace
