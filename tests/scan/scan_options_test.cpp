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
      {{"--save="}, "--save needs a file name"},
      {{"--watch", "--baseline", "inv.json"},
       "--baseline and --watch cannot be combined: an inventory is taken by a timed scan"},
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
