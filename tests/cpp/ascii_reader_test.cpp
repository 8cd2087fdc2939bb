#include "stl/ascii_reader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace vertisift::stl {

using mesh_io::FileStream;
namespace {

// A file holding `content`, removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/ascii_reader_testXXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The message of opening `content` with `rule`, or "ok".
std::string open_message(
    const std::string& content,
    AsciiFaceReader::FirstLine rule = AsciiFaceReader::FirstLine::SolidAndBlank) {
  TempFile file(content);
  auto stream = FileStream::open(file.path());
  EXPECT_TRUE(stream.ok());
  auto reader = AsciiFaceReader::open(stream.value(), rule);
  return reader.ok() ? "ok" : reader.error().message;
}

constexpr const char* NOT_SOLID = "ascii STL does not start with \"solid \"";

TEST(AsciiFaceReaderOpen, FirstLineChecks) {
  EXPECT_EQ(std::string(NOT_SOLID).size(), 38u);
  EXPECT_EQ(open_message(""), "empty file?");
  EXPECT_EQ(open_message("solid x\n"), "ok");
  EXPECT_EQ(open_message("solid "), "ok");
  EXPECT_EQ(open_message("solid \r\n"), "ok");
  EXPECT_EQ(open_message("solid\n"), NOT_SOLID);
  EXPECT_EQ(open_message("solid\r\n"), NOT_SOLID);
  EXPECT_EQ(open_message("solid\tx\n"), NOT_SOLID);
  EXPECT_EQ(open_message("SOLID x\n"), NOT_SOLID);
  EXPECT_EQ(open_message("\n"), NOT_SOLID);
  EXPECT_EQ(open_message(" solid x\n"), NOT_SOLID);
  // The UTF-8 check of the whole line comes before the prefix check.
  EXPECT_EQ(open_message("solix \xff\n"), "stream did not contain valid UTF-8");
  EXPECT_EQ(open_message("solid " + std::string(20000, 'n') + "\xe2\x82\n"),
            "stream did not contain valid UTF-8");
  EXPECT_EQ(open_message("solid x\n\xff\n"), "ok");  // the second line is not read yet
}

TEST(AsciiFaceReaderOpen, SolidWordRule) {
  const auto rule = AsciiFaceReader::FirstLine::SolidWord;
  for (const char* good : {"solid", "solid\n", "solid\r\n", "solid x\n", "solid\tx\n",
                           "solid\xc2\xa0x\n", "solid\xe3\x80\x80\n", "solid\x0b", "solid\r\r\n"}) {
    EXPECT_EQ(open_message(good, rule), "ok") << good;
  }
  for (const char* bad :
       {"solidx\n", "solid\xe2\x80\x8bx\n", "soli\n", "Solid\n", " solid\n", "solid\x1f\n"}) {
    EXPECT_EQ(open_message(bad, rule), NOT_SOLID) << bad;
  }
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string_view> views;
  split_tokens(line, views);
  return {views.begin(), views.end()};
}

TEST(SplitTokens, ExactlyTheUnicodeWhiteSpace) {
  using Tokens = std::vector<std::string>;
  EXPECT_EQ(split(""), Tokens{});
  EXPECT_EQ(split(" \t "), Tokens{});
  EXPECT_EQ(split("  a  bc\td "), (Tokens{"a", "bc", "d"}));
  // clang-format off
  const char* white_space[] = {
      "\t", "\n", "\x0b", "\x0c", "\r", " ", "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80",
      "\xe2\x80\x80", "\xe2\x80\x85", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9",
      "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
  // clang-format on
  for (const char* blank : white_space) {
    EXPECT_EQ(split(std::string("a") + blank + "b" + blank), (Tokens{"a", "b"})) << blank;
  }
  // Near misses: same lead bytes, or blank-looking, but not White_Space.
  // clang-format off
  const char* not_white_space[] = {
      "\x1c", "\x1f", "\xc2\x80", "\xc2\xa1", "\xe1\x9a\x81", "\xe1\xa0\x8e" /* U+180E */,
      "\xe2\x80\x8b" /* U+200B */, "\xe2\x80\xae", "\xe2\x81\xa0" /* U+2060 */,
      "\xe3\x80\x81", "\xef\xbb\xbf" /* U+FEFF */};
  // clang-format on
  for (const char* other : not_white_space) {
    const std::string token = std::string("a") + other + "b";
    EXPECT_EQ(split(token), Tokens{token}) << other;
  }
}

TEST(SplitTokens, AsciiSplitterAgreesOnRandomLines) {
  std::mt19937_64 random(5);
  // clang-format off
  const char alphabet[] = " \t\x0b\x0c\r\n\x01\x1f" "ab.-+e9~\x7f";
  // clang-format on
  std::vector<std::string_view> fast;
  std::vector<std::string_view> general;
  for (int i = 0; i < 20000; ++i) {
    std::string line(random() % 300, ' ');
    for (char& c : line) c = alphabet[random() % (sizeof alphabet - 1)];
    ASSERT_TRUE(split_ascii_tokens(line, fast));
    split_tokens(line, general);
    ASSERT_EQ(fast, general) << line;
  }
  EXPECT_FALSE(split_ascii_tokens("vertex 1 2 \xc2\xa0", fast));
  EXPECT_FALSE(split_ascii_tokens(std::string(100, 'a') + "\xff", fast));
}

}  // namespace
}  // namespace vertisift::stl
