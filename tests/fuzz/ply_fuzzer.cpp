// libFuzzer harness of the PLY reader: byte 0 sets the size of the pieces the rest of the
// input is handed out in (1 to 256 bytes), so that lines, tokens and binary records are cut
// across blocks in every way. Checked on every input: no sanitizer report, no hang, and when
// the reading succeeds, a mesh whose triangles index its positions and whose normals, if any,
// are one per position.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "ply/ply_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t{data[0]} + 1;
  const auto bytes = std::as_bytes(std::span(data + 1, size - 1));
  vertisift::mesh_io::MemorySource source(bytes, piece);
  auto mesh = vertisift::ply::read_ply(source);
  if (!mesh.ok()) {
    if (mesh.error().display().empty()) std::abort();
    return 0;
  }
  const vertisift::mesh_io::StoredMesh& result = mesh.value();
  for (const auto& triangle : result.triangles) {
    for (std::uint32_t corner : triangle.corners) {
      if (corner >= result.positions.size()) std::abort();
      if (!result.normals.empty() && corner >= result.normals.size()) std::abort();
    }
  }
  if (!result.normals.empty() && result.normals.size() != result.positions.size()) std::abort();
  if (!result.normal_triangles.empty()) std::abort();
  return 0;
}
