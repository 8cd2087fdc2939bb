// The parallel front end (read_stl_blocks into a VertexMerge) against the sequential one
// (read_stl_file, then every face's normal summed in file order as one chunk): the same
// vertices bit for bit, the same normal for each bit for bit, and the same error text, with
// block sizes that cut records, lines and tokens, on regular files and through a pipe; and
// the vertex normals of small meshes whose sums show the order and grouping of the addends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "mesh_io/indexed_mesh.h"
#include "parallel/thread_pool.h"
#include "reduce/vertex_merge.h"
#include "reduce/vertex_normals.h"
#include "stl/stl_reader.h"

namespace vertisift::reduce {
namespace {

using Bits = std::array<std::uint32_t, 3>;
using Triangle = std::array<base::Point3, 4>;  // normal, then the three corners
// Each position's normal, or the error text.
using Outcome = std::variant<std::map<Bits, Bits>, std::string>;

bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

Bits bits_of(const base::Point3& point) {
  Bits bits;
  std::memcpy(bits.data(), &point, sizeof bits);
  return bits;
}

// Blocks of one record or byte, of one record and a bit either way, of a few lines, of
// many facets, and the default.
constexpr std::size_t BLOCK_SIZES[] = {1, 49, 50, 51, 123, 4096, stl::READ_BLOCK_SIZE};
// Fewer for the many fault cases: every block size costs a read per block.
constexpr std::size_t FAULT_BLOCK_SIZES[] = {61, 4096, stl::READ_BLOCK_SIZE};

// Faces over a small set of positions, so that vertices repeat within a block and across
// blocks, with every kind of face that names one position more than once, and normals of
// many magnitudes, so that any other order of summation changes the last bits.
std::vector<Triangle> random_faces(std::size_t count, bool finite_only) {
  std::mt19937 random(7);
  std::vector<base::Point3> positions;
  std::uniform_real_distribution<float> coordinate(-2.0f, 2.0f);
  for (int i = 0; i < 60; ++i) positions.push_back({coordinate(random), coordinate(random), 1});
  positions.push_back({0.0f, 0.0f, 0.0f});
  positions.push_back({-0.0f, 0.0f, 0.0f});
  if (!finite_only) {
    std::uint32_t nan_bits[2] = {0x7fc00001u, 0xffc00002u};
    for (std::uint32_t bits : nan_bits) {
      float nan;
      std::memcpy(&nan, &bits, sizeof nan);
      positions.push_back({nan, 1.0f, 2.0f});
    }
  }
  std::uniform_int_distribution<std::size_t> pick(0, positions.size() - 1);
  std::uniform_real_distribution<float> exponent(-8.0f, 8.0f);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<Triangle> faces;
  for (std::size_t i = 0; i < count; ++i) {
    const float scale = std::exp2(exponent(random));
    Triangle face = {base::Point3{unit(random) * scale, unit(random) * scale, unit(random) * scale},
                     positions[pick(random)], positions[pick(random)], positions[pick(random)]};
    switch (i % 9) {  // repeated corners in every arrangement
      case 1: face[2] = face[1]; break;
      case 2: face[3] = face[1]; break;
      case 3: face[3] = face[2]; break;
      case 4: face[2] = face[3] = face[1]; break;
      default: break;
    }
    faces.push_back(face);
  }
  return faces;
}

std::string binary_bytes(const std::vector<Triangle>& faces, std::uint32_t count) {
  std::string bytes(80, '\0');
  bytes.append(reinterpret_cast<const char*>(&count), 4);
  for (const Triangle& face : faces) {
    bytes.append(reinterpret_cast<const char*>(face.data()), 48);
    bytes.append("\x01\x02", 2);
  }
  return bytes;
}

std::string ascii_text(const std::vector<Triangle>& faces) {
  std::string text = "solid parts\n";
  char line[200];
  auto triple = [&](const char* keyword, const base::Point3& point) {
    std::snprintf(line, sizeof line, "%s %.9g %.9g %.9g\n", keyword, static_cast<double>(point.x),
                  static_cast<double>(point.y), static_cast<double>(point.z));
    text += line;
  };
  for (const Triangle& face : faces) {
    triple("  facet normal", face[0]);
    text += "    outer loop\n";
    for (std::size_t corner = 1; corner <= 3; ++corner) triple("      vertex", face[corner]);
    text += "    endloop\n  endfacet\n";
  }
  return text + "endsolid parts\n";
}

class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char name[] = "/tmp/vertisift-merge-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The sequential reading, each vertex's face normals summed in file order within each of the
// contiguous ranges of the faces that `ranges` counts (none: one range of all), and the sums of
// the ranges added left to right; a face that names a vertex in several corners contributes
// their sum as one addend.
Outcome read_sequential(const std::string& path, const std::vector<std::uint64_t>& ranges = {}) {
  auto file = stl::read_stl_file(path);
  if (!file.ok()) return file.error().display();
  const mesh_io::IndexedMesh& mesh = file.value().mesh;
  std::vector<base::Point3> sums(mesh.vertices.size());
  std::vector<bool> seen(mesh.vertices.size());
  const auto add = [&](mesh_io::VertexIndex index, const base::Point3& addend) {
    if (!seen[index]) {
      sums[index] = addend;
      seen[index] = true;
    } else {
      sums[index] = {sums[index].x + addend.x, sums[index].y + addend.y, sums[index].z + addend.z};
    }
  };
  std::vector<std::uint64_t> counts = ranges;
  if (counts.empty()) counts.push_back(mesh.faces.size());
  EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), std::uint64_t{0}), mesh.faces.size());
  std::size_t next = 0;
  for (std::uint64_t range_count : counts) {
    std::map<mesh_io::VertexIndex, base::Point3> range_sums;
    for (const std::size_t end = next + range_count; next < end; ++next) {
      const std::size_t f = next;
      const mesh_io::Face& face = mesh.faces[f];
      std::vector<std::pair<mesh_io::VertexIndex, base::Point3>> own;
      for (auto index : face.vertex_indices) {
        auto entry =
            std::find_if(own.begin(), own.end(), [&](auto& item) { return item.first == index; });
        if (entry == own.end()) {
          own.emplace_back(index, face.normal);
        } else {
          entry->second = {entry->second.x + face.normal.x, entry->second.y + face.normal.y,
                           entry->second.z + face.normal.z};
        }
      }
      for (const auto& [index, addend] : own) {
        auto [at, fresh] = range_sums.emplace(index, addend);
        if (!fresh)
          at->second = {at->second.x + addend.x, at->second.y + addend.y, at->second.z + addend.z};
      }
    }
    for (const auto& [index, sum] : range_sums) add(index, sum);
  }
  std::map<Bits, Bits> normals;
  for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
    normals[bits_of(mesh.vertices[v])] = bits_of(normalize_or_zero(sums[v]));
  }
  return normals;
}

