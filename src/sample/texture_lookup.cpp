#include "sample/texture_lookup.h"

#include <cmath>

#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::sample {
namespace {

// The texel column (or row) of `coordinate`, a whole number, wrapped into [0, size).
std::size_t wrapped(double coordinate, std::size_t size) {
  constexpr double EXACT = 9.0e15;  // below 2**53: the whole numbers an int64 holds exactly
  if (coordinate > -EXACT && coordinate < EXACT) {
    const auto extent = static_cast<std::int64_t>(size);
    std::int64_t at = static_cast<std::int64_t>(coordinate) % extent;
    return static_cast<std::size_t>(at < 0 ? at + extent : at);
  }
  const auto extent = static_cast<double>(size);
  double at = std::fmod(coordinate, extent);
  if (at < 0) at += extent;
  // fmod of a whole number is exact; only a tiny negative one rounds up to `extent`.
  const auto index = static_cast<std::size_t>(at);
  return index < size ? index : 0;
}

// The texel of index `at` (a whole number, any sign) along an axis of `size` texels.
std::size_t texel_index(double at, std::size_t size, mesh_io::Wrap wrap) {
  switch (wrap) {
    case mesh_io::Wrap::Repeat: break;
    case mesh_io::Wrap::ClampToEdge:
      return at <= 0                               ? 0
             : at >= static_cast<double>(size - 1) ? size - 1
                                                   : static_cast<std::size_t>(at);
    case mesh_io::Wrap::MirroredRepeat: {
      const std::size_t folded = wrapped(at, 2 * size);
      return folded < size ? folded : 2 * size - 1 - folded;
    }
  }
  return wrapped(at, size);
}

struct Texel {
  double r, g, b;
};

Texel texel_at(const Texels& texels, std::size_t column, std::size_t row) {
  const std::size_t at = texels.stride * (row * texels.width + column);
  const std::size_t g = texels.stride == 1 ? 0 : 1, b = texels.stride == 1 ? 0 : 2;
  if (texels.floats) {
    const float* texel = static_cast<const float*>(texels.data) + at;
    return {texel[0], texel[g], texel[b]};
  }
  const auto* texel = static_cast<const std::uint8_t*>(texels.data) + at;
  constexpr double SCALE = 1.0 / 255.0;
  return {texel[0] * SCALE, texel[g] * SCALE, texel[b] * SCALE};
}

}  // namespace

base::Point3 look_up(const Texels& texels, double u, double v) {
  const double x = u * static_cast<double>(texels.width) - 0.5;
  const double y = (1.0 - v) * static_cast<double>(texels.height) - 0.5;
  const double left = std::floor(x);
  const double top = std::floor(y);
  const double fx = x - left;
  const double fy = y - top;
  const std::size_t i0 = texel_index(left, texels.width, texels.wrap_u);
  const std::size_t j0 = texel_index(top, texels.height, texels.wrap_v);
  const std::size_t i1 = texel_index(left + 1, texels.width, texels.wrap_u);
  const std::size_t j1 = texel_index(top + 1, texels.height, texels.wrap_v);
  const Texel a = texel_at(texels, i0, j0), b = texel_at(texels, i1, j0);
  const Texel c = texel_at(texels, i0, j1), d = texel_at(texels, i1, j1);
  const auto blend = [&](double Texel::*component) {
    const double upper = a.*component + fx * (b.*component - a.*component);
    const double lower = c.*component + fx * (d.*component - c.*component);
    return static_cast<float>(upper + fy * (lower - upper));
  };
  return {blend(&Texel::r), blend(&Texel::g), blend(&Texel::b)};
}

void multiply_by_texture(const Texels& texels, std::span<const std::uint64_t> points,
                         std::span<const float> uvs, std::span<base::Point3> colors) {
  if (uvs.size() != 2 * points.size() || texels.width == 0 || texels.height == 0) {
    base::raise_fault("texture lookup storage does not match the points");
  }
  parallel::parallel_for(points.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const base::Point3 texel = look_up(texels, uvs[2 * i], uvs[2 * i + 1]);
      base::Point3& color = colors[points[i]];
      color = {color.x * texel.x, color.y * texel.y, color.z * texel.z};
    }
  });
}

}  // namespace vertisift::sample
