#include "base/os_random.h"

#include <gtest/gtest.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

// This binary's getrandom, which the core's calls resolve to: the system call, after
// `interruptions` calls that a signal cut short and `short_reads` that gave one byte.
namespace {
int interruptions = 0;
int short_reads = 0;
}  // namespace

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  if (interruptions > 0) {
    --interruptions;
    errno = EINTR;
    return -1;
  }
  if (short_reads > 0 && length > 1) {
    --short_reads;
    length = 1;
  }
  return syscall(SYS_getrandom, buffer, length, flags);
}

namespace vertisift::base {
namespace {

TEST(FillOsRandom, FillsEveryByteOrReportsTheError) {
  std::uint8_t first[64] = {};
  std::uint8_t second[64] = {};
  ASSERT_EQ(fill_os_random(first, sizeof first), 0);
  ASSERT_EQ(fill_os_random(second, sizeof second), 0);
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  EXPECT_EQ(fill_os_random(nullptr, 16), EFAULT);
}

// A read cut short by a signal, or one that gives fewer bytes, is no failure: it goes on.
TEST(FillOsRandom, GoesOnAfterAnInterruptedOrShortRead) {
  std::uint8_t bytes[64] = {};
  interruptions = 2;
  short_reads = 3;
  ASSERT_EQ(fill_os_random(bytes, sizeof bytes), 0);
  EXPECT_EQ(interruptions, 0);
  EXPECT_EQ(short_reads, 0);
  // 61 bytes of the last read all zero has the chance 2^-488.
  const std::uint8_t zeros[61] = {};
  EXPECT_NE(std::memcmp(bytes + 3, zeros, sizeof zeros), 0);
}

}  // namespace
}  // namespace vertisift::base
