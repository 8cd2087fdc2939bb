#include "obj/mtl_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <span>
#include <string>

namespace vertisift::obj {
namespace {

// The library as text: each material's name, diffuse colour, texture with its offset and
// scale, then what was ignored; or the error.
std::string render(const std::string& text) {
  mesh_io::MemorySource source(std::as_bytes(std::span(text.data(), text.size())), 3);
  auto library = read_mtl(source);
  if (!library.ok()) return "error: " + library.error().display();
  std::string out;
  char buffer[160];
  for (const mesh_io::Material& m : library.value().materials) {
    const mesh_io::Rgba& d = m.diffuse;
    std::snprintf(buffer, sizeof buffer, "[%s] %g,%g,%g,%g", m.name.c_str(), d.r, d.g, d.b, d.a);
    out += buffer;
    if (!m.texture.empty()) {
      std::snprintf(buffer, sizeof buffer, " <%s> o %g,%g,%g s %g,%g,%g", m.texture.c_str(),
                    m.texture_offset[0], m.texture_offset[1], m.texture_offset[2],
                    m.texture_scale[0], m.texture_scale[1], m.texture_scale[2]);
      out += buffer;
    }
    out += "; ";
  }
  for (const auto& ignored : library.value().ignored) {
    out += ignored.what + " x" + std::to_string(ignored.count) + "; ";
  }
  return out;
}

struct Case {
  const char* text;
  const char* expected;
};

class ReadMtl : public testing::TestWithParam<Case> {};

TEST_P(ReadMtl, Statements) { EXPECT_EQ(render(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, ReadMtl,
    testing::Values(
        // Defaults, names with blanks, colours, grey, d and Tr (the later wins), comments,
        // CR LF and the statements that are ignored.
        Case{"Kd 0 0 0\nmap_Kd before.png\nnewmtl plain\n", "[plain] 1,1,1,1; "},
        Case{"newmtl\t two words \t\r\nKd 0.5 0.25 0 # red-ish\r\nKa 1 2 3\r\nillum 2\n",
             "[two words] 0.5,0.25,0,1; "},
        Case{"newmtl a\nKd 0.5\nd 0.25\nnewmtl b\nd 0.5\nTr 0.25\n",
             "[a] 0.5,0.5,0.5,0.25; [b] 1,1,1,0.75; "},
        // map_Kd: the name with its blanks; -o and -s of one to three numbers; the other
        // options skipped with as many arguments as each takes.
        Case{"newmtl t\nmap_Kd  texture 01.png \n",
             "[t] 1,1,1,1 <texture 01.png> o 0,0,0 s 1,1,1; "},
        Case{"newmtl t\nmap_Kd -o 0.5 -s 2 3 4 -o -1 -2 tex.png\n",
             "[t] 1,1,1,1 <tex.png> o -1,-2,0 s 2,3,4; "},
        Case{"newmtl t\nmap_Kd -blendu on -blendv off -bm 2 -boost 1.5 -cc on -clamp off "
             "-imfchan r -mm 0 1 -t 1 2 3 -texres 512 -type sphere -t 0.5 a b.png\n",
             "[t] 1,1,1,1 <a b.png> o 0,0,0 s 1,1,1; map_Kd option -blendu x1; map_Kd option "
             "-blendv x1; map_Kd option -bm x1; map_Kd option -boost x1; map_Kd option -cc x1; "
             "map_Kd option -clamp x1; map_Kd option -imfchan x1; map_Kd option -mm x1; "
             "map_Kd option -t x2; map_Kd option -texres x1; map_Kd option -type x1; "},
        // A malformed number where a statement is read fails the library.
        Case{"newmtl a\nKd 1 0\n", "error: MTL line 2: expected 1 or 3 numbers, got \"Kd 1 0\""},
        Case{"newmtl a\nd x\n", "error: MTL line 2: expected a number, got \"d x\""},
        Case{"newmtl a\nmap_Kd -o x.png\n",
             "error: MTL line 2: expected 1 to 3 numbers after -o, got \"-o x.png\""},
        Case{"newmtl a\nmap_Kd -zz 1 x.png\n",
             "error: MTL line 2: expected a map_Kd option, got \"-zz\""},
        Case{"newmtl a\nmap_Kd -bm\n",
             "error: MTL line 2: expected the arguments of -bm, got \"-bm\""}));

}  // namespace
}  // namespace vertisift::obj
