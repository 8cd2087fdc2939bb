#include "stl/ascii_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "base/utf8.h"
#include "stl/debug_quote.h"
#include "stl/float_parse.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vertisift::stl {

using mesh_io::FaceStatus;
using mesh_io::ReadError;

namespace {

constexpr std::string_view OUTER_LOOP[] = {"outer", "loop"};
constexpr std::string_view ENDLOOP[] = {"endloop"};
constexpr std::string_view ENDFACET[] = {"endfacet"};

// ASCII white space, line ends included.
inline bool is_ascii_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A control character that is not white space.
inline bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte < 0x20 && !is_ascii_blank(c)) || byte == 0x7F;
}

// The first CR or LF in [data, data + size), or null.
const char* find_cr_or_lf(const char* data, std::size_t size) {
  const auto* lf = static_cast<const char*>(std::memchr(data, '\n', size));
  const auto* cr = static_cast<const char*>(
      std::memchr(data, '\r', lf ? static_cast<std::size_t>(lf - data) : size));
  return cr ? cr : lf;
}

// Byte classes for splitting: 0 inside a token, 1 ASCII white space, 2 the lead byte of a
// character that may be non-ASCII white space (U+0085 and U+00A0 start with C2, U+1680 with
// E1, U+2000..U+205F with E2, U+3000 with E3).
constexpr std::array<std::uint8_t, 256> BYTE_CLASS = [] {
  std::array<std::uint8_t, 256> classes{};
  for (std::size_t c = 0x09; c <= 0x0D; ++c) classes[c] = 1;
  classes[0x20] = 1;
  classes[0xC2] = classes[0xE1] = classes[0xE2] = classes[0xE3] = 2;
  return classes;
}();

inline std::uint8_t byte_class(char c) { return BYTE_CLASS[static_cast<unsigned char>(c)]; }

std::size_t multibyte_white_space_length(const char* at) {
  const auto b0 = static_cast<unsigned char>(at[0]);
  const auto b1 = static_cast<unsigned char>(at[1]);
  switch (b0) {
    case 0xC2:  // U+0085, U+00A0
      return b1 == 0x85 || b1 == 0xA0 ? 2 : 0;
    case 0xE1:  // U+1680
      return b1 == 0x9A && static_cast<unsigned char>(at[2]) == 0x80 ? 3 : 0;
    case 0xE2: {
      const auto b2 = static_cast<unsigned char>(at[2]);
      if (b1 == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
        return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      }
      return b1 == 0x81 && b2 == 0x9F ? 3 : 0;  // U+205F
    }
    case 0xE3:  // U+3000
      return b1 == 0x80 && static_cast<unsigned char>(at[2]) == 0x80 ? 3 : 0;
    default: return 0;
  }
}

// The length of the leading run of ASCII bytes, checked eight bytes at a time.
std::size_t ascii_prefix_length(std::string_view text) {
  constexpr std::uint64_t HIGH_BITS = 0x8080808080808080;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (word & HIGH_BITS) break;
  }
  while (i < text.size() && !(static_cast<unsigned char>(text[i]) & 0x80)) ++i;
  return i;
}

// Bit i of the result is set when byte i of the 64 bytes at `at` is ASCII white space;
// `high` receives the bits of bytes 0x80 and above.
#if defined(__SSE2__)
inline std::uint64_t blank_mask(const char* at, std::uint64_t& high) {
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i below_tab = _mm_set1_epi8(0x08);
  const __m128i above_cr = _mm_set1_epi8(0x0E);
  std::uint64_t blanks = 0;
  high = 0;
  for (int block = 0; block < 4; ++block) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * block));
    // Signed compares: bytes of 0x80 and above are negative, so never 0x09..0x0D.
    const __m128i control =
        _mm_and_si128(_mm_cmpgt_epi8(bytes, below_tab), _mm_cmplt_epi8(bytes, above_cr));
    const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(bytes, space), control);
    blanks |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(blank)))
              << (16 * block);
    high |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(bytes)))
            << (16 * block);
  }
  return blanks;
}
#else
inline std::uint64_t blank_mask(const char* at, std::uint64_t& high) {
  std::uint64_t blanks = 0;
  high = 0;
  for (int i = 0; i < 64; ++i) {
    const auto byte = static_cast<unsigned char>(at[i]);
    blanks |= static_cast<std::uint64_t>(byte == ' ' || (byte >= 0x09 && byte <= 0x0D)) << i;
    high |= static_cast<std::uint64_t>(byte >= 0x80) << i;
  }
  return blanks;
}
#endif

}  // namespace

