#include "obj/obj_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "mesh_checks.h"
#include "mesh_io/line_reader.h"
#include "mesh_io/side_files.h"
#include "obj/text_decoder.h"

namespace vertisift::obj {
namespace {

using namespace std::string_literals;

// The rendering of `bytes` read whole; every piece size gives the same reading.
std::string read_pieces(const std::string& bytes) {
  return mesh_checks::read_pieces(read_obj, bytes);
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
       "-2//1 -1//2\nvt 0 0\nvt 0 0\nvt 0 0\nvt 0 0\nvt 0 0\n",
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

// The colour stream of `mesh`, one "r,g,b,a" per position, or "none".
std::string colours_of(const mesh_io::Mesh& mesh) {
  const mesh_io::Stream* colours = mesh.find(mesh_io::COLOR_STREAM);
  if (colours == nullptr) return "none";
  EXPECT_EQ(colours->domain, mesh_io::Domain::Vertex);
  EXPECT_EQ(colours->size(), mesh.positions.size()) << "one colour per position";
  std::string out;
  for (const mesh_io::Rgba& c : colours->items<mesh_io::Rgba>()) {
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%s%g,%g,%g,%g", out.empty() ? "" : " ", c.r, c.g, c.b,
                  c.a);
    out += buffer;
  }
  return out;
}

// `v x y z r g b` colours its vertex; the others are white. Any component above 1 takes the
// file for 0 to 255. Every piece size gives the same colours.
TEST(ReadObj, VertexColours) {
  const struct {
    const char* name;
    std::string text;
    const char* expected;
  } cases[] = {
      {"from 0 to 1", "v 0 0 0 1 0.5 0\nv 1 0 0 0 0 1 # blue\nv 0 1 0 .25 .25 .25\nf 1 2 3\n",
       "1,0.5,0,1 0,0,1,1 0.25,0.25,0.25,1"},
      {"from 0 to 255, the 1 after the 255 too", "v 0 0 0 0 0 51\nv 1 0 0 255 0 0\nv 0 1 0 0 1 0\n",
       "0,0,0.2,1 1,0,0,1 0,0.00392157,0,1"},
      // White stays white in a file of 0 to 255; w, 7 numbers and a word are no colour.
      {"coloured and not",
       "v 0 0 0\nv 1 0 0 0 255 0\nv 0 1 0 2\nv 1 1 1 1 0 0 0\nv 1 1 0 1 0 red\nv 0 0 1 \\\n"
       "0 0 255\n",
       "1,1,1,1 0,1,0,1 1,1,1,1 1,1,1,1 1,1,1,1 0,0,1,1"},
  };
  for (const auto& c : cases) {
    std::string whole;
    for (const std::size_t piece : {SIZE_MAX, std::size_t{1}, std::size_t{7}}) {
      mesh_io::MemorySource source(std::as_bytes(std::span(c.text.data(), c.text.size())), piece);
      auto mesh = read_obj(source);
      ASSERT_TRUE(mesh.ok()) << c.name << ": " << mesh.error().display();
      if (piece == SIZE_MAX) whole = colours_of(mesh.value());
      EXPECT_EQ(colours_of(mesh.value()), whole) << c.name << ", piece size " << piece;
    }
    EXPECT_EQ(whole, c.expected) << c.name;
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
      {"vn 0 0 1\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1//-2 2 3\n",
       "OBJ line 5: the relative index -2 in \"1//-2\" reaches before the first item (1 defined "
       "so far)"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//2 3//1\n",
       "OBJ line 5: normal index 2 is out of range (1 normal in the file)"},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/2/3/4 2 3\n",
       "OBJ line 4: expected a face corner (v, v/vt, v//vn or v/vt/vn), got \"1/2/3/4\""},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3x\n",
       "OBJ line 4: expected a face corner (v, v/vt, v//vn or v/vt/vn), got \"3x\""},
      {"v 1.0 2.0\n", "OBJ line 1: expected 3 vertex coordinates, got \"1.0 2.0\""},
      {"v 0 0 0\nv\n", "OBJ line 2: expected 3 vertex coordinates, got \"\""},
      {"vn 1 z\t1\n", "OBJ line 1: expected 3 normal coordinates, got \"1 z\\x091\""},
      {"P 0.3 0.3 0.4 10 1 1558\n -18 -16.85 2.5\n",
       "OBJ line 2: not a Wavefront OBJ file: a line starts with a number, \" -18 -16.85 2.5\""},
      {"v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/-2 3/1\n",
       "OBJ line 5: the relative index -2 in \"2/-2\" reaches before the first item (1 defined "
       "so far)"},
      {"vt 0.5 x\n", "OBJ line 1: expected 1 to 3 texture coordinates, got \"0.5 x\""},
      {"solid cube\n  facet normal 0 0 1\n    outer loop\n",
       "OBJ: not a Wavefront OBJ file: none of its 3 lines of content is an OBJ statement"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read_pieces(c.text), std::string("error: ") + c.expected) << c.text;
  }
}

