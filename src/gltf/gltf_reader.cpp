#include "gltf/gltf_reader.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/pod_vector.h"
#include "base/point3.h"
#include "gltf/draco.h"
#include "gltf/json.h"
#include "gltf/meshopt_decoder.h"
#include "gltf/uri.h"
#include "mesh_io/quote.h"

namespace vertisift::gltf {
namespace {

using base::PodVector;
using base::Point3;
using json::Value;
using mesh_io::Mesh;
using mesh_io::ReadError;

// Design: the document is checked as it is walked, and the walk is deep (node, mesh,
// primitive, accessor, buffer view, buffer), so a fault is thrown from where it is found
// and caught once, in read_gltf, as the model's ReadError.
struct Invalid {
  ReadError error;
};

[[noreturn]] void fail(std::string text) {
  throw Invalid{ReadError::invalid_data("glTF: " + text)};
}

std::string name_of(std::string_view kind, std::size_t index) {
  return std::string(kind) + " " + std::to_string(index);
}

// ---- the JSON tree, read with its types checked ----

const Value* member(const Value& object, std::string_view key) { return object.find(key); }

const Value& object_member(const Value& object, std::string_view key, const std::string& where) {
  const Value* found = object.find(key);
  if (found == nullptr || !found->is_object())
    fail(where + " has no object \"" + std::string(key) + "\"");
  return *found;
}

// The array `key` of `object`: empty when absent; an error when it is something else.
std::span<const Value> array_member(const Value& object, std::string_view key,
                                    const std::string& where) {
  const Value* found = object.find(key);
  if (found == nullptr) return {};
  if (!found->is_array()) fail(where + ": \"" + std::string(key) + "\" is not an array");
  return found->items;
}

// The integer `key` of `object` in [low, high], or `fallback` when absent.
std::optional<std::uint64_t> integer_member(const Value& object, std::string_view key,
                                            const std::string& where, std::uint64_t high,
                                            std::optional<std::uint64_t> fallback = std::nullopt) {
  const Value* found = object.find(key);
  if (found == nullptr) return fallback;
  const std::optional<std::int64_t> value = found->integer();
  if (!value || *value < 0 || static_cast<std::uint64_t>(*value) > high) {
    fail(where + ": \"" + std::string(key) + "\" is not an integer from 0 to " +
         std::to_string(high));
  }
  return static_cast<std::uint64_t>(*value);
}

std::uint64_t required_integer(const Value& object, std::string_view key, const std::string& where,
                               std::uint64_t high) {
  auto value = integer_member(object, key, where, high);
  if (!value) fail(where + " has no \"" + std::string(key) + "\"");
  return *value;
}

// An index into the document's array `of` (`count` items).
std::size_t index_member(const Value& object, std::string_view key, const std::string& where,
                         std::size_t count, std::string_view of) {
  const Value* found = object.find(key);
  if (found == nullptr) fail(where + " has no \"" + std::string(key) + "\"");
  const std::optional<std::int64_t> value = found->integer();
  if (!value || *value < 0 || static_cast<std::uint64_t>(*value) >= count) {
    fail(where + ": \"" + std::string(key) + "\" names no item of \"" + std::string(of) + "\" (" +
         std::to_string(count) + " items)");
  }
  return static_cast<std::size_t>(*value);
}

double number_member(const Value& object, std::string_view key, const std::string& where,
                     double fallback) {
  const Value* found = object.find(key);
  if (found == nullptr) return fallback;
  if (!found->is_number()) fail(where + ": \"" + std::string(key) + "\" is not a number");
  return found->number;
}

// The numbers of the array `key`, exactly `count` of them, or none when it is absent.
bool numbers_member(const Value& object, std::string_view key, const std::string& where,
                    std::span<double> into) {
  const Value* found = object.find(key);
  if (found == nullptr) return false;
  if (!found->is_array() || found->items.size() != into.size()) {
    fail(where + ": \"" + std::string(key) + "\" is not an array of " +
         std::to_string(into.size()) + " numbers");
  }
  for (std::size_t i = 0; i < into.size(); ++i) {
    if (!found->items[i].is_number()) {
      fail(where + ": \"" + std::string(key) + "\" is not an array of numbers");
    }
    into[i] = found->items[i].number;
  }
  return true;
}

const Value* extension(const Value& object, std::string_view name) {
  const Value* extensions = object.find("extensions");
  if (extensions == nullptr || !extensions->is_object()) return nullptr;
  const Value* found = extensions->find(name);
  return found != nullptr && found->is_object() ? found : nullptr;
}

// ---- the container ----

constexpr std::uint32_t GLB_MAGIC = 0x46546c67;  // "glTF"
constexpr std::uint32_t JSON_CHUNK = 0x4e4f534a;
constexpr std::uint32_t BIN_CHUNK = 0x004e4942;

std::uint32_t le32(const std::byte* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  return value;
}

struct Container {
  std::span<const std::byte> json;
  std::optional<std::span<const std::byte>> bin;
};

Container open_container(std::span<const std::byte> file) {
  if (file.size() < 4 || le32(file.data()) != GLB_MAGIC) return {file, std::nullopt};
  if (file.size() < 12) fail("the GLB header ends at byte " + std::to_string(file.size()));
  const std::uint32_t version = le32(file.data() + 4);
  if (version != 2) fail("GLB version " + std::to_string(version) + ", not 2");
  const std::uint64_t length = le32(file.data() + 8);
  if (length > file.size()) {
    fail("the GLB header declares " + std::to_string(length) + " bytes, the file holds " +
         std::to_string(file.size()));
  }
  Container container;
  bool have_json = false;
  std::uint64_t at = 12;
  while (at < length) {
    if (length - at < 8) fail("GLB byte " + std::to_string(at) + ": a chunk header cut short");
    const std::uint64_t size = le32(file.data() + at);
    const std::uint32_t type = le32(file.data() + at + 4);
    if (size > length - at - 8) {
      fail("GLB byte " + std::to_string(at) + ": a chunk of " + std::to_string(size) +
           " bytes past the " + std::to_string(length) + " the header declares");
    }
    std::span<const std::byte> data = file.subspan(at + 8, size);
    if (!have_json) {
      if (type != JSON_CHUNK) fail("the GLB's first chunk is not JSON");
      container.json = data;
      have_json = true;
    } else if (type == BIN_CHUNK && !container.bin) {
      container.bin = data;
    }  // other chunks are skipped, as the format asks
    at += 8 + size;
  }
  if (!have_json) fail("the GLB holds no JSON chunk");
  return container;
}

// ---- the document ----

struct View {
  std::span<const std::byte> bytes;
  std::size_t stride = 0;  // 0: the elements lie packed
};

struct Accessor {
  std::uint32_t component_type = 0;
  std::size_t component_bytes = 0;
  std::size_t components = 0;
  std::uint64_t count = 0;
  bool normalized = false;
};

std::size_t component_size(std::uint64_t type) {
  switch (type) {
    case 5120:
    case 5121: return 1;  // BYTE, UNSIGNED_BYTE
    case 5122:
    case 5123: return 2;  // SHORT, UNSIGNED_SHORT
    case 5125:
    case 5126: return 4;  // UNSIGNED_INT, FLOAT
    default: return 0;
  }
}

std::size_t components_of(std::string_view type) {
  if (type == "SCALAR") return 1;
  if (type == "VEC2") return 2;
  if (type == "VEC3") return 3;
  if (type == "VEC4") return 4;
  if (type == "MAT2") return 4;
  if (type == "MAT3") return 9;
  if (type == "MAT4") return 16;
  return 0;
}

// A component of type T as a float: normalized, divided by T's maximum (signed ones no
// lower than -1), as the format maps them to [-1, 1] or [0, 1].
template <class T>
float scaled(const std::byte* at, bool normalized) {
  T v;
  std::memcpy(&v, at, sizeof v);
  const auto value = static_cast<float>(v);
  if (!normalized) return value;
  const float unit = value / static_cast<float>(std::numeric_limits<T>::max());
  return std::is_signed_v<T> ? std::max(unit, -1.0f) : unit;
}

float component(const std::byte* at, std::uint32_t type, bool normalized) {
  switch (type) {
    case 5120: return scaled<std::int8_t>(at, normalized);
    case 5121: return scaled<std::uint8_t>(at, normalized);
    case 5122: return scaled<std::int16_t>(at, normalized);
    case 5123: return scaled<std::uint16_t>(at, normalized);
    case 5125: return scaled<std::uint32_t>(at, false);
    default: return scaled<float>(at, false);
  }
}

std::uint32_t unsigned_component(const std::byte* at, std::size_t bytes) {
  if (bytes == 1) return static_cast<std::uint32_t>(*at);
  if (bytes == 2) {
    std::uint16_t v;
    std::memcpy(&v, at, 2);
    return v;
  }
  std::uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}

class Document {
 public:
  Document(const Value& root, std::optional<std::span<const std::byte>> bin,
           mesh_io::SideFiles* side_files)
      : root_(root), bin_(bin), side_files_(side_files) {
    buffers_ = array_member(root, "buffers", "the file");
    views_ = array_member(root, "bufferViews", "the file");
    accessors_ = array_member(root, "accessors", "the file");
    loaded_.resize(buffers_.size());
    decoded_.resize(views_.size());
  }

