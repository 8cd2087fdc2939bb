// The error texts that several readers give for the same fault, each written once here so
// that OFF, OBJ and PLY say it alike. Each returns the text after the reader's "<format> line
// N: " or "<format> byte N: ", unless it says otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vertisift::mesh_io {

enum class IndexedItem { Vertex, Normal };

// "vertex index 9 is out of range (8 vertices in the file)": `index` as the file writes it
// (0-based or 1-based), `count` the items the file has ("1 vertex", "1 normal").
std::string index_out_of_range(IndexedItem item, std::int64_t index, std::uint64_t count);

// "more vertices than 32-bit indices can name", and " (the header declares N)" when a
// header's count was too large.
std::string too_many_vertices(std::optional<std::uint64_t> declared = std::nullopt);

// The whole text "<format>: the file ends at <where>, after <done> of <count> <items>", for a
// file cut short among the items its header counts.
std::string ends_after(std::string_view format, std::string_view where, std::uint64_t done,
                       std::uint64_t count, std::string_view items);

}  // namespace vertisift::mesh_io
