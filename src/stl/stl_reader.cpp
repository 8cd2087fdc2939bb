#include "stl/stl_reader.h"

#include <cstring>
#include <memory>
#include <span>
#include <utility>

#include "base/utf8.h"
#include "stl/ascii_reader.h"
#include "stl/binary_reader.h"

namespace vertisift::stl {
namespace {

// The readings below hand the chosen reader to `consume`, which drains it into a result of
// its own: the indexed mesh for read_stl_file, whatever a caller of read_stl_faces keeps.
template <class Consume>
using ConsumeResult = decltype(std::declval<Consume&>()(std::declval<FaceSource&>()));

// What `consume` makes of an opened reader, or the error that opening or reading gave.
template <class Reader, class Consume>
ConsumeResult<Consume> consume_from(ReadResult<std::unique_ptr<Reader>> reader, Consume& consume) {
  if (!reader.ok()) return std::move(reader.error());
  return consume(*reader.value());
}

// The binary reading, accepted only when the file holds exactly the header and N records.
template <class Consume>
ConsumeResult<Consume> read_binary_exactly(FileStream& stream, Consume& consume) {
  auto reader = BinaryFaceReader::open(stream);
  if (!reader.ok()) return std::move(reader.error());
  auto size = stream.size();
  if (!size.ok()) return std::move(size.error());
  if (size.value() != binary_file_size(reader.value()->face_count())) {
    return ReadError::invalid_data("not a binary STL file");
  }
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
ConsumeResult<Consume> read_faces(FileStream& stream, Consume& consume) {
  using FirstLine = AsciiFaceReader::FirstLine;
  const bool ascii = probe_ascii(stream);
  auto mesh = ascii ? consume_from(AsciiFaceReader::open(stream, FirstLine::SolidAndBlank), consume)
                    : consume_from(BinaryFaceReader::open(stream), consume);
  if (mesh.ok() || mesh.error().kind == ReadErrorKind::Os) return mesh;
  if (stream.rewind()) return mesh;
  auto other = ascii ? read_binary_exactly(stream, consume)
                     : consume_from(AsciiFaceReader::open(stream, FirstLine::SolidWord), consume);
  if (other.ok()) return other;
  return mesh;
}

ReadResult<FileStream> open_stl_file(const PathText& path) {
  auto bytes = path_to_bytes(path);
  if (!bytes.ok()) return bytes.error();
  if (bytes.value().find('\0') != std::string::npos) {
    // Fixed by compatibility, like the other reader messages: must stay exactly so.
    return ReadError::invalid_input("file name contained an unexpected NUL byte");
  }
  return FileStream::open(bytes.value());
}

}  // namespace

bool probe_ascii(FileStream& stream) {
  bool ascii = true;
  {
    // The first line is checked as it streams past, never held: a file without any LF
    // costs no more memory than one buffer.
    StreamReader reader(StreamSource{&stream});
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