// The merge's outcome, and the ranges it summed the faces in.
Outcome read_merged(const std::string& path, std::size_t block_size,
                    std::vector<std::uint64_t>* ranges = nullptr) {
  VertexMerge merge;
  if (auto failure = stl::read_stl_blocks(path, merge, block_size)) return failure->display();
  if (ranges != nullptr) *ranges = merge.summed_ranges();
  std::map<Bits, Bits> normals;
  for (const PointWithNormal& point : merge.take_points()) {
    EXPECT_TRUE(normals.emplace(bits_of(point.position), bits_of(point.normal)).second)
        << "a position listed twice";
  }
  return normals;
}

// Returns the most ranges the merge summed the faces in.
std::size_t expect_same_outcome(const std::string& bytes, bool expect_success,
                                std::span<const std::size_t> block_sizes = BLOCK_SIZES) {
  const TempFile file(bytes);
  const Outcome expected = read_sequential(file.path());
  const bool read = std::holds_alternative<std::map<Bits, Bits>>(expected);
  EXPECT_EQ(read, expect_success) << (read ? "" : std::get<std::string>(expected));
  std::size_t most_ranges = 1;
  for (std::size_t block_size : block_sizes) {
    std::vector<std::uint64_t> ranges;
    const Outcome outcome = read_merged(file.path(), block_size, &ranges);
    EXPECT_EQ(outcome, ranges.size() <= 1 ? expected : read_sequential(file.path(), ranges))
        << "block size " << block_size << ", ranges " << ranges.size();
    most_ranges = std::max(most_ranges, ranges.size());
  }
  return most_ranges;
}

