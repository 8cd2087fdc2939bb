#include "ply/ply_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "mesh_checks.h"
#include "mesh_io/file_stream.h"
#include "ply/ply_header.h"

namespace vertisift::ply {
namespace {

using mesh_io::MemorySource;
using mesh_io::Mesh;
using mesh_io::ReadErrorKind;

// Binary values, in the byte order asked for.
struct Bytes {
  bool big = false;
  std::string data;

  template <class T>
  Bytes& put(T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof raw);
    for (std::size_t i = 0; i < sizeof raw; ++i) {
      data.push_back(raw[big ? sizeof raw - 1 - i : i]);
    }
    return *this;
  }
};

// Records in one of the three formats: each value as a token of its row, or as its bytes in
// the file's order.
struct Body {
  Format format = Format::Ascii;
  std::string data;

  template <class T>
  Body& put(T value) {
    if (format == Format::Ascii) {
      char text[32];
      data.append(text, std::to_chars(text, text + sizeof text, +value).ptr).push_back(' ');
    } else {
      data += Bytes{format == Format::BinaryBigEndian, {}}.put(value).data;
    }
    return *this;
  }
  // Ends an ASCII row.
  Body& row() {
    if (format == Format::Ascii) data.back() = '\n';
    return *this;
  }
};

const char* format_name(Format format) {
  switch (format) {
    case Format::Ascii: return "ascii";
    case Format::BinaryLittleEndian: return "binary_little_endian";
    case Format::BinaryBigEndian: return "binary_big_endian";
  }
  return "";
}

constexpr Format FORMATS[] = {Format::Ascii, Format::BinaryLittleEndian, Format::BinaryBigEndian};

using Ignored = std::vector<std::pair<std::string, std::uint64_t>>;

struct Expected {
  std::vector<float> positions;        // x y z per vertex
  std::vector<std::uint32_t> corners;  // three per triangle
  std::vector<float> normals = {};
  std::uint64_t skipped = 0;
  std::vector<float> colors = {};  // r g b a per item of the colour stream
  mesh_io::Domain color_domain = mesh_io::Domain::Vertex;
  Ignored ignored = {};
  std::vector<float> uvs = {};  // u v per item of the uv stream
  mesh_io::Domain uv_domain = mesh_io::Domain::Vertex;
  std::vector<std::uint32_t> materials = {};  // per triangle
  std::vector<std::string> textures = {};     // of the materials after the default
};

// The colour stream's components, r g b a per item, checked against the items' domain.
std::vector<float> colors_of(const Mesh& mesh, mesh_io::Domain domain, const std::string& where) {
  const mesh_io::Stream* colors = mesh.find(mesh_io::COLOR_STREAM);
  if (colors == nullptr) return {};
  EXPECT_EQ(colors->domain, domain) << where;
  EXPECT_EQ(colors->element, mesh_io::Element::Float32) << where;
  EXPECT_EQ(colors->size(),
            domain == mesh_io::Domain::Vertex ? mesh.positions.size() : mesh.triangles.size())
      << where;
  std::vector<float> components;
  for (const auto& c : colors->items<mesh_io::Rgba>()) {
    components.insert(components.end(), {c.r, c.g, c.b, c.a});
  }
  return components;
}

// The items of the stream `name` as T (a uv stream's u and v one after the other), checked
// against `domain`; the textures of the materials after the default, each named by its texture.
template <class T>
std::vector<T> items_of(const Mesh& mesh, std::string_view name, mesh_io::Domain domain) {
  const mesh_io::Stream* stream = mesh.find(name);
  if (stream == nullptr) return {};
  EXPECT_EQ(stream->domain, domain) << name;
  EXPECT_TRUE(stream->corners.empty()) << name;
  return {stream->items<T>().begin(), stream->items<T>().end()};
}
std::vector<float> uvs_of(const Mesh& mesh, mesh_io::Domain domain) {
  return items_of<float>(mesh, mesh_io::UV_STREAM, domain);
}
std::vector<std::uint32_t> materials_of(const Mesh& mesh) {
  return items_of<std::uint32_t>(mesh, mesh_io::MATERIAL_STREAM, mesh_io::Domain::Face);
}
std::vector<std::string> textures_of(const Mesh& mesh) {
  std::vector<std::string> textures;
  for (std::size_t i = 1; i < mesh.materials.size(); ++i) {
    EXPECT_EQ(mesh.materials[i].name, mesh.materials[i].texture);
    textures.push_back(mesh.materials[i].texture);
  }
  return textures;
}

mesh_io::ReadResult<Mesh> read_bytes(const std::string& bytes, std::size_t piece) {
  MemorySource source(std::as_bytes(std::span(bytes.data(), bytes.size())), piece);
  return read_ply(source);
}

void expect_mesh(const Mesh& mesh, const Expected& expected, const std::string& where) {
  // Compared bit for bit, so that a NaN equals itself and -0 differs from 0.
  auto bits = [](const std::vector<float>& values) {
    std::vector<std::uint32_t> all;
    for (float value : values) all.push_back(std::bit_cast<std::uint32_t>(value));
    return all;
  };
  std::vector<float> positions, normals;
  for (const auto& p : mesh.positions) positions.insert(positions.end(), {p.x, p.y, p.z});
  for (const auto& n : mesh_checks::normals_of(mesh))
    normals.insert(normals.end(), {n.x, n.y, n.z});
  std::vector<std::uint32_t> corners;
  for (const auto& t : mesh.triangles) corners.insert(corners.end(), t.corners, t.corners + 3);
  EXPECT_EQ(bits(positions), bits(expected.positions)) << where;
  EXPECT_EQ(corners, expected.corners) << where;
  EXPECT_EQ(bits(normals), bits(expected.normals)) << where;
  EXPECT_TRUE(mesh_checks::normal_corners_of(mesh).empty()) << where;
  EXPECT_EQ(mesh.skipped_faces, expected.skipped) << where;
  EXPECT_EQ(bits(colors_of(mesh, expected.color_domain, where)), bits(expected.colors)) << where;
  Ignored ignored;
  for (const auto& item : mesh.ignored) ignored.emplace_back(item.what, item.count);
  EXPECT_EQ(ignored, expected.ignored) << where;
  EXPECT_EQ(uvs_of(mesh, expected.uv_domain), expected.uvs) << where;
  EXPECT_EQ(materials_of(mesh), expected.materials) << where;
  EXPECT_EQ(textures_of(mesh), expected.textures) << where;
}

struct Case {
  const char* name;
  std::string bytes;
  Expected expected;
};

const std::string CUBE_CORNERS = "4 0 1 2 3\n3 2 1 0\n";

std::vector<Case> round_trips() {
  std::vector<Case> cases;
  cases.push_back({"ascii with a quad, CRLF header, trailing blanks, blank rows, a bare line",
                   "ply \r\nformat ascii 1.0  \r\ncomment made by hand\r\nobj_info x\r\n"
                   "Created by a writer that forgot the keyword\r\n"
                   "element vertex 4\r\nproperty float32 x\r\nproperty float y\r\n"
                   "property double z\r\nproperty uchar red\r\n"
                   "element face 2\r\nproperty list uint8 int32 vertex_index\r\nend_header\r\n"
                   "\n0 0 0 9\n1 0 0 9\n\n 1\t1 0.1 9\n1801439958322381e1 1 -2.5e-3 9 \n\n" +
                       CUBE_CORNERS + "\n",
                   {{0, 0, 0, 1, 0, 0, 1, 1, 0.1f, 18014400656965632.f, 1, -2.5e-3f},
                    {0, 1, 2, 0, 2, 3, 2, 1, 0},
                    {}}});
  cases.push_back(
      {"ascii integer coordinates, normals, nan and inf, faces first, skipped lists",
       "ply\nformat ascii 1.0\nelement face 1\nproperty list uchar uint vertex_indices\n"
       "property list int float uv\nelement vertex 3\nproperty int x\n"
       "property short y\nproperty float z\nproperty float nx\nproperty float ny\n"
       "property float nz\nelement extra 1\nproperty list ushort char q\n"
       "end_header\n3 2 1 0 2 0.5 0.5\n-7 16777217 nan 0 0 1\n1 2 inf 0 1 0\n"
       "3 4 -inf 1 0 0\n2 8 9\nignored trailing text\n",
       {{-7, 16777216, NAN, 1, 2, INFINITY, 3, 4, -INFINITY},
        {2, 1, 0},
        {0, 0, 1, 0, 1, 0, 1, 0, 0}}});
  cases.push_back({"ascii triangle strips with restarts and a corner repeated, a texture file",
                   "ply\nformat ascii 1.0\ncomment TextureFile t.png\nelement vertex 5\n"
                   "property float x\nproperty float y\n"
                   "property float z\nelement tristrips 1\nproperty list int int vertex_indices\n"
                   "end_header\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n2 2 0\n"
                   "9 0 1 2 3 -1 4 4 3 1\n",
                   {{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 2, 2, 0},
                    {0, 1, 2, 2, 1, 3, 3, 4, 1},
                    {},
                    1,
                    {},
                    mesh_io::Domain::Vertex,
                    {{"texture file without texture coordinates", 1}}}});
  for (const bool big : {false, true}) {
    // Every scalar type once, lists of several count types, faces of 3, 4 and 2 corners
    // and an extra element with lists between the vertices and the faces.
    Bytes data{big, {}};
    data.put<std::int8_t>(-1).put<std::uint16_t>(65535).put<double>(0.1).put<std::uint8_t>(7);
    data.put<std::int16_t>(-300).put<std::uint32_t>(4000000000u).put<float>(-0.f);
    data.put<std::int8_t>(5).put<std::uint16_t>(15).put<double>(-2.0).put<std::uint8_t>(1);
    data.put<std::int16_t>(0).put<std::uint32_t>(0).put<float>(0.f);
    data.put<std::int8_t>(3).put<std::uint16_t>(3).put<double>(1e300).put<std::uint8_t>(0);
    data.put<std::int16_t>(0).put<std::uint32_t>(0).put<float>(0.f);
    data.put<std::uint32_t>(2).put<std::int32_t>(1).put<std::int32_t>(2);  // extra element
    data.put<std::uint16_t>(3)
        .put<std::uint16_t>(0)
        .put<std::uint16_t>(1)
        .put<std::uint16_t>(2)
        .put<std::uint8_t>(1);
    data.put<std::uint16_t>(4)
        .put<std::uint16_t>(2)
        .put<std::uint16_t>(1)
        .put<std::uint16_t>(0)
        .put<std::uint16_t>(1)
        .put<std::uint8_t>(2);
    data.put<std::uint16_t>(2).put<std::uint16_t>(0).put<std::uint16_t>(1).put<std::uint8_t>(3);
    data.data += "bytes after the last element";
    cases.push_back({big ? "binary big-endian, every type" : "binary little-endian, every type",
                     std::string("ply\nformat ") +
                         (big ? "binary_big_endian" : "binary_little_endian") +
                         " 1.0\nelement vertex 3\nproperty char x\nproperty ushort y\n"
                         "property float64 z\nproperty uint8 nx\nproperty int16 ny\n"
                         "property uint nz\nproperty float32 w\nelement extra 1\n"
                         "property list uint int32 a\nelement face 3\n"
                         "property list ushort uint16 vertex_indices\nproperty uchar flags\n"
                         "end_header\n" +
                         data.data,
                     {{-1, 65535, 0.1f, 5, 15, -2, 3, 3, INFINITY},
                      {0, 1, 2, 2, 1, 0, 2, 0, 1},
                      {7, -300, 4e9f, 1, 0, 0, 0, 0, 0},
                      1}});
  }
  {
    // The common layout, its first data byte a line feed, and a face of another count
    // between three-corner ones.
    Bytes data;
    const float x0 = std::bit_cast<float>(0x4141410Au);  // first byte 0x0A
    data.put(x0).put(0.f).put(0.f).put(1.f).put(0.f).put(0.f).put(0.f).put(1.f).put(0.f);
    data.put(1.f).put(1.f).put(0.f);
    data.put<std::uint8_t>(3).put(0).put(1).put(2).put<std::uint8_t>(9);
    data.put<std::uint8_t>(4).put(0).put(1).put(3).put(2).put<std::uint8_t>(9);
    data.put<std::uint8_t>(3).put(3).put(2).put(1).put<std::uint8_t>(9);
    cases.push_back(
        {"binary, common layout, data starting with a line feed",
         "ply\r\nformat binary_little_endian 1.0\r\nelement vertex 4\r\n"
         "property float x\r\nproperty float y\r\nproperty float z\r\nelement face 3\r\n"
         "property list uchar int vertex_indices\r\nproperty uchar flag\r\nend_header\r\n" +
             data.data,
         {{x0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0}, {0, 1, 2, 0, 1, 3, 0, 3, 2, 3, 2, 1}, {}}});
  }
  cases.push_back({"ascii colour integers out of their type's range, clamped",
                   "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                   "property float z\nproperty uchar red\nproperty uchar green\n"
                   "property short blue\nend_header\n0 0 0 300 -5 40000\n",
                   {{0, 0, 0}, {}, {}, 0, {1, 0, 1, 1}}});
  for (const Format format : FORMATS) {
    const std::string start = std::string("ply\nformat ") + format_name(format) + " 1.0\n";
    const std::string square =
        "element vertex 5\nproperty float x\nproperty float y\n"
        "property float z\n";
    auto square_rows = [&](Body& body) {
      const float xy[5][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 0}};
      for (const auto& p : xy) body.put(p[0]).put(p[1]).put(0.f).row();
    };
    const std::vector<float> square_positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0};
    {
      // A colour around the corner list: a quad's two triangles take its colour, a face of
      // two corners none; three-corner records between the others are read in place.
      Body body{format, {}};
      square_rows(body);
      const std::vector<std::vector<std::int32_t>> faces = {
          {0, 1, 2, 3}, {1, 4, 2}, {3, 2, 4}, {3, 4}, {4, 2, 1}};
      const std::uint8_t rgb[5][3] = {
          {255, 0, 51}, {0, 255, 0}, {0, 0, 255}, {51, 51, 51}, {51, 0, 255}};
      for (std::size_t f = 0; f < faces.size(); ++f) {
        body.put(rgb[f][0]).put(static_cast<std::uint8_t>(faces[f].size()));
        for (const std::int32_t corner : faces[f]) body.put(corner);
        body.put(rgb[f][1]).put(rgb[f][2]).row();
      }
      cases.push_back({"face colours, fanned with the faces",
                       start + square +
                           "element face 5\nproperty uchar red\n"
                           "property list uchar int vertex_indices\nproperty uchar green\n"
                           "property uchar blue\nend_header\n" +
                           body.data,
                       {square_positions,
                        {0, 1, 2, 0, 2, 3, 1, 4, 2, 3, 2, 4, 4, 2, 1},
                        {},
                        1,
                        {1, 0, 0.2f, 1, 1, 0, 0.2f, 1, 0, 1, 0, 1, 0, 0, 1, 1, 0.2f, 0, 1, 1},
                        mesh_io::Domain::Face}});
    }
    {
      // Colours of both: the vertices' win, and the faces' are counted by record.
      Body body{format, {}};
      const float xy[3][2] = {{0, 0}, {1, 0}, {0, 1}};
      for (const auto& p : xy) {
        body.put(p[0]).put(p[1]).put(0.f).put<std::uint16_t>(65535).put<std::uint16_t>(0);
        body.put<std::uint16_t>(13107)
            .put(static_cast<short>(-p[0]))
            .put(static_cast<short>(7 + p[1]))
            .row();
      }
      for (int f = 0; f < 2; ++f) {
        body.put<std::uint8_t>(3).put(0).put(1 + f).put(2 - f).put<std::uint8_t>(9);
        body.put<std::uint8_t>(9).put<std::uint8_t>(9).row();
      }
      cases.push_back({"vertex colours beside face colours, vertex texture coordinates t s",
                       start +
                           "element vertex 3\nproperty float x\nproperty float y\n"
                           "property float z\nproperty ushort red\nproperty ushort green\n"
                           "property ushort blue\nproperty short t\nproperty short s\n"
                           "element face 2\n"
                           "property list uchar int vertex_indices\nproperty uchar red\n"
                           "property uchar green\nproperty uchar blue\nend_header\n" +
                           body.data,
                       {{0, 0, 0, 1, 0, 0, 0, 1, 0},
                        {0, 1, 2, 0, 2, 1},
                        {},
                        0,
                        {1, 0, 0.2f, 1, 1, 0, 0.2f, 1, 1, 0, 0.2f, 1},
                        mesh_io::Domain::Vertex,
                        {{"face colour beside vertex colours", 2}},
                        {7, 0, 7, -1, 8, 0}}});
    }
    {
      // The diffuse_ names, with alpha; a list in the vertex record: property by property.
      Body body{format, {}};
      const std::uint8_t rgba[3][4] = {{255, 0, 51, 255}, {51, 51, 51, 0}, {1, 2, 3, 4}};
      for (int v = 0; v < 3; ++v) {
        body.put(static_cast<float>(v)).put(0.f).put(0.f).put(rgba[v][0]).put(rgba[v][1]);
        body.put(rgba[v][2]).put<std::uint8_t>(1).put<std::int32_t>(v).put(rgba[v][3]).row();
      }
      cases.push_back(
          {"diffuse_ colours with alpha",
           start +
               "element vertex 3\nproperty float x\nproperty float y\n"
               "property float z\nproperty uchar diffuse_red\n"
               "property uchar diffuse_green\nproperty uchar diffuse_blue\n"
               "property list uchar int extra\nproperty uchar diffuse_alpha\n"
               "end_header\n" +
               body.data,
           {{0, 0, 0, 1, 0, 0, 2, 0, 0},
            {},
            {},
            0,
            {1, 0, 0.2f, 1, 0.2f, 0.2f, 0.2f, 0, 1.f / 255, 2.f / 255, 3.f / 255, 4.f / 255}}});
    }
    {
      // Strips beside coloured faces: strips have no colour, so the faces' is read past.
      Body body{format, {}};
      square_rows(body);
      body.put<std::int32_t>(4).put(0).put(1).put(2).put(3).row();
      body.put<std::uint8_t>(3).put(0).put(2).put(4).put<std::uint8_t>(7).put<std::uint8_t>(7);
      body.put<std::uint8_t>(7).put<std::uint8_t>(2).put(1.f).put(2.f).row();
      cases.push_back({"strips beside face colours and texture coordinates",
                       start + square +
                           "element tristrips 1\nproperty list int int vertex_indices\n"
                           "element face 1\nproperty list uchar int vertex_indices\n"
                           "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                           "property list uchar float texcoord\nend_header\n" +
                           body.data,
                       {square_positions,
                        {0, 1, 2, 2, 1, 3, 0, 2, 4},
                        {},
                        0,
                        {},
                        mesh_io::Domain::Vertex,
                        {{"face colour beside triangle strips", 1},
                         {"texture coordinates beside triangle strips", 1}}}});
    }
    {
      // Corners' coordinates beside the vertices' (read past), fanned with a quad; a list a
      // pair short; texture numbers, one past the two files.
      Body body{format, {}};
      for (float x = 0; x < 5; ++x) body.put(x).put(0.f).put(0.f).put<short>(9).put<short>(9).row();
      body.put<std::uint8_t>(4).put(0).put(1).put(2).put(3).put<std::uint8_t>(8);
      for (int i = 1; i <= 8; ++i) body.put(static_cast<float>(i) / 10);
      body.put(1).row().put<std::uint8_t>(3).put(1).put(4).put(2).put<std::uint8_t>(4);
      body.put(1.f).put(1.f).put(1.f).put(1.f).put(0).row();
      body.put<std::uint8_t>(3).put(3).put(2).put(4).put<std::uint8_t>(6);
      for (float i = 1; i <= 6; ++i) body.put(i);
      body.put(2).row();
      cases.push_back(
          {"texture coordinates of the corners, texture numbers",
           start + "comment TextureFile \t a b.png \t\ncomment TextureFile c.jpg\n" + square +
               "property short s\nproperty short t\nelement face 3\n"
               "property list uchar int vertex_indices\nproperty list uchar float texcoord\n"
               "property int texnumber\nend_header\n" +
               body.data,
           {.positions = {0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0},
            .corners = {0, 1, 2, 0, 2, 3, 1, 4, 2, 3, 2, 4},
            .ignored = {{"vertex texture coordinates beside per-corner ones", 5},
                        {"texcoord list that does not match its face", 1},
                        {"texnumber past the texture files", 1}},
            .uvs = {.1f, .2f, .3f, .4f, .5f, .6f, .1f, .2f, .5f, .6f, .7f, .8f,
                    0,   0,   0,   0,   0,   0,   1,   2,   3,   4,   5,   6},
            .uv_domain = mesh_io::Domain::Corner,
            .materials = {2, 2, 1, 0},
            .textures = {"a b.png", "c.jpg"}}});
    }
    {
      // The vertices' u v as doubles, with one texture file and faces without texnumber.
      Body body{format, {}};
      for (float x = 0; x < 3; ++x) body.put(x).put(1.f).put(0.f).put(x + .5).put(-x - .25).row();
      body.put<std::uint8_t>(3).put(0).put(1).put(2).row();
      cases.push_back({"vertex texture coordinates u v, a texture file",
                       start + "comment TextureFile t.png\nelement vertex 3\n" +
                           "property float x\nproperty float y\nproperty float z\n"
                           "property double u\nproperty double v\nelement face 1\n"
                           "property list uchar int vertex_indices\nend_header\n" +
                           body.data,
                       {.positions = {0, 1, 0, 1, 1, 0, 2, 1, 0},
                        .corners = {0, 1, 2},
                        .uvs = {.5f, -.25f, 1.5f, -1.25f, 2.5f, -2.25f},
                        .materials = {1},
                        .textures = {"t.png"}}});
    }
  }
  return cases;
}

