#include "stl/debug_quote.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vertisift::stl {
namespace {

std::string quote(std::vector<std::string_view> items) { return debug_quote(items); }

std::string quote_one(std::string_view item) {
  std::string out;
  append_debug_quoted(out, item);
  return out;
}

TEST(DebugQuote, ListShape) {
  EXPECT_EQ(quote({}), "[]");
  EXPECT_EQ(quote({"endloop"}), R"(["endloop"])");
  EXPECT_EQ(quote({"facet", "normal", "1", "2"}), R"(["facet", "normal", "1", "2"])");
  EXPECT_EQ(quote({""}), R"([""])");
}

TEST(DebugQuote, BackslashEscapes) {
  EXPECT_EQ(quote_one("a\"b"), R"("a\"b")");
  EXPECT_EQ(quote_one("a\\b"), R"("a\\b")");
  EXPECT_EQ(quote_one(std::string_view("a\0b", 3)), R"("a\0b")");
  EXPECT_EQ(quote_one("\t\n\r"), R"("\t\n\r")");
  EXPECT_EQ(quote_one("it's"), R"("it's")");
}

TEST(DebugQuote, ControlsAsCodePoints) {
  EXPECT_EQ(quote_one("\x01"), R"("\u{1}")");
  EXPECT_EQ(quote_one("\x0b\x0c\x1f"), R"("\u{b}\u{c}\u{1f}")");
  EXPECT_EQ(quote_one("\x7f"), R"("\u{7f}")");
  EXPECT_EQ(quote_one("\xc2\x80\xc2\x9f"), R"("\u{80}\u{9f}")");  // C1 controls
}

TEST(DebugQuote, PrintableTextUnchanged) {
  EXPECT_EQ(quote_one(" !#$%&()*+,-./09:;<=>?@AZ[]^_`az{|}~"),
            R"(" !#$%&()*+,-./09:;<=>?@AZ[]^_`az{|}~")");
  EXPECT_EQ(quote_one("é"), "\"é\"");
  EXPECT_EQ(quote_one("Привет"), "\"Привет\"");
  EXPECT_EQ(quote_one("月球"), "\"月球\"");
  EXPECT_EQ(quote_one("€½±°"), "\"€½±°\"");
  EXPECT_EQ(quote_one("😀"), "\"😀\"");                        // U+1F600, a symbol
  EXPECT_EQ(quote_one("\xe1\x84\x80"), "\"\xe1\x84\x80\"");  // U+1100, a Hangul jamo (Lo)
}

TEST(DebugQuote, GraphemeExtenders) {
  EXPECT_EQ(quote_one("e\xcc\x81"), R"("e\u{301}")");  // combining acute accent, Mn
  EXPECT_EQ(quote_one("\xcc\x80"), R"("\u{300}")");
  EXPECT_EQ(quote_one("\xd2\x88"), R"("\u{488}")");  // U+0488, an enclosing mark (Me)
  // Extenders by Other_Grapheme_Extend, whose category alone would print them:
  EXPECT_EQ(quote_one("\xef\xbe\x9e"), R"("\u{ff9e}")");       // U+FF9E, Lm
  EXPECT_EQ(quote_one("\xe0\xa6\xbe"), R"("\u{9be}")");        // U+09BE, Mc
  EXPECT_EQ(quote_one("\xf0\x9d\x85\xa5"), R"("\u{1d165}")");  // U+1D165, Mc
  // A spacing mark that is not an extender prints.
  EXPECT_EQ(quote_one("\xe0\xa6\xbf"), "\"\xe0\xa6\xbf\"");  // U+09BF, Mc
}

TEST(DebugQuote, FormatCharacters) {
  // clang-format off
  EXPECT_EQ(quote_one("\xc2\xad"), R"("\u{ad}")");          // soft hyphen
  EXPECT_EQ(quote_one("a\xe2\x80\x8b" "b"), R"("a\u{200b}b")");  // zero width space
  EXPECT_EQ(quote_one("\xe2\x80\x8d"), R"("\u{200d}")");    // zero width joiner
  EXPECT_EQ(quote_one("\xef\xbb\xbf"), R"("\u{feff}")");    // byte-order mark
  EXPECT_EQ(quote_one("\xf3\xa0\x80\x81"), R"("\u{e0001}")");  // language tag
  // clang-format on
}

TEST(DebugQuote, SeparatorsOtherThanBlank) {
  EXPECT_EQ(quote_one("a b"), R"("a b")");
  EXPECT_EQ(quote_one("\xc2\xa0"), R"("\u{a0}")");
  EXPECT_EQ(quote_one("\xe2\x80\xa8\xe2\x80\xa9"), R"("\u{2028}\u{2029}")");
  EXPECT_EQ(quote_one("\xe3\x80\x80"), R"("\u{3000}")");
}

TEST(DebugQuote, PrivateUseAndUnassigned) {
  EXPECT_EQ(quote_one("\xee\x80\x80"), R"("\u{e000}")");
  EXPECT_EQ(quote_one("\xf3\xb0\x80\x80"), R"("\u{f0000}")");
  EXPECT_EQ(quote_one("\xcd\xb8"), R"("\u{378}")");       // U+0378, unassigned
  EXPECT_EQ(quote_one("\xef\xbf\xbf"), R"("\u{ffff}")");  // a noncharacter
  EXPECT_EQ(quote_one("\xf4\x8f\xbf\xbf"), R"("\u{10ffff}")");
  EXPECT_EQ(quote_one("\xf0\xb0\x80\x80"), "\"\xf0\xb0\x80\x80\"");  // U+30000, assigned in 13.0
}

TEST(DebugQuote, TableBoundaries) {
  EXPECT_TRUE(needs_unicode_escape(0x0000));
  EXPECT_TRUE(needs_unicode_escape(0x001F));
  EXPECT_FALSE(needs_unicode_escape(0x0020));
  EXPECT_FALSE(needs_unicode_escape(0x007E));
  EXPECT_TRUE(needs_unicode_escape(0x007F));
  EXPECT_TRUE(needs_unicode_escape(0xD800));  // surrogates
  EXPECT_TRUE(needs_unicode_escape(0xDFFF));
  EXPECT_FALSE(needs_unicode_escape(0xFFFD));
  EXPECT_TRUE(needs_unicode_escape(0x10FFFF));
  EXPECT_FALSE(needs_unicode_escape(0x4E00));
}

}  // namespace
}  // namespace vertisift::stl
