// The UTF-8 unit against a second, straightforward reading of the rules: every code point
// encoded and decoded, and the validator on every short byte string built from the bytes
// where the rules change, whole and split between two calls.
#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vertisift::base {
namespace {

bool is_surrogate(std::uint32_t code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }

TEST(Utf8, EveryCodePointEncodesDecodesAndValidates) {
  EXPECT_EQ(
      [] {
        std::string s;
        append_utf8(s, 0xE9);
        return s;
      }(),
      "\xC3\xA9");
  EXPECT_EQ(
      [] {
        std::string s;
        append_utf8(s, 0x20AC);
        return s;
      }(),
      "\xE2\x82\xAC");
  EXPECT_EQ(
      [] {
        std::string s;
        append_utf8(s, 0x1F600);
        return s;
      }(),
      "\xF0\x9F\x98\x80");
  for (std::uint32_t code_point = 0; code_point <= 0x10FFFF; ++code_point) {
    std::string text = "a";
    append_utf8(text, code_point);
    const std::size_t length = code_point < 0x80      ? 1
                               : code_point < 0x800   ? 2
                               : code_point < 0x10000 ? 3
                                                      : 4;
    ASSERT_EQ(text.size(), 1 + length) << code_point;
    std::size_t at = 1;
    ASSERT_EQ(decode_utf8(text, at), code_point);
    ASSERT_EQ(at, text.size());
    ASSERT_EQ(is_valid_utf8(text), !is_surrogate(code_point)) << code_point;
  }
}

// Whether `text` is valid UTF-8, read the long way: the lead byte gives the length, the
// rest must be continuation bytes, and the code point must be in range, no surrogate, and
// written in its shortest form.
bool valid_by_rules(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC0 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF8 ? 4
                                             : 0;
    if (length == 0 || at + length > text.size()) return false;
    std::uint32_t code_point = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      if ((next & 0xC0) != 0x80) return false;
      code_point = code_point << 6 | (next & 0x3Fu);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < smallest[length] || code_point > 0x10FFFF || is_surrogate(code_point)) {
      return false;
    }
    at += length;
  }
  return true;
}

TEST(Utf8Validator, AgreesWithTheRulesOnShortStrings) {
  const std::vector<unsigned char> edges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F,
                                            0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0,
                                            0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  const auto check = [](const std::string& text) {
    const bool expected = valid_by_rules(text);
    ASSERT_EQ(is_valid_utf8(text), expected) << testing::PrintToString(text);
    for (std::size_t split = 1; split < text.size(); ++split) {
      Utf8Validator validator;
      validator.feed(std::string_view(text).substr(0, split));
      validator.feed(std::string_view(text).substr(split));
      ASSERT_EQ(validator.finish(), expected) << testing::PrintToString(text) << " " << split;
    }
  };
  for (int lead = 0; lead < 256; ++lead) {
    const std::string one(1, static_cast<char>(lead));
    check(one);
    for (unsigned char b : edges) {
      const std::string two = one + static_cast<char>(b);
      check(two);
      for (unsigned char c : edges) {
        const std::string three = two + static_cast<char>(c);
        check(three);
        for (unsigned char d : edges) check(three + static_cast<char>(d));
      }
    }
    if (HasFailure()) return;  // one lead byte's worth of messages is enough
  }
}

}  // namespace
}  // namespace vertisift::base
