// Binary PLY data, either byte order. Records are read straight from the source's blocks;
// one cut across two blocks is put together in a small buffer. Fixed-size vertex records
// and faces of three corners (with fixed-size properties around the list) go through tight
// loops over whole blocks; every other record, a face whose count is not 3 and every face of
// an element with texture coordinates or numbers, goes through the general reading,
// property by property.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "mesh_io/byte_order.h"
#include "ply/ply_body.h"

namespace vertisift::ply {
namespace {

using mesh_io::ReadError;

// The binary data after the header, a block at a time, with the file offset of each byte.
class Cursor {
 public:
  explicit Cursor(mesh_io::LineReader& lines) : lines_(lines), offset_(lines.offset()) {}

  std::size_t available() const { return static_cast<std::size_t>(end_ - at_); }
  const std::byte* at() const { return at_; }
  void advance(std::size_t count) {
    at_ += count;
    offset_ += count;
  }
  // The file offset of at().
  std::uint64_t offset() const { return offset_; }
  // An OS error that ended the data, if one did.
  mesh_io::ReadStatus& failure() { return failure_; }

  // The next `count` bytes in one piece, valid until the next call; null when the data ends
  // (or fails) before them.
  const std::byte* take(std::size_t count) {
    if (available() >= count) {
      const std::byte* bytes = at_;
      advance(count);
      return bytes;
    }
    return take_across(count);
  }

  // Moves past `count` bytes; false when the data ends (or fails) before them.
  bool skip(std::uint64_t count) {
    while (count > 0) {
      if (available() == 0 && !refill()) return false;
      const std::size_t part =
          static_cast<std::size_t>(std::min<std::uint64_t>(count, available()));
      advance(part);
      count -= part;
    }
    return true;
  }

  // The next block when the current one is used up; false at the end of the data.
  bool refill() {
    auto got = lines_.next_bytes();
    if (!got.ok()) {
      failure_ = std::move(got.error());
      return false;
    }
    const std::span<const std::byte> block = got.value();
    if (block.empty()) return false;
    at_ = block.data();
    end_ = at_ + block.size();
    offset_ = lines_.offset() - block.size();
    return true;
  }

 private:
  const std::byte* take_across(std::size_t count) {
    carry_.assign(at_, end_);
    advance(available());
    while (carry_.size() < count) {
      if (!refill()) return nullptr;
      const std::size_t part = std::min(count - carry_.size(), available());
      carry_.insert(carry_.end(), at_, at_ + part);
      advance(part);
    }
    return carry_.data();
  }

  mesh_io::LineReader& lines_;
  const std::byte* at_ = nullptr;
  const std::byte* end_ = nullptr;
  std::uint64_t offset_;
  std::vector<std::byte> carry_;
  mesh_io::ReadStatus failure_;
};

using mesh_io::load;

std::int64_t load_integer(const std::byte* bytes, ScalarType type, std::endian order) {
  switch (type) {
    case ScalarType::Int8: return load<std::int8_t>(bytes, order);
    case ScalarType::Uint8: return load<std::uint8_t>(bytes, order);
    case ScalarType::Int16: return load<std::int16_t>(bytes, order);
    case ScalarType::Uint16: return load<std::uint16_t>(bytes, order);
    case ScalarType::Int32: return load<std::int32_t>(bytes, order);
    case ScalarType::Uint32: return load<std::uint32_t>(bytes, order);
    case ScalarType::Float32:
    case ScalarType::Float64: break;  // the header admits no floating-point counts or corners
  }
  return 0;
}

// A scalar of any type as the nearest float.
float load_float(const std::byte* bytes, ScalarType type, std::endian order) {
  switch (type) {
    case ScalarType::Float32: return load<float>(bytes, order);
    case ScalarType::Float64: return static_cast<float>(load<double>(bytes, order));
    default: return static_cast<float>(load_integer(bytes, type, order));
  }
}

// A colour component of any type: an integer scaled, a floating-point value as stored.
float load_color(const std::byte* bytes, ScalarType type, std::endian order) {
  if (is_integer(type)) return color_component(load_integer(bytes, type, order), type);
  return load_float(bytes, type, order);
}

// Where the records of one layout keep their colour: the offset and type of each component,
// red, green, blue and alpha in that order.
struct ColorLayout {
  std::size_t offsets[4] = {};
  ScalarType types[4] = {};
  int components = 0;  // 0 without colour, 3, or 4 with alpha
  bool bytes = true;   // every component a uchar, as most writers store them

