// The one decimal scanner and the one integer scanner of the text formats: correctly
// rounded against an independent oracle, the range's ends included, and nothing else taken.
#include "mesh_io/text_numbers.h"

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

namespace vertisift::mesh_io {
namespace {

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

// glibc's strtof rounds correctly from the decimal digits; on tokens of the accepted syntax
// it is an independent oracle for the value.
float oracle(const std::string& token) { return std::strtof(token.c_str(), nullptr); }

// The token as parse_float reads it; a failure to read it fails the test, and so does a
// reading with the fraction taken eight digits at a time that differs from it.
float parsed(const std::string& token) {
  float value = 7.0f;
  EXPECT_TRUE(parse_float(token, value)) << token;
  const char* at = token.data();
  float long_value = 7.0f;
  EXPECT_TRUE(
      (scan_float<nothing_follows, Fraction::Long>(at, token.data() + token.size(), long_value)))
      << token;
  EXPECT_EQ(bits_of(long_value), bits_of(value)) << token;
  return value;
}

std::string format(const char* pattern, int precision, double value) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, precision, value);
  return text;
}

struct Case {
  const char* token;
  float expected;
};

TEST(ScanFloat, AcceptedSyntaxAndValues) {
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
      // The ends of the range, in the text formats' spellings.
      {"+1.5", 1.5f},
      {"1e-50", 0.0f},
      {"-1e-400", -0.0f},
      {"1e50", inf},
      {"-1e400", -inf},
      {"1.4e-45", 0x1p-149f},
      {"-Infinity", -inf},
  };
  for (const Case& c : cases) {
    const float value = parsed(c.token);
    EXPECT_EQ(bits_of(value), bits_of(c.expected))
        << c.token << " gave " << value << ", expected " << c.expected;
  }
  // NaN keeps the sign written, with or without C's payload.
  for (const char* token : {"nan", "NaN", "-nan", "+NAN", "nan()", "-nan(0x_1F)"}) {
    const float value = parsed(token);
    EXPECT_TRUE(std::isnan(value)) << token;
    EXPECT_EQ(std::signbit(value), token[0] == '-') << token;
  }
}

TEST(ScanFloat, DoubleRoundingTrapsAreRealTraps) {
  // Converting to double first and then to float gets these wrong; parse_float must not.
  for (const char* token :
       {"1.801439958322381e16", "1.000000059604644776257986737988403547205962240695953369140625"}) {
    const auto via_double = static_cast<float>(std::strtod(token, nullptr));
    EXPECT_NE(bits_of(via_double), bits_of(parsed(token))) << token;
    EXPECT_EQ(bits_of(oracle(token)), bits_of(parsed(token))) << token;
  }
}

TEST(ScanFloat, RefusedSyntax) {
  const char* tokens[] = {
      "",        ".",         "e5",        "1e",    "1.2.3",     "0x1p3",     "1,5",   "+",
      "-",       "+-1",       "--1",       " 1",    "1 ",        "1e+",       "1e-",   "1e+-5",
      ".e5",     "e",         "E",         "in",    "infinit",   "infinityy", "nana",  "nan(1",
      "nan(1)x", "nan(-)",    "infinity1", "-inf.", "1_000",     "1'000",     "1f",    "1.0f",
      "1d",      "0b1",       "1E5.5",     "1e5e5", "..5",       "5..",       "+.",    "-.e1",
      "1e.5",    "١",         "１",        "∞",     "1\xc2\xa0", "0x10",      "1.5D3", "٫5",
      "++1",     "inf inity", "1.#IND",
  };
  for (const char* token : tokens) {
    float value = 0.0f;
    EXPECT_FALSE(parse_float(token, value)) << token;
  }
}

