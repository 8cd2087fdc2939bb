#include "stl/indexed_mesh.h"

#include <gtest/gtest.h>

#include <vector>

namespace vertisift::stl {
namespace {

// A FaceSource over a fixed list, optionally failing after it.
class ListSource : public FaceSource {
 public:
  explicit ListSource(std::vector<RawFace> faces, bool fail_at_end = false)
      : faces_(std::move(faces)), fail_at_end_(fail_at_end) {}

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

TEST(BuildIndexedMesh, ManyVerticesGrowTheTable) {
  std::vector<RawFace> faces;
  for (int i = 0; i < 30000; ++i) {
    const float x = static_cast<float>(i);
    faces.push_back(face({x, 0, 0}, {x, 1, 0}, {x + 1, 0, 0}));
  }
  ListSource source(faces);
  auto mesh = build_indexed_mesh(source);
  ASSERT_TRUE(mesh.ok());
  EXPECT_EQ(mesh.value().vertices.size(), 30000u * 2 + 1);
  // Face i's third corner is face i + 1's first.
  for (std::size_t i = 0; i + 1 < faces.size(); ++i) {
    EXPECT_EQ(mesh.value().faces[i].vertex_indices[2], mesh.value().faces[i + 1].vertex_indices[0]);
  }
}

}  // namespace
}  // namespace vertisift::stl
