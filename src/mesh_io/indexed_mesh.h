// IndexedMesh: every distinct vertex position (identical bit for bit) stored once, in order of
// first occurrence, and every face referring to its corners by index. Built by draining a
// FaceSource; the caller owns the result.
#pragma once

#include <cstdint>

#include "base/pod_vector.h"
#include "base/point3.h"
#include "mesh_io/face_source.h"

namespace vertisift::mesh_io {

// Indices are held in 32 bits: a mesh with 2^32 distinct positions would need hundreds of
// gigabytes of STL, and halving the index width halves the face table.
using VertexIndex = std::uint32_t;

struct Face {
  VertexIndex vertex_indices[3];
  base::Point3 normal;  // as the reader delivered it: neither recomputed nor normalised
};

struct IndexedMesh {
  base::PodVector<base::Point3> vertices;
  base::PodVector<Face> faces;
};

// Calls `source.next` until the end of the faces or the first error. An error is returned
// unchanged and nothing built before it survives.
ReadResult<IndexedMesh> build_indexed_mesh(FaceSource& source);

}  // namespace vertisift::mesh_io