  const Value& root() const { return root_; }
  std::span<const Value> accessors() const { return accessors_; }
  std::span<const Value> views() const { return views_; }

  // The bytes of buffer `index`, loaded once.
  std::span<const std::byte> buffer(std::size_t index) {
    Loaded& loaded = loaded_[index];
    if (loaded.done) return loaded.bytes;
    const std::string where = name_of("buffer", index);
    const Value& buffer = buffers_[index];
    if (!buffer.is_object()) fail(where + " is not an object");
    const std::uint64_t length = required_integer(buffer, "byteLength", where, UINT64_MAX >> 1);
    const Value* uri = member(buffer, "uri");
    std::span<const std::byte> bytes;
    if (uri == nullptr) {
      if (index != 0 || !bin_) {
        fail(where + " has no uri and is not the GLB's binary chunk");
      }
      bytes = *bin_;
    } else {
      if (!uri->is_string()) fail(where + ": \"uri\" is not a string");
      bytes = load_uri(uri->text, where, length, loaded.owned);
    }
    if (bytes.size() < length) {
      fail(where + " holds " + std::to_string(bytes.size()) + " bytes, fewer than its byteLength " +
           std::to_string(length));
    }
    loaded.bytes = bytes.first(length);
    loaded.done = true;
    if (uri != nullptr) hold(length);
    return loaded.bytes;
  }

  View view(std::size_t index) {
    const std::string where = name_of("buffer view", index);
    const Value& view = views_[index];
    if (!view.is_object()) fail(where + " is not an object");
    View result;
    result.stride = integer_member(view, "byteStride", where, 252, 0).value();
    if (result.stride != 0 && (result.stride < 4 || result.stride % 4 != 0)) {
      fail(where + ": byteStride " + std::to_string(result.stride) +
           " is not a multiple of 4 from 4 to 252");
    }
    if (const Value* meshopt = extension(view, "EXT_meshopt_compression")) {
      result.bytes = decompressed(index, *meshopt, where);
      return result;
    }
    const std::size_t buffer = index_member(view, "buffer", where, buffers_.size(), "buffers");
    const std::span<const std::byte> bytes = this->buffer(buffer);
    const std::uint64_t offset =
        integer_member(view, "byteOffset", where, UINT64_MAX >> 1, 0).value();
    const std::uint64_t length = required_integer(view, "byteLength", where, UINT64_MAX >> 1);
    if (offset > bytes.size() || length > bytes.size() - offset) {
      fail(where + " spans bytes " + std::to_string(offset) + " to " +
           std::to_string(offset + length) + " of " + name_of("buffer", buffer) + ", which holds " +
           std::to_string(bytes.size()));
    }
    result.bytes = bytes.subspan(offset, length);
    return result;
  }

  Accessor accessor(std::size_t index) const {
    const std::string where = name_of("accessor", index);
    const Value& accessor = accessors_[index];
    if (!accessor.is_object()) fail(where + " is not an object");
    Accessor result;
    const std::uint64_t type = required_integer(accessor, "componentType", where, 1u << 16);
    result.component_bytes = component_size(type);
    if (result.component_bytes == 0)
      fail(where + ": componentType " + std::to_string(type) + " is not one of glTF's");
    result.component_type = static_cast<std::uint32_t>(type);
    const Value* kind = member(accessor, "type");
    result.components = kind != nullptr && kind->is_string() ? components_of(kind->text) : 0;
    if (result.components == 0)
      fail(where + ": \"type\" is not SCALAR, VEC2 to VEC4 or MAT2 to MAT4");
    result.count = required_integer(accessor, "count", where, UINT32_MAX);
    const Value* normalized = member(accessor, "normalized");
    result.normalized =
        normalized != nullptr && normalized->kind == json::Kind::Boolean && normalized->boolean;
    if (result.normalized && (type == 5125 || type == 5126)) {
      fail(where + " is normalized but its components are not 8- or 16-bit integers");
    }
    return result;
  }

  // The elements of accessor `index` as floats, `components` of them an element (the
  // accessor has that many). With `data`, the elements come from there (decoded Draco data,
  // raw integers as floats) instead of the accessor's buffer view.
  PodVector<float> floats(std::size_t index, std::span<const std::size_t> allowed,
                          const std::string& what, const DracoMesh::Attribute* data = nullptr) {
    const std::string where = name_of("accessor", index) + " (" + what + ")";
    const Accessor a = accessor(index);
    bool fits = false;
    for (std::size_t c : allowed) fits = fits || c == a.components;
    if (!fits) fail(where + " has " + std::to_string(a.components) + " components an element");
    PodVector<float> out;
    float* into = out.extend(a.count * a.components);
    const Value& accessor = accessors_[index];
    if (data != nullptr) {
      if (data->components != a.components || data->values.size() != a.count * a.components) {
        fail(where + ": the Draco data holds " + std::to_string(data->values.size()) +
             " values, not " + std::to_string(a.count) + " elements of " +
             std::to_string(a.components));
      }
      const float scale = !a.normalized              ? 1.0f
                          : a.component_type == 5120 ? 1.0f / 127
                          : a.component_type == 5121 ? 1.0f / 255
                          : a.component_type == 5122 ? 1.0f / 32767
                                                     : 1.0f / 65535;
      const bool is_signed = a.component_type == 5120 || a.component_type == 5122;
      for (std::size_t i = 0; i < out.size(); ++i) {
        const float v = data->values[i] * scale;
        into[i] = a.normalized && is_signed ? std::max(v, -1.0f) : v;
      }
      return out;
    }
    const Value* view_index = member(accessor, "bufferView");
    if (view_index == nullptr) {
      take_zeros(a.count * a.components, where);
      std::fill(into, into + out.size(), 0.0f);
    } else {
      const std::size_t v =
          index_member(accessor, "bufferView", where, views_.size(), "bufferViews");
      const View view = this->view(v);
      const std::uint64_t offset =
          integer_member(accessor, "byteOffset", where, UINT32_MAX, 0).value();
      const std::size_t element = a.component_bytes * a.components;
      const std::size_t stride = view.stride != 0 ? view.stride : element;
      check_span(view.bytes.size(), offset, stride, element, a.count, where, v);
      const std::byte* base = view.bytes.data() + offset;
      for (std::uint64_t i = 0; i < a.count; ++i) {
        const std::byte* at = base + i * stride;
        for (std::size_t c = 0; c < a.components; ++c) {
          into[i * a.components + c] =
              component(at + c * a.component_bytes, a.component_type, a.normalized);
        }
      }
    }
    if (const Value* sparse = member(accessor, "sparse")) apply_sparse(*sparse, a, where, into);
    return out;
  }

