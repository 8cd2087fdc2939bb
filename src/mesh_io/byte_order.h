// Scalars stored in a given byte order, loaded from bytes at any alignment: the one place
// where the binary readers turn a file's byte order into the machine's. Every load is a
// memcpy and, when the orders differ, one byte swap, which the compiler keeps inline.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vertisift::mesh_io {

template <class T>
concept Scalar = std::is_arithmetic_v<T> &&
    (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);

// `value` with its bytes in the reverse order.
template <Scalar T>
[[nodiscard]] inline T byte_swapped(T value) {
  if constexpr (sizeof(T) == 1) {
    return value;
  } else if constexpr (sizeof(T) == 2) {
    return std::bit_cast<T>(__builtin_bswap16(std::bit_cast<std::uint16_t>(value)));
  } else if constexpr (sizeof(T) == 4) {
    return std::bit_cast<T>(__builtin_bswap32(std::bit_cast<std::uint32_t>(value)));
  } else {
    return std::bit_cast<T>(__builtin_bswap64(std::bit_cast<std::uint64_t>(value)));
  }
}

// The T whose sizeof(T) bytes at `bytes` are in `order`.
template <Scalar T>
[[nodiscard]] inline T load(const void* bytes, std::endian order) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return order == std::endian::native ? value : byte_swapped(value);
}

template <Scalar T>
[[nodiscard]] inline T load_little(const void* bytes) {
  return load<T>(bytes, std::endian::little);
}

template <Scalar T>
[[nodiscard]] inline T load_big(const void* bytes) {
  return load<T>(bytes, std::endian::big);
}

}  // namespace vertisift::mesh_io
