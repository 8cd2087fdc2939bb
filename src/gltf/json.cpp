#include "gltf/json.h"

#include <charconv>
#include <cmath>
#include <utility>

#include "base/utf8.h"

namespace vertisift::gltf::json {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  base::Result<Value, std::string> run() {
    if (text_.starts_with("\xef\xbb\xbf")) at_ = 3;
    Value root;
    if (!value(root, 0)) return std::move(error_);
    blanks();
    if (at_ != text_.size()) {
      fail("the text goes on after its value");
      return std::move(error_);
    }
    return root;
  }

 private:
  bool fail(std::string_view what) {
    error_ = "byte " + std::to_string(at_) + ": " + std::string(what);
    return false;
  }

  void blanks() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++at_;
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return fail("a value expected");
    at_ += word.size();
    return true;
  }

  bool value(Value& into, std::size_t depth) {
    blanks();
    if (at_ == text_.size()) return fail("the text ends where a value is expected");
    switch (text_[at_]) {
      case '{': return object(into, depth + 1);
      case '[': return array(into, depth + 1);
      case '"': into.kind = Kind::String; return string(into.text);
      case 't':
        into.kind = Kind::Boolean;
        into.boolean = true;
        return literal("true");
      case 'f': into.kind = Kind::Boolean; return literal("false");
      case 'n': return literal("null");
      default: return number(into);
    }
  }

  bool object(Value& into, std::size_t depth) {
    if (depth > MAX_DEPTH) return fail("arrays and objects nest too deep");
    into.kind = Kind::Object;
    ++at_;
    blanks();
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      blanks();
      if (at_ == text_.size() || text_[at_] != '"') return fail("a key in double quotes expected");
      Member& member = into.members.emplace_back();
      if (!string(member.key)) return false;
      blanks();
      if (at_ == text_.size() || text_[at_] != ':') return fail("a ':' expected");
      ++at_;
      if (!value(member.value, depth)) return false;
      blanks();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == '}') {
        ++at_;
        return true;
      }
      return fail("a ',' or '}' expected");
    }
  }

  bool array(Value& into, std::size_t depth) {
    if (depth > MAX_DEPTH) return fail("arrays and objects nest too deep");
    into.kind = Kind::Array;
    ++at_;
    blanks();
    if (at_ < text_.size() && text_[at_] == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      if (!value(into.items.emplace_back(), depth)) return false;
      blanks();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == ']') {
        ++at_;
        return true;
      }
      return fail("a ',' or ']' expected");
    }
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  bool number(Value& into) {
    const std::size_t start = at_;
    std::size_t end = at_;
    if (end < text_.size() && text_[end] == '-') ++end;
    if (end == text_.size() || !is_digit(text_[end])) return fail("a value expected");
    if (text_[end] == '0') {
      ++end;
    } else {
      while (end < text_.size() && is_digit(text_[end])) ++end;
    }
    if (end < text_.size() && text_[end] == '.') {
      ++end;
      if (end == text_.size() || !is_digit(text_[end])) {
        at_ = end;
        return fail("a digit expected after '.'");
      }
      while (end < text_.size() && is_digit(text_[end])) ++end;
    }
    if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
      ++end;
      if (end < text_.size() && (text_[end] == '+' || text_[end] == '-')) ++end;
      if (end == text_.size() || !is_digit(text_[end])) {
        at_ = end;
        return fail("a digit expected in the exponent");
      }
      while (end < text_.size() && is_digit(text_[end])) ++end;
    }
    const char* first = text_.data() + start;
    auto [stop, status] = std::from_chars(first, text_.data() + end, into.number);
    if (status == std::errc::result_out_of_range) {
      // Too large for a double (small ones come out as zero or denormal, which is fine).
      return fail("a number beyond the range of a double");
    }
    if (status != std::errc() || stop != text_.data() + end) return fail("a malformed number");
    into.kind = Kind::Number;
    at_ = end;
    return true;
  }

  bool hex4(std::uint32_t& code) {
    if (text_.size() - at_ < 4) return fail("four hex digits expected after \\u");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        --at_;
        return fail("four hex digits expected after \\u");
      }
    }
    return true;
  }

  // The length of the UTF-8 character at `at`, or 0 when the bytes there are not one.
  std::size_t utf8_length(std::size_t at) const {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text_[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    std::uint32_t low = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2, low = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3, low = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4, low = 0x10000;
    } else {
      return 0;
    }
    if (text_.size() - at < length) return 0;
    std::uint32_t code = lead & (0x3f >> (length - 1));
    for (std::size_t i = 1; i < length; ++i) {
      if ((byte(at + i) & 0xc0) != 0x80) return 0;
      code = (code << 6) | (byte(at + i) & 0x3f);
    }
    if (code < low || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
  }

  bool string(std::string& out) {
    ++at_;  // the opening quote
    for (;;) {
      if (at_ == text_.size()) return fail("the text ends inside a string");
      const char c = text_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
      if (c != '\\') {
        if (static_cast<unsigned char>(c) < 0x80) {
          out.push_back(c);
          ++at_;
          continue;
        }
        const std::size_t length = utf8_length(at_);
        if (length == 0) return fail("a string that is not UTF-8");
        out.append(text_.substr(at_, length));
        at_ += length;
        continue;
      }
      ++at_;
      if (at_ == text_.size()) return fail("the text ends inside a string");
      const char escaped = text_[at_++];
      switch (escaped) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          std::uint32_t code = 0;
          if (!hex4(code)) return false;
          if (code >= 0xd800 && code <= 0xdbff) {
            std::uint32_t low = 0;
            if (text_.substr(at_, 2) != "\\u") return fail("a lone surrogate in a string");
            at_ += 2;
            if (!hex4(low)) return false;
            if (low < 0xdc00 || low > 0xdfff) return fail("a lone surrogate in a string");
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
          } else if (code >= 0xdc00 && code <= 0xdfff) {
            return fail("a lone surrogate in a string");
          }
          base::append_utf8(out, code);
          break;
        }
        default: --at_; return fail("an unknown escape in a string");
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace

const Value* Value::find(std::string_view key) const {
  if (kind != Kind::Object) return nullptr;
  for (const Member& member : members) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

std::optional<std::int64_t> Value::integer() const {
  constexpr double LIMIT = 9007199254740992.0;  // 2^53
  if (kind != Kind::Number || !(std::fabs(number) <= LIMIT) || std::trunc(number) != number) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(number);
}

base::Result<Value, std::string> parse(std::span<const std::byte> text) {
  return Parser({reinterpret_cast<const char*>(text.data()), text.size()}).run();
}

}  // namespace vertisift::gltf::json
