// The ray tree against every triangle tried in turn, on random and degenerate meshes; the
// watertight test on rays through shared edges and vertices; the view directions and the
// visibility pass.
#include "rays/triangle_bvh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "rays/visibility.h"

namespace vertisift::rays {
namespace {

struct Soup {
  std::vector<base::Point3> positions;
  std::vector<std::uint32_t> corners;
  TriangleMesh mesh() const { return {positions, corners}; }
  TriangleBvh::Triangle triangle(std::size_t f) const {
    return {positions[corners[3 * f]], positions[corners[3 * f + 1]], positions[corners[3 * f + 2]],
            static_cast<std::uint32_t>(f)};
  }
};

// The closest hit by trying every triangle: the nearest t, the lowest face among equals.
Hit brute_closest(const Soup& soup, const Ray& ray, std::uint32_t ignored = NO_FACE) {
  Hit best;
  for (std::size_t f = 0; f < soup.corners.size() / 3; ++f) {
    if (f == ignored) continue;
    const Hit hit = intersect_triangle(ray, soup.triangle(f));
    if (hit.face != NO_FACE && hit.t < best.t) best = hit;
  }
  return best;
}

base::Point3 random_point(std::mt19937& rng, float scale) {
  std::uniform_real_distribution<float> uniform(-scale, scale);
  return {uniform(rng), uniform(rng), uniform(rng)};
}

// Random triangles, among them slivers (a corner near the opposite edge), triangles of zero
// area (a repeated corner, three corners on a line) and some sharing corners exactly.
Soup random_soup(std::size_t faces, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Soup soup;
  for (std::size_t f = 0; f < faces; ++f) {
    const base::Point3 a = random_point(rng, 1.0f);
    base::Point3 b = {a.x + random_point(rng, 0.3f).x, a.y + random_point(rng, 0.3f).y,
                      a.z + random_point(rng, 0.3f).z};
    base::Point3 c = {a.x + random_point(rng, 0.3f).x, a.y + random_point(rng, 0.3f).y,
                      a.z + random_point(rng, 0.3f).z};
    switch (f % 7) {
      case 1: c = {(a.x + b.x) / 2 + 1e-6f, (a.y + b.y) / 2, (a.z + b.z) / 2}; break;  // sliver
      case 2: c = b; break;                                                            // repeated
      case 3: c = {2 * b.x - a.x, 2 * b.y - a.y, 2 * b.z - a.z}; break;                // on a line
      default: break;
    }
    const auto first = static_cast<std::uint32_t>(soup.positions.size());
    soup.positions.insert(soup.positions.end(), {a, b, c});
    // Every fifth triangle takes a corner of the one before: shared edges.
    const bool share = f % 5 == 4 && f > 0;
    soup.corners.insert(soup.corners.end(),
                        {share ? first - 3 : first, first + 1, share ? first - 2 : first + 2});
  }
  return soup;
}

Ray random_ray(std::mt19937& rng) {
  Ray ray{random_point(rng, 2.0f), random_point(rng, 1.0f)};
  if (rng() % 4 == 0) ray.direction.y = 0.0f;  // axis-parallel components
  if (rng() % 8 == 0) ray.direction = {0.0f, 0.0f, rng() % 2 ? 1.0f : -1.0f};
  return ray;
}

class BvhAgainstBruteForce
    : public ::testing::TestWithParam<std::tuple<std::size_t, BuildQuality>> {};

TEST_P(BvhAgainstBruteForce, ClosestAndAnyHitMatchEveryTriangleTried) {
  const std::size_t faces = std::get<0>(GetParam());
  const Soup soup = random_soup(faces, static_cast<std::uint32_t>(faces));
  const TriangleBvh bvh(soup.mesh(), std::get<1>(GetParam()));
  std::mt19937 rng(7);
  std::size_t hits = 0;
  // Enough triangles for the top of the tree to be split on this thread, and fewer rays then.
  const int ray_count = faces > 10000 ? 400 : 3000;
  for (int r = 0; r < ray_count; ++r) {
    Ray ray = random_ray(rng);
    if (r % 3 == 0) ray.t_max = 1.5f;
    if (r % 5 == 0) ray.t_min = 0.5f;
    const std::uint32_t ignored = r % 4 == 0 ? static_cast<std::uint32_t>(rng() % faces) : NO_FACE;
    const Hit expected = brute_closest(soup, ray, ignored);
    const Hit found = bvh.closest(ray, ignored);
    ASSERT_EQ(found.t, expected.t) << "ray " << r;
    if (expected.face != NO_FACE) {
      ++hits;
      // Another face may share the nearest t exactly; it must be hit there too.
      const Hit same = intersect_triangle(ray, soup.triangle(found.face));
      ASSERT_EQ(same.t, expected.t) << "ray " << r;
      ASSERT_NE(found.face, ignored);
      ASSERT_NEAR(found.w[0] + found.w[1] + found.w[2], 1.0f, 1e-5f);
    } else {
      ASSERT_EQ(found.face, NO_FACE);
    }
    ASSERT_EQ(bvh.occluded(ray, ignored), expected.face != NO_FACE) << "ray " << r;
  }
  if (faces >= 40) {
    EXPECT_GT(hits, 30u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BvhAgainstBruteForce,
                         ::testing::Combine(::testing::Values(1, 5, 40, 700, 6000, 30000),
                                            ::testing::Values(BuildQuality::Sah,
                                                              BuildQuality::Morton)));

// A square grid of n x n cells, two triangles each, in the plane z = 0.
Soup grid(int n) {
  Soup soup;
  for (int y = 0; y <= n; ++y) {
    for (int x = 0; x <= n; ++x) {
      soup.positions.push_back({static_cast<float>(x) / static_cast<float>(n),
                                static_cast<float>(y) / static_cast<float>(n), 0.0f});
    }
  }
  const auto at = [n](int x, int y) { return static_cast<std::uint32_t>(y * (n + 1) + x); };
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      soup.corners.insert(soup.corners.end(), {at(x, y), at(x + 1, y), at(x + 1, y + 1)});
      soup.corners.insert(soup.corners.end(), {at(x, y), at(x + 1, y + 1), at(x, y + 1)});
    }
  }
  return soup;
}

TEST(Watertight, RaysThroughSharedEdgesAndVerticesNeverSlipThrough) {
  const Soup soup = grid(64);
  for (const BuildQuality quality : {BuildQuality::Sah, BuildQuality::Morton}) {
    const TriangleBvh bvh(soup.mesh(), quality);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> tilt(-0.7f, 0.7f);
    for (int i = 1; i < 64; ++i) {
      for (int j = 1; j < 64; ++j) {
        // Aimed at a vertex, at the middle of a diagonal and of an axis-parallel edge.
        const float x = static_cast<float>(i) / 64.0f, y = static_cast<float>(j) / 64.0f;
        for (const base::Point3 target :
             {base::Point3{x, y, 0.0f}, base::Point3{x + 0.5f / 64.0f, y + 0.5f / 64.0f, 0.0f},
              base::Point3{x + 0.5f / 64.0f, y, 0.0f}}) {
          const base::Point3 d = {tilt(rng), tilt(rng), -1.0f};
          const Ray ray{{target.x - d.x, target.y - d.y, 1.0f}, d};
          const Hit hit = bvh.closest(ray);
          ASSERT_NE(hit.face, NO_FACE) << x << " " << y;
          ASSERT_NEAR(hit.t, 1.0f, 1e-5f);
          ASSERT_TRUE(bvh.occluded(ray));
        }
      }
    }
  }
}

TEST(Bvh, LeavesOutTrianglesWithNonFiniteCornersAndBoundsItsDepth) {
  Soup soup = random_soup(200, 11);
  soup.positions[0].x = NAN;
  soup.positions[4].y = INFINITY;
  const TriangleBvh bvh(soup.mesh());
  EXPECT_EQ(bvh.triangle_count(), 198u);
  // Every triangle at one point: the halving splits keep the tree shallow.
  Soup same;
  for (std::uint32_t f = 0; f < 5000; ++f) {
    same.positions.insert(same.positions.end(), {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    same.corners.insert(same.corners.end(), {3 * f, 3 * f + 1, 3 * f + 2});
  }
  for (const BuildQuality quality : {BuildQuality::Sah, BuildQuality::Morton}) {
    const TriangleBvh stacked(same.mesh(), quality);
    EXPECT_LT(stacked.depth(), TriangleBvh::STACK_DEPTH / 2);
    EXPECT_EQ(stacked.closest({{0.2f, 0.2f, 1.0f}, {0, 0, -1}}).t, 1.0f);
  }
  // Rays that cannot hit: no direction, a NaN origin.
  EXPECT_FALSE(bvh.occluded({{0, 0, 0}, {0, 0, 0}}));
  EXPECT_FALSE(bvh.occluded({{NAN, 0, 0}, {0, 0, 1}}));
  EXPECT_EQ(TriangleBvh(TriangleMesh{}).closest({{0, 0, 0}, {0, 0, 1}}).face, NO_FACE);
  // Positions without triangles are no triangles, loose corners three to a triangle.
  EXPECT_EQ(TriangleBvh(TriangleMesh{soup.positions, {}}).triangle_count(), 0u);
  EXPECT_EQ(TriangleBvh(TriangleMesh{same.positions, {}, true}).triangle_count(), 5000u);
}

TEST(ViewDirections, AreUnitSpreadAndOffTheAxisPlanes) {
  for (const std::size_t count : {1u, 7u, 64u, 500u}) {
    const std::vector<base::Point3> directions = view_directions(count);
    ASSERT_EQ(directions.size(), count);
    double sum[3] = {0, 0, 0};
    for (const base::Point3& d : directions) {
      EXPECT_NEAR(std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z), 1.0, 1e-6);
      EXPECT_TRUE(d.x != 0.0f && d.y != 0.0f && d.z != 0.0f);
      sum[0] += d.x, sum[1] += d.y, sum[2] += d.z;
    }
    // Spread: they nearly cancel, and the first eight of the default set already reach both
    // sides of each plane of the axes; none of the default set grazes such a plane.
    if (count == 64) {
      for (const base::Point3& d : directions) {
        EXPECT_GT(std::min({std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)}),
                  std::sin(1.5 * M_PI / 180.0));
      }
      EXPECT_LT(std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]),
                0.05 * static_cast<double>(count));
      for (int axis = 0; axis < 3; ++axis) {
        int positive = 0;
        for (std::size_t k = 0; k < 8; ++k) positive += (&directions[k].x)[axis] > 0.0f;
        EXPECT_GT(positive, 1);
        EXPECT_LT(positive, 7);
      }
    }
  }
}