// Tokens of every accepted shape, generated at random, against the oracle.
TEST(ScanFloat, AgreesWithOracleOnRandomTokens) {
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
    ASSERT_EQ(bits_of(parsed(token)), bits_of(oracle(token))) << token;
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
  // Digits making an integer about 2^24, most at or below it, with up to 11 after the point,
  // short parts included ("%f"): one float operation rounds them, up to 2^24 and 10^-10.
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t mantissa = pick(2) == 0 ? pick((std::uint64_t{1} << 24) + 64)
                                                : (std::uint64_t{1} << 24) - 32 + pick(64);
    std::string token = std::to_string(mantissa);
    const std::size_t scale = pick(12);
    if (token.size() <= scale) token.insert(0, scale + 1 - token.size(), '0');
    token.insert(token.size() - scale, 1, '.');
    check(pick(2) == 0 ? token : "-" + token);
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
TEST(ScanFloat, AgreesWithOracleAroundMidpoints) {
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
      ASSERT_EQ(bits_of(parsed(token)), bits_of(oracle(token))) << token;
    }
  }
}

// Every 1021st float, written with 9 significant digits, comes back bit for bit.
TEST(ScanFloat, RoundTripsNineDigitsSweep) {
  for (std::uint64_t bits = 0; bits < 0x7F800000; bits += 1021) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    const std::string token = format("%.*g", 9, value);
    ASSERT_EQ(bits_of(parsed(token)), bits_of(value)) << token;
  }
}

// What a reader accepts after a number is its own: the scanners stop at it, refuse any other
// byte, and leave the position where it was when they refuse.
bool is_hash(char c) { return c == '#'; }

TEST(ScanFloat, StopsOnlyWhereTheReaderSays) {
  for (const std::string text : {"1.5#", "-2e3#x", "inf#", "-0#", "12345678901234567890#"}) {
    const char* at = text.data();
    float value = 0.0f;
    ASSERT_TRUE(scan_float<is_hash>(at, text.data() + text.size(), value)) << text;
    EXPECT_EQ(*at, '#') << text;
    EXPECT_EQ(bits_of(value), bits_of(oracle(text.substr(0, text.find('#'))))) << text;
  }
  for (const std::string text : {"1.5 ", "1.5x#", "1e#", "-#", "#", "infx#"}) {
    const char* at = text.data();
    float value = 0.0f;
    EXPECT_FALSE(scan_float<is_hash>(at, text.data() + text.size(), value)) << text;
    EXPECT_EQ(at, text.data()) << text;
  }
}

TEST(ScanInteger, RangeSignsAndEnds) {
  const struct {
    const char* token;
    std::int64_t value;
  } cases[] = {
      {"0", 0},
      {"+12", 12},
      {"-3", -3},
      {"000000000000000000000000042", 42},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"1234567890123456789", 1234567890123456789},
  };
  for (const auto& c : cases) {
    std::int64_t value = 0;
    EXPECT_TRUE(parse_integer(c.token, value) && value == c.value) << c.token;
  }
  for (const char* bad :
       {"", "1.0", "99999999999999999999", "9223372036854775808", "-9223372036854775809",
        "18446744073709551616", "- 1", "+", "+-1", "1e3", "0x1"}) {
    std::int64_t value = 0;
    EXPECT_FALSE(parse_integer(bad, value)) << bad;
  }
  const std::string text = "-17#";
  const char* at = text.data();
  std::int64_t value = 0;
  ASSERT_TRUE(scan_integer<is_hash>(at, text.data() + text.size(), value));
  EXPECT_EQ(value, -17);
  EXPECT_EQ(*at, '#');
  at = text.data();
  EXPECT_FALSE(scan_integer<is_blank>(at, text.data() + text.size(), value));
  EXPECT_EQ(at, text.data());
}

TEST(TextNumbers, Tokens) {
  std::string_view rest = " \tf  1/2\v3\r";
  EXPECT_EQ(next_token(rest), "f");
  EXPECT_EQ(next_token(rest), "1/2");
  EXPECT_EQ(next_token(rest), "3");
  EXPECT_EQ(next_token(rest), "");
}

}  // namespace
}  // namespace vertisift::mesh_io
