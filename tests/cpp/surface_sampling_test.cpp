// Surface sampling's units: the cumulative areas, the area-weighted face choice (against a
// plain linear scan) and the point formula.
#include "sample/surface_sampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace vertisift::sample {
namespace {

// A mesh of loose corners, one face at a time.
struct LooseMesh {
  mesh_io::Mesh mesh;
  LooseMesh() { mesh.loose_corners = true; }
  void add(base::Point3 a, base::Point3 b, base::Point3 c) {
    for (const base::Point3& p : {a, b, c}) mesh.positions.push_back(p);
  }
};

// The first face whose cumulative area passes the target, found by scanning.
std::size_t scan(const AreaList& cumulative, double target) {
  for (std::size_t i = 0; i < cumulative.size(); ++i) {
    if (cumulative[i] > target) return i;
  }
  std::size_t last = cumulative.size() - 1;
  while (last > 0 && cumulative[last - 1] == cumulative.back()) --last;
  return last;
}

TEST(SurfaceSampling, CumulativeAreasSkipDegenerateAndNonFiniteFaces) {
  const float inf = INFINITY;
  LooseMesh faces;
  faces.add({0, 0, 0}, {2, 0, 0}, {0, 1, 0});    // 1
  faces.add({0, 0, 0}, {1, 1, 1}, {2, 2, 2});    // 0: collinear
  faces.add({0, 0, 0}, {inf, 0, 0}, {0, 1, 0});  // infinite
  faces.add({0, 0, 0}, {NAN, 0, 0}, {0, 1, 0});  // NaN
  faces.add({0, 0, 5}, {0, 3, 5}, {2, 0, 5});    // 3
  AreaList cumulative;
  EXPECT_EQ(cumulative_areas(faces.mesh, cumulative), 4.0);
  EXPECT_EQ(cumulative, (AreaList{1, 1, 1, 1, 4}));
  for (double target : {0.0, 0.5, 0.999, 1.0, 2.5, 3.999, 4.0, 5.0}) {
    const std::size_t face = pick_face(cumulative, target);
    EXPECT_EQ(face, target < 1 ? 0u : 4u) << target;
  }
}

// Faces of whole areas 1 to 5, so that every sum is exact and the blocked sum must equal
// a running sum over the whole list, across every block boundary.
class CumulativeAcrossBlocks : public testing::TestWithParam<std::size_t> {};

TEST_P(CumulativeAcrossBlocks, EqualARunningSumOverEveryBlock) {
  const std::size_t face_count = GetParam();
  LooseMesh faces;
  AreaList expected;
  double running = 0;
  for (std::size_t i = 0; i < face_count; ++i) {
    const float legs = static_cast<float>(2 * (i % 5 + 1));
    faces.add({0, 0, 0}, {legs, 0, 0}, {0, 1, 0});
    running += static_cast<double>(i % 5 + 1);
    expected.push_back(running);
  }
  AreaList cumulative;
  EXPECT_EQ(cumulative_areas(faces.mesh, cumulative), running);
  ASSERT_EQ(cumulative.size(), face_count);
  for (std::size_t i = 0; i < face_count; ++i) ASSERT_EQ(cumulative[i], expected[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(SurfaceSampling, CumulativeAcrossBlocks,
                         testing::Values(SURFACE_BLOCK + 1, 3 * SURFACE_BLOCK + 17));

TEST(SurfaceSampling, GuidedPicksEqualTheSearchOnRandomAreas) {
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> area(0.0, 1.0);
  AreaList cumulative;
  double total = 0;
  for (int i = 0; i < 20000; ++i) {
    // Runs of zero-area faces, and areas spread over many magnitudes.
    const double value = i % 7 == 3 ? 0.0 : std::pow(area(random), 6.0);
    total += value;
    cumulative.push_back(total);
  }
  const FacePicker guided(cumulative, total, cumulative.size());
  const FacePicker plain(cumulative, total, 10);
  for (int i = 0; i < 200000; ++i) {
    const double target = area(random) * total;
    const std::size_t expected = scan(cumulative, target);
    ASSERT_EQ(pick_face(cumulative, target), expected) << target;
    ASSERT_EQ(guided.pick(target), expected) << target;
    ASSERT_EQ(plain.pick(target), expected) << target;
  }
  for (double target : {0.0, total, std::nextafter(total, 0.0), total * 2}) {
    EXPECT_EQ(guided.pick(target), scan(cumulative, target)) << target;
  }
}

TEST(SurfaceSampling, TrianglePointFormula) {
  const base::Point3 a = {1, 2, 3}, b = {5, 2, 3}, c = {1, 6, 3};
  // r1 = 0 is the first corner; r1 = 1 runs along the opposite edge from b (r2 = 0) to c.
  auto same = [](base::Point3 p, base::Point3 q) { return p.x == q.x && p.y == q.y && p.z == q.z; };
  EXPECT_TRUE(same(point_in_triangle(a, b, c, 0.0, 0.7), a));
  EXPECT_TRUE(same(point_in_triangle(a, b, c, 1.0, 0.0), b));
  EXPECT_TRUE(same(point_in_triangle(a, b, c, 1.0, 1.0), c));
  EXPECT_TRUE(same(point_in_triangle(a, b, c, 1.0, 0.5), base::Point3{3, 4, 3}));
  EXPECT_TRUE(same(point_in_triangle(a, b, c, 0.25, 0.5), base::Point3{2, 3, 3}));  // sqrt: halfway
  // Uniform over the area: the share of points nearer the first corner than the half-way
  // line parallel to the opposite edge is the area share, 1/4.
  std::mt19937_64 random(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int near_a = 0;
  const int draws = 40000;
  for (int i = 0; i < draws; ++i) {
    const base::Point3 p = point_in_triangle(a, b, c, unit(random), unit(random));
    ASSERT_GE(p.x, 1.0f);
    ASSERT_GE(p.y, 2.0f);
    ASSERT_LE((p.x - 1) + (p.y - 2), 4.0f);
    if ((p.x - 1) + (p.y - 2) < 2.0f) ++near_a;
  }
  EXPECT_NEAR(near_a, draws / 4, 400);
}

}  // namespace
}  // namespace vertisift::sample
