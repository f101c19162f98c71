// Protects how values are taken out of device description documents.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/extract_between.h"

namespace {

TEST(ExtractBetween, FindsValueBetweenMarkers) {
  char out[32];
  EXPECT_EQ(
      ExtractBetween(out, 31, "<a><modelName>X900</modelName>", "<modelName>", "</modelName>"), 4u);
  EXPECT_STREQ(out, "X900");
  EXPECT_EQ(ExtractBetween(out, 31, "Scale \"ind-7\" and \"b\"", "\"", "\""), 5u)
      << "one character as both markers";
  EXPECT_STREQ(out, "ind-7");
  EXPECT_EQ(ExtractBetween(out, 31, "<m></m>", "<m>", "</m>"), 0u);
  EXPECT_STREQ(out, "");
}

TEST(ExtractBetween, MissingMarkersLeaveOutputEmpty) {
  char out[32] = "stale";
  EXPECT_EQ(ExtractBetween(out, 31, "<m>value", "<m>", "</m>"), 0u) << "no closing marker";
  EXPECT_STREQ(out, "");
  std::strcpy(out, "stale");
  EXPECT_EQ(ExtractBetween(out, 31, "value</m>", "<m>", "</m>"), 0u) << "no opening marker";
  EXPECT_STREQ(out, "");
  EXPECT_EQ(ExtractBetween(out, 31, "<M>v</M>", "<m>", "</m>"), 0u) << "case-sensitive";
  EXPECT_EQ(ExtractBetween(out, 31, "</m>x<m>", "<m>", "</m>"), 0u)
      << "closing marker only before the opening one";
  EXPECT_EQ(ExtractBetween(out, 31, "</m>x<m>y</m>", "<m>", "</m>"), 1u)
      << "closing marker before and after the opening one";
  EXPECT_STREQ(out, "y");
}

TEST(ExtractBetween, CutsAtMaxLength) {
  const std::string value(40, 'v');
  char out[32];
  out[31] = 'x';
  EXPECT_EQ(ExtractBetween(out, 31, ("<m>" + value + "</m>").c_str(), "<m>", "</m>"), 31u);
  EXPECT_EQ(std::string(out), value.substr(0, 31));
}

}  // namespace
