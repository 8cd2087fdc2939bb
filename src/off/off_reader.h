// The OFF reader: Geomview's Object File Format, text and binary, into a Mesh.
//
// The header keyword is [ST][C][N][4][n]OFF, optionally followed by BINARY; it may be left
// out, in which case the first line that is not blank or a comment holds the counts. The
// counts (vertices, faces and an optional edge count that is ignored) follow the keyword on
// its line, glued to it (ModelNet's "OFF8 6 12") or on the next line; nOFF puts the dimension
// before them, and only dimension 3 is read. Comments run from '#' to the end of a line. An
// appearance block ("appearance { ... }", braces nested, over any lines) may come before
// the header, and is skipped.
//
// A text vertex is one line: x y z, then w for 4OFF, then the normal for N, then for C its
// colour, r g b [a] (before the s t of ST), then anything (texture coordinates, more
// columns), which is ignored. 4OFF positions are homogeneous: x, y and z are divided by w,
// except when w is 1 (nothing to do) or 0 (a point at infinity, whose direction is kept as
// stored). A text face is a count k followed by k vertex indices, read as tokens across as
// many lines as they take; the rest of the line of the last index is its colour when it is
// 1 number (an index into a colour map, counted as ignored), or 3 or 4 (r g b [a]), and is
// ignored otherwise (2 numbers, more than 4, or anything that is not a number). Whatever
// follows the last face is ignored.
//
// A colour written all in integers is 0 to 255, one with a point or an exponent in any of
// its numbers 0 to 1; a missing alpha is 1. The vertex colours become a colour stream of the
// vertex domain; face colours one of the face domain, an item per triangle of the face's fan,
// white for the faces without one, unless there are vertex colours, which win (the face
// colours are counted as ignored).
//
// The binary body comes in two layouts: Geomview's (big-endian int32 and float32, a colour
// count and that many floats after each face) and one with little-endian words and no colour
// count. The reader takes the layout that reads the whole body consistently, or fails. Its
// colours are floats from 0 to 1, as stored.
#pragma once

#include "mesh_io/byte_source.h"
#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"

namespace vertisift::off {

mesh_io::ReadResult<mesh_io::Mesh> read_off(mesh_io::ByteSource& source);

}  // namespace vertisift::off
