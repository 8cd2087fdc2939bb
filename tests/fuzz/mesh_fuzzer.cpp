// libFuzzer harness over a reader of the indexed formats, built once a format:
//   FUZZ_FORMAT_off  read_off
//   FUZZ_FORMAT_obj  read_obj
//   FUZZ_FORMAT_ply  read_ply
//   FUZZ_FORMAT_gltf read_gltf (the GLB container, the JSON, the accessors, the scene)
// Byte 0 sets the size of the pieces that MemorySource hands out (1 to 256 bytes, so that
// lines, tokens and binary records are cut across blocks in every way), the other bytes are
// the file. Checked on every input: no sanitizer report, no hang; when the reading fails, an
// error with text, which for OFF and OBJ starts with the format's name (or, for a side file's
// name that every source refuses, with "side file"); when it succeeds,
// every triangle index below positions.size(), a colour stream, if any, of RGBA floats, one
// per position or per triangle, and a normal stream, if any, either of the corner domain with
// as many normal triangles as triangles, every normal index below its size (OBJ), or of the
// vertex domain with one normal per position (OFF, PLY).
//
// For OBJ, the bytes after the first SIDE_FILE_MARK are the material library that every
// mtllib names, the bytes before it the model; besides the above, a uv stream, if any, of
// (u, v) floats with a triangle table, every index below its size, and a material stream, if
// any, of one index below materials.size() per triangle, with the default material first.
//
// For glTF, the bytes after the first SIDE_FILE_MARK are the file that every URI names (a
// buffer), the bytes before it the .gltf or .glb file, read whole; besides the above, uv
// streams of one (u, v) a position, and a material stream as for OBJ whose materials' images
// are all held by the mesh. Draco has no decoder here: such a primitive is an error.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "mesh_io/byte_source.h"
#include "mesh_io/mesh.h"

#if defined(FUZZ_FORMAT_off)
#include "off/off_reader.h"
constexpr auto READ = vertisift::off::read_off;
constexpr const char* TARGET = "fuzz_off";
constexpr std::string_view ERROR_START = "OFF";
constexpr bool NORMAL_TRIANGLES = true;
#elif defined(FUZZ_FORMAT_obj)
#include "obj/obj_reader.h"
constexpr auto READ = vertisift::obj::read_obj;
constexpr std::string_view SIDE_FILE_MARK = "#--mtl--\n";
constexpr const char* TARGET = "fuzz_obj";
constexpr std::string_view ERROR_START = "OBJ";
constexpr bool NORMAL_TRIANGLES = true;
#elif defined(FUZZ_FORMAT_ply)
#include "ply/ply_reader.h"
constexpr auto READ = vertisift::ply::read_ply;
constexpr const char* TARGET = "fuzz_ply";
constexpr std::string_view ERROR_START = "";
constexpr bool NORMAL_TRIANGLES = false;
#elif defined(FUZZ_FORMAT_gltf)
#include "gltf/gltf_reader.h"
constexpr std::string_view SIDE_FILE_MARK = "#--bin--\n";
constexpr const char* TARGET = "fuzz_gltf";
constexpr std::string_view ERROR_START = "glTF";
constexpr bool NORMAL_TRIANGLES = false;
#else
#error "define one of FUZZ_FORMAT_off, FUZZ_FORMAT_obj, FUZZ_FORMAT_ply, FUZZ_FORMAT_gltf"
#endif

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", TARGET, what);
  std::abort();
}

void check_indices(std::span<const vertisift::mesh_io::Triangle> triangles, std::size_t count) {
  for (const auto& triangle : triangles) {
    for (const auto corner : triangle.corners) {
      if (corner >= count) fail("an index out of range");
    }
  }
}

// A colour stream, if any: RGBA floats in [0, 1], one per position (vertex domain) or per
// triangle (face domain).
void check_colours(const vertisift::mesh_io::Mesh& mesh) {
  using vertisift::mesh_io::Domain;
  const vertisift::mesh_io::Stream* colours = mesh.find(vertisift::mesh_io::COLOR_STREAM);
  if (colours == nullptr) return;
  if (colours->element != vertisift::mesh_io::Element::Float32 || colours->width != 4) {
    fail("colours that are not RGBA floats");
  }
  if (colours->size() == 0) fail("an empty colour stream");
  const bool counted =
      colours->domain == Domain::Vertex
          ? colours->size() == mesh.positions.size()
          : colours->domain == Domain::Face && colours->size() == mesh.triangles.size();
  if (!counted) fail("colours miscounted");
  for (const float component : colours->items<float>()) {
    if (!(component >= 0.0f && component <= 1.0f)) fail("a colour component outside [0, 1]");
  }
}

#if defined(FUZZ_FORMAT_obj) || defined(FUZZ_FORMAT_gltf)
// Every name that passes the shared checks opens `library`.
class OneSideFile final : public vertisift::mesh_io::SideFiles {
 public:
  explicit OneSideFile(std::span<const std::byte> library) : library_(library) {}

 private:
  vertisift::mesh_io::ReadResult<vertisift::mesh_io::FileStream> open_checked(
      std::string_view) override {
    return vertisift::mesh_io::FileStream::in_memory(library_, 7);
  }