  // The elements of a SCALAR accessor of unsigned integers (indices).
  PodVector<std::uint32_t> indices(std::size_t index) {
    const std::string where = name_of("accessor", index) + " (indices)";
    const Accessor a = accessor(index);
    if (a.components != 1 ||
        !(a.component_type == 5121 || a.component_type == 5123 || a.component_type == 5125)) {
      fail(where + " is not a SCALAR of unsigned integers");
    }
    const Value& accessor = accessors_[index];
    PodVector<std::uint32_t> out;
    std::uint32_t* into = out.extend(a.count);
    if (member(accessor, "bufferView") == nullptr) {
      take_zeros(a.count, where);
      std::fill(into, into + a.count, 0u);
    } else {
      const std::size_t v =
          index_member(accessor, "bufferView", where, views_.size(), "bufferViews");
      const View view = this->view(v);
      const std::uint64_t offset =
          integer_member(accessor, "byteOffset", where, UINT32_MAX, 0).value();
      const std::size_t stride = view.stride != 0 ? view.stride : a.component_bytes;
      check_span(view.bytes.size(), offset, stride, a.component_bytes, a.count, where, v);
      const std::byte* base = view.bytes.data() + offset;
      if (stride == a.component_bytes && a.component_bytes == 4) {
        std::memcpy(into, base, a.count * 4);
      } else {
        for (std::uint64_t i = 0; i < a.count; ++i) {
          into[i] = unsigned_component(base + i * stride, a.component_bytes);
        }
      }
    }
    if (const Value* sparse = member(accessor, "sparse")) {
      PodVector<float> values;
      // Indices are rarely sparse: go through floats, exact to 2^24, and check that.
      float* as_float = values.extend(a.count);
      for (std::uint64_t i = 0; i < a.count; ++i) as_float[i] = static_cast<float>(into[i]);
      apply_sparse(*sparse, a, where, as_float);
      for (std::uint64_t i = 0; i < a.count; ++i) into[i] = static_cast<std::uint32_t>(as_float[i]);
    }
    return out;
  }

  // The bytes the file holds: its own, its buffers' and the decoded compressed data.
  std::uint64_t held_bytes() const { return held_bytes_; }
  void hold(std::uint64_t bytes) { held_bytes_ += bytes; }

 private:
  void take_zeros(std::uint64_t values, const std::string& where) {
    if (values > MAX_ZERO_VALUES - zero_values_) {
      fail(where + " has no buffer view and " + std::to_string(values) + " values, past the " +
           std::to_string(MAX_ZERO_VALUES) + " that the file's accessors without one may have");
    }
    zero_values_ += values;
  }

  struct Loaded {
    bool done = false;
    std::span<const std::byte> bytes;
    PodVector<std::byte> owned;
  };

  static void check_span(std::size_t size, std::uint64_t offset, std::size_t stride,
                         std::size_t element, std::uint64_t count, const std::string& where,
                         std::size_t view) {
    if (count == 0) return;
    const std::uint64_t end = offset + (count - 1) * std::uint64_t{stride} + element;
    if (offset > size || end > size) {
      fail(where + ": " + std::to_string(count) + " elements from byte " + std::to_string(offset) +
           " reach byte " + std::to_string(end) + " of " + name_of("buffer view", view) +
           ", which holds " + std::to_string(size));
    }
  }

  void apply_sparse(const Value& sparse, const Accessor& a, const std::string& where, float* into) {
    const std::string at = where + " sparse";
    if (!sparse.is_object()) fail(at + " is not an object");
    const std::uint64_t count = required_integer(sparse, "count", at, a.count);
    if (count == 0) return;
    const Value& indices = object_member(sparse, "indices", at);
    const Value& values = object_member(sparse, "values", at);
    const std::uint64_t index_type = required_integer(indices, "componentType", at, 1u << 16);
    if (index_type != 5121 && index_type != 5123 && index_type != 5125) {
      fail(at + ": its indices are not unsigned integers");
    }
    const std::size_t index_bytes = component_size(index_type);
    const std::size_t iv = index_member(indices, "bufferView", at, views_.size(), "bufferViews");
    const View index_view = view(iv);
    const std::uint64_t index_offset =
        integer_member(indices, "byteOffset", at, UINT32_MAX, 0).value();
    check_span(index_view.bytes.size(), index_offset, index_bytes, index_bytes, count, at, iv);
    const std::size_t vv = index_member(values, "bufferView", at, views_.size(), "bufferViews");
    const View value_view = view(vv);
    const std::uint64_t value_offset =
        integer_member(values, "byteOffset", at, UINT32_MAX, 0).value();
    const std::size_t element = a.component_bytes * a.components;
    check_span(value_view.bytes.size(), value_offset, element, element, count, at, vv);
    for (std::uint64_t k = 0; k < count; ++k) {
      const std::uint32_t target =
          unsigned_component(index_view.bytes.data() + index_offset + k * index_bytes, index_bytes);
      if (target >= a.count) {
        fail(at + ": index " + std::to_string(target) + " is past its " + std::to_string(a.count) +
             " elements");
      }
      const std::byte* from = value_view.bytes.data() + value_offset + k * element;
      for (std::size_t c = 0; c < a.components; ++c) {
        into[target * a.components + c] =
            component(from + c * a.component_bytes, a.component_type, a.normalized);
      }
    }
  }

  std::span<const std::byte> load_uri(const std::string& uri, const std::string& where,
                                      std::uint64_t length, PodVector<std::byte>& owned) {
    if (uri.starts_with("data:")) {
      auto decoded = decode_data_uri(uri);
      if (!decoded.ok()) fail(where + ": " + decoded.error());
      owned = std::move(decoded.value());
      return owned;
    }
    if (side_files_ == nullptr)
      fail(where + ": the file " + mesh_io::quote(uri) + " cannot be opened here");
    const std::string name = percent_decoded(uri);
    auto opened = side_files_->open(name);
    if (!opened.ok()) throw Invalid{std::move(opened.error())};
    mesh_io::FileStream& file = opened.value();
    auto size = file.size();
    if (!size.ok()) throw Invalid{std::move(size.error())};
    if (size.value() < length) {
      fail(where + ": " + mesh_io::quote(name) + " holds " + std::to_string(size.value()) +
           " bytes, fewer than its byteLength " + std::to_string(length));
    }
    std::byte* into = owned.extend(length);
    mesh_io::ReadStatus status = file.exact_read(into, length);
    if (status) throw Invalid{std::move(*status)};
    return owned;
  }

  std::span<const std::byte> decompressed(std::size_t index, const Value& meshopt,
                                          const std::string& where) {
    if (decoded_[index].done) return decoded_[index].bytes;
    const std::string at = where + " EXT_meshopt_compression";
    const std::size_t buffer = index_member(meshopt, "buffer", at, buffers_.size(), "buffers");
    const std::span<const std::byte> bytes = this->buffer(buffer);
    const std::uint64_t offset =
        integer_member(meshopt, "byteOffset", at, UINT64_MAX >> 1, 0).value();
    const std::uint64_t length = required_integer(meshopt, "byteLength", at, UINT64_MAX >> 1);
    if (offset > bytes.size() || length > bytes.size() - offset) {
      fail(at + " spans bytes past the end of " + name_of("buffer", buffer));
    }
    const std::uint64_t stride = required_integer(meshopt, "byteStride", at, 256);
    const std::uint64_t count = required_integer(meshopt, "count", at, UINT32_MAX);
    // No mode expands its data more than about 64 times: a larger claim is refused before
    // anything is sized from it.
    if (stride == 0 || count * stride > 64 * length + 4096) {
      fail(at + ": " + std::to_string(count) + " elements of " + std::to_string(stride) +
           " bytes cannot come from " + std::to_string(length) + " bytes");
    }
    const Value* mode_text = member(meshopt, "mode");
    MeshoptMode mode;
    if (mode_text != nullptr && mode_text->is_string() && mode_text->text == "ATTRIBUTES") {
      mode = MeshoptMode::Attributes;
    } else if (mode_text != nullptr && mode_text->is_string() && mode_text->text == "TRIANGLES") {
      mode = MeshoptMode::Triangles;
    } else if (mode_text != nullptr && mode_text->is_string() && mode_text->text == "INDICES") {
      mode = MeshoptMode::Indices;
    } else {
      fail(at + ": \"mode\" is not ATTRIBUTES, TRIANGLES or INDICES");
    }
    MeshoptFilter filter = MeshoptFilter::None;
    if (const Value* filter_text = member(meshopt, "filter")) {
      const std::string_view name =
          filter_text->is_string() ? std::string_view(filter_text->text) : "";
      if (name == "NONE") {
        filter = MeshoptFilter::None;
      } else if (name == "OCTAHEDRAL") {
        filter = MeshoptFilter::Octahedral;
      } else if (name == "QUATERNION") {
        filter = MeshoptFilter::Quaternion;
      } else if (name == "EXPONENTIAL") {
        filter = MeshoptFilter::Exponential;
      } else {
        fail(at + ": \"filter\" is not NONE, OCTAHEDRAL, QUATERNION or EXPONENTIAL");
      }
    }
    Loaded& decoded = decoded_[index];
    std::byte* into = decoded.owned.extend(count * stride);
    const char* error = decode_meshopt(bytes.subspan(offset, length), count, stride, mode, filter,
                                       std::span<std::byte>(into, count * stride));
    if (error != nullptr) fail(at + ": " + error);
    decoded.bytes = decoded.owned;
    decoded.done = true;
    hold(decoded.bytes.size());
    return decoded.bytes;
  }

