// The whole driver, without Python, on generated meshes: every stage and every parallel pass
// of a call, many times over, and calls of the reduction and of both samples from several
// threads at once. `make test-tsan` runs it under ThreadSanitizer once per pool size (the
// size is read from RAYON_NUM_THREADS once per process).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "reduce/pipeline.h"
#include "sample/sampling.h"
#include "stl/stl_reader.h"

namespace vertisift::reduce {
namespace {

using Triangle = std::array<base::Point3, 3>;

// A closed torus: `steps` x `steps` quads, each vertex shared by six faces.
std::vector<Triangle> torus(int steps) {
  auto point = [&](int i, int j) {
    const double u = 2 * M_PI * (i % steps) / steps;
    const double v = 2 * M_PI * (j % steps) / steps;
    const double r = 3 + std::cos(v);
    return base::Point3{static_cast<float>(r * std::cos(u)), static_cast<float>(r * std::sin(u)),
                        static_cast<float>(std::sin(v))};
  };
  std::vector<Triangle> faces;
  for (int i = 0; i < steps; ++i) {
    for (int j = 0; j < steps; ++j) {
      faces.push_back({point(i, j), point(i + 1, j), point(i + 1, j + 1)});
      faces.push_back({point(i, j), point(i + 1, j + 1), point(i, j + 1)});
    }
  }
  return faces;
}

class TempStl {
 public:
  TempStl(const std::vector<Triangle>& faces, std::uint32_t count) {
    char name[] = "/tmp/vertisift-driver-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    std::string bytes(80, '\0');
    bytes.append(reinterpret_cast<const char*>(&count), 4);
    for (const Triangle& face : faces) {
      const float normal[3] = {0.0f, 0.0f, 1.0f};
      bytes.append(reinterpret_cast<const char*>(normal), 12);
      bytes.append(reinterpret_cast<const char*>(face.data()), 36);
      bytes.append(2, '\0');
    }
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  explicit TempStl(const std::vector<Triangle>& faces)
      : TempStl(faces, static_cast<std::uint32_t>(faces.size())) {}
  ~TempStl() { std::remove(path_.c_str()); }
  mesh_io::PathText path() const { return path_; }

 private:
  std::string path_;
};

using Key = std::tuple<float, float, float>;
Key key_of(const base::Point3& p) { return {p.x, p.y, p.z}; }

void check_call(const TempStl& file, const std::vector<Triangle>& faces, std::uint64_t clusters) {
  ReduceOutcome outcome = reduce_stl_points(file.path(), clusters);
  ASSERT_TRUE(outcome.ok());
  const ReducedPoints& points = outcome.value();
  const std::size_t expected = faces.empty() ? 0 : clusters;
  ASSERT_EQ(points.positions.size(), expected);
  ASSERT_EQ(points.normals.size(), expected);
  std::map<Key, int> vertices;
  for (const Triangle& face : faces) {
    for (const base::Point3& corner : face) vertices[key_of(corner)] = 1;
  }
  std::map<Key, Key> normal_of;
  for (std::size_t i = 0; i < expected; ++i) {
    ASSERT_TRUE(vertices.count(key_of(points.positions[i]))) << i;
    // A vertex keeps its one normal wherever it appears.
    auto [at, inserted] = normal_of.emplace(key_of(points.positions[i]), key_of(points.normals[i]));
    ASSERT_EQ(at->second, key_of(points.normals[i])) << i;
    const base::Point3& n = points.normals[i];
    ASSERT_NEAR(n.x * n.x + n.y * n.y + n.z * n.z, 1.0f, 1e-5f);
  }
}

TEST(DriverStress, ManyCallsOnSmallAndLargeMeshes) {
  const auto large = torus(60);  // 7200 faces, 3600 vertices
  const auto small = torus(3);
  const std::vector<Triangle> one = {large[0]};
  const std::vector<Triangle> two = {large[0], large[1]};
  const TempStl large_file(large), small_file(small), one_file(one), two_file(two);
  for (int round = 0; round < 6; ++round) {
    for (std::uint64_t clusters : {0u, 1u, 2u, 50u, 1000u, 5000u})
      check_call(large_file, large, clusters);
  }
  for (int round = 0; round < 100; ++round) {
    for (std::uint64_t clusters : {0u, 1u, 2u, 9u, 30u}) {
      check_call(small_file, small, clusters);
      check_call(one_file, one, clusters);
      check_call(two_file, two, clusters);
    }
  }
}

TEST(DriverStress, EmptyMeshAndReadFailures) {
  const auto faces = torus(4);
  const TempStl empty(std::vector<Triangle>{});
  const TempStl truncated(faces, static_cast<std::uint32_t>(faces.size() + 1));
  for (int round = 0; round < 50; ++round) {
    check_call(empty, {}, 0);
    check_call(empty, {}, 7);
    ReduceOutcome outcome = reduce_stl_points(truncated.path(), 5);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().display(), "failed to fill whole buffer");
  }
}

TEST(DriverStress, CountBeyondTheLimitIsRefusedBeforeAnyWork) {
  const auto faces = torus(4);
  const TempStl file(faces);
  EXPECT_THROW(reduce_stl_points(file.path(), 1001, 1000), std::bad_alloc);
  EXPECT_THROW(reduce_stl_points(file.path(), UINT64_MAX, UINT64_MAX - 1), std::bad_alloc);
  check_call(file, faces, 1000);
  // A count that fits the limit but not in memory fails the same way.
  EXPECT_THROW(reduce_stl_points(file.path(), std::uint64_t{1} << 62), std::bad_alloc);
  check_call(file, faces, 10);
}

// Seeded samples of one file, as bytes: identical whichever thread draws them and whatever
// runs beside them.
std::vector<float> seeded_sample(const TempStl& file, sample::SampleMethod method,
                                 std::uint64_t count) {
  std::vector<base::Point3> positions(count), normals(count);
  sample::SampleOptions options;
  options.method = method;
  options.key = random::derive_sample_key(99);
  sample::SampleOutcome outcome =
      sample::sample_file(file.path(), formats::STL_FORMAT, stl::StlDialect::Strict, count, options,
                          positions, normals);
  EXPECT_TRUE(std::holds_alternative<std::uint64_t>(outcome));
  std::vector<float> flat;
  for (std::size_t i = 0; i < count; ++i) {
    for (const base::Point3& p : {positions[i], normals[i]})
      flat.insert(flat.end(), {p.x, p.y, p.z});
  }
  return flat;
}

TEST(DriverStress, ConcurrentCallersShareThePool) {
  const auto large = torus(60);
  const auto small = torus(5);
  const TempStl large_file(large), small_file(small);
  const auto vertices_expected = seeded_sample(large_file, sample::SampleMethod::Vertices, 3000);
  const auto surface_expected = seeded_sample(large_file, sample::SampleMethod::Surface, 3000);
  std::vector<std::thread> callers;
  for (int caller = 0; caller < 4; ++caller) {
    callers.emplace_back([&, caller] {
      for (int round = 0; round < 8; ++round) {
        switch ((caller + round) % 4) {
          case 0: check_call(large_file, large, 500); break;
          case 1:
            EXPECT_EQ(seeded_sample(large_file, sample::SampleMethod::Vertices, 3000),
                      vertices_expected);
            break;
          case 2:
            EXPECT_EQ(seeded_sample(large_file, sample::SampleMethod::Surface, 3000),
                      surface_expected);
            break;
          default:
            check_call(small_file, small, 20);
            seeded_sample(small_file, sample::SampleMethod::Surface, 1);
        }
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
}

}  // namespace
}  // namespace vertisift::reduce
