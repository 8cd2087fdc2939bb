// Numbers of the text formats: correctly rounded, the range's ends included, nothing else.
#include "mesh_io/text_numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vertisift::mesh_io {
namespace {

TEST(TextNumbers, FloatsAndTheirRangesEnds) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* token;
    float value;
  } cases[] = {
      {"+1.5", 1.5f},
      {"-0", -0.0f},
      {"1e-50", 0.0f},
      {"-1e-400", -0.0f},
      {"1e50", inf},
      {"-1e400", -inf},
      {"1e99999999999999999999", inf},
      {"1.4e-45", std::numeric_limits<float>::denorm_min()},
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"0.1", 0.1f},
      {"-Infinity", -inf},
  };
  for (const auto& c : cases) {
    float value = 7.0f;
    ASSERT_TRUE(parse_float(c.token, value)) << c.token;
    EXPECT_EQ(value, c.value) << c.token;
    EXPECT_EQ(std::signbit(value), std::signbit(c.value)) << c.token;
  }
  float value = 0.0f;
  EXPECT_TRUE(parse_float("nan", value) && std::isnan(value));
  for (const char* bad : {"", "+", "+-1", "1.#IND", "0x10", "1 ", "1,5", "e5"}) {
    EXPECT_FALSE(parse_float(bad, value)) << bad;
  }
}

TEST(TextNumbers, IntegersAndTokens) {
  std::int64_t value = 0;
  EXPECT_TRUE(parse_integer("+12", value) && value == 12);
  EXPECT_TRUE(parse_integer("-3", value) && value == -3);
  for (const char* bad : {"", "1.0", "99999999999999999999", "- 1", "+"}) {
    EXPECT_FALSE(parse_integer(bad, value)) << bad;
  }
  std::string_view rest = " \tf  1/2\v3\r";
  EXPECT_EQ(next_token(rest), "f");
  EXPECT_EQ(next_token(rest), "1/2");
  EXPECT_EQ(next_token(rest), "3");
  EXPECT_EQ(next_token(rest), "");
}

}  // namespace
}  // namespace vertisift::mesh_io
