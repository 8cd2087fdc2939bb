// The three codecs and the filters of EXT_meshopt_compression. Each codec walks a cursor
// over the compressed bytes and checks, before each read, that the bytes are there and do
// not reach into the codec's tail; the output is written only at indices below count,
// whose size the entry point checks first. No allocation: the codecs' state (one element,
// two small FIFOs) lives on the stack.
#include "gltf/meshopt_decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vertisift::gltf {
namespace {

constexpr std::size_t kMaxAttributeStride = 256;
constexpr std::size_t kAttributeTail = 32;
constexpr std::size_t kGroup = 16;
constexpr const char* kEndsEarly = "meshopt data ends early";

std::uint8_t unzigzag8(std::uint8_t v) {
  return static_cast<std::uint8_t>((v & 1) != 0 ? ~(v >> 1) : (v >> 1));
}

std::uint32_t unzigzag32(std::uint32_t v) { return (v & 1) != 0 ? ~(v >> 1) : (v >> 1); }

// Reads one group's 16 deltas of `bits` bits (2, 4 or 8) at `pos`, values past the bit
// fields read from the sentinel bytes that follow. False when the bytes run past `end`.
bool read_group(const std::uint8_t* data, std::size_t end, std::size_t& pos, unsigned bits,
                std::uint8_t* deltas) {
  if (bits == 8) {
    if (end - pos < kGroup) return false;
    std::memcpy(deltas, data + pos, kGroup);
    pos += kGroup;
    return true;
  }
  const std::size_t packed = kGroup * bits / 8;
  if (end - pos < packed) return false;
  const unsigned sentinel = (1U << bits) - 1;
  const unsigned per_byte = 8 / bits;
  std::size_t extra = pos + packed;
  for (std::size_t i = 0; i < kGroup; ++i) {
    const unsigned byte = data[pos + i / per_byte];
    const unsigned shift = 8 - bits * static_cast<unsigned>(i % per_byte + 1);
    const unsigned v = (byte >> shift) & sentinel;
    if (v == sentinel) {
      if (extra >= end) return false;
      deltas[i] = data[extra++];
    } else {
      deltas[i] = static_cast<std::uint8_t>(v);
    }
  }
  pos = extra;
  return true;
}

const char* decode_attributes(const std::uint8_t* data, std::size_t size, std::size_t count,
                              std::size_t stride, std::uint8_t* out) {
  if (stride == 0 || stride % 4 != 0 || stride > kMaxAttributeStride)
    return "stride is not valid for the ATTRIBUTES mode (a multiple of 4, at most 256)";
  const std::size_t tail = std::max(stride, kAttributeTail);
  if (size < 1 + tail) return kEndsEarly;
  if (data[0] != 0xA0) return "meshopt attribute data has an unknown header byte";
  const std::size_t end = size - tail;
  std::array<std::uint8_t, kMaxAttributeStride> last{};
  std::memcpy(last.data(), data + size - stride, stride);

  const std::size_t max_block = std::min<std::size_t>((8192 / stride) & ~std::size_t{15}, 256);
  std::array<std::uint8_t, 256> deltas{};
  std::size_t pos = 1;
  for (std::size_t first = 0; first < count; first += max_block) {
    const std::size_t elements = std::min(count - first, max_block);
    const std::size_t groups = (elements + kGroup - 1) / kGroup;
    const std::size_t header_bytes = (groups + 3) / 4;
    for (std::size_t k = 0; k < stride; ++k) {
      if (end - pos < header_bytes) return kEndsEarly;
      const std::size_t header = pos;
      pos += header_bytes;
      for (std::size_t g = 0; g < groups; ++g) {
        const unsigned mode = (data[header + g / 4] >> (2 * (g % 4))) & 3U;
        std::uint8_t* group = deltas.data() + g * kGroup;
        if (mode == 0) {
          std::memset(group, 0, kGroup);
        } else if (!read_group(data, end, pos, mode == 1 ? 2 : mode == 2 ? 4 : 8, group)) {
          return kEndsEarly;
        }
      }
      std::uint8_t value = last[k];
      std::uint8_t* dst = out + first * stride + k;
      for (std::size_t i = 0; i < elements; ++i) {
        value = static_cast<std::uint8_t>(value + unzigzag8(deltas[i]));
        dst[i * stride] = value;
      }
      last[k] = value;
    }
  }
  return nullptr;
}

// A cursor over a codec's variable-length part, which must end before `end`.
struct Reader {
  const std::uint8_t* data;
  std::size_t pos;
  std::size_t end;
  bool ok = true;