bool split_ascii_tokens(std::string_view line, const char* readable_end,
                        std::vector<std::string_view>& tokens) {
  tokens.clear();
  const char* const begin = line.data();
  bool in_token = false;        // a token is open at the end of the previous block
  std::size_t token_start = 0;  // its first byte
  for (std::size_t base = 0; base < line.size(); base += 64) {
    std::uint64_t high;
    std::uint64_t blanks;
    const std::size_t left = line.size() - base;
    if (readable_end - (begin + base) >= 64) {
      blanks = blank_mask(begin + base, high);
      if (left < 64) {
        // Bytes past the line's end count as blanks, which close a token running to its end.
        const std::uint64_t past_end = ~std::uint64_t{0} << left;
        blanks |= past_end;
        high &= ~past_end;
      }
    } else {
      // The last block near the end of what may be read: a copy padded with blanks.
      char block[64];
      std::memset(block, ' ', sizeof block);
      std::memcpy(block, begin + base, left);
      blanks = blank_mask(block, high);
    }
    if (high != 0) return false;
    // Token bytes whose predecessor is blank start a token; blanks after a token byte end one.
    const std::uint64_t token_bytes = ~blanks;
    const std::uint64_t after_token = token_bytes << 1 | static_cast<std::uint64_t>(in_token);
    std::uint64_t starts = token_bytes & ~after_token;
    std::uint64_t ends = blanks & after_token;
    for (;;) {
      if (!in_token) {
        if (starts == 0) break;
        token_start = base + static_cast<std::size_t>(std::countr_zero(starts));
        starts &= starts - 1;
        in_token = true;
      }
      if (ends == 0) break;
      const std::size_t token_end = base + static_cast<std::size_t>(std::countr_zero(ends));
      ends &= ends - 1;
      tokens.emplace_back(begin + token_start, token_end - token_start);
      in_token = false;
    }
  }
  if (in_token) tokens.emplace_back(begin + token_start, line.size() - token_start);
  return true;
}

std::size_t white_space_length(const char* at) {
  switch (byte_class(*at)) {
    case 1: return 1;
    case 2: return multibyte_white_space_length(at);
    default: return 0;
  }
}

void split_tokens(std::string_view line, std::vector<std::string_view>& tokens) {
  tokens.clear();
  const char* p = line.data();
  const char* const end = p + line.size();
  for (;;) {
    for (std::size_t blank; p != end && (blank = white_space_length(p)) != 0;) p += blank;
    if (p == end) return;
    const char* const start = p;
    // Continuation bytes are of class 0, so every byte of class 2 met here is a lead byte.
    while (p != end) {
      const std::uint8_t kind = byte_class(*p);
      if (kind == 1 || (kind == 2 && multibyte_white_space_length(p) != 0)) break;
      ++p;
    }
    tokens.emplace_back(start, static_cast<std::size_t>(p - start));
  }
}

bool is_keyword(std::string_view token, std::string_view lower, StlDialect dialect) {
  if (dialect == StlDialect::Strict) return token == lower;
  if (token.size() != lower.size()) return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const char c = token[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c) != lower[i]) return false;
  }
  return true;
}

