#include "base/utf8.h"

namespace vertisift::base {

bool Utf8Validator::feed(std::span<const std::byte> bytes) {
  if (!valid_) return false;
  for (std::byte raw : bytes) {
    auto byte = static_cast<std::uint8_t>(raw);
    if (pending_ > 0) {
      if (byte < low_ || byte > high_) return valid_ = false;
      low_ = 0x80;
      high_ = 0xBF;
      --pending_;
      continue;
    }
    if (byte < 0x80) continue;
    if (byte >= 0xC2 && byte <= 0xDF) {
      pending_ = 1;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      pending_ = 2;
      if (byte == 0xE0) low_ = 0xA0;   // no overlong three-byte forms
      if (byte == 0xED) high_ = 0x9F;  // no surrogates
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      pending_ = 3;
      if (byte == 0xF0) low_ = 0x90;   // no overlong four-byte forms
      if (byte == 0xF4) high_ = 0x8F;  // nothing above U+10FFFF
    } else {
      return valid_ = false;
    }
  }
  return true;
}

bool is_valid_utf8(std::string_view text) {
  Utf8Validator validator;
  validator.feed(text);
  return validator.finish();
}

}  // namespace vertisift::base