TEST(VertexMerge, BinaryMatchesTheSequentialSums) {
  const auto faces = random_faces(500, false);
  const auto count = static_cast<std::uint32_t>(faces.size());
  // With several workers, small blocks split the records into one range per worker.
  EXPECT_EQ(expect_same_outcome(binary_bytes(faces, count), true),
            std::min(parallel::pool_size(), MAX_MERGE_PARTITIONS));
  expect_same_outcome(binary_bytes(faces, count - 17) + "trailing bytes", true);
  expect_same_outcome(binary_bytes(faces, count + 1), false);  // "failed to fill whole buffer"
  expect_same_outcome(binary_bytes({}, 0), true);
}

TEST(VertexMerge, AsciiMatchesTheSequentialSums) {
  const std::string text = ascii_text(random_faces(300, true));
  const std::uint64_t plain_before = stl::plain_ascii_reads();
  expect_same_outcome(text, true);
  // At every block size the plain text was parsed in parts, not left to the ASCII reader.
  EXPECT_EQ(stl::plain_ascii_reads() - plain_before, std::size(BLOCK_SIZES));
  // Nothing after the endsolid line counts, not even bytes that are not UTF-8, however much of
  // the file they make: read in parts, the faces end with the part that meets "endsolid".
  expect_same_outcome(text + "facet normal oops\n\xff\xfe\n", true);
  const std::uint64_t plain_with_tail = stl::plain_ascii_reads();
  expect_same_outcome(text + std::string(3 * text.size(), '#') + "\nfacet normal 1 2 3\n", true,
                      FAULT_BLOCK_SIZES);
  EXPECT_EQ(stl::plain_ascii_reads() - plain_with_tail, std::size(FAULT_BLOCK_SIZES));
  // White space beyond ASCII after the keyword still ends the faces.
  const std::size_t last_line = text.rfind("endsolid");
  expect_same_outcome(text.substr(0, last_line) + "endsolid\xc2\xa0x\n", true);
}

TEST(VertexMerge, AsciiFaultsGiveTheSequentialMessage) {
  const std::string text = ascii_text(random_faces(120, true));
  const std::uint64_t plain_before = stl::plain_ascii_reads();
  // Each line of a facet replaced by a near miss, in the first, a middle and the last facet;
  // a line put before the first facet.
  const std::pair<std::string, std::string> faults[] = {
      {"  facet normal", "  facet normals 1 2 3\n"},
      {"  facet normal", "  facet normal 1 2 3 4\n"},
      {"    outer loop", "    outer lop\n"},
      {"      vertex", "      vertex 1 2\n"},
      {"      vertex", "      vertex 1 2 3x\n"},
      {"      vertex", "      vertex 1 2 1e39\n"},
      {"    endloop", "    endsolid\n"},
      {"  endfacet", "  endfacet x\n"},
      {"  endfacet", "  endfacet \xc3\x28\n"},
  };
  for (const auto& [line_start, replacement] : faults) {
    std::vector<std::size_t> lines;
    for (std::size_t at = text.find("\n" + line_start); at != std::string::npos;
         at = text.find("\n" + line_start, at + 1)) {
      lines.push_back(at + 1);
    }
    ASSERT_FALSE(lines.empty());
    for (std::size_t line : {lines.front(), lines[lines.size() / 2], lines.back()}) {
      SCOPED_TRACE(replacement + " at " + std::to_string(line));
      const std::size_t line_end = text.find('\n', line) + 1;
      expect_same_outcome(text.substr(0, line) + replacement + text.substr(line_end), false,
                          FAULT_BLOCK_SIZES);
    }
  }
  const std::size_t first_facet = text.find('\n') + 1;
  expect_same_outcome(text.substr(0, first_facet) + "endloop\n" + text.substr(first_facet), false,
                      FAULT_BLOCK_SIZES);
  // No broken file was taken for plain ASCII to its end.
  EXPECT_EQ(stl::plain_ascii_reads(), plain_before);
}

