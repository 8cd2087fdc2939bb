#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
namespace vertisift::gltf {
enum class MeshoptMode : std::uint8_t { Attributes, Triangles, Indices };
enum class MeshoptFilter : std::uint8_t { None, Octahedral, Quaternion, Exponential };
const char* decode_meshopt(std::span<const std::byte> data, std::size_t count, std::size_t stride,
                           MeshoptMode mode, MeshoptFilter filter, std::span<std::byte> out);
}  // namespace vertisift::gltf
