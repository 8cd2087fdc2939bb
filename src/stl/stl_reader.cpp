#include "stl/stl_reader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/pod_vector.h"
#include "base/utf8.h"
#include "mesh_io/block_reader.h"
#include "mesh_io/ordered_parse.h"
#include "stl/ascii_reader.h"
#include "stl/binary_reader.h"
#include "stl/facet_colors.h"
#include "stl/plain_ascii.h"

namespace vertisift::stl {

using mesh_io::BlockReader;
using mesh_io::FaceSource;
using mesh_io::FileStream;
using mesh_io::PathText;
using mesh_io::RawFace;
using mesh_io::ReadError;
using mesh_io::ReadResult;
using mesh_io::ReadStatus;

namespace {

// The readings below hand the chosen reader to `consume`, which drains it into a result of
// its own: the indexed mesh for read_stl_file, a FaceBlockSink for read_stl_blocks,
// whatever a caller of read_stl_faces keeps. With `words`, each reading leaves there the
// attribute words of the faces it delivered (none for an ASCII reading).
template <class Consume>
auto read_ascii(FileStream& stream, AsciiFaceReader::FirstLine rule, StlDialect dialect,
                Consume& consume, AttributeWords* words)
    -> decltype(consume(std::declval<FaceSource&>())) {
  if (words) words->reset();
  auto reader = AsciiFaceReader::open(stream, rule, dialect);
  if (!reader.ok()) return std::move(reader.error());
  return consume(*reader.value());
}

template <class Consume>
auto read_binary(FileStream& stream, Consume& consume, AttributeWords* words)
    -> decltype(consume(std::declval<FaceSource&>())) {
  if (words) words->reset();
  auto reader = BinaryFaceReader::open(stream);
  if (!reader.ok()) return std::move(reader.error());
  if (words) reader.value()->keep_attributes(*words);
  return consume(*reader.value());
}

// The binary reading, accepted only when the file holds exactly the header and N records
// (lenient: at least those).
template <class Consume>
auto read_binary_exactly(FileStream& stream, StlDialect dialect, Consume& consume,
                         AttributeWords* words) -> decltype(consume(std::declval<FaceSource&>())) {
  if (words) words->reset();
  auto reader = BinaryFaceReader::open(stream);
  if (!reader.ok()) return std::move(reader.error());
  auto size = stream.size();
  if (!size.ok()) return std::move(size.error());
  const std::uint64_t needed = binary_file_size(reader.value()->face_count());
  if (dialect == StlDialect::Lenient ? size.value() < needed : size.value() != needed) {
    return ReadError::invalid_data("not a binary STL file");
  }
  if (words) reader.value()->keep_attributes(*words);
  return consume(*reader.value());
}

// The probe decides by the first line alone, and misjudges two kinds of file: a binary file
// whose header begins with "solid " and whose bytes up to the first LF happen to be UTF-8
// (read as ASCII), and an ASCII file whose first line is a bare "solid" (read as binary).
// When the chosen reading fails on the content, the other reading is tried, and its mesh is
// taken only if it accounts for the whole file: a binary file of exactly 84 + 50 N bytes, or
// an ASCII file that opens with the token "solid" and follows the grammar to "endsolid".
// Otherwise the first reading's error stands, so every file that reads without this keeps
// its mesh and every broken file keeps its message. `ascii` is the probe's verdict.
//
// The lenient dialect takes the binary reading after a failed ASCII one when the file holds at
// least the N records (a stray byte after them is common). No text file passes for one: its
// bytes 80 to 83, read as the count, announce a hundred million records or more.
template <class Consume>
auto read_faces(FileStream& stream, bool ascii, StlDialect dialect, Consume& consume,
                AttributeWords* words = nullptr) -> decltype(consume(std::declval<FaceSource&>())) {
  using FirstLine = AsciiFaceReader::FirstLine;
  auto mesh = ascii ? read_ascii(stream, FirstLine::SolidAndBlank, dialect, consume, words)
                    : read_binary(stream, consume, words);
  if (mesh.ok() || mesh.error().kind == mesh_io::ReadErrorKind::Os) return mesh;
  if (stream.rewind()) return mesh;
  auto other = ascii ? read_binary_exactly(stream, dialect, consume, words)
                     : read_ascii(stream, FirstLine::SolidWord, dialect, consume, words);
  if (other.ok()) return other;
  return mesh;
}

// The N records of a regular binary file that holds them all, in `parts` contiguous ranges,
// each read block by block and handed on by a task of the sink's own. The outcome is that of
// reading the blocks in file order: the first part that fails decides (a failed read is the
// error, a short one leaves the file to the readers), and a part stops early only once a part
// before it has failed.
std::optional<ReadStatus> read_record_parts(FileStream& stream, FaceBlockSink& sink,
                                            std::size_t parts, std::uint64_t face_count,
                                            std::size_t block_records) {
  struct PartOutcome {
    BlockReader::Status status = BlockReader::Status::End;
    ReadError error;
  };
  std::vector<PartOutcome> outcomes(parts);
  std::atomic<std::size_t> first_failed{parts};
  const auto fail = [&](std::size_t part, BlockReader::Status status, ReadError error) {
    outcomes[part] = {status, std::move(error)};
    std::size_t seen = first_failed.load(std::memory_order_relaxed);
    while (part < seen && !first_failed.compare_exchange_weak(seen, part)) {
    }
  };
  sink.run_parts(parts, [&](std::size_t part) {
    const std::uint64_t end = face_count * (part + 1) / parts;
    std::uint64_t next = face_count * part / parts;
    base::PodVector<std::byte> block;
    block.resize_zeroed(std::min<std::uint64_t>(block_records, end - next) * BINARY_RECORD_SIZE);
    while (next < end && first_failed.load(std::memory_order_relaxed) > part) {
      const std::size_t want =
          std::min<std::uint64_t>(block_records, end - next) * BINARY_RECORD_SIZE;
      const std::uint64_t offset = BINARY_HEADER_SIZE + FACE_COUNT_SIZE + next * BINARY_RECORD_SIZE;
      auto got = stream.fill_at(block.data(), want, offset);
      if (!got.ok()) return fail(part, BlockReader::Status::Error, std::move(got.error()));
      if (got.value() < want) return fail(part, BlockReader::Status::Truncated, ReadError{});
      sink.add_part_records(part, {block.data(), want});
      next += want / BINARY_RECORD_SIZE;
    }
  });
  for (PartOutcome& outcome : outcomes) {
    if (outcome.status == BlockReader::Status::Error) return ReadStatus{std::move(outcome.error)};
    if (outcome.status == BlockReader::Status::Truncated) return std::nullopt;
  }
  sink.end_parts(parts);
  return ReadStatus{};
}

// The records of a regular binary file that holds all N of them, read in blocks ahead of the
// sink. Such a file reads without error whatever its records hold, so the outcome is the
// binary reader's. Anything else (a header that cannot be read, a file too short for N
// records, one that shrinks while it is read) returns nullopt, and the readers decide from
// the start. The stream's position is never moved.
std::optional<ReadStatus> read_binary_blocks(FileStream& stream, FaceBlockSink& sink,
                                             std::size_t block_size) {
  if (!stream.is_regular()) return std::nullopt;
  std::byte head[BINARY_HEADER_SIZE + FACE_COUNT_SIZE];
  auto got = stream.fill_at(head, sizeof head, 0);
  if (!got.ok() || got.value() < sizeof head) return std::nullopt;
  const std::uint64_t face_count = load_u32(head + BINARY_HEADER_SIZE);
  auto size = stream.size();
  if (!size.ok() || size.value() < binary_file_size(face_count)) return std::nullopt;

  const std::size_t block_records = std::max<std::size_t>(1, block_size / BINARY_RECORD_SIZE);
  sink.expect_faces(face_count);
  const std::size_t parts = sink.part_count();
  if (parts > 1 && face_count / parts >= block_records && sink.begin_parts(parts)) {
    return read_record_parts(stream, sink, parts, face_count, block_records);
  }
  BlockReader blocks(stream, sizeof head, face_count * BINARY_RECORD_SIZE,
                     block_records * BINARY_RECORD_SIZE, BLOCKS_AHEAD);
  std::span<const std::byte> block;
  ReadError error;
  for (;;) {
    switch (blocks.next(block, error)) {
      case BlockReader::Status::Block: sink.add_records(block); break;
      case BlockReader::Status::End: return ReadStatus{};
      case BlockReader::Status::Truncated: return std::nullopt;
      case BlockReader::Status::Error: return ReadStatus{std::move(error)};
    }
  }
}

// The least text, in bytes, that a part of the parallel ASCII parsing is given: a quarter of
// a block, so about a thousand facets with the usual blocks, a few hundred microseconds of
// parsing. A smaller file is parsed in one part, on the calling thread.
std::size_t min_part_text(std::size_t block_size) {
  return std::max<std::size_t>(1, block_size / 4);
}

std::atomic<std::uint64_t> plain_ascii_count{0};

// True when [begin, end) holds a CR that is not the last byte: one that ends a line in the
// lenient dialect and not in the plain form.
bool has_inner_cr(std::string_view text, std::size_t begin, std::size_t end) {
  const void* cr = std::memchr(text.data() + begin, '\r', end - begin);
  return cr != nullptr && static_cast<const char*>(cr) != text.data() + end - 1;
}

bool all_blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

// True when nothing but ASCII white space follows the line that starts at `line_start` of
// `text`, there and in the blocks still to come (none once `blocks` has ended); reads those
// blocks.
bool only_blanks_after_line(std::string_view text, std::size_t line_start, BlockReader& blocks,
                            bool blocks_ended) {
  const std::size_t lf = text.find('\n', line_start);
  if (lf != std::string_view::npos && !all_blank(text.substr(lf + 1))) return false;
  if (blocks_ended) return true;
  std::span<const std::byte> block;
  ReadError error;
  for (;;) {
    switch (blocks.next(block, error)) {
      case BlockReader::Status::Block:
        if (!all_blank({reinterpret_cast<const char*>(block.data()), block.size()})) return false;
        break;
      case BlockReader::Status::End: return true;
      default: return false;  // a failed or short read: the reader meets it too
    }
  }
}

// The most text held back for a line or a facet that is not yet complete before the reading
// gives up on the parts and leaves the file to the ASCII reader.
std::size_t pending_limit(std::size_t block_size) {
  return 2 * std::max(block_size, READ_BLOCK_SIZE);
}

// About how many facets an ASCII file of `size` bytes holds, going by the facets of its first
// 64 KiB: 0 when they hold fewer than 16 (or cannot be read), so that a file of other text
// never sizes a table.
std::uint64_t estimated_facets(FileStream& stream, std::uint64_t size) {
  char head[std::size_t{1} << 16];
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, size));
  auto got = stream.read_at(reinterpret_cast<std::byte*>(head), want, 0);
  if (!got.ok() || got.value() == 0) return 0;
  const std::string_view text(head, got.value());
  std::uint64_t facets = 0;
  for (std::size_t at = text.find("endfacet"); at != std::string_view::npos;
       at = text.find("endfacet", at + 8)) {
    ++facets;
  }
  return facets < 16 ? 0 : size / text.size() * facets;
}

