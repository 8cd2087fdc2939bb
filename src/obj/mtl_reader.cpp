#include "obj/mtl_reader.h"

#include <array>
#include <cstdint>
#include <string>

#include "mesh_io/line_reader.h"
#include "mesh_io/quote.h"
#include "mesh_io/text_numbers.h"
#include "obj/statement_text.h"

namespace vertisift::obj {

using mesh_io::ReadError;
using mesh_io::ReadResult;
using mesh_io::ReadStatus;

namespace {

// The options of map_Kd that are skipped, with how many arguments each takes; a negative
// count is "up to" that many numbers, at least one.
struct SkippedOption {
  std::string_view name;
  int arguments;
};
constexpr std::array<SkippedOption, 11> SKIPPED_OPTIONS = {{{"-blendu", 1},
                                                            {"-blendv", 1},
                                                            {"-bm", 1},
                                                            {"-boost", 1},
                                                            {"-cc", 1},
                                                            {"-clamp", 1},
                                                            {"-imfchan", 1},
                                                            {"-mm", 2},
                                                            {"-t", -3},
                                                            {"-texres", 1},
                                                            {"-type", 1}}};

class Parser {
 public:
  explicit Parser(MaterialLibrary& library) : library_(library) {}
  ReadStatus statement(std::string_view text, std::uint64_t line);

 private:
  ReadError malformed(std::string_view what, std::string_view text) const {
    return ReadError::invalid_data("MTL line " + std::to_string(line_) + ": expected " +
                                   std::string(what) + ", got " + mesh_io::quote(text));
  }
  // One to `most` numbers from `rest` into `values`, `rest` advanced past them; the count
  // read, 0 when the first token is not a number.
  std::size_t numbers(std::string_view& rest, float* values, std::size_t most) const;
  ReadStatus texture(std::string_view rest, mesh_io::Material* material);
  void count(std::string_view option);

  MaterialLibrary& library_;
  std::uint64_t line_ = 0;
};

std::size_t Parser::numbers(std::string_view& rest, float* values, std::size_t most) const {
  std::size_t got = 0;
  while (got < most) {
    std::string_view after = rest;
    const std::string_view token = mesh_io::next_token(after);
    if (token.empty() || !mesh_io::parse_float(token, values[got])) break;
    rest = after;
    ++got;
  }
  return got;
}

void Parser::count(std::string_view option) {
  const std::string what = "map_Kd option " + std::string(option);
  for (mesh_io::Mesh::Ignored& ignored : library_.ignored) {
    if (ignored.what == what) {
      ++ignored.count;
      return;
    }
  }
  library_.ignored.push_back({what, 1});
}

ReadStatus Parser::texture(std::string_view rest, mesh_io::Material* material) {
  const std::string_view whole = trimmed(rest);
  float offset[3] = {0, 0, 0}, scale[3] = {1, 1, 1};
  for (;;) {
    std::string_view after = rest;
    const std::string_view option = mesh_io::next_token(after);
    if (!option.starts_with('-') || option.size() < 2) break;
    rest = after;
    if (option == "-o" || option == "-s") {
      float* values = option == "-o" ? offset : scale;
      if (numbers(rest, values, 3) == 0)
        return malformed("1 to 3 numbers after " + std::string(option), whole);
      continue;
    }
    const SkippedOption* skipped = nullptr;
    for (const SkippedOption& known : SKIPPED_OPTIONS) {
      if (option == known.name) skipped = &known;
    }
    if (skipped == nullptr) return malformed("a map_Kd option", option);
    if (skipped->arguments < 0) {
      float values[3];
      if (numbers(rest, values, static_cast<std::size_t>(-skipped->arguments)) == 0) {
        return malformed("1 to 3 numbers after " + std::string(option), whole);
      }
    } else {
      for (int i = 0; i < skipped->arguments; ++i) {
        if (mesh_io::next_token(rest).empty()) {
          return malformed("the arguments of " + std::string(option), whole);
        }
      }
    }
    count(option);
  }
  const std::string_view file = trimmed(rest);
  if (file.empty()) return malformed("a texture file name", whole);
  if (material == nullptr) return {};
  material->texture = std::string(file);
  std::copy(offset, offset + 3, material->texture_offset);
  std::copy(scale, scale + 3, material->texture_scale);
  return {};
}

ReadStatus Parser::statement(std::string_view text, std::uint64_t line) {
  line_ = line;
  std::string_view rest = trimmed(before_comment(text));
  const std::string_view keyword = mesh_io::next_token(rest);
  if (keyword.empty()) return {};
  mesh_io::Material* material = library_.materials.empty() ? nullptr : &library_.materials.back();
  if (keyword == "newmtl") {
    library_.materials.push_back({});
    library_.materials.back().name = std::string(trimmed(rest));
    return {};
  }
  if (keyword == "map_Kd") return texture(rest, material);
  const bool kd = keyword == "Kd";
  if (!kd && keyword != "d" && keyword != "Tr") return {};
  float values[3];
  const std::size_t got = numbers(rest, values, kd ? 3 : 1);
  if (!trimmed(rest).empty() || (kd ? got != 1 && got != 3 : got != 1)) {
    return malformed(kd ? "1 or 3 numbers" : "a number", text);
  }
  if (material == nullptr) return {};
  if (kd) {
    const bool grey = got == 1;
    material->diffuse.r = values[0];
    material->diffuse.g = grey ? values[0] : values[1];
    material->diffuse.b = grey ? values[0] : values[2];
  } else {
    material->diffuse.a = keyword == "d" ? values[0] : 1.0f - values[0];
  }
  return {};
}

}  // namespace

ReadResult<MaterialLibrary> read_mtl(mesh_io::ByteSource& source) {
  MaterialLibrary library;
  Parser parser(library);
  mesh_io::LineReader reader(source, "MTL");
  for (;;) {
    std::string_view line;
    auto got = reader.next(line);
    if (!got.ok()) return std::move(got.error());
    if (!got.value()) break;
    if (auto error = parser.statement(line, reader.line_number())) return std::move(*error);
  }
  return library;
}

}  // namespace vertisift::obj