  void add(const Property& property, std::size_t offset) {
    const int component = static_cast<int>(property.role) - static_cast<int>(Role::Red);
    offsets[component] = offset;
    types[component] = property.type;
    components = std::max(components, component + 1);
    bytes = bytes && property.type == ScalarType::Uint8;
  }
  mesh_io::Rgba decode(const std::byte* record, std::endian order) const {
    float values[4] = {1, 1, 1, 1};
    if (bytes) {
      // color_component's quotient, without its branches.
      for (int component = 0; component < components; ++component) {
        values[component] = static_cast<float>(std::to_integer<int>(record[offsets[component]])) /
                            static_cast<float>(UINT8_MAX);
      }
    } else {
      for (int component = 0; component < components; ++component) {
        values[component] = load_color(record + offsets[component], types[component], order);
      }
    }
    return {values[0], values[1], values[2], values[3]};
  }
  // The colours of `count` records of `size` bytes from `record` on, into `colors`.
  void decode_run(const std::byte* record, std::size_t count, std::size_t size, std::endian order,
                  mesh_io::Rgba* colors) const {
    for (std::size_t i = 0; i < count; ++i, record += size) colors[i] = decode(record, order);
  }
};

class RecordReader {
 public:
  RecordReader(mesh_io::LineReader& lines, const Header& header, MeshBuilder& builder)
      : cursor_(lines),
        builder_(builder),
        order_(header.format == Format::BinaryBigEndian ? std::endian::big : std::endian::little) {}

  mesh_io::ReadStatus read(const Element& element) {
    std::size_t fixed_size = 0;
    bool fixed = true;
    for (const Property& property : element.properties) {
      if (property.is_list) fixed = false;
      fixed_size += scalar_size(property.type);
    }
    if (fixed && element.kind == ElementKind::Other) return skip_fixed(element, fixed_size);
    if (fixed && element.kind == ElementKind::Vertex) return read_vertices(element, fixed_size);
    if (element.kind == ElementKind::Face) return read_faces(element);
    for (std::uint64_t record = 0; record < element.count; ++record) {
      if (auto failure = read_general(element, record)) return failure;
    }
    return std::nullopt;
  }

 private:
  ReadError ends(const Element& element, std::uint64_t record) {
    if (cursor_.failure()) return std::move(*cursor_.failure());
    return ends_in("byte " + std::to_string(cursor_.offset()), record, element);
  }
  ReadError error(std::uint64_t offset, const std::string& what) const {
    return ReadError::invalid_data("PLY byte " + std::to_string(offset) + ": " + what);
  }

  mesh_io::ReadStatus skip_fixed(const Element& element, std::size_t size) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(element.count, size, &total)) total = UINT64_MAX;
    const std::uint64_t start = cursor_.offset();
    if (!cursor_.skip(total)) return ends(element, (cursor_.offset() - start) / size);
    return std::nullopt;
  }

  // One record of any element, property by property.
  mesh_io::ReadStatus read_general(const Element& element, std::uint64_t record) {
    float values[ROLE_COUNT] = {};              // by Role
    values[static_cast<int>(Role::Alpha)] = 1;  // unless the element has one
    for (const Property& property : element.properties) {
      if (!property.is_list) {
        const std::byte* bytes = cursor_.take(scalar_size(property.type));
        if (bytes == nullptr) return ends(element, record);
        if (property.role != Role::None) {
          values[static_cast<int>(property.role)] = is_color(property.role)
                                                        ? load_color(bytes, property.type, order_)
                                                        : load_float(bytes, property.type, order_);
        }
        continue;
      }
      const std::uint64_t count_at = cursor_.offset();
      const std::byte* bytes = cursor_.take(scalar_size(property.count_type));
      if (bytes == nullptr) return ends(element, record);
      const std::int64_t count = load_integer(bytes, property.count_type, order_);
      if (count < 0) {
        return error(count_at, "negative count " + std::to_string(count) + " of list " +
                                   property.name + " in " + element.name + " " +
                                   std::to_string(record));
      }
      const std::size_t item_size = scalar_size(property.type);
      if (property.role == Role::TexCoords) {
        builder_.begin_face_uvs();
        for (std::int64_t item = 0; item < count; ++item) {
          bytes = cursor_.take(item_size);
          if (bytes == nullptr) return ends(element, record);
          builder_.add_face_uv(load_float(bytes, property.type, order_));
        }
        continue;
      }
      if (property.role != Role::Corners) {
        if (!cursor_.skip(static_cast<std::uint64_t>(count) * item_size)) {
          return ends(element, record);
        }
        continue;
      }
      builder_.begin_corners();
      for (std::int64_t item = 0; item < count; ++item) {
        const std::uint64_t item_at = cursor_.offset();
        bytes = cursor_.take(item_size);
        if (bytes == nullptr) return ends(element, record);
        const std::int64_t index = load_integer(bytes, property.type, order_);
        if (!builder_.add_corner(index, element.kind)) {
          return error(item_at, builder_.bad_corner(index) + " in " + element.name + " " +
                                    std::to_string(record));
        }
      }
      builder_.end_corners(element.kind);
    }
    builder_.end_record(element, values);
    if (element.has_textures()) [[unlikely]]
      builder_.end_textures(element, values);
    return std::nullopt;
  }

