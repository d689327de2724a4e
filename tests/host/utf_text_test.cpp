#include "host/utf_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace vel {
namespace {

TEST(Utf16ToUtf8, ConvertsNamesAndReplacesBrokenSurrogates) {
  const struct {
    std::vector<uint16_t> units;
    std::string utf8;
  } table[] = {
      {{}, ""},
      {{'C', 'o', 'm', 'p', ' ', '1'}, "Comp 1"},
      {{0x00E9, 't', 0x00E9}, "\xC3\xA9t\xC3\xA9"},                     // two-byte forms
      {{0x20AC}, "\xE2\x82\xAC"},                                       // three-byte form
      {{0xD83C, 0xDFAC}, "\xF0\x9F\x8E\xAC"},                           // surrogate pair, U+1F3AC
      {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},                           // highest code point
      {{'a', 0xD83C}, "a\xEF\xBF\xBD"},                                 // high surrogate at the end
      {{0xD83C, 'b'}, "\xEF\xBF\xBD" "b"},                              // high surrogate before a letter
      {{0xDFAC, 'c'}, "\xEF\xBF\xBD" "c"},                              // lone low surrogate
      {{0xDFAC, 0xD83C}, "\xEF\xBF\xBD\xEF\xBF\xBD"},                   // reversed pair
      {{0xD83C, 0xD83C, 0xDFAC}, "\xEF\xBF\xBD\xF0\x9F\x8E\xAC"},       // high, then a full pair
      {{0xFFFF}, "\xEF\xBF\xBF"},
  };
  for (const auto& row : table) EXPECT_EQ(utf16_to_utf8(row.units.data(), row.units.size()), row.utf8);
}

TEST(Utf8Lossy, KeepsValidTextAndReplacesEachInvalidSequence) {
  const struct {
    std::string in;
    std::string out;
  } table[] = {
      {"", ""},
      {"created rs_template_v6", "created rs_template_v6"},
      {"d\xC3\xA9j\xC3\xA0 \xF0\x9F\x8E\xAC", "d\xC3\xA9j\xC3\xA0 \xF0\x9F\x8E\xAC"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},                            // never a lead byte
      {"\x80", "\xEF\xBF\xBD"},                                      // stray continuation
      {"\xC3", "\xEF\xBF\xBD"},                                      // cut at the end
      {"\xF0\x9F\x8E", "\xEF\xBF\xBD"},                              // cut four-byte form: one replacement
      {"\xF0\x9F\x8E" "x", "\xEF\xBF\xBD" "x"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                      // overlong two-byte
      {"\xE0\x80\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},      // overlong three-byte
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},      // encoded surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
      {"\xE2\x82" "A", "\xEF\xBF\xBD" "A"},
  };
  for (const auto& row : table) EXPECT_EQ(utf8_lossy(row.in), row.out) << row.in;
}

TEST(Utf8ToUtf16, RoundTripsValidTextAndRefusesInvalid) {
  const std::string valid[] = {"", "/tmp/velocinta_pool/snapshot.aep", "/Users/\xC3\xA9lise/\xF0\x9F\x8E\xAC.aep"};
  for (const auto& s : valid) {
    auto w = utf8_to_utf16(s);
    ASSERT_TRUE(w.has_value()) << s;
    std::vector<uint16_t> units(w->begin(), w->end());
    EXPECT_EQ(utf16_to_utf8(units.data(), units.size()), s);
  }
  auto pair = utf8_to_utf16("\xF0\x9F\x8E\xAC");
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(*pair, (std::u16string{0xD83C, 0xDFAC}));
  const std::string invalid[] = {"\xFF", "a\xC3", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"};
  for (const auto& s : invalid) EXPECT_FALSE(utf8_to_utf16(s).has_value()) << s;
}

TEST(BoundedLength, StopsAtZeroOrTheBound) {
  const uint16_t with_zero[] = {'a', 'b', 0, 'c'};
  EXPECT_EQ(bounded_length(with_zero, 4), 2u);
  const uint16_t without_zero[] = {'a', 'b', 'c'};
  EXPECT_EQ(bounded_length(without_zero, 3), 3u);
  EXPECT_EQ(bounded_length(without_zero, 0), 0u);
}

}  // namespace
}  // namespace vel
