#include "mesh_io/line_reader.h"

#include <cstring>
#include <string>

namespace vertisift::mesh_io {

ReadResult<bool> LineReader::refill() {
  while (block_.empty()) {
    auto got = source_.next();
    if (!got.ok()) return std::move(got.error());
    if (got.value().empty()) return false;
    block_ = got.value();
  }
  return true;
}

ReadError line_too_long(std::string_view format, std::uint64_t line, std::size_t longest) {
  constexpr std::size_t MIB = std::size_t{1} << 20;
  const std::string bound = longest % MIB == 0 ? std::to_string(longest / MIB) + " MiB"
                                               : std::to_string(longest) + " bytes";
  return ReadError::invalid_data(std::string(format) + " line " + std::to_string(line) +
                                 ": the line is longer than " + bound);
}

ReadResult<bool> LineReader::next(std::string_view& line, LineCut may_cut) {
  carry_.clear();
  bool carried = false;
  bool cut = false;  // the line is held to its first longest_ bytes, the rest skipped
  for (;;) {
    auto more = refill();
    if (!more.ok()) return std::move(more.error());
    if (!more.value()) {
      // The end of the file ends the last line, if it has any bytes.
      if (!carried) return false;
      ++line_number_;
      after_cr_ = false;
      line = carry_;
      return true;
    }
    if (after_cr_) {
      after_cr_ = false;
      if (block_.front() == std::byte{'\n'}) {
        block_ = block_.subspan(1);
        ++offset_;
        continue;
      }
    }
    const char* begin = reinterpret_cast<const char*>(block_.data());
    const std::size_t size = block_.size();
    std::size_t end = 0;
    // memchr finds LF fast; a CR before it ends the line earlier.
    const void* lf = std::memchr(begin, '\n', size);
    const std::size_t lf_at =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) : size;
    const void* cr = std::memchr(begin, '\r', lf_at);
    end = cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - begin) : lf_at;
    if (!cut) {
      const std::size_t held = carried ? carry_.size() : 0;
      if (end > longest_ - held) [[unlikely]] {
        carry_.append(begin, longest_ - held);
        carried = true;
        if (may_cut == nullptr || !may_cut(carry_)) {
          return line_too_long(format_, line_number_ + 1, longest_);
        }
        cut = true;
      }
    }
    if (end == size) {
      // No end in this block: keep the piece and go on in the next one.
      if (!cut) carry_.append(begin, size);
      carried = true;
      offset_ += size;
      block_ = {};
      continue;
    }
    const bool is_cr = begin[end] == '\r';
    std::size_t taken = end + 1;
    if (is_cr) {
      if (taken < size) {
        if (begin[taken] == '\n') ++taken;
      } else {
        after_cr_ = true;  // the LF of a CR LF may start the next block
      }
    }
    ++line_number_;
    offset_ += taken;
    block_ = block_.subspan(taken);
    if (carried) {
      if (!cut) carry_.append(begin, end);
      line = carry_;
    } else {
      line = std::string_view(begin, end);
    }
    return true;
  }
}

ReadResult<std::span<const std::byte>> LineReader::next_bytes() {
  auto more = refill();
  if (!more.ok()) return std::move(more.error());
  if (after_cr_ && more.value() && block_.front() == std::byte{'\n'}) {
    block_ = block_.subspan(1);
    ++offset_;
    more = refill();
    if (!more.ok()) return std::move(more.error());
  }
  after_cr_ = false;
  const std::span<const std::byte> bytes = block_;
  offset_ += bytes.size();
  block_ = {};
  return bytes;
}

}  // namespace vertisift::mesh_io