  std::span<const std::byte> library_;
};
#endif

#if defined(FUZZ_FORMAT_gltf)
void check_gltf(const vertisift::mesh_io::Mesh& mesh) {
  using vertisift::mesh_io::Element;
  for (std::size_t set = 0; set < 8; ++set) {
    const vertisift::mesh_io::Stream* uvs = mesh.find(vertisift::mesh_io::uv_stream_name(set));
    if (uvs == nullptr) continue;
    if (uvs->element != Element::Float32 || uvs->width != 2 ||
        uvs->domain != vertisift::mesh_io::Domain::Vertex || uvs->size() != mesh.positions.size()) {
      fail("uvs that are not 2 floats a position");
    }
  }
  const vertisift::mesh_io::Stream* materials = mesh.find(vertisift::mesh_io::MATERIAL_STREAM);
  if (materials != nullptr) {
    if (materials->size() != mesh.triangles.size()) fail("material indices miscounted");
    for (const std::uint32_t item : materials->items<std::uint32_t>()) {
      if (item >= mesh.materials.size()) fail("a material index out of range");
    }
  }
  for (const vertisift::mesh_io::Material& material : mesh.materials) {
    if (material.image >= static_cast<std::int32_t>(mesh.images.size()))
      fail("an image out of range");
  }
}
#endif

#if defined(FUZZ_FORMAT_obj)
void check_materials(const vertisift::mesh_io::Mesh& mesh) {
  using vertisift::mesh_io::Element;
  const vertisift::mesh_io::Stream* uvs = mesh.find(vertisift::mesh_io::UV_STREAM);
  if (uvs != nullptr) {
    if (uvs->element != Element::Float32 || uvs->width != 2) fail("uvs that are not 2 floats");
    if (uvs->corners.size() != mesh.triangles.size()) fail("uv triangles miscounted");
    check_indices({uvs->corners.data(), uvs->corners.size()}, uvs->size());
  }
  const vertisift::mesh_io::Stream* materials = mesh.find(vertisift::mesh_io::MATERIAL_STREAM);
  if (materials == nullptr) return;
  if (materials->element != Element::UInt32 || materials->width != 1 ||
      materials->size() != mesh.triangles.size()) {
    fail("material indices miscounted");
  }
  if (mesh.materials.empty() || !mesh.materials[0].name.empty()) fail("no default material");
  for (const std::uint32_t item : materials->items<std::uint32_t>()) {
    if (item >= mesh.materials.size()) fail("a material index out of range");
  }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t{data[0]} + 1;
  auto bytes = std::as_bytes(std::span(data + 1, size - 1));
#if defined(FUZZ_FORMAT_obj)
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::size_t mark = text.find(SIDE_FILE_MARK);
  std::span<const std::byte> library;
  if (mark != std::string_view::npos) {
    library = bytes.subspan(mark + SIDE_FILE_MARK.size());
    bytes = bytes.first(mark);
  }
  OneSideFile side_files(library);
  vertisift::mesh_io::MemorySource source(bytes, piece);
  auto result = vertisift::obj::read_obj_and_materials(source, &side_files);
#elif defined(FUZZ_FORMAT_gltf)
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::size_t mark = text.find(SIDE_FILE_MARK);
  std::span<const std::byte> buffer;
  if (mark != std::string_view::npos) {
    buffer = bytes.subspan(mark + SIDE_FILE_MARK.size());
    bytes = bytes.first(mark);
  }
  OneSideFile side_files(buffer);
  (void)piece;
  auto result = vertisift::gltf::read_gltf(bytes, &side_files);
#else
  vertisift::mesh_io::MemorySource source(bytes, piece);
  auto result = READ(source);
#endif
  if (!result.ok()) {
    const std::string display = result.error().display();
    if (display.empty()) fail("an error without text");
    // A side file's name that every source refuses is said in the shared words instead.
    if (!display.starts_with(ERROR_START) && !display.starts_with("side file ")) {
      fail("an error that does not name the format");
    }
    return 0;
  }
  const vertisift::mesh_io::Mesh& mesh = result.value();
  check_indices({mesh.triangles.data(), mesh.triangles.size()}, mesh.positions.size());
  check_colours(mesh);
#if defined(FUZZ_FORMAT_obj)
  check_materials(mesh);
#elif defined(FUZZ_FORMAT_gltf)
  check_gltf(mesh);
#endif
  const vertisift::mesh_io::Stream* normals = mesh.find(vertisift::mesh_io::NORMAL_STREAM);
  if (normals == nullptr) return 0;
  if (normals->size() == 0) fail("an empty normal stream");
  if (normals->domain == vertisift::mesh_io::Domain::Corner) {
    if (!NORMAL_TRIANGLES) fail("normal triangles from a reader that gives none");
    if (normals->corners.size() != mesh.triangles.size()) fail("normal triangles miscounted");
    check_indices({normals->corners.data(), normals->corners.size()}, normals->size());
  } else if (normals->domain != vertisift::mesh_io::Domain::Vertex ||
             normals->size() != mesh.positions.size()) {
    fail("normals that are neither per position nor indexed");
  }
  return 0;
}
