// libFuzzer harness over read_off: byte 0 sets the size of the pieces that MemorySource
// hands out (1 to 256 bytes, so that lines, tokens and records are cut across blocks), the
// other bytes are the file. Checked on every input: no sanitizer report, no hang, and when the
// reading succeeds, every triangle index below positions.size(), every normal index below
// normals.size(), and as many normal triangles as triangles when there are any.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "off/off_reader.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "off_fuzzer: %s\n", what);
  std::abort();
}

void check_indices(std::span<const vertisift::mesh_io::Triangle> triangles, std::size_t count) {
  for (const auto& triangle : triangles) {
    for (const auto corner : triangle.corners) {
      if (corner >= count) fail("an index out of range");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t{data[0]} + 1;
  const auto bytes = std::as_bytes(std::span(data + 1, size - 1));
  vertisift::mesh_io::MemorySource source(bytes, piece);
  auto result = vertisift::off::read_off(source);
  if (!result.ok()) {
    if (result.error().display().rfind("OFF", 0) != 0) fail("an error that does not name OFF");
    return 0;
  }
  const auto& mesh = result.value();
  check_indices({mesh.triangles.data(), mesh.triangles.size()}, mesh.positions.size());
  if (!mesh.normal_triangles.empty()) {
    if (mesh.normal_triangles.size() != mesh.triangles.size()) fail("normal triangles miscounted");
    check_indices({mesh.normal_triangles.data(), mesh.normal_triangles.size()},
                  mesh.normals.size());
  } else if (!mesh.normals.empty() && mesh.normals.size() != mesh.positions.size()) {
    fail("normals that are neither per position nor indexed");
  }
  return 0;
}
