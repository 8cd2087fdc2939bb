#include "off/off_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "mesh_checks.h"

namespace vertisift::off {
namespace {

// The rendering of `bytes` read whole; every piece size gives the same reading.
std::string read_pieces(const std::string& bytes) {
  return mesh_checks::read_pieces(read_off, bytes);
}

const char* const SQUARE = "0,0,0 1,0,0 1,1,0 0,1,0 | 012 023";

std::string words(bool big_endian, std::initializer_list<std::uint32_t> items) {
  std::string out;
  for (std::uint32_t item : items) {
    for (int k = 0; k < 4; ++k) {
      const int shift = big_endian ? 24 - 8 * k : 8 * k;
      out += static_cast<char>((item >> shift) & 0xff);
    }
  }
  return out;
}

std::uint32_t f(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(ReadOff, Variants) {
  const std::string binary_vertices_be = words(
      true, {4, 1, 0, f(0), f(0), f(0), f(1), f(0), f(0), f(1), f(1), f(0), f(0), f(1), f(0)});
  const std::string binary_vertices_le = words(
      false, {4, 1, 0, f(0), f(0), f(0), f(1), f(0), f(0), f(1), f(1), f(0), f(0), f(1), f(0)});
  const struct {
    const char* name;
    std::string text;
    std::string expected;
  } cases[] = {
      {"plain, comments and blank lines",
       "# made by hand\n\nOFF\n# counts\n4 1 0\n0 0 0\n1 0 0 # a comment\n\n1 1 0\n0 1 0\n4 0 1 2 "
       "3\n",
       SQUARE},
      {"counts on the keyword line, CRLF",
       "OFF 4 1 0\r\n0 0 0\r\n1 0 0\r\n1 1 0\r\n0 1 0\r\n4 0 1 2 3", SQUARE},
      {"counts glued to the keyword after blanks",
       "\t   OFF4 1 0 # or not\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3\n", SQUARE},
      {"no keyword", "# colour map\n4 1 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3 7\n", SQUARE},
      {"two counts, colours after position and face",
       "COFF\n4 1\n0 0 0 255 0 0\n1 0 0 0 255 0\n1 1 0 1 1 1 1\n0 1 0 0.5 0.5 0.5 1\n4 0 1 2 3 "
       "0.1 0.2 0.3\n",
       SQUARE},
      {"face records over several lines",
       "OFF\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n3 0\n1\n\n2\n\n3 0 2\n3 # comment\n", SQUARE},
      {"NOFF normals", "NOFF\n3 1 0\n0 0 0 0 0 1\n1 0 0 0 0 -1\n0 1 0 1 0 0 9 9\n3 0 1 2\n",
       "0,0,0 1,0,0 0,1,0 | 012 | n 0,0,1 0,0,-1 1,0,0"},
      {"4OFF divides by w unless 0 or 1", "4OFF\n3 1 0\n2 4 6 2\n1 2 3 0\n1 2 3 1\n3 0 1 2\n",
       "1,2,3 1,2,3 1,2,3 | 012"},
      {"CN4OFF: w, then the normal, then the colour",
       "CN4OFF\n3 1 0\n2 0 0 2 0 0 1 1 0 0 1\n0 2 0 1 0 1 0 1 0 0 1\n0 0 2 4 1 0 0 1 0 0 1\n"
       "3 0 1 2\n",
       "1,0,0 0,2,0 0,0,0.5 | 012 | n 0,0,1 0,1,0 1,0,0"},
      {"STnOFF of dimension 3", "STnOFF\n3\n3 1 0\n0 0 0 0 0\n1 0 0 1 0\n0 1 0 0 1\n3 0 1 2\n",
       "0,0,0 1,0,0 0,1,0 | 012"},
      {"faces of fewer than 3 corners are skipped",
       "OFF\n3 3 0\n0 0 0\n1 0 0\n0 1 0\n0\n2 0 1\n3 0 1 2\n",
       "0,0,0 1,0,0 0,1,0 | 012 | skipped 2"},
      {"NaN and infinity kept", "OFF\n1 0 0\nnan -inf 1e39\n", "nan,-inf,inf |"},
      {"binary, big-endian with colour counts",
       "OFF BINARY\n" + binary_vertices_be + words(true, {4, 0, 1, 2, 3, 3, f(1), f(0), f(0)}),
       SQUARE},
      {"binary, little-endian without colour counts",
       "OFF BINARY\n" + binary_vertices_le + words(false, {4, 0, 1, 2, 3}), SQUARE},
      {"an appearance block before the header, its braces nested",
       "# Geomview\nappearance\n{\n  +edge\n  material { ambient 1 1 1 # } in a comment\n"
       "    diffuse .5 .5 .5 }\n}\nSTOFF\n4 1 0\n0 0 0 0 0\n1 0 0 1 0\n1 1 0 1 1\n0 1 0 0 "
       "1\n4 0 1 2 3\n",
       SQUARE},
      {"an appearance block on the header's line",
       "appearance{shading smooth}COFF 4 1 0\n0 0 0 1 1 1 1\n1 0 0 1 1 1 1\n1 1 0 1 1 1 1\n"
       "0 1 0 1 1 1 1\n4 0 1 2 3\n",
       SQUARE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_pieces(c.text), c.expected) << c.name;
  }
}

// The colour stream of `mesh` as "vertex r,g,b,a ..." or "face ...", its first `most` items,
// and what the reader counted as ignored; empty when it has neither.
std::string colours_of(const mesh_io::Mesh& mesh, std::size_t most = SIZE_MAX) {
  std::string out;
  if (const mesh_io::Stream* colours = mesh.find(mesh_io::COLOR_STREAM)) {
    EXPECT_EQ(colours->element, mesh_io::Element::Float32);
    out += colours->domain == mesh_io::Domain::Vertex ? "vertex" : "face";
    const std::size_t expected =
        colours->domain == mesh_io::Domain::Vertex ? mesh.positions.size() : mesh.triangles.size();
    EXPECT_EQ(colours->size(), expected) << "one colour per vertex, or per triangle";
    for (const mesh_io::Rgba& c :
         colours->items<mesh_io::Rgba>().first(std::min(most, colours->size()))) {
      char buffer[80];
      std::snprintf(buffer, sizeof buffer, " %g,%g,%g,%g", c.r, c.g, c.b, c.a);
      out += buffer;
    }
  }
  for (const mesh_io::Mesh::Ignored& ignored : mesh.ignored) {
    out += " | " + ignored.what + " " + std::to_string(ignored.count);
  }
  return out;
}

struct ColourCase {
  const char* name;
  std::string text;
  const char* expected;
};

void PrintTo(const ColourCase& c, std::ostream* out) { *out << c.name; }

class ReadOffColours : public ::testing::TestWithParam<ColourCase> {};

// Every piece size gives the same colours.
TEST_P(ReadOffColours, AsWritten) {
  const std::string& text = GetParam().text;
  std::string whole;
  for (const std::size_t piece : {SIZE_MAX, std::size_t{1}, std::size_t{7}}) {
    mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())), piece);
    auto mesh = read_off(source);
    ASSERT_TRUE(mesh.ok()) << mesh.error().display();
    if (piece == SIZE_MAX) whole = colours_of(mesh.value());
    EXPECT_EQ(colours_of(mesh.value()), whole) << "piece size " << piece;
  }
  EXPECT_EQ(whole, GetParam().expected);
}