// A pipe cannot be rewound after the probe, so most files fail through one; whatever the
// outcome, it must be the sequential reading's.
TEST(VertexMerge, PipeStreamsWithTheSameOutcome) {
  const std::string fifo = TempFile("").path() + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto through_pipe = [&](const std::string& bytes, auto read) {
    std::thread writer([&] {
      const int out = open(fifo.c_str(), O_WRONLY);
      EXPECT_EQ(write(out, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      close(out);
    });
    Outcome outcome = read();
    writer.join();
    return outcome;
  };
  const auto faces = random_faces(400, false);
  const std::string binary = binary_bytes(faces, static_cast<std::uint32_t>(faces.size()));
  const std::string ascii = "solid \n" + ascii_text(random_faces(100, true)).substr(12);
  for (const std::string& bytes : {binary, ascii, std::string("solid x\nendsolid x\n")}) {
    const Outcome expected = through_pipe(bytes, [&] { return read_sequential(fifo); });
    EXPECT_EQ(through_pipe(bytes, [&] { return read_merged(fifo, 60); }), expected);
  }
  std::remove(fifo.c_str());
}

// The merge's points for `faces` over `vertices`, handed to it as one block, in the order of
// `vertices`: each vertex's normal as the reduction makes it.
PointList merged(const std::vector<base::Point3>& vertices,
                 const std::vector<mesh_io::Face>& faces) {
  std::vector<mesh_io::RawFace> corners;
  for (const mesh_io::Face& face : faces) {
    const auto* index = face.vertex_indices;
    corners.push_back({face.normal, {vertices[index[0]], vertices[index[1]], vertices[index[2]]}});
  }
  VertexMerge merge;
  merge.add_faces(corners);
  std::map<Bits, PointWithNormal> by_position;
  for (const PointWithNormal& point : merge.take_points())
    by_position[bits_of(point.position)] = point;
  PointList points;
  for (const base::Point3& vertex : vertices) {
    const auto at = by_position.find(bits_of(vertex));
    if (at != by_position.end()) points.push_back(at->second);
  }
  return points;
}

TEST(VertexMergeNormals, SharedEdgeAndDegenerateFaces) {
  const std::vector<base::Point3> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
  auto points = merged(vertices, {{{0, 1, 2}, {1, 0, 0}}, {{2, 1, 3}, {0, 1, 0}}});
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[0].normal.x, 1.0f);
  EXPECT_EQ(points[1].normal.x, 0.70710677f);
  EXPECT_EQ(points[1].normal.y, 0.70710677f);
  EXPECT_EQ(points[3].normal.y, 1.0f);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(points[i].position.x, vertices[i].x);
    EXPECT_EQ(points[i].position.y, vertices[i].y);
  }
}