// The mark, the blanks and the line are looked at as they stream past: a binary file may hold
// no line end at all. Only the line's first bytes are kept, which decide. The name is not
// checked to be UTF-8 (older files write it in other encodings), but a control character in
// it (a NUL of a binary header, say) makes the line no text at all.
LenientStart read_lenient_first_line(mesh_io::StreamReader& reader, ReadError& error) {
  constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
  // The keyword and one white-space character, which takes up to three bytes.
  constexpr std::size_t KEYWORD_SIZE = SOLID_KEYWORD.size();
  constexpr std::size_t HEAD_SIZE = KEYWORD_SIZE + 3;
  char head[HEAD_SIZE] = {};
  std::size_t head_size = 0;
  std::size_t mark_seen = 0;  // bytes of the mark matched; BYTE_ORDER_MARK.size() once past it
  bool in_line = false;       // past the mark and the blanks before the line
  for (;;) {
    auto chunk = reader.fill_buf();
    if (!chunk.ok()) {
      error = std::move(chunk.error());
      return LenientStart::Error;
    }
    const std::span<const std::byte> bytes = chunk.value();
    if (bytes.empty()) break;
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    std::size_t i = 0;
    for (; i < bytes.size() && !in_line; ++i) {
      if (mark_seen < BYTE_ORDER_MARK.size()) {
        if (data[i] == BYTE_ORDER_MARK[mark_seen]) {
          ++mark_seen;
          continue;
        }
        if (mark_seen > 0) return LenientStart::NotSolid;  // part of a mark only
        mark_seen = BYTE_ORDER_MARK.size();
      }
      if (!is_ascii_blank(data[i])) {
        in_line = true;
        break;
      }
    }
    if (in_line) {
      const char* end = find_cr_or_lf(data + i, bytes.size() - i);
      const std::size_t part = end ? static_cast<std::size_t>(end - data) : bytes.size();
      for (; i < part; ++i) {
        if (is_control(data[i])) return LenientStart::NotSolid;
        if (head_size < HEAD_SIZE) {
          head[head_size++] = data[i];
          if (head_size == KEYWORD_SIZE &&
              !is_keyword({head, KEYWORD_SIZE}, SOLID_KEYWORD, StlDialect::Lenient)) {
            return LenientStart::NotSolid;
          }
        }
      }
      if (end) {
        reader.consume(part + 1);
        break;
      }
    }
    reader.consume(i);
  }
  if (head_size == 0) return mark_seen == 0 ? LenientStart::Empty : LenientStart::NotSolid;
  const bool solid =
      head_size >= KEYWORD_SIZE &&
      is_keyword(std::string_view(head, KEYWORD_SIZE), SOLID_KEYWORD, StlDialect::Lenient) &&
      (head_size == KEYWORD_SIZE || white_space_length(head + KEYWORD_SIZE) != 0);
  return solid ? LenientStart::Solid : LenientStart::NotSolid;
}

mesh_io::ReadResult<std::unique_ptr<AsciiFaceReader>> AsciiFaceReader::open(
    mesh_io::FileStream& stream, FirstLine rule, StlDialect dialect) {
  std::unique_ptr<AsciiFaceReader> reader(new AsciiFaceReader(stream, dialect));
  if (auto error = reader->check_first_line(rule)) return std::move(*error);
  return reader;
}

