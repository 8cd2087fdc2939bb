// Mesh: what every reader of the tools delivers, whatever the format. Positions and the
// triangles that index them, plus named attribute streams (normals, colours, texture
// coordinates and material ids), each with its domain and element type.
//
// Design: one type for every format, so the sampler never learns which format it read. The
// positions stay as the file stores them (an indexed format's none merged, none dropped,
// unused ones included; STL's merged bit for bit), polygons are fanned into triangles in file
// order. A stream's items are raw bytes of a declared element type and width, so a new
// attribute is a new stream, not a new field: the sampler carries every stream to its points
// by the points' face and weights. A stream of the corner domain names its items through a
// triangle table of its own when the format indexes them apart from the positions (OBJ's
// normals); a face stream has one item per triangle (STL's stored face normals).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/pod_vector.h"
#include "base/point3.h"
#include "mesh_io/indexed_mesh.h"

namespace vertisift::mesh_io {

struct Triangle {
  VertexIndex corners[3];
};

// What a stream's items belong to.
enum class Domain : std::uint8_t {
  Vertex,  // one item per position; corner k of triangle f takes the item of its position
  Corner,  // one item per corner of each triangle, or per entry of the stream's own table
  Face,    // one item per triangle
};

// The type of each component of a stream's items.
enum class Element : std::uint8_t { Float32, UInt32 };

// The name of the normals stream: unit or not, as the file stores them.
inline constexpr std::string_view NORMAL_STREAM = "normal";
// The name of the colour stream: Float32 RGBA items (Rgba), each component in [0, 1] (alpha
// 1 where the file stores none), of the vertex, corner or face domain.
inline constexpr std::string_view COLOR_STREAM = "color";

// The name of the texture coordinates stream: Float32 (u, v) items as the file stores them,
// of the corner domain (through a triangle table of their own, as OBJ's vt, or one item per
// corner, as PLY's texcoord lists) or of the vertex domain (PLY's s t and u v).
inline constexpr std::string_view UV_STREAM = "uv";
// The name of the material stream: UInt32 items of the face domain, one per triangle, each an
// index into Mesh::materials.
inline constexpr std::string_view MATERIAL_STREAM = "material";

struct Rgba {
  float r = 1, g = 1, b = 1, a = 1;
};

// How a texture's coordinates outside [0, 1] find a texel, along one axis.
enum class Wrap : std::uint8_t { Repeat, ClampToEdge, MirroredRepeat };

// A surface's material, as a material library or a glTF file defines it: a point's colour is
// `diffuse` times `texture` at the point's texture coordinates (u, v), which are first scaled
// by `texture_scale`, turned by `texture_rotation` and moved by `texture_offset`:
//   u' =  cos r s_u u + sin r s_v v + o_u,   v' = -sin r s_u u + cos r s_v v + o_v
// and then looked up with v' counted from the image's bottom row up, or from its top row down
// when `texture_v_down` (glTF's convention).
struct Material {
  std::string name;
  Rgba diffuse;
  std::string texture;  // the file name as the library writes it; empty when none
  float texture_offset[3] = {0, 0, 0};
  float texture_scale[3] = {1, 1, 1};
  float texture_rotation = 0;  // radians
  bool texture_v_down = false;
  Wrap wrap_u = Wrap::Repeat;
  Wrap wrap_v = Wrap::Repeat;
  // Which texture coordinates the texture takes: the stream uv_stream_name(texture_set).
  std::uint8_t texture_set = 0;
  // When the model holds the texture's bytes itself (a glTF image in a buffer or a data URI):
  // its index in Mesh::images, and `texture` only names it; -1 when the texture is a file.
  std::int32_t image = -1;
};

// A texture's bytes held by the model file itself.
struct Image {
  base::PodVector<std::byte> bytes;
};

// The name of texture coordinates set k: "uv" for the first (UV_STREAM), "uv1", "uv2", ...
std::string uv_stream_name(std::size_t set);

struct Stream {
  std::string name;
  Domain domain = Domain::Vertex;
  Element element = Element::Float32;
  std::uint8_t width = 3;  // components per item
  base::PodVector<std::byte> bytes;
  // Corner domain only: corner k of triangle f takes item corners[f].corners[k]; when empty,
  // item 3 f + k. Every index is below size().
  base::PodVector<Triangle> corners;

  std::size_t item_bytes() const { return std::size_t{width} * 4; }
  std::size_t size() const { return bytes.size() / item_bytes(); }

  // The items as T, which has the item's size.
  template <class T>
  std::span<const T> items() const {
    return {reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T)};
  }
};

