// A model read from bytes in memory against the same bytes read from a file: the formats of
// the table, STL's probe and fallback rules included, give the same mesh or the same error
// (GLB's in tests/test_from_memory.py); side files come through the SideFiles given, after
// the names' shared checks, and a source that stops the reading drops the mesh.
#include "formats/mesh_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace vertisift::formats {
namespace {

using mesh_io::Mesh;
using mesh_io::ReadResult;

std::string raw(const void* data, std::size_t size) {
  return {static_cast<const char*>(data), size};
}

template <class T>
std::string raw(const base::PodVector<T>& items) {
  return raw(items.data(), items.size() * sizeof(T));
}

// Everything a reading gives, as one string (bytes of the arrays as they are), or the error.
std::string described(const ReadResult<Mesh>& read) {
  if (!read.ok()) return "error: " + read.error().display();
  const Mesh& mesh = read.value();
  std::string out = raw(mesh.positions) + "|" + raw(mesh.triangles) + "|" +
                    std::to_string(mesh.loose_corners) + std::to_string(mesh.in_first_use_order) +
                    "|skipped " + std::to_string(mesh.skipped_faces);
  for (const mesh_io::Stream& stream : mesh.streams) {
    out += "|" + stream.name + " " + std::to_string(static_cast<int>(stream.domain)) +
           std::to_string(static_cast<int>(stream.element)) + std::to_string(stream.width) + " " +
           raw(stream.bytes) + raw(stream.corners);
  }
  for (const mesh_io::Material& material : mesh.materials) {
    out += "|material " + material.name + " " + material.texture + " " +
           raw(&material.diffuse, sizeof material.diffuse) + std::to_string(material.image);
  }
  for (const mesh_io::Image& image : mesh.images) out += "|image " + raw(image.bytes);
  for (const Mesh::Ignored& ignored : mesh.ignored) {
    out += "|ignored " + ignored.what + " " + std::to_string(ignored.count);
  }
  return out;
}

// Side files served from names to bytes, each opening remembered; a name it lacks is missing
// as a file would be. With `stop_after`, it stops the reading once it has opened that many.
class MapSideFiles final : public mesh_io::SideFiles {
 public:
  explicit MapSideFiles(std::map<std::string, std::string> files = {},
                        std::size_t stop_after = SIZE_MAX)
      : files_(std::move(files)), stop_after_(stop_after) {}
  bool stopped() const override { return asked.size() >= stop_after_; }

  std::vector<std::string> asked;

 private:
  ReadResult<mesh_io::FileStream> open_checked(std::string_view name) override {
    asked.emplace_back(name);
    const auto found = files_.find(std::string(name));
    if (found == files_.end()) return mesh_io::ReadError::os(ENOENT);
    // Reads of a few bytes each, as a pipe may give them.
    return mesh_io::FileStream::in_memory(
        std::as_bytes(std::span(found->second.data(), found->second.size())), 7);
  }

  std::map<std::string, std::string> files_;
  std::size_t stop_after_;
};

ReadResult<Mesh> read_bytes(const std::string& bytes, std::string_view format,
                            const ReadOptions& options, mesh_io::SideFiles& side_files) {
  return read_mesh_bytes(std::as_bytes(std::span(bytes.data(), bytes.size())), format, options,
                         side_files);
}

// A folder of its own in the test's temporary one, for each test.
class MeshFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::path(::testing::TempDir()) / "vertisift_mesh_file" /
              (std::string(test->test_suite_name()) + "." + test->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  std::filesystem::path folder_;
};

void put_u32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xff);
}

void put_floats(std::string& out, std::initializer_list<float> values) {
  for (const float value : values) out += raw(&value, sizeof value);
}

// A binary STL of two facets sharing an edge, after `header` (80 bytes, padded with NULs).
std::string binary_stl(const std::string& header) {
  std::string out = header;
  out.resize(80, '\0');
  put_u32(out, 2);
  put_floats(out, {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0});
  out += std::string("\x05\x80", 2);  // an attribute word: a facet colour
  put_floats(out, {0, 0, -1, 1, 0, 0, 1, 1, 0, 0, 1, 0});
  out += std::string(2, '\0');
  return out;
}

