// A texture looked up at points: bilinear between the four texel centres around each point's
// texture coordinates, texel i's centre at (i + 1/2) / size as GPU samplers filter, a texel
// index outside the image wrapped by the texture's mode along that axis (repeat, clamp to the
// edge, or mirrored repeat, as GPU samplers wrap them), with v counted from the image's bottom
// row up (the image's first row is its top, as image files store it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/point3.h"
#include "mesh_io/mesh.h"

namespace vertisift::sample {

// An image of `width` x `height` texels, row by row from the top, each `stride` components
// of which the first three are R, G and B (one alone: grey), each an 8-bit integer (0 to 255
// for 0 to 1) or, when `floats`, a float in [0, 1].
struct Texels {
  const void* data = nullptr;
  std::size_t width = 0, height = 0;
  std::size_t stride = 3;  // 1 (grey), 3 (RGB) or 4 (RGB and a fourth byte, RGBX or RGBA)
  bool floats = false;
  mesh_io::Wrap wrap_u = mesh_io::Wrap::Repeat;
  mesh_io::Wrap wrap_v = mesh_io::Wrap::Repeat;
};

// The texture at (u, v), as RGB in [0, 1]. `u` and `v` are finite.
base::Point3 look_up(const Texels& texels, double u, double v);

// Multiplies colors[points[i]] by the texture at (uvs[2 i], uvs[2 i + 1]), for every i; each
// point appears once, below colors.size().
void multiply_by_texture(const Texels& texels, std::span<const std::uint64_t> points,
                         std::span<const float> uvs, std::span<base::Point3> colors);

}  // namespace vertisift::sample
