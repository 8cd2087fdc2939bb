#include "stl/facet_colors.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

namespace vertisift::stl {
namespace {

constexpr std::string_view COLOR_KEY = "COLOR=";
constexpr std::uint16_t FLAG_BIT = 0x8000;

float five_bits(std::uint16_t word, int shift) {
  return static_cast<float>((word >> shift) & 31u) / 31.0f;
}

// The default colour that follows "COLOR=" in the header, if the header has one.
std::optional<mesh_io::Rgba> default_color(std::span<const std::byte> header) {
  const std::string_view text(reinterpret_cast<const char*>(header.data()), header.size());
  const std::size_t at = text.find(COLOR_KEY);
  if (at == std::string_view::npos || at + COLOR_KEY.size() + 4 > text.size()) return std::nullopt;
  const auto channel = [&](std::size_t k) {
    return static_cast<float>(static_cast<unsigned char>(text[at + COLOR_KEY.size() + k])) / 255.0f;
  };
  return mesh_io::Rgba{channel(0), channel(1), channel(2), channel(3)};
}

}  // namespace

void AttributeWords::add_records(const std::byte* records, std::size_t record_count) {
  if (words.empty()) {
    std::uint16_t any = 0;
    for (std::size_t r = 0; r < record_count; ++r) {
      any |= load_attribute(records + r * BINARY_RECORD_SIZE);
    }
    if (any == 0) {
      count += record_count;
      return;
    }
    words.reserve(std::max<std::size_t>(expected, static_cast<std::size_t>(count) + record_count));
    words.resize_zeroed(static_cast<std::size_t>(count));
  }
  std::uint16_t* out = words.extend(record_count);
  for (std::size_t r = 0; r < record_count; ++r) {
    out[r] = load_attribute(records + r * BINARY_RECORD_SIZE);
  }
  count += record_count;
}

FacetColors decode_facet_colors(std::span<const std::byte> header,
                                std::span<const std::uint16_t> words, std::uint64_t facets) {
  FacetColors out;
  const bool all_zero =
      words.empty() || std::all_of(words.begin(), words.end(), [](auto w) { return w == 0; });
  if (const auto fallback = default_color(header)) {
    mesh_io::Rgba* colors = out.colors.extend(static_cast<std::size_t>(facets));
    // Zero words under a "COLOR=" header would make every facet black. The writers that leave
    // them so (a terrain, a CSG example, both with a grey default and a MATERIAL= block) store
    // no facet colours at all: the object is the colour its header names.
    if (all_zero) {
      std::fill_n(colors, static_cast<std::size_t>(facets), *fallback);
      return out;
    }
    for (std::size_t f = 0; f < words.size(); ++f) {
      const std::uint16_t w = words[f];
      colors[f] = (w & FLAG_BIT)
                      ? *fallback
                      : mesh_io::Rgba{five_bits(w, 0), five_bits(w, 5), five_bits(w, 10)};
    }
    return out;
  }
  if (all_zero) return out;
  const auto valid = static_cast<std::uint64_t>(
      std::count_if(words.begin(), words.end(), [](auto w) { return (w & FLAG_BIT) != 0; }));
  if (valid == 0) return out;  // the words hold something other than colours
  mesh_io::Rgba* colors = out.colors.extend(words.size());
  for (std::size_t f = 0; f < words.size(); ++f) {
    const std::uint16_t w = words[f];
    colors[f] = (w & FLAG_BIT) ? mesh_io::Rgba{five_bits(w, 10), five_bits(w, 5), five_bits(w, 0)}
                               : mesh_io::Rgba{};
  }
  out.uncoloured = words.size() - valid;
  return out;
}

void add_facet_colors(mesh_io::Mesh& mesh, const AttributeWords& words) {
  if (!words.binary) return;
  FacetColors decoded = decode_facet_colors(words.header, words.words, words.count);
  if (decoded.colors.empty()) return;
  mesh_io::count_ignored(mesh, "facet without a colour", decoded.uncoloured);
  mesh_io::add_colors(mesh, {}, std::move(decoded.colors));
}

}  // namespace vertisift::stl
