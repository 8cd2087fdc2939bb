#include "mesh_io/side_files.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "mesh_io/quote.h"

namespace vertisift::mesh_io {
namespace {

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "data:..." in any case, or a scheme (a letter, then letters, digits, '+', '-', '.') and
// "://".
bool is_url(std::string_view name) {
  if (name.size() >= 5) {
    std::string start(name.substr(0, 5));
    for (char& c : start) c = static_cast<char>(c | 0x20);
    if (start == "data:") return true;
  }
  const std::size_t colon = name.find("://");
  if (colon == std::string_view::npos || colon == 0 || !is_letter(name[0])) return false;
  for (const char c : name.substr(1, colon - 1)) {
    if (!is_letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

bool has_parent_step(std::string_view name) {
  while (!name.empty()) {
    const std::size_t slash = name.find('/');
    if (name.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) break;
    name.remove_prefix(slash + 1);
  }
  return false;
}

ReadError refused(std::string_view name, const char* why) {
  return ReadError::invalid_data("side file " + quote(name) + ": " + why);
}

// The path with every link resolved, or the system's error.
ReadResult<std::string> resolved(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (real == nullptr) return ReadError::os(errno);
  return std::string(real.get());
}

}  // namespace

ReadStatus check_side_file_name(std::string_view name) {
  if (name.empty()) return refused(name, "no name");
  if (name.find('\0') != std::string_view::npos) return refused(name, "a NUL byte in the name");
  if (is_url(name)) return refused(name, "a URL, not a file in the model's folder");
  if (name.front() == '/') return refused(name, "an absolute path, not one in the model's folder");
  if (has_parent_step(name)) {
    return refused(name, "a \"..\" in the path, which leaves the model's folder");
  }
  return std::nullopt;
}

ReadResult<FileStream> FolderSideFiles::open_checked(std::string_view name) {
  auto model = path_to_bytes(model_);
  if (!model.ok()) return model.error();
  const std::size_t slash = model.value().rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? std::string("/")
                                                        : model.value().substr(0, slash);
  auto real_folder = resolved(folder);
  if (!real_folder.ok()) return real_folder.error();
  auto real_file = resolved(folder + "/" + std::string(name));
  if (!real_file.ok()) return real_file.error();
  const std::string& inside = real_folder.value();
  const std::string& file = real_file.value();
  const bool within =
      inside == "/" || file == inside || (file.starts_with(inside) && file[inside.size()] == '/');
  if (!within) return refused(name, "a link to a file outside the model's folder");
  return FileStream::open(file);
}

}  // namespace vertisift::mesh_io
