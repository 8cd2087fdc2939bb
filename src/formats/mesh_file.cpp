#include "formats/mesh_file.h"

#include <string>
#include <utility>

#include "mesh_io/file_stream.h"
#include "mesh_io/quote.h"

namespace vertisift::formats {
namespace {

// The format called `format`, or the error that no reader has that name.
mesh_io::ReadResult<const MeshFormat*> format_named(std::string_view format) {
  const MeshFormat* found = find_format(format);
  if (found == nullptr) [[unlikely]] {
    return mesh_io::ReadError::invalid_input("no reader for the mesh format " +
                                             mesh_io::quote(format));
  }
  return found;
}

}  // namespace

mesh_io::ReadResult<mesh_io::Mesh> read_mesh_file(const mesh_io::PathText& path,
                                                  std::string_view format,
                                                  const ReadOptions& options) {
  auto found = format_named(format);
  if (!found.ok()) return std::move(found.error());
  auto file = mesh_io::open_file(path);
  if (!file.ok()) return std::move(file.error());
  mesh_io::FolderSideFiles side_files(path);
  return found.value()->read(file.value(), options, side_files);
}

mesh_io::ReadResult<mesh_io::Mesh> read_mesh_bytes(std::span<const std::byte> bytes,
                                                   std::string_view format,
                                                   const ReadOptions& options,
                                                   mesh_io::SideFiles& side_files) {
  auto found = format_named(format);
  if (!found.ok()) return std::move(found.error());
  mesh_io::FileStream file = mesh_io::FileStream::in_memory(bytes);
  auto mesh = found.value()->read(file, options, side_files);
  if (side_files.stopped()) return mesh_io::ReadError::invalid_data(mesh_io::STOPPED_MESSAGE);
  return mesh;
}

}  // namespace vertisift::formats
