// The face record and the reader interface that every mesh reader delivers: the binary and
// the ASCII STL reader (stl/), and a reader of any other format (OFF, OBJ, PLY), which goes in
// a folder of its own beside stl/ that links mesh_io. A reader hands on the faces as RawFaces,
// in file order, through a FaceSource, and its failures as ReadErrors; whatever is built from
// them (the indexed mesh, the vertex merge, the sampling stages) sees only these two and never
// learns which format it read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/point3.h"
#include "mesh_io/read_error.h"

namespace vertisift::mesh_io {

// One triangle as a reader delivers it: the face normal exactly as the file gives it,
// then the three corners in file order.
struct RawFace {
  base::Point3 normal;
  base::Point3 vertices[3];
};

enum class FaceStatus { Face, End, Error };

// A face reader. `next` fills `face` (Face), reports the end of the faces (End), or fills
// `error` (Error). After End or Error it is not called again.
class FaceSource {
 public:
  virtual ~FaceSource() = default;
  virtual FaceStatus next(RawFace& face, ReadError& error) = 0;
  // About how many faces are coming, when the reader can tell without reading them, and never
  // more than the file can hold; 0 otherwise. For sizing what collects them.
  virtual std::uint64_t faces_hint() const { return 0; }

  // Up to `capacity` faces at once, exactly as that many calls of `next` would deliver them.
  // Returns how many were filled; fewer than `capacity` means `status` holds End or Error
  // (with `error` filled) for the call that came after them.
  virtual std::size_t next_batch(RawFace* faces, std::size_t capacity, FaceStatus& status,
                                 ReadError& error) {
    for (std::size_t filled = 0; filled < capacity; ++filled) {
      status = next(faces[filled], error);
      if (status != FaceStatus::Face) return filled;
    }
    status = FaceStatus::Face;
    return capacity;
  }
};

// Drains `source` a batch at a time: take(faces) for each batch it delivers into `buffer`, in
// order, until the end of the faces or the first error, which it returns. A batch cut short
// by an error is not handed on.
template <class Take>
ReadStatus for_each_batch(FaceSource& source, std::span<RawFace> buffer, Take&& take) {
  FaceStatus status = FaceStatus::Face;
  ReadError error;
  while (status == FaceStatus::Face) {
    const std::size_t count = source.next_batch(buffer.data(), buffer.size(), status, error);
    if (status == FaceStatus::Error) return error;
    take(std::span<const RawFace>(buffer.data(), count));
  }
  return std::nullopt;
}

}  // namespace vertisift::mesh_io
