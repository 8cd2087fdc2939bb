#include "random/chacha.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace vertisift::random {
namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct Vector {
  std::array<std::uint32_t, 8> key;
  std::uint64_t nonce;
  std::vector<std::uint8_t> keystream;
};

std::vector<Vector> load_vectors() {
  std::ifstream in(std::string(VERTISIFT_SHARED_DIR) + "/testvectors/chacha12.txt");
  std::vector<Vector> vectors;
  Vector current{};
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("key=", 0) == 0) {
      auto bytes = from_hex(line.substr(4));
      for (std::size_t w = 0; w < 8; ++w) {
        current.key[w] = bytes[4 * w] | bytes[4 * w + 1] << 8 | bytes[4 * w + 2] << 16 |
                         static_cast<std::uint32_t>(bytes[4 * w + 3]) << 24;
      }
    } else if (line.rfind("nonce=", 0) == 0) {
      auto bytes = from_hex(line.substr(6));
      current.nonce = 0;
      for (std::size_t i = 8; i-- > 0;) current.nonce = current.nonce << 8 | bytes[i];
    } else if (line.rfind("keystream=", 0) == 0) {
      current.keystream = from_hex(line.substr(10));
      vectors.push_back(current);
    }
  }
  return vectors;
}

TEST(ChaCha12, PublishedVectors) {
  auto vectors = load_vectors();
  if (vectors.empty()) {
    GTEST_SKIP() << "the published test vectors (" VERTISIFT_SHARED_DIR
                    "/testvectors/chacha12.txt) are not beside this checkout";
  }
  ASSERT_EQ(vectors.size(), 3u);
  for (const Vector& v : vectors) {
    std::vector<std::uint8_t> produced;
    for (std::uint64_t counter = 0; counter < 2; ++counter) {
      for (std::uint32_t word : chacha12_block(v.key, counter, v.nonce)) {
        for (int b = 0; b < 4; ++b) produced.push_back(static_cast<std::uint8_t>(word >> (8 * b)));
      }
    }
    EXPECT_EQ(produced, v.keystream);
  }
}

}  // namespace
}  // namespace vertisift::random