// A model's folder in the test's temporary one, with the libraries the tests name, and above
// it one that the model may not read.
mesh_io::SideFiles& side_files() {
  static const std::filesystem::path folder = [] {
    const auto model = std::filesystem::path(testing::TempDir()) / "obj_materials" / "model";
    std::filesystem::create_directories(model);
    for (const auto& [name, text] :
         {std::pair{"my lib.mtl", "newmtl red\nKd 1 0 0\nnewmtl dark blue\nKd 0 0 0.5\n"},
          {"broken.mtl", "newmtl red\nKd 1 x 0\n"},
          {"a.mtl", "newmtl m0\nnewmtl m1\nnewmtl m2\nnewmtl m3\n"},
          {"../above.mtl", "newmtl above\n"}}) {
      std::FILE* file = std::fopen((model / name).string().c_str(), "wb");
      EXPECT_NE(file, nullptr) << name;
      std::fputs(text, file);
      std::fclose(file);
    }
    return model;
  }();
  static const mesh_io::PathText model((folder / "model.obj").string());
  static mesh_io::FolderSideFiles files(model);
  return files;
}

// Each triangle's (u,v) of its corners and its material's name ("-" for the default), then
// what was ignored; or the error.
std::string uvs_and_materials(const std::string& text, mesh_io::SideFiles* side_files,
                              std::size_t piece = SIZE_MAX) {
  mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())), piece);
  auto read = read_obj_and_materials(source, side_files);
  if (!read.ok()) return "error: " + read.error().display();
  const mesh_io::Mesh& mesh = read.value();
  const mesh_io::Stream* uvs = mesh.find(mesh_io::UV_STREAM);
  const mesh_io::Stream* materials = mesh.find(mesh_io::MATERIAL_STREAM);
  std::string out;
  char buffer[64];
  for (std::size_t f = 0; f < mesh.triangles.size(); ++f) {
    if (uvs != nullptr) {
      for (std::size_t k = 0; k < 3; ++k) {
        const float* uv = uvs->items<float>().data() + 2 * mesh_io::item_of(mesh, *uvs, f, k);
        std::snprintf(buffer, sizeof buffer, "%s%g,%g", k == 0 ? "" : " ", uv[0], uv[1]);
        out += buffer;
      }
    }
    if (materials != nullptr) {
      const std::uint32_t item = materials->items<std::uint32_t>()[f];
      const std::string& name = mesh.materials.at(item).name;
      out += " " + (name.empty() ? "-" : name);
    }
    out += "; ";
  }
  for (const auto& ignored : mesh.ignored) {
    out += ignored.what + " x" + std::to_string(ignored.count) + "; ";
  }
  return out;
}

// vt and the corners' table: negative indices, corners without a vt, a vt of one number;
// usemtl: the default before it and for names no library defines, names with blanks;
// mtllib: libraries that cannot be read (missing, broken, outside the model's folder, a URL)
// are counted, the model still reads.
TEST(ReadObj, TextureCoordinatesAndMaterials) {
  const std::string triangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  const struct {
    const char* name;
    std::string text;
    const char* expected;
  } cases[] = {
      {"vt by positive and negative indices",
       triangle + "vt 0.5\nvt 0.25 0.75 9\nf 1/2 2/1 3/-1\nvt 1 1\nf 1/-1/ 2/-3 3/3\n",
       "0.25,0.75 0.5,0 0.25,0.75; 1,1 0.5,0 1,1; "},
      {"corners without a vt take 0,0", triangle + "vt 1 1\nf 1 2 3\nf 1/1 2 3//\n",
       "0,0 0,0 0,0; 1,1 0,0 0,0; "},
      {"a vt past the table drops the triangle's vt, not the triangle",
       triangle + "vt 0.5 0.5\nvt 1 0\nf 1/1 2/2 3/3\nf 1/2 2/1 3/1\nf 1/1 2/9 3/2 1\n",
       "0,0 0,0 0,0; 1,0 0.5,0.5 0.5,0.5; 0,0 0,0 0,0; 0.5,0.5 1,0 0,0; "
       "face with a texture coordinate index out of range x2; "},
      {"materials",
       "mtllib my lib.mtl\n" + triangle +
           "f 1 2 3\nusemtl red\nusemtl  dark blue  # the second\nf 1 2 3\nusemtl green\n"
           "f 1 2 3\nusemtl red\nf 1 2 3 4\nv 1 1 1\n",
       " -;  dark blue;  -;  red;  red; usemtl of an unknown material x1; "},
      {"libraries that cannot be read",
       "mtllib http://x/y.mtl ../above.mtl gone.mtl broken.mtl\nmtllib my lib.mtl\n"
       "mtllib gone.mtl\n" +
           triangle + "usemtl above\nf 1 2 3\nusemtl red\nf 1 2 3\n",
       " -;  red; material library that cannot be read x4; usemtl of an unknown material x1; "},
  };
  for (const auto& c : cases) {
    const std::string whole = uvs_and_materials(c.text, &side_files());
    EXPECT_EQ(whole, c.expected) << c.name;
    EXPECT_EQ(uvs_and_materials(c.text, &side_files(), 3), whole) << c.name;
  }
}

