// The OBJ reader: the polygons of a Wavefront OBJ file into a Mesh.
//
// Read: `v x y z` (with a colour, `v x y z r g b`; anything else after z is ignored), `vn`,
// `vt u [v [w]]`, `f` with corners written v, v/vt, v//vn, v/vt/vn or v/vt/, `usemtl NAME`
// and `mtllib LIBRARY...`. Indices count from 1; a negative one counts back from the
// vertices (or normals, or vt) defined so far; a positive one may name an item defined later,
// and is checked against the whole file at its end. Every other statement (lines, points,
// groups, free-form geometry) and unknown ones are ignored. A line that ends in a backslash goes on
// in the next line. Coordinates may be spelt nan and inf, and the way MSVC prints them
// (1.#IND, 1.#INF, 1.#QNAN). The text is UTF-8, with or without a byte-order mark, or UTF-16 of
// either byte order with one.
//
// The normals: when some face corner names a vn, Mesh::normals is the vn table plus a
// zero normal at its end, which the corners that name none refer to (present only when there
// are such corners), and normal_triangles gives every triangle's normal indices. When no
// corner of a triangle names one, both stay empty.
//
// The texture coordinates: when some corner names a vt, a uv stream of the corner domain,
// (u, v) as written (v 0 when missing), with a triangle table of its own built as the normals'
// are: the corners that name none take (0, 0), an item after the vt table. A triangle with a vt
// index past the table takes (0, 0) at all three corners and is counted as "face with a
// texture coordinate index out of range": its surface is sound, only its place in the texture
// is not.
//
// The materials: `usemtl NAME` (the rest of the line, trimmed) gives the faces after it that
// material; `mtllib` names libraries (obj/mtl_reader.h), split at blanks when each name ends
// in ".mtl", otherwise one name with its blanks. Once some usemtl is met, Mesh::materials
// holds the default material and then every library's (each read once), in mtllib order; a
// material stream of the face domain indexes them: the default for the faces before any usemtl and
// after one of a name that no library defines (counted as "usemtl of an unknown material";
// of a name that two define, the first). A library that cannot be opened or read is counted
// as "material library that cannot be read" and left out; it never fails the model.
//
// The colours: when some `v` has one, a colour stream of the vertex domain, white for the
// vertices without one; 0 to 1 as written, or 0 to 255 (divided by 255) when any component
// in the file is above 1.
//
// The lines are parsed in parts, a few at once on the worker pool, and joined in file order:
// the mesh and the first error (with its line) are those of a reading in one go, whatever the
// pool's size and however the source cuts its blocks.
//
// A file is taken for something else than OBJ when a line starts with a number, or when it
// has lines of content and not one of them is an OBJ statement.
//
// A statement, with the lines that continue it, is held up to mesh_io::MAX_LINE_BYTES: past
// them a comment, an ignored statement or the comment after a v, vn, vt or f is cut (its line
// ends kept, so the lines are numbered as before) and the rest streams past; any other is an
// error that names its first line.
#pragma once

#include "mesh_io/byte_source.h"
#include "mesh_io/mesh.h"
#include "mesh_io/read_error.h"
#include "mesh_io/side_files.h"

namespace vertisift::obj {

// The libraries of mtllib are opened through `side_files`; without them (read_obj, or null),
// each counts as a library that cannot be read.
mesh_io::ReadResult<mesh_io::Mesh> read_obj(mesh_io::ByteSource& source);
mesh_io::ReadResult<mesh_io::Mesh> read_obj_and_materials(mesh_io::ByteSource& source,
                                                          mesh_io::SideFiles* side_files);

}  // namespace vertisift::obj
