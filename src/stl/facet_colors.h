// The colours of a binary file's facets, which it keeps in the header and in the 16-bit
// attribute word of each record. Two conventions share those bits:
//
// - A header that holds "COLOR=" followed by four bytes R G B A gives the object's default
//   colour. Each word then holds the facet's own colour, red in bits 0-4, green in 5-9, blue in
//   10-14 (five bits each), when bit 15 is clear, and stands for the default colour when it is
//   set.
// - Without "COLOR=", blue is in bits 0-4, green in 5-9 and red in 10-14, and the colour is
//   valid only when bit 15 is set; a facet whose bit 15 is clear has no colour.
//
// The binary reader collects the header and the words only when asked (AttributeWords), so a
// reading that wants no colour pays nothing for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/pod_vector.h"
#include "mesh_io/mesh.h"
#include "stl/binary_reader.h"

namespace vertisift::stl {

// What a binary reading leaves for the colours: its header and the attribute words of its
// `count` records, in file order. While every word is zero, none is stored (most files write
// zeros, and then `words` stays empty); after the first other one, `words` holds all `count`.
// `binary` is false when the reading taken was an ASCII one, which has none.
struct AttributeWords {
  bool binary = false;
  std::byte header[BINARY_HEADER_SIZE]{};
  base::PodVector<std::uint16_t> words;
  std::uint64_t count = 0;
  std::size_t expected = 0;  // records announced, for sizing `words` once

  void reset() {
    binary = false;
    words = {};
    count = 0;
    expected = 0;
  }
  // The words of `records` whole records.
  void add_records(const std::byte* records, std::size_t record_count);
};

struct FacetColors {
  base::PodVector<mesh_io::Rgba> colors;  // one per facet; empty when the file has none
  std::uint64_t uncoloured = 0;           // facets left white among coloured ones
};

// The colours of `facets` facets by the convention that `header` names, from their words:
// `words` holds one per facet, or is empty when every word is zero.
FacetColors decode_facet_colors(std::span<const std::byte> header,
                                std::span<const std::uint16_t> words, std::uint64_t facets);

// Adds the facets' colours of `words` to `mesh` as its Face-domain colour stream, one item per
// triangle in file order, and counts the facets without a colour; nothing when there are none.
void add_facet_colors(mesh_io::Mesh& mesh, const AttributeWords& words);

}  // namespace vertisift::stl
