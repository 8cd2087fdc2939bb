// The visible draw's refusal: points that no view direction sees are drawn until the limit,
// then reported, never handed out.
#include "sample/visible_sampling.h"

#include <gtest/gtest.h>

#include <vector>

namespace vertisift::sample {
namespace {

// A closed cube [-h, h]^3 of loose corners, wound outward.
void add_cube(mesh_io::Mesh& mesh, float h) {
  const base::Point3 corner[8] = {{-h, -h, -h}, {h, -h, -h}, {-h, h, -h}, {h, h, -h},
                                  {-h, -h, h},  {h, -h, h},  {-h, h, h},  {h, h, h}};
  const int faces[12][3] = {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                            {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}};
  for (const auto& face : faces) {
    for (const int k : face) mesh.positions.push_back(corner[k]);
  }
}

TEST(VisibleDraw, PointsNoDirectionSeesAreReportedNotKept) {
  mesh_io::Mesh inner, both;
  inner.loose_corners = both.loose_corners = true;
  add_cube(inner, 0.5f);
  add_cube(both, 0.5f);
  add_cube(both, 2.0f);
  // The inner cube's points (its faces first in both meshes), seen with the outer one around.
  const Viewer viewer(both, 1, false);
  AreaList cumulative;
  const double total = cumulative_areas(inner, cumulative);
  std::vector<base::Point3> positions(8), normals(8);
  std::vector<std::uint64_t> faces(8);
  const VisibleDraw draw = draw_visible_points(inner, cumulative, total, NormalSource::Geometry,
                                               random::derive_sample_key(1),
                                               {positions, normals, faces, {}}, {}, {}, viewer);
  EXPECT_FALSE(draw.complete);
  EXPECT_EQ(draw.seen, 0u);
  EXPECT_GE(draw.drawn, VISIBLE_DRAW_FLOOR);
  EXPECT_LT(draw.drawn, 2 * VISIBLE_DRAW_FLOOR);
  // Alone, the same cube shows half its faces or so along one direction.
  const Viewer alone(inner, 1, false);
  const VisibleDraw seen = draw_visible_points(inner, cumulative, total, NormalSource::Geometry,
                                               random::derive_sample_key(1),
                                               {positions, normals, faces, {}}, {}, {}, alone);
  EXPECT_TRUE(seen.complete);
  EXPECT_GT(seen.seen, 0u);
}

}  // namespace
}  // namespace vertisift::sample
