// The one quoting of names and tokens in the readers' messages.
#include "mesh_io/quote.h"

#include <gtest/gtest.h>

#include <string>

namespace vertisift::mesh_io {
namespace {

TEST(Quote, EscapesWhatWouldHideOrBreakTheText) {
  const struct {
    std::string text, quoted;
  } cases[] = {
      {"vertex", R"("vertex")"},
      {"", R"("")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {std::string("\0\x01\t\n\x1f \x7f", 7), R"("\x00\x01\x09\x0a\x1f \x7f")"},
      // UTF-8 stays; what is not UTF-8 (a stray continuation byte, a cut sequence, an
      // overlong form, a surrogate, beyond U+10FFFF) is written byte by byte.
      {"сетка é €𝄞", "\"сетка é €𝄞\""},
      {"\x80 \xc3 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80",
       R"("\x80 \xc3 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80")"},
      // The C1 controls and the line and paragraph separators would break the line.
      {"a\u0085b\u2028c\u2029", R"("a\xc2\x85b\xe2\x80\xa8c\xe2\x80\xa9")"},
      // 40 bytes at most, cut before a character that would pass them.
      {std::string(40, 'x'), "\"" + std::string(40, 'x') + "\""},
      {std::string(41, 'x'), "\"" + std::string(40, 'x') + "...\""},
      {std::string(39, 'x') + "é", "\"" + std::string(39, 'x') + "...\""},
      {std::string(38, 'x') + "é", "\"" + std::string(38, 'x') + "é\""},
      {std::string(39, 'x') + "\"", "\"" + std::string(39, 'x') + "\\\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quote(c.text), c.quoted) << c.quoted;
}

}  // namespace
}  // namespace vertisift::mesh_io
