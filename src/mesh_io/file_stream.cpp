#include "mesh_io/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/interrupt.h"

namespace vertisift::mesh_io {
namespace {

// Runs `call` (a system call returning -1 with errno on failure) until it is not cut short by
// a signal, unless the caller's interrupt check says to stop: then the call fails with EINTR.
// A check that has already said stop ends the call before it starts, so nothing blocks again.
template <class Call>
auto unless_interrupted(Call call) -> ReadResult<decltype(call())> {
  for (;;) {
    if (base::interrupted()) return ReadError::os(EINTR);
    const auto got = call();
    if (got >= 0) return got;
    if (errno != EINTR) return ReadError::os(errno);
    if (base::interrupt_requested()) return ReadError::os(EINTR);
  }
}

}  // namespace

ReadResult<RawFile> RawFile::open(const std::string& path) {
  // Opening a FIFO blocks until a writer comes, so it too can be interrupted.
  auto fd = unless_interrupted([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (!fd.ok()) return fd.error();
  return RawFile(fd.value());
}

RawFile RawFile::in_memory(std::span<const std::byte> bytes, std::size_t piece) {
  RawFile file;
  file.memory_ = bytes;
  file.piece_ = piece == 0 ? 1 : piece;
  return file;
}

ReadResult<std::size_t> RawFile::read(std::byte* dest, std::size_t count) {
  if (memory_) {
    auto got = read_at(dest, std::min(count, piece_), position_);
    position_ += got.value();
    return got;
  }
  auto got = unless_interrupted([&] { return ::read(fd_, dest, count); });
  if (!got.ok()) return got.error();
  return static_cast<std::size_t>(got.value());
}

ReadResult<std::size_t> RawFile::read_at(std::byte* dest, std::size_t count, std::uint64_t offset) {
  if (memory_) {
    if (offset >= memory_->size()) return std::size_t{0};
    const std::size_t taken = std::min<std::uint64_t>(count, memory_->size() - offset);
    if (taken > 0) std::memcpy(dest, memory_->data() + offset, taken);
    return taken;
  }
  auto got =
      unless_interrupted([&] { return ::pread(fd_, dest, count, static_cast<off_t>(offset)); });
  if (!got.ok()) return got.error();
  return static_cast<std::size_t>(got.value());
}

ReadStatus RawFile::seek_to_start() {
  if (memory_) {
    position_ = 0;
    return std::nullopt;
  }
  if (::lseek(fd_, 0, SEEK_SET) < 0) return ReadError::os(errno);
  return std::nullopt;
}

ReadResult<std::uint64_t> RawFile::size() const {
  if (memory_) return std::uint64_t{memory_->size()};
  struct stat status;
  if (::fstat(fd_, &status) < 0) return ReadError::os(errno);
  return static_cast<std::uint64_t>(status.st_size);
}

bool RawFile::is_regular() const {
  if (memory_) return true;
  struct stat status;
  return ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
}

void RawFile::close() {
  memory_.reset();
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

ReadResult<FileStream> open_file(const PathText& path) {
  auto bytes = path_to_bytes(path);
  if (!bytes.ok()) return bytes.error();
  if (bytes.value().find('\0') != std::string::npos) {
    // Fixed by compatibility, like the readers' messages: must stay exactly so.
    return ReadError::invalid_input("file name contained an unexpected NUL byte");
  }
  return FileStream::open(bytes.value());
}

ReadStatus FileStream::rewind() {
  if (auto error = reader_.source().seek_to_start()) return error;
  reader_.discard_buffer();
  return std::nullopt;
}

ReadStatus read_whole(FileStream& file, base::PodVector<std::byte>& bytes, std::uint64_t limit) {
  constexpr std::size_t BLOCK = std::size_t{1} << 20;
  for (;;) {
    if (bytes.size() >= limit) {
      return ReadError::invalid_data("the file holds more than " + std::to_string(limit >> 20) +
                                     " MiB, more than is read whole");
    }
    const std::size_t before = bytes.size();
    std::byte* into = bytes.extend(BLOCK);
    auto got = file.read(into, BLOCK);
    if (!got.ok()) return got.error();
    bytes.resize_zeroed(before + got.value());
    if (got.value() == 0) return {};
  }
}

}  // namespace vertisift::mesh_io
