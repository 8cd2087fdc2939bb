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

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

std::uint32_t decode_utf8(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]));
  };
  const std::uint32_t lead = byte(at);
  if (lead < 0x80) {
    at += 1;
    return lead;
  }
  if (lead < 0xE0) {
    const std::uint32_t code_point = (lead & 0x1F) << 6 | (byte(at + 1) & 0x3F);
    at += 2;
    return code_point;
  }
  if (lead < 0xF0) {
    const std::uint32_t code_point =
        (lead & 0x0F) << 12 | (byte(at + 1) & 0x3F) << 6 | (byte(at + 2) & 0x3F);
    at += 3;
    return code_point;
  }
  const std::uint32_t code_point = (lead & 0x07) << 18 | (byte(at + 1) & 0x3F) << 12 |
                                   (byte(at + 2) & 0x3F) << 6 | (byte(at + 3) & 0x3F);
  at += 4;
  return code_point;
}

}  // namespace vertisift::base
