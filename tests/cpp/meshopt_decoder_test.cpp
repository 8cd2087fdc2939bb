// The meshopt decoder on the compressed views of two real GLB files, checked against what
// is known of their meshes independently of the codec (a box's corners and closed surface,
// accessor bounds, unit normals), and on broken inputs, which must give an error text.
#include "gltf/meshopt_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

namespace vertisift::gltf {
namespace {

// One compressed view of a GLB: where its bytes are in the binary chunk and its layout.
struct View {
  std::size_t offset, length, count, stride;
  MeshoptMode mode;
  MeshoptFilter filter;
};

// The binary chunk of a GLB (empty when the file is absent): after the 12-byte header,
// the JSON chunk (length, type, data), then the binary chunk's length and type.
std::vector<std::byte> binary_chunk(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
  if (bytes.size() < 20) return {};
  std::uint32_t json_length = 0;
  std::memcpy(&json_length, bytes.data() + 12, 4);
  const std::size_t start = 20 + json_length + 8;
  if (bytes.size() < start) return {};
  std::vector<std::byte> out(bytes.size() - start);
  std::memcpy(out.data(), bytes.data() + start, out.size());
  return out;
}

std::vector<std::byte> decode(const std::vector<std::byte>& bin, const View& v) {
  std::vector<std::byte> out(v.count * v.stride);
  const char* error = decode_meshopt(std::span(bin).subspan(v.offset, v.length), v.count, v.stride,
                                     v.mode, v.filter, out);
  EXPECT_EQ(error, nullptr) << error;
  return out;
}

template <class T>
T at(const std::vector<std::byte>& data, std::size_t i) {
  T v{};
  std::memcpy(&v, data.data() + i * sizeof(T), sizeof(T));
  return v;
}

constexpr const char* kBox = VERTISIFT_SHARED_DIR
    "/data/colour/donmccurdy+glTF-Transform/packages/extensions/test/in/BoxMeshopt.glb";
constexpr const char* kPirate =
    VERTISIFT_SHARED_DIR "/data/colour/zeux+meshoptimizer/demo/pirate.glb";

// BoxMeshopt.glb: int8 normals, uint16 positions in [0, 16383], 36 uint16 indices.
constexpr View kBoxNormals{0, 71, 24, 4, MeshoptMode::Attributes, MeshoptFilter::None};
constexpr View kBoxPositions{72, 124, 24, 8, MeshoptMode::Attributes, MeshoptFilter::None};
constexpr View kBoxIndices{196, 29, 36, 2, MeshoptMode::Triangles, MeshoptFilter::None};

TEST(MeshoptDecoder, BoxIsAClosedCubeWithUnitNormals) {
  const auto bin = binary_chunk(kBox);
  if (bin.empty()) GTEST_SKIP() << "BoxMeshopt.glb is not in the shared data";
  const auto positions = decode(bin, kBoxPositions);
  std::map<std::vector<std::uint16_t>, int> corners;
  for (std::size_t i = 0; i < 24; ++i) {
    std::vector<std::uint16_t> p;
    for (std::size_t k = 0; k < 3; ++k) {
      p.push_back(at<std::uint16_t>(positions, i * 4 + k));
      EXPECT_TRUE(p.back() == 0 || p.back() == 16383) << "vertex " << i;
    }
    ++corners[p];
  }
  EXPECT_EQ(corners.size(), 8U);  // every corner, each on its three faces
  for (const auto& [corner, n] : corners) EXPECT_EQ(n, 3);

  const auto normals = decode(bin, kBoxNormals);
  for (std::size_t i = 0; i < 24; ++i) {
    int squares = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const int c = at<std::int8_t>(normals, i * 4 + k);
      squares += c * c;
    }
    EXPECT_EQ(squares, 127 * 127) << "normal " << i;
  }

