#include "stl/binary_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_files.h"

namespace vertisift::stl {

using mesh_io::FaceStatus;
using mesh_io::FileStream;
using mesh_io::RawFace;
using mesh_io::RawFile;
using mesh_io::ReadError;
namespace {

// A binary file of `count` records whose twelve floats are 12 * i + 0 .. 11 for record i,
// with an attribute word of all ones and trailing bytes after the last record.
std::string binary_file(std::uint32_t count) {
  std::string bytes(BINARY_HEADER_SIZE, 'h');
  for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<char>(count >> (8 * b)));
  for (std::uint32_t i = 0; i < count; ++i) {
    for (std::uint32_t k = 0; k < 12; ++k) {
      const auto value = static_cast<float>(12 * i + k);
      std::uint32_t bits;
      std::memcpy(&bits, &value, sizeof bits);
      for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<char>(bits >> (8 * b)));
    }
    bytes += "\xff\xff";
  }
  return bytes + "trailing bytes";
}

using test_files::write_temp;

void expect_record(const RawFace& face, std::uint32_t i) {
  const float* values = &face.normal.x;
  EXPECT_EQ(values[0], static_cast<float>(12 * i)) << i;
  for (std::uint32_t corner = 0; corner < 3; ++corner) {
    EXPECT_EQ(face.vertices[corner].x, static_cast<float>(12 * i + 3 + 3 * corner)) << i;
    EXPECT_EQ(face.vertices[corner].y, static_cast<float>(12 * i + 4 + 3 * corner)) << i;
    EXPECT_EQ(face.vertices[corner].z, static_cast<float>(12 * i + 5 + 3 * corner)) << i;
  }
  EXPECT_EQ(face.normal.y, static_cast<float>(12 * i + 1)) << i;
  EXPECT_EQ(face.normal.z, static_cast<float>(12 * i + 2)) << i;
}

// 400 records span three buffers, so some records are split across refills; batches of
// different sizes and single faces mixed must deliver them all in order, then End.
TEST(BinaryFaceReader, ReadsEveryRecordAcrossBufferBoundaries) {
  const std::string path = write_temp(binary_file(400));
  auto stream = FileStream::open(path);
  ASSERT_TRUE(stream.ok());
  auto reader = BinaryFaceReader::open(stream.value());
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader.value()->face_count(), 400u);
  std::vector<RawFace> faces;
  FaceStatus status = FaceStatus::Face;
  ReadError error;
  for (std::size_t capacity : {1u, 7u, 128u, 3u, 500u}) {
    std::vector<RawFace> batch(capacity);
    const std::size_t got = reader.value()->next_batch(batch.data(), capacity, status, error);
    faces.insert(faces.end(), batch.begin(), batch.begin() + static_cast<long>(got));
    RawFace single;
    if (status == FaceStatus::Face && reader.value()->next(single, error) == FaceStatus::Face) {
      faces.push_back(single);
    }
  }
  EXPECT_EQ(status, FaceStatus::End);
  ASSERT_EQ(faces.size(), 400u);
  for (std::uint32_t i = 0; i < 400; ++i) expect_record(faces[i], i);
  ::unlink(path.c_str());
}

// A pipe delivers the header and ten whole records, then the descriptor turns unreadable:
// the ten faces come out, then the system's error, on the batch path and on the single-face
// path alike.
TEST(BinaryFaceReader, ReadErrorInTheMiddleOfTheBody) {
  const std::string start = binary_file(1000).substr(0, 84 + 10 * BINARY_RECORD_SIZE);
  for (bool batches : {true, false}) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], start.data(), start.size()), static_cast<ssize_t>(start.size()));
    FileStream stream{RawFile(ends[0])};
    auto reader = BinaryFaceReader::open(stream);
    ASSERT_TRUE(reader.ok());
    ASSERT_EQ(::dup2(ends[1], ends[0]), ends[0]);  // reading a write end fails
    ::close(ends[1]);
    std::vector<RawFace> faces(1000);
    std::size_t got = 0;
    FaceStatus status = FaceStatus::Face;
    ReadError error;
    while (status == FaceStatus::Face && got < faces.size()) {
      if (batches) {
        got += reader.value()->next_batch(&faces[got], 64, status, error);
      } else if ((status = reader.value()->next(faces[got], error)) == FaceStatus::Face) {
        ++got;
      }
    }
    ASSERT_EQ(status, FaceStatus::Error);
    EXPECT_EQ(error.display(), "Bad file descriptor (os error 9)");
    ASSERT_EQ(got, 10u);
    for (std::uint32_t i = 0; i < got; ++i) expect_record(faces[i], i);
  }
}

}  // namespace
}  // namespace vertisift::stl
