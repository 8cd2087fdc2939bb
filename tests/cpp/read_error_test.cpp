#include "mesh_io/read_error.h"

#include <gtest/gtest.h>

namespace vertisift::mesh_io {
namespace {

TEST(ReadError, DisplayTexts) {
  EXPECT_EQ(ReadError::os(2).display(), "No such file or directory (os error 2)");
  // A code without a text of its own: the system writes one into the caller's buffer.
  EXPECT_EQ(ReadError::os(9999).display(), "Unknown error 9999 (os error 9999)");
  EXPECT_EQ(ReadError::invalid_data("invalid float literal").display(), "invalid float literal");
}

}  // namespace
}  // namespace vertisift::mesh_io
