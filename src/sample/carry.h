// A mesh's attribute streams carried to sampled points: what makes a new attribute (a colour,
// a texture coordinate, a material id) reach the clouds with no sampling code of its own.
//
// Every sample names, for each point, a triangle and the weights of its three corners
// (SurfaceOutput's faces and weights; a vertex sample names a corner of the vertex with the
// weight 1). A stream's value at a point follows from those alone: a float stream blends its
// corners' items with the weights (in double precision, each component rounded once), an
// integer stream takes the item of the corner that weighs most (the first of equals), and a
// face stream takes its face's item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "mesh_io/mesh.h"
#include "sample/surface_sampling.h"

namespace vertisift::sample {

// Writes the value of `stream` (a stream of `mesh`) at each point into `out`, which holds
// faces.size() items of the stream's item size; `faces` and `weights` have one item per point,
// every face below the mesh's face count.
void carry_stream(const mesh_io::Mesh& mesh, const mesh_io::Stream& stream,
                  std::span<const std::uint64_t> faces, std::span<const CornerWeights> weights,
                  std::span<std::byte> out);

}  // namespace vertisift::sample
