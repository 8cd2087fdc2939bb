#include "stl/ascii_reader.h"

namespace vertisift::stl {

ReadResult<std::unique_ptr<AsciiFaceReader>> AsciiFaceReader::open(FileStream& stream) {
  (void)stream;
  return ReadError::invalid_data("ASCII STL files are not supported yet");
}

FaceStatus AsciiFaceReader::next(RawFace&, ReadError& error) {
  error = ReadError::invalid_data("ASCII STL files are not supported yet");
  return FaceStatus::Error;
}

}  // namespace vertisift::stl