  const Value& root_;
  std::optional<std::span<const std::byte>> bin_;
  mesh_io::SideFiles* side_files_;
  std::span<const Value> buffers_;
  std::span<const Value> views_;
  std::span<const Value> accessors_;
  std::vector<Loaded> loaded_;
  std::vector<Loaded> decoded_;
  std::uint64_t held_bytes_ = 0;
  std::uint64_t zero_values_ = 0;
};

// ---- primitives ----

// One primitive in its mesh's coordinates.
struct Primitive {
  std::uint64_t vertices = 0;
  PodVector<float> positions;         // 3 a vertex
  PodVector<float> normals;           // 3 a vertex, or none
  PodVector<float> colors;            // RGBA a vertex, or none
  std::vector<PodVector<float>> uvs;  // per set, 2 a vertex, or none
  PodVector<mesh_io::Triangle> triangles;
  std::vector<PodVector<float>> target_positions;  // per morph target, 3 a vertex or none
  std::vector<PodVector<float>> target_normals;
  // Per set of JOINTS_k and WEIGHTS_k, 4 a vertex (joints as their values).
  std::vector<PodVector<float>> joints;
  std::vector<PodVector<float>> weights;
  std::uint32_t material = 0;  // in Mesh::materials
};

constexpr std::size_t THREE[] = {3};
constexpr std::size_t TWO[] = {2};
constexpr std::size_t FOUR[] = {4};
constexpr std::size_t SIXTEEN[] = {16};
constexpr std::size_t RGB_OR_RGBA[] = {3, 4};
constexpr std::size_t MAX_UV_SETS = 8;

std::optional<std::size_t> semantic_set(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  name.remove_prefix(prefix.size());
  if (name.empty() || name.size() > 2) return std::nullopt;
  std::size_t set = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    set = set * 10 + static_cast<std::size_t>(c - '0');
  }
  return set;
}

class PrimitiveReader {
 public:
  PrimitiveReader(Document& document, std::size_t materials)
      : doc_(document), materials_(materials) {}

  // Mesh `m`'s primitive `p`, or none when it has no surface (counted in `points_or_lines`).
  std::optional<Primitive> read(const Value& primitive, const std::string& where) {
    if (!primitive.is_object()) fail(where + " is not an object");
    const std::uint64_t mode = integer_member(primitive, "mode", where, 6, 4).value();
    if (mode < 4) {
      ++points_or_lines;
      return std::nullopt;
    }
    const Value& attributes = object_member(primitive, "attributes", where);
    const std::size_t accessor_count = doc_.accessors().size();
    Primitive out;
    if (primitive.find("material") != nullptr) {
      out.material = static_cast<std::uint32_t>(
          index_member(primitive, "material", where, materials_, "materials") + 1);
    }
    // Draco: the decoded attributes by their accessor, and the corners.
    std::optional<DracoMesh> draco;
    std::vector<std::pair<std::string, std::uint32_t>> draco_ids;
    if (const Value* compressed = extension(primitive, "KHR_draco_mesh_compression")) {
      draco = decode_draco(*compressed, where, draco_ids);
    }
    const auto read_attribute = [&](const std::string& semantic,
                                    std::span<const std::size_t> allowed) {
      const std::size_t accessor =
          index_member(attributes, semantic, where, accessor_count, "accessors");
      const DracoMesh::Attribute* data = nullptr;
      if (draco) {
        for (const auto& [name, id] : draco_ids) {
          if (name != semantic) continue;
          for (const DracoMesh::Attribute& decoded : draco->attributes) {
            if (decoded.id == id) data = &decoded;
          }
          if (data == nullptr)
            fail(where + ": the Draco data has no attribute " + std::to_string(id));
        }
      }
      return doc_.floats(accessor, allowed, semantic, data);
    };
    if (attributes.find("POSITION") == nullptr) fail(where + " has no POSITION");
    out.positions = read_attribute("POSITION", THREE);
    out.vertices = out.positions.size() / 3;
    const auto check_count = [&](const PodVector<float>& values, std::size_t width,
                                 const std::string& semantic) {
      if (values.size() != out.vertices * width) {
        fail(where + ": " + semantic + " has " + std::to_string(values.size() / width) +
             " elements, POSITION " + std::to_string(out.vertices));
      }
    };
    for (const json::Member& attribute : attributes.members) {
      const std::string& semantic = attribute.key;
      if (semantic == "NORMAL") {
        out.normals = read_attribute(semantic, THREE);
        check_count(out.normals, 3, semantic);
      } else if (semantic == "COLOR_0") {
        const std::size_t accessor =
            index_member(attributes, semantic, where, accessor_count, "accessors");
        const std::size_t width = doc_.accessor(accessor).components;
        PodVector<float> given = read_attribute(semantic, RGB_OR_RGBA);
        check_count(given, width, semantic);
        if (width == 4) {
          out.colors = std::move(given);
        } else {
          float* rgba = out.colors.extend(out.vertices * 4);
          for (std::uint64_t i = 0; i < out.vertices; ++i) {
            std::memcpy(rgba + 4 * i, given.data() + 3 * i, 3 * sizeof(float));
            rgba[4 * i + 3] = 1.0f;
          }
        }
      } else if (auto joints = semantic_set(semantic, "JOINTS_"); joints && *joints < MAX_UV_SETS) {
        if (out.joints.size() <= *joints) out.joints.resize(*joints + 1);
        out.joints[*joints] = read_attribute(semantic, FOUR);
        check_count(out.joints[*joints], 4, semantic);
      } else if (auto weights = semantic_set(semantic, "WEIGHTS_");
                 weights && *weights < MAX_UV_SETS) {
        if (out.weights.size() <= *weights) out.weights.resize(*weights + 1);
        out.weights[*weights] = read_attribute(semantic, FOUR);
        check_count(out.weights[*weights], 4, semantic);
      } else if (auto set = semantic_set(semantic, "TEXCOORD_"); set && *set < MAX_UV_SETS) {
        if (out.uvs.size() <= *set) out.uvs.resize(*set + 1);
        out.uvs[*set] = read_attribute(semantic, TWO);
        check_count(out.uvs[*set], 2, semantic);
      }
    }
    // The corners, then the triangles of the mode.
    PodVector<std::uint32_t> corners;
    if (draco) {
      corners = std::move(draco->corners);
      if (draco->points != out.vertices) {
        fail(where + ": the Draco data has " + std::to_string(draco->points) +
             " points, POSITION " + std::to_string(out.vertices));
      }
    } else if (primitive.find("indices") != nullptr) {
      corners =
          doc_.indices(index_member(primitive, "indices", where, accessor_count, "accessors"));
    } else {
      std::uint32_t* all = corners.extend(out.vertices);
      for (std::uint64_t i = 0; i < out.vertices; ++i) all[i] = static_cast<std::uint32_t>(i);
    }
    for (const std::uint32_t corner : corners) {
      if (corner >= out.vertices) {
        fail(where + ": index " + std::to_string(corner) + " is past its " +
             std::to_string(out.vertices) + " vertices");
      }
    }
    triangulate(corners, mode, out.triangles);
    for (const Value& target : array_member(primitive, "targets", where)) {
      const std::string at = where + " morph target";
      if (!target.is_object()) fail(at + " is not an object");
      PodVector<float>& positions = out.target_positions.emplace_back();
      PodVector<float>& normals = out.target_normals.emplace_back();
      if (target.find("POSITION") != nullptr) {
        positions = doc_.floats(index_member(target, "POSITION", at, accessor_count, "accessors"),
                                THREE, "POSITION");
        check_count(positions, 3, "a morph target's POSITION");
      }
      if (target.find("NORMAL") != nullptr && !out.normals.empty()) {
        normals = doc_.floats(index_member(target, "NORMAL", at, accessor_count, "accessors"),
                              THREE, "NORMAL");
        check_count(normals, 3, "a morph target's NORMAL");
      }
    }
    return out;
  }

