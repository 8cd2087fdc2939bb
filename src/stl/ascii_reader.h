// The ASCII STL reader: a line-by-line reader of "solid" ... "endsolid" files whose errors
// quote the offending line's tokens. It reads in one of two dialects (stl/dialect.h): the
// strict grammar, or the lenient one that also takes what other tools write (keywords in any
// case, blanks or a byte-order mark before "solid", lines ended by CR alone, trailing words
// on the closing lines, several solids one after another, no "endsolid" at the end).
//
// Lines are read through the reader's own 8192-byte buffer. A line that lies within the
// buffer is examined in place; one that spans buffer fills is collected whole in `line_`.
// The tokens of the current line are views into one of the two and are dropped once the line
// has been examined, so at any time the reader holds one line and the face being built.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mesh_io/face_source.h"
#include "mesh_io/file_stream.h"
#include "stl/dialect.h"

namespace vertisift::stl {

// The reader's messages are fixed by compatibility and must stay exactly as written.
inline constexpr const char* INVALID_UTF8_MESSAGE = "stream did not contain valid UTF-8";

// The keyword that opens every ASCII STL file, and the prefix the probe looks for: the
// keyword and a blank.
inline constexpr std::string_view SOLID_KEYWORD = "solid";
inline constexpr std::string_view SOLID_PREFIX = "solid ";

// Length in bytes of the Unicode White_Space character that starts at `at`, or 0 when the
// character there is not white space. `at` points into valid UTF-8 that holds the whole
// character.
std::size_t white_space_length(const char* at);

// Splits `line` (valid UTF-8) at every run of Unicode white space into `tokens`, which is
// cleared first. No token is empty.
void split_tokens(std::string_view line, std::vector<std::string_view>& tokens);

// The same for a line of ASCII only, with ASCII white space; false, with `tokens` unspecified,
// when the line holds any other byte.
bool split_ascii_tokens(std::string_view line, std::vector<std::string_view>& tokens);
// The same, allowed to read (and ignore) the bytes after the line up to `readable_end`.
bool split_ascii_tokens(std::string_view line, const char* readable_end,
                        std::vector<std::string_view>& tokens);

// True when `token` is the keyword `lower` (lower case): exactly in the strict dialect, in any
// letter case in the lenient one.
bool is_keyword(std::string_view token, std::string_view lower, StlDialect dialect);

// How the lenient dialect's first line went: it begins, after an optional UTF-8 byte-order mark
// and any white space (blank lines too), with "solid" in any case followed by white space or
// the end of the line, and holds no control character but white space. The line ends at LF or
// CR.
enum class LenientStart { Solid, NotSolid, Empty, Error };

// Reads the first line by the lenient rule from `reader`, leaving it just past that line's end.
// The line is never held whole. `error` is set only for Error (a failed read).
LenientStart read_lenient_first_line(mesh_io::StreamReader& reader, mesh_io::ReadError& error);

class AsciiFaceReader final : public mesh_io::FaceSource {
 public:
  enum class FirstLine {
    SolidAndBlank,  // the line begins with "solid " (the only form the probe sends here)
    SolidWord,      // its first token is "solid": "solid" alone, or followed by white space
  };

  // Reads and checks the first line; `stream` is positioned at offset 0. The lenient dialect
  // has its own first-line rule and ignores `rule`.
  static mesh_io::ReadResult<std::unique_ptr<AsciiFaceReader>> open(
      mesh_io::FileStream& stream, FirstLine rule = FirstLine::SolidAndBlank,
      StlDialect dialect = StlDialect::Strict);
  mesh_io::FaceStatus next(mesh_io::RawFace& face, mesh_io::ReadError& error) override;

 private:
  enum class LineStatus { Line, End, Error };

  AsciiFaceReader(mesh_io::FileStream& stream, StlDialect dialect)
      : reader_(mesh_io::StreamSource{&stream}), dialect_(dialect) {}

  mesh_io::ReadStatus check_first_line(FirstLine rule);
  // The next line without its LF and a CR before it (lenient: up to the first CR or LF), and
  // how far past it memory may be read. End when the file has no bytes left.
  LineStatus read_line(std::string_view& line, const char*& readable_end,
                       mesh_io::ReadError& error);
  // The next line that holds any token, checked to be UTF-8 and split into `tokens_`.
  LineStatus next_token_line(mesh_io::ReadError& error);
  // The next token line must be exactly `expected` (lenient: its keywords in any case, and
  // after a closing keyword, any words).
  bool expect_line(std::span<const std::string_view> expected, mesh_io::ReadError& error);
  bool keyword(std::size_t index, std::string_view lower) const {
    return is_keyword(tokens_[index], lower, dialect_);
  }

  mesh_io::StreamReader reader_;
  StlDialect dialect_;
  std::string line_;
  std::vector<std::string_view> tokens_;
};

}  // namespace vertisift::stl