// One part's share of a file, read block by block: text() holds the bytes from file offset
// `base` on that the part has not used yet.
class PartText {
 public:
  PartText(FileStream& stream, std::uint64_t from, std::uint64_t size, std::size_t block_size)
      : base(from), stream_(stream), next_(from), size_(size), block_size_(block_size) {}

  std::uint64_t base;

  std::string_view text() const { return {buffer_.get() + begin_, end_ - begin_}; }
  bool at_end() const { return next_ >= size_; }

  // Appends the next block; false when a read fails or comes up short (the file shrank).
  bool more() {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block_size_, size_ - next_));
    make_room(want);
    auto got = stream_.fill_at(reinterpret_cast<std::byte*>(buffer_.get() + end_), want, next_);
    if (!got.ok() || got.value() < want) return false;
    // Only the new bytes are searched for the last LF: a long line read in small blocks
    // costs its length, not its length squared.
    const void* lf = memrchr(buffer_.get() + end_, '\n', want);
    if (lf != nullptr) {
      whole_end_ = next_ +
                   static_cast<std::size_t>(static_cast<const char*>(lf) - (buffer_.get() + end_)) +
                   1;
    }
    end_ += want;
    next_ += want;
    return true;
  }

  void drop(std::size_t count) {
    begin_ += count;
    base += count;
  }

  // The end of the text's whole lines: after its last LF, or all of it at the end of the file.
  std::size_t whole_lines() const {
    if (at_end()) return end_ - begin_;
    return whole_end_ > base ? static_cast<std::size_t>(whole_end_ - base) : 0;
  }

 private:
  // Room for `count` more bytes after the text, which moves to the front of the buffer.
  void make_room(std::size_t count) {
    const std::size_t kept = end_ - begin_;
    if (end_ + count <= capacity_) return;
    if (kept + count > capacity_) {
      const std::size_t capacity = std::max(kept + count, 2 * capacity_);
      std::unique_ptr<char[]> grown(new char[capacity]);
      if (kept > 0) std::memcpy(grown.get(), buffer_.get() + begin_, kept);
      buffer_ = std::move(grown);
      capacity_ = capacity;
    } else {
      std::memmove(buffer_.get(), buffer_.get() + begin_, kept);
    }
    begin_ = 0;
    end_ = kept;
  }

  FileStream& stream_;
  std::uint64_t next_;
  const std::uint64_t size_;
  const std::size_t block_size_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t whole_end_ = 0;  // the file offset after the last LF read
};