TEST(PlyReader, ReadsEveryVariantWhateverTheBlockSize) {
  for (const Case& c : round_trips()) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, c.bytes.size()}) {
      auto mesh = read_bytes(c.bytes, piece);
      const std::string where = std::string(c.name) + ", pieces of " + std::to_string(piece);
      ASSERT_TRUE(mesh.ok()) << where << ": " << mesh.error().display();
      expect_mesh(mesh.value(), c.expected, where);
    }
  }
}

// Vertex colours of one scalar type: r g b a of two vertices as stored, and as read.
struct ColorType {
  const char* name;
  void (*put)(Body&, double);
  double stored[8];
  float read[8];
};

template <class T>
void put_as(Body& body, double value) {
  body.put(static_cast<T>(value));
}

const ColorType COLOR_TYPES[] = {
    {"char",
     put_as<std::int8_t>,
     {-128, -1, 0, 127, 1, 63, 127, 127},
     {0, 0, 0, 1, 1.f / 127, 63.f / 127, 1, 1}},
    {"uchar",
     put_as<std::uint8_t>,
     {0, 255, 51, 1, 254, 128, 255, 0},
     {0, 1, 0.2f, 1.f / 255, 254.f / 255, 128.f / 255, 1, 0}},
    {"short",
     put_as<std::int16_t>,
     {-32768, 32767, 4681, 1, -1, 0, 32767, 16384},
     {0, 1, 1.f / 7, 1.f / 32767, 0, 0, 1, 16384.f / 32767}},
    {"ushort",
     put_as<std::uint16_t>,
     {65535, 13107, 0, 65535, 1, 32768, 257, 65535},
     {1, 0.2f, 0, 1, 1.f / 65535, 32768.f / 65535, 1.f / 255, 1}},
    {"int",
     put_as<std::int32_t>,
     {-2147483648.0, 2147483647, 1073741824, 1, -1, 0, 2147483647, 2147483647},
     {0, 1, 0.5f, static_cast<float>(1 / 2147483647.0), 0, 0, 1, 1}},
    {"uint",
     put_as<std::uint32_t>,
     {4294967295.0, 858993459, 0, 4294967295.0, 1, 2147483648.0, 65535, 4294967295.0},
     {1, 0.2f, 0, 1, static_cast<float>(1 / 4294967295.0), 0.5f, static_cast<float>(1 / 65537.0),
      1}},
    // Floating-point components as stored, clamped to [0, 1].
    {"float",
     put_as<float>,
     {0.25, 1.5, -0.5, 0.75, 0, 1, 0.1, 2},
     {0.25f, 1, 0, 0.75f, 0, 1, 0.1f, 1}},
    {"double",
     put_as<double>,
     {0.1, 2, -1, 0.5, 1e-3, 1, 1, 1},
     {0.1f, 1, 0, 0.5f, 1e-3f, 1, 1, 1}},
};

