// SideFiles: the files that a model file names to be read with it (a material library, a
// texture, a buffer of vertex data), opened for the model's reader. Every source refuses the
// same names first (check_side_file_name): an empty name, one with a NUL byte, a URL
// ("scheme://...", "data:..."), an absolute path and a path with a ".." component, each with
// an InvalidData error that quotes the name. FolderSideFiles opens the others in the model's
// folder and nowhere else: a name is a path relative to that folder, and one whose file,
// links followed, lies outside the folder is refused the same way, before the file is opened.
//
// Links are followed while they stay in the folder (a link beside the model to a file below
// it is read; one to anywhere else is refused). The check resolves the path (realpath) and
// then opens the resolved path, so only a link changed between the two could lead out: the
// folder is the model's, a place that whoever gives the model already controls.
#pragma once

#include <string_view>
#include <utility>

#include "mesh_io/file_stream.h"
#include "mesh_io/path_text.h"
#include "mesh_io/read_error.h"

namespace vertisift::mesh_io {

// The refusal of a name that no source opens, as above, or none for a name that may be opened.
ReadStatus check_side_file_name(std::string_view name);

class SideFiles {
 public:
  virtual ~SideFiles() = default;
  // The file called `name` (as the model file writes it), opened for reading. A name that
  // check_side_file_name refuses is refused here, and never reaches the source.
  ReadResult<FileStream> open(std::string_view name) {
    if (ReadStatus refusal = check_side_file_name(name)) return std::move(*refusal);
    return open_checked(name);
  }
  // True once the source has ended the reading for a reason of its caller's (a callback that
  // raised): every later open fails, and a reading that goes on past a failed open (a
  // material library that cannot be read) is to be dropped as soon as it returns.
  virtual bool stopped() const { return false; }

 private:
  // The source's own opening of a name that passed the checks.
  virtual ReadResult<FileStream> open_checked(std::string_view name) = 0;
};

// The InvalidData text of an open, and of a reading, that stopped side files end (the caller
// that stopped them reports its own reason instead).
inline constexpr const char* STOPPED_MESSAGE = "the reading was stopped by its side files";

class FolderSideFiles final : public SideFiles {
 public:
  // `model` is the model file's path, which must outlive this.
  explicit FolderSideFiles(const PathText& model) : model_(model) {}

 private:
  ReadResult<FileStream> open_checked(std::string_view name) override;

  const PathText& model_;
};

}  // namespace vertisift::mesh_io
