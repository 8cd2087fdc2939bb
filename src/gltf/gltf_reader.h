// The glTF 2.0 reader: a .gltf (JSON) or .glb (binary container) file into one Mesh, the
// scene as a viewer shows it, in scene coordinates.
//
// The scene: `scene`, else the first of `scenes`, else every node that is no node's child
// (else every mesh once). Each node's transform (`matrix`, or translation × rotation ×
// scale) is composed with its parents' in double precision; a node whose transform mirrors
// (negative determinant) has its triangles' winding turned so that they still face out. A
// mesh is read once for every node that uses it. A skinned mesh is read in its bind pose: its
// positions as stored, its node's transform ignored, as skinning places such a mesh by its
// joints alone; morph targets are applied at the node's `weights`, else the mesh's, else 0.
//
// Primitives: TRIANGLES, TRIANGLE_STRIP and TRIANGLE_FAN, indexed or not; POINTS and the line
// modes have no surface and are counted as "primitive of points or lines". Accessors of every
// component type (normalized or not), with byte strides and sparse values, KHR_mesh_quantization's
// integer attributes, EXT_meshopt_compression's buffer views (decoded in meshopt_decoder.h),
// and KHR_draco_mesh_compression through the installed Draco decoder (draco.h).
//
// The streams: `normal` (NORMAL, turned by each node's normal matrix; zero where a primitive
// has none), `color` (COLOR_0, RGB or RGBA, float or normalised integers; white where a
// primitive has none), `uv`, `uv1`, ... (TEXCOORD_0, TEXCOORD_1, ..., as stored, v down;
// zero where a primitive has none) of the vertex domain, and `material` of the face domain:
// Mesh::materials holds the default material and then the file's, in order, each with
// baseColorFactor (or KHR_materials_pbrSpecularGlossiness's diffuseFactor where the material
// has no metallic-roughness) and the base colour texture (its texCoord set,
// KHR_texture_transform, its sampler's wrap modes; the image's `source`, else the
// EXT_texture_webp or KHR_texture_basisu one). An image in a buffer view or a data URI is
// copied into Mesh::images, and only those of base colour textures; other images are never
// touched. Alpha, metallic-roughness, normal, occlusion and emissive maps are ignored.
//
// Files: a .glb's JSON and BIN chunks are checked against its header's lengths; a buffer's
// `uri` is a data URI in base64 or a relative path (percent-decoded) opened through
// `side_files`, which refuses every other URL, an absolute path and one outside the model's
// folder. Every offset, length, stride and count is checked against the bytes that hold it
// before anything is sized from it; an index past its vertices, a node reached twice, or an
// extension the file requires that changes the geometry and is not read fails the model
// with one line that starts "glTF: ".
#pragma once

#include <span>

#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"
#include "mesh_io/side_files.h"

namespace vertisift::gltf {

// The model whose file holds `file` (a GLB when it starts with the magic "glTF", else JSON);
// `side_files` opens the files its URIs name (null: every URI but a data URI is refused).
mesh_io::ReadResult<mesh_io::Mesh> read_gltf(std::span<const std::byte> file,
                                             mesh_io::SideFiles* side_files);

// What a file may make the reader allocate beyond the bytes it holds, so that a small file
// cannot ask for gigabytes: the scene's vertices and triangles, each at most
// SCENE_ALLOWANCE + SCENE_PER_BYTE × the bytes held (the file, its buffers, the decoded
// compressed data), which leaves room for meshes instanced by many nodes; and the values of
// the accessors without a buffer view (zeros but their sparse values), at most
// MAX_ZERO_VALUES in the whole file.
inline constexpr std::uint64_t SCENE_ALLOWANCE = std::uint64_t{1} << 20;
inline constexpr std::uint64_t SCENE_PER_BYTE = 64;
inline constexpr std::uint64_t MAX_ZERO_VALUES = std::uint64_t{1} << 24;

}  // namespace vertisift::gltf