enum class PartStop {
  Clean,     // facets up to the first facet or "endsolid" line at or after the next part's share
  Endsolid,  // the "endsolid" line that ends the faces
  Failed,    // a departure from the plain form, a failed or short read, an overlong line, or the
             // end of the file without "endsolid"
};

struct AsciiPart {
  PartStop stop = PartStop::Failed;
  std::uint64_t start = 0;  // file offset of the part's first facet line
  std::uint64_t end = 0;    // with Clean: file offset where its facets end
};

// Part `part` of a strict ASCII file split at `shares` (the part's share of the bytes starts at
// shares[part], the first part's after the first line): the facets from the first facet or
// "endsolid" line at or after its share's start up to the first such line at or after the next
// share's start, handed to the sink as they are parsed. Stops early once `first_stopped`, the
// first part known to end the reading, is an earlier part.
AsciiPart read_ascii_part(FileStream& stream, FaceBlockSink& sink, std::size_t part,
                          const std::vector<std::uint64_t>& shares, std::size_t block_size,
                          std::atomic<std::size_t>& first_stopped) {
  const std::size_t parts = shares.size() - 1;
  const std::uint64_t size = shares[parts];
  const auto stop_here = [&] {
    std::size_t seen = first_stopped.load(std::memory_order_relaxed);
    while (part < seen && !first_stopped.compare_exchange_weak(seen, part)) {
    }
  };
  const auto failed = [&] {
    stop_here();
    return AsciiPart{};
  };
  // Reads until `text` holds whole lines past `at`; false at a failure.
  PartText part_text(stream, part == 0 ? 0 : shares[part] - 1, size, block_size);
  const auto lines_after = [&](std::size_t at) {
    while (part_text.whole_lines() <= at && !part_text.at_end()) {
      if (part_text.text().size() > pending_limit(block_size) || !part_text.more()) return false;
    }
    return true;
  };
  // The first line start: after the first line (the probe has checked it), or at or after the
  // share's start (the text begins one byte before it).
  if (!lines_after(0)) return failed();
  std::size_t lf = part_text.text().find('\n');
  if (part != 0 && part_text.text()[0] == '\n') lf = 0;
  if (lf == std::string_view::npos) return failed();  // at the end of the file, no line end
  part_text.drop(lf + 1);
  // Then, but for the first part, which starts right there, the first facet or "endsolid" line.
  while (part != 0) {
    if (first_stopped.load(std::memory_order_relaxed) < part || !lines_after(0)) return failed();
    const std::size_t whole = part_text.whole_lines();
    const std::size_t found = next_facet_start(part_text.text(), 0, whole);
    if (found < whole) {
      part_text.drop(found);
      break;
    }
    part_text.drop(whole);
    if (part_text.at_end()) return {PartStop::Clean, size, size};  // a part with no facets
  }
  AsciiPart outcome{PartStop::Failed, part_text.base, 0};
  const bool last = part + 1 == parts;
  const std::uint64_t next_share = last ? size : shares[part + 1];
  std::vector<RawFace> faces;
  for (;;) {
    if (first_stopped.load(std::memory_order_relaxed) < part) return failed();
    const std::string_view text = part_text.text();
    const std::size_t whole = part_text.whole_lines();
    // Up to the first facet line at or after the next share, once the text reaches it; else
    // up to the last facet line of the text; at the end of the file, everything.
    std::size_t end = part_text.at_end() ? whole : last_facet_start(text, 0, whole);
    bool final = false;
    if (!last && part_text.base + whole > next_share) {
      std::size_t cut =
          static_cast<std::size_t>(next_share > part_text.base ? next_share - part_text.base : 0);
      if (cut > 0 && text[cut - 1] != '\n') {
        const std::size_t line_end = text.find('\n', cut);
        cut = line_end == std::string_view::npos ? whole : std::min(line_end + 1, whole);
      }
      const std::size_t found = next_facet_start(text, cut, whole);
      if (found < whole || part_text.at_end()) {
        end = found;
        final = true;
      }
    }
    if (end > 0) {
      faces.clear();
      const PlainParse parse = parse_plain_facets(text, 0, end, faces);
      if (parse.stop == PlainStop::Departure) return failed();
      if (!faces.empty()) sink.add_part_faces(part, faces);
      if (parse.stop == PlainStop::Endsolid) {
        stop_here();
        outcome.stop = PartStop::Endsolid;
        return outcome;
      }
      part_text.drop(end);
    }
    if (final) {
      outcome.stop = PartStop::Clean;
      outcome.end = part_text.base;
      return outcome;
    }
    if (part_text.at_end()) return failed();  // no "endsolid": the reader gives the message
    if (part_text.text().size() > pending_limit(block_size) || !part_text.more()) return failed();
  }
}

