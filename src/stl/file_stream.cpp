#include "stl/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vertisift::stl {

ReadResult<RawFile> RawFile::open(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ReadError::os(errno);
  return RawFile(fd);
}

ReadResult<std::size_t> RawFile::read(std::byte* dest, std::size_t count) {
  for (;;) {
    ssize_t got = ::read(fd_, dest, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return ReadError::os(errno);
  }
}

ReadResult<std::size_t> RawFile::read_at(std::byte* dest, std::size_t count, std::uint64_t offset) {
  for (;;) {
    ssize_t got = ::pread(fd_, dest, count, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return ReadError::os(errno);
  }
}

ReadStatus RawFile::seek_to_start() {
  if (::lseek(fd_, 0, SEEK_SET) < 0) return ReadError::os(errno);
  return std::nullopt;
}

ReadResult<std::uint64_t> RawFile::size() const {
  struct stat status;
  if (::fstat(fd_, &status) < 0) return ReadError::os(errno);
  return static_cast<std::uint64_t>(status.st_size);
}

bool RawFile::is_regular() const {
  struct stat status;
  return ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
}

void RawFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

ReadResult<FileStream> FileStream::open(const std::string& path) {
  auto file = RawFile::open(path);
  if (!file.ok()) return file.error();
  return FileStream(std::move(file.value()));
}

ReadStatus FileStream::rewind() {
  if (auto error = reader_.source().seek_to_start()) return error;
  reader_.discard_buffer();
  return std::nullopt;
}

}  // namespace vertisift::stl