  // Vertex records of `size` bytes each: whole blocks at a time.
  mesh_io::ReadStatus read_vertices(const Element& element, std::size_t size) {
    std::size_t offsets[ROLE_COUNT] = {};
    ScalarType types[ROLE_COUNT] = {};
    ColorLayout colors;
    std::size_t uv_offsets[2] = {};
    ScalarType uv_types[2] = {};
    std::size_t at = 0;
    bool plain_floats = order_ == std::endian::native;
    for (const Property& property : element.properties) {
      const auto role = static_cast<int>(property.role);
      if (is_color(property.role)) {
        colors.add(property, at);
      } else if (property.role == Role::U || property.role == Role::V) {
        const int component = property.role == Role::U ? 0 : 1;
        uv_offsets[component] = at;
        uv_types[component] = property.type;
      } else if (property.role != Role::None) {
        offsets[role] = at;
        types[role] = property.type;
        plain_floats = plain_floats && property.type == ScalarType::Float32;
      }
      at += scalar_size(property.type);
    }
    const int roles = element.has_normals ? 6 : 3;
    mesh_io::Mesh& mesh = builder_.mesh();
    auto decode = [&](const std::byte* record, base::Point3& position, base::Point3* normal) {
      float values[7];
      if (plain_floats) {
        for (int role = 1; role <= roles; ++role) {
          values[role] = load<float>(record + offsets[role], std::endian::native);
        }
      } else {
        for (int role = 1; role <= roles; ++role) {
          values[role] = load_float(record + offsets[role], types[role], order_);
        }
      }
      position = {values[1], values[2], values[3]};
      if (normal != nullptr) *normal = {values[4], values[5], values[6]};
    };
    auto decode_uv = [&](const std::byte* record) {
      return Uv{load_float(record + uv_offsets[0], uv_types[0], order_),
                load_float(record + uv_offsets[1], uv_types[1], order_)};
    };
    std::uint64_t done = 0;
    while (done < element.count) {
      const std::size_t whole = static_cast<std::size_t>(
          std::min<std::uint64_t>(cursor_.available() / size, element.count - done));
      if (whole == 0) {
        const std::byte* record = cursor_.take(size);
        if (record == nullptr) return ends(element, done);
        base::Point3 position, normal;
        decode(record, position, &normal);
        mesh.positions.push_back(position);
        if (element.has_normals) builder_.normals().push_back(normal);
        if (element.has_colors) builder_.colors().push_back(colors.decode(record, order_));
        if (element.has_uvs) builder_.uvs().push_back(decode_uv(record));
        ++done;
        continue;
      }
      // The block proves these records are there: room for them all at once.
      const std::size_t first = mesh.positions.size();
      mesh.positions.resize_zeroed(first + whole);
      if (element.has_normals) builder_.normals().resize_zeroed(first + whole);
      const std::byte* record = cursor_.at();
      base::Point3* positions = mesh.positions.data() + first;
      base::Point3* normals = element.has_normals ? builder_.normals().data() + first : nullptr;
      for (std::size_t i = 0; i < whole; ++i, record += size) {
        decode(record, positions[i], normals != nullptr ? normals + i : nullptr);
      }
      // Colours in a pass of their own, so that the loop above is the same without them.
      if (element.has_colors) {
        colors.decode_run(cursor_.at(), whole, size, order_, builder_.colors().extend(whole));
      }
      if (element.has_uvs) {
        Uv* uvs = builder_.uvs().extend(whole);
        record = cursor_.at();
        for (std::size_t i = 0; i < whole; ++i, record += size) uvs[i] = decode_uv(record);
      }
      cursor_.advance(whole * size);
      done += whole;
    }
    return std::nullopt;
  }