// A closed cube [-1, 1]^3 of twelve triangles.
Soup cube() {
  Soup soup;
  for (int i = 0; i < 8; ++i) {
    soup.positions.push_back({i & 1 ? 1.0f : -1.0f, i & 2 ? 1.0f : -1.0f, i & 4 ? 1.0f : -1.0f});
  }
  soup.corners = {0, 1, 3, 0, 3, 2, 4, 6, 7, 4, 7, 5, 0, 4, 5, 0, 5, 1,
                  2, 3, 7, 2, 7, 6, 0, 2, 6, 0, 6, 4, 1, 5, 7, 1, 7, 3};
  return soup;
}

TEST(Visibility, PointsInsideAClosedCubeAreNotSeenAndItsFacesAre) {
  const Soup soup = cube();
  const TriangleBvh bvh(soup.mesh());
  const std::vector<base::Point3> directions = view_directions(64);
  const std::vector<base::Point3> origins = {
      {0, 0, 0}, {0.9f, -0.3f, 0.2f}, {1.0f, 0.3f, 0.4f}, {0.25f, 0.5f, -1.0f}, {3, 3, 3}};
  const std::vector<std::uint32_t> ignored = {NO_FACE, NO_FACE, NO_FACE, NO_FACE, NO_FACE};
  std::vector<std::uint32_t> first(origins.size());
  first_clear_directions(bvh, origins, ignored, directions, origin_clearance(bvh), first);
  EXPECT_EQ(first[0], NOT_SEEN);
  EXPECT_EQ(first[1], NOT_SEEN);
  for (std::size_t i = 2; i < origins.size(); ++i) {
    ASSERT_NE(first[i], NOT_SEEN) << i;
    // The direction that sees a point on a face leaves through that face's side.
    const base::Point3& d = directions[first[i]];
    if (i == 2) {
      EXPECT_GT(d.x, 0.0f);
    }
    if (i == 3) {
      EXPECT_LT(d.z, 0.0f);
    }
  }
}

}  // namespace
}  // namespace vertisift::rays
