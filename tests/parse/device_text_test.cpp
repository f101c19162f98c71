// How device bytes become text: UTF-8 when the whole text is well-formed UTF-8, Latin-1
// otherwise, so an older indicator's umlauts show as umlauts and not as replacement marks.
#include "parse/device_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(IsUtf8, AcceptsWellFormedCharactersOfEveryLength) {
  EXPECT_TRUE(IsUtf8(""));
  EXPECT_TRUE(IsUtf8("a\xC3\xA4\xE2\x82\xAC\xF0\x9D\x84\x9E"));  // a, ä, €, 𝄞
  EXPECT_TRUE(IsUtf8("\xF4\x8F\xBF\xBF"));                       // U+10FFFF
  EXPECT_TRUE(IsUtf8(std::string("a\0b", 3)));
}

TEST(IsUtf8, RefusesEveryMalformedSequence) {
  for (const char* text :
       {"\x80x", "\xE2\x82x", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80",
        "\xF0\x80\x80\x80", "\xF4\x90\x80\x80", "\xF5\x80", "\xFF", "W\xE4gezelle"}) {
    EXPECT_FALSE(IsUtf8(text)) << text;
  }
  const std::string clef = "\xF0\x9D\x84\x9E";
  for (std::size_t length = 1; length < clef.size(); ++length) {
    EXPECT_FALSE(IsUtf8("ok" + clef.substr(0, length))) << "cut after " << length;
  }
}

TEST(DeviceTextToUtf8, KeepsUtf8AndReadsAnythingElseAsLatin1) {
  EXPECT_EQ(DeviceTextToUtf8("W\xC3\xA4gezelle \xE2\x82\xAC"), "W\xC3\xA4gezelle \xE2\x82\xAC");
  EXPECT_EQ(DeviceTextToUtf8("W\xE4gezelle"), "W\xC3\xA4gezelle");
  // One byte that is no UTF-8 makes the whole text Latin-1, also what looked like UTF-8.
  EXPECT_EQ(DeviceTextToUtf8("\xC3\xA4\xFF"), "\xC3\x83\xC2\xA4\xC3\xBF");
  for (int byte = 0x80; byte < 0x100; ++byte) {
    const std::string text = DeviceTextToUtf8(std::string(1, static_cast<char>(byte)));
    EXPECT_TRUE(IsUtf8(text)) << byte;
    EXPECT_EQ(text.size(), 2u) << byte;
  }
}

}  // namespace