constexpr const char* ASCII_STL =
    "solid two\n"
    "facet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 0 1 0\n"
    " endloop\nendfacet\n"
    "facet normal 0 0 -1\n outer loop\n  vertex 1 0 0\n  vertex 1 1 0\n  vertex 0 1 0\n"
    " endloop\nendfacet\n"
    "endsolid two\n";

// The one triangle's positions and indices, and a glTF document whose buffer is at `uri`.
std::string triangle_buffer() {
  std::string bin;
  put_floats(bin, {0, 0, 0, 1, 0, 0, 0, 1, 0});
  bin += std::string("\0\0\1\0\2\0\0\0", 8);  // uint16 indices, padded to 4 bytes
  return bin;
}

std::string triangle_gltf(const std::string& uri) {
  return R"({"asset":{"version":"2.0"},"buffers":[{"byteLength":44,"uri":")" + uri +
         R"("}],"bufferViews":[{"buffer":0,"byteLength":36},)"
         R"({"buffer":0,"byteOffset":36,"byteLength":6}],)"
         R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
         R"("min":[0,0,0],"max":[1,1,0]},)"
         R"({"bufferView":1,"componentType":5123,"count":3,"type":"SCALAR"}],)"
         R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],)"
         R"("nodes":[{"mesh":0}],"scenes":[{"nodes":[0]}],"scene":0})";
}

struct Model {
  const char* label;
  const char* format;
  std::string bytes;
  ReadOptions options;
  bool reads = true;  // false: the reading is an error
};

void PrintTo(const Model& model, std::ostream* out) { *out << model.label; }

class SameAsFile : public MeshFileTest, public ::testing::WithParamInterface<Model> {};

TEST_P(SameAsFile, BytesReadAsTheFileOfThoseBytes) {
  const Model& model = GetParam();
  const std::string path = write(std::string(model.label) + ".model", model.bytes);
  const std::string from_file = described(read_mesh_file(path, model.format, model.options));
  EXPECT_EQ(from_file.starts_with("error: "), !model.reads) << from_file;
  MapSideFiles none;
  EXPECT_EQ(described(read_bytes(model.bytes, model.format, model.options, none)), from_file);
  EXPECT_TRUE(none.asked.empty());
}

std::string with_extra_byte(std::string bytes) { return bytes + "x"; }

constexpr ReadOptions LENIENT{.dialect = stl::StlDialect::Lenient, .loose_corners = false};
constexpr ReadOptions LOOSE{.dialect = stl::StlDialect::Lenient, .loose_corners = true};
constexpr ReadOptions STRICT{.dialect = stl::StlDialect::Strict, .loose_corners = false};

INSTANTIATE_TEST_SUITE_P(
    EveryFormat, SameAsFile,
    ::testing::Values(
        Model{"binary_stl", "stl", binary_stl("made here"), LENIENT},
        Model{"binary_stl_loose", "stl", binary_stl("made here"), LOOSE},
        Model{"ascii_stl", "stl", ASCII_STL, LENIENT},
        Model{"ascii_stl_strict_loose",
              "stl",
              ASCII_STL,
              {.dialect = stl::StlDialect::Strict, .loose_corners = true}},
        // Lenient: the size of exactly its records makes it binary, whatever it starts with.
        Model{"solid_header_exact_size", "stl", binary_stl("solid header\n"), LENIENT},
        // Strict: read as ASCII first, which fails, then taken as binary for its exact size.
        Model{"solid_header_strict_fallback", "stl", binary_stl("solid header\n"), STRICT},
        // Lenient: a byte past the records; the ASCII reading fails and the binary one holds.
        Model{"solid_header_lenient_fallback", "stl", with_extra_byte(binary_stl("solid header\n")),
              LENIENT},
        // Strict: no fallback for a size that is not exact; the ASCII reader's message stands.
        Model{"solid_header_strict_refused", "stl", with_extra_byte(binary_stl("solid header\n")),
              STRICT, false},
        Model{"binary_stl_cut_short", "stl", binary_stl("made here").substr(0, 120), LENIENT,
              false},
        Model{"off", "off", "OFF\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n3 0 1 2\n3 0 2 3\n", LENIENT},
        Model{"obj", "obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1 3//1 4//1\n",
              LENIENT},
        Model{"obj_broken", "obj", "v 0 0 0\nv 1 0 0\nf 1 2 x\n", LENIENT, false},
        Model{"ply", "ply",
              "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
              "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
              "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
              "0 0 0 255 0 0\n1 0 0 0 255 0\n0 1 0 0 0 255\n3 0 1 2\n",
              LENIENT}),
    [](const auto& info) { return std::string(info.param.label); });

