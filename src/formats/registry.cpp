#include "formats/registry.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "gltf/gltf_reader.h"
#include "mesh_io/byte_source.h"
#include "mesh_io/file_stream.h"
#include "obj/obj_reader.h"
#include "off/off_reader.h"
#include "ply/ply_reader.h"
#include "stl/facet_colors.h"
#include "stl/stl_reader.h"

namespace vertisift::formats {
namespace {

using mesh_io::Mesh;
using mesh_io::ReadResult;

// STL's faces, merged into vertices bit for bit by the front end, with their stored normals
// and the colours of a binary file's facets.
ReadResult<Mesh> read_merged_stl(mesh_io::FileStream& file, stl::StlDialect dialect) {
  stl::AttributeWords words;
  auto read = stl::read_stl_stream(file, dialect, &words);
  if (!read.ok()) return std::move(read.error());
  mesh_io::IndexedMesh indexed = std::move(read.value());
  Mesh mesh;
  mesh.positions = std::move(indexed.vertices);
  // The faces' corners become the triangles in the faces' own block: triangle f (12 bytes at
  // 12 f) overwrites only faces already taken apart, so the mesh needs no second face table.
  const std::size_t face_count = indexed.faces.size();
  static_assert(sizeof(mesh_io::Face) == 2 * sizeof(mesh_io::Triangle));
  base::PodVector<base::Point3> normals;
  base::Point3* stored = normals.extend(face_count);  // every item written below
  auto* triangles = reinterpret_cast<mesh_io::Triangle*>(indexed.faces.data());
  for (std::size_t f = 0; f < face_count; ++f) {
    const mesh_io::Face face = indexed.faces[f];
    stored[f] = face.normal;
    std::memcpy(&triangles[f], face.vertex_indices, sizeof(mesh_io::Triangle));
  }
  mesh.triangles = base::PodVector<mesh_io::Triangle>::take_over(std::move(indexed.faces));
  // The block keeps its size: giving back its second half would only make the next reading
  // fault those pages in again.
  mesh.triangles.resize_zeroed(face_count);
  mesh.in_first_use_order = true;  // the front end numbers the vertices as they first come
  mesh_io::add_normals(mesh, mesh_io::Domain::Face, std::move(normals));
  stl::add_facet_colors(mesh, words);
  return mesh;
}

// Faces copied from the reader per call while the loose corners are collected: 256 faces
// (12 KiB on the stack) spread the reader's per-call work thinly.
constexpr std::size_t COLLECT_BATCH = 256;

// STL's faces as stored, each with its own three corners, its stored normal and its colour.
ReadResult<Mesh> read_loose_stl(mesh_io::FileStream& file, stl::StlDialect dialect) {
  Mesh mesh;
  stl::AttributeWords words;
  base::PodVector<base::Point3> normals;
  mesh_io::ReadStatus failure = stl::read_stl_faces(
      file,
      [&](mesh_io::FaceSource& source) -> mesh_io::ReadStatus {
        mesh.positions = {};  // a second reading starts afresh
        normals = {};
        const auto hint = static_cast<std::size_t>(source.faces_hint());
        mesh.positions.reserve(3 * hint);
        normals.reserve(hint);
        mesh_io::RawFace batch[COLLECT_BATCH];
        return mesh_io::for_each_batch(source, batch, [&](std::span<const mesh_io::RawFace> got) {
          base::Point3* corners = mesh.positions.extend(3 * got.size());
          base::Point3* stored = normals.extend(got.size());
          for (std::size_t i = 0; i < got.size(); ++i) {
            std::memcpy(corners + 3 * i, got[i].vertices, sizeof got[i].vertices);
            stored[i] = got[i].normal;
          }
        });
      },
      dialect, &words);
  if (failure) return std::move(*failure);
  mesh.loose_corners = true;
  mesh_io::add_normals(mesh, mesh_io::Domain::Face, std::move(normals));
  stl::add_facet_colors(mesh, words);
  return mesh;
}

ReadResult<Mesh> read_stl(mesh_io::FileStream& file, const ReadOptions& options,
                          mesh_io::SideFiles&) {
  return options.loose_corners ? read_loose_stl(file, options.dialect)
                               : read_merged_stl(file, options.dialect);
}

// A reader of an indexed format over the file's bytes, a block at a time.
template <ReadResult<Mesh> (*Read)(mesh_io::ByteSource&)>
ReadResult<Mesh> read_indexed(mesh_io::FileStream& file, const ReadOptions&, mesh_io::SideFiles&) {
  mesh_io::FileSource source(file);
  return Read(source);
}

// OBJ, with its material libraries opened through the side files.
ReadResult<Mesh> read_obj(mesh_io::FileStream& file, const ReadOptions&,
                          mesh_io::SideFiles& side_files) {
  mesh_io::FileSource source(file);
  return obj::read_obj_and_materials(source, &side_files);
}

// glTF and GLB, read whole, with their buffers and images opened through the side files.
ReadResult<Mesh> read_gltf(mesh_io::FileStream& file, const ReadOptions&,
                           mesh_io::SideFiles& side_files) {
  base::PodVector<std::byte> bytes;
  mesh_io::ReadStatus status = mesh_io::read_whole(file, bytes, mesh_io::MAX_WHOLE_FILE_BYTES);
  if (status) return std::move(*status);
  return gltf::read_gltf(bytes, &side_files);
}

std::string_view as_text(std::span<const std::byte> head) {
  return {reinterpret_cast<const char*>(head.data()), head.size()};
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text after its leading blanks.
std::string_view after_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// STL is read for every suffix that no other format claims, whatever the bytes.
bool looks_like_stl(std::span<const std::byte>) { return true; }

// A comment, an appearance block, the counts without a keyword, or [ST][C][N][4][n]OFF.
bool looks_like_off(std::span<const std::byte> head) {
  std::string_view text = after_blanks(as_text(head));
  if (text.empty()) return false;
  if (text.front() == '#' || is_digit(text.front()) || text.starts_with("appearance")) {
    return true;
  }
  const std::size_t keyword = text.find_first_not_of("STCN4n");
  return keyword != std::string_view::npos && text.substr(keyword).starts_with("OFF");
}

// UTF-16 with its byte-order mark, or a first line of content that is a comment or a
// statement (a word), never a number.
bool looks_like_obj(std::span<const std::byte> head) {
  std::string_view text = as_text(head);
  if (text.starts_with("\xff\xfe") || text.starts_with("\xfe\xff")) return true;
  if (text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
  text = after_blanks(text);
  if (text.empty()) return false;
  const char first = text.front();
  return first == '#' || (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z');
}

// The magic line "ply", blanks allowed after it.
bool looks_like_ply(std::span<const std::byte> head) {
  const std::string_view text = as_text(head);
  return text.starts_with("ply") && (text.size() == 3 || is_blank(text[3]));
}

// A GLB's magic, or JSON: an object's opening brace after blanks (a byte-order mark allowed).
bool looks_like_gltf(std::span<const std::byte> head) {
  std::string_view text = as_text(head);
  if (text.starts_with("glTF")) return true;
  if (text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
  text = after_blanks(text);
  return !text.empty() && text.front() == '{';
}

constexpr std::string_view STL_SUFFIXES[] = {".stl"};
constexpr std::string_view OFF_SUFFIXES[] = {".off"};
constexpr std::string_view OBJ_SUFFIXES[] = {".obj"};
constexpr std::string_view PLY_SUFFIXES[] = {".ply"};
constexpr std::string_view GLTF_SUFFIXES[] = {".glb", ".gltf"};

constexpr MeshFormat MESH_FORMATS[] = {
    {.name = STL_FORMAT, .suffixes = STL_SUFFIXES, .looks_like = looks_like_stl, .read = read_stl},
    {.name = "off",
     .suffixes = OFF_SUFFIXES,
     .looks_like = looks_like_off,
     .read = read_indexed<off::read_off>},
    {.name = "obj", .suffixes = OBJ_SUFFIXES, .looks_like = looks_like_obj, .read = read_obj},
    {.name = "ply",
     .suffixes = PLY_SUFFIXES,
     .looks_like = looks_like_ply,
     .read = read_indexed<ply::read_ply>},
    {.name = "gltf", .suffixes = GLTF_SUFFIXES, .looks_like = looks_like_gltf, .read = read_gltf},
};

}  // namespace

std::span<const MeshFormat> mesh_formats() { return MESH_FORMATS; }

const MeshFormat* find_format(std::string_view name) {
  const auto* found = std::find_if(std::begin(MESH_FORMATS), std::end(MESH_FORMATS),
                                   [&](const MeshFormat& format) { return format.name == name; });
  return found == std::end(MESH_FORMATS) ? nullptr : found;
}

}  // namespace vertisift::formats
