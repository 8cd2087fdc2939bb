// The ASCII STL reader: a strict line-by-line reader of "solid" ... "endsolid" files whose
// errors quote the offending line's tokens.
#pragma once

#include <memory>

#include "stl/face_source.h"
#include "stl/file_stream.h"

namespace vertisift::stl {

class AsciiFaceReader final : public FaceSource {
 public:
  // Reads and checks the first line; `stream` is positioned at offset 0.
  static ReadResult<std::unique_ptr<AsciiFaceReader>> open(FileStream& stream);
  FaceStatus next(RawFace& face, ReadError& error) override;

 private:
  explicit AsciiFaceReader(FileStream& stream) : reader_(StreamSource{&stream}) {}

  StreamReader reader_;
};

}  // namespace vertisift::stl
