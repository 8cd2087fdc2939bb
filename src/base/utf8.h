// UTF-8: validation, whole or streamed chunk by chunk (so that a line need not be held to be
// checked), and the encoding and decoding of single code points. The rules are the standard
// ones: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequence at
// the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
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

 private:
  bool valid_ = true;
  int pending_ = 0;          // continuation bytes still expected
  std::uint8_t low_ = 0x80;  // allowed range of the next continuation byte
  std::uint8_t high_ = 0xBF;
};

bool is_valid_utf8(std::string_view text);

// Appends the one to four bytes of `code_point` (at most U+10FFFF). Surrogates are encoded
// like any other code point; callers that must not produce them replace them first.
void append_utf8(std::string& out, std::uint32_t code_point);

// Decodes the code point that starts at `at` in valid UTF-8 and advances `at` past it.
std::uint32_t decode_utf8(std::string_view text, std::size_t& at);

}  // namespace vertisift::base
