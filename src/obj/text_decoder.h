// TextDecoder: the bytes of a text file as UTF-8, whatever its byte-order mark says it is. A
// UTF-8 mark is dropped; after a UTF-16 mark (either byte order) the text is decoded to UTF-8,
// an unpaired surrogate becoming U+FFFD; without a mark the bytes pass as they are.
#pragma once

#include <cstdint>
#include <string>

#include "mesh_io/byte_source.h"

namespace vertisift::obj {

class TextDecoder final : public mesh_io::ByteSource {
 public:
  explicit TextDecoder(mesh_io::ByteSource& source) : source_(source) {}
  mesh_io::ReadResult<std::span<const std::byte>> next() override;

 private:
  enum class Encoding { Unknown, Utf8, Utf16Le, Utf16Be };

  // Appends the UTF-8 of `bytes`, keeping an odd byte or a high surrogate for the next call.
  void decode(std::span<const std::byte> bytes);
  void append(std::uint32_t code_point);

  mesh_io::ByteSource& source_;
  Encoding encoding_ = Encoding::Unknown;
  std::string head_;  // the first bytes, read to see the mark
  std::string decoded_;
  int odd_byte_ = -1;                 // the first byte of a unit that the block cut
  std::uint32_t high_surrogate_ = 0;  // waiting for its low half
};

}  // namespace vertisift::obj