// The colour written after vertex i of large_obj, none for most: (i mod 256, i / 256 mod 256,
// 7) of 0 to 255.
std::string large_obj_colour(int i) {
  std::string colour;
  if (i % 5 != 2) return colour;
  return colour.append(" ")
      .append(std::to_string(i % 256))
      .append(" ")
      .append(std::to_string(i / 256 % 256))
      .append(" 7");
}

// A file of several MiB: vertices and normals among faces that name them by positive, forward
// and negative indices (some far back), with and without normals, continued over lines,
// CR LF and CR line ends, comments and skipped faces; a colour on some vertices
// (large_obj_colour). `error` adds at 90% of it a face that
// reaches before the first vertex; `out_of_range` a face at 80% that names a vertex beyond
// the file's.
std::string large_obj(bool error, bool out_of_range) {
  std::mt19937 random(11);
  const int steps = 70000;
  std::string text;
  std::size_t v = 0, n = 0;
  const auto any = [&](std::size_t count) { return std::to_string(1 + random() % count); };
  const auto back = [&](std::size_t count) {
    std::string index = "-";
    return index.append(std::to_string(1 + random() % count));
  };
  for (int i = 0; i < steps; ++i) {
    text += "v " + std::to_string(random() % 2000) + "." + std::to_string(random() % 997) +
            " -0.5 " + std::to_string(i) + "e-3" + large_obj_colour(i) + "\n";
    ++v;
    if (i % 3 == 0) {
      text += "vn 0 " + std::to_string(i % 7) + " 1\n";
      ++n;
    }
    if (error && i == steps * 9 / 10) text += "f 1 2 -" + std::to_string(v + 1) + "\n";
    if (out_of_range && i == steps * 8 / 10) text += "f 1 2 " + std::to_string(v + 60000) + "\n";
    switch (random() % 8) {
      case 0: text += "f " + any(v) + " " + any(v) + " " + any(v) + "\n"; break;
      case 1: text += "f -1 " + back(v) + " " + back(v) + " " + any(v + 2) + "\n"; break;
      case 2: text += "f " + back(v) + " \\\n " + back(v) + " \\ \r\n" + any(v) + " -1\n"; break;
      case 3:
        if (i > steps / 3) text += "f -1//" + back(n) + " " + any(v) + "//1 " + back(v) + "/7/\n";
        break;
      case 4:
        text += "f " + any(v) + "/1/" + back(n) + " " + back(v) + "/2/" + any(n) + " -2\r";
        break;
      case 5: text += "# a comment \\\n\r\ng part\r\n\n"; break;
      case 6: text += "f " + back(v) + " 1\n"; break;
      default: break;
    }
  }
  // The vt that the corners name, after them (lines added at the end number none before).
  for (int k = 1; k <= 7; ++k) text += "vt 0." + std::to_string(k) + " 1\n";
  return text;
}

struct Uv {
  float u, v;
};

