// The Draco decoder that the glTF reader hands a primitive's KHR_draco_mesh_compression data
// to. Draco is decoded outside the core (the tools' boundary installs a decoder that calls a
// well-kept Draco package); without one installed, such a primitive fails its model in one
// line that names the extension and how to install a decoder, and is never read as zeros.
//
// Design: one process-wide function pointer, set once when the tools' module loads, so that
// the formats' table and the sampler need not pass a decoder through every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/pod_vector.h"
#include "mesh_io/read_error.h"

namespace vertisift::gltf {

// A decoded Draco mesh: its corners (three a triangle, each below `points`), and the
// attributes the caller asked for by their Draco ids, as floats (integers as their values;
// the glTF accessor's `normalized` is applied by the reader), `components` a point.
struct DracoMesh {
  std::uint64_t points = 0;
  base::PodVector<std::uint32_t> corners;
  struct Attribute {
    std::uint32_t id = 0;
    std::uint32_t components = 0;
    base::PodVector<float> values;  // points * components
  };
  std::vector<Attribute> attributes;
};

// Decodes `data` and gives the attributes `ids`; an error's text is the whole line after the
// reader's "glTF: " prefix. Called on the reading thread, at most once a primitive.
using DracoDecoder = mesh_io::ReadResult<DracoMesh> (*)(std::span<const std::byte> data,
                                                        std::span<const std::uint32_t> ids);

void set_draco_decoder(DracoDecoder decoder);
DracoDecoder draco_decoder();

// What a file with Draco data says when no decoder is installed (the package's install hint).
inline constexpr const char* DRACO_HINT = "pip install 'vertisift[gltf]'";

}  // namespace vertisift::gltf
