// The colours of sampled points: what a mesh's colour stream and materials give at each point,
// and the points that a texture colours further.
//
// A point's colour is its colour stream's value (white where the mesh has none, or where the
// mesh has a texture and its colour stream is all one colour: a writer's default) times its
// material's diffuse colour (the default material, white, where the mesh has no material
// stream), RGB, each factor's components clamped to [0, 1] (NaN as 0). Where the point's
// material has a texture and the mesh has texture coordinates, the colour is also to be
// multiplied by the texture at the point's coordinates (of the material's texture set):
// decoding and filtering an image is not this layer's, so TexturedPoints lists, per texture
// and wrap modes, the points it colours and the coordinates to look up there, with the
// material's transform applied (mesh_io::Material) and v counted from the image's bottom.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/pod_vector.h"
#include "base/point3.h"
#include "mesh_io/mesh.h"
#include "mesh_io/side_files.h"
#include "sample/surface_sampling.h"

namespace vertisift::sample {

// The points on the materials that name one texture (a file, or an image that the model
// holds) with the same wrap modes.
struct TexturedPoints {
  std::string name;  // the file's name as the materials write it
  mesh_io::Wrap wrap_u = mesh_io::Wrap::Repeat;
  mesh_io::Wrap wrap_v = mesh_io::Wrap::Repeat;
  bool held = false;  // the bytes are the model's own image (Mesh::images), not a file
  std::vector<std::string> materials;     // the names of those materials, in the mesh's order
  base::PodVector<std::uint64_t> points;  // each point's index, ascending
  base::PodVector<float> uvs;             // (u, v) per point, NaN and infinities as 0
  // The file's bytes (read_textures), or why they could not be read.
  base::PodVector<std::byte> bytes;
  std::string unreadable;
};

struct PointColors {
  std::span<base::Point3> rgb;  // one item per point, written by color_points
  // Whether the mesh stores colour at the points: it has a colour stream, or some point lies
  // on a material other than the default.
  bool stored = false;
  std::vector<TexturedPoints> textures;
};

// Writes each point's colour into `into.rgb` and lists the textured points, for points that
// lie on `faces` (one per point) with `weights`, as the sampler names them.
void color_points(const mesh_io::Mesh& mesh, std::span<const std::uint64_t> faces,
                  std::span<const CornerWeights> weights, PointColors& into);

// The most bytes a texture file may hold: larger ones are not read.
inline constexpr std::uint64_t MAX_TEXTURE_BYTES = std::uint64_t{1} << 30;

// Reads each texture's file through `side_files`: by its name as written, else with its
// backslashes as slashes (the paths of Windows writers), else by its last component alone (a
// writer's absolute path, of either system, to a file that sits beside the model; a relative
// path is not tried elsewhere). A URL is only ever refused.
// A file that none of these opens, or that holds more than MAX_TEXTURE_BYTES, keeps no bytes
// and says why in `unreadable` (the first attempt's error). A texture `held` already has its
// bytes and is left as it is.
void read_textures(mesh_io::SideFiles& side_files, std::vector<TexturedPoints>& textures);

}  // namespace vertisift::sample