// The first line is checked as it streams past, never held: the solid's name may be of any
// length, and a binary file that reached this reader may hold no LF at all. Only its first
// bytes, its length and its last byte are kept.
mesh_io::ReadStatus AsciiFaceReader::check_first_line(FirstLine rule) {
  if (dialect_ == StlDialect::Lenient) {
    ReadError error;
    switch (read_lenient_first_line(reader_, error)) {
      case LenientStart::Solid: return std::nullopt;
      case LenientStart::NotSolid:
        return ReadError::invalid_data("ascii STL does not start with \"solid\"");
      case LenientStart::Empty: return ReadError::unexpected_eof("empty file?");
      case LenientStart::Error: return error;
    }
  }
  // The keyword and one white-space character, which takes up to three bytes.
  constexpr std::size_t HEAD_SIZE = SOLID_KEYWORD.size() + 3;
  char head[HEAD_SIZE] = {};
  std::size_t head_size = 0;
  std::uint64_t length = 0;
  char last = 0;
  bool any_byte = false;
  base::Utf8Validator validator;
  for (;;) {
    auto chunk = reader_.fill_buf();
    if (!chunk.ok()) return std::move(chunk.error());
    const std::span<const std::byte> bytes = chunk.value();
    if (bytes.empty()) break;
    any_byte = true;
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    const auto* lf = static_cast<const char*>(std::memchr(data, '\n', bytes.size()));
    const std::size_t part = lf ? static_cast<std::size_t>(lf - data) : bytes.size();
    for (std::size_t i = 0; i < part && head_size < HEAD_SIZE; ++i) head[head_size++] = data[i];
    if (part > 0) last = data[part - 1];
    length += part;
    // Between characters, an ASCII run needs no validation.
    const std::string_view text(data, part);
    const std::size_t ascii = validator.finish() ? ascii_prefix_length(text) : 0;
    validator.feed(text.substr(ascii));
    reader_.consume(lf ? part + 1 : part);
    if (lf) break;
  }
  if (!any_byte) return ReadError::unexpected_eof("empty file?");
  if (!validator.finish()) return ReadError::invalid_data(INVALID_UTF8_MESSAGE);
  if (length > 0 && last == '\r') --length;

  const std::string_view start(head, head_size);
  bool accepted;
  if (rule == FirstLine::SolidAndBlank) {
    accepted = length >= SOLID_PREFIX.size() && start.starts_with(SOLID_PREFIX);
  } else {
    constexpr std::size_t KEYWORD_SIZE = SOLID_KEYWORD.size();
    accepted = start.starts_with(SOLID_KEYWORD) &&
               (length == KEYWORD_SIZE ||
                (length > KEYWORD_SIZE && white_space_length(head + KEYWORD_SIZE) != 0));
  }
  if (!accepted) return ReadError::invalid_data("ascii STL does not start with \"solid \"");
  return std::nullopt;
}

bool split_ascii_tokens(std::string_view line, std::vector<std::string_view>& tokens) {
  return split_ascii_tokens(line, line.data() + line.size(), tokens);
}

AsciiFaceReader::LineStatus AsciiFaceReader::read_line(std::string_view& line,
                                                       const char*& readable_end,
                                                       ReadError& error) {
  auto chunk = reader_.fill_buf();
  if (!chunk.ok()) {
    error = std::move(chunk.error());
    return LineStatus::Error;
  }
  std::span<const std::byte> bytes = chunk.value();
  if (bytes.empty()) return LineStatus::End;
  const auto* data = reinterpret_cast<const char*>(bytes.data());
  // The lenient dialect ends a line at CR too: a CR LF then leaves a blank line, skipped.
  const bool cr_ends = dialect_ == StlDialect::Lenient;
  const char* lf = cr_ends ? find_cr_or_lf(data, bytes.size())
                           : static_cast<const char*>(std::memchr(data, '\n', bytes.size()));
  if (lf) [[likely]] {
    // The whole line is in the buffer: use it in place until the next read.
    line = std::string_view(data, static_cast<std::size_t>(lf - data));
    readable_end = data + bytes.size();
    reader_.consume(line.size() + 1);
  } else {
    line_.assign(data, bytes.size());
    reader_.consume(bytes.size());
    for (;;) {
      chunk = reader_.fill_buf();
      if (!chunk.ok()) {
        error = std::move(chunk.error());
        return LineStatus::Error;
      }
      bytes = chunk.value();
      if (bytes.empty()) break;  // a last line without LF
      data = reinterpret_cast<const char*>(bytes.data());
      lf = cr_ends ? find_cr_or_lf(data, bytes.size())
                   : static_cast<const char*>(std::memchr(data, '\n', bytes.size()));
      const std::size_t part = lf ? static_cast<std::size_t>(lf - data) : bytes.size();
      line_.append(data, part);
      reader_.consume(lf ? part + 1 : part);
      if (lf) break;
    }
    line = line_;
    readable_end = line_.data() + line_.size();
  }
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return LineStatus::Line;
}

AsciiFaceReader::LineStatus AsciiFaceReader::next_token_line(ReadError& error) {
  for (;;) {
    std::string_view line;
    const char* readable_end;
    const LineStatus status = read_line(line, readable_end, error);
    if (status != LineStatus::Line) return status;
    // Lines are nearly always ASCII, and so valid UTF-8; the others are checked first.
    if (!split_ascii_tokens(line, readable_end, tokens_)) [[unlikely]] {
      if (!base::is_valid_utf8(line)) {
        error = ReadError::invalid_data(INVALID_UTF8_MESSAGE);
        return LineStatus::Error;
      }
      split_tokens(line, tokens_);
    }
    if (!tokens_.empty()) return LineStatus::Line;
  }
}