const char* const TRIANGLE = "0 0 0\n1 0 0\n0 1 0\n";
const char* const QUAD = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n";

INSTANTIATE_TEST_SUITE_P(
    Encodings, ReadOffColours,
    ::testing::Values(
        ColourCase{"vertex_rgb_integers",
                   "COFF\n3 1\n0 0 0 255 0 0\n1 0 0 0 255 0 # c\n0 1 0 0 0 51\n3 0 1 2\n",
                   "vertex 1,0,0,1 0,1,0,1 0,0,0.2,1"},
        // Decided colour by colour: "1 1 1 1" is all integers, so 0 to 255.
        ColourCase{"vertex_rgba_floats_and_integers",
                   "COFF\n3 1\n0 0 0 0.5 .25 1 0.5\n1 0 0 1 1 1 1\n0 1 0 1e0 0 0\n3 0 1 2\n",
                   "vertex 0.5,0.25,1,0.5 0.00392157,0.00392157,0.00392157,0.00392157 1,0,0,1"},
        ColourCase{"vertex_colour_after_the_normal",
                   "CNOFF\n3 1\n0 0 0 0 0 1 255 0 0\n1 0 0 0 0 1 0 0 1.0\n"
                   "0 1 0 0 0 1 0 255 0 255\n3 0 1 2\n",
                   "vertex 1,0,0,1 0,0,1,1 0,1,0,1"},
        // Of five numbers the last two are s t; of six, r g b a s t.
        ColourCase{"vertex_colour_before_texture_coordinates",
                   "STCOFF\n3 1\n0 0 0 255 0 0 0.5 0.5\n1 0 0 .1 .2 .3 .4 1 1\n"
                   "0 1 0 0 0 255 51 0 0\n3 0 1 2\n",
                   "vertex 1,0,0,1 0.1,0.2,0.3,0.4 0,0,1,0.2"},
        // A quad's two triangles both carry its colour; a face without one is white.
        ColourCase{"face_colours_repeat_over_the_fan",
                   std::string("OFF\n4 4\n") + QUAD +
                       "4 0 1 2 3 255 0 0\n3 0 1 2 0.5 0.5 0.5 0.5\n3 0 2 3\n"
                       "3 1 2 3 0 0 255 255 # blue\n",
                   "face 1,0,0,1 1,0,0,1 0.5,0.5,0.5,0.5 1,1,1,1 0,0,1,1"},
        // White up to the first colour; a skipped face has no triangle to colour.
        ColourCase{"face_colours_after_uncoloured_and_skipped_faces",
                   std::string("OFF\n4 4\n") + QUAD +
                       "3 0 1 2\n2 0 1 0 0 255\n4\n0 1\n2 3 0 255 0\n3 0 2 3\n",
                   "face 1,1,1,1 0,1,0,1 0,1,0,1 1,1,1,1"},
        ColourCase{"colour_map_index_counted",
                   std::string("OFF\n4 3\n") + QUAD + "3 0 1 2 7\n3 0 2 3 0 0 1.0\n3 1 2 3 0\n",
                   "face 1,1,1,1 0,0,1,1 1,1,1,1 | colour-map index 2"},
        ColourCase{"vertex_colours_win_over_face_colours",
                   "COFF\n3 3\n0 0 0 1 0 0\n1 0 0 0 1.0 0\n0 1 0 0 0 1.0 0.5\n"
                   "3 0 1 2 255 0 0\n3 0 1 2 3\n3 0 1 2 0.1 0.2 0.3 0.4\n",
                   "vertex 0.00392157,0,0,1 0,1,0,1 0,0,1,0.5 | face colour beside vertex "
                   "colours 3 | colour-map index 1"},
        // Vertex colours all of one colour (a writer's default) give way to faces of several;
        // components are clamped to [0, 1], NaN as 0.
        ColourCase{"face_colours_win_over_one_vertex_colour",
                   "COFF\n3 2\n0 0 0 1 1 1\n1 0 0 1 1 1\n0 1 0 1 1 1\n"
                   "3 0 1 2 1.5 nan 0.5\n3 0 1 2 0 0 1.0\n",
                   "face 1,0,0.5,1 0,0,1,1 | vertex colour of one colour beside face colours 3"},
        // As before colours were read: 2 numbers, more than 4, or a word, are no colour.
        ColourCase{"tails_that_are_no_colour",
                   std::string("OFF\n3 4\n") + TRIANGLE +
                       "3 0 1 2 1 0\n3 0 1 2 1 0 0 1 1\n3 0 1 2 red\n3 0 1 2 255 0 0#c\n",
                   "face 1,1,1,1 1,1,1,1 1,1,1,1 1,0,0,1"},
        // One vertex, or face, a line.
        ColourCase{"binary_vertex_colours_as_stored",
                   "COFF BINARY\n" + words(true, {3, 1, 0}) +
                       words(true, {f(0), f(0), f(0), f(1), f(0), f(0), f(1)}) +
                       words(true, {f(1), f(0), f(0), f(0.5f), f(0.5f), f(0), f(1)}) +
                       words(true, {f(0), f(1), f(0), f(0), f(0), f(1), f(1)}) +
                       words(true, {3, 0, 1, 2, 0}),
                   "vertex 1,0,0,1 0.5,0.5,0,1 0,0,1,1"},
        ColourCase{"binary_face_colour_counts",
                   "OFF BINARY\n" + words(true, {3, 3, 0}) +
                       words(true, {f(0), f(0), f(0), f(1), f(0), f(0), f(0), f(1), f(0)}) +
                       words(true, {3, 0, 1, 2, 1, f(7)}) +
                       words(true, {3, 0, 1, 2, 3, f(0), f(1), f(0)}) +
                       words(true, {3, 0, 1, 2, 4, f(1), f(0), f(0), f(0.5f)}),
                   "face 1,1,1,1 0,1,0,1 1,0,0,0.5 | colour-map index 1"}),
    [](const ::testing::TestParamInfo<ColourCase>& info) { return info.param.name; });

