// The glTF reader's JSON parser: the grammar held strictly (what it accepts, and where it
// says a text breaks), strings decoded, numbers exact, and nesting bounded.
#include "gltf/json.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vertisift::gltf::json {
namespace {

base::Result<Value, std::string> parsed(std::string_view text) {
  return parse(std::as_bytes(std::span(text.data(), text.size())));
}

TEST(Json, ReadsValuesStringsAndNumbers) {
  auto got = parsed(
      "\xef\xbb\xbf {\"a\": [1, -2.5e3, 0, true, false, null], \"s\": \"x\\u00e9\\ud83d\\ude00"
      "\\n\\\"\\/\xc3\xa9\", \"a\": 7, \"big\": 1e17, \"f\": 0.5}");
  ASSERT_TRUE(got.ok()) << got.error();
  const Value& root = got.value();
  const Value* a = root.find("a");  // of two "a" keys, the first
  ASSERT_TRUE(a != nullptr && a->is_array() && a->items.size() == 6);
  EXPECT_EQ(a->items[0].integer(), 1);
  EXPECT_EQ(a->items[1].number, -2500);
  EXPECT_EQ(a->items[1].integer(), -2500);
  EXPECT_TRUE(a->items[3].boolean);
  EXPECT_EQ(a->items[5].kind, Kind::Null);
  EXPECT_EQ(root.find("s")->text, "x\xc3\xa9\xf0\x9f\x98\x80\n\"/\xc3\xa9");
  EXPECT_FALSE(root.find("big")->integer());  // past 2^53: not an exact integer
  EXPECT_FALSE(root.find("f")->integer());
  EXPECT_EQ(root.find("missing"), nullptr);
}

TEST(Json, RefusesWhatBreaksTheGrammar) {
  const struct {
    std::string_view text;
    std::string_view error;
  } cases[] = {
      {"", "byte 0: the text ends where a value is expected"},
      {"{\"a\" 1}", "byte 5: a ':' expected"},
      {"[1, 2", "byte 5: a ',' or ']' expected"},
      {"{\"a\": 1,}", "byte 8: a key in double quotes expected"},
      {"[01]", "byte 2: a ',' or ']' expected"},
      {"[1.]", "byte 3: a digit expected after '.'"},
      {"[1e]", "byte 3: a digit expected in the exponent"},
      {"[1e999]", "byte 1: a number beyond the range of a double"},
      {"[NaN]", "byte 1: a value expected"},
      {"[tru]", "byte 1: a value expected"},
      {"\"a\tb\"", "byte 2: a control character in a string"},
      {"\"\\x\"", "byte 2: an unknown escape in a string"},
      {"\"\\ud83d\"", "byte 7: a lone surrogate in a string"},
      {"\"\\u12g4\"", "byte 5: four hex digits expected after \\u"},
      {"\"\xc3\"", "byte 1: a string that is not UTF-8"},
      {"\"\xed\xa0\x80\"", "byte 1: a string that is not UTF-8"},
      {"\"abc", "byte 4: the text ends inside a string"},
      {"{} x", "byte 3: the text goes on after its value"},
  };
  for (const auto& c : cases) {
    auto got = parsed(c.text);
    ASSERT_FALSE(got.ok()) << c.text;
    EXPECT_EQ(got.error(), c.error) << c.text;
  }
}

TEST(Json, NestingIsBounded) {
  const std::string deep_enough = std::string(MAX_DEPTH, '[') + std::string(MAX_DEPTH, ']');
  EXPECT_TRUE(parsed(deep_enough).ok());
  const std::string too_deep = "[" + deep_enough + "]";
  auto got = parsed(too_deep);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error(), "byte 128: arrays and objects nest too deep");
  // Far too deep fails the same way, without exhausting the stack.
  EXPECT_FALSE(parsed(std::string(1 << 20, '[')).ok());
}

}  // namespace
}  // namespace vertisift::gltf::json
