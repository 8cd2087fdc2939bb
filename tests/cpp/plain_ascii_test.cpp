#include "stl/plain_ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace vertisift::stl {
namespace {

constexpr const char* FACET =
    "facet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 0 1 0\n"
    " endloop\nendfacet\n";

// Where a part of the text may start: facet and endsolid lines, found past their indentation
// (blanks and tabs), and not a line that only begins with such a word.
TEST(PlainAscii, FacetStartsPastIndentation) {
  const std::string first = std::string("  ") + FACET;
  const std::string second = std::string("\t \t") + FACET;
  const std::string text = "solid x\n" + first + "facets 1 2 3\n" + second + "  endsolid x\n";
  const std::size_t first_at = text.find("  facet");
  const std::size_t second_at = text.find("\t \tfacet");
  const std::size_t end_at = text.find("  endsolid");
  EXPECT_EQ(next_facet_start(text, 0, text.size()), first_at);
  EXPECT_EQ(next_facet_start(text, first_at + first.size(), text.size()), second_at);
  EXPECT_EQ(next_facet_start(text, second_at + second.size(), text.size()), end_at);
  EXPECT_EQ(next_facet_start(text, 0, first_at), first_at);  // none before `end`
  EXPECT_EQ(last_facet_start(text, 0, end_at), second_at);
  EXPECT_EQ(last_facet_start(text, 0, text.size()), end_at);
  EXPECT_EQ(last_facet_start(text, 0, first_at), std::size_t{0});  // none: `from`

  std::vector<mesh_io::RawFace> faces;
  const PlainParse parse = parse_plain_facets(text, first_at, text.size(), faces);
  EXPECT_EQ(parse.stop, PlainStop::Departure);  // "facets 1 2 3" is not a facet line
  EXPECT_EQ(faces.size(), 1u);
  faces.clear();
  EXPECT_EQ(parse_plain_facets(text, second_at, text.size(), faces).stop, PlainStop::Endsolid);
  EXPECT_EQ(faces.size(), 1u);
}

}  // namespace
}  // namespace vertisift::stl
