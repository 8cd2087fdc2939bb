// Farthest-point sampling on its tree against the plain loop it must equal, index for index.
#include "spread/farthest_point.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace vertisift::spread {
namespace {

// The points as the sampling compares them: scaled by the power of two that brings their
// largest magnitude into [2^59, 2^60).
template <class T>
std::vector<T> held(std::vector<T> xyz) {
  T largest = 0;
  for (const T value : xyz) largest = std::max(largest, std::abs(value));
  if (largest == 0) return xyz;
  int exponent = 0;
  std::frexp(largest, &exponent);
  for (T& value : xyz) value = std::ldexp(value, 60 - exponent);
  return xyz;
}

// The plain O(m·k) loop over the points as held: the distance to the chosen set lowered point
// by point, the farthest taken by a scan, ties to the lowest index.
template <class T>
std::vector<std::uint64_t> plain_sample(const std::vector<T>& given, std::size_t k,
                                        std::size_t start) {
  const std::vector<T> xyz = held(given);
  const std::size_t m = xyz.size() / 3;
  std::vector<T> distance(m, std::numeric_limits<T>::infinity());
  std::vector<std::uint64_t> chosen;
  std::size_t next = start;
  while (chosen.size() < k) {
    chosen.push_back(next);
    for (std::size_t i = 0; i < m; ++i) {
      const T d = squared_distance(&xyz[3 * i], &xyz[3 * next]);
      if (d < distance[i]) distance[i] = d;
    }
    next = 0;
    for (std::size_t i = 1; i < m; ++i) {
      if (distance[i] > distance[next]) next = i;
    }
  }
  return chosen;
}

template <class T>
std::vector<std::uint64_t> tree_sample(const std::vector<T>& xyz, std::size_t k,
                                       std::size_t start) {
  std::vector<std::uint64_t> chosen(k);
  farthest_point_sample<T>(xyz, start, chosen);
  return chosen;
}

// Points of three kinds: spread uniformly, on a coarse integer lattice (many equal
// distances, so ties decide), and clustered at scales from 1e-30 to 1e30 (distances that
// underflow or dwarf the others).
template <class T>
std::vector<T> points_of(int kind, std::size_t m, unsigned seed) {
  std::mt19937_64 engine(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> lattice(0, 6);
  std::uniform_int_distribution<int> scale(-30, 30);
  std::vector<T> xyz(3 * m);
  for (std::size_t i = 0; i < m; ++i) {
    const double s = kind == 2 ? std::pow(10.0, scale(engine)) : 1.0;
    for (std::size_t a = 0; a < 3; ++a) {
      xyz[3 * i + a] = static_cast<T>(kind == 1 ? lattice(engine) : unit(engine) * s);
    }
  }
  return xyz;
}

template <class T>
class FarthestPointTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FarthestPointTest, Precisions);

TYPED_TEST(FarthestPointTest, EqualsThePlainLoop) {
  using T = TypeParam;
  for (int kind = 0; kind < 3; ++kind) {
    for (const std::size_t m : {1u, 33u, 1000u, 5000u}) {
      const auto xyz = points_of<T>(kind, m, 7u + static_cast<unsigned>(m));
      const std::size_t k = std::min<std::size_t>(m, 400);
      EXPECT_EQ(tree_sample(xyz, k, m / 3), plain_sample(xyz, k, m / 3))
          << "kind " << kind << ", " << m << " points";
    }
  }
}

// Enough points for the update to go to the pool subtree by subtree, and enough chosen that
// the later updates stay in one subtree.
TYPED_TEST(FarthestPointTest, EqualsThePlainLoopOnTheParallelPath) {
  using T = TypeParam;
  const auto xyz = points_of<T>(1, std::size_t{1} << 18, 3);
  EXPECT_EQ(tree_sample(xyz, 300, 5), plain_sample(xyz, 300, 5));
}

// Asked for more points than are apart, the sampling goes on choosing points at distance 0,
// the lowest index first, as the loop does.
TYPED_TEST(FarthestPointTest, RepeatsOnceEveryPointIsChosen) {
  using T = TypeParam;
  const std::vector<T> xyz = {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0};
  const std::vector<std::uint64_t> expected = {2, 0, 0, 0};
  EXPECT_EQ(tree_sample(xyz, 4, 2), expected);
  EXPECT_EQ(plain_sample(xyz, 4, 2), expected);
}

}  // namespace
}  // namespace vertisift::spread