// A regular strict ASCII file in plain form, split into `parts` shares of its bytes, each
// parsed by a part of its own (read_ascii_part) and merged by the sink in parts. Each part must
// end exactly where the next one starts, which proves the next start right; the first part
// that ends the faces at "endsolid" keeps the parts up to it. Anything else returns nullopt,
// and the ASCII reader reads the file from the start.
std::optional<ReadStatus> read_ascii_parts(FileStream& stream, FaceBlockSink& sink,
                                           std::size_t parts, std::uint64_t size,
                                           std::size_t block_size) {
  std::vector<std::uint64_t> shares(parts + 1);
  for (std::size_t part = 0; part <= parts; ++part) shares[part] = size * part / parts;
  std::vector<AsciiPart> outcomes(parts);
  std::atomic<std::size_t> first_stopped{parts};
  sink.run_parts(parts, [&](std::size_t part) {
    outcomes[part] = read_ascii_part(stream, sink, part, shares, block_size, first_stopped);
  });
  for (std::size_t part = 0; part < parts; ++part) {
    const AsciiPart& outcome = outcomes[part];
    if (outcome.stop == PartStop::Failed) return std::nullopt;
    if (outcome.stop == PartStop::Endsolid) {
      sink.end_parts(part + 1);
      plain_ascii_count.fetch_add(1, std::memory_order_relaxed);
      return ReadStatus{};
    }
    if (part + 1 == parts || outcome.end != outcomes[part + 1].start) return std::nullopt;
  }
  return std::nullopt;
}