void PrintTo(const ColorType& type, std::ostream* out) { *out << type.name; }

class VertexColors : public testing::TestWithParam<std::tuple<Format, ColorType>> {};

TEST_P(VertexColors, AreScaledByTheirTypeInEveryFormat) {
  const auto& [format, type] = GetParam();
  // The two vertices twice: a block of whole records holds more than one.
  Body body{format, {}};
  std::vector<float> read;
  for (int v = 0; v < 4; ++v) {
    body.put(static_cast<float>(v)).put(1.f).put(2.f);
    for (int c = 0; c < 4; ++c) type.put(body, type.stored[4 * (v % 2) + c]);
    body.row();
    read.insert(read.end(), type.read + 4 * (v % 2), type.read + 4 * (v % 2) + 4);
  }
  const std::string t = type.name;
  const std::string bytes = std::string("ply\nformat ") + format_name(format) +
                            " 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                            "property float z\nproperty " +
                            t + " red\nproperty " + t + " green\nproperty " + t +
                            " blue\nproperty " + t + " alpha\nend_header\n" + body.data;
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, bytes.size()}) {
    auto mesh = read_bytes(bytes, piece);
    const std::string where = t + ", pieces of " + std::to_string(piece);
    ASSERT_TRUE(mesh.ok()) << where << ": " << mesh.error().display();
    expect_mesh(mesh.value(), {{0, 1, 2, 1, 1, 2, 2, 1, 2, 3, 1, 2}, {}, {}, 0, read}, where);
  }
}

