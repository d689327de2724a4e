#include "suites/utf16.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

TEST(Utf16, ConvertsBothWaysAndReplacesBrokenSequences) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const Case round_trips[] = {
      {"/tmp/a.aep", u"/tmp/a.aep"},
      {"aperçu", u"aperçu"},
      {"5 €", u"5 €"},
      {"\xF0\x9F\x8E\xAC", u"\U0001F3AC"},  // outside the BMP: a surrogate pair
      {"", u""},
  };
  for (const Case& c : round_trips) {
    EXPECT_EQ(utf8_to_utf16(c.utf8), c.utf16) << c.utf8;
    std::u16string z = c.utf16 + u'\0';
    EXPECT_EQ(utf16_to_utf8(reinterpret_cast<const A_UTF16Char*>(z.data())), c.utf8) << c.utf8;
  }
  EXPECT_EQ(utf8_to_utf16("a\xC3"), u"a\uFFFD");         // cut short
  EXPECT_EQ(utf8_to_utf16("\xE2\x28\xA1"), u"\uFFFD(\uFFFD");  // bad continuation
  EXPECT_EQ(utf8_to_utf16("\xED\xA0\x80"), u"\uFFFD");    // an encoded surrogate
  const A_UTF16Char lone[] = {0xD800, u'x', 0};
  EXPECT_EQ(utf16_to_utf8(lone), "\xEF\xBF\xBDx");
  const A_UTF16Char unterminated[] = {u'a', u'b', u'c'};
  EXPECT_EQ(utf16_to_utf8(unterminated, 2), "ab");
}

}  // namespace
}  // namespace sim
