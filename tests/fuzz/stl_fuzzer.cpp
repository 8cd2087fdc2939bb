// libFuzzer harness: the fuzzer's bytes become an STL file that goes through the real front
// end (read_stl_file on a path) and then through the whole driver. Built four ways:
//   FUZZ_MODE_raw     the bytes as they are; the probe picks the reader.
//   FUZZ_MODE_lenient the bytes as they are, read in the lenient dialect; the extension's
//                     driver reads strictly, so it is not run.
//   FUZZ_MODE_ascii   "solid " followed by the bytes, so every input reaches the ASCII reader.
//   FUZZ_MODE_binary  byte 0 chooses the header's face count (byte 0 & 3: records present
//                     minus one, exact, plus one, plus 1000) and `clusters` (byte 0 >> 2); the
//                     other bytes are the records behind an 80-byte header of zeros.
// The file is a memory file (memfd) opened again through /proc/self/fd/N, so nothing touches
// the disk. Checked on every input: no sanitizer report, no hang, and when the reading
// succeeds, a mesh whose faces index its vertices, whose vertices are bitwise distinct, and a
// result of the promised length made only of those vertices. The block reading that the driver
// uses (read_stl_blocks), with blocks small enough to cut records, lines and tokens, must give
// the same error text, or the same faces and vertices.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <variant>

#include "reduce/pipeline.h"
#include "reduce/vertex_merge.h"
#include "stl/binary_reader.h"
#include "stl/stl_reader.h"

namespace {

using Bits = std::array<std::uint32_t, 3>;

Bits bits_of(const vertisift::base::Point3& point) {
  Bits bits;
  std::memcpy(bits.data(), &point, sizeof bits);
  return bits;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "stl_fuzzer: %s\n", what);
  std::abort();
}

int memory_file() {
  static const int fd = [] {
    const int made = memfd_create("stl-fuzz-input", MFD_CLOEXEC);
    if (made < 0) fail("memfd_create failed");
    return made;
  }();
  return fd;
}

void write_file(int fd, const std::string& bytes) {
  if (ftruncate(fd, 0) != 0) fail("ftruncate failed");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote =
        pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (wrote <= 0) fail("pwrite failed");
    done += static_cast<std::size_t>(wrote);
  }
}

struct Input {
  std::string file;
  std::uint64_t clusters = 0;
  bool expect_faces = false;  // binary mode: the face count the file must give
  std::uint64_t expected_faces = 0;
  bool expect_failure = false;  // binary mode: the header promises more than is there
};

Input make_input(const std::uint8_t* data, std::size_t size) {
  Input input;
#if defined(FUZZ_MODE_raw) || defined(FUZZ_MODE_lenient)
  input.file.assign(reinterpret_cast<const char*>(data), size);
  input.clusters = size % 67;
#elif defined(FUZZ_MODE_ascii)
  input.file = "solid ";
  input.file.append(reinterpret_cast<const char*>(data), size);
  input.clusters = size % 67;
#elif defined(FUZZ_MODE_binary)
  const std::uint8_t selector = size > 0 ? data[0] : 0;
  const std::size_t body = size > 0 ? size - 1 : 0;
  const std::uint64_t records = body / vertisift::stl::BINARY_RECORD_SIZE;
  std::uint64_t count = records;
  switch (selector & 3) {
    case 0: count = records == 0 ? 0 : records - 1; break;
    case 1: break;
    case 2: count = records + 1; break;
    case 3: count = records + 1000; break;
  }
  input.clusters = selector >> 2;
  input.file.assign(vertisift::stl::BINARY_HEADER_SIZE, '\0');
  const auto count32 = static_cast<std::uint32_t>(count);
  const char count_bytes[4] = {static_cast<char>(count32), static_cast<char>(count32 >> 8),
                               static_cast<char>(count32 >> 16), static_cast<char>(count32 >> 24)};
  input.file.append(count_bytes, 4);
  if (size > 1) input.file.append(reinterpret_cast<const char*>(data + 1), body);
  input.expect_failure = count > records;
  input.expect_faces = !input.expect_failure;
  input.expected_faces = count;
#else
#error "define one of FUZZ_MODE_raw, FUZZ_MODE_lenient, FUZZ_MODE_ascii, FUZZ_MODE_binary"
#endif
  return input;
}

#if defined(FUZZ_MODE_lenient)
constexpr auto DIALECT = vertisift::stl::StlDialect::Lenient;
#else
constexpr auto DIALECT = vertisift::stl::StlDialect::Strict;
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input input = make_input(data, size);
  const int fd = memory_file();
  write_file(fd, input.file);
  const vertisift::mesh_io::PathText path = "/proc/self/fd/" + std::to_string(fd);

  auto read = vertisift::stl::read_stl_file(path, DIALECT);
  vertisift::reduce::VertexMerge merge;
  const auto merge_failure = vertisift::stl::read_stl_blocks(path, merge, 1 + size % 151, DIALECT);
  if (!read.ok()) {
    if (input.expect_faces) fail("a complete binary file failed to read");
    if (read.error().display().empty()) fail("a read error without text");
    if (!merge_failure || merge_failure->display() != read.error().display()) {
      fail("the block reading's outcome differs from the reader's error");
    }
    return 0;
  }
  if (merge_failure) fail("the block reading failed on a file that reads");
  if (input.expect_failure) fail("a binary file that ends early was read");
  const vertisift::mesh_io::IndexedMesh& mesh = read.value().mesh;
  if (input.expect_faces && mesh.faces.size() != input.expected_faces) fail("face count");
  std::set<Bits> vertices;
  for (const auto& vertex : mesh.vertices) {
    if (!vertices.insert(bits_of(vertex)).second) fail("a vertex stored twice");
  }
  std::vector<bool> used(mesh.vertices.size());
  for (const auto& face : mesh.faces) {
    for (auto index : face.vertex_indices) {
      if (index >= mesh.vertices.size()) fail("a face index out of range");
      used[index] = true;
    }
  }
  for (bool is_used : used) {
    if (!is_used) fail("a vertex that no face uses");
  }
  if (merge.face_count() != mesh.faces.size()) fail("the block reading's face count");
  std::set<Bits> merged;
  for (const auto& point : merge.take_points()) merged.insert(bits_of(point.position));
  if (merged != vertices) fail("the block reading's vertices");
  if (DIALECT != vertisift::stl::StlDialect::Strict) return 0;

  const vertisift::reduce::ReduceOutcome outcome =
      vertisift::reduce::reduce_stl_points(path, input.clusters);
  if (!outcome.ok()) fail("the driver failed on a file that reads");
  const vertisift::reduce::ReducedPoints* points = &outcome.value();
  const std::size_t expected = mesh.faces.empty() ? 0 : input.clusters;
  if (points->positions.size() != expected || points->normals.size() != expected) {
    fail("result length");
  }
  for (const auto& position : points->positions) {
    if (!vertices.count(bits_of(position))) fail("a result point that is no vertex");
  }
  return 0;
}
