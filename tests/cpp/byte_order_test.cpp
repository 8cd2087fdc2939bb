// Scalars of every type a binary format stores, loaded from either byte order.
#include "mesh_io/byte_order.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace vertisift::mesh_io {
namespace {

// `value`'s bytes, least significant first, taken apart by shifts (not by the loader).
template <class T>
void little_bytes(T value, std::byte* out) {
  using Bits = std::conditional_t<
      sizeof(T) == 1, std::uint8_t,
      std::conditional_t<sizeof(T) == 2, std::uint16_t,
                         std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
  const auto bits = std::bit_cast<Bits>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::byte>(bits >> (8 * i));
}

template <class T>
void expect_both_orders(T value) {
  // One byte in front, so that the loads are unaligned.
  std::byte little[1 + sizeof(T)], big[1 + sizeof(T)];
  little_bytes(value, little + 1);
  for (std::size_t i = 0; i < sizeof(T); ++i) big[1 + i] = little[sizeof(T) - i];
  EXPECT_EQ(load_little<T>(little + 1), value);
  EXPECT_EQ(load_big<T>(big + 1), value);
  EXPECT_EQ(load<T>(big + 1, std::endian::big), load<T>(little + 1, std::endian::little));
}

TEST(ByteOrder, EveryPlyScalarTypeFromEitherOrder) {
  expect_both_orders<std::int8_t>(-128);
  expect_both_orders<std::uint8_t>(0xFE);
  expect_both_orders<std::int16_t>(-257);
  expect_both_orders<std::uint16_t>(0xFE01);
  expect_both_orders<std::int32_t>(std::numeric_limits<std::int32_t>::min() + 0x010203);
  expect_both_orders<std::uint32_t>(0xF1E2D3C4u);
  expect_both_orders<float>(-0x1.234566p-100f);
  expect_both_orders<double>(0x1.123456789abcdp+900);
}

}  // namespace
}  // namespace vertisift::mesh_io
