// The PLY reader: a header of text lines that declares elements and their properties, then
// the elements' data as ASCII rows or as binary records (little- or big-endian). It keeps the
// vertex positions (x y z, with nx ny nz when the vertex element has all three), the faces
// (a list vertex_indices or vertex_index, fanned), the triangle strips (a list
// vertex_indices of element tristrips), a colour stream (red green blue, alpha optional,
// or diffuse_red ...: of the vertices, or else of the faces, one item per triangle) and
// textures (below); every other element and property is read past.
//
// The textures: texture coordinates are a face's list texcoord (u v per corner, fanned with
// the corners into a uv stream of the corner domain without a table of its own: item 3 f + k),
// or else a vertex's scalars s t, u v, texture_u texture_v or texture_s texture_t (the first
// pair present, a uv stream of the vertex domain); of any scalar type, (u, v) as stored. A
// texcoord list of another length than two numbers a corner gives that face's corners (0, 0)
// and is counted; vertex coordinates beside per-corner ones, and texcoord lists beside
// triangle strips, are read past and counted. Each header line `comment TextureFile NAME`
// names a texture file (NAME the rest of the line, blanks at its ends trimmed), the k-th
// that a face's scalar texnumber k uses. With texture coordinates and at least one texture
// file, Mesh::materials is the default material and then one per file (named and textured
// by the name as written, white), and a material stream gives each triangle 1 + its face's
// texnumber, or 1 when the faces have none; a texnumber past the files takes the default and
// is counted. Texture files without texture coordinates are counted and make no materials.
//
// Choices where the format leaves room:
// - A header line that starts with none of the header keywords is a comment (some writers
//   leave out the word `comment`); a line that starts with one must be well formed.
// - ASCII data: one record a row. Blank lines anywhere are skipped, but a record never runs
//   across rows and a row never holds more than one record: the format marks no record's
//   end, so a row that were allowed to continue or to be shared would let a header and data
//   that disagree (a declared property the rows lack) be misread without a word. Values after
//   the last property fail the row, except in a face element with a texcoord list: writers of
//   those add values their header does not declare (a colour of each corner) after the
//   declared ones, and such a row is read and counted.
// - Triangle strips: -1 ends a strip and starts the next one. Every second triangle of a
//   strip has its first two corners swapped so that all face the same way. A triangle that
//   repeats a corner has no surface (strips use such triangles to join or turn): it is left
//   out and counted in skipped_faces.
// - Colour components of an integer type are scaled by the type's largest value, negatives
//   and (in ASCII rows) values above it clamped; floating-point ones are kept as stored. A
//   missing alpha is 1. Of vertex and face colours, mesh_io::add_colors keeps one; face
//   colours beside triangle strips (whose triangles have none) are read past and counted in
//   the mesh's ignored list.
// - The data after the last element, if any, is ignored.
#pragma once

#include "mesh_io/byte_source.h"
#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"

namespace vertisift::ply {

mesh_io::ReadResult<mesh_io::Mesh> read_ply(mesh_io::ByteSource& source);

}  // namespace vertisift::ply
