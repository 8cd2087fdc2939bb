#include "mesh_io/indexed_mesh.h"

#include "base/keyed_hash.h"
#include "base/position_table.h"

namespace vertisift::mesh_io {
namespace {

// 4096 slots (64 KiB) hold a small mesh without growing; larger ones double from there.
constexpr std::size_t FIRST_TABLE_CAPACITY = 4096;
// 16384 recent positions (256 KiB), within a second-level cache.
constexpr std::size_t RECENT_POSITIONS = std::size_t{1} << 14;
// Faces whose corners are hashed and looked up among the recent positions, with the table
// slots of the misses prefetched, before any table lookup: enough to hide memory latency,
// small enough (6 KiB of faces, 3 KiB of hashes) to stay in the first-level cache.
constexpr std::size_t LOOKUP_BATCH = 128;

// Sizes the tables once for the `faces` a source announces: the faces exactly, and the
// vertices of a closed mesh, which has about half as many vertices as triangles (more grow by
// doubling, fewer leave a tail that shrink_to_fit gives back). Grown by doubling instead, each
// table passes through blocks of every size on its way, mapped afresh and faulted in on every
// reading; sized at once, a reading gets the blocks the last one gave back.
void size_for(IndexedMesh& mesh, base::PositionTable& table, std::uint64_t faces) {
  if (faces == 0) return;
  const auto face_count = static_cast<std::size_t>(faces);
  mesh.faces.reserve(face_count);
  mesh.vertices.reserve(face_count / 2);
  table.reserve_for(0, face_count / 2);
}

}  // namespace

ReadResult<IndexedMesh> build_indexed_mesh(FaceSource& source) {
  IndexedMesh mesh;
  base::PositionTable table(base::next_hash_keys(), FIRST_TABLE_CAPACITY, RECENT_POSITIONS);
  size_for(mesh, table, source.faces_hint());
  RawFace batch[LOOKUP_BATCH];
  std::uint64_t hashes[LOOKUP_BATCH * 3];
  std::uint32_t found[LOOKUP_BATCH * 3];  // index plus one from the recent positions, or 0
  auto failure = for_each_batch(source, batch, [&](std::span<const RawFace> faces) {
    const std::size_t count = faces.size();
    table.reserve_for(mesh.vertices.size(), count * 3);
    // First pass: hash every corner, answer what the recent positions can, and prefetch the
    // table slots of the rest so that their misses overlap.
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t corner = 0; corner < 3; ++corner) {
        const std::size_t at = i * 3 + corner;
        hashes[at] = table.hash(faces[i].vertices[corner]);
        found[at] = table.find_recent(faces[i].vertices[corner], hashes[at]);
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      Face face;
      for (std::size_t corner = 0; corner < 3; ++corner) {
        const std::size_t at = i * 3 + corner;
        if (found[at] != 0) {
          face.vertex_indices[corner] = found[at] - 1;
        } else {
          const base::Point3& position = faces[i].vertices[corner];
          const VertexIndex index =
              table.find_or_insert(position, hashes[at], mesh.vertices.size());
          if (index == mesh.vertices.size()) mesh.vertices.push_back(position);
          face.vertex_indices[corner] = index;
        }
      }
      face.normal = faces[i].normal;
      mesh.faces.push_back(face);
    }
  });
  if (failure) return std::move(*failure);
  mesh.vertices.shrink_to_fit();
  mesh.faces.shrink_to_fit();
  return mesh;
}

}  // namespace vertisift::mesh_io