// The reading of `bytes` in pieces of `piece` bytes: the error, or every array's bytes.
std::string raw_reading(const std::string& bytes, std::size_t piece) {
  mesh_io::MemorySource source(std::as_bytes(std::span(bytes.data(), bytes.size())), piece);
  auto result = read_obj(source);
  if (!result.ok()) return "error: " + result.error().display();
  const mesh_io::Mesh& mesh = result.value();
  std::string out;
  const auto add = [&](const auto& items) {
    out += std::to_string(items.size()) + ":";
    out.append(reinterpret_cast<const char*>(items.data()), items.size() * sizeof(items[0]));
  };
  add(mesh.positions);
  add(mesh.triangles);
  add(mesh_checks::normals_of(mesh));
  add(mesh_checks::normal_corners_of(mesh));
  const mesh_io::Stream* colours = mesh.find(mesh_io::COLOR_STREAM);
  if (colours != nullptr) add(colours->items<mesh_io::Rgba>());
  const mesh_io::Stream* uvs = mesh.find(mesh_io::UV_STREAM);
  if (uvs != nullptr) {
    add(uvs->items<Uv>());
    add(uvs->corners);
  }
  return out + std::to_string(mesh.skipped_faces);
}

// A large file is read in parts, a few of them at once: whatever the pieces the source hands
// out, the reading is that of the file in one piece (one part), bit for bit, and so is the
// first error, with its line.
TEST(ReadObj, LargeFileInPartsReadsAsAWhole) {
  const struct {
    bool error, out_of_range;
    const char* expected;
  } cases[] = {
      {false, false, nullptr},
      {true, true,
       "error: OBJ line 175320: the relative index -63002 in \"-63002\" reaches before the "
       "first item (63001 defined so far)"},
      {false, true,
       "error: OBJ line 155437: vertex index 116001 is out of range (70000 vertices in the "
       "file)"},
  };
  for (const auto& c : cases) {
    const std::string text = large_obj(c.error, c.out_of_range);
    ASSERT_GT(text.size(), std::size_t{3} << 20);
    const std::string whole = raw_reading(text, SIZE_MAX);
    if (c.expected == nullptr) {
      ASSERT_FALSE(whole.starts_with("error")) << whole;
      // Each colour at its vertex's index, against the text rather than another reading.
      mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())), 65537);
      auto mesh = read_obj(source);
      ASSERT_TRUE(mesh.ok());
      const mesh_io::Stream* colours = mesh.value().find(mesh_io::COLOR_STREAM);
      ASSERT_NE(colours, nullptr);
      const auto items = colours->items<mesh_io::Rgba>();
      ASSERT_EQ(items.size(), mesh.value().positions.size());
      for (std::size_t i = 0; i < items.size(); ++i) {
        mesh_io::Rgba expected;
        if (i % 5 == 2) {
          expected = {static_cast<float>(i % 256) / 255.0f,
                      static_cast<float>(i / 256 % 256) / 255.0f, 7 / 255.0f, 1};
        }
        const mesh_io::Rgba& got = items[i];
        ASSERT_TRUE(got.r == expected.r && got.g == expected.g && got.b == expected.b &&
                    got.a == expected.a)
            << "vertex " << i << ": " << got.r << "," << got.g << "," << got.b << "," << got.a;
      }
    } else {
      EXPECT_EQ(whole, c.expected);
    }
    for (const std::size_t piece : {std::size_t{1} << 20, std::size_t{65537}, std::size_t{4099}}) {
      EXPECT_TRUE(raw_reading(text, piece) == whole) << "piece size " << piece;
    }
  }
}

// A file of several MiB read in parts: each part learns the material in force at its start
// and its vt counted from the file's start, against the text as written.
TEST(ReadObj, TextureCoordinatesAndMaterialsInParts) {
  std::string text = "mtllib a.mtl\n", expected;
  std::string material = "-";
  int unknown = 0;
  char buffer[96];
  for (int i = 1; i <= 90000; ++i) {
    // vt i is (i, i + 0.5); a face names vt i, i - 1, i - 2 by relative and plain indices.
    text += "v " + std::to_string(i) + " 0 0\nvt " + std::to_string(i) + " " + std::to_string(i) +
            ".5\n";
    if (i % 7 == 3) {
      const int m = i / 7 % 5;  // m4 is in no library
      text += "usemtl m" + std::to_string(m) + "\n";
      material = m == 4 ? "-" : "m" + std::to_string(m);
      unknown += m == 4 ? 1 : 0;
    }
    if (i < 3) continue;
    if (i % 11 == 0) {
      text += "f -1 -2 -3\n";
      expected += "0,0 0,0 0,0 " + material + "; ";
      continue;
    }
    text += "f " + std::to_string(i) + "/-1 -2/" + std::to_string(i - 1) + " -3/-3\n";
    std::snprintf(buffer, sizeof buffer, "%g,%g %g,%g %g,%g ", i + 0.0, i + 0.5, i - 1.0, i - 0.5,
                  i - 2.0, i - 1.5);
    expected += buffer + material + "; ";
  }
  expected += "usemtl of an unknown material x" + std::to_string(unknown) + "; ";
  ASSERT_GT(text.size(), std::size_t{3} << 20);
  for (const std::size_t piece : {std::size_t{65537}, std::size_t{1} << 20}) {
    EXPECT_TRUE(uvs_and_materials(text, &side_files(), piece) == expected) << "piece " << piece;
  }
}

