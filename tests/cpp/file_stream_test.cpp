#include "mesh_io/file_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_files.h"

namespace vertisift::mesh_io {
namespace {

using test_files::write_temp;

std::string pattern() { return test_files::pattern(30000); }

std::size_t open_descriptors() { return test_files::proc_entries("fd"); }

// Small reads through the buffer, exact reads across its refills, a large read that bypasses
// it, then rewind: every byte comes from its own offset, and the end is reported.
TEST(FileStream, ReadsEveryByteInOrderAndRewinds) {
  const std::string expected = pattern();
  const std::string path = write_temp(expected);
  auto opened = FileStream::open(path);
  ASSERT_TRUE(opened.ok());
  FileStream& stream = opened.value();
  auto size = stream.size();
  ASSERT_TRUE(size.ok());
  EXPECT_EQ(size.value(), expected.size());
  std::string got(expected.size(), '\0');
  auto* at = reinterpret_cast<std::byte*>(got.data());
  std::size_t offset = 0;
  for (std::size_t count : {1u, 7u, 100u}) {
    auto read = stream.read(at + offset, count);
    ASSERT_TRUE(read.ok());
    ASSERT_EQ(read.value(), count);
    offset += count;
  }
  ASSERT_FALSE(stream.exact_read(at + offset, 9000));  // across the first refill
  offset += 9000;
  // The rest of the buffer first, then the remaining bytes straight from the file.
  while (offset < got.size()) {
    auto read = stream.read(at + offset, got.size() - offset);
    ASSERT_TRUE(read.ok());
    ASSERT_GT(read.value(), 0u);
    offset += read.value();
  }
  EXPECT_EQ(got, expected);
  std::byte past[1];
  auto end = stream.read(past, 1);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(end.value(), 0u);
  auto short_read = stream.exact_read(past, 1);
  ASSERT_TRUE(short_read);
  EXPECT_EQ(short_read->display(), FILL_BUFFER_MESSAGE);

  ASSERT_FALSE(stream.rewind());
  std::byte first[300];
  ASSERT_FALSE(stream.exact_read(first, sizeof first));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(first), sizeof first), expected.substr(0, 300));
  ::unlink(path.c_str());
}

TEST(FileStream, MissingFileIsTheSystemError) {
  auto opened = FileStream::open(::testing::TempDir() + "file_stream_test_missing");
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().display(), "No such file or directory (os error 2)");
}

// Every stream gives its descriptor back: when closed, and when destroyed without a close.
TEST(FileStream, NoDescriptorOutlivesItsStream) {
  const std::string path = write_temp("solid x\n");
  const std::size_t before = open_descriptors();
  for (int round = 0; round < 200; ++round) {
    auto opened = FileStream::open(path);
    ASSERT_TRUE(opened.ok());
    std::byte byte[1];
    ASSERT_FALSE(opened.value().exact_read(byte, 1));
    if (round % 2 == 0) opened.value().close();
  }
  EXPECT_EQ(open_descriptors(), before);
  ::unlink(path.c_str());
}

}  // namespace
}  // namespace vertisift::mesh_io
