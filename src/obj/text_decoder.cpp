#include "obj/text_decoder.h"

namespace vertisift::obj {

using mesh_io::ReadResult;

namespace {

std::span<const std::byte> bytes_of(const std::string& text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

}  // namespace

ReadResult<std::span<const std::byte>> TextDecoder::next() {
  if (encoding_ == Encoding::Unknown) {
    // Three bytes tell every mark apart.
    while (head_.size() < 3) {
      auto got = source_.next();
      if (!got.ok()) return std::move(got.error());
      if (got.value().empty()) break;
      head_.append(reinterpret_cast<const char*>(got.value().data()), got.value().size());
    }
    std::string_view head = head_;
    encoding_ = Encoding::Utf8;
    if (head.starts_with("\xEF\xBB\xBF")) {
      head_.erase(0, 3);
    } else if (head.starts_with("\xFE\xFF")) {
      encoding_ = Encoding::Utf16Be;
    } else if (head.starts_with("\xFF\xFE")) {
      encoding_ = Encoding::Utf16Le;
    }
    if (encoding_ == Encoding::Utf8) {
      if (!head_.empty()) return bytes_of(head_);
    } else {
      decode(bytes_of(head_).subspan(2));
      if (!decoded_.empty()) return bytes_of(decoded_);
    }
  }
  if (encoding_ == Encoding::Utf8) return source_.next();
  for (;;) {
    auto got = source_.next();
    if (!got.ok() || got.value().empty()) return got;
    decoded_.clear();
    decode(got.value());
    if (!decoded_.empty()) return bytes_of(decoded_);
  }
}

void TextDecoder::append(std::uint32_t code_point) {
  if (code_point < 0x80) {
    decoded_ += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    decoded_ += static_cast<char>(0xC0 | (code_point >> 6));
    decoded_ += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    decoded_ += static_cast<char>(0xE0 | (code_point >> 12));
    decoded_ += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    decoded_ += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    decoded_ += static_cast<char>(0xF0 | (code_point >> 18));
    decoded_ += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    decoded_ += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    decoded_ += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

void TextDecoder::decode(std::span<const std::byte> bytes) {
  constexpr std::uint32_t REPLACEMENT = 0xFFFD;
  for (const std::byte byte : bytes) {
    const auto value = static_cast<std::uint32_t>(byte);
    if (odd_byte_ < 0) {
      odd_byte_ = static_cast<int>(value);
      continue;
    }
    const auto first = static_cast<std::uint32_t>(odd_byte_);
    odd_byte_ = -1;
    const std::uint32_t unit =
        encoding_ == Encoding::Utf16Be ? (first << 8) | value : (value << 8) | first;
    if (high_surrogate_ != 0) {
      if (unit >= 0xDC00 && unit < 0xE000) {
        append(0x10000 + ((high_surrogate_ - 0xD800) << 10) + (unit - 0xDC00));
        high_surrogate_ = 0;
        continue;
      }
      append(REPLACEMENT);
      high_surrogate_ = 0;
    }
    if (unit >= 0xD800 && unit < 0xDC00) {
      high_surrogate_ = unit;
    } else if (unit >= 0xDC00 && unit < 0xE000) {
      append(REPLACEMENT);
    } else {
      append(unit);
    }
  }
}

}  // namespace vertisift::obj