// A statement longer than the bound streams past where nothing after its first bytes is read
// (a comment, continued or not; an ignored statement; a comment after a vertex), the lines
// numbered as before; one that must be kept is an error that names its first line.
TEST(ReadObj, LongStatements) {
  const std::string longest(mesh_io::MAX_LINE_BYTES, 'x');
  const std::string triangle = "v 1 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 9\n";
  const char* const out_of_range =
      "error: OBJ line 7: vertex index 9 is out of range (3 vertices in the file)";
  const char* const four_vertices =
      "error: OBJ line 7: vertex index 9 is out of range (4 vertices in the file)";
  const struct {
    std::string text;
    const char* expected;
  } cases[] = {
      {"v 0 0 0\n# " + longest + " \\\r\n still the comment\r\n" + triangle, out_of_range},
      {"v 0 0 0\n# begun \\\n" + longest + "\n" + triangle, out_of_range},
      {"v 0 0 0\ng " + longest + "\nv 0 0 1 # " + longest + "\n" + triangle, four_vertices},
      // A line of exactly the bound is kept whole.
      {"v 0 0 0\nv 1 0 " + std::string(mesh_io::MAX_LINE_BYTES - 6, '0') + "\n" + triangle,
       "error: OBJ line 6: vertex index 9 is out of range (4 vertices in the file)"},
      {"v 0 0 0\nv 1 0 " + std::string(mesh_io::MAX_LINE_BYTES - 5, '0') + "\n" + triangle,
       "error: OBJ line 2: the line is longer than 4 MiB"},
      {"v 0 0 0\nf 1 \\\n" + longest + "\n", "error: OBJ line 2: the line is longer than 4 MiB"},
      {"v 0 0 0\n" + longest + "x", "error: OBJ line 2: the line is longer than 4 MiB"},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {SIZE_MAX, std::size_t{1} << 20, std::size_t{65537}}) {
      const std::string got = raw_reading(c.text, piece);
      EXPECT_EQ(got.substr(0, 160), c.expected) << c.text.substr(0, 20) << ", pieces of " << piece;
    }
  }
}

// A source that hands out its text in pieces of 3 bytes, then fails.
class FailingSource final : public mesh_io::ByteSource {
 public:
  explicit FailingSource(std::string text) : text_(std::move(text)) {}
  mesh_io::ReadResult<std::span<const std::byte>> next() override {
    if (at_ == text_.size()) return mesh_io::ReadError::os(5);
    const std::size_t size = std::min<std::size_t>(3, text_.size() - at_);
    at_ += size;
    return std::as_bytes(std::span(text_.data() + at_ - size, size));
  }

 private:
  std::string text_;
  std::size_t at_ = 0;
};

// A failing source gives its error, unless a line read whole before it gives one first (a CR
// ends a line even when no byte follows it).
TEST(ReadObj, SourceFailure) {
  const std::string failure = mesh_io::ReadError::os(5).display();
  const struct {
    std::string text, expected;
  } cases[] = {
      {SQUARE_TEXT + "v 1 2", failure},
      {SQUARE_TEXT + "f 1 2 \\\nv 1 2", failure},
      {SQUARE_TEXT + "v 1 2\r", "OBJ line 6: expected 3 vertex coordinates, got \"1 2\""},
  };
  for (const auto& c : cases) {
    FailingSource source(c.text);
    auto mesh = read_obj(source);
    ASSERT_FALSE(mesh.ok()) << c.text;
    EXPECT_EQ(mesh.error().display(), c.expected) << c.text;
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
  const std::vector<std::string> tokens = mesh_checks::random_decimals();
  std::string text;
  for (std::size_t i = 0; i < tokens.size(); i += 3) {
    text += "v " + tokens[i] + " " + tokens[i + 1] + " " + tokens[i + 2] + "\n";
  }
  mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())));
  auto mesh = read_obj(source);
  ASSERT_TRUE(mesh.ok()) << mesh.error().display();
  mesh_checks::expect_parsed_positions(mesh.value(), tokens);
}

