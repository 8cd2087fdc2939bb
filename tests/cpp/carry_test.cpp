// Streams carried to the points of every method by the sampling: a float vertex stream blends
// with the points' own weights, an integer face stream takes its face's item, and a vertex
// sample's points take their vertex's item.
#include "sample/carry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <variant>
#include <vector>

#include "sample/sampling.h"

namespace vertisift::sample {
namespace {

struct Colour {
  float r, g, b;
};

// Two triangles of a square, a colour per vertex and a label per face.
mesh_io::Mesh coloured_square() {
  mesh_io::Mesh mesh;
  for (const base::Point3& p : {base::Point3{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}) {
    mesh.positions.push_back(p);
  }
  mesh.triangles.push_back({{0, 1, 2}});
  mesh.triangles.push_back({{0, 2, 3}});
  base::PodVector<Colour> colours;
  for (const Colour& c : {Colour{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}}) colours.push_back(c);
  mesh.streams.push_back(mesh_io::make_stream("colour", mesh_io::Domain::Vertex,
                                              mesh_io::Element::Float32, std::move(colours)));
  // The same colours per corner, in the corners' own order (no table of their own).
  base::PodVector<Colour> shades;
  for (const mesh_io::Triangle& triangle : mesh.triangles) {
    for (const mesh_io::VertexIndex v : triangle.corners) {
      shades.push_back(mesh.streams[0].items<Colour>()[v]);
    }
  }
  mesh.streams.push_back(mesh_io::make_stream("shade", mesh_io::Domain::Corner,
                                              mesh_io::Element::Float32, std::move(shades)));
  base::PodVector<std::uint32_t> labels;
  labels.push_back(7);
  labels.push_back(9);
  mesh.streams.push_back(mesh_io::make_stream("label", mesh_io::Domain::Face,
                                              mesh_io::Element::UInt32, std::move(labels)));
  return mesh;
}

struct Carried {
  std::vector<base::Point3> positions;
  std::vector<Colour> colours;
  std::vector<std::uint32_t> labels;
  std::vector<std::uint64_t> faces;
};

template <class T>
std::vector<T> items_of(const CarriedStream& carried) {
  if (!carried.values) return {};
  const std::span<const T> items = carried.values->items<T>();
  return {items.begin(), items.end()};
}

// The points of `method` and the streams carried to them by the sampling itself; `faces`
// asks for each point's face and weights as well, which carrying needs either way.
Carried sample_and_carry(const mesh_io::Mesh& mesh, SampleMethod method, std::size_t count,
                         bool faces = true) {
  Carried out;
  out.positions.resize(count);
  std::vector<base::Point3> normals(count);
  std::vector<CornerWeights> weights(count);
  out.faces.resize(count);
  CarriedStream carried[4];
  carried[0].name = "colour";
  carried[1].name = "label";
  carried[2].name = "absent";
  carried[3].name = "shade";
  SampleOptions options;
  options.method = method;
  options.candidates = 4 * count;
  options.key = random::derive_sample_key(3);
  if (faces) {
    options.face_indices = out.faces;
    options.weights = weights;
  }
  options.carried = carried;
  const SampleOutcome outcome = sample_mesh(mesh, count, options, out.positions, normals);
  EXPECT_EQ(std::get<std::uint64_t>(outcome), count);
  out.colours = items_of<Colour>(carried[0]);
  out.labels = items_of<std::uint32_t>(carried[1]);
  EXPECT_EQ(out.colours.size(), count);
  EXPECT_EQ(out.labels.size(), count);
  EXPECT_FALSE(carried[2].values.has_value());  // the mesh has no such stream
  // A corner stream of the vertices' items carries as they do, bit for bit.
  const std::vector<Colour> shades = items_of<Colour>(carried[3]);
  EXPECT_EQ(shades.size(), count);
  EXPECT_EQ(std::memcmp(shades.data(), out.colours.data(), count * sizeof(Colour)), 0);
  return out;
}

TEST(Carry, SurfacePointsBlendVertexItemsAndTakeTheirFacesItems) {
  const mesh_io::Mesh mesh = coloured_square();
  for (const SampleMethod method : {SampleMethod::Surface, SampleMethod::Farthest}) {
    const Carried got = sample_and_carry(mesh, method, 64);
    // The same points and items when the caller asks for no faces and weights.
    const Carried alone = sample_and_carry(mesh, method, 64, false);
    EXPECT_EQ(std::memcmp(alone.positions.data(), got.positions.data(), 64 * sizeof(base::Point3)),
              0);
    EXPECT_EQ(std::memcmp(alone.colours.data(), got.colours.data(), 64 * sizeof(Colour)), 0);
    EXPECT_EQ(alone.labels, got.labels);
    for (std::size_t i = 0; i < got.positions.size(); ++i) {
      const base::Point3& p = got.positions[i];
      // The point's face holds it, and its colour is the linear blend over that face.
      const bool lower = got.faces[i] == 0;
      EXPECT_EQ(lower, p.x >= p.y) << i;
      EXPECT_EQ(got.labels[i], lower ? 7u : 9u) << i;
      // Lower (red, green, blue at (0,0), (1,0), (1,1)): weights 1 - x, x - y, y. Upper
      // (red, blue, white at (0,0), (1,1), (0,1)): 1 - y, x, y - x.
      const Colour expected =
          lower ? Colour{1 - p.x, p.x - p.y, p.y} : Colour{1 - p.x, p.y - p.x, p.y};
      EXPECT_NEAR(got.colours[i].r, expected.r, 1e-5) << i;
      EXPECT_NEAR(got.colours[i].g, expected.g, 1e-5) << i;
      EXPECT_NEAR(got.colours[i].b, expected.b, 1e-5) << i;
    }
  }
}

TEST(Carry, VertexPointsTakeTheirVertexsItems) {
  const mesh_io::Mesh mesh = coloured_square();
  const Carried got = sample_and_carry(mesh, SampleMethod::Vertices, 4);
  const mesh_io::Stream& colours = mesh.streams[0];
  for (std::size_t i = 0; i < 4; ++i) {
    std::size_t vertex = 0;
    while (std::memcmp(&mesh.positions[vertex], &got.positions[i], sizeof(base::Point3)) != 0) {
      ++vertex;
    }
    const Colour& own = colours.items<Colour>()[vertex];
    EXPECT_EQ(std::memcmp(&got.colours[i], &own, sizeof(Colour)), 0) << i;
    // Vertices 0, 1, 2 are first used by face 0, vertex 3 by face 1.
    EXPECT_EQ(got.labels[i], vertex == 3 ? 9u : 7u) << i;
  }
}

}  // namespace
}  // namespace vertisift::sample
