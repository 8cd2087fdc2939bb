#include "off/off_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "mesh_io/file_stream.h"
#include "mesh_io/text_numbers.h"

namespace vertisift::off {
namespace {

using mesh_io::StoredMesh;

// The mesh as text: positions, triangles, normals and the skipped count, so that a whole
// reading compares in one line.
std::string render(const StoredMesh& mesh) {
  std::string out;
  char buffer[64];
  for (const auto& p : mesh.positions) {
    std::snprintf(buffer, sizeof buffer, "%g,%g,%g ", p.x, p.y, p.z);
    out += buffer;
  }
  out += "|";
  for (const auto& t : mesh.triangles) {
    std::snprintf(buffer, sizeof buffer, " %u%u%u", t.corners[0], t.corners[1], t.corners[2]);
    out += buffer;
  }
  if (!mesh.normals.empty()) out += " | n";
  for (const auto& n : mesh.normals) {
    std::snprintf(buffer, sizeof buffer, " %g,%g,%g", n.x, n.y, n.z);
    out += buffer;
  }
  if (mesh.skipped_faces != 0) out += " | skipped " + std::to_string(mesh.skipped_faces);
  return out;
}

// The rendering of `bytes` read in pieces of `piece` bytes, or the error's text.
std::string read_text(const std::string& bytes, std::size_t piece) {
  mesh_io::MemorySource source(std::as_bytes(std::span(bytes.data(), bytes.size())), piece);
  auto result = read_off(source);
  return result.ok() ? render(result.value()) : "error: " + result.error().display();
}

// Every piece size gives the same reading.
std::string read_pieces(const std::string& bytes) {
  const std::string whole = read_text(bytes, SIZE_MAX);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
    EXPECT_EQ(read_text(bytes, piece), whole) << "piece size " << piece;
  }
  return whole;
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
       "OFF line 6: vertex index 3 is out of range (3 vertices)"},
      {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 -1 2\n",
       "OFF line 6: vertex index -1 is out of range (3 vertices)"},
      {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 x\x01 2\n",
       "OFF line 6: expected a vertex index, got \"x\\x01\""},
      {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n-3 0 1 2\n",
       "OFF line 6: expected the corner count of a face, got \"-3 0 1 2\""},
      {"OFF\n12 1 0\n0 0 0\n", "OFF: the file ends at line 3, after 1 of 12 vertices"},
      {"OFF\n3 4 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n3 0\n1\n",
       "OFF: the file ends at line 8, after 1 of 4 faces"},
      {"nOFF\n4\n1 0 0\n", "OFF line 2: expected the dimension 3 (the only one read), got \"4\""},
      {"OFF BINARY\n" + words(false, {3, 1, 0}) + std::string(36, '\0') +
           words(false, {3, 0, 1, 7}),
       "OFF byte 71: vertex index 7 is out of range (3 vertices)"},
      {"OFF BINARY\n" + words(true, {3, 1, 0}) + std::string(36, '\0') +
           words(true, {3, 0, 1, 2, 9}),
       "OFF byte 75: expected a colour count of 0 to 4, got 9"},
      {"OFF BINARY\n" + words(true, {1, 0, 0}),
       "OFF: the file ends at byte 23, after 0 of 1 vertices"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_pieces(c.text), std::string("error: ") + c.expected) << c.text;
  }
}

// Decimals of every length, point position and sign read as parse_float reads them, bit for
// bit (the short path for plain decimals must round as the general one does).
TEST(ReadOff, DecimalsRoundCorrectly) {
  std::mt19937 random(7);
  std::vector<std::string> tokens;
  for (int i = 0; i < 30000; ++i) {
    std::string token;
    if (random() % 2 != 0) token += '-';
    const auto length = 1 + random() % 11;
    const auto point = random() % (length + 1);
    for (std::size_t k = 0; k < length; ++k) {
      if (k == point) token += '.';
      token += static_cast<char>('0' + random() % 10);
    }
    tokens.push_back(token);
  }
  std::string text = "OFF\n" + std::to_string(tokens.size() / 3) + " 0 0\n";
  for (std::size_t i = 0; i < tokens.size(); i += 3) {
    text += "" + tokens[i] + " " + tokens[i + 1] + " " + tokens[i + 2] + "\n";
  }
  mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())));
  auto mesh = read_off(source);
  ASSERT_TRUE(mesh.ok()) << mesh.error().display();
  ASSERT_EQ(mesh.value().positions.size() * 3, tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    float expected = 0.0f;
    ASSERT_TRUE(mesh_io::parse_float(tokens[i], expected)) << tokens[i];
    const auto& point = mesh.value().positions[i / 3];
    const float got = i % 3 == 0 ? point.x : i % 3 == 1 ? point.y : point.z;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(expected))
        << tokens[i];
  }
}

// The files of the shared collection, by their README's "triangles after fanning", or the
// error they must give.
TEST(ReadOff, RealFiles) {
  const std::filesystem::path folder = std::string(VERTISIFT_SHARED_DIR) + "/data/meshes";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared mesh collection here";
  const struct {
    const char* path;
    std::size_t triangles;
    const char* error;
  } files[] = {
      {"assimp/Cube.off", 12, nullptr},
      {"assimp/invalid.off", 0, "OFF line 8: vertex index 20 is out of range (3 vertices)"},
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
  std::size_t seen = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    seen += entry.path().extension() == ".off";
  }
  EXPECT_EQ(seen, std::size(files)) << "a file of the collection is missing from this table";
  for (const auto& file : files) {
    auto stream = mesh_io::FileStream::open((folder / file.path).string());
    ASSERT_TRUE(stream.ok()) << file.path;
    mesh_io::FileSource source(stream.value());
    auto mesh = read_off(source);
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
  const std::string folder = std::string(VERTISIFT_SHARED_DIR) + "/data/meshes/";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared mesh collection here";
  auto stream = mesh_io::FileStream::open(folder + "jjcao-orientation/twoplane_500.off");
  ASSERT_TRUE(stream.ok());
  mesh_io::FileSource source(stream.value());
  auto mesh = read_off(source);
  ASSERT_TRUE(mesh.ok());
  EXPECT_EQ(mesh.value().positions.size(), 1500u);
  EXPECT_EQ(mesh.value().normals.size(), 1500u);
  EXPECT_TRUE(mesh.value().normal_triangles.empty());
}

}  // namespace
}  // namespace vertisift::off
