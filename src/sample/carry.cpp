#include "sample/carry.h"

#include <cstring>

#include "base/fault.h"
#include "parallel/thread_pool.h"

namespace vertisift::sample {
namespace {

// The corner of a point's face that weighs most, the first of equals.
std::size_t heaviest(const CornerWeights& weights) {
  std::size_t best = 0;
  for (std::size_t k = 1; k < 3; ++k) {
    if (weights.w[k] > weights.w[best]) best = k;
  }
  return best;
}

}  // namespace

void carry_stream(const mesh_io::Mesh& mesh, const mesh_io::Stream& stream,
                  std::span<const std::uint64_t> faces, std::span<const CornerWeights> weights,
                  std::span<std::byte> out) {
  const std::size_t item = stream.item_bytes();
  if (weights.size() != faces.size() || out.size() != faces.size() * item) {
    base::raise_fault("carried stream storage does not match the points");
  }
  const std::byte* items = stream.bytes.data();
  const bool blend =
      stream.element == mesh_io::Element::Float32 && stream.domain != mesh_io::Domain::Face;
  parallel::parallel_for(faces.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const auto f = static_cast<std::size_t>(faces[i]);
      std::byte* into = out.data() + i * item;
      if (!blend) {
        const std::size_t k = heaviest(weights[i]);
        std::memcpy(into, items + mesh_io::item_of(mesh, stream, f, k) * item, item);
        continue;
      }
      const float* corner[3];
      for (std::size_t k = 0; k < 3; ++k) {
        corner[k] =
            reinterpret_cast<const float*>(items + mesh_io::item_of(mesh, stream, f, k) * item);
      }
      const float* w = weights[i].w;
      for (std::size_t c = 0; c < stream.width; ++c) {
        const double value = (double{w[0]} * corner[0][c] + double{w[1]} * corner[1][c]) +
                             double{w[2]} * corner[2][c];
        const auto rounded = static_cast<float>(value);
        std::memcpy(into + c * sizeof(float), &rounded, sizeof(float));
      }
    }
  });
}

}  // namespace vertisift::sample
