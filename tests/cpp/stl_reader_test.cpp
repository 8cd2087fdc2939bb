// The front end's dialects: what the lenient one takes beyond the strict grammar, what it still
// refuses, its choice between ASCII and binary, and the real files it reads. Every reading is
// checked through read_stl_file, through read_stl_blocks, whole and in small blocks that cut
// lines and records, and through read_stl_memory, which must agree face for face. Then the
// colours of binary facets, as the tools' merged and loose readings give them.
#include "stl/stl_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "formats/registry.h"
#include "stl/binary_reader.h"
#include "stl/facet_colors.h"
#include "test_files.h"

namespace vertisift::stl {
namespace {

using Floats = std::vector<float>;  // the corners of each face in file order, x y z

void append_face(Floats& out, const mesh_io::RawFace& face) {
  for (const base::Point3& v : face.vertices) out.insert(out.end(), {v.x, v.y, v.z});
}

struct Collect final : FaceBlockSink {
  Floats corners;
  void restart() override { corners.clear(); }
  void add_records(std::span<const std::byte> records) override {
    for (std::size_t at = 0; at < records.size(); at += BINARY_RECORD_SIZE) {
      mesh_io::RawFace face;
      decode_record(records.data() + at, face);
      append_face(corners, face);
    }
  }
  void add_faces(std::span<const mesh_io::RawFace> faces) override {
    for (const mesh_io::RawFace& face : faces) append_face(corners, face);
  }
};

bool same_bits(const Floats& a, const Floats& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

Floats corners_of(const mesh_io::IndexedMesh& mesh) {
  Floats corners;
  for (const mesh_io::Face& face : mesh.faces) {
    for (auto index : face.vertex_indices) {
      const base::Point3& v = mesh.vertices[index];
      corners.insert(corners.end(), {v.x, v.y, v.z});
    }
  }
  return corners;
}

// The corners the file at `path` reads to, or the error's text; the block readings and the
// reading of its bytes in memory must agree.
std::string read_path(const std::string& path, StlDialect dialect, Floats& corners) {
  auto file = read_stl_file(path, dialect);
  std::string outcome = "ok";
  corners.clear();
  if (file.ok()) {
    corners = corners_of(file.value().mesh);
  } else {
    outcome = file.error().display();
  }
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t piece : {SIZE_MAX, std::size_t{5}}) {
    auto memory =
        read_stl_memory(std::as_bytes(std::span(bytes.data(), bytes.size())), dialect, piece);
    EXPECT_EQ(memory.ok() ? "ok" : memory.error().display(), outcome) << "in memory, " << piece;
    if (memory.ok()) {
      EXPECT_TRUE(same_bits(corners_of(memory.value()), corners)) << "in memory, " << piece;
    }
  }
  for (std::size_t block_size : {READ_BLOCK_SIZE, std::size_t{61}, std::size_t{7}}) {
    Collect sink;
    const auto failure = read_stl_blocks(path, sink, block_size, dialect);
    EXPECT_EQ(failure ? failure->display() : "ok", outcome) << "block size " << block_size;
    if (!failure) {
      EXPECT_TRUE(same_bits(sink.corners, corners)) << "block size " << block_size;
    }
  }
  return outcome;
}

std::string read_text(const std::string& text, StlDialect dialect, Floats& corners) {
  const std::string path = test_files::write_temp(text);
  std::string outcome = read_path(path, dialect, corners);
  std::remove(path.c_str());
  return outcome;
}

constexpr const char* FACET_A =
    "facet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 0 1 0\n"
    " endloop\nendfacet\n";
constexpr const char* FACET_B =
    "facet normal 0 0 -1\n outer loop\n  vertex 0 0 0\n  vertex 0 1.5 0\n  vertex 2.5e-1 0 0\n"
    " endloop\nendfacet\n";
const std::string PLAIN = std::string("solid m\n") + FACET_A + FACET_B + "endsolid m\n";

std::string upper(std::string text) {
  for (char& c : text) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  return text;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Each lenient rule: the text reads to PLAIN's faces (`solids` times over), and the strict
// dialect refuses it or reads other faces.
TEST(StlReaderLenient, ReadsWhatOtherToolsWrite) {
  const std::string facets = std::string(FACET_A) + FACET_B;
  struct Case {
    const char* name;
    std::string text;
    int solids;
  };
  const Case cases[] = {
      {"upper case", upper(PLAIN), 1},
      {"mixed case",
       "Solid m\nFacet Normal 0 0 1\nOuter LOOP\nVertex 0 0 0\nvertex 1 0 0\n"
       "VERTEX 0 1 0\nEndLoop\nENDFACET\n" +
           std::string(FACET_B) + "EndSolid",
       1},
      {"blanks before solid", " \t\n\r\n  solid m\n" + facets + "endsolid m\n", 1},
      {"byte-order mark", "\xEF\xBB\xBFsolid m\n" + facets + "endsolid m\n", 1},
      {"mark and CR LF", "\xEF\xBB\xBF" + replace_all(PLAIN, "\n", "\r\n"), 1},
      {"CR alone", replace_all(PLAIN, "\n", "\r"), 1},
      {"CR alone, then LF", replace_all("solid m\n" + facets, "\n", "\r") + "\nendsolid m\n", 1},
      {"bare solid, no endsolid", "solid\n" + facets, 1},
      {"no endsolid, no final line end", "solid m\n" + facets + "  \n\t", 1},
      {"words after endloop and endfacet",
       replace_all(replace_all(PLAIN, "endloop", "endloop foo"), "endfacet", "endfacet bar"), 1},
      {"two solids", PLAIN + "\n" + replace_all(PLAIN, "solid m", "SOLID n"), 2},
      {"a second solid behind CRs on the endsolid line",
       PLAIN.substr(0, PLAIN.size() - 1) + "\rsolid n\r" + replace_all(facets, "\n", "\r") +
           "endsolid n\n",
       2},
  };
  Floats plain, plain_lenient;
  ASSERT_EQ(read_text(PLAIN, StlDialect::Strict, plain), "ok");
  ASSERT_EQ(plain.size(), 18u);
  // An ordinary file takes the parallel path in both dialects, in each of the three readings.
  const std::uint64_t parallel_before = plain_ascii_reads();
  ASSERT_EQ(read_text(PLAIN, StlDialect::Lenient, plain_lenient), "ok");
  EXPECT_EQ(plain_ascii_reads() - parallel_before, 3u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Floats expected;
    for (int solid = 0; solid < c.solids; ++solid) {
      expected.insert(expected.end(), plain.begin(), plain.end());
    }
    Floats lenient, strict;
    EXPECT_EQ(read_text(c.text, StlDialect::Lenient, lenient), "ok");
    EXPECT_TRUE(same_bits(lenient, expected));
    if (read_text(c.text, StlDialect::Strict, strict) == "ok") {
      EXPECT_FALSE(same_bits(strict, expected));
    }
  }
}

// What has no single meaning stays an error, with the strict reader's kind of message.
TEST(StlReaderLenient, RefusesBrokenContent) {
  const std::string head = "solid m\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n";
  const std::string tail = "endloop\nendfacet\nendsolid\n";
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {head + "vertex 1 0\nvertex 0 1 0\n" + tail,
       "vertex f32 f32 f32, got [\"vertex\", \"1\", \"0\"]"},
      {head + "vertex 1 0 0\nvertex 0 1 0\nvertex 0 0 1\n" + tail,
       "expected [\"endloop\"], got [\"vertex\", \"0\", \"0\", \"1\"]"},
      {head + "vertex 0 0 blah\nvertex 0 1 0\n" + tail, "invalid float literal"},
      {head + "vertex 1 0 0\nVERTEX 0 1 0\nendloop\n", "EOF while expecting [\"endfacet\"]"},
      {"solid m\nfacet 0 0 1\n", "invalid facet header: [\"facet\", \"0\", \"0\", \"1\"]"},
      {"solid m\nend solid m\n", "invalid facet header: [\"end\", \"solid\", \"m\"]"},
      // Not text, so binary, and far too short for it.
      {"  solidity\n", "failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    Floats corners;
    EXPECT_EQ(read_text(c.text, StlDialect::Lenient, corners), c.message) << c.text;
  }
}

std::string binary_file(const std::string& header, std::uint32_t count, std::size_t records,
                        const std::string& after = "") {
  std::string bytes = header;
  bytes.resize(BINARY_HEADER_SIZE, '\0');
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(count >> shift);
  for (std::size_t r = 0; r < records; ++r) {
    std::string record(BINARY_RECORD_SIZE, '\0');
    const float values[12] = {0, 0, 1, 0, 0, 0, static_cast<float>(r + 1), 0, 0, 0, 1, 0};
    std::memcpy(record.data(), values, sizeof values);
    bytes += record;
  }
  return bytes + after;
}

// A binary file whose header reads as text: the lenient dialect takes it for binary when its
// size is exactly that of its records, and falls back to the binary reading after a failed
// ASCII one when every record is there; a file short of records stays an error.
TEST(StlReaderLenient, TellsBinaryFromText) {
  struct Case {
    const char* name;
    std::string bytes;
    int strict_faces;  // -1: an error
    const char* lenient;
    std::size_t lenient_faces;
  };
  const Case cases[] = {
      {"text header, exact size", binary_file("solid x\nendsolid x\n", 3, 3), 0, "ok", 3},
      {"text header, a byte after the records", binary_file("solid x\n", 2, 2, "\n"), -1, "ok", 2},
      {"records missing", binary_file("solid x", 3, 2), -1, "failed to fill whole buffer", 0},
      {"records missing, a line end in the header", binary_file("solid x\n", 3, 2), -1,
       "stream did not contain valid UTF-8", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Floats strict, lenient;
    const bool strict_ok = read_text(c.bytes, StlDialect::Strict, strict) == "ok";
    EXPECT_EQ(strict_ok ? static_cast<int>(strict.size() / 9) : -1, c.strict_faces);
    EXPECT_EQ(read_text(c.bytes, StlDialect::Lenient, lenient), c.lenient);
    EXPECT_EQ(lenient.size(), 9 * c.lenient_faces);
  }
}

// Real files that only the lenient dialect reads, and two it still refuses, as other tools
// read them (or not: a vertex of two coordinates, a binary file short of records).
TEST(StlReaderLenient, RealFiles) {
  const std::filesystem::path folder = std::filesystem::path(VERTISIFT_SHARED_DIR) / "data/stl";
  if (!std::filesystem::is_directory(folder)) {
    GTEST_SKIP() << "no real STL files: " << folder << " is absent";
  }
  struct Case {
    const char* file;
    const char* outcome;
    std::size_t faces;
  };
  const Case cases[] = {
      {"admesh/block.stl", "ok", 12},
      {"gmio/solid_one_facet_uppercase.stla.stl", "ok", 1},
      {"microstl/crazy_whitespace_ascii.stl", "ok", 1},
      {"numpy-stl/stl_ascii/Cube.stl", "ok", 12},
      {"numpy-stl/stl_ascii/HalfDonut.stl", "ok", 288},
      {"prusaslicer/20mmbox-CR.stl", "ok", 12},
      {"trimesh/two_objects_mixed_case_names.stl", "ok", 24},
      {"gmio/solid_lack_z.stla.stl", "vertex f32 f32 f32, got [\"vertex\", \"0\", \"0\"]", 0},
      {"microstl/incomplete_binary.stl", "failed to fill whole buffer", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Floats corners;
    EXPECT_EQ(read_path((folder / c.file).string(), StlDialect::Lenient, corners), c.outcome);
    EXPECT_EQ(corners.size(), 9 * c.faces);
  }
}

// A binary file of one face per attribute word, each face elsewhere so that none merge.
std::string colored_file(const std::string& header, const std::vector<std::uint16_t>& words) {
  std::string bytes = binary_file(header, static_cast<std::uint32_t>(words.size()), words.size());
  for (std::size_t f = 0; f < words.size(); ++f) {
    char* record = bytes.data() + BINARY_HEADER_SIZE + FACE_COUNT_SIZE + f * BINARY_RECORD_SIZE;
    record[48] = static_cast<char>(words[f] & 0xff);
    record[49] = static_cast<char>(words[f] >> 8);
  }
  return bytes;
}

using Colors = std::vector<std::array<float, 4>>;

struct ColorReading {
  Colors colors;              // empty: no colour stream
  std::uint64_t without = 0;  // facets counted as without a colour
  std::size_t faces = 0;
};

ColorReading colors_of(const mesh_io::Mesh& mesh) {
  ColorReading out;
  out.faces = mesh.face_count();
  if (const mesh_io::Stream* stream = mesh.find(mesh_io::COLOR_STREAM)) {
    EXPECT_EQ(stream->domain, mesh_io::Domain::Face);
    EXPECT_EQ(stream->width, 4);
    for (const mesh_io::Rgba& c : stream->items<mesh_io::Rgba>()) {
      out.colors.push_back({c.r, c.g, c.b, c.a});
    }
  }
  for (const auto& ignored : mesh.ignored) {
    if (ignored.what == "facet without a colour") out.without = ignored.count;
  }
  return out;
}

// The colours of the file at `path` as the tools read it, merged (`loose` false) or not.
ColorReading read_colors(const std::string& path, bool loose,
                         StlDialect dialect = StlDialect::Lenient) {
  const formats::MeshFormat* stl = formats::find_format(formats::STL_FORMAT);
  mesh_io::FolderSideFiles side_files(path);
  auto file = mesh_io::open_file(path);
  if (!file.ok()) {
    ADD_FAILURE() << file.error().display();
    return {};
  }
  auto mesh = stl->read(file.value(), {.dialect = dialect, .loose_corners = loose}, side_files);
  if (!mesh.ok()) {
    ADD_FAILURE() << mesh.error().display();
    return {};
  }
  return colors_of(mesh.value());
}

std::array<float, 4> five(unsigned r, unsigned g, unsigned b) {
  return {static_cast<float>(r) / 31, static_cast<float>(g) / 31, static_cast<float>(b) / 31, 1};
}

constexpr std::array<float, 4> WHITE = {1, 1, 1, 1};

std::array<float, 4> grey(unsigned level, unsigned alpha) {
  const float g = static_cast<float>(level) / 255;
  return {g, g, g, static_cast<float>(alpha) / 255};
}

// Each encoding of the attribute words, read merged and loose, and from memory a few bytes
// at a time (records cut across reads), in both dialects; an ASCII file has no colour, not
// even when the binary reading of its first bytes was tried first.
TEST(StlFacetColors, DecodesEachConvention) {
  // "COLOR=" and R G B A after a maker's name, as the writers put it.
  const std::string colour_header =
      std::string("maker COLOR=\xC8\x64\x32\x80 MATERIAL=\x01\x02", 28);
  const std::array<float, 4> header_color = {200 / 255.0f, 100 / 255.0f, 50 / 255.0f, 128 / 255.0f};
  struct Case {
    const char* name;
    std::string bytes;
    Colors colors;
    std::uint64_t without;
  };
  const Case cases[] = {
      {"COLOR= header, own colours red 0-4, green 5-9, blue 10-14",
       colored_file(colour_header, {0, 31 | 7 << 5 | 1 << 10, 3 | 31 << 10, 0}),
       {five(0, 0, 0), five(31, 7, 1), five(3, 0, 31), five(0, 0, 0)},
       0},
      {"COLOR= header, bit 15 takes the default",
       colored_file(colour_header, {0x8000, 2 | 4 << 5 | 8 << 10, 0xffff}),
       {header_color, five(2, 4, 8), header_color},
       0},
      {"COLOR= header, every word zero: the object's colour",
       colored_file(colour_header, {0, 0}),
       {header_color, header_color},
       0},
      {"no COLOR=, valid colours blue 0-4, green 5-9, red 10-14",
       colored_file("plain", {0x8000 | 31 | 7 << 5 | 1 << 10, 0x8000 | 3 << 10, 0x8000}),
       {five(1, 7, 31), five(3, 0, 0), five(0, 0, 0)},
       0},
      {"no COLOR=, some facets without a colour",
       colored_file("plain", {0, 0x7fff, 0x8000 | 5 << 10, 0x0421, 0x8000 | 9}),
       {WHITE, WHITE, five(5, 0, 0), WHITE, five(0, 0, 9)},
       3},
      {"no COLOR=, words zero", colored_file("plain", {0, 0, 0}), {}, 0},
      {"no COLOR=, words set but none valid", colored_file("plain", {0x7fff, 1}), {}, 0},
      {"ASCII", PLAIN, {}, 0},
      {"ASCII, read as binary first",
       "solid\nendsolid COLOR=abcd\n" + std::string(200, ' '),
       {},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = test_files::write_temp(c.bytes);
    for (StlDialect dialect : {StlDialect::Strict, StlDialect::Lenient}) {
      SCOPED_TRACE(dialect == StlDialect::Strict ? "strict" : "lenient");
      for (bool loose : {false, true}) {
        SCOPED_TRACE(loose ? "loose" : "merged");
        const ColorReading got = read_colors(path, loose, dialect);
        EXPECT_EQ(got.colors, c.colors);
        EXPECT_EQ(got.without, c.without);
        if (!got.colors.empty()) {
          EXPECT_EQ(got.colors.size(), got.faces);
        }
      }
      AttributeWords words;
      auto memory = read_stl_memory(std::as_bytes(std::span(c.bytes.data(), c.bytes.size())),
                                    dialect, 7, &words);
      ASSERT_TRUE(memory.ok());
      mesh_io::Mesh mesh;
      add_facet_colors(mesh, words);
      EXPECT_EQ(colors_of(mesh).colors, c.colors) << "in memory";
    }
    std::remove(path.c_str());
  }
}

// Files other tools wrote with colours: the distinct colours and how many facets have each,
// merged and loose alike.
TEST(StlFacetColors, RealFiles) {
  const std::filesystem::path folder = std::filesystem::path(VERTISIFT_SHARED_DIR) / "data/stl";
  if (!std::filesystem::is_directory(folder)) {
    GTEST_SKIP() << "no real STL files: " << folder << " is absent";
  }
  using Counts = std::map<std::array<float, 4>, std::size_t>;
  struct Case {
    const char* file;
    Counts counts;
  };
  const Case cases[] = {
      // Grey in every word and in the header, bit 15 clear: own colours.
      {"trimesh/20mm-xyz-cube.stl", {{five(19, 19, 19), 260}}},
      {"prusa-i3/plug-aligner.stl", {{five(19, 19, 19), 48}}},
      // A header of "COLOR=" and zeros, every facet its own colour.
      {"prusaslicer/Prusa.stl", {{five(8, 22, 9), 614}}},
      // Bit 15 set everywhere: the header's grey.
      {"prusaslicer/prusa3d_coreoneL_gantry.stl", {{grey(160, 255), 59860}}},
      // A grey header, every word zero.
      {"vtk-data/gebco7510_55cl.stl", {{grey(127, 32), 4998}}},
      {"openscad/example016.stl", {{grey(127, 32), 128}}},
      // No COLOR=: every word 0xffff, valid white; every word with bit 15 clear, no colour.
      {"vtk-data/gebco7510_49cl.stl", {{WHITE, 3108}}},
      {"prusa-i3/extruder-body.stl", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    for (bool loose : {false, true}) {
      Counts counts;
      for (const auto& color : read_colors((folder / c.file).string(), loose).colors) {
        ++counts[color];
      }
      EXPECT_EQ(counts, c.counts) << (loose ? "loose" : "merged");
    }
  }
}

}  // namespace
}  // namespace vertisift::stl
