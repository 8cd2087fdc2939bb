// UTF-8 validation, whole or streamed chunk by chunk (so that a line need not be held to be
// checked). The rules are the standard ones: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequence at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vertisift::base {

class Utf8Validator {
 public:
  // Feeds the next bytes; returns false once the stream is known to be invalid.
  bool feed(std::span<const std::byte> bytes);
  bool feed(std::string_view text) {
    return feed(std::as_bytes(std::span<const char>(text.data(), text.size())));
  }
  // True when everything fed so far is valid and no sequence is left open.
  bool finish() const { return valid_ && pending_ == 0; }
  bool valid() const { return valid_; }

 private:
  bool valid_ = true;
  int pending_ = 0;          // continuation bytes still expected
  std::uint8_t low_ = 0x80;  // allowed range of the next continuation byte
  std::uint8_t high_ = 0xBF;
};

bool is_valid_utf8(std::string_view text);

}  // namespace vertisift::base