  std::uint64_t points_or_lines = 0;

 private:
  static void triangulate(const PodVector<std::uint32_t>& corners, std::uint64_t mode,
                          PodVector<mesh_io::Triangle>& into) {
    const std::size_t n = corners.size();
    if (mode == 4) {
      into.reserve(n / 3);
      for (std::size_t i = 0; i + 2 < n; i += 3) {
        into.push_back({{corners[i], corners[i + 1], corners[i + 2]}});
      }
    } else if (mode == 5) {  // strip: every other triangle turned, so all keep one winding
      for (std::size_t i = 0; i + 2 < n; ++i) {
        if (i % 2 == 0) {
          into.push_back({{corners[i], corners[i + 1], corners[i + 2]}});
        } else {
          into.push_back({{corners[i + 1], corners[i], corners[i + 2]}});
        }
      }
    } else {  // fan
      for (std::size_t i = 1; i + 1 < n; ++i) {
        into.push_back({{corners[0], corners[i], corners[i + 1]}});
      }
    }
  }

  std::optional<DracoMesh> decode_draco(const Value& compressed, const std::string& where,
                                        std::vector<std::pair<std::string, std::uint32_t>>& ids) {
    const std::string at = where + " KHR_draco_mesh_compression";
    const DracoDecoder decoder = draco_decoder();
    if (decoder == nullptr) {
      fail(where + " is compressed with KHR_draco_mesh_compression, which needs a Draco decoder: " +
           DRACO_HINT);
    }
    const std::size_t view =
        index_member(compressed, "bufferView", at, doc_.views().size(), "bufferViews");
    const Value& attributes = object_member(compressed, "attributes", at);
    std::vector<std::uint32_t> wanted;
    for (const json::Member& attribute : attributes.members) {
      const auto id =
          static_cast<std::uint32_t>(required_integer(attributes, attribute.key, at, UINT32_MAX));
      ids.emplace_back(attribute.key, id);
      wanted.push_back(id);
    }
    auto decoded = decoder(doc_.view(view).bytes, wanted);
    if (!decoded.ok()) {
      ReadError error = std::move(decoded.error());
      if (error.kind == mesh_io::ReadErrorKind::InvalidData) {
        error.message = "glTF: " + where + ": " + error.message;
      }
      throw Invalid{std::move(error)};
    }
    std::uint64_t values = decoded.value().corners.size();
    for (const DracoMesh::Attribute& attribute : decoded.value().attributes) {
      values += attribute.values.size();
    }
    doc_.hold(4 * values);
    return std::move(decoded.value());
  }

  Document& doc_;
  std::size_t materials_;
};

// ---- transforms ----

using Matrix = std::array<double, 16>;  // column-major, as glTF writes it

constexpr Matrix IDENTITY = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

Matrix multiply(const Matrix& a, const Matrix& b) {
  Matrix c{};
  for (std::size_t col = 0; col < 4; ++col) {
    for (std::size_t row = 0; row < 4; ++row) {
      double sum = 0;
      for (std::size_t k = 0; k < 4; ++k) sum += a[k * 4 + row] * b[col * 4 + k];
      c[col * 4 + row] = sum;
    }
  }
  return c;
}

Matrix local_transform(const Value& node, const std::string& where) {
  Matrix m = IDENTITY;
  if (numbers_member(node, "matrix", where, m)) return m;
  double t[3] = {0, 0, 0};
  double r[4] = {0, 0, 0, 1};
  double s[3] = {1, 1, 1};
  numbers_member(node, "translation", where, t);
  numbers_member(node, "rotation", where, r);
  numbers_member(node, "scale", where, s);
  const double norm = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3]);
  if (norm > 0) {
    for (double& q : r) q /= norm;
  }
  const double x = r[0], y = r[1], z = r[2], w = r[3];
  const double rotation[9] = {
      1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),
      2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),
      2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y)};
  for (std::size_t col = 0; col < 3; ++col) {
    for (std::size_t row = 0; row < 3; ++row) m[col * 4 + row] = rotation[col * 3 + row] * s[col];
  }
  m[12] = t[0], m[13] = t[1], m[14] = t[2];
  return m;
}

// The upper 3×3's inverse transposed (the normals' matrix), scaled by the determinant's
// sign only (the cofactors): normals need their direction alone.
std::array<double, 9> normal_matrix(const Matrix& m) {
  const auto a = [&](std::size_t row, std::size_t col) { return m[col * 4 + row]; };
  std::array<double, 9> c{};  // c[col * 3 + row]
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t col = 0; col < 3; ++col) {
      const std::size_t r1 = (row + 1) % 3, r2 = (row + 2) % 3, c1 = (col + 1) % 3,
                        c2 = (col + 2) % 3;
      c[col * 3 + row] = a(r1, c1) * a(r2, c2) - a(r1, c2) * a(r2, c1);
    }
  }
  return c;
}

double determinant(const Matrix& m) {
  const auto a = [&](std::size_t row, std::size_t col) { return m[col * 4 + row]; };
  return a(0, 0) * (a(1, 1) * a(2, 2) - a(1, 2) * a(2, 1)) -
         a(0, 1) * (a(1, 0) * a(2, 2) - a(1, 2) * a(2, 0)) +
         a(0, 2) * (a(1, 0) * a(2, 1) - a(1, 1) * a(2, 0));
}

// ---- materials ----

mesh_io::Wrap wrap_of(std::uint64_t mode) {
  if (mode == 33071) return mesh_io::Wrap::ClampToEdge;
  if (mode == 33648) return mesh_io::Wrap::MirroredRepeat;
  return mesh_io::Wrap::Repeat;  // 10497, and any other value
}

class MaterialReader {
 public:
  MaterialReader(Document& document, Mesh& mesh) : doc_(document), mesh_(mesh) {
    textures_ = array_member(document.root(), "textures", "the file");
    images_ = array_member(document.root(), "images", "the file");
    samplers_ = array_member(document.root(), "samplers", "the file");
    image_slots_.assign(images_.size(), -2);
  }

