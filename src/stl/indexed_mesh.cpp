#include "stl/indexed_mesh.h"

#include <bit>
#include <cstring>
#include <memory>

#include "parallel/fault.h"
#include "parallel/keyed_hash.h"

namespace vertisift::stl {
namespace {

// The vertex lookup table.
//
// Open addressing with linear probing over a power-of-two array of slots. A slot holds the
// vertex index plus one (0 marks an empty slot) and the upper 32 bits of the key's hash, so
// most mismatches are rejected without touching the vertex array. The position itself is
// never copied into the table: equality is checked against `vertices[index]` bit for bit.
// The table is kept at most half full. It is only looked up, never iterated, so its layout
// cannot influence any result.
class VertexTable {
 public:
  VertexTable() : keys_(next_hash_keys()) {}

  // The index of `position`, appending it to `vertices` when it is new.
  VertexIndex find_or_insert(const Point3& position, std::vector<Point3>& vertices) {
    std::uint32_t bits[3];
    std::memcpy(bits, &position, sizeof bits);
    const std::uint64_t hash =
        keyed_mix(keys_, (std::uint64_t{bits[0]} << 32) | bits[1], bits[2]);
    if ((vertices.size() + 1) * 2 > capacity_) grow(vertices);
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t slot = hash & (capacity_ - 1);
    for (;;) {
      Slot& entry = slots_[slot];
      if (entry.index_plus_one == 0) {
        if (vertices.size() >= UINT32_MAX) raise_fault("too many distinct vertices in the mesh");
        entry.index_plus_one = static_cast<std::uint32_t>(vertices.size() + 1);
        entry.tag = tag;
        vertices.push_back(position);
        return entry.index_plus_one - 1;
      }
      if (entry.tag == tag &&
          std::memcmp(&vertices[entry.index_plus_one - 1], bits, sizeof bits) == 0) {
        return entry.index_plus_one - 1;
      }
      slot = (slot + 1) & (capacity_ - 1);
    }
  }

 private:
  struct Slot {
    std::uint32_t index_plus_one;
    std::uint32_t tag;
  };

  void grow(const std::vector<Point3>& vertices) {
    std::size_t new_capacity = capacity_ == 0 ? 1024 : capacity_ * 2;
    auto new_slots = std::make_unique<Slot[]>(new_capacity);  // zeroed: all empty
    for (std::size_t i = 0; i < capacity_; ++i) {
      const Slot& entry = slots_[i];
      if (entry.index_plus_one == 0) continue;
      std::uint32_t bits[3];
      std::memcpy(bits, &vertices[entry.index_plus_one - 1], sizeof bits);
      const std::uint64_t hash =
          keyed_mix(keys_, (std::uint64_t{bits[0]} << 32) | bits[1], bits[2]);
      std::size_t slot = hash & (new_capacity - 1);
      while (new_slots[slot].index_plus_one != 0) slot = (slot + 1) & (new_capacity - 1);
      new_slots[slot] = entry;
    }
    slots_ = std::move(new_slots);
    capacity_ = new_capacity;
  }

  HashKeys keys_;
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;
};

}  // namespace

ReadResult<IndexedMesh> build_indexed_mesh(FaceSource& source) {
  IndexedMesh mesh;
  VertexTable table;
  RawFace raw;
  ReadError error;
  for (;;) {
    FaceStatus status = source.next(raw, error);
    if (status == FaceStatus::End) break;
    if (status == FaceStatus::Error) return error;
    Face face;
    for (int corner = 0; corner < 3; ++corner) {
      face.vertex_indices[corner] = table.find_or_insert(raw.vertices[corner], mesh.vertices);
    }
    face.normal = raw.normal;
    mesh.faces.push_back(face);
  }
  mesh.vertices.shrink_to_fit();
  mesh.faces.shrink_to_fit();
  return mesh;
}

}  // namespace vertisift::stl
