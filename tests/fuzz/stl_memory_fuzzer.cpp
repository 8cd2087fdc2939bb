// libFuzzer harness over the STL readers alone: the bytes are read in memory
// (read_stl_memory) on the calling thread, with no file, no thread and no worker pool, so a
// target runs thousands of inputs a second; the size of the input picks how many bytes each
// read hands out. Built four ways:
//   FUZZ_MODE_strict  the bytes as they are, strict dialect; the probe picks the reader.
//   FUZZ_MODE_lenient the bytes as they are, lenient dialect.
//   FUZZ_MODE_ascii   "solid " followed by the bytes, so every input reaches the ASCII reader.
//   FUZZ_MODE_binary  byte 0 chooses the header's face count (byte 0 & 3: records present
//                     minus one, exact, plus one, plus 1000); the other bytes are the records
//                     behind an 80-byte header of zeros.
// Checked on every input: no sanitizer report, no hang; a failure is an error with text; a
// mesh has faces that index its vertices, vertices that are bitwise distinct and all used,
// and, in binary mode, exactly the faces the header announces when the records are all there
// (and no mesh when they are not). The end-to-end harness (stl_fuzzer.cpp) checks the path,
// block and driver readings against these readers.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "stl/binary_reader.h"
#include "stl/stl_reader.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "stl_memory_fuzzer: %s\n", what);
  std::abort();
}

struct BitsHash {
  std::size_t operator()(const std::array<std::uint32_t, 3>& bits) const {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const auto word : bits) hash = (hash ^ word) * 0x100000001b3u;
    return static_cast<std::size_t>(hash);
  }
};

#if defined(FUZZ_MODE_lenient)
constexpr auto DIALECT = vertisift::stl::StlDialect::Lenient;
#else
constexpr auto DIALECT = vertisift::stl::StlDialect::Strict;
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::byte> bytes = std::as_bytes(std::span(data, size));
  [[maybe_unused]] std::string file;
  [[maybe_unused]] bool complete = false;  // binary mode: every announced record is there
  [[maybe_unused]] std::uint64_t announced = 0;
#if defined(FUZZ_MODE_ascii)
  file = "solid ";
  file.append(reinterpret_cast<const char*>(data), size);
  bytes = std::as_bytes(std::span(file.data(), file.size()));
#elif defined(FUZZ_MODE_binary)
  const std::uint8_t selector = size > 0 ? data[0] : 0;
  const std::size_t body = size > 0 ? size - 1 : 0;
  const std::uint64_t records = body / vertisift::stl::BINARY_RECORD_SIZE;
  announced = records;
  switch (selector & 3) {
    case 0: announced = records == 0 ? 0 : records - 1; break;
    case 1: break;
    case 2: announced = records + 1; break;
    case 3: announced = records + 1000; break;
  }
  complete = announced <= records;
  file.assign(vertisift::stl::BINARY_HEADER_SIZE, '\0');
  for (int shift = 0; shift < 32; shift += 8) file.push_back(static_cast<char>(announced >> shift));
  if (body > 0) file.append(reinterpret_cast<const char*>(data + 1), body);
  bytes = std::as_bytes(std::span(file.data(), file.size()));
#elif !defined(FUZZ_MODE_strict) && !defined(FUZZ_MODE_lenient)
#error "define one of FUZZ_MODE_strict, FUZZ_MODE_lenient, FUZZ_MODE_ascii, FUZZ_MODE_binary"
#endif

  // A third of the inputs are read whole, the rest in pieces of 1 to 257 bytes, so that the
  // readers' buffers are refilled across lines, tokens and records even in small inputs.
  const std::size_t piece = size % 3 == 0 ? SIZE_MAX : 1 + size % 257;
  auto read = vertisift::stl::read_stl_memory(bytes, DIALECT, piece);
  if (!read.ok()) {
#if defined(FUZZ_MODE_binary)
    if (complete) fail("a binary file with every record failed to read");
#endif
    if (read.error().display().empty()) fail("a read error without text");
    return 0;
  }
  const vertisift::mesh_io::IndexedMesh& mesh = read.value();
#if defined(FUZZ_MODE_binary)
  if (!complete) fail("a binary file short of records was read");
  if (mesh.faces.size() != announced) fail("a face count other than the header's");
#endif
  std::unordered_set<std::array<std::uint32_t, 3>, BitsHash> seen;
  for (const auto& vertex : mesh.vertices) {
    std::array<std::uint32_t, 3> bits;
    std::memcpy(bits.data(), &vertex, sizeof bits);
    if (!seen.insert(bits).second) fail("a vertex stored twice");
  }
  std::vector<bool> used(mesh.vertices.size());
  for (const auto& face : mesh.faces) {
    for (const auto index : face.vertex_indices) {
      if (index >= mesh.vertices.size()) fail("a face index out of range");
      used[index] = true;
    }
  }
  for (const bool is_used : used) {
    if (!is_used) fail("a vertex that no face uses");
  }
  return 0;
}
