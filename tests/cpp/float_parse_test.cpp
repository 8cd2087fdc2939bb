#include "stl/float_parse.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace vertisift::stl {

using mesh_io::ReadErrorKind;
using mesh_io::ReadStatus;
namespace {

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// glibc's strtof rounds correctly from the decimal digits; on tokens of the accepted syntax
// it is an independent oracle for the value.
float oracle(const std::string& token) { return std::strtof(token.c_str(), nullptr); }

std::string format(const char* pattern, int precision, double value) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, precision, value);
  return text;
}

struct Case {
  const char* token;
  float expected;
};

TEST(ParseF32, AcceptedSyntaxAndValues) {
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {"1", 1.0f},
      {"-0", -0.0f},
      {"+0", 0.0f},
      {"0", 0.0f},
      {"000", 0.0f},
      {"-0.0e-99999999999999999999999", -0.0f},
      {"0e99999999999999999999999", 0.0f},
      {"+.5", 0.5f},
      {"5.", 5.0f},
      {".5e1", 5.0f},
      {"-5.E-1", -0.5f},
      {"1.5E-3", 0x1.89374cp-10f},
      {"1.5e+3", 1500.0f},
      {"00012.50000", 12.5f},
      {"1e0000000000000000000000000000003", 1000.0f},
      {"0.1", 0x1.99999ap-4f},
      {"-123456789", -123456792.0f},
      // Ties to even, at the exact midpoint and one digit either side of it.
      {"16777217", 16777216.0f},
      {"16777219", 16777220.0f},
      {"16777217.000000000000000000000000000001", 16777218.0f},
      {"16777216.999999999999999999999999999999", 16777216.0f},
      {"1.00000005960464477", 1.0f},
      {"1.00000005960464478", 0x1.000002p0f},
      // 1 + 2^-24 + 2^-60, written out exactly: a double rounds it onto the midpoint 1 + 2^-24.
      {"1.000000059604644776257986737988403547205962240695953369140625", 0x1.000002p0f},
      // Few digits, but the double nearest to it is the midpoint (2^24 + 1) * 2^30 itself.
      {"1.801439958322381e16", 0x1.000002p54f},
      // Top of the range: below the midpoint to 2^128, and on it (ties to even goes up).
      {"3.4028234663852886e38", 0x1.fffffep127f},
      {"3.4028235e38", 0x1.fffffep127f},
      {"340282356779733661637539395458142568447", 0x1.fffffep127f},
      {"340282356779733661637539395458142568448", inf},
      {"-340282356779733661637539395458142568448", -inf},
      {"1e39", inf},
      {"-1e39", -inf},
      {"1e99999999999999999999", inf},
      {"0.00000000000000000000000000000000000000000001e83", inf},
      // Bottom of the range: subnormals are kept, half the smallest rounds to even (zero).
      {"1.17549435e-38", 0x1p-126f},
      {"1.17549421e-38", 0x1.fffffcp-127f},
      {"1e-45", 0x1p-149f},
      {"-1.401298464324817e-45", -0x1p-149f},
      {"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319"
       "094181060791015625e-46",
       0.0f},
      {"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319"
       "0941810607910156250000000000000000000001e-46",
       0x1p-149f},
      {"-7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319"
       "094181060791015624999999e-46",
       -0.0f},
      {"2.101947696487225606385594374934874196920392912814773657635602425834686624028790902229957"
       "282543182373046875E-45",
       0x1p-148f},  // 3 * 2^-150, a tie between 2^-149 and 2^-148: even is 2^-148
      {"1e-46", 0.0f},
      {"-1e-50", -0.0f},
      {"1e-99999999999999999999", 0.0f},
      {"10000000000000000000000000000000000000000000000000e-94", 0x1p-149f},
      // Words, in any case and with either sign.
      {"inf", inf},
      {"Infinity", inf},
      {"-INF", -inf},
      {"+iNfInItY", inf},
  };
  for (const Case& c : cases) {
    const FloatParseResult result = parse_f32(c.token);
    ASSERT_EQ(result.code, FloatParseCode::Ok) << c.token;
    EXPECT_EQ(bits_of(result.value), bits_of(c.expected))
        << c.token << " gave " << result.value << ", expected " << c.expected;
  }
  for (const char* token : {"nan", "NaN", "-nan", "+NAN"}) {
    const FloatParseResult result = parse_f32(token);
    ASSERT_EQ(result.code, FloatParseCode::Ok) << token;
    EXPECT_TRUE(std::isnan(result.value)) << token;
  }
}

TEST(ParseF32, DoubleRoundingTrapsAreRealTraps) {
  // Converting to double first and then to float gets these wrong; parse_f32 must not.
  for (const char* token :
       {"1.801439958322381e16", "1.000000059604644776257986737988403547205962240695953369140625"}) {
    const auto via_double = static_cast<float>(std::strtod(token, nullptr));
    EXPECT_NE(bits_of(via_double), bits_of(parse_f32(token).value)) << token;
    EXPECT_EQ(bits_of(oracle(token)), bits_of(parse_f32(token).value)) << token;
  }
}