// One part of a round of read_ascii_blocks: the facets of text[begin, end), parsed on their own.
struct FacetChunk {
  std::string_view text;
  std::size_t begin = 0, end = 0;
  std::vector<RawFace> faces;
  PlainParse parse{PlainStop::Departure, 0};

  std::size_t bytes() const { return end - begin; }
};

// The parts of a round, parsed at once and joined in file order; a join stops at a part that
// departs or meets "endsolid" (its parse).
using FacetChunks = mesh_io::OrderedParse<FacetChunk, std::optional<PlainParse>>;

// The faces of a regular ASCII file, parsed in parts while it keeps to the plain form. Returns
// success at its "endsolid" line, and nullopt (after which the ASCII reader reads the file
// from the start and decides its outcome) at anything else: a departure from the plain form,
// the end of the file without "endsolid", a line or facet longer than the pending limit, a
// failed or short read. The stream's position is never moved.
//
// In the lenient dialect the plain form is read the same way, with two more departures: a CR
// that is not part of a CR LF, first line included (the reader ends a line there), and anything
// but white space after the "endsolid" line (the reader may find another solid there). Blanks,
// blank lines or a byte-order mark before "solid" need no check: the line after them is then
// no facet, and departs.
std::optional<ReadStatus> read_ascii_blocks(FileStream& stream, FaceBlockSink& sink,
                                            std::size_t block_size, StlDialect dialect) {
  if (!stream.is_regular()) return std::nullopt;
  auto size = stream.size();
  if (!size.ok()) return std::nullopt;
  const std::size_t parts = std::max<std::size_t>(1, sink.part_count());
  const bool lenient = dialect == StlDialect::Lenient;
  if (!lenient && parts > 1 && size.value() / parts >= block_size) {
    sink.expect_faces(estimated_facets(stream, size.value()));
    if (sink.begin_parts(parts))
      return read_ascii_parts(stream, sink, parts, size.value(), block_size);
  }
  BlockReader blocks(stream, 0, size.value(), block_size, BLOCKS_AHEAD);
  std::string text;  // the text not yet parsed: what the last round left, then the new block
  bool in_first_line = true;
  std::vector<std::size_t> starts(parts + 1);
  // A round's parts are parsed at once and joined in file order into round_faces, up to the
  // first that departs or meets "endsolid".
  std::vector<RawFace> round_faces;
  FacetChunks chunks(
      parts, mesh_io::JoinSchedule::AfterParse,
      [&sink](std::size_t jobs, const std::function<void(std::size_t)>& job) {
        sink.run_parts(jobs, job);
      },
      [lenient](FacetChunk& chunk) {
        chunk.faces.clear();
        chunk.parse = parse_plain_facets(chunk.text, chunk.begin, chunk.end, chunk.faces, lenient);
      },
      [&round_faces](FacetChunk& chunk) -> std::optional<PlainParse> {
        round_faces.insert(round_faces.end(), chunk.faces.begin(), chunk.faces.end());
        if (chunk.parse.stop == PlainStop::Clean) return std::nullopt;
        return chunk.parse;
      });
  std::span<const std::byte> block;
  ReadError error;
  for (;;) {
    const BlockReader::Status status = blocks.next(block, error);
    if (status == BlockReader::Status::Truncated || status == BlockReader::Status::Error) {
      return std::nullopt;  // the reader meets the same, or a fault in the text before it
    }
    const bool at_end = status == BlockReader::Status::End;
    text.append(reinterpret_cast<const char*>(block.data()), block.size());
    std::size_t begin = 0;
    if (in_first_line) {
      // The probe has checked the first line; the faces start after it.
      const std::size_t lf = text.find('\n');
      if (lf == std::string::npos) {
        if (at_end || text.size() > pending_limit(block_size)) return std::nullopt;
        continue;
      }
      // The lenient reader may end the first line at a CR, and read faces after it.
      if (lenient && has_inner_cr(text, 0, lf)) return std::nullopt;
      in_first_line = false;
      begin = lf + 1;
    }
    // This round parses up to the last facet that starts in the text, which the next block
    // may still complete; at the end of the file, everything.
    std::size_t end = text.size();
    if (!at_end) {
      const std::size_t last_lf = text.rfind('\n');
      end = last_lf == std::string::npos || last_lf < begin
                ? begin
                : last_facet_start(text, begin, last_lf + 1);
    }
    if (end > begin) {
      // Each part starts at the first facet after its share of the text; each must then end
      // exactly where the next one starts, which proves that start right, as the first
      // part's start is. Text too short to be worth a part of its own is parsed in fewer.
      const std::size_t round_parts =
          std::clamp<std::size_t>((end - begin) / min_part_text(block_size), 1, parts);
      starts[0] = begin;
      starts[round_parts] = end;
      for (std::size_t part = 1; part < round_parts; ++part) {
        // The first line that starts at or after the part's share of the text.
        std::size_t from = std::max(begin + (end - begin) * part / round_parts, starts[part - 1]);
        if (from > 0 && text[from - 1] != '\n') {
          const std::size_t lf = text.find('\n', from);
          from = lf == std::string::npos ? end : std::min(lf + 1, end);
        }
        starts[part] = next_facet_start(text, from, end);
      }
      round_faces.clear();
      std::optional<PlainParse> stop;
      for (std::size_t part = 0; part < round_parts; ++part) {
        FacetChunk& chunk = chunks.next();
        chunk.text = text;
        chunk.begin = starts[part];
        chunk.end = starts[part + 1];
        stop = chunks.add();  // a pass once the chunks of every part are in
      }
      if (!stop) stop = chunks.flush();
      if (stop && stop->stop == PlainStop::Departure) return std::nullopt;
      if (stop) {  // the "endsolid" line
        if (lenient && !only_blanks_after_line(text, stop->at, blocks, at_end)) {
          return std::nullopt;
        }
        sink.add_faces(round_faces);
        plain_ascii_count.fetch_add(1, std::memory_order_relaxed);
        return ReadStatus{};
      }
      sink.add_faces(round_faces);
      text.erase(0, end);
    } else {
      text.erase(0, begin);
    }
    if (at_end) return std::nullopt;  // no "endsolid": the reader gives the message
    if (text.size() > pending_limit(block_size)) return std::nullopt;
  }
}

}  // namespace

