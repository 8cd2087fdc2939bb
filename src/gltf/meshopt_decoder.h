// Decoding of glTF buffer views compressed with EXT_meshopt_compression: the attribute
// (vertex) codec, the triangle and index-sequence codecs, and the filters applied after
// the attribute codec. Plain functions over byte spans: every read is checked against the
// compressed bytes and every write against the output, so any input yields either the
// decoded view or a static text naming what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vertisift::gltf {

enum class MeshoptMode : std::uint8_t { Attributes, Triangles, Indices };
enum class MeshoptFilter : std::uint8_t { None, Octahedral, Quaternion, Exponential };

// Decodes `count` elements of `stride` bytes each, compressed in `data`, into `out`
// (count * stride bytes), then applies `filter`. Returns nullptr on success, or a static
// one-line text saying what is wrong. Never reads outside `data` or writes outside `out`.
const char* decode_meshopt(std::span<const std::byte> data, std::size_t count, std::size_t stride,
                           MeshoptMode mode, MeshoptFilter filter, std::span<std::byte> out);

}  // namespace vertisift::gltf