  std::uint8_t byte() {
    if (pos >= end) {
      ok = false;
      return 0;
    }
    return data[pos++];
  }
  // An unsigned LEB128 value of at most 32 bits.
  std::uint32_t varint() {
    std::uint32_t value = 0;
    for (unsigned shift = 0; shift < 35; shift += 7) {
      const std::uint8_t b = byte();
      value |= static_cast<std::uint32_t>(b & 0x7FU) << shift;
      if ((b & 0x80U) == 0) return value;
    }
    ok = false;
    return 0;
  }
};

void store_index(std::uint8_t* out, std::size_t stride, std::size_t i, std::uint32_t v) {
  if (stride == 2) {
    const auto v16 = static_cast<std::uint16_t>(v);
    std::memcpy(out + i * 2, &v16, 2);
  } else {
    std::memcpy(out + i * 4, &v, 4);
  }
}

const char* decode_triangles(const std::uint8_t* data, std::size_t size, std::size_t count,
                             std::size_t stride, std::uint8_t* out) {
  if (stride != 2 && stride != 4) return "stride is not valid for the TRIANGLES mode (2 or 4)";
  if (count % 3 != 0) return "the TRIANGLES mode needs a count divisible by 3";
  const std::size_t triangles = count / 3;
  constexpr std::size_t kTail = 16;
  if (size < 1 + kTail || size - 1 - kTail < triangles) return kEndsEarly;
  if (data[0] != 0xE1) return "meshopt triangle data has an unknown header byte";
  const std::uint8_t* codeaux = data + size - kTail;
  const std::uint8_t* codes = data + 1;
  Reader in{data, 1 + triangles, size - kTail};

  std::array<std::array<std::uint32_t, 2>, 16> edges{};
  std::array<std::uint32_t, 16> vertices{};
  std::size_t edge_top = 0;
  std::size_t vertex_top = 0;
  std::uint32_t next = 0;
  std::uint32_t last = 0;
  auto push_edge = [&](std::uint32_t a, std::uint32_t b) { edges[edge_top++ & 15] = {a, b}; };
  auto push_vertex = [&](std::uint32_t v) { vertices[vertex_top++ & 15] = v; };
  auto vertex_at = [&](unsigned i) { return vertices[(vertex_top - 1 - i) & 15]; };
  auto decode_index = [&]() { return last += unzigzag32(in.varint()); };

  for (std::size_t t = 0; t < triangles; ++t) {
    const unsigned code = codes[t];
    const unsigned hi = code >> 4;
    const unsigned lo = code & 15U;
    std::uint32_t a = 0, b = 0, c = 0;
    if (hi < 0xF) {
      const auto& edge = edges[(edge_top - 1 - hi) & 15];
      a = edge[0];
      b = edge[1];
      if (lo == 0) {
        c = next++;
        push_vertex(c);
      } else if (lo < 0xD) {
        c = vertex_at(lo);
      } else if (lo < 0xF) {
        c = last = lo == 0xD ? last - 1 : last + 1;
        push_vertex(c);
      } else {
        c = decode_index();
        push_vertex(c);
      }
      push_edge(c, b);
      push_edge(a, c);
    } else {
      unsigned zw = 0;
      if (lo < 0xE) {
        zw = codeaux[lo];
        a = next++;
      } else {
        zw = in.byte();
        if (zw == 0) next = 0;
        a = lo == 0xE ? next++ : decode_index();
      }
      const unsigned z = zw >> 4;
      const unsigned w = zw & 15U;
      const bool explicit_path = lo >= 0xE;
      // Each of b and c: a new vertex, one from the FIFO (looked up before a, b are pushed),
      // or, on the explicit path only, an index of its own.
      const bool b_new = z == 0 || (explicit_path && z == 0xF);
      const bool c_new = w == 0 || (explicit_path && w == 0xF);
      b = z == 0 ? next++ : (explicit_path && z == 0xF) ? decode_index() : vertex_at(z - 1);
      c = w == 0 ? next++ : (explicit_path && w == 0xF) ? decode_index() : vertex_at(w - 1);
      push_vertex(a);
      if (b_new) push_vertex(b);
      if (c_new) push_vertex(c);
      push_edge(b, a);
      push_edge(c, b);
      push_edge(a, c);
    }
    if (!in.ok) return kEndsEarly;
    store_index(out, stride, t * 3, a);
    store_index(out, stride, t * 3 + 1, b);
    store_index(out, stride, t * 3 + 2, c);
  }
  if (in.pos != in.end) return "meshopt triangle data has bytes left over";
  return nullptr;
}

const char* decode_indices(const std::uint8_t* data, std::size_t size, std::size_t count,
                           std::size_t stride, std::uint8_t* out) {
  if (stride != 2 && stride != 4) return "stride is not valid for the INDICES mode (2 or 4)";
  constexpr std::size_t kTail = 4;
  if (size < 1 + kTail) return kEndsEarly;
  if (data[0] != 0xD1) return "meshopt index data has an unknown header byte";
  Reader in{data, 1, size - kTail};
  std::array<std::uint32_t, 2> last{};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t v = in.varint();
    if (!in.ok) return kEndsEarly;
    const std::uint32_t delta = (v & 2) != 0 ? ~(v >> 2) : (v >> 2);
    store_index(out, stride, i, last[v & 1] += delta);
  }
  if (in.pos != in.end) return "meshopt index data has bytes left over";
  return nullptr;
}

// A float in [-limit, limit] rounded to the nearest integer; NaN (from a zero "one") is 0.
long rounded(float v, float limit) {
  if (!(v == v)) return 0;
  return std::lround(std::clamp(v, -limit, limit));
}

