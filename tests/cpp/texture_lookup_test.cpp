// The texture lookup: texel centres, the wrap at the edges and far from them, and every texel
// layout (grey, RGB, four components, floats) giving the same colours.
#include "sample/texture_lookup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vertisift::sample {
namespace {

// A 4 x 2 image: R rises across the columns, G is the row, B 0.
constexpr std::size_t WIDTH = 4, HEIGHT = 2;
std::uint8_t red(std::size_t column) { return static_cast<std::uint8_t>(column * 85); }
std::uint8_t green(std::size_t row) { return static_cast<std::uint8_t>(row * 255); }

struct Layouts {
  std::vector<std::uint8_t> grey, rgb, rgbx;
  std::vector<float> floats;
  Layouts() {
    for (std::size_t row = 0; row < HEIGHT; ++row) {
      for (std::size_t column = 0; column < WIDTH; ++column) {
        grey.push_back(red(column));
        for (const std::uint8_t c : {red(column), green(row), std::uint8_t{0}}) {
          rgb.push_back(c);
          rgbx.push_back(c);
          floats.push_back(static_cast<float>(c) / 255.0f);
        }
        rgbx.push_back(99);
      }
    }
  }
};

TEST(TextureLookup, TexelCentresAndTheWrap) {
  const Layouts layouts;
  const Texels rgb{.data = layouts.rgb.data(),
                   .width = WIDTH,
                   .height = HEIGHT,
                   .stride = 3,
                   .floats = false,
                   .wrap_u = {},
                   .wrap_v = {}};
  // Column 1's centre, in the top row (v counts from the bottom).
  base::Point3 at = look_up(rgb, 1.5 / WIDTH, 1 - 0.5 / HEIGHT);
  EXPECT_FLOAT_EQ(at.x, 85 / 255.0f);
  EXPECT_FLOAT_EQ(at.y, 0);
  // u = 0 lies half way between the last column and the first; v = 0 between the rows too.
  at = look_up(rgb, 0, 0);
  EXPECT_FLOAT_EQ(at.x, 127.5f / 255.0f);
  EXPECT_FLOAT_EQ(at.y, 0.5f);
  // Whole periods away, and below zero, the same texels (coordinates whose sums are exact).
  for (const double shift : {1.0, -1.0, 0x1p30, -0x1p40}) {
    const base::Point3 far = look_up(rgb, 0.375 + shift, 0.8125 - shift);
    const base::Point3 near = look_up(rgb, 0.375, 0.8125);
    EXPECT_FLOAT_EQ(far.x, near.x) << shift;
    EXPECT_FLOAT_EQ(far.y, near.y) << shift;
  }
}

TEST(TextureLookup, ClampAndMirrorAlongEachAxis) {
  const Layouts layouts;
  Texels texels{.data = layouts.rgb.data(),
                .width = WIDTH,
                .height = HEIGHT,
                .stride = 3,
                .floats = false,
                .wrap_u = mesh_io::Wrap::ClampToEdge,
                .wrap_v = mesh_io::Wrap::MirroredRepeat};
  // Clamped: left of the first centre (and far past it) is the first column; right of the
  // last, the last.
  for (const double u : {0.1 / WIDTH, -0.3, -7.0}) EXPECT_FLOAT_EQ(look_up(texels, u, 0.75).x, 0);
  EXPECT_FLOAT_EQ(look_up(texels, 1.6, 0.75).x, 1);
  // Mirrored: v and -v, and 1 + v and 1 - v, meet the same texels, and the edges repeat their
  // own row rather than the opposite one.
  for (const double v : {0.1, 0.3, 0.45}) {
    EXPECT_FLOAT_EQ(look_up(texels, 0.375, -v).y, look_up(texels, 0.375, v).y) << v;
    EXPECT_FLOAT_EQ(look_up(texels, 0.375, 1 + v).y, look_up(texels, 0.375, 1 - v).y) << v;
  }
  EXPECT_FLOAT_EQ(look_up(texels, 0.375, 0).y, 1);  // the bottom row, twice over
  texels.wrap_v = mesh_io::Wrap::Repeat;
  EXPECT_FLOAT_EQ(look_up(texels, 0.375, 0).y, 0.5f);  // repeat: half the top row
}

TEST(TextureLookup, EveryLayoutGivesTheSameColours) {
  const Layouts layouts;
  const Texels rgb{.data = layouts.rgb.data(),
                   .width = WIDTH,
                   .height = HEIGHT,
                   .stride = 3,
                   .floats = false,
                   .wrap_u = {},
                   .wrap_v = {}};
  const Texels layouts_alike[] = {
      {.data = layouts.rgbx.data(),
       .width = WIDTH,
       .height = HEIGHT,
       .stride = 4,
       .floats = false,
       .wrap_u = {},
       .wrap_v = {}},
      {.data = layouts.floats.data(),
       .width = WIDTH,
       .height = HEIGHT,
       .stride = 3,
       .floats = true,
       .wrap_u = {},
       .wrap_v = {}},
  };
  const Texels grey{.data = layouts.grey.data(),
                    .width = WIDTH,
                    .height = HEIGHT,
                    .stride = 1,
                    .floats = false,
                    .wrap_u = {},
                    .wrap_v = {}};
  for (const double u : {0.0, 0.13, 0.5, 0.99}) {
    for (const double v : {0.0, 0.4, 0.75}) {
      const base::Point3 expected = look_up(rgb, u, v);
      for (const Texels& other : layouts_alike) {
        const base::Point3 got = look_up(other, u, v);
        EXPECT_NEAR(got.x, expected.x, 1e-6);
        EXPECT_NEAR(got.y, expected.y, 1e-6);
        EXPECT_NEAR(got.z, expected.z, 1e-6);
      }
      // Grey: its one component in all three.
      const base::Point3 g = look_up(grey, u, v);
      EXPECT_FLOAT_EQ(g.x, expected.x);
      EXPECT_FLOAT_EQ(g.z, expected.x);
    }
  }
}

}  // namespace
}  // namespace vertisift::sample
