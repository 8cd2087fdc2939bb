#include "mesh_io/block_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "test_files.h"

namespace vertisift::mesh_io {
namespace {

std::string pattern() { return test_files::pattern(1000); }

FileStream open_temp(const std::string& bytes) {
  const std::string path = test_files::write_temp(bytes);
  auto stream = FileStream::open(path);
  ::unlink(path.c_str());
  return std::move(stream.value());
}

std::size_t threads() { return test_files::proc_entries("task"); }

// Reads the range to its end; the bytes it delivered, and how it ended.
BlockReader::Status read_all(BlockReader& reader, std::string& bytes) {
  std::span<const std::byte> block;
  ReadError error;
  for (;;) {
    const BlockReader::Status status = reader.next(block, error);
    if (status != BlockReader::Status::Block) return status;
    bytes.append(reinterpret_cast<const char*>(block.data()), block.size());
  }
}

// A range of exactly one block is read without a thread; a longer one has its reading thread
// (the caller holds one block and none is read ahead, so it is still there); either way every
// byte comes from its own offset.
TEST(BlockReader, ThreadOnlyForMoreThanOneBlock) {
  const std::string data = pattern();
  FileStream stream = open_temp(data);
  const std::size_t before = threads();
  for (const std::size_t length : {std::size_t{100}, std::size_t{1}, std::size_t{999}}) {
    SCOPED_TRACE(length);
    BlockReader one(stream, 1, length, length, 0);
    EXPECT_EQ(threads(), before);
    std::string bytes;
    EXPECT_EQ(read_all(one, bytes), BlockReader::Status::End);
    EXPECT_EQ(bytes, data.substr(1, length));
  }
  BlockReader several(stream, 7, 950, 100, 0);
  EXPECT_EQ(threads(), before + 1);
  std::string bytes;
  EXPECT_EQ(read_all(several, bytes), BlockReader::Status::End);
  EXPECT_EQ(bytes, data.substr(7, 950));
}

// A file that ends inside the range: the blocks before the end, then Truncated.
TEST(BlockReader, FileShorterThanTheRange) {
  const std::string data = pattern();
  FileStream stream = open_temp(data);
  for (const std::size_t ahead : {std::size_t{0}, std::size_t{3}}) {
    SCOPED_TRACE(ahead);
    BlockReader reader(stream, 900, 300, 64, ahead);
    std::string bytes;
    EXPECT_EQ(read_all(reader, bytes), BlockReader::Status::Truncated);
    EXPECT_EQ(bytes, data.substr(900, 64));
  }
}

}  // namespace
}  // namespace vertisift::mesh_io