TEST(ReadOff, Errors) {
  const struct {
    std::string text;
    const char* expected;
  } cases[] = {
      {"", "OFF: the file ends before the header"},
      {"solid cube\nfacet normal 0 0 1\n",
       "OFF line 1: not an OFF file: expected the OFF keyword or the vertex and face counts, got "
       "\"solid cube\""},
      {"OFFX\n",
       "OFF line 1: not an OFF file: expected the OFF keyword or the vertex and face "
       "counts, got \"OFFX\""},
      {"OFF\n", "OFF: the file ends at line 1, before the vertex and face counts"},
      {"OFF\n3 -1 0\n", "OFF line 2: expected the vertex and face counts, got \"3 -1 0\""},
      {"OFF\n2 1 0\n0 0 0\n1.0 2.0\n",
       "OFF line 4: expected 3 vertex coordinates, got \"1.0 2.0\""},
      {"NOFF\n1 0 0\n0 0 0 1\n",
       "OFF line 3: expected 6 numbers (x y z nx ny nz), got \"0 0 0 1\""},
      {"COFF\n1 0 0\n0 0 0 1 0\n",
       "OFF line 3: expected the vertex colour (r g b [a]) after 3 vertex coordinates, got "
       "\"0 0 0 1 0\""},
      {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n",
       "OFF line 6: vertex index 3 is out of range (3 vertices in the file)"},
      {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 -1 2\n",
       "OFF line 6: vertex index -1 is out of range (3 vertices in the file)"},
      {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 x\x01 2\n",
       "OFF line 6: expected a vertex index, got \"x\\x01\""},
      {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n-3 0 1 2\n",
       "OFF line 6: expected the corner count of a face, got \"-3 0 1 2\""},
      {"OFF\n4294967297 0 0\n",
       "OFF line 2: more vertices than 32-bit indices can name (the header declares 4294967297)"},
      {"OFF\n12 1 0\n0 0 0\n", "OFF: the file ends at line 3, after 1 of 12 vertices"},
      {"OFF\n3 4 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n3 0\n1\n",
       "OFF: the file ends at line 8, after 1 of 4 faces"},
      {"nOFF\n4\n1 0 0\n", "OFF line 2: expected the dimension 3 (the only one read), got \"4\""},
      {"OFF BINARY\n" + words(false, {3, 1, 0}) + std::string(36, '\0') +
           words(false, {3, 0, 1, 7}),
       "OFF byte 71: vertex index 7 is out of range (3 vertices in the file)"},
      {"OFF BINARY\n" + words(true, {3, 1, 0}) + std::string(36, '\0') +
           words(true, {3, 0, 1, 2, 9}),
       "OFF byte 75: expected a colour count of 0 to 4, got 9"},
      {"OFF BINARY\n" + words(true, {1, 0, 0}),
       "OFF: the file ends at byte 23, after 0 of 1 vertices"},
      {"# Geomview\nappearance {\n  material { ambient 1 1 1 }\n",
       "OFF: the file ends at line 3, in the appearance block that begins at line 2"},
      {"appearance +edge\nOFF\n", "OFF line 1: expected \"{\" after appearance, got \"+edge\""},
      {"appearance { +edge }\n", "OFF: the file ends before the header"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_pieces(c.text), std::string("error: ") + c.expected) << c.text;
  }
}

