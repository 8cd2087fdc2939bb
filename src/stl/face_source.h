// The face record and the reader interface shared by the binary and the ASCII reader.
#pragma once

#include "stl/point3.h"
#include "stl/read_error.h"

namespace vertisift::stl {

// One triangle as a reader delivers it: the face normal exactly as the file gives it,
// then the three corners in file order.
struct RawFace {
  Point3 normal;
  Point3 vertices[3];
};

enum class FaceStatus { Face, End, Error };

// A face reader. `next` fills `face` (Face), reports the end of the faces (End), or fills
// `error` (Error). After End or Error it is not called again.
class FaceSource {
 public:
  virtual ~FaceSource() = default;
  virtual FaceStatus next(RawFace& face, ReadError& error) = 0;
};

}  // namespace vertisift::stl