INSTANTIATE_TEST_SUITE_P(TypesAndFormats, VertexColors,
                         testing::Combine(testing::ValuesIn(FORMATS),
                                          testing::ValuesIn(COLOR_TYPES)),
                         [](const auto& info) {
                           return std::string(format_name(std::get<0>(info.param))) + "_" +
                                  std::get<1>(info.param).name;
                         });

struct Failure {
  std::string bytes;
  ReadErrorKind kind;
  const char* message;
};

std::string header(const char* format, const char* faces = "face 2") {
  return std::string("ply\nformat ") + format +
         " 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
         "element " +
         faces + "\nproperty list uchar int vertex_indices\nend_header\n";
}

std::string binary_vertices() {
  Bytes data;
  for (int i = 0; i < 9; ++i) data.put(static_cast<float>(i));
  return data.data;
}

TEST(PlyReader, FailsClearlyOnBrokenFiles) {
  const auto invalid = ReadErrorKind::InvalidData;
  const auto eof = ReadErrorKind::UnexpectedEof;
  Bytes negative_count;
  negative_count.put<std::int32_t>(-2);
  Bytes huge_count;
  huge_count.put<std::uint32_t>(4000000000u).put(0).put(1);
  const std::string rows = "0 0 0\n1 0 0\n0 1 0\n";
  const std::vector<Failure> failures = {
      {"", invalid, "PLY line 1: expected \"ply\", got nothing"},
      {"solid cube\nfacet normal 0 0 1\n", invalid,
       "PLY line 1: expected \"ply\", got \"solid cube\""},
      {"ply\nformat ascii 1.0\nelement vertex 1\n", eof,
       "PLY: the file ends at line 3, in the header (no end_header)"},
      {"ply\nelement vertex 0\nend_header\n", invalid,
       "PLY line 3: end_header before any format line"},
      {"ply\nformat ascii\nend_header\n", invalid,
       "PLY line 2: expected \"format <kind> 1.0\", got \"format ascii\""},
      {"ply\nformat binary_middle_endian 1.0\nend_header\n", invalid,
       "PLY line 2: unknown format \"binary_middle_endian\""},
      {"ply\nformat ascii 1.0\nelement vertex 4294967296\nend_header\n", invalid,
       "PLY line 3: more vertices than 32-bit indices can name (the header declares 4294967296)"},
      {"ply\nformat ascii 1.0\nelement vertex\nend_header\n", invalid,
       "PLY line 3: expected \"element <name> <count>\", got \"element vertex\""},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty real x\nend_header\n", invalid,
       "PLY line 4: expected \"property <type> <name>\""},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nend_header\n",
       invalid, "PLY line 3: element vertex has no property z"},
      {"ply\nformat ascii 1.0\nelement vertex 0\nelement vertex 0\nend_header\n", invalid,
       "PLY line 4: a second element \"vertex\""},
      {"ply\nformat ascii 1.0\nelement face 0\nproperty list uchar float vertex_indices\n"
       "end_header\n",
       invalid, "PLY line 3: list vertex_indices of face holds floating-point values"},
      {header("ascii") + rows + "3 0 1 3\n", invalid,
       "PLY line 13: vertex index 3 is out of range (3 vertices in the file) in face 0"},
      {header("ascii") + rows + "3 0 -1 2\n", invalid,
       "PLY line 13: vertex index -1 is out of range (3 vertices in the file) in face 0"},
      {header("ascii") + rows + "3 0 1\n", invalid,
       "PLY line 13: the row of face 0 ends before property vertex_indices after 2 of 3 items"},
      {header("ascii") + rows + "3 0 1 2 7\n", invalid,
       "PLY line 13: more values than face declares properties: \"7\""},
      {header("ascii") + "0 0 0\n1 0 x\n", invalid,
       "PLY line 11: expected a number for z, got \"x\""},
      // Quoted as every reader quotes: UTF-8 kept, '"' and '\\' backslash-escaped.
      {header("ascii") + "0 0 0\n1 0 \"\xc3\xa9\\\n", invalid,
       "PLY line 11: expected a number for z, got \"\\\"\xc3\xa9\\\\\""},
      {header("ascii") + rows + "\n3 0 1 2\n\n", eof,
       "PLY: the file ends at line 15, after 1 of 2 records of element face"},
      {header("ascii", "tristrips 1") + rows + "4 0 1 -2 2\n", invalid,
       "PLY line 13: vertex index -2 is out of range (3 vertices in the file) in tristrips 0"},
      {header("binary_little_endian") + binary_vertices().substr(0, 30), eof,
       "PLY: the file ends at byte 199, after 2 of 3 records of element vertex"},
      {header("binary_little_endian") + binary_vertices() + "\x03" +
           Bytes().put(0).put(1).put(3).data,
       invalid, "PLY byte 214: vertex index 3 is out of range (3 vertices in the file) in face 0"},
      {header("binary_little_endian") + binary_vertices() + "\x03" +
           Bytes().put(0).put(-5).put(1).data,
       invalid, "PLY byte 210: vertex index -5 is out of range (3 vertices in the file) in face 0"},
      {header("binary_little_endian") + binary_vertices() + "\x03" +
           Bytes().put(0).put(1).put(2).data + "\x03\x01",
       eof, "PLY: the file ends at byte 220, after 1 of 2 records of element face"},
      {"ply\nformat binary_little_endian 1.0\nelement face 1\nproperty list int int "
       "vertex_indices\n"
       "end_header\n" +
           negative_count.data,
       invalid, "PLY byte 99: negative count -2 of list vertex_indices in face 0"},
      {"ply\nformat binary_little_endian 1.0\nelement other 1\nproperty list uint int a\n"
       "end_header\n" +
           huge_count.data,
       eof, "PLY: the file ends at byte 100, after 0 of 1 records of element other"},
  };
  for (const Failure& f : failures) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, f.bytes.size()}) {
      auto mesh = read_bytes(f.bytes, piece);
      ASSERT_FALSE(mesh.ok()) << f.message;
      EXPECT_EQ(mesh.error().kind, f.kind) << f.message;
      EXPECT_EQ(mesh.error().display().substr(0, std::strlen(f.message)), f.message)
          << "pieces of " << piece;
    }
  }
}

