// What the tests that read real files share: a byte pattern, temporary files, and counts of
// what the process holds (threads, descriptors).
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace vertisift::test_files {

// `size` bytes, byte i being i mod 251, so that a byte read from the wrong offset shows.
inline std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

// A new temporary file holding `bytes`; its path.
inline std::string write_temp(const std::string& bytes) {
  std::string path = ::testing::TempDir() + "vertisift_test_XXXXXX";
  const int fd = ::mkstemp(path.data());
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  return path;
}

// The entries of a folder of /proc/self: "task" for the threads, "fd" for the descriptors.
inline std::size_t proc_entries(const char* folder) {
  std::size_t count = 0;
  DIR* dir = ::opendir((std::string("/proc/self/") + folder).c_str());
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;
}

}  // namespace vertisift::test_files