TEST(ParseF32, RefusedSyntax) {
  const char* tokens[] = {
      ".",     "e5",        "1e",    "1.2.3",   "0x1p3",     "1,5",  "+",         "-",
      "+-1",   "--1",       " 1",    "1 ",      "1e+",       "1e-",  "1e+-5",     ".e5",
      "e",     "E",         "in",    "infinit", "infinityy", "nana", "nan(1)",    "infinity1",
      "-inf.", "1_000",     "1'000", "1f",      "1.0f",      "1d",   "0b1",       "1E5.5",
      "1e5e5", "..5",       "5..",   "+.",      "-.e1",      "1e.5", "١",         "１",
      "∞",     "1\xc2\xa0", "0x10",  "1.5D3",   "٫5",        "++1",  "inf inity",
  };
  for (const char* token : tokens) {
    EXPECT_EQ(parse_f32(token).code, FloatParseCode::Invalid) << token;
  }
  EXPECT_EQ(parse_f32("").code, FloatParseCode::Empty);
}

// Tokens of every accepted shape, generated at random, against the oracle.
TEST(ParseF32, AgreesWithOracleOnRandomTokens) {
  std::mt19937_64 random(20240611);
  auto pick = [&](std::uint64_t bound) { return random() % bound; };
  auto random_float = [&] {
    float value;
    do {
      value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    } while (!std::isfinite(value));
    return value;
  };
  auto digits = [&](std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('0' + pick(10));
    return text;
  };
  auto check = [&](const std::string& token) {
    const FloatParseResult result = parse_f32(token);
    ASSERT_EQ(result.code, FloatParseCode::Ok) << token;
    ASSERT_EQ(bits_of(result.value), bits_of(oracle(token))) << token;
  };

  for (int i = 0; i < 100000; ++i) {
    const float value = random_float();
    check(format("%.*e", static_cast<int>(pick(13)), value));
    check(format("%.*g", 1 + static_cast<int>(pick(17)), value));
    check(format("%.*E", static_cast<int>(pick(20)), value));
    if (std::fabs(value) < 1e12f) check(format("%.*f", static_cast<int>(pick(12)), value));
  }
  for (int i = 0; i < 100000; ++i) {
    const std::size_t integer_digits = pick(4) == 0 ? 0 : pick(30);
    const std::size_t fraction_digits = pick(3) == 0 ? 0 : pick(30);
    std::string token = pick(3) == 0 ? "-" : pick(2) == 0 ? "+" : "";
    token += digits(integer_digits == 0 && fraction_digits == 0 ? 1 : integer_digits);
    if (fraction_digits > 0 || pick(2) == 0) {
      token += '.';
      token += digits(fraction_digits);
    }
    if (pick(2) == 0) {
      token += pick(2) == 0 ? "e" : "E";
      const auto exponent = static_cast<long>(pick(121)) - 70;
      token += exponent < 0 ? "-" : pick(2) == 0 ? "+" : "";
      token += std::string(pick(3), '0') + std::to_string(std::labs(exponent));
    }
    check(token);
  }
  // Long digit strings, many with leading zeros.
  for (int i = 0; i < 5000; ++i) {
    std::string token(pick(50), '0');
    token += digits(1 + pick(300));
    token.insert(pick(token.size() + 1), 1, '.');
    token += 'e';
    token += std::to_string(static_cast<long>(pick(120)) - 100);
    check(token);
  }
}

// Midpoints between neighbouring floats, written out exactly, and a hair above and below:
// where a conversion that rounds twice goes wrong.
TEST(ParseF32, AgreesWithOracleAroundMidpoints) {
  std::mt19937_64 random(77);
  for (int i = 0; i < 50000; ++i) {
    // Mostly normal values, and a share of subnormals and of the top binade.
    std::uint32_t bits = static_cast<std::uint32_t>(random()) & 0x7FFFFFFF;
    if (i % 5 == 0) bits &= 0x007FFFFF;
    if (i % 7 == 0) bits |= 0x7F000000;
    if (bits >= 0x7F7FFFFF) bits = 0x7F7FFFFE;
    const double low = std::bit_cast<float>(bits);
    const double high = std::bit_cast<float>(bits + 1);
    const double midpoint = (low + high) / 2;  // exact: 25 significant bits
    // glibc prints the exact binary value when asked for enough digits.
    std::string exact = format("%.*e", 160, midpoint);
    const std::size_t e = exact.find('e');
    std::string mantissa = exact.substr(0, e);
    const std::string exponent = exact.substr(e);
    while (mantissa.back() == '0') mantissa.pop_back();
    std::string below = mantissa;
    below.back() = static_cast<char>(below.back() - 1);  // the last digit of an exact dyadic is 5
    for (const std::string& token :
         {mantissa + exponent, mantissa + "000001" + exponent, below + "9999999" + exponent}) {
      const FloatParseResult result = parse_f32(token);
      ASSERT_EQ(result.code, FloatParseCode::Ok) << token;
      ASSERT_EQ(bits_of(result.value), bits_of(oracle(token))) << token;
    }
  }
}

// Every 1021st float, written with 9 significant digits, comes back bit for bit.
TEST(ParseF32, RoundTripsNineDigitsSweep) {
  for (std::uint64_t bits = 0; bits < 0x7F800000; bits += 1021) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    const std::string token = format("%.*g", 9, value);
    ASSERT_EQ(bits_of(parse_f32(token).value), bits_of(value)) << token;
  }
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