std::uint64_t plain_ascii_reads() { return plain_ascii_count.load(std::memory_order_relaxed); }

namespace {

// The lenient probe: the size rule, then the lenient first line.
bool probe_lenient(FileStream& stream) {
  if (stream.is_regular()) {
    std::byte head[BINARY_HEADER_SIZE + FACE_COUNT_SIZE];
    auto got = stream.fill_at(head, sizeof head, 0);
    auto size = stream.size();
    if (got.ok() && got.value() == sizeof head && size.ok() &&
        size.value() == binary_file_size(load_u32(head + BINARY_HEADER_SIZE))) {
      return false;
    }
  }
  bool ascii;
  {
    mesh_io::StreamReader reader(mesh_io::StreamSource{&stream});
    ReadError error;
    ascii = read_lenient_first_line(reader, error) == LenientStart::Solid;
  }
  if (stream.rewind()) return false;
  return ascii;
}

}  // namespace

bool probe_ascii(FileStream& stream, StlDialect dialect) {
  if (dialect == StlDialect::Lenient) return probe_lenient(stream);
  bool ascii = true;
  {
    // The first line is checked as it streams past, never held: a file without any LF
    // costs no more memory than one buffer.
    mesh_io::StreamReader reader(mesh_io::StreamSource{&stream});
    base::Utf8Validator validator;
    std::size_t prefix_seen = 0;
    for (;;) {
      auto chunk = reader.fill_buf();
      if (!chunk.ok()) {
        ascii = false;
        break;
      }
      std::span<const std::byte> bytes = chunk.value();
      if (bytes.empty()) break;  // end of file: the whole file was the first line
      const void* lf = std::memchr(bytes.data(), '\n', bytes.size());
      std::size_t line_part =
          lf ? static_cast<std::size_t>(static_cast<const std::byte*>(lf) - bytes.data()) + 1
             : bytes.size();
      std::span<const std::byte> part = bytes.first(line_part);
      for (std::size_t i = 0; i < part.size() && prefix_seen < SOLID_PREFIX.size(); ++i) {
        if (static_cast<char>(part[i]) != SOLID_PREFIX[prefix_seen]) {
          ascii = false;  // the first six bytes already differ from "solid "
          break;
        }
        ++prefix_seen;
      }
      if (!ascii) break;
      if (!validator.feed(part)) {
        ascii = false;
        break;
      }
      reader.consume(line_part);
      if (lf) break;
    }
    if (ascii) ascii = validator.finish() && prefix_seen == SOLID_PREFIX.size();
  }
  if (stream.rewind()) return false;
  return ascii;
}