  void read_all() {
    mesh_.materials.emplace_back();  // the default: white, untextured
    const auto materials = array_member(doc_.root(), "materials", "the file");
    for (std::size_t i = 0; i < materials.size(); ++i) {
      const std::string where = name_of("material", i);
      const Value& material = materials[i];
      if (!material.is_object()) fail(where + " is not an object");
      mesh_io::Material& out = mesh_.materials.emplace_back();
      const Value* name = material.find("name");
      out.name = name != nullptr && name->is_string() ? name->text : where;
      const Value* pbr = material.find("pbrMetallicRoughness");
      const Value* specular = extension(material, "KHR_materials_pbrSpecularGlossiness");
      const char* factor = "baseColorFactor";
      const char* texture = "baseColorTexture";
      if ((pbr == nullptr || !pbr->is_object()) && specular != nullptr) {
        pbr = specular;
        factor = "diffuseFactor";
        texture = "diffuseTexture";
      }
      if (pbr == nullptr || !pbr->is_object()) continue;
      double rgba[4] = {1, 1, 1, 1};
      numbers_member(*pbr, factor, where, rgba);
      out.diffuse = {static_cast<float>(rgba[0]), static_cast<float>(rgba[1]),
                     static_cast<float>(rgba[2]), static_cast<float>(rgba[3])};
      if (const Value* info = pbr->find(texture)) read_texture(*info, where, out);
    }
  }

 private:
  void read_texture(const Value& info, const std::string& where, mesh_io::Material& out) {
    if (!info.is_object()) fail(where + ": its base colour texture is not an object");
    const std::size_t t = index_member(info, "index", where, textures_.size(), "textures");
    out.texture_set = static_cast<std::uint8_t>(
        integer_member(info, "texCoord", where, MAX_UV_SETS - 1, 0).value());
    if (const Value* transform = extension(info, "KHR_texture_transform")) {
      double offset[2] = {0, 0};
      double scale[2] = {1, 1};
      numbers_member(*transform, "offset", where, offset);
      numbers_member(*transform, "scale", where, scale);
      out.texture_rotation = static_cast<float>(number_member(*transform, "rotation", where, 0));
      out.texture_offset[0] = static_cast<float>(offset[0]);
      out.texture_offset[1] = static_cast<float>(offset[1]);
      out.texture_scale[0] = static_cast<float>(scale[0]);
      out.texture_scale[1] = static_cast<float>(scale[1]);
      if (transform->find("texCoord") != nullptr) {
        out.texture_set = static_cast<std::uint8_t>(
            integer_member(*transform, "texCoord", where, MAX_UV_SETS - 1, 0).value());
      }
    }
    out.texture_v_down = true;
    const std::string at = name_of("texture", t);
    const Value& texture = textures_[t];
    if (!texture.is_object()) fail(at + " is not an object");
    if (texture.find("sampler") != nullptr) {
      const Value& sampler =
          samplers_[index_member(texture, "sampler", at, samplers_.size(), "samplers")];
      if (sampler.is_object()) {
        out.wrap_u = wrap_of(integer_member(sampler, "wrapS", at, 1u << 16, 10497).value());
        out.wrap_v = wrap_of(integer_member(sampler, "wrapT", at, 1u << 16, 10497).value());
      }
    }
    // The image every viewer reads first, else an extension's (WebP, KTX2).
    const Value* source = &texture;
    if (texture.find("source") == nullptr) {
      for (const char* name : {"EXT_texture_webp", "KHR_texture_basisu", "EXT_texture_avif"}) {
        if (const Value* alternative = extension(texture, name)) {
          source = alternative;
          break;
        }
      }
    }
    if (source->find("source") == nullptr) return;  // no image: the factor alone
    const std::size_t image = index_member(*source, "source", at, images_.size(), "images");
    use_image(image, out);
  }

  void use_image(std::size_t index, mesh_io::Material& out) {
    const std::string where = name_of("image", index);
    const Value& image = images_[index];
    if (!image.is_object()) fail(where + " is not an object");
    const Value* name = image.find("name");
    const Value* uri = image.find("uri");
    if (uri != nullptr && uri->is_string() && !uri->text.starts_with("data:")) {
      out.texture = percent_decoded(uri->text);  // a file, read beside the model
      return;
    }
    out.texture = name != nullptr && name->is_string() && !name->text.empty() ? name->text : where;
    if (image_slots_[index] == -2) {
      mesh_io::Image held;
      if (uri != nullptr && uri->is_string()) {
        auto decoded = decode_data_uri(uri->text);
        if (!decoded.ok()) fail(where + ": " + decoded.error());
        held.bytes = std::move(decoded.value());
      } else if (image.find("bufferView") != nullptr) {
        const View view =
            doc_.view(index_member(image, "bufferView", where, doc_.views().size(), "bufferViews"));
        held.bytes.append(view.bytes.data(), view.bytes.size());
      } else {
        fail(where + " has neither uri nor bufferView");
      }
      image_slots_[index] = static_cast<std::int32_t>(mesh_.images.size());
      mesh_.images.push_back(std::move(held));
    }
    out.image = image_slots_[index];
  }

  Document& doc_;
  Mesh& mesh_;
  std::span<const Value> textures_;
  std::span<const Value> images_;
  std::span<const Value> samplers_;
  std::vector<std::int32_t> image_slots_;  // -2: not read yet
};

// ---- the scene ----

class SceneBuilder {
 public:
  SceneBuilder(Document& document, Mesh& mesh)
      : doc_(document), mesh_(mesh), primitives_(document, mesh.materials.size() - 1) {
    meshes_ = array_member(document.root(), "meshes", "the file");
    nodes_ = array_member(document.root(), "nodes", "the file");
    cache_.resize(meshes_.size());
  }

  void build() {
    const Value& root = doc_.root();
    const auto scenes = array_member(root, "scenes", "the file");
    place_nodes();
    std::vector<std::size_t> roots;
    if (!scenes.empty()) {
      const std::size_t chosen =
          root.find("scene") != nullptr
              ? index_member(root, "scene", "the file", scenes.size(), "scenes")
              : 0;
      const std::string where = name_of("scene", chosen);
      if (!scenes[chosen].is_object()) fail(where + " is not an object");
      for (const Value& node : array_member(scenes[chosen], "nodes", where)) {
        roots.push_back(as_node(node, where));
      }
    } else if (!nodes_.empty()) {
      std::vector<bool> child(nodes_.size(), false);
      for (std::size_t n = 0; n < nodes_.size(); ++n) {
        for (const Value& c : array_member(nodes_[n], "children", name_of("node", n))) {
          child[as_node(c, name_of("node", n))] = true;
        }
      }
      for (std::size_t n = 0; n < nodes_.size(); ++n) {
        if (!child[n]) roots.push_back(n);
      }
    } else {
      for (std::size_t m = 0; m < meshes_.size(); ++m)
        emit(m, IDENTITY, nullptr, name_of("mesh", m), {});
    }
    walk(roots);
    finish();
  }

 private:
  std::size_t as_node(const Value& value, const std::string& where) const {
    const std::optional<std::int64_t> index = value.integer();
    if (!index || *index < 0 || static_cast<std::uint64_t>(*index) >= nodes_.size()) {
      fail(where + " names a node that the file does not have");
    }
    return static_cast<std::size_t>(*index);
  }

