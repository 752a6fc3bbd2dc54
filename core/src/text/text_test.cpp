#include <gtest/gtest.h>

#include "text/debug_quote.hpp"
#include "text/utf8.hpp"

namespace karvik_core {
namespace {

TEST(DebugQuote, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(debug_quote("tiles/a.laz"), "\"tiles/a.laz\"");
  EXPECT_EQ(debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quote("x\ny\tz\x1b"), "\"x\\ny\\tz\\u{1b}\"");
  EXPECT_EQ(debug_quote("h\xC3\xA9"), "\"h\xC3\xA9\"");
}

TEST(Utf8, ValidationDescribesTheFirstBadSequence) {
  struct Case {
    std::string bytes;
    const char* description;  // nullptr: valid
  };
  const Case cases[] = {
      {"plain", nullptr},
      {"h\xC3\xA9 \xF0\x9F\x98\x80", nullptr},
      {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xC3(", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xE2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
      {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {"ok\xE2\x82", "incomplete utf-8 byte sequence from index 2"},
  };
  for (const auto& c : cases) {
    const auto error = validate_utf8(c.bytes);
    if (c.description == nullptr) {
      EXPECT_FALSE(error) << c.bytes;
    } else {
      ASSERT_TRUE(error) << c.bytes;
      EXPECT_EQ(error->describe(), c.description);
    }
  }
}

TEST(Utf8, LossyConversionReplacesEachBadSequence) {
  EXPECT_EQ(to_utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(to_utf8_lossy("\xE2\x82(x"), "\xEF\xBF\xBD(x");
  EXPECT_EQ(to_utf8_lossy("end\xF0\x9F"), "end\xEF\xBF\xBD");
  EXPECT_EQ(to_utf8_lossy("h\xC3\xA9"), "h\xC3\xA9");
}

}  // namespace
}  // namespace karvik_core