// The real files of the shared folder: the triangle counts its README gives, and an error
// for the malformed ones.
TEST(PlyReader, ReadsTheRealFiles) {
  const std::string folder = std::string(VERTISIFT_SHARED_DIR) + "/data/meshes/";
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) {
    GTEST_SKIP() << "the real mesh files (" << folder << ") are not beside this checkout";
  }
  struct RealFile {
    const char* path;
    std::size_t positions;
    std::size_t triangles;
    bool normals;
    // The colour stream's items: one per vertex, or per triangle (cycloidal's vertices are
    // all white, beside faces of several colours).
    std::size_t colors;
    const char* error;  // the start of the message, for a file that must fail
  };
  const RealFile files[] = {
      {"assimp/cube.ply", 8, 12, false, 0, nullptr},
      {"assimp/cube_binary.ply", 8, 12, false, 0, nullptr},
      {"assimp/cube_binary_starts_with_nl.ply", 8, 12, false, 0, nullptr},
      {"assimp/issue623.ply", 0, 0, false, 0,
       "PLY line 14: the row of vertex 0 ends before property vertex_indices"},
      {"assimp/payload_JVN42386607.ply", 0, 0, false, 0,
       "PLY line 2: expected \"format <kind> 1.0\""},
      {"assimp/points.ply", 4, 0, true, 4, nullptr},
      {"assimp/Wuson.ply", 11184, 3732, true, 0, nullptr},
      {"happly/platonic_shelf.ply", 50, 80, false, 0, nullptr},
      {"happly/platonic_shelf_big_endian.ply", 50, 80, false, 0, nullptr},
      {"meshlab/brain.ply", 18844, 36752, false, 0, nullptr},
      {"o3dv/cube.ply", 8, 12, false, 0, nullptr},
      {"trimesh/cycloidal.ply", 21384, 43368, false, 43368, nullptr},
      {"trimesh/metadata.ply", 4, 2, false, 0, nullptr},
      {"trimesh/ply_empty_header.ply", 0, 0, false, 0, nullptr},
      {"trimesh/points_ascii_with_lists.ply", 5, 0, false, 0, nullptr},
      {"vtk-data/horse.ply", 48485, 96966, false, 48485, nullptr},
      {"vtk-data/pepper.ply", 14980, 29956, false, 0, nullptr},
  };
  std::vector<std::vector<float>> shelves;
  for (const RealFile& file : files) {
    auto stream = mesh_io::FileStream::open(folder + file.path);
    ASSERT_TRUE(stream.ok()) << file.path;
    mesh_io::FileSource source(stream.value(), 4096);
    auto mesh = read_ply(source);
    if (file.error != nullptr) {
      ASSERT_FALSE(mesh.ok()) << file.path;
      EXPECT_EQ(mesh.error().display().substr(0, std::strlen(file.error)), file.error);
      continue;
    }
    ASSERT_TRUE(mesh.ok()) << file.path << ": " << mesh.error().display();
    EXPECT_EQ(mesh.value().positions.size(), file.positions) << file.path;
    EXPECT_EQ(mesh.value().triangles.size() + mesh.value().skipped_faces, file.triangles)
        << file.path;
    EXPECT_EQ(mesh_checks::normals_of(mesh.value()).size(), file.normals ? file.positions : 0)
        << file.path;
    const mesh_io::Stream* colors = mesh.value().find(mesh_io::COLOR_STREAM);
    EXPECT_EQ(colors != nullptr ? colors->size() : 0, file.colors) << file.path;
    if (std::string(file.path).starts_with("happly/")) {
      std::vector<float> values;
      for (const auto& p : mesh.value().positions) values.insert(values.end(), {p.x, p.y, p.z});
      for (const auto& t : mesh.value().triangles)
        values.insert(values.end(), t.corners, t.corners + 3);
      shelves.push_back(values);
    }
  }
  // The same shelf in either byte order, the faces first in one of them.
  ASSERT_EQ(shelves.size(), 2u);
  EXPECT_EQ(shelves[0], shelves[1]);
}

