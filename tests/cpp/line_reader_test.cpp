// LineReader over every way of cutting the bytes into blocks: the same lines, numbers and
// offsets, and the same bytes after them.
#include "mesh_io/line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vertisift::mesh_io {
namespace {

std::span<const std::byte> bytes_of(const std::string& text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

struct Read {
  std::vector<std::string> lines;
  std::string rest;
};

Read read_all(const std::string& text, std::size_t piece, std::size_t line_count) {
  MemorySource source(bytes_of(text), piece);
  LineReader reader(source, "TXT");
  Read got;
  std::string_view line;
  while (got.lines.size() < line_count) {
    auto more = reader.next(line);
    EXPECT_TRUE(more.ok());
    if (!more.value()) break;
    got.lines.emplace_back(line);
    EXPECT_EQ(reader.line_number(), got.lines.size());
  }
  for (;;) {
    auto bytes = reader.next_bytes();
    EXPECT_TRUE(bytes.ok());
    if (bytes.value().empty()) break;
    got.rest.append(reinterpret_cast<const char*>(bytes.value().data()), bytes.value().size());
  }
  EXPECT_EQ(reader.offset(), text.size());
  return got;
}

TEST(LineReader, EveryLineEndInEveryCut) {
  const std::string text = "a b\nc\r\n\rd\r\re  \n\nlast";
  const std::vector<std::string> lines = {"a b", "c", "", "d", "", "e  ", "", "last"};
  for (std::size_t piece = 1; piece <= text.size(); ++piece) {
    const Read got = read_all(text, piece, SIZE_MAX);
    EXPECT_EQ(got.lines, lines) << "pieces of " << piece;
    EXPECT_EQ(got.rest, "");
  }
}

TEST(LineReader, BytesAfterTheLinesKeepTheirFirstByte) {
  // A CR LF ends the header line however the blocks fall; a LF after it is data.
  const std::string text = std::string("ply\r\nend\r\n\n\r\x01", 13);
  for (std::size_t piece = 1; piece <= text.size(); ++piece) {
    const Read got = read_all(text, piece, 2);
    EXPECT_EQ(got.lines, (std::vector<std::string>{"ply", "end"})) << "pieces of " << piece;
    EXPECT_EQ(got.rest, std::string("\n\r\x01", 3)) << "pieces of " << piece;
  }
}

// A line longer than the bound: cut to its first bytes where the caller allows it (the rest
// skipped, the offsets counting it), an error that names it where it does not.
TEST(LineReader, LongLinesAreCutOrRefused) {
  const std::string text = "12345678\n#comment, longer\r\nnext\nkept, too long\nlast";
  const auto comment = [](std::string_view head) { return head.starts_with('#'); };
  for (std::size_t piece = 1; piece <= text.size(); ++piece) {
    MemorySource source(bytes_of(text), piece);
    LineReader reader(source, "TXT", 8);
    std::vector<std::string> lines;
    std::string_view line;
    for (int i = 0; i < 3; ++i) {
      auto more = reader.next(line, comment);
      ASSERT_TRUE(more.ok() && more.value());
      lines.emplace_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"12345678", "#comment", "next"}));
    EXPECT_EQ(reader.offset(), 32u) << "pieces of " << piece;
    auto refused = reader.next(line, comment);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().display(), "TXT line 4: the line is longer than 8 bytes");
  }
  EXPECT_EQ(line_too_long("OFF", 3, MAX_LINE_BYTES).display(),
            "OFF line 3: the line is longer than 4 MiB");
}

}  // namespace
}  // namespace vertisift::mesh_io
