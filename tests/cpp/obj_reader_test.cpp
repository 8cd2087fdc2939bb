#include "obj/obj_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <random>
#include <string>

#include "mesh_io/file_stream.h"
#include "mesh_io/text_numbers.h"
#include "obj/text_decoder.h"

namespace vertisift::obj {
namespace {

using mesh_io::StoredMesh;
using namespace std::string_literals;

// The mesh as text: positions, triangles, normals with their triangles, and the skipped
// count, so that a whole reading compares in one line.
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
  if (!mesh.normal_triangles.empty()) out += " |";
  for (const auto& t : mesh.normal_triangles) {
    std::snprintf(buffer, sizeof buffer, " %u%u%u", t.corners[0], t.corners[1], t.corners[2]);
    out += buffer;
  }
  if (mesh.skipped_faces != 0) out += " | skipped " + std::to_string(mesh.skipped_faces);
  return out;
}

std::string read_text(const std::string& bytes, std::size_t piece) {
  mesh_io::MemorySource source(std::as_bytes(std::span(bytes.data(), bytes.size())), piece);
  auto result = read_obj(source);
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

// The text as UTF-16 with its byte-order mark.
std::string utf16(const std::string& ascii, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char c : ascii) {
    out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

const std::string SQUARE_TEXT = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n";
const char* const SQUARE = "0,0,0 1,0,0 1,1,0 0,1,0 | 012 023";

TEST(ReadObj, Variants) {
  const struct {
    const char* name;
    std::string text;
    std::string expected;
  } cases[] = {
      {"plain", SQUARE_TEXT, SQUARE},
      {"ignored statements, CRLF, no final newline",
       "# comment\r\nmtllib a.mtl\r\no thing\r\ng group\r\ns 1\r\nv 0 0 0 1\r\nv 1 0 0 1 0 "
       "0\r\nvt 0 0\r\nvp 0.5\r\nv 1 1 0\r\nusemtl red\r\nv 0 1 0\r\nl 1 2\r\np 3\r\ncstype "
       "bezier\r\nunknown statement\r\nf 1/1 2/1 3/1 4/1",
       SQUARE},
      {"relative and forward indices", "f 1 2 3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf -3 -2 -1\n",
       "0,0,0 1,0,0 0,1,0 | 012 012"},
      {"continued lines", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 \\\n 3 \\ \r\n4\n", SQUARE},
      {"UTF-8 mark", "\xEF\xBB\xBF" + SQUARE_TEXT, SQUARE},
      {"UTF-16 big-endian", utf16(SQUARE_TEXT, true), SQUARE},
      {"UTF-16 little-endian, a surrogate pair in a comment",
       "\xFF\xFE#\0 \0\x3D\xD8\x00\xDE\n\0"s + utf16(SQUARE_TEXT, false).substr(2), SQUARE},
      {"normals: v//vn, v/vt/vn, and corners without one",
       "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nvn 0 0 1\nvn 0 0 -1\nf 1//1 2/5/2 3/1/\nf -3//-1 "
       "-2//1 -1//2\n",
       "0,0,0 1,0,0 0,1,0 | 012 012 012 | n 0,0,1 0,0,-1 0,0,0 | 222 012 101"},
      {"normals named by every corner: no zero normal",
       "vn 1 0 0\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1//1 2//1 3//1\n",
       "0,0,0 1,0,0 0,1,0 | 012 | n 1,0,0 | 000"},
      {"faces of fewer than 3 corners, a normal named by one of them",
       "v 0 0 0\nv 1 0 0\nvn 0 0 1\nf 1\nf 1//1 2//\nf\n", "0,0,0 1,0,0 | | skipped 3"},
      {"special values", "v nan -nan inf\nv 1.#IND -1.#INF 1.#QNAN\nv -inf 1e39 +2\n",
       "nan,-nan,inf nan,-inf,nan -inf,inf,2 |"},
      {"comment after a face", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3 # 4 5\n",
       "0,0,0 1,0,0 0,1,0 | 012"},
      {"empty", "", "|"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_pieces(c.text), c.expected) << c.name;
  }
}

TEST(ReadObj, Errors) {
  const struct {
    std::string text;
    const char* expected;
  } cases[] = {
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n",
       "OBJ line 4: vertex index 4 is out of range (3 vertices in the file)"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 0\n",
       "OBJ line 4: index 0 in the face corner \"0\" (indices count from 1)"},
      {"v 0 0 0\nv 1 0 0\nf -1 -2 -3\nv 0 1 0\n",
       "OBJ line 3: the relative index -3 in \"-3\" reaches before the first item (2 defined so "
       "far)"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//2 3//1\n",
       "OBJ line 5: normal index 2 is out of range (1 normals in the file)"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/2/3/4 2 3\n",
       "OBJ line 4: expected a face corner (v, v/vt, v//vn or v/vt/vn), got \"1/2/3/4\""},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3x\n",
       "OBJ line 4: expected a face corner (v, v/vt, v//vn or v/vt/vn), got \"3x\""},
      {"v 1.0 2.0\n", "OBJ line 1: expected 3 vertex coordinates, got \"1.0 2.0\""},
      {"v 0 0 0\nv\n", "OBJ line 2: expected 3 vertex coordinates, got \"\""},
      {"vn 1 z\t1\n", "OBJ line 1: expected 3 normal coordinates, got \"1 z\\x091\""},
      {"P 0.3 0.3 0.4 10 1 1558\n -18 -16.85 2.5\n",
       "OBJ line 2: not a Wavefront OBJ file: a line starts with a number, \" -18 -16.85 2.5\""},
      {"solid cube\n  facet normal 0 0 1\n    outer loop\n",
       "OBJ: not a Wavefront OBJ file: none of its 3 lines of content is an OBJ statement"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_pieces(c.text), std::string("error: ") + c.expected) << c.text;
  }
}

// What TextDecoder hands on for `bytes` read in pieces of `piece` bytes.
std::string decode(const std::string& bytes, std::size_t piece) {
  mesh_io::MemorySource source(std::as_bytes(std::span(bytes.data(), bytes.size())), piece);
  TextDecoder decoder(source);
  std::string out;
  for (;;) {
    auto got = decoder.next();
    EXPECT_TRUE(got.ok());
    if (!got.ok() || got.value().empty()) return out;
    out.append(reinterpret_cast<const char*>(got.value().data()), got.value().size());
  }
}

TEST(TextDecoder, MarksAndSurrogates) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"\xEF\xBB\xBFv 1", "v 1"},
      {"\xEF\xBBv", "\xEF\xBBv"},
      {"\xFE\xFF\0a\xD8\x3D\xDE\x00\0\xE9\x20\xAC"s, "a\xF0\x9F\x98\x80\xC3\xA9\xE2\x82\xAC"},
      {"\xFF\xFE"
       "a\0\x3D\xD8"
       "b\0\x00\xDC"s,
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, SIZE_MAX}) {
      EXPECT_EQ(decode(c.bytes, piece), c.text) << "piece size " << piece;
    }
  }
}

