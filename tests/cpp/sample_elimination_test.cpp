// Sample elimination: exactly the points asked for, in increasing order, spread apart, on a
// smooth sheet and on a thin wall; and the recorded result of a seeded cloud; the same with
// the neighbours stored and measured again.
#include "spread/sample_elimination.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace vertisift::spread {
namespace {

// The smallest distance between two of the kept points.
double closest_pair(const std::vector<base::Point3>& points, const std::vector<std::uint64_t>& kept,
                    bool flat) {
  double closest = INFINITY;
  for (std::size_t a = 0; a < kept.size(); ++a) {
    for (std::size_t b = a + 1; b < kept.size(); ++b) {
      const base::Point3 &p = points[kept[a]], &q = points[kept[b]];
      const double dz = flat ? 0.0 : double{p.z} - q.z;
      closest = std::min(closest, std::hypot(double{p.x} - q.x, double{p.y} - q.y, dz));
    }
  }
  return closest;
}

// 5n uniform points on the unit square, or on both sides of a wall 1e-3 thick (area 2).
std::vector<base::Point3> sheet(std::size_t count, bool wall) {
  std::mt19937_64 engine(count);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<base::Point3> points(count);
  for (std::size_t i = 0; i < count; ++i) {
    points[i] = {unit(engine), unit(engine), wall && i % 2 == 1 ? 1e-3f : 0.0f};
  }
  return points;
}

TEST(SampleElimination, KeepsExactlyNPointsSpreadApart) {
  for (const bool wall : {false, true}) {
    const std::size_t n = 500;
    const std::vector<base::Point3> points = sheet(5 * n, wall);
    std::vector<std::uint64_t> kept(n);
    eliminate_samples(points, wall ? 2.0 : 1.0, kept);
    for (std::size_t i = 1; i < n; ++i) ASSERT_LT(kept[i - 1], kept[i]);
    ASSERT_LT(kept.back(), points.size());
    // The spacing n points on the unit square can keep, seen from above: the wall's two
    // sides are one sheet to it.
    const double spacing = std::sqrt(2.0 / (std::sqrt(3.0) * static_cast<double>(n)));
    EXPECT_GT(closest_pair(points, kept, true), 0.5 * spacing) << (wall ? "wall" : "sheet");
    // Measured again in the cells by every pass, on the wall both eliminations, the
    // neighbours give the points their stored lists give.
    std::vector<std::uint64_t> streamed(n);
    eliminate_samples(points, wall ? 2.0 : 1.0, streamed, 0);
    EXPECT_EQ(streamed, kept) << (wall ? "wall" : "sheet");
  }
}

// The points kept of a cloud filling the unit cube, made from the engine's raw words (whose
// output the standard fixes), as recorded: the weights are sums in a fixed order and the
// removals a fixed sequence, so the result is the same on every machine. Points share cells
// of the neighbour search; an order within a cell left to the sort sums the weights in
// another order, and other points go. The same without stored lists: of 6,000 points a
// removal measures thousands in its cells, on the pool.
struct Recorded {
  std::size_t count;
  std::vector<std::uint64_t> kept;
};

class RecordedCloud : public testing::TestWithParam<Recorded> {};

TEST_P(RecordedCloud, KeepsTheRecordedPoints) {
  const Recorded& recorded = GetParam();
  std::mt19937_64 engine(recorded.count);
  auto unit = [&] { return static_cast<float>(engine() >> 40) * 0x1p-24f; };
  std::vector<base::Point3> points(recorded.count);
  for (base::Point3& p : points) p = {unit(), unit(), unit()};
  for (const std::uint64_t budget : {NEIGHBOUR_BUDGET, std::uint64_t{0}}) {
    std::vector<std::uint64_t> kept(recorded.kept.size());
    eliminate_samples(points, 1.0, kept, budget);
    EXPECT_EQ(kept, recorded.kept) << "neighbour budget " << budget;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SampleElimination, RecordedCloud,
    testing::Values(Recorded{200, {41, 68, 120, 148}},
                    Recorded{1000, {144, 307, 315, 495, 514, 568, 713, 729, 895, 910}},
                    Recorded{6000, {1453, 1742, 1760, 2126, 2584, 2748, 2891, 4097, 4589, 4595}}));

}  // namespace
}  // namespace vertisift::spread
