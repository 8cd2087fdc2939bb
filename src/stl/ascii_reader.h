// The ASCII STL reader: a strict line-by-line reader of "solid" ... "endsolid" files whose
// errors quote the offending line's tokens.
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

class AsciiFaceReader final : public mesh_io::FaceSource {
 public:
  enum class FirstLine {
    SolidAndBlank,  // the line begins with "solid " (the only form the probe sends here)
    SolidWord,      // its first token is "solid": "solid" alone, or followed by white space
  };

  // Reads and checks the first line; `stream` is positioned at offset 0.
  static mesh_io::ReadResult<std::unique_ptr<AsciiFaceReader>> open(
      mesh_io::FileStream& stream, FirstLine rule = FirstLine::SolidAndBlank);
  mesh_io::FaceStatus next(mesh_io::RawFace& face, mesh_io::ReadError& error) override;

 private:
  enum class LineStatus { Line, End, Error };

  explicit AsciiFaceReader(mesh_io::FileStream& stream) : reader_(mesh_io::StreamSource{&stream}) {}

  mesh_io::ReadStatus check_first_line(FirstLine rule);
  // The next line without its LF and a CR before it, and how far past it memory may be
  // read. End when the file has no bytes left.
  LineStatus read_line(std::string_view& line, const char*& readable_end,
                       mesh_io::ReadError& error);
  // The next line that holds any token, checked to be UTF-8 and split into `tokens_`.
  LineStatus next_token_line(mesh_io::ReadError& error);
  // The next token line must be exactly `expected`.
  bool expect_line(std::span<const std::string_view> expected, mesh_io::ReadError& error);

  mesh_io::StreamReader reader_;
  std::string line_;
  std::vector<std::string_view> tokens_;
};

}  // namespace vertisift::stl
