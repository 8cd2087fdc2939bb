#include "stl/float_parse.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "mesh_io/text_numbers.h"

namespace vertisift::stl {

using mesh_io::ReadErrorKind;
using mesh_io::ReadStatus;
namespace {

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// The strict syntax is the text formats' decimal scanner's, values included, but for C's
// NaN payloads; the scanner's own tests (text_numbers_test.cpp) check the values.
TEST(ParseF32, AcceptsTheScannersSyntax) {
  for (const char* token : {"+.5", "5.", "-5.E-1", "00012.50000", "1e0000000000000000000000003",
                            "-1e-50", "1e39", "Infinity", "-INF", "-0", "16777217"}) {
    const FloatParseResult result = parse_f32(token);
    float expected = 0.0f;
    ASSERT_TRUE(mesh_io::parse_float(token, expected)) << token;
    ASSERT_EQ(result.code, FloatParseCode::Ok) << token;
    EXPECT_EQ(bits_of(result.value), bits_of(expected)) << token;
  }
  for (const char* token : {"nan", "NaN", "-nan", "+NAN"}) {
    const FloatParseResult result = parse_f32(token);
    ASSERT_EQ(result.code, FloatParseCode::Ok) << token;
    EXPECT_TRUE(std::isnan(result.value)) << token;
  }
}

TEST(ParseF32, RefusedSyntax) {
  const char* tokens[] = {
      ".",     "e5",        "1e",    "1.2.3",   "0x1p3",     "1,5",  "+",         "-",
      "+-1",   "--1",       " 1",    "1 ",      "1e+",       "1e-",  "1e+-5",     ".e5",
      "e",     "E",         "in",    "infinit", "infinityy", "nana", "nan(1)",    "infinity1",
      "-inf.", "1_000",     "1'000", "1f",      "1.0f",      "1d",   "0b1",       "1E5.5",
      "1e5e5", "..5",       "5..",   "+.",      "-.e1",      "1e.5", "١",         "１",
      "∞",     "1\xc2\xa0", "0x10",  "1.5D3",   "٫5",        "++1",  "inf inity", "nan()",
  };
  for (const char* token : tokens) {
    EXPECT_EQ(parse_f32(token).code, FloatParseCode::Invalid) << token;
  }
  EXPECT_EQ(parse_f32("").code, FloatParseCode::Empty);
}

std::string coordinates_message(std::vector<std::string_view> tokens) {
  base::Point3 point{};
  const ReadStatus error = parse_coordinates(tokens.data(), point);
  if (!error) return "ok";
  EXPECT_EQ(error->kind, ReadErrorKind::InvalidData);
  return error->message;
}

TEST(ParseCoordinates, FirstFailingTokenDecides) {
  EXPECT_EQ(coordinates_message({"1", "x", "inf"}), "invalid float literal");
  EXPECT_EQ(coordinates_message({"nan", "x", "1"}), "expected finite f32, got NaN which is Nan");
  EXPECT_EQ(coordinates_message({"-NaN", "1", "1"}), "expected finite f32, got NaN which is Nan");
  EXPECT_EQ(coordinates_message({"1", "1e39", "nan"}),
            "expected finite f32, got inf which is Infinite");
  EXPECT_EQ(coordinates_message({"1", "2", "-Infinity"}),
            "expected finite f32, got -inf which is Infinite");
  EXPECT_EQ(coordinates_message({"-1e40", "2", "3"}),
            "expected finite f32, got -inf which is Infinite");
  EXPECT_EQ(coordinates_message({"1", "2", ""}), "cannot parse float from empty string");
  EXPECT_EQ(coordinates_message({"1", "2", "3"}), "ok");
}

TEST(ParseCoordinates, StoresValuesBitForBit) {
  const std::vector<std::string_view> tokens = {"-0", "1e-45", "3.4028235e38"};
  base::Point3 point{};
  ASSERT_FALSE(parse_coordinates(tokens.data(), point));
  EXPECT_EQ(bits_of(point.x), 0x80000000u);
  EXPECT_EQ(bits_of(point.y), 0x00000001u);
  EXPECT_EQ(bits_of(point.z), 0x7F7FFFFFu);
}

}  // namespace
}  // namespace vertisift::stl