// Decimals of every length, point position and sign read as parse_float reads them, bit for
// bit (the short path for plain decimals must round as the general one does).
TEST(ReadOff, DecimalsRoundCorrectly) {
  const std::vector<std::string> tokens = mesh_checks::random_decimals();
  std::string text = "OFF\n" + std::to_string(tokens.size() / 3) + " 0 0\n";
  for (std::size_t i = 0; i < tokens.size(); i += 3) {
    text += "" + tokens[i] + " " + tokens[i + 1] + " " + tokens[i + 2] + "\n";
  }
  mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())));
  auto mesh = read_off(source);
  ASSERT_TRUE(mesh.ok()) << mesh.error().display();
  mesh_checks::expect_parsed_positions(mesh.value(), tokens);
}

// The files of the shared collection, by their README's "triangles after fanning", or the
// error they must give.
TEST(ReadOff, RealFiles) {
  const std::filesystem::path folder = mesh_checks::real_meshes();
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared mesh collection here";
  const struct {
    const char* path;
    std::size_t triangles;
    const char* error;
    const char* colours = "";  // colours_of, the first item
  } files[] = {
      {"assimp/Cube.off", 12, nullptr},
      {"assimp/invalid.off", 0,
       "OFF line 8: vertex index 20 is out of range (3 vertices in the file)"},
      {"geomview/br2.off", 36, nullptr, "face 0.7,0,0,1"},
      {"geomview/pieces/cube1.off", 12, nullptr, " | colour-map index 6"},
      {"geomview/trapezoid.4d.off", 12, nullptr, "face 0.5,1,0.5,1"},
      {"geomview/unitcube.off", 12, nullptr, "face 0.8,0.098,0.098,1"},
      {"geomview/vertcube.off", 12, nullptr, "vertex 0.05,0.8,0.1,0.75"},
      {"jjcao-orientation/twoplane_500.off", 0, nullptr},
      {"libigl-data/camelhead.off", 22704, nullptr},
      {"libigl-data/inspired_mesh_quads_Conjugate.off", 3266, nullptr},
      // Colours after the coordinates of an OFF (not COFF) header are not read.
      {"o3dv/rectangle_vertex_colors_int.off", 2, nullptr},
      {"openscad/far-out-ring.off", 3072, nullptr},
      {"pmp/beetle.off", 9664, nullptr},
      {"pmp/fandisk_quads.off", 1528, nullptr},
      {"pmp/L.off", 4, nullptr},
      {"trimesh/whitespace.off", 12, nullptr, "face 1,0,0,0.75"},
  };
  mesh_checks::expect_every_file_listed(folder, ".off", std::size(files));
  for (const auto& file : files) {
    auto mesh = mesh_checks::read_file(read_off, folder / file.path);
    if (file.error != nullptr) {
      ASSERT_FALSE(mesh.ok()) << file.path;
      EXPECT_EQ(mesh.error().display(), file.error);
      continue;
    }
    ASSERT_TRUE(mesh.ok()) << file.path << ": " << mesh.error().display();
    EXPECT_EQ(mesh.value().triangles.size(), file.triangles) << file.path;
    EXPECT_EQ(mesh.value().skipped_faces, 0u) << file.path;
    EXPECT_EQ(colours_of(mesh.value(), 1), file.colours) << file.path;
  }
}

// A NOFF point cloud: one normal a position, no triangles to index them.
TEST(ReadOff, RealFileNormals) {
  const std::filesystem::path folder = mesh_checks::real_meshes();
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared mesh collection here";
  auto mesh = mesh_checks::read_file(read_off, folder / "jjcao-orientation/twoplane_500.off");
  ASSERT_TRUE(mesh.ok());
  EXPECT_EQ(mesh.value().positions.size(), 1500u);
  EXPECT_EQ(mesh_checks::normals_of(mesh.value()).size(), 1500u);
  EXPECT_TRUE(mesh_checks::normal_corners_of(mesh.value()).empty());
}

}  // namespace
}  // namespace vertisift::off