  // Closed: each edge, by its corners' positions, is in exactly two triangles.
  const auto indices = decode(bin, kBoxIndices);
  std::map<std::pair<std::vector<std::uint16_t>, std::vector<std::uint16_t>>, int> edges;
  auto corner = [&](std::uint16_t i) {
    EXPECT_LT(i, 24);
    std::vector<std::uint16_t> p;
    for (std::size_t k = 0; k < 3; ++k)
      p.push_back(at<std::uint16_t>(positions, (i % 24) * 4U + k));
    return p;
  };
  for (std::size_t t = 0; t < 12; ++t) {
    for (std::size_t e = 0; e < 3; ++e) {
      auto a = corner(at<std::uint16_t>(indices, t * 3 + e));
      auto b = corner(at<std::uint16_t>(indices, t * 3 + (e + 1) % 3));
      if (b < a) std::swap(a, b);
      ++edges[{a, b}];
    }
  }
  EXPECT_EQ(edges.size(), 18U);  // 12 cube edges and 6 face diagonals
  for (const auto& [edge, n] : edges) EXPECT_EQ(n, 2);
}

TEST(MeshoptDecoder, PirateViewsDecodeWithinTheirBounds) {
  const auto bin = binary_chunk(kPirate);
  if (bin.empty()) GTEST_SKIP() << "pirate.glb is not in the shared data";
  constexpr std::size_t kVertices = 2887;
  const auto positions =
      decode(bin, {0, 11747, kVertices, 8, MeshoptMode::Attributes, MeshoptFilter::None});
  const std::uint16_t max[3] = {13081, 16383, 3915};
  std::uint16_t seen[3] = {};
  for (std::size_t i = 0; i < kVertices; ++i) {
    for (std::size_t k = 0; k < 3; ++k) {
      const auto c = at<std::uint16_t>(positions, i * 4 + k);
      ASSERT_LE(c, max[k]) << "vertex " << i;
      seen[k] = std::max(seen[k], c);
    }
  }
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(seen[k], max[k]);

  const auto normals =
      decode(bin, {11748, 5629, kVertices, 4, MeshoptMode::Attributes, MeshoptFilter::Octahedral});
  for (std::size_t i = 0; i < kVertices; ++i) {
    double squares = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const double c = at<std::int8_t>(normals, i * 4 + k) / 127.0;
      squares += c * c;
    }
    ASSERT_NEAR(std::sqrt(squares), 1.0, 0.02) << "normal " << i;
  }

  const auto indices =
      decode(bin, {17380, 5656, 15030, 2, MeshoptMode::Triangles, MeshoptFilter::None});
  std::vector<bool> used(kVertices);
  for (std::size_t i = 0; i < 15030; ++i) {
    const auto v = at<std::uint16_t>(indices, i);
    ASSERT_LT(v, kVertices) << "index " << i;
    used[v] = true;
  }
  EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
}

// Every prefix of each box view, and the whole view with its header byte changed, is an
// error; so are strides and counts the modes and filters do not allow.
TEST(MeshoptDecoder, BrokenInputsAreErrors) {
  const auto bin = binary_chunk(kBox);
  if (bin.empty()) GTEST_SKIP() << "BoxMeshopt.glb is not in the shared data";
  for (const View& v : {kBoxNormals, kBoxPositions, kBoxIndices}) {
    std::vector<std::byte> out(v.count * v.stride);
    for (std::size_t n = 0; n < v.length; ++n) {
      // The copy makes the data end exactly where the prefix does, for sanitizers to see.
      std::vector<std::byte> prefix(bin.begin() + static_cast<std::ptrdiff_t>(v.offset),
                                    bin.begin() + static_cast<std::ptrdiff_t>(v.offset + n));
      EXPECT_NE(decode_meshopt(prefix, v.count, v.stride, v.mode, v.filter, out), nullptr)
          << "prefix of " << n << " bytes";
    }
    std::vector<std::byte> whole(bin.begin() + static_cast<std::ptrdiff_t>(v.offset),
                                 bin.begin() + static_cast<std::ptrdiff_t>(v.offset + v.length));
    ASSERT_EQ(decode_meshopt(whole, v.count, v.stride, v.mode, v.filter, out), nullptr);
    whole[0] ^= std::byte{0x01};
    EXPECT_NE(decode_meshopt(whole, v.count, v.stride, v.mode, v.filter, out), nullptr);
  }

  struct Case {
    std::size_t count, stride;
    MeshoptMode mode;
    MeshoptFilter filter;
  };
  const std::vector<std::byte> data(64, std::byte{0});
  for (const Case& c : {
           Case{4, 6, MeshoptMode::Attributes, MeshoptFilter::None},
           Case{1, 260, MeshoptMode::Attributes, MeshoptFilter::None},
           Case{3, 3, MeshoptMode::Triangles, MeshoptFilter::None},
           Case{4, 2, MeshoptMode::Triangles, MeshoptFilter::None},
           Case{3, 8, MeshoptMode::Indices, MeshoptFilter::None},
           Case{3, 2, MeshoptMode::Indices, MeshoptFilter::Exponential},
           Case{2, 12, MeshoptMode::Attributes, MeshoptFilter::Octahedral},
           Case{2, 4, MeshoptMode::Attributes, MeshoptFilter::Quaternion},
           Case{2, 6, MeshoptMode::Attributes, MeshoptFilter::Exponential},
       }) {
    std::vector<std::byte> out(c.count * c.stride);
    EXPECT_NE(decode_meshopt(data, c.count, c.stride, c.mode, c.filter, out), nullptr)
        << "stride " << c.stride << " count " << c.count;
  }
  // An output that is not count * stride bytes.
  std::vector<std::byte> short_out(7);
  EXPECT_NE(decode_meshopt(data, 2, 4, MeshoptMode::Attributes, MeshoptFilter::None, short_out),
            nullptr);
}

}  // namespace
}  // namespace vertisift::gltf