// A stream of `items`, taken over without a copy.
template <class T>
Stream make_stream(std::string name, Domain domain, Element element, base::PodVector<T>&& items,
                   base::PodVector<Triangle>&& corners = {}) {
  static_assert(sizeof(T) % 4 == 0 && sizeof(T) <= 16, "an item is 1 to 4 components");
  Stream stream;
  stream.name = std::move(name);
  stream.domain = domain;
  stream.element = element;
  stream.width = static_cast<std::uint8_t>(sizeof(T) / 4);
  stream.bytes = base::PodVector<std::byte>::take_over(std::move(items));
  stream.corners = std::move(corners);
  return stream;
}

struct Mesh {
  base::PodVector<base::Point3> positions;
  // Corner k of triangle f is positions[triangles[f].corners[k]], every index in range; in a
  // mesh of `loose_corners` the table is empty and it is positions[3 f + k].
  base::PodVector<Triangle> triangles;
  bool loose_corners = false;
  // Set by a reader that numbers the positions as the faces first use them, every one used
  // (STL's merged vertices): the vertex sample takes them as they are, unchecked. False
  // promises nothing.
  bool in_first_use_order = false;
  std::vector<Stream> streams;
  // What the material stream's items index; item 0, when it exists, is the default material
  // (white, no texture, no name).
  std::vector<Material> materials;
  // The textures' bytes that the model file holds (Material::image).
  std::vector<Image> images;
  // Faces of fewer than three corners, which have no surface and were left out.
  std::uint64_t skipped_faces = 0;
  // What the reader read past without keeping it, by what it is ("colour-map index"), each
  // named once, with how often it met it.
  struct Ignored {
    std::string what;
    std::uint64_t count = 0;
  };
  std::vector<Ignored> ignored;

  std::size_t face_count() const { return loose_corners ? positions.size() / 3 : triangles.size(); }
  std::size_t corner(std::size_t f, std::size_t k) const {
    return loose_corners ? 3 * f + k : triangles[f].corners[k];
  }
  // The stream called `name`, or null.
  const Stream* find(std::string_view name) const;
};

// Adds `count` to what `mesh` ignored as `what` (nothing when `count` is 0). Readers count
// locally and call it once per kind.
void count_ignored(Mesh& mesh, std::string_view what, std::uint64_t count);

// Adds the mesh's colour stream from the colours its file stores: `vertex_colors`, one per
// position, and `face_colors`, one per triangle, either of them empty when the file has
// none. Of both, the vertex colours, unless they are all one colour and the face colours are
// not (a writer's default beside the faces' own colours); the items of the other count as
// ignored. Every component is clamped to [0, 1], NaN as 0, so that a blend stays a colour.
void add_colors(Mesh& mesh, base::PodVector<Rgba>&& vertex_colors,
                base::PodVector<Rgba>&& face_colors);

// Adds `normals` as the mesh's normals stream, unless there are none.
void add_normals(Mesh& mesh, Domain domain, base::PodVector<base::Point3>&& normals,
                 base::PodVector<Triangle>&& corners = {});

// Where corner k of triangle f finds its item in `stream`, a stream of `mesh`.
inline std::size_t item_of(const Mesh& mesh, const Stream& stream, std::size_t f, std::size_t k) {
  switch (stream.domain) {
    case Domain::Vertex: return mesh.corner(f, k);
    case Domain::Corner: return stream.corners.empty() ? 3 * f + k : stream.corners[f].corners[k];
    case Domain::Face: break;
  }
  return f;
}

// Appends the polygon `corners` (in file order) as the fan (c0, c1, c2), (c0, c2, c3), ...;
// a polygon of fewer than three corners adds nothing and counts as skipped. The caller has
// checked every index. When `item_corners` is not empty it has as many items as `corners`
// and its fan goes into `item_fans` alike (a corner stream's own table).
// Inline: the text readers call it once a face.
inline void add_polygon(Mesh& mesh, std::span<const VertexIndex> corners,
                        std::span<const VertexIndex> item_corners = {},
                        base::PodVector<Triangle>* item_fans = nullptr) {
  if (corners.size() < 3) {
    ++mesh.skipped_faces;
    return;
  }
  for (std::size_t k = 1; k + 1 < corners.size(); ++k) {
    mesh.triangles.push_back({{corners[0], corners[k], corners[k + 1]}});
    if (!item_corners.empty()) {
      item_fans->push_back({{item_corners[0], item_corners[k], item_corners[k + 1]}});
    }
  }
}

}  // namespace vertisift::mesh_io
