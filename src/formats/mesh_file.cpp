#include "formats/mesh_file.h"

#include <utility>

#include "mesh_io/byte_source.h"
#include "mesh_io/file_stream.h"
#include "obj/obj_reader.h"
#include "off/off_reader.h"
#include "ply/ply_reader.h"

namespace vertisift::formats {
namespace {

mesh_io::ReadResult<mesh_io::StoredMesh> read_stl(const mesh_io::PathText& path,
                                                  stl::StlDialect dialect) {
  auto file = stl::read_stl_file(path, dialect);
  if (!file.ok()) return std::move(file.error());
  mesh_io::IndexedMesh indexed = std::move(file.value().mesh);
  mesh_io::StoredMesh mesh;
  mesh.positions = std::move(indexed.vertices);
  mesh.triangles.resize_zeroed(indexed.faces.size());
  for (std::size_t f = 0; f < indexed.faces.size(); ++f) {
    for (std::size_t k = 0; k < 3; ++k) {
      mesh.triangles[f].corners[k] = indexed.faces[f].vertex_indices[k];
    }
  }
  return mesh;
}

}  // namespace

mesh_io::ReadResult<mesh_io::StoredMesh> read_mesh_file(const mesh_io::PathText& path,
                                                        MeshFormat format,
                                                        stl::StlDialect dialect) {
  if (format == MeshFormat::Stl) return read_stl(path, dialect);
  auto opened = mesh_io::open_file(path);
  if (!opened.ok()) return std::move(opened.error());
  mesh_io::FileStream& stream = opened.value();
  mesh_io::FileSource source(stream);
  switch (format) {
    case MeshFormat::Off: return off::read_off(source);
    case MeshFormat::Obj: return obj::read_obj(source);
    default: return ply::read_ply(source);
  }
}

}  // namespace vertisift::formats
