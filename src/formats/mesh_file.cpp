#include "formats/mesh_file.h"

#include <string>

#include "mesh_io/quote.h"
#include "mesh_io/side_files.h"

namespace vertisift::formats {

mesh_io::ReadResult<mesh_io::Mesh> read_mesh_file(const mesh_io::PathText& path,
                                                  std::string_view format,
                                                  const ReadOptions& options) {
  const MeshFormat* found = find_format(format);
  if (found == nullptr) [[unlikely]] {
    return mesh_io::ReadError::invalid_input("no reader for the mesh format " +
                                             mesh_io::quote(format));
  }
  mesh_io::FolderSideFiles side_files(path);
  return found->read(path, options, side_files);
}

}  // namespace vertisift::formats