// Vertex B named twice in a face gets n + n added at once, vertex A named once gets n, in
// each of the three places A can stand. The sums are exact whichever way the pool splits the
// faces, but adding n twice in a row, or n once, to B's sum of 1 rounds back to 1 (2^-24 is
// half of 1's last place), and A with 2n would turn A's normal.
TEST(VertexMergeNormals, RepeatedSlotsAddTwiceTheNormalAtOnce) {
  const float n = std::ldexp(1.0f, -24);
  const std::vector<base::Point3> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0},
                                              {0, 0, 1}, {1, 1, 0}, {1, 0, 1}};
  using Slots = std::array<mesh_io::VertexIndex, 3>;
  for (const Slots& repeated : {Slots{0, 0, 1}, Slots{0, 1, 0}, Slots{1, 0, 0}}) {
    std::vector<mesh_io::Face> faces = {{{0, 2, 3}, {1, 1, 0}}, {{1, 4, 5}, {0, 16 * n, 0}}};
    for (int i = 0; i < 64; ++i)
      faces.push_back({{repeated[0], repeated[1], repeated[2]}, {n, 0, 0}});
    auto points = merged(vertices, faces);
    const base::Point3 b = normalize_or_zero({1 + 64 * 2 * n, 1, 0});
    const base::Point3 a = normalize_or_zero({64 * n, 16 * n, 0});
    EXPECT_EQ(points[0].normal.x, b.x) << repeated[0] << repeated[1] << repeated[2];
    EXPECT_EQ(points[0].normal.y, b.y);
    EXPECT_EQ(points[1].normal.x, a.x) << repeated[0] << repeated[1] << repeated[2];
    EXPECT_EQ(points[1].normal.y, a.y);
  }
}

TEST(VertexMergeNormals, EveryCornerRepeated) {
  // Vertex 0 fills all three slots of face 0 (normal (1,0,0)) and one of face 1 (0,1,0).
  auto points =
      merged({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{{0, 0, 0}, {1, 0, 0}}, {{0, 1, 2}, {0, 1, 0}}});
  const base::Point3 expected = normalize_or_zero({3, 1, 0});
  EXPECT_EQ(points[0].normal.x, expected.x);
  EXPECT_EQ(points[0].normal.y, expected.y);
}

TEST(VertexMergeNormals, SignedZerosSurvive) {
  // A lone face with normal (-0, 0, 1): the sum keeps the negative zero, and so does x / length.
  auto lone = merged({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{{0, 1, 2}, {-0.0f, 0, 1}}});
  EXPECT_TRUE(same_bits(lone[0].normal.x, -0.0f));
}

TEST(VertexMergeNormals, LargeMeshMatchesSequentialSums) {
  // Many faces over few vertices, in blocks of many partitions, with normals that are exact
  // in float32.
  std::vector<base::Point3> vertices;
  for (int i = 0; i < 50; ++i) vertices.push_back({static_cast<float>(i), 0, 0});
  std::vector<mesh_io::Face> faces;
  std::vector<base::Point3> expected(50, {0, 0, 0});
  for (std::uint32_t i = 0; i < 20000; ++i) {
    mesh_io::Face face{{i % 50, (i * 7 + 1) % 50, (i * 13 + 2) % 50},
                       {static_cast<float>(i % 3), static_cast<float>(i % 5), 1}};
    faces.push_back(face);
    for (auto index : face.vertex_indices) {
      expected[index].x += face.normal.x;
      expected[index].y += face.normal.y;
      expected[index].z += face.normal.z;
    }
  }
  auto points = merged(vertices, faces);
  ASSERT_EQ(points.size(), 50u);
  for (std::size_t v = 0; v < 50; ++v) {
    base::Point3 want = normalize_or_zero(expected[v]);
    EXPECT_EQ(points[v].normal.x, want.x) << v;
    EXPECT_EQ(points[v].normal.y, want.y) << v;
    EXPECT_EQ(points[v].normal.z, want.z) << v;
  }
}

TEST(VertexMergeNormals, NoFacesNoPoints) {
  VertexMerge merge;
  EXPECT_TRUE(merge.take_points().empty());
  merge.add_faces({});
  EXPECT_TRUE(merge.take_points().empty());
}

}  // namespace
}  // namespace vertisift::reduce