// Real textured files: the same model in binary and in ASCII (whose face rows carry values
// that their header does not declare), and vertex coordinates without a texture file.
TEST(PlyReader, ReadsTheRealTexturedFiles) {
  const std::string folder =
      std::string(VERTISIFT_SHARED_DIR) + "/data/colour/mikedh+trimesh/models/";
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) {
    GTEST_SKIP() << "the real coloured files (" << folder << ") are not beside this checkout";
  }
  auto read = [&](const char* name) {
    auto mesh = mesh_checks::read_file(read_ply, folder + name);
    EXPECT_TRUE(mesh.ok()) << name << ": " << mesh.error().display();
    return mesh.ok() ? std::move(mesh.value()) : Mesh();
  };
  const Mesh fuze = read("fuze.ply"), fuze_ascii = read("fuze_ascii.ply");
  EXPECT_EQ(uvs_of(fuze, mesh_io::Domain::Corner).size(), 2u * 3 * 1000);
  EXPECT_EQ(uvs_of(fuze_ascii, mesh_io::Domain::Corner), uvs_of(fuze, mesh_io::Domain::Corner));
  Ignored ignored;
  for (const auto& item : fuze_ascii.ignored) ignored.emplace_back(item.what, item.count);
  EXPECT_EQ(ignored, (Ignored{{"face colour beside vertex colours", 1000},
                              {"values past the properties of a face row", 1000}}));
  for (const Mesh* mesh : {&fuze, &fuze_ascii}) {
    EXPECT_EQ(materials_of(*mesh), std::vector<std::uint32_t>(1000, 1));
    EXPECT_EQ(textures_of(*mesh), std::vector<std::string>{"fuze uv.jpg"});
  }
  const Mesh box = read("BoxTextured.ply");
  EXPECT_EQ(uvs_of(box, mesh_io::Domain::Vertex).size(), 2 * box.positions.size());
  EXPECT_EQ(uvs_of(box, mesh_io::Domain::Vertex)[0], 6.0f);
  EXPECT_TRUE(materials_of(box).empty());
}

}  // namespace
}  // namespace vertisift::ply