template <typename T>
void octahedral(std::uint8_t* data, std::size_t count) {
  constexpr float kMax = sizeof(T) == 1 ? 127.0F : 32767.0F;
  for (std::size_t i = 0; i < count; ++i) {
    std::array<T, 4> v{};
    std::memcpy(v.data(), data + i * sizeof v, sizeof v);
    const float one = v[2];
    float x = static_cast<float>(v[0]) / one;
    float y = static_cast<float>(v[1]) / one;
    const float z = 1.0F - std::fabs(x) - std::fabs(y);
    const float t = std::min(z, 0.0F);
    x -= std::copysign(t, x);
    y -= std::copysign(t, y);
    const float scale = kMax / std::sqrt(x * x + y * y + z * z);
    v[0] = static_cast<T>(rounded(x * scale, kMax));
    v[1] = static_cast<T>(rounded(y * scale, kMax));
    v[2] = static_cast<T>(rounded(z * scale, kMax));
    std::memcpy(data + i * sizeof v, v.data(), sizeof v);
  }
}

void quaternion(std::uint8_t* data, std::size_t count) {
  const float range = 1.0F / std::sqrt(2.0F);
  for (std::size_t i = 0; i < count; ++i) {
    std::array<std::int16_t, 4> v{};
    std::memcpy(v.data(), data + i * 8, 8);
    const float scale = range / static_cast<float>(v[3] | 3);
    const float x = static_cast<float>(v[0]) * scale;
    const float y = static_cast<float>(v[1]) * scale;
    const float z = static_cast<float>(v[2]) * scale;
    const float w = std::sqrt(std::max(0.0F, 1.0F - x * x - y * y - z * z));
    const unsigned max_component = static_cast<unsigned>(v[3]) & 3U;
    std::array<std::int16_t, 4> q{};
    q[(max_component + 1) & 3] = static_cast<std::int16_t>(rounded(x * 32767.0F, 32767.0F));
    q[(max_component + 2) & 3] = static_cast<std::int16_t>(rounded(y * 32767.0F, 32767.0F));
    q[(max_component + 3) & 3] = static_cast<std::int16_t>(rounded(z * 32767.0F, 32767.0F));
    q[max_component] = static_cast<std::int16_t>(rounded(w * 32767.0F, 32767.0F));
    std::memcpy(data + i * 8, q.data(), 8);
  }
}

void exponential(std::uint8_t* data, std::size_t words) {
  for (std::size_t i = 0; i < words; ++i) {
    std::uint32_t u = 0;
    std::memcpy(&u, data + i * 4, 4);
    const auto v = static_cast<std::int32_t>(u);
    const int e = v >> 24;
    const auto m = static_cast<std::int32_t>(u << 8) >> 8;
    const float f = std::ldexp(static_cast<float>(m), e);
    std::memcpy(data + i * 4, &f, 4);
  }
}

}  // namespace

const char* decode_meshopt(std::span<const std::byte> data, std::size_t count, std::size_t stride,
                           MeshoptMode mode, MeshoptFilter filter, std::span<std::byte> out) {
  if (stride == 0) return "meshopt stride is 0";
  if (count > out.size() / stride || count * stride != out.size())
    return "meshopt output size is not count times stride";
  if (mode != MeshoptMode::Attributes && filter != MeshoptFilter::None)
    return "a meshopt filter needs the ATTRIBUTES mode";
  switch (filter) {
    case MeshoptFilter::None: break;
    case MeshoptFilter::Octahedral:
      if (stride != 4 && stride != 8)
        return "stride is not valid for the OCTAHEDRAL filter (4 or 8)";
      break;
    case MeshoptFilter::Quaternion:
      if (stride != 8) return "stride is not valid for the QUATERNION filter (8)";
      break;
    case MeshoptFilter::Exponential:
      if (stride % 4 != 0)
        return "stride is not valid for the EXPONENTIAL filter (a multiple of 4)";
      break;
  }
  const auto* in = reinterpret_cast<const std::uint8_t*>(data.data());
  auto* dst = reinterpret_cast<std::uint8_t*>(out.data());
  const char* error = nullptr;
  switch (mode) {
    case MeshoptMode::Attributes:
      error = decode_attributes(in, data.size(), count, stride, dst);
      break;
    case MeshoptMode::Triangles:
      error = decode_triangles(in, data.size(), count, stride, dst);
      break;
    case MeshoptMode::Indices: error = decode_indices(in, data.size(), count, stride, dst); break;
  }
  if (error != nullptr) return error;
  switch (filter) {
    case MeshoptFilter::None: break;
    case MeshoptFilter::Octahedral:
      if (stride == 4)
        octahedral<std::int8_t>(dst, count);
      else
        octahedral<std::int16_t>(dst, count);
      break;
    case MeshoptFilter::Quaternion: quaternion(dst, count); break;
    case MeshoptFilter::Exponential: exponential(dst, count * stride / 4); break;
  }
  return nullptr;
}

}  // namespace vertisift::gltf