  // Every node's transform in the scene's coordinates, from its parents': a node has one
  // parent at most, and no node is its own ancestor.
  void place_nodes() {
    constexpr std::size_t NONE = SIZE_MAX;
    std::vector<std::size_t> parent(nodes_.size(), NONE);
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
      const std::string where = name_of("node", n);
      if (!nodes_[n].is_object()) fail(where + " is not an object");
      for (const Value& c : array_member(nodes_[n], "children", where)) {
        const std::size_t child = as_node(c, where);
        if (parent[child] != NONE || child == n) {
          fail(name_of("node", child) + " has two parents, or is its own");
        }
        parent[child] = n;
      }
    }
    world_.assign(nodes_.size(), IDENTITY);
    std::vector<std::uint8_t> state(nodes_.size(), 0);  // 0 to place, 1 on the chain, 2 placed
    std::vector<std::size_t> chain;
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
      for (std::size_t at = n; at != NONE && state[at] == 0; at = parent[at]) {
        state[at] = 1;
        chain.push_back(at);
      }
      if (!chain.empty() && parent[chain.back()] != NONE && state[parent[chain.back()]] == 1) {
        fail(name_of("node", chain.back()) + " is its own ancestor");
      }
      while (!chain.empty()) {
        const std::size_t at = chain.back();
        chain.pop_back();
        const Matrix local = local_transform(nodes_[at], name_of("node", at));
        world_[at] = parent[at] == NONE ? local : multiply(world_[parent[at]], local);
        state[at] = 2;
      }
    }
  }

  // The scene's nodes in depth-first order, then their meshes: a mesh's primitives are
  // decoded once and let go after the last node that uses it.
  void walk(const std::vector<std::size_t>& roots) {
    std::vector<bool> reached(nodes_.size(), false);
    std::vector<std::size_t> stack(roots.rbegin(), roots.rend());
    std::vector<std::pair<std::size_t, std::size_t>> drawn;  // (node, mesh)
    std::vector<std::size_t> uses(meshes_.size(), 0);
    while (!stack.empty()) {
      const std::size_t n = stack.back();
      stack.pop_back();
      const std::string where = name_of("node", n);
      if (reached[n]) fail(where + " is reached twice in the scene");
      reached[n] = true;
      const Value& node = nodes_[n];
      if (node.find("mesh") != nullptr) {
        const std::size_t m = index_member(node, "mesh", where, meshes_.size(), "meshes");
        drawn.emplace_back(n, m);
        ++uses[m];
      }
      const auto children = array_member(node, "children", where);
      for (auto it = children.rbegin(); it != children.rend(); ++it) {
        stack.push_back(as_node(*it, where));
      }
    }
    for (const auto& [n, m] : drawn) {
      const Value& node = nodes_[n];
      const std::string where = name_of("node", n);
      std::vector<Matrix> joints;
      if (node.find("skin") != nullptr) joints = joint_matrices(node, where);
      emit(m, world_[n], node.find("weights"), where, joints);
      if (--uses[m] == 0) cache_[m].reset();
    }
  }

  // The skin's joint matrices: each joint's transform times its inverse bind matrix.
  std::vector<Matrix> joint_matrices(const Value& node, const std::string& where) {
    const auto skins = array_member(doc_.root(), "skins", "the file");
    const std::size_t s = index_member(node, "skin", where, skins.size(), "skins");
    const std::string at = name_of("skin", s);
    const Value& skin = skins[s];
    if (!skin.is_object()) fail(at + " is not an object");
    const auto joints = array_member(skin, "joints", at);
    PodVector<float> inverse;
    if (skin.find("inverseBindMatrices") != nullptr) {
      inverse = doc_.floats(
          index_member(skin, "inverseBindMatrices", at, doc_.accessors().size(), "accessors"),
          SIXTEEN, "inverseBindMatrices");
      if (inverse.size() < joints.size() * 16)
        fail(at + " has fewer inverse bind matrices than joints");
    }
    std::vector<Matrix> matrices;
    for (std::size_t j = 0; j < joints.size(); ++j) {
      Matrix bind = IDENTITY;
      if (!inverse.empty()) {
        for (std::size_t k = 0; k < 16; ++k) bind[k] = inverse[16 * j + k];
      }
      matrices.push_back(multiply(world_[as_node(joints[j], at)], bind));
    }
    if (matrices.empty()) fail(at + " has no joints");
    return matrices;
  }

  const std::vector<std::optional<Primitive>>& primitives_of(std::size_t m) {
    auto& cached = cache_[m];
    if (cached) return *cached;
    const std::string where = name_of("mesh", m);
    const Value& mesh = meshes_[m];
    if (!mesh.is_object()) fail(where + " is not an object");
    cached.emplace();
    const auto primitives = array_member(mesh, "primitives", where);
    for (std::size_t p = 0; p < primitives.size(); ++p) {
      cached->push_back(primitives_.read(primitives[p], where + " primitive " + std::to_string(p)));
    }
    return *cached;
  }

  void emit(std::size_t m, const Matrix& world, const Value* node_weights, const std::string& where,
            const std::vector<Matrix>& joints) {
    const auto& primitives = primitives_of(m);
    std::vector<double> weights;
    const Value* given = node_weights != nullptr ? node_weights : meshes_[m].find("weights");
    if (given != nullptr && given->is_array()) {
      for (const Value& w : given->items) weights.push_back(w.is_number() ? w.number : 0.0);
    }
    const std::array<double, 9> turn = normal_matrix(world);
    const double det = determinant(world);
    const double sign = det < 0 ? -1.0 : 1.0;
    for (const std::optional<Primitive>& primitive : primitives) {
      if (!primitive) continue;
      const Primitive& p = *primitive;
      const std::uint64_t first = mesh_.positions.size();
      const std::uint64_t allowed =
          std::min<std::uint64_t>(SCENE_ALLOWANCE + SCENE_PER_BYTE * doc_.held_bytes(), UINT32_MAX);
      if (first + p.vertices > allowed || mesh_.triangles.size() + p.triangles.size() > allowed) {
        fail(where + ": the scene would have more than " + std::to_string(allowed) +
             " vertices or triangles, more than its file's bytes allow");
      }
      PodVector<float> positions_storage;
      const float* positions = morphed(p.positions, p.target_positions, weights, positions_storage);
      Point3* placed = mesh_.positions.extend(p.vertices);
      if (!joints.empty() && !p.joints.empty()) {
        skinned_normals_.clear();
        skin(p, joints, positions, morphed(p.normals, p.target_normals, weights, skinned_normals_),
             placed, where);
        append_streams(p, first, nullptr, 1.0, weights);
        append_triangles(p, first, false);
        continue;
      }
      for (std::uint64_t i = 0; i < p.vertices; ++i) {
        const double x = positions[3 * i], y = positions[3 * i + 1], z = positions[3 * i + 2];
        placed[i] = {static_cast<float>(world[0] * x + world[4] * y + world[8] * z + world[12]),
                     static_cast<float>(world[1] * x + world[5] * y + world[9] * z + world[13]),
                     static_cast<float>(world[2] * x + world[6] * y + world[10] * z + world[14])};
      }
      append_streams(p, first, &turn, sign, weights);
      append_triangles(p, first, det < 0);
    }
  }

  // The skinned primitive's vertices (and normals) at its joints' matrices, blended by its
  // weights; a vertex of no weight stays where its mesh puts it.
  void skin(const Primitive& p, const std::vector<Matrix>& joints, const float* positions,
            const float* normals, Point3* placed, const std::string& where) {
    skinned_turned_.clear();
    Point3* turned = p.normals.empty() ? nullptr : skinned_turned_.extend(p.vertices);
    for (std::uint64_t i = 0; i < p.vertices; ++i) {
      Matrix blend{};
      double total = 0;
      for (std::size_t set = 0; set < p.joints.size() && set < p.weights.size(); ++set) {
        if (p.joints[set].empty() || p.weights[set].empty()) continue;
        for (std::size_t k = 0; k < 4; ++k) {
          const double w = p.weights[set][4 * i + k];
          if (w == 0) continue;
          const float joint = p.joints[set][4 * i + k];
          if (!(joint >= 0) || joint >= static_cast<float>(joints.size())) {
            fail(where + ": joint " + std::to_string(joint) + " is past the skin's " +
                 std::to_string(joints.size()));
          }
          const Matrix& j = joints[static_cast<std::size_t>(joint)];
          for (std::size_t e = 0; e < 16; ++e) blend[e] += w * j[e];
          total += w;
        }
      }
      if (total == 0) blend = IDENTITY;
      const double x = positions[3 * i], y = positions[3 * i + 1], z = positions[3 * i + 2];
      placed[i] = {static_cast<float>(blend[0] * x + blend[4] * y + blend[8] * z + blend[12]),
                   static_cast<float>(blend[1] * x + blend[5] * y + blend[9] * z + blend[13]),
                   static_cast<float>(blend[2] * x + blend[6] * y + blend[10] * z + blend[14])};
      if (turned != nullptr) {
        const std::array<double, 9> c = normal_matrix(blend);
        const double sign = determinant(blend) < 0 ? -1.0 : 1.0;
        const double a = normals[3 * i], b = normals[3 * i + 1], d = normals[3 * i + 2];
        turned[i] = {static_cast<float>(sign * (c[0] * a + c[3] * b + c[6] * d)),
                     static_cast<float>(sign * (c[1] * a + c[4] * b + c[7] * d)),
                     static_cast<float>(sign * (c[2] * a + c[5] * b + c[8] * d))};
      }
    }
  }

  // The primitive's normals (turned by `turn`, or the skinned ones), colours and texture
  // coordinates after the vertices from `first` on.
  void append_streams(const Primitive& p, std::uint64_t first, const std::array<double, 9>* turn_in,
                      double sign, const std::vector<double>& weights) {
    {
      if (!p.normals.empty() && turn_in == nullptr) {
        pad(normals_, first, Point3{0, 0, 0});
        normals_.append(skinned_turned_.data(), p.vertices);
      } else if (!p.normals.empty()) {
        const std::array<double, 9>& turn = *turn_in;
        pad(normals_, first, Point3{0, 0, 0});
        PodVector<float> normal_storage;
        const float* normals = morphed(p.normals, p.target_normals, weights, normal_storage);
        Point3* turned = normals_.extend(p.vertices);
        for (std::uint64_t i = 0; i < p.vertices; ++i) {
          const double x = normals[3 * i], y = normals[3 * i + 1], z = normals[3 * i + 2];
          turned[i] = {static_cast<float>(sign * (turn[0] * x + turn[3] * y + turn[6] * z)),
                       static_cast<float>(sign * (turn[1] * x + turn[4] * y + turn[7] * z)),
                       static_cast<float>(sign * (turn[2] * x + turn[5] * y + turn[8] * z))};
        }
      }
      if (!p.colors.empty()) {
        pad(colors_, first, mesh_io::Rgba{});
        colors_.append(reinterpret_cast<const mesh_io::Rgba*>(p.colors.data()), p.vertices);
      }
      if (uvs_.size() < p.uvs.size()) uvs_.resize(p.uvs.size());
      for (std::size_t set = 0; set < p.uvs.size(); ++set) {
        if (p.uvs[set].empty()) continue;
        pad(uvs_[set], first, UV{});
        uvs_[set].append(reinterpret_cast<const UV*>(p.uvs[set].data()), p.vertices);
      }
    }
  }

  void append_triangles(const Primitive& p, std::uint64_t first, bool mirrored) {
    {
      const auto base = static_cast<mesh_io::VertexIndex>(first);
      for (const mesh_io::Triangle& t : p.triangles) {
        if (mirrored) {
          mesh_.triangles.push_back(
              {{t.corners[0] + base, t.corners[2] + base, t.corners[1] + base}});
        } else {
          mesh_.triangles.push_back(
              {{t.corners[0] + base, t.corners[1] + base, t.corners[2] + base}});
        }
      }
      std::fill_n(materials_.extend(p.triangles.size()), p.triangles.size(), p.material);
      if (p.material != 0) any_material_ = true;
    }
  }

  // The attribute at the morph weights: itself when every weight is 0 or it has no targets.
  static const float* morphed(const PodVector<float>& values,
                              const std::vector<PodVector<float>>& targets,
                              const std::vector<double>& weights, PodVector<float>& storage) {
    bool moved = false;
    for (std::size_t t = 0; t < targets.size() && t < weights.size(); ++t) {
      moved = moved || (weights[t] != 0 && !targets[t].empty());
    }
    if (!moved) return values.data();
    storage.append(values.data(), values.size());
    for (std::size_t t = 0; t < targets.size() && t < weights.size(); ++t) {
      if (weights[t] == 0 || targets[t].empty()) continue;
      const auto w = static_cast<float>(weights[t]);
      for (std::size_t i = 0; i < storage.size(); ++i) storage[i] += w * targets[t][i];
    }
    return storage.data();
  }

  template <class T>
  static void pad(PodVector<T>& items, std::size_t count, const T& fill) {
    if (items.size() < count)
      std::fill_n(items.extend(count - items.size()), count - items.size() - 0, fill);
  }

  struct UV {
    float u = 0, v = 0;
  };

  void finish() {
    const std::size_t vertices = mesh_.positions.size();
    if (!normals_.empty()) {
      pad(normals_, vertices, Point3{0, 0, 0});
      mesh_io::add_normals(mesh_, mesh_io::Domain::Vertex, std::move(normals_));
    }
    if (!colors_.empty()) {
      pad(colors_, vertices, mesh_io::Rgba{});
      mesh_io::add_colors(mesh_, std::move(colors_), {});
    }
    for (std::size_t set = 0; set < uvs_.size(); ++set) {
      if (uvs_[set].empty()) continue;
      pad(uvs_[set], vertices, UV{});
      mesh_.streams.push_back(
          mesh_io::make_stream(mesh_io::uv_stream_name(set), mesh_io::Domain::Vertex,
                               mesh_io::Element::Float32, std::move(uvs_[set])));
    }
    if (any_material_) {
      mesh_.streams.push_back(mesh_io::make_stream(std::string(mesh_io::MATERIAL_STREAM),
                                                   mesh_io::Domain::Face, mesh_io::Element::UInt32,
                                                   std::move(materials_)));
    }
    mesh_io::count_ignored(mesh_, "primitive of points or lines", primitives_.points_or_lines);
  }

  Document& doc_;
  Mesh& mesh_;
  PrimitiveReader primitives_;
  std::span<const Value> meshes_;
  std::span<const Value> nodes_;
  std::vector<std::optional<std::vector<std::optional<Primitive>>>> cache_;
  PodVector<Point3> normals_;
  PodVector<mesh_io::Rgba> colors_;
  std::vector<PodVector<UV>> uvs_;
  PodVector<std::uint32_t> materials_;
  bool any_material_ = false;
  std::vector<Matrix> world_;
  PodVector<float> skinned_normals_;
  PodVector<Point3> skinned_turned_;
};

