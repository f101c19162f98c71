// Protects the in-place message splitting that every datagram and description goes through.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "parse/header_block.h"
#include "parse/split_cursor.h"

namespace {

// A heap copy that ends exactly at its terminator, so that any read past it is caught by
// the address sanitizer.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

TEST(SplitCursor, CutsAtWholeSeparatorAndReturnsRest) {
  auto text = ExactCopy("a\r\n\r\nb\rc\r");
  SplitCursor cursor(text.get());
  EXPECT_STREQ(cursor.Next("\r\n"), "a");
  EXPECT_STREQ(cursor.Next("\r\n"), "") << "separator right at the cursor";
  EXPECT_STREQ(cursor.Next("\r\n"), "b\rc\r") << "lone CR is not a separator";
  EXPECT_EQ(cursor.Next("\r\n"), nullptr);
  EXPECT_EQ(cursor.Next("\r\n"), nullptr);
}

TEST(SplitCursor, EmptyTextGivesNothing) {
  char text[] = "";
  SplitCursor cursor(text);
  EXPECT_EQ(cursor.Next(":"), nullptr);
}

TEST(HeaderBlock, SplitsStartLineFieldsAndBody) {
  char text[] = "NOTIFY * HTTP/1.1\r\nHost: x\r\n\r\nbody";
  HeaderBlock block;
  block.Parse(text);
  EXPECT_STREQ(block.StartLine(), "NOTIFY * HTTP/1.1");
  ASSERT_EQ(block.FieldCount(), 1u);
  EXPECT_STREQ(block.FieldAt(0).name, "HOST");
  EXPECT_STREQ(block.Get("HOST"), "x");
  EXPECT_STREQ(block.Body(), "body");
  EXPECT_EQ(block.Get("Host"), nullptr) << "look-ups are case-sensitive";
}

TEST(HeaderBlock, TrimsSpacesOnlyAndFoldsNames) {
  char text[] = "S\r\n location :  http://a/b  \r\nX-Inner: a  b\r\nTab:\tv \r\nNoColon\r\n:\r\n";
  HeaderBlock block;
  block.Parse(text);
  EXPECT_STREQ(block.Get("LOCATION"), "http://a/b") << "outer spaces trimmed";
  EXPECT_STREQ(block.Get("X-INNER"), "a  b") << "inner spaces kept";
  EXPECT_STREQ(block.Get("TAB"), "\tv") << "tabs are not trimmed";
  EXPECT_STREQ(block.Get("NOCOLON"), "") << "line without colon";
  EXPECT_STREQ(block.Get(""), "") << "bare colon gives an empty name";
  EXPECT_EQ(block.Body(), nullptr);
}

TEST(HeaderBlock, DuplicateNamesFindTheFirst) {
  char text[] = "S\r\nUSN: one\r\nusn: two\r\n\r\n";
  HeaderBlock block;
  block.Parse(text);
  EXPECT_STREQ(block.Get("USN"), "one");
  ASSERT_NE(block.Body(), nullptr) << "CR LF CR LF at the end: empty but present body";
  EXPECT_STREQ(block.Body(), "");
}

TEST(HeaderBlock, SeventeenthFieldIgnoredButBodyFound) {
  std::string message = "S\r\n";
  for (int i = 1; i <= 17; ++i) {
    const std::string n = std::to_string(i);
    message += 'F';
    message += n;
    message += ": ";
    message += n;
    message += "\r\n";
  }
  message += "\r\nthe body";
  auto text = ExactCopy(message);
  HeaderBlock block;
  block.Parse(text.get());
  EXPECT_EQ(block.FieldCount(), HeaderBlock::kMaxFields);
  EXPECT_STREQ(block.Get("F16"), "16");
  EXPECT_EQ(block.Get("F17"), nullptr);
  EXPECT_STREQ(block.Body(), "the body");
}

TEST(HeaderBlock, OddBytes) {
  {
    SCOPED_TRACE("empty text: no start line, no fields, no body");
    char text[] = "";
    HeaderBlock block;
    block.Parse(text);
    EXPECT_EQ(block.StartLine(), nullptr);
    EXPECT_EQ(block.FieldCount(), 0u);
    EXPECT_EQ(block.Body(), nullptr);
  }
  {
    SCOPED_TRACE("LF-only lines are not split: the whole text is the start line");
    char text[] = "NOTIFY * HTTP/1.1\nNT: x\n\nbody";
    HeaderBlock block;
    block.Parse(text);
    EXPECT_STREQ(block.StartLine(), "NOTIFY * HTTP/1.1\nNT: x\n\nbody");
    EXPECT_EQ(block.FieldCount(), 0u);
    EXPECT_EQ(block.Body(), nullptr);
  }
  {
    SCOPED_TRACE("a NUL ends the text");
    char text[] = "S\r\nA: 1\0B: 2\r\n\r\nbody";
    HeaderBlock block;
    block.Parse(text);
    EXPECT_STREQ(block.Get("A"), "1");
    EXPECT_EQ(block.Get("B"), nullptr);
    EXPECT_EQ(block.Body(), nullptr);
  }
  {
    SCOPED_TRACE("lone CR stays inside the value");
    char text[] = "S\r\nA: x\ry\r\n";
    HeaderBlock block;
    block.Parse(text);
    EXPECT_STREQ(block.Get("A"), "x\ry");
  }
  {
    SCOPED_TRACE("a new parse forgets the previous text");
    char first[] = "S\r\nA: 1\r\n\r\nb";
    char second[] = "T";
    HeaderBlock block;
    block.Parse(first);
    block.Parse(second);
    EXPECT_EQ(block.Get("A"), nullptr);
    EXPECT_EQ(block.Body(), nullptr);
  }
}

TEST(HeaderBlock, EveryTruncatedPrefixStaysInsideItsText) {
  const std::string message =
      "HTTP/1.1 200 OK\r\nST: urn:x\r\nUSN: uuid:1\r\nCACHE-CONTROL: max-age=1800\r\n\r\n<a/>";
  const std::size_t body_at = message.find("\r\n\r\n") + 4;
  for (std::size_t n = 0; n <= message.size(); ++n) {
    SCOPED_TRACE("prefix length " + std::to_string(n));
    auto text = ExactCopy(message.substr(0, n));
    const char* begin = text.get();
    HeaderBlock block;
    block.Parse(text.get());
    auto inside = [&](const char* p) { return p >= begin && p <= begin + n; };
    EXPECT_EQ(block.StartLine() != nullptr, n > 0);
    EXPECT_TRUE(block.StartLine() == nullptr || inside(block.StartLine()));
    EXPECT_EQ(block.Body() != nullptr, n >= body_at);
    EXPECT_TRUE(block.Body() == nullptr || inside(block.Body()));
    for (std::size_t i = 0; i < block.FieldCount(); ++i) {
      EXPECT_TRUE(inside(block.FieldAt(i).name));
      EXPECT_TRUE(inside(block.FieldAt(i).value));
    }
  }
}

}  // namespace
