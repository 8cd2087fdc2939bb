#include "mesh_io/indexed_mesh.h"

#include <cstring>
#include <memory>

#include "base/fault.h"
#include "base/keyed_hash.h"
#include "base/probe_table.h"

namespace vertisift::mesh_io {
namespace {

// The vertex lookup table.
//
// Open addressing with linear probing over a power-of-two array of 16-byte slots, kept at
// most half full. A slot holds the position's three bit patterns and its vertex index plus
// one (0 marks an empty slot), so a probe touches one cache line and never the vertex array.
// Faces arrive in batches: the hashes of a whole batch are computed and their first slots
// prefetched before any lookup, so the lookups overlap their cache misses instead of
// waiting for each in turn. The table is only looked up, never iterated, so its layout
// cannot influence any result.
class VertexTable {
 public:
  VertexTable() : keys_(base::next_hash_keys()) {}

  std::uint64_t hash(const base::Point3& position) const {
    std::uint32_t bits[3];
    std::memcpy(bits, &position, sizeof bits);
    return base::keyed_mix(keys_, (std::uint64_t{bits[0]} << 32) | bits[1], bits[2]);
  }

  // Makes room for `count` more vertices, so that prefetched slots stay valid.
  void reserve_for(std::size_t vertex_count, std::size_t count) {
    while ((vertex_count + count) * 2 > capacity_) grow();
  }

  void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (capacity_ - 1)]); }

  // The index of `position`, appending it to `vertices` when it is new.
  VertexIndex find_or_insert(const base::Point3& position, std::uint64_t hash,
                             base::PodVector<base::Point3>& vertices) {
    Slot wanted;
    std::memcpy(wanted.bits, &position, sizeof wanted.bits);
    for (std::size_t slot = hash & (capacity_ - 1);; slot = (slot + 1) & (capacity_ - 1)) {
      Slot& entry = slots_[slot];
      if (entry.index_plus_one == 0) {
        if (vertices.size() >= UINT32_MAX) {
          base::raise_fault("too many distinct vertices in the mesh");
        }
        std::memcpy(entry.bits, wanted.bits, sizeof wanted.bits);
        entry.index_plus_one = static_cast<std::uint32_t>(vertices.size() + 1);
        vertices.push_back(position);
        return entry.index_plus_one - 1;
      }
      if (entry.bits[0] == wanted.bits[0] && entry.bits[1] == wanted.bits[1] &&
          entry.bits[2] == wanted.bits[2]) {
        return entry.index_plus_one - 1;
      }
    }
  }

 private:
  struct Slot {
    std::uint32_t bits[3];
    std::uint32_t index_plus_one;
  };

  void grow() {
    // 4096 slots (64 KiB) hold a small mesh without growing; larger ones double from there.
    constexpr std::size_t FIRST_CAPACITY = 4096;
    base::grow_probe_table(slots_, capacity_, FIRST_CAPACITY, [this](const Slot& entry) {
      base::Point3 position;
      std::memcpy(&position, entry.bits, sizeof entry.bits);
      return hash(position);
    });
  }

  base::HashKeys keys_;
  base::PodVector<Slot> slots_;
  std::size_t capacity_ = 0;
};

// Recently seen positions, direct-mapped by hash: a mesh lists its faces with locality, so
// most corners repeat a position of the last few hundred faces. A hit here answers from the
// second-level cache; only a miss goes to the (much larger) vertex table. An entry is only
// ever filled from the table's answer, so it is always right for the bits it holds.
class RecentVertices {
 public:
  static constexpr std::size_t SIZE = std::size_t{1} << 14;

  RecentVertices() : entries_(new Entry[SIZE]()) {}

  // The index of `position`, or -1 when it is not among the recent ones.
  std::int64_t find(const base::Point3& position, std::uint64_t hash) const {
    const Entry& entry = entries_[slot_of(hash)];
    std::uint32_t bits[3];
    std::memcpy(bits, &position, sizeof bits);
    if (entry.index_plus_one != 0 && entry.bits[0] == bits[0] && entry.bits[1] == bits[1] &&
        entry.bits[2] == bits[2]) {
      return static_cast<std::int64_t>(entry.index_plus_one) - 1;
    }
    return -1;
  }

  void remember(const base::Point3& position, std::uint64_t hash, VertexIndex index) {
    Entry& entry = entries_[slot_of(hash)];
    std::memcpy(entry.bits, &position, sizeof entry.bits);
    entry.index_plus_one = index + 1;
  }

 private:
  struct Entry {
    std::uint32_t bits[3];
    std::uint32_t index_plus_one;
  };
  // The table uses the low bits of the hash; the high bits keep the two independent.
  static std::size_t slot_of(std::uint64_t hash) { return (hash >> 40) & (SIZE - 1); }

  std::unique_ptr<Entry[]> entries_;
};

// Faces taken from the source at a time: enough to hide memory latency, small enough to
// stay in the first-level cache.
constexpr std::size_t FACE_BATCH = 128;

}  // namespace

ReadResult<IndexedMesh> build_indexed_mesh(FaceSource& source) {
  IndexedMesh mesh;
  VertexTable table;
  RecentVertices recent;
  RawFace batch[FACE_BATCH];
  std::uint64_t hashes[FACE_BATCH * 3];
  std::int64_t found[FACE_BATCH * 3];
  FaceStatus status = FaceStatus::Face;
  ReadError error;
  while (status == FaceStatus::Face) {
    const std::size_t count = source.next_batch(batch, FACE_BATCH, status, error);
    if (status == FaceStatus::Error) return error;
    table.reserve_for(mesh.vertices.size(), count * 3);
    // First pass: hash every corner, answer what the recent positions can, and prefetch the
    // table slots of the rest so that their misses overlap.
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t corner = 0; corner < 3; ++corner) {
        const std::size_t at = i * 3 + corner;
        hashes[at] = table.hash(batch[i].vertices[corner]);
        found[at] = recent.find(batch[i].vertices[corner], hashes[at]);
        if (found[at] < 0) table.prefetch(hashes[at]);
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      Face face;
      for (std::size_t corner = 0; corner < 3; ++corner) {
        const std::size_t at = i * 3 + corner;
        if (found[at] >= 0) {
          face.vertex_indices[corner] = static_cast<VertexIndex>(found[at]);
        } else {
          const base::Point3& position = batch[i].vertices[corner];
          const VertexIndex index = table.find_or_insert(position, hashes[at], mesh.vertices);
          recent.remember(position, hashes[at], index);
          face.vertex_indices[corner] = index;
        }
      }
      face.normal = batch[i].normal;
      mesh.faces.push_back(face);
    }
  }
  mesh.vertices.shrink_to_fit();
  mesh.faces.shrink_to_fit();
  return mesh;
}

}  // namespace vertisift::mesh_io
