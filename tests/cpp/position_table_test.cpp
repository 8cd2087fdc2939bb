#include "base/position_table.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace vertisift::base {
namespace {

struct Reservation {
  std::size_t stored;
  std::size_t count;
};

class PositionTableReserve : public ::testing::TestWithParam<Reservation> {};

// Room is made for every position asked for at once, beyond those stored, so that slots
// prefetched for a whole block stay valid and no search runs into a full table.
TEST_P(PositionTableReserve, MakesRoomForTheStoredAndTheNewPositions) {
  const Reservation reservation = GetParam();
  PositionTable table(next_hash_keys(), 4, 4);
  table.reserve_for(0, reservation.stored);
  std::uint32_t stored = 0;
  for (; stored < reservation.stored; ++stored) {
    const Point3 position{static_cast<float>(stored), 0.0f, 1.0f};
    ASSERT_EQ(table.find_or_insert(position, table.hash(position), stored), stored);
  }
  table.reserve_for(stored, reservation.count);
  ASSERT_GE(table.capacity(), 2 * (reservation.stored + reservation.count));
  for (std::uint32_t i = 0; i < reservation.count; ++i, ++stored) {
    const Point3 position{static_cast<float>(stored), 0.0f, 1.0f};
    ASSERT_EQ(table.find_or_insert(position, table.hash(position), stored), stored);
  }
  const Point3 first{0.0f, 0.0f, 1.0f};
  if (stored > 0) {
    EXPECT_EQ(table.find_or_insert(first, table.hash(first), stored), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, PositionTableReserve,
                         ::testing::Values(Reservation{0, 1000}, Reservation{1, 1000},
                                           Reservation{3, 5}, Reservation{300, 700}));

}  // namespace
}  // namespace vertisift::base
