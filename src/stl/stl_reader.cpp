#include "stl/stl_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "stl/ascii_reader.h"
#include "stl/utf8.h"

namespace vertisift::stl {
namespace {

constexpr std::string_view SOLID_PREFIX = "solid ";

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

float load_f32(const std::byte* bytes) {
  std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) |
                       static_cast<std::uint32_t>(bytes[1]) << 8 |
                       static_cast<std::uint32_t>(bytes[2]) << 16 |
                       static_cast<std::uint32_t>(bytes[3]) << 24;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void decode_record(const std::byte* record, RawFace& face) {
  face.normal = {load_f32(record), load_f32(record + 4), load_f32(record + 8)};
  for (int corner = 0; corner < 3; ++corner) {
    const std::byte* at = record + 12 + 12 * corner;
    face.vertices[corner] = {load_f32(at), load_f32(at + 4), load_f32(at + 8)};
  }
  // Bytes 48 and 49, the attribute word, are ignored.
}

// The readings below hand the chosen reader to `consume`, which drains it into a result of
// its own: the indexed mesh for read_stl_file, whatever a caller of read_stl_faces keeps.
template <class Consume>
auto read_ascii(FileStream& stream, AsciiFaceReader::FirstLine rule, Consume& consume)
    -> decltype(consume(std::declval<FaceSource&>())) {
  auto reader = AsciiFaceReader::open(stream, rule);
  if (!reader.ok()) return std::move(reader.error());
  return consume(*reader.value());
}

template <class Consume>
auto read_binary(FileStream& stream, Consume& consume)
    -> decltype(consume(std::declval<FaceSource&>())) {
  auto reader = BinaryFaceReader::open(stream);
  if (!reader.ok()) return std::move(reader.error());
  return consume(*reader.value());
}

// The binary reading, accepted only when the file holds exactly the header and N records.
template <class Consume>
auto read_binary_exactly(FileStream& stream, Consume& consume)
    -> decltype(consume(std::declval<FaceSource&>())) {
  auto reader = BinaryFaceReader::open(stream);
  if (!reader.ok()) return std::move(reader.error());
  auto size = stream.size();
  if (!size.ok()) return std::move(size.error());
  const std::uint64_t expected =
      BINARY_HEADER_SIZE + 4 + BINARY_RECORD_SIZE * reader.value()->face_count();
  if (size.value() != expected) return ReadError::invalid_data("not a binary STL file");
  return consume(*reader.value());
}

// The probe decides by the first line alone, and misjudges two kinds of file: a binary file
// whose header begins with "solid " and whose bytes up to the first LF happen to be UTF-8
// (read as ASCII), and an ASCII file whose first line is a bare "solid" (read as binary).
// When the chosen reading fails on the content, the other reading is tried, and its mesh is
// taken only if it accounts for the whole file: a binary file of exactly 84 + 50 N bytes, or
// an ASCII file that opens with the token "solid" and follows the grammar to "endsolid".
// Otherwise the first reading's error stands, so every file that reads without this keeps
// its mesh and every broken file keeps its message.
template <class Consume>
auto read_faces(FileStream& stream, Consume& consume)
    -> decltype(consume(std::declval<FaceSource&>())) {
  const bool ascii = probe_ascii(stream);
  auto mesh = ascii ? read_ascii(stream, AsciiFaceReader::FirstLine::SolidAndBlank, consume)
                    : read_binary(stream, consume);
  if (mesh.ok() || mesh.error().kind == ReadErrorKind::Os) return mesh;
  if (stream.rewind()) return mesh;
  auto other = ascii ? read_binary_exactly(stream, consume)
                     : read_ascii(stream, AsciiFaceReader::FirstLine::SolidWord, consume);
  if (other.ok()) return other;
  return mesh;
}

ReadResult<FileStream> open_stl_file(const PathText& path) {
  auto bytes = path_to_bytes(path);
  if (!bytes.ok()) return bytes.error();
  if (bytes.value().find('\0') != std::string::npos) {
    return ReadError::invalid_input("file name contained an unexpected NUL byte");
  }
  return FileStream::open(bytes.value());
}

}  // namespace

ReadResult<std::string> path_to_bytes(const PathText& path) {
  if (const auto* utf8 = std::get_if<std::string>(&path)) return *utf8;
  const std::wstring& wide = std::get<std::wstring>(path);
  std::string bytes;
  bytes.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    auto unit = static_cast<std::uint32_t>(wide[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size()) {
      auto next = static_cast<std::uint32_t>(wide[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {  // a pair, should the units be UTF-16
        append_utf8(bytes, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    if (unit >= 0xDC80 && unit <= 0xDCFF) {
      bytes.push_back(static_cast<char>(unit - 0xDC00));
    } else if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
      return ReadError::invalid_input("path contains an unpaired surrogate that has no byte form");
    } else {
      append_utf8(bytes, unit);
    }
  }
  return bytes;
}

bool probe_ascii(FileStream& stream) {
  bool ascii = true;
  {
    // The first line is checked as it streams past, never held: a file without any LF
    // costs no more memory than one buffer.
    StreamReader reader(StreamSource{&stream});
    Utf8Validator validator;
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

ReadResult<std::unique_ptr<BinaryFaceReader>> BinaryFaceReader::open(FileStream& stream) {
  std::unique_ptr<BinaryFaceReader> reader(new BinaryFaceReader(stream));
  std::byte header[BINARY_HEADER_SIZE];
  if (auto error = reader->reader_.exact_read(header, sizeof header)) return *error;
  std::byte count[4];
  if (auto error = reader->reader_.exact_read(count, sizeof count)) return *error;
  reader->face_count_ = static_cast<std::uint32_t>(count[0]) |
                        static_cast<std::uint32_t>(count[1]) << 8 |
                        static_cast<std::uint32_t>(count[2]) << 16 |
                        static_cast<std::uint32_t>(count[3]) << 24;
  return reader;
}

FaceStatus BinaryFaceReader::next(RawFace& face, ReadError& error) {
  if (delivered_ >= face_count_) return FaceStatus::End;
  ++delivered_;
  std::byte record[BINARY_RECORD_SIZE];
  if (auto failure = reader_.exact_read(record, sizeof record)) {
    error = std::move(*failure);
    return FaceStatus::Error;
  }
  decode_record(record, face);
  return FaceStatus::Face;
}

std::size_t BinaryFaceReader::next_batch(RawFace* faces, std::size_t capacity,
                                         FaceStatus& status, ReadError& error) {
  std::size_t filled = 0;
  while (filled < capacity) {
    if (delivered_ >= face_count_) {
      status = FaceStatus::End;
      return filled;
    }
    // Whole records straight from the buffer; a record split across refills goes the slow way.
    auto buffered = reader_.fill_buf();
    if (!buffered.ok()) {
      ++delivered_;
      error = std::move(buffered.error());
      status = FaceStatus::Error;
      return filled;
    }
    if (buffered.value().size() >= BINARY_RECORD_SIZE) {
      std::span<const std::byte> bytes = buffered.value();
      std::size_t records = std::min<std::uint64_t>(
          {bytes.size() / BINARY_RECORD_SIZE, capacity - filled, face_count_ - delivered_});
      for (std::size_t r = 0; r < records; ++r) {
        decode_record(bytes.data() + r * BINARY_RECORD_SIZE, faces[filled + r]);
      }
      reader_.consume(records * BINARY_RECORD_SIZE);
      delivered_ += records;
      filled += records;
      continue;
    }
    status = next(faces[filled], error);
    if (status != FaceStatus::Face) return filled;
    ++filled;
  }
  status = FaceStatus::Face;
  return filled;
}

ReadResult<StlFile> read_stl_file(const PathText& path) {
  auto stream = open_stl_file(path);
  if (!stream.ok()) return stream.error();
  auto build = [](FaceSource& source) { return build_indexed_mesh(source); };
  auto mesh = read_faces(stream.value(), build);
  if (!mesh.ok()) return mesh.error();  // the stream closes as it goes out of scope
  return StlFile{std::move(stream.value()), std::move(mesh.value())};
}

ReadStatus read_stl_faces(const PathText& path, const FaceConsumer& consume) {
  auto stream = open_stl_file(path);
  if (!stream.ok()) return stream.error();
  auto drain = [&](FaceSource& source) -> ReadResult<bool> {
    if (ReadStatus failure = consume(source)) return std::move(*failure);
    return true;
  };
  auto done = read_faces(stream.value(), drain);
  if (!done.ok()) return std::move(done.error());
  return std::nullopt;
}

}  // namespace vertisift::stl