// Decimals of every length, point position and sign read as parse_float reads them, bit for
// bit (the short path for plain decimals must round as the general one does).
TEST(ReadObj, DecimalsRoundCorrectly) {
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
  std::string text;
  for (std::size_t i = 0; i < tokens.size(); i += 3) {
    text += "v " + tokens[i] + " " + tokens[i + 1] + " " + tokens[i + 2] + "\n";
  }
  mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())));
  auto mesh = read_obj(source);
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
// start of the error they must give.
TEST(ReadObj, RealFiles) {
  const std::filesystem::path folder = std::string(VERTISIFT_SHARED_DIR) + "/data/meshes";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared mesh collection here";
  const struct {
    const char* path;
    std::size_t triangles, skipped, normals;
    const char* error;
  } files[] = {
      {"assimp/box.obj", 12, 0, 0, nullptr},
      {"assimp/box_UTF16BE.obj", 12, 0, 0, nullptr},
      {"assimp/concave_polygon.obj", 64, 0, 1, nullptr},
      {"assimp/point_cloud.obj", 0, 0, 0, nullptr},
      {"assimp/spider.obj", 1368, 0, 747, nullptr},
      {"assimp/testmixed.obj", 12, 0, 0, nullptr},
      {"tinyobjloader/cube-vertex-w-component.obj", 12, 0, 0, nullptr},
      {"tinyobjloader/invalid-face-definition.obj", 0, 2, 0, nullptr},
      {"tinyobjloader/test-nan.obj", 36, 0, 0, nullptr},
      {"trimesh/jacked.obj", 12, 0, 0, nullptr},
      {"trimesh/negative_indices.obj", 12, 0, 6, nullptr},
      {"trimesh/notenoughindices.obj", 1, 1, 0, nullptr},
      {"trimesh/quadknot.obj", 2880, 0, 1440, nullptr},
      {"trimesh/wallhole.obj", 66, 0, 92, nullptr},
      {"vtk-data/cow.obj", 5804, 0, 3267, nullptr},
      {"vtk-data/mni-surface-mesh.obj", 0, 0, 0,
       "OBJ line 2: not a Wavefront OBJ file: a line starts with a number"},
  };
  std::size_t seen = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    seen += entry.path().extension() == ".obj";
  }
  EXPECT_EQ(seen, std::size(files)) << "a file of the collection is missing from this table";
  for (const auto& file : files) {
    auto stream = mesh_io::FileStream::open((folder / file.path).string());
    ASSERT_TRUE(stream.ok()) << file.path;
    mesh_io::FileSource source(stream.value());
    auto mesh = read_obj(source);
    if (file.error != nullptr) {
      ASSERT_FALSE(mesh.ok()) << file.path;
      EXPECT_TRUE(mesh.error().display().starts_with(file.error)) << mesh.error().display();
      continue;
    }
    ASSERT_TRUE(mesh.ok()) << file.path << ": " << mesh.error().display();
    EXPECT_EQ(mesh.value().triangles.size(), file.triangles) << file.path;
    EXPECT_EQ(mesh.value().skipped_faces, file.skipped) << file.path;
    EXPECT_EQ(mesh.value().normals.size(), file.normals) << file.path;
  }
}

}  // namespace
}  // namespace vertisift::obj
