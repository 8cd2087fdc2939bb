#include "off/off_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
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
  } files[] = {
      {"assimp/Cube.off", 12, nullptr},
      {"assimp/invalid.off", 0,
       "OFF line 8: vertex index 20 is out of range (3 vertices in the file)"},
      {"geomview/br2.off", 36, nullptr},
      {"geomview/pieces/cube1.off", 12, nullptr},
      {"geomview/trapezoid.4d.off", 12, nullptr},
      {"geomview/unitcube.off", 12, nullptr},
      {"geomview/vertcube.off", 12, nullptr},
      {"jjcao-orientation/twoplane_500.off", 0, nullptr},
      {"libigl-data/camelhead.off", 22704, nullptr},
      {"libigl-data/inspired_mesh_quads_Conjugate.off", 3266, nullptr},
      {"o3dv/rectangle_vertex_colors_int.off", 2, nullptr},
      {"openscad/far-out-ring.off", 3072, nullptr},
      {"pmp/beetle.off", 9664, nullptr},
      {"pmp/fandisk_quads.off", 1528, nullptr},
      {"pmp/L.off", 4, nullptr},
      {"trimesh/whitespace.off", 12, nullptr},
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
