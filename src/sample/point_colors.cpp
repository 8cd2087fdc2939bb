#include "sample/point_colors.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>

#include "base/fault.h"
#include "sample/carry.h"

namespace vertisift::sample {
namespace {

float unit(float component) {
  return component >= 0.0f ? (component <= 1.0f ? component : 1.0f) : 0.0f;  // NaN: 0
}

float finite_or_zero(float value) { return std::isfinite(value) ? value : 0.0f; }

// `stream` carried to the points: one item per point.
base::PodVector<std::byte> carried(const mesh_io::Mesh& mesh, const mesh_io::Stream& stream,
                                   std::span<const std::uint64_t> faces,
                                   std::span<const CornerWeights> weights) {
  base::PodVector<std::byte> values;
  values.resize_zeroed(faces.size() * stream.item_bytes());
  carry_stream(mesh, stream, faces, weights, std::span<std::byte>(values.data(), values.size()));
  return values;
}

// Whether some material of the mesh has a texture to look up.
bool textured(const mesh_io::Mesh& mesh) {
  const mesh_io::Stream* uvs = mesh.find(mesh_io::UV_STREAM);
  if (uvs == nullptr || mesh.find(mesh_io::MATERIAL_STREAM) == nullptr) return false;
  for (const mesh_io::Material& material : mesh.materials) {
    if (!material.texture.empty()) return true;
  }
  return false;
}

// Whether every item of `stream` is the same: a writer's default colour, which beside a
// texture is no colour of the surface.
bool one_colour(const mesh_io::Stream& stream) {
  const std::size_t item = stream.item_bytes();
  const std::byte* first = stream.bytes.data();
  for (std::size_t at = item; at < stream.bytes.size(); at += item) {
    if (std::memcmp(first, first + at, item) != 0) return false;
  }
  return true;
}

bool is_url(std::string_view name) {
  return name.find("://") != std::string_view::npos || name.starts_with("data:");
}

}  // namespace

void color_points(const mesh_io::Mesh& mesh, std::span<const std::uint64_t> faces,
                  std::span<const CornerWeights> weights, PointColors& into) {
  const std::size_t count = faces.size();
  if (into.rgb.size() != count || weights.size() != count) {
    base::raise_fault("colour storage does not match the points");
  }
  into.stored = false;
  into.textures.clear();
  for (base::Point3& rgb : into.rgb) rgb = {1.0f, 1.0f, 1.0f};

  const mesh_io::Stream* colors = mesh.find(mesh_io::COLOR_STREAM);
  const bool usable =
      colors != nullptr && colors->element == mesh_io::Element::Float32 && colors->width >= 3;
  if (usable && !(textured(mesh) && one_colour(*colors))) {
    into.stored = true;
    const base::PodVector<std::byte> values = carried(mesh, *colors, faces, weights);
    const auto* components = reinterpret_cast<const float*>(values.data());
    for (std::size_t i = 0; i < count; ++i) {
      const float* c = components + i * colors->width;
      into.rgb[i] = {unit(c[0]), unit(c[1]), unit(c[2])};
    }
  }

  const mesh_io::Stream* material_stream = mesh.find(mesh_io::MATERIAL_STREAM);
  if (material_stream == nullptr || material_stream->element != mesh_io::Element::UInt32 ||
      material_stream->width != 1 || mesh.materials.empty()) {
    return;
  }
  const base::PodVector<std::byte> material_bytes = carried(mesh, *material_stream, faces, weights);
  const auto* material_of = reinterpret_cast<const std::uint32_t*>(material_bytes.data());
  const std::size_t materials = mesh.materials.size();
  // Which of `into.textures` each material's texture is, if any (a texture file that several
  // materials name is one entry, read and decoded once).
  constexpr std::size_t NONE = SIZE_MAX;
  std::vector<std::size_t> texture_of(materials, NONE);
  std::vector<bool> named(materials, false);
  // The texture coordinates of each set that a textured material takes, carried once.
  std::vector<base::PodVector<std::byte>> uv_sets;
  std::vector<bool> has_set;
  std::map<std::tuple<std::string_view, std::int32_t, mesh_io::Wrap, mesh_io::Wrap>, std::size_t>
      by_texture;
  for (std::size_t m = 1; m < materials; ++m) {
    const mesh_io::Material& material = mesh.materials[m];
    if (material.texture.empty()) continue;
    const std::size_t set = material.texture_set;
    if (uv_sets.size() <= set) {
      uv_sets.resize(set + 1);
      has_set.resize(set + 1, false);
      const mesh_io::Stream* uvs = mesh.find(mesh_io::uv_stream_name(set));
      if (uvs != nullptr && uvs->element == mesh_io::Element::Float32 && uvs->width == 2) {
        uv_sets[set] = carried(mesh, *uvs, faces, weights);
        has_set[set] = true;
      }
    }
    if (!has_set[set]) continue;
    const auto key = std::make_tuple(std::string_view(material.texture), material.image,
                                     material.wrap_u, material.wrap_v);
    auto [at, added] = by_texture.try_emplace(key, into.textures.size());
    if (added) {
      TexturedPoints textured;
      textured.name = material.texture;
      textured.wrap_u = material.wrap_u;
      textured.wrap_v = material.wrap_v;
      if (material.image >= 0 && static_cast<std::size_t>(material.image) < mesh.images.size()) {
        const base::PodVector<std::byte>& held =
            mesh.images[static_cast<std::size_t>(material.image)].bytes;
        textured.held = true;
        textured.bytes.append(held.data(), held.size());
      }
      into.textures.push_back(std::move(textured));
    }
    texture_of[m] = at->second;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t m = material_of[i];
    if (m == 0 || m >= materials) continue;
    into.stored = true;
    const mesh_io::Material& material = mesh.materials[m];
    base::Point3& rgb = into.rgb[i];
    rgb = {rgb.x * unit(material.diffuse.r), rgb.y * unit(material.diffuse.g),
           rgb.z * unit(material.diffuse.b)};
    if (texture_of[m] == NONE) continue;
    TexturedPoints& textured = into.textures[texture_of[m]];
    named[m] = true;
    textured.points.push_back(i);
    const auto* uv = reinterpret_cast<const float*>(uv_sets[material.texture_set].data());
    const double u = static_cast<double>(uv[2 * i]) * material.texture_scale[0];
    const double v = static_cast<double>(uv[2 * i + 1]) * material.texture_scale[1];
    double turned_u = u, turned_v = v;
    if (material.texture_rotation != 0) {
      const double c = std::cos(material.texture_rotation), s = std::sin(material.texture_rotation);
      turned_u = c * u + s * v;
      turned_v = -s * u + c * v;
    }
    turned_u += material.texture_offset[0];
    turned_v += material.texture_offset[1];
    if (material.texture_v_down) turned_v = 1.0 - turned_v;
    float* looked_up = textured.uvs.extend(2);
    looked_up[0] = finite_or_zero(static_cast<float>(turned_u));
    looked_up[1] = finite_or_zero(static_cast<float>(turned_v));
  }
  for (std::size_t m = 1; m < materials; ++m) {
    if (named[m]) into.textures[texture_of[m]].materials.push_back(mesh.materials[m].name);
  }
  // Textures that no point lies on need not be read.
  std::erase_if(into.textures,
                [](const TexturedPoints& textured) { return textured.points.empty(); });
}

namespace {

// The candidates for a texture's file, in the order they are tried.
std::vector<std::string> spellings(const std::string& name) {
  std::vector<std::string> names = {name};
  if (is_url(name)) return names;
  std::string slashed = name;
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  if (slashed != name) names.push_back(slashed);
  // An absolute path, of either system: the writer's machine's, where the file sat beside the
  // model. A relative path that fails is not tried elsewhere (another file of the same name
  // could be found).
  const bool absolute =
      slashed.starts_with('/') ||
      (slashed.size() > 2 && std::isalpha(static_cast<unsigned char>(slashed[0])) &&
       slashed[1] == ':' && slashed[2] == '/');
  const std::size_t last = slashed.find_last_of('/');
  if (absolute && last + 1 < slashed.size()) names.push_back(slashed.substr(last + 1));
  return names;
}

}  // namespace

void read_textures(mesh_io::SideFiles& side_files, std::vector<TexturedPoints>& textures) {
  for (TexturedPoints& texture : textures) {
    if (texture.held) continue;
    texture.bytes.clear();
    texture.unreadable.clear();
    for (const std::string& name : spellings(texture.name)) {
      auto opened = side_files.open(name);
      mesh_io::ReadStatus status =
          opened.ok() ? mesh_io::read_whole(opened.value(), texture.bytes, MAX_TEXTURE_BYTES)
                      : opened.error();
      if (!status) {
        texture.unreadable.clear();
        break;
      }
      texture.bytes.clear();
      if (texture.unreadable.empty()) texture.unreadable = status->display();
    }
  }
}

}  // namespace vertisift::sample
