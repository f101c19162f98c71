// Device texts on their way to a terminal, a JSON parser and a CSV reader: whatever bytes a
// device sends, in UTF-8 or Latin-1, the output stays valid UTF-8 and no control character
// reaches a terminal.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <string>

#include "formats/safe_text.h"
#include "parse/device_text.h"

namespace {

bool ParsesAsJsonString(const std::string& literal, std::string* value = nullptr) {
  QJsonParseError error{};
  const QJsonDocument doc =
      QJsonDocument::fromJson(QByteArray::fromStdString("[" + literal + "]"), &error);
  if (error.error != QJsonParseError::NoError || !doc.isArray() || doc.array().size() != 1) {
    return false;
  }
  if (value != nullptr) *value = doc.array().at(0).toString().toStdString();
  return doc.array().at(0).isString();
}

TEST(TerminalText, ShowsEveryControlCharacterAsQuestionMark) {
  EXPECT_EQ(TerminalText("\x1B[2J\x1B]0;owned\x07"), "?[2J?]0;owned?");
  EXPECT_EQ(TerminalText("a\tb\rc\nd\x7F"), "a?b?c?d?");
  EXPECT_EQ(TerminalText("\xC2\x9B"
                         "31m"),
            "?31m");  // C1 CSI as a character
  EXPECT_EQ(TerminalText("\x9B"
                         "31m"),
            "?31m");  // C1 CSI as a raw byte, which reads as Latin-1
  EXPECT_EQ(TerminalText("Waage \xC3\xBC"), "Waage \xC3\xBC");
  EXPECT_EQ(TerminalText("Waage \xFC"), "Waage \xC3\xBC") << "Latin-1";
}

TEST(TerminalText, NoSingleByteGetsThroughAsControl) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string shown = TerminalText(std::string(1, static_cast<char>(byte)));
    for (const char c : shown) {
      const auto u = static_cast<unsigned char>(c);
      EXPECT_FALSE(u < 0x20 || u == 0x7F) << byte;
    }
    EXPECT_TRUE(IsUtf8(shown)) << byte;
  }
}

TEST(JsonString, EscapesQuotesBackslashesAndControlsAsUnicode) {
  EXPECT_EQ(JsonString("say \"hi\" \\o/"), R"("say \"hi\" \\o/")");
  EXPECT_EQ(JsonString("a\nb\x1B"), R"("a\u000ab\u001b")");
  EXPECT_EQ(JsonString("\x7F\xC2\x9B"), R"("\u007f\u009b")");
  EXPECT_EQ(JsonString(""), "\"\"");
}

TEST(JsonString, EveryByteAndPairGivesJsonThatParsesBack) {
  for (int first = 0; first < 256; ++first) {
    for (int second : {0x00, 0x22, 0x41, 0x5C, 0x80, 0x9B, 0xBF, 0xC3, 0xFF}) {
      const std::string text = {static_cast<char>(first), static_cast<char>(second)};
      std::string value;
      ASSERT_TRUE(ParsesAsJsonString(JsonString(text), &value)) << first << " " << second;
      EXPECT_EQ(value, DeviceTextToUtf8(text)) << first << " " << second;
    }
  }
}

TEST(CsvField, LeavesPlainTextUnquoted) {
  EXPECT_EQ(CsvField("scale-1"), "scale-1");
  EXPECT_EQ(CsvField(""), "");
  EXPECT_EQ(CsvField("a\tb"), "a\tb");
}

TEST(CsvField, QuotesCommasQuotesAndLineBreaks) {
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("line\r\nnext"), "\"line\r\nnext\"");
}

TEST(CsvField, ReplacesOtherControlsAndReadsLatin1) {
  EXPECT_EQ(CsvField("\x1B[31mred"), "?[31mred");
  EXPECT_EQ(CsvField("\xFF,"), "\"\xC3\xBF,\"");
}

// What one byte amid plain text becomes in a CSV field, its quotes aside.
std::string CsvCharacter(int byte) {
  const char c = static_cast<char>(byte);
  if (c == '"') return "\"\"";
  if ((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || (byte >= 0x7F && byte <= 0x9F)) {
    return "?";  // C0, DEL and, read as Latin-1, C1
  }
  if (byte >= 0x80) return DeviceTextToUtf8(std::string(1, c));
  return std::string(1, c);
}

TEST(CsvField, EveryByteAmidPlainTextIsKeptQuotedOrReplaced) {
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const std::string plain = "ab" + CsvCharacter(byte) + "cd";
    const bool quoted = c == ',' || c == '"' || c == '\r' || c == '\n';
    EXPECT_EQ(CsvField(std::string("ab") + c + "cd"), quoted ? '"' + plain + '"' : plain) << byte;
  }
}

TEST(DisplayWidth, CountsCharactersNotBytes) {
  EXPECT_EQ(DisplayWidth(""), 0u);
  EXPECT_EQ(DisplayWidth("abc"), 3u);
  EXPECT_EQ(DisplayWidth("W\xC3\xA4gen \xE2\x82\xAC"), 7u);
}

}  // namespace
