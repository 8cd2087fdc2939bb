#include "mesh_io/indexed_mesh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace vertisift::mesh_io {
namespace {

// A FaceSource over a fixed list, optionally failing after it, announcing `hint` faces.
class ListSource : public FaceSource {
 public:
  explicit ListSource(std::vector<RawFace> faces, bool fail_at_end = false, std::uint64_t hint = 0)
      : faces_(std::move(faces)), fail_at_end_(fail_at_end), hint_(hint) {}

  std::uint64_t faces_hint() const override { return hint_; }

  FaceStatus next(RawFace& face, ReadError& error) override {
    EXPECT_FALSE(finished_) << "asked again after the end or an error";
    if (next_ < faces_.size()) {
      face = faces_[next_++];
      return FaceStatus::Face;
    }
    finished_ = true;
    if (fail_at_end_) {
      error = ReadError::unexpected_eof(FILL_BUFFER_MESSAGE);
      return FaceStatus::Error;
    }
    return FaceStatus::End;
  }

 private:
  std::vector<RawFace> faces_;
  bool fail_at_end_;
  std::uint64_t hint_;
  std::size_t next_ = 0;
  bool finished_ = false;
};

RawFace face(base::Point3 a, base::Point3 b, base::Point3 c, base::Point3 normal = {0, 0, 1}) {
  return {normal, {a, b, c}};
}

TEST(BuildIndexedMesh, SharedEdgeIndicesInFirstOccurrenceOrder) {
  base::Point3 A{0, 0, 0}, B{1, 0, 0}, C{0, 1, 0}, D{1, 1, 0};
  ListSource source({face(A, B, C), face(C, B, D, {0, 0, 2})});
  auto mesh = build_indexed_mesh(source);
  ASSERT_TRUE(mesh.ok());
  ASSERT_EQ(mesh.value().vertices.size(), 4u);
  ASSERT_EQ(mesh.value().faces.size(), 2u);
  const auto& f0 = mesh.value().faces[0].vertex_indices;
  const auto& f1 = mesh.value().faces[1].vertex_indices;
  EXPECT_EQ((std::vector<VertexIndex>{f0[0], f0[1], f0[2], f1[0], f1[1], f1[2]}),
            (std::vector<VertexIndex>{0, 1, 2, 2, 1, 3}));
  EXPECT_EQ(mesh.value().faces[1].normal.z, 2.0f);  // normals pass unchanged
}

TEST(BuildIndexedMesh, DegenerateFaceAndSignedZeros) {
  base::Point3 P{0.5f, 0.5f, 0.5f};
  ListSource source({face(P, P, P, {0, 0, 0}), face({0, 0, 0}, {-0.0f, 0, 0}, P)});
  auto mesh = build_indexed_mesh(source);
  ASSERT_TRUE(mesh.ok());
  EXPECT_EQ(mesh.value().vertices.size(), 3u);  // P, +0 and -0 are three vertices
  const auto& f0 = mesh.value().faces[0].vertex_indices;
  EXPECT_EQ(f0[0], 0u);
  EXPECT_EQ(f0[1], 0u);
  EXPECT_EQ(f0[2], 0u);
  EXPECT_EQ(mesh.value().faces[1].vertex_indices[2], 0u);
}

TEST(BuildIndexedMesh, ErrorDropsEverything) {
  ListSource source({face({0, 0, 0}, {1, 0, 0}, {0, 1, 0})}, /*fail_at_end=*/true);
  auto mesh = build_indexed_mesh(source);
  ASSERT_FALSE(mesh.ok());
  EXPECT_EQ(mesh.error().display(), "failed to fill whole buffer");
}

bool same_position(const base::Point3& a, const base::Point3& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Positions that differ in one coordinate only (x, y or z), twice over: far more than the
// first table and the recent-position cache hold, so both see collisions of such positions.
// Every corner must name a vertex with its own bits, each distinct position once, in order of
// first occurrence, whether the tables grow from nothing (no hint), are sized for the faces
// announced (three times the vertices that sizing expects), or for a fraction of them.
class ManyVertices : public testing::TestWithParam<std::uint64_t> {};

TEST_P(ManyVertices, GrowTheTable) {
  std::vector<RawFace> faces;
  for (int round = 0; round < 2; ++round) {
    for (int i = 1; i <= 30000; ++i) {
      const float v = static_cast<float>(i);
      faces.push_back(face({v, 0, 0}, {0, v, 0}, {0, 0, v}));
    }
  }
  ListSource source(faces, false, GetParam());
  auto mesh = build_indexed_mesh(source);
  ASSERT_TRUE(mesh.ok());
  const IndexedMesh& built = mesh.value();
  EXPECT_EQ(built.vertices.size(), 90000u);
  ASSERT_EQ(built.faces.size(), faces.size());
  for (std::size_t i = 0; i < faces.size(); ++i) {
    for (std::size_t corner = 0; corner < 3; ++corner) {
      const VertexIndex index = built.faces[i].vertex_indices[corner];
      ASSERT_LT(index, built.vertices.size());
      ASSERT_TRUE(same_position(built.vertices[index], faces[i].vertices[corner])) << i;
      if (i < 30000) {
        ASSERT_EQ(index, 3 * i + corner);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Hints, ManyVertices, testing::Values(0, 60000, 7000));

}  // namespace
}  // namespace vertisift::mesh_io