// OBJ's material library and glTF's external buffer come through the side files given, by
// the names the model writes, and give what the files beside a model file give.
TEST_F(MeshFileTest, SideFilesComeFromTheSourceGiven) {
  const std::string mtl = "newmtl red\nKd 1 0 0\nmap_Kd red.png\n";
  const std::string obj =
      "mtllib red.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\nusemtl red\n"
      "f 1/1 2/2 3/3\n";
  write("red.mtl", mtl);
  const std::string bin = triangle_buffer();
  write("tri.bin", bin);
  const std::string gltf = triangle_gltf("tri.bin");
  for (const auto& [name, format, bytes, side] :
       {std::tuple{"red.obj", "obj", obj, "red.mtl"},
        std::tuple{"tri.gltf", "gltf", gltf, "tri.bin"}}) {
    const auto from_file = read_mesh_file(write(name, bytes), format, LENIENT);
    ASSERT_TRUE(from_file.ok()) << from_file.error().display();
    MapSideFiles served({{"red.mtl", mtl}, {"tri.bin", bin}});
    EXPECT_EQ(described(read_bytes(bytes, format, LENIENT, served)), described(from_file));
    EXPECT_EQ(served.asked, std::vector<std::string>{side});
    // Missing from the source, as missing beside the file: the same reading, or error.
    std::filesystem::remove(folder_ / side);
    MapSideFiles empty;
    EXPECT_EQ(described(read_bytes(bytes, format, LENIENT, empty)),
              described(read_mesh_file((folder_ / name).string(), format, LENIENT)));
  }
  // The library was read: its material, not the default alone.
  MapSideFiles served({{"red.mtl", mtl}});
  const auto read = read_bytes(obj, "obj", LENIENT, served);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read.value().materials.size(), 2u);
  EXPECT_EQ(read.value().materials[1].texture, "red.png");
}

// A name that every source refuses never reaches the source, and is refused as the folder
// of a model file refuses it.
class RefusedName : public MeshFileTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedName, NeverReachesTheSource) {
  const std::string name = GetParam();
  MapSideFiles served({{name, triangle_buffer()}, {"m.mtl", "newmtl m\n"}});
  const std::string gltf = triangle_gltf(name);
  const auto from_bytes = read_bytes(gltf, "gltf", LENIENT, served);
  ASSERT_FALSE(from_bytes.ok());
  EXPECT_EQ(described(from_bytes),
            described(read_mesh_file(write("m.gltf", gltf), "gltf", LENIENT)));
  const auto obj = read_bytes("mtllib " + name + "\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", "obj",
                              LENIENT, served);
  ASSERT_TRUE(obj.ok());
  EXPECT_TRUE(served.asked.empty());
}

INSTANTIATE_TEST_SUITE_P(Refused, RefusedName,
                         ::testing::Values("../m.bin", "sub/../../m.bin", "/m.bin",
                                           "https://example.com/m.bin"));

// A source that stops the reading drops the mesh, even where the reader goes on past the
// failed opening (an OBJ's library).
TEST_F(MeshFileTest, StoppedSideFilesDropTheMesh) {
  MapSideFiles stopping({}, 1);
  const auto read = read_bytes("mtllib a.mtl\nmtllib b.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
                               "obj", LENIENT, stopping);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().display(), mesh_io::STOPPED_MESSAGE);
}

}  // namespace
}  // namespace vertisift::formats