// Extensions that change what the geometry is and that this reader does not read: a file
// that requires one is refused rather than read wrong. Every other required extension is
// read, or changes the appearance alone (materials, lights, texture formats).
bool changes_geometry(std::string_view name) {
  return name == "EXT_mesh_gpu_instancing" || name == "KHR_mesh_quantization_unsupported" ||
         (!name.starts_with("KHR_materials_") && !name.starts_with("KHR_texture_") &&
          !name.starts_with("EXT_texture_") && !name.starts_with("KHR_lights_") &&
          !name.starts_with("MSFT_texture_") && name != "KHR_draco_mesh_compression" &&
          name != "EXT_meshopt_compression" && name != "KHR_mesh_quantization" &&
          name != "KHR_animation_pointer" && name != "KHR_xmp_json_ld");
}

}  // namespace

mesh_io::ReadResult<Mesh> read_gltf(std::span<const std::byte> file,
                                    mesh_io::SideFiles* side_files) {
  try {
    const Container container = open_container(file);
    auto parsed = json::parse(container.json);
    if (!parsed.ok()) fail("the JSON breaks at " + parsed.error());
    const Value& root = parsed.value();
    if (!root.is_object()) fail("the JSON is not an object");
    const Value* asset = root.find("asset");
    if (asset == nullptr || !asset->is_object()) fail("the file has no \"asset\"");
    const Value* version = asset->find("version");
    if (version == nullptr || !version->is_string() || !version->text.starts_with("2.")) {
      fail("the asset's version is not 2.x");
    }
    for (const Value& required : array_member(root, "extensionsRequired", "the file")) {
      if (required.is_string() && changes_geometry(required.text)) {
        fail("the file requires the extension " + mesh_io::quote(required.text) +
             ", which is not read");
      }
    }
    Document document(root, container.bin, side_files);
    document.hold(file.size());
    Mesh mesh;
    MaterialReader(document, mesh).read_all();
    SceneBuilder(document, mesh).build();
    return mesh;
  } catch (Invalid& invalid) {
    return std::move(invalid.error);
  }
}

}  // namespace vertisift::gltf
