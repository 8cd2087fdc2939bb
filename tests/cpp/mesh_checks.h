// What the tests of the readers that give a Mesh share: a mesh rendered as one line,
// a reading that every piece size must agree on, random plain decimals and their check bit
// for bit, and the collection of real mesh files.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "mesh_io/byte_source.h"
#include "mesh_io/file_stream.h"
#include "mesh_io/read_error.h"
#include "mesh_io/mesh.h"
#include "mesh_io/text_numbers.h"

namespace vertisift::mesh_checks {

// A reader of one format, such as read_off.
using Reader = mesh_io::ReadResult<mesh_io::Mesh> (*)(mesh_io::ByteSource&);

// The mesh's stored normals, and the table through which its corners name them (empty for
// normals per position).
inline std::span<const base::Point3> normals_of(const mesh_io::Mesh& mesh) {
  const mesh_io::Stream* normals = mesh.find(mesh_io::NORMAL_STREAM);
  return normals != nullptr ? normals->items<base::Point3>() : std::span<const base::Point3>();
}
inline std::span<const mesh_io::Triangle> normal_corners_of(const mesh_io::Mesh& mesh) {
  const mesh_io::Stream* normals = mesh.find(mesh_io::NORMAL_STREAM);
  if (normals == nullptr) return {};
  return {normals->corners.data(), normals->corners.size()};
}

// The mesh as text: positions, triangles, normals with their triangles, and the skipped
// count, so that a whole reading compares in one line.
inline std::string render(const mesh_io::Mesh& mesh) {
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
  if (!normals_of(mesh).empty()) out += " | n";
  for (const auto& n : normals_of(mesh)) {
    std::snprintf(buffer, sizeof buffer, " %g,%g,%g", n.x, n.y, n.z);
    out += buffer;
  }
  if (!normal_corners_of(mesh).empty()) out += " |";
  for (const auto& t : normal_corners_of(mesh)) {
    std::snprintf(buffer, sizeof buffer, " %u%u%u", t.corners[0], t.corners[1], t.corners[2]);
    out += buffer;
  }
  if (mesh.skipped_faces != 0) out += " | skipped " + std::to_string(mesh.skipped_faces);
  return out;
}

// The rendering of `bytes` read by `read` in pieces of `piece` bytes, or the error's text.
inline std::string read_text(Reader read, const std::string& bytes, std::size_t piece) {
  mesh_io::MemorySource source(std::as_bytes(std::span(bytes.data(), bytes.size())), piece);
  auto result = read(source);
  return result.ok() ? render(result.value()) : "error: " + result.error().display();
}

// The rendering of `bytes` read whole; every piece size gives the same reading.
inline std::string read_pieces(Reader read, const std::string& bytes) {
  const std::string whole = read_text(read, bytes, SIZE_MAX);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
    EXPECT_EQ(read_text(read, bytes, piece), whole) << "piece size " << piece;
  }
  return whole;
}

// 30000 plain decimals, the same every run: an optional '-', then 1 to 11 digits with a
// point before any of them, after the last, or nowhere.
inline std::vector<std::string> random_decimals() {
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
  return tokens;
}

// The coordinates of the mesh's positions, x y z of one after another, are `tokens` as
// parse_float reads them, bit for bit.
inline void expect_parsed_positions(const mesh_io::Mesh& mesh,
                                    const std::vector<std::string>& tokens) {
  ASSERT_EQ(mesh.positions.size() * 3, tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    float expected = 0.0f;
    ASSERT_TRUE(mesh_io::parse_float(tokens[i], expected)) << tokens[i];
    const auto& point = mesh.positions[i / 3];
    const float got = i % 3 == 0 ? point.x : i % 3 == 1 ? point.y : point.z;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(expected))
        << tokens[i];
  }
}

// The shared collection of real mesh files (absent on a machine without it).
inline std::filesystem::path real_meshes() {
  return std::string(VERTISIFT_SHARED_DIR) + "/data/meshes";
}

// A test's table of the real files names `listed` files: as many as the collection holds
// with the `extension` (".off").
inline void expect_every_file_listed(const std::filesystem::path& folder, const char* extension,
                                     std::size_t listed) {
  std::size_t seen = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    seen += entry.path().extension() == extension;
  }
  EXPECT_EQ(seen, listed) << "a file of the collection is missing from this table";
}

// The file at `path` read by `read`. A file that does not open fails the test, and gives the
// error of the opening.
inline mesh_io::ReadResult<mesh_io::Mesh> read_file(Reader read,
                                                          const std::filesystem::path& path) {
  auto stream = mesh_io::FileStream::open(path.string());
  if (!stream.ok()) {
    ADD_FAILURE() << path << ": " << stream.error().display();
    return std::move(stream.error());
  }
  mesh_io::FileSource source(stream.value());
  return read(source);
}

}  // namespace vertisift::mesh_checks