bool AsciiFaceReader::expect_line(std::span<const std::string_view> expected, ReadError& error) {
  const LineStatus status = next_token_line(error);
  if (status == LineStatus::Error) return false;
  if (status == LineStatus::End) {
    error = ReadError::unexpected_eof("EOF while expecting " + debug_quote(expected));
    return false;
  }
  const auto same = [&](std::string_view token, std::string_view word) {
    return is_keyword(token, word, dialect_);
  };
  // A closing line may carry words after its keyword in the lenient dialect, as "endsolid"
  // carries a name in both.
  const bool trailing_words =
      dialect_ == StlDialect::Lenient && expected.size() == 1 && tokens_.size() > 1;
  const bool matches = trailing_words ? same(tokens_[0], expected[0])
                                      : std::equal(tokens_.begin(), tokens_.end(), expected.begin(),
                                                   expected.end(), same);
  if (!matches) {
    error = ReadError::invalid_data("expected " + debug_quote(expected) + ", got " +
                                    debug_quote(tokens_));
    return false;
  }
  return true;
}

// The messages below are fixed by compatibility and must stay exactly as written.
FaceStatus AsciiFaceReader::next(mesh_io::RawFace& face, ReadError& error) {
  // 1. The facet header, or the "endsolid" line. In the strict dialect nothing after that line
  // is ever read; the lenient one reads on into a next solid when the next token line opens
  // one, takes the end of the file for an "endsolid", and ignores anything else after one.
  LineStatus status;
  for (;;) {
    status = next_token_line(error);
    if (status == LineStatus::Error) return FaceStatus::Error;
    if (status == LineStatus::End) {
      if (dialect_ == StlDialect::Lenient) return FaceStatus::End;
      error = ReadError::unexpected_eof("EOF while expecting facet or endsolid.");
      return FaceStatus::Error;
    }
    if (!keyword(0, "endsolid")) break;
    if (dialect_ == StlDialect::Strict) return FaceStatus::End;
    status = next_token_line(error);
    if (status == LineStatus::Error) {
      // What follows the solid is not read for faces: only a failed read counts.
      return error.kind == mesh_io::ReadErrorKind::Os ? FaceStatus::Error : FaceStatus::End;
    }
    if (status == LineStatus::End || !keyword(0, SOLID_KEYWORD)) return FaceStatus::End;
  }
  if (tokens_.size() != 5 || !keyword(0, "facet") || !keyword(1, "normal")) {
    error = ReadError::invalid_data("invalid facet header: " + debug_quote(tokens_));
    return FaceStatus::Error;
  }
  if (auto failure = parse_coordinates(&tokens_[2], face.normal)) {
    error = std::move(*failure);
    return FaceStatus::Error;
  }

  // 2. "outer loop".
  if (!expect_line(OUTER_LOOP, error)) return FaceStatus::Error;

  // 3-5. Three vertices.
  for (base::Point3& vertex : face.vertices) {
    status = next_token_line(error);
    if (status == LineStatus::Error) return FaceStatus::Error;
    if (status == LineStatus::End) {
      error = ReadError::unexpected_eof("EOF while expecting vertex");
      return FaceStatus::Error;
    }
    if (tokens_.size() != 4 || !keyword(0, "vertex")) {
      error = ReadError::invalid_data("vertex f32 f32 f32, got " + debug_quote(tokens_));
      return FaceStatus::Error;
    }
    if (auto failure = parse_coordinates(&tokens_[1], vertex)) {
      error = std::move(*failure);
      return FaceStatus::Error;
    }
  }

  // 6-7. "endloop", then "endfacet".
  if (!expect_line(ENDLOOP, error)) return FaceStatus::Error;
  if (!expect_line(ENDFACET, error)) return FaceStatus::Error;
  return FaceStatus::Face;
}

}  // namespace vertisift::stl