ReadResult<StlFile> read_stl_file(const PathText& path, StlDialect dialect, AttributeWords* words) {
  auto stream = mesh_io::open_file(path);
  if (!stream.ok()) return stream.error();
  auto mesh = read_stl_stream(stream.value(), dialect, words);
  if (!mesh.ok()) return mesh.error();  // the stream closes as it goes out of scope
  return StlFile{std::move(stream.value()), std::move(mesh.value())};
}

ReadResult<mesh_io::IndexedMesh> read_stl_stream(FileStream& stream, StlDialect dialect,
                                                 AttributeWords* words) {
  auto build = [](FaceSource& source) { return mesh_io::build_indexed_mesh(source); };
  return read_faces(stream, probe_ascii(stream, dialect), dialect, build, words);
}

ReadResult<mesh_io::IndexedMesh> read_stl_memory(std::span<const std::byte> bytes,
                                                 StlDialect dialect, std::size_t piece,
                                                 AttributeWords* words) {
  FileStream stream = FileStream::in_memory(bytes, piece);
  return read_stl_stream(stream, dialect, words);
}

ReadStatus read_stl_blocks(const PathText& path, FaceBlockSink& sink, std::size_t block_size,
                           StlDialect dialect) {
  auto stream = mesh_io::open_file(path);
  if (!stream.ok()) return stream.error();
  FileStream& file = stream.value();
  const bool ascii = probe_ascii(file, dialect);
  auto done_in_blocks = ascii ? read_ascii_blocks(file, sink, block_size, dialect)
                              : read_binary_blocks(file, sink, block_size);
  if (done_in_blocks) return std::move(*done_in_blocks);
  // Every other file streams through the face readers, handed on a batch at a time.
  const std::size_t batch_size = std::max<std::size_t>(1, block_size / BINARY_RECORD_SIZE);
  auto drain = [&](FaceSource& source) -> ReadResult<bool> {
    sink.restart();
    std::unique_ptr<RawFace[]> batch(new RawFace[batch_size]);
    auto failure = mesh_io::for_each_batch(source, std::span<RawFace>(batch.get(), batch_size),
                                           [&](std::span<const RawFace> faces) {
                                             if (!faces.empty()) sink.add_faces(faces);
                                           });
    if (failure) return std::move(*failure);
    return true;
  };
  // The stream is still at offset 0: the block readings never move it.
  auto done = read_faces(file, ascii, dialect, drain);
  if (!done.ok()) return std::move(done.error());
  return std::nullopt;
}

ReadStatus read_stl_faces(const PathText& path, const FaceConsumer& consume, StlDialect dialect,
                          AttributeWords* words) {
  auto stream = mesh_io::open_file(path);
  if (!stream.ok()) return stream.error();
  return read_stl_faces(stream.value(), consume, dialect, words);
}

ReadStatus read_stl_faces(FileStream& stream, const FaceConsumer& consume, StlDialect dialect,
                          AttributeWords* words) {
  auto drain = [&](FaceSource& source) -> ReadResult<bool> {
    if (ReadStatus failure = consume(source)) return std::move(*failure);
    return true;
  };
  auto done = read_faces(stream, probe_ascii(stream, dialect), dialect, drain, words);
  if (!done.ok()) return std::move(done.error());
  return std::nullopt;
}

}  // namespace vertisift::stl
