#include "mesh_io/reader_messages.h"

namespace vertisift::mesh_io {

std::string index_out_of_range(IndexedItem item, std::int64_t index, std::uint64_t count) {
  const bool vertex = item == IndexedItem::Vertex;
  const char* const items =
      vertex ? (count == 1 ? "vertex" : "vertices") : (count == 1 ? "normal" : "normals");
  return std::string(vertex ? "vertex" : "normal") + " index " + std::to_string(index) +
         " is out of range (" + std::to_string(count) + " " + items + " in the file)";
}

std::string too_many_vertices(std::optional<std::uint64_t> declared) {
  std::string text = "more vertices than 32-bit indices can name";
  if (declared) text += " (the header declares " + std::to_string(*declared) + ")";
  return text;
}

std::string ends_after(std::string_view format, std::string_view where, std::uint64_t done,
                       std::uint64_t count, std::string_view items) {
  return std::string(format) + ": the file ends at " + std::string(where) + ", after " +
         std::to_string(done) + " of " + std::to_string(count) + " " + std::string(items);
}

}  // namespace vertisift::mesh_io