// The files of the shared collection, by their README's "triangles after fanning", or the
// start of the error they must give.
TEST(ReadObj, RealFiles) {
  const std::filesystem::path folder = mesh_checks::real_meshes();
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared mesh collection here";
  const struct {
    const char* path;
    std::size_t triangles, skipped, normals;
    const char* error;
    std::size_t colours = 0;
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
      {"trimesh/quadknot.obj", 2880, 0, 1440, nullptr, 1440},
      {"trimesh/wallhole.obj", 66, 0, 92, nullptr},
      {"vtk-data/cow.obj", 5804, 0, 3267, nullptr},
      {"vtk-data/mni-surface-mesh.obj", 0, 0, 0,
       "OBJ line 2: not a Wavefront OBJ file: a line starts with a number"},
  };
  mesh_checks::expect_every_file_listed(folder, ".obj", std::size(files));
  for (const auto& file : files) {
    auto mesh = mesh_checks::read_file(read_obj, folder / file.path);
    if (file.error != nullptr) {
      ASSERT_FALSE(mesh.ok()) << file.path;
      EXPECT_TRUE(mesh.error().display().starts_with(file.error)) << mesh.error().display();
      continue;
    }
    ASSERT_TRUE(mesh.ok()) << file.path << ": " << mesh.error().display();
    EXPECT_EQ(mesh.value().triangles.size(), file.triangles) << file.path;
    EXPECT_EQ(mesh.value().skipped_faces, file.skipped) << file.path;
    EXPECT_EQ(mesh_checks::normals_of(mesh.value()).size(), file.normals) << file.path;
    const mesh_io::Stream* colours = mesh.value().find(mesh_io::COLOR_STREAM);
    EXPECT_EQ(colours != nullptr ? colours->size() : 0, file.colours) << file.path;
  }
}

// The files of the shared colour collection that name a material library, read with it:
// the materials (the default among them), the vt items, each texture, and what was ignored.
TEST(ReadObj, RealFilesWithMaterials) {
  const std::filesystem::path folder = std::string(VERTISIFT_SHARED_DIR) + "/data/colour";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no shared colour collection here";
  const char* const files[][2] = {
      {"mikedh+trimesh/models/fuze.obj", "2 664 fuze uv.jpg;"},
      {"mikedh+trimesh/models/capsule.obj", "2 5252 capsule0.jpg;"},
      {"mikedh+trimesh/models/box.obj", "3 14"},
      {"assimp+assimp/test/models/OBJ/spider.obj",
       "6 302 .\\wal67ar_small.jpg; .\\wal69ar_small.jpg; .\\SpiderTex.jpg; .\\drkwood2.jpg; "
       ".\\engineflare1.jpg;"},
      {"assimp+assimp/test/models/OBJ/regr01.obj", "13 689"},  // (0, 0) for the faces without
      {"tinyobjloader+tinyobjloader/models/cornell_box.obj", "6 0"},
      {"tinyobjloader+tinyobjloader/models/cube-vertexcol.obj", "6 0"},
      {"tinyobjloader+tinyobjloader/models/texture-filename-with-whitespace.obj",
       "6 0 texture 01.png;"},
  };
  for (const auto& [name, expected] : files) {
    auto stream = mesh_io::FileStream::open((folder / name).string());
    ASSERT_TRUE(stream.ok()) << name;
    mesh_io::FileSource source(stream.value());
    const mesh_io::PathText path((folder / name).string());
    mesh_io::FolderSideFiles side_files(path);
    auto read = read_obj_and_materials(source, &side_files);
    ASSERT_TRUE(read.ok()) << name << ": " << read.error().display();
    const mesh_io::Mesh& mesh = read.value();
    ASSERT_NE(mesh.find(mesh_io::MATERIAL_STREAM), nullptr) << name;
    const mesh_io::Stream* uvs = mesh.find(mesh_io::UV_STREAM);
    std::string got = std::to_string(mesh.materials.size()) + " " +
                      std::to_string(uvs != nullptr ? uvs->size() : 0);
    for (const mesh_io::Material& material : mesh.materials) {
      if (!material.texture.empty()) got += " " + material.texture + ";";
    }
    for (const auto& item : mesh.ignored) got += " " + item.what;
    EXPECT_EQ(got, expected) << name;
  }
}

}  // namespace
}  // namespace vertisift::obj