  // Faces: a record whose list holds 3 corners and whose other properties are scalars is
  // read in place; any other goes through read_general.
  mesh_io::ReadStatus read_faces(const Element& element) {
    std::size_t before = 0, after = 0;
    const Property* list = nullptr;
    bool simple = true;
    // Where a record of three corners keeps its colour.
    ColorLayout colors;
    for (const Property& property : element.properties) {
      if (property.role == Role::Corners) {
        list = &property;
      } else if (property.is_list || property.role == Role::TexNumber) {
        simple = false;
      } else {
        if (is_color(property.role)) {
          colors.add(property, list == nullptr ? before
                                               : before + scalar_size(list->count_type) +
                                                     3 * scalar_size(list->type) + after);
        }
        (list == nullptr ? before : after) += scalar_size(property.type);
      }
    }
    if (!simple) {
      for (std::uint64_t record = 0; record < element.count; ++record) {
        if (auto failure = read_general(element, record)) return failure;
      }
      return std::nullopt;
    }
    if (list->count_type == ScalarType::Uint8 && order_ == std::endian::native &&
        (list->type == ScalarType::Int32 || list->type == ScalarType::Uint32)) {
      return read_triangles(
          element, before, after, 1, 4,
          [](const std::byte* bytes) { return static_cast<std::int64_t>(bytes[0]); },
          [](const std::byte* bytes) {
            return static_cast<std::int64_t>(load<std::int32_t>(bytes, std::endian::native));
          },
          list->type == ScalarType::Uint32, colors);
    }
    const std::endian order = order_;
    return read_triangles(
        element, before, after, scalar_size(list->count_type), scalar_size(list->type),
        [&](const std::byte* bytes) { return load_integer(bytes, list->count_type, order); },
        [&](const std::byte* bytes) { return load_integer(bytes, list->type, order); }, false,
        colors);
  }

  // `as_unsigned`: the items were loaded as int32 but are uint32 (the same bits). `colors`:
  // where a record of three corners keeps its colour, if it has one.
  template <class LoadCount, class LoadIndex>
  mesh_io::ReadStatus read_triangles(const Element& element, std::size_t before, std::size_t after,
                                     std::size_t count_size, std::size_t index_size,
                                     LoadCount load_count, LoadIndex load_index, bool as_unsigned,
                                     const ColorLayout& colors) {
    const std::size_t size = before + count_size + 3 * index_size + after;
    const std::uint64_t vertex_count = builder_.vertex_count();
    mesh_io::Mesh& mesh = builder_.mesh();
    std::uint64_t done = 0;
    while (done < element.count) {
      const std::byte* record = cursor_.at();
      const std::byte* end = record + cursor_.available();
      for (; done < element.count && static_cast<std::size_t>(end - record) >= size;
           record += size, ++done) {
        const std::byte* bytes = record + before;
        if (load_count(bytes) != 3) break;
        bytes += count_size;
        std::uint64_t corners[3];
        for (int k = 0; k < 3; ++k) {
          const std::int64_t index = load_index(bytes + static_cast<std::size_t>(k) * index_size);
          corners[k] =
              as_unsigned ? static_cast<std::uint32_t>(index) : static_cast<std::uint64_t>(index);
        }
        // A negative index, as unsigned, is out of range as well.
        if (corners[0] >= vertex_count || corners[1] >= vertex_count ||
            corners[2] >= vertex_count) {
          break;
        }
        mesh.triangles.push_back(
            {{static_cast<std::uint32_t>(corners[0]), static_cast<std::uint32_t>(corners[1]),
              static_cast<std::uint32_t>(corners[2])}});
      }
      // One triangle a record read in place: their colours in a pass of their own, so that
      // the loop above is the same without them.
      if (colors.components != 0) {
        const std::size_t read = static_cast<std::size_t>(record - cursor_.at()) / size;
        colors.decode_run(cursor_.at(), read, size, order_, builder_.face_colors().extend(read));
      }
      cursor_.advance(static_cast<std::size_t>(record - cursor_.at()));
      if (done == element.count) break;
      if (cursor_.available() == 0 && !cursor_.refill()) return ends(element, done);
      // A record cut by the block's end, of another count or with a bad index.
      if (auto failure = read_general(element, done)) return failure;
      ++done;
    }
    return std::nullopt;
  }

  Cursor cursor_;
  MeshBuilder& builder_;
  const std::endian order_;
};

}  // namespace

mesh_io::ReadStatus read_binary_body(mesh_io::LineReader& lines, const Header& header,
                                     MeshBuilder& builder) {
  RecordReader records(lines, header, builder);
  for (const Element& element : header.elements) {
    if (auto failure = records.read(element)) return failure;
  }
  return std::nullopt;
}

}  // namespace vertisift::ply
