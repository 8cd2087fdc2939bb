#include "reduce/vertex_normals.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "mesh_io/indexed_mesh.h"

namespace vertisift::reduce {
namespace {

bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

TEST(NormalizeOrZero, Cases) {
  base::Point3 unit = normalize_or_zero({0, 0, 2});
  EXPECT_EQ(unit.z, 1.0f);
  base::Point3 zero = normalize_or_zero({0, -0.0f, 0});
  EXPECT_TRUE(same_bits(zero.x, 0.0f) && same_bits(zero.y, 0.0f) && same_bits(zero.z, 0.0f));
  base::Point3 diagonal = normalize_or_zero({1, 1, 0});
  EXPECT_EQ(diagonal.x, 0.70710677f);
  base::Point3 tilted = normalize_or_zero({1, 0, 3});
  EXPECT_EQ(tilted.x, 0.31622776f);
  EXPECT_EQ(tilted.z, 0.94868326f);
  EXPECT_TRUE(same_bits(tilted.y, 0.0f));
  base::Point3 with_nan = normalize_or_zero({std::nanf(""), 1, 0});
  EXPECT_TRUE(std::isnan(with_nan.x) && std::isnan(with_nan.y));
  const float inf = std::numeric_limits<float>::infinity();
  base::Point3 with_inf = normalize_or_zero({inf, -1, 0});
  EXPECT_TRUE(std::isnan(with_inf.x));
  EXPECT_TRUE(same_bits(with_inf.y, -0.0f));
  // Tiny components whose squares underflow to zero count as a zero length.
  base::Point3 tiny = normalize_or_zero({1e-30f, 0, 0});
  EXPECT_EQ(tiny.x, 0.0f);
}

mesh_io::IndexedMesh mesh_of(std::vector<base::Point3> vertices, std::vector<mesh_io::Face> faces) {
  return mesh_io::IndexedMesh{base::PodVector<base::Point3>(vertices),
                              base::PodVector<mesh_io::Face>(faces)};
}

TEST(VertexNormals, SharedEdgeAndDegenerateFaces) {
  auto mesh = mesh_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}},
                      {{{0, 1, 2}, {1, 0, 0}}, {{2, 1, 3}, {0, 1, 0}}});
  auto points = compute_vertex_normals(mesh);
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[0].normal.x, 1.0f);
  EXPECT_EQ(points[1].normal.x, 0.70710677f);
  EXPECT_EQ(points[1].normal.y, 0.70710677f);
  EXPECT_EQ(points[3].normal.y, 1.0f);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(points[i].position.x, mesh.vertices[i].x);
    EXPECT_EQ(points[i].position.y, mesh.vertices[i].y);
  }
}

// Vertex B named twice in a face gets n + n added at once, vertex A named once gets n, in
// each of the three places A can stand. The sums are exact whichever way the pool splits the
// faces, but adding n twice in a row, or n once, to B's sum of 1 rounds back to 1 (2^-24 is
// half of 1's last place), and A with 2n would turn A's normal.
TEST(VertexNormals, RepeatedSlotsAddTwiceTheNormalAtOnce) {
  const float n = std::ldexp(1.0f, -24);
  const std::vector<base::Point3> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0},
                                              {0, 0, 1}, {1, 1, 0}, {1, 0, 1}};
  using Slots = std::array<mesh_io::VertexIndex, 3>;
  for (const Slots& repeated : {Slots{0, 0, 1}, Slots{0, 1, 0}, Slots{1, 0, 0}}) {
    std::vector<mesh_io::Face> faces = {{{0, 2, 3}, {1, 1, 0}}, {{1, 4, 5}, {0, 16 * n, 0}}};
    for (int i = 0; i < 64; ++i)
      faces.push_back({{repeated[0], repeated[1], repeated[2]}, {n, 0, 0}});
    auto points = compute_vertex_normals(mesh_of(vertices, faces));
    const base::Point3 b = normalize_or_zero({1 + 64 * 2 * n, 1, 0});
    const base::Point3 a = normalize_or_zero({64 * n, 16 * n, 0});
    EXPECT_EQ(points[0].normal.x, b.x) << repeated[0] << repeated[1] << repeated[2];
    EXPECT_EQ(points[0].normal.y, b.y);
    EXPECT_EQ(points[1].normal.x, a.x) << repeated[0] << repeated[1] << repeated[2];
    EXPECT_EQ(points[1].normal.y, a.y);
  }
}

TEST(VertexNormals, EveryCornerRepeated) {
  // Vertex 0 fills all three slots of face 0 (normal (1,0,0)) and one of face 1 (0,1,0).
  auto mesh =
      mesh_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{{0, 0, 0}, {1, 0, 0}}, {{0, 1, 2}, {0, 1, 0}}});
  auto points = compute_vertex_normals(mesh);
  const base::Point3 expected = normalize_or_zero({3, 1, 0});
  EXPECT_EQ(points[0].normal.x, expected.x);
  EXPECT_EQ(points[0].normal.y, expected.y);
}

TEST(VertexNormals, SignedZerosSurvive) {
  // A lone face with normal (-0, 0, 1): the sum keeps the negative zero, and so does x / length.
  auto single = mesh_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{{0, 1, 2}, {-0.0f, 0, 1}}});
  auto lone = compute_vertex_normals(single);
  EXPECT_TRUE(same_bits(lone[0].normal.x, -0.0f));
}

TEST(VertexNormals, LargeMeshMatchesSequentialSums) {
  // Many faces over few vertices, with normals that are exact in float32, so the sums do not
  // depend on how the pool splits the faces.
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
  auto mesh = mesh_of(vertices, faces);
  auto points = compute_vertex_normals(mesh);
  ASSERT_EQ(points.size(), 50u);
  for (std::size_t v = 0; v < 50; ++v) {
    base::Point3 want = normalize_or_zero(expected[v]);
    EXPECT_EQ(points[v].normal.x, want.x) << v;
    EXPECT_EQ(points[v].normal.y, want.y) << v;
    EXPECT_EQ(points[v].normal.z, want.z) << v;
  }
}

TEST(VertexNormals, EmptyMesh) { EXPECT_TRUE(compute_vertex_normals({}).empty()); }

}  // namespace
}  // namespace vertisift::reduce
