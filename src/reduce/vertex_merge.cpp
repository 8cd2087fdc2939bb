#include "reduce/vertex_merge.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/fault.h"
#include "base/pod_vector.h"
#include "base/position_table.h"
#include "parallel/thread_pool.h"
#include "reduce/vertex_normals.h"
#include "stl/binary_reader.h"

namespace vertisift::reduce {
namespace {

// Faces (in merge_into) or contributions (in gather) looked up together by one worker: their
// hashes are computed and their table slots prefetched before any lookup, so that the cache
// misses of a batch overlap. 64 faces keep up to 192 lookups in flight, far more misses than
// a core can have outstanding, while their arrays (about 5 KiB) stay in the first-level
// cache beside the worker's other data.
constexpr std::size_t LOOKUP_BATCH = 64;

// The high half of the hash picks the partition; the table inside it uses the low bits.
std::size_t partition_of(std::uint64_t hash, std::size_t partitions) {
  return static_cast<std::size_t>(((hash >> 32) * partitions) >> 32);
}

bool same_bits(const base::Point3& a, const base::Point3& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// What a face adds to the sums of the positions it names. Each corner adds the face normal n,
// but a position named twice gets n + n, three times (n + n) + n, as the face's one addend, at
// its first corner; the later corners that name it add nothing.
struct FaceAddends {
  bool adds[3];
  base::Point3 addend[3];
};

inline FaceAddends face_addends(const mesh_io::RawFace& face) {
  const base::Point3 n = face.normal;
  const bool same01 = same_bits(face.vertices[0], face.vertices[1]);
  const bool same02 = same_bits(face.vertices[0], face.vertices[2]);
  const bool same12 = same_bits(face.vertices[1], face.vertices[2]);
  FaceAddends addends = {{true, !same01, !(same02 || same12)}, {n, n, n}};
  if (!same01 && !same02 && !same12) [[likely]]
    return addends;
  const base::Point3 twice = {n.x + n.x, n.y + n.y, n.z + n.z};
  const base::Point3 thrice = {twice.x + n.x, twice.y + n.y, twice.z + n.z};
  const unsigned repeats[3] = {unsigned{same01} + unsigned{same02}, unsigned{same12}, 0};
  for (unsigned corner = 0; corner < 3; ++corner) {
    addends.addend[corner] = repeats[corner] == 0 ? n : repeats[corner] == 1 ? twice : thrice;
  }
  return addends;
}

inline void add_to(base::Point3& sum, const base::Point3& value) {
  sum.x += value.x;
  sum.y += value.y;
  sum.z += value.z;
}

// Faces of a block as the binary file holds them, decoded on the fly.
struct RecordFaces {
  std::span<const std::byte> records;
  std::size_t size() const { return records.size() / stl::BINARY_RECORD_SIZE; }
  void load(std::size_t i, mesh_io::RawFace& face) const {
    stl::decode_record(records.data() + i * stl::BINARY_RECORD_SIZE, face);
  }
};

// Faces a reader has delivered.
struct DecodedFaces {
  std::span<const mesh_io::RawFace> faces;
  std::size_t size() const { return faces.size(); }
  void load(std::size_t i, mesh_io::RawFace& face) const { face = faces[i]; }
};

}  // namespace

// One partition's vertices: `vertices_` holds the partition's positions with their running
// normal sums, in order of first occurrence, and `table_` finds a position's place in it.
// The sums of recently found positions, appended recently, are near in the cache as well.
// Only the worker that runs the partition in a pass touches it; the caller reads it after.
class VertexMerge::Partition {
 public:
  explicit Partition(const base::HashKeys& keys)
      : table_(keys, FIRST_TABLE_CAPACITY, RECENT_POSITIONS) {}

  std::size_t size() const { return vertices_.size(); }

  // Makes room for `count` more positions, so that prefetched slots stay valid.
  void reserve_for(std::size_t count) { table_.reserve_for(vertices_.size(), count); }

  // Sizes the vertices for about `count` positions in all at once, rather than doubling up to
  // them, each size a fresh block, and the table for nine tenths of them: an estimate from the
  // first block runs a little high (the border of what the block covers is new), and a table
  // of a power of two slots that falls just short of it would double, to be filled a quarter.
  // A table that does fall short grows once, near the end.
  void expect(std::size_t count) {
    table_.reserve_for(0, count / 10 * 9);
    vertices_.reserve(count);
  }

  // The index of `position` plus one when it is among the recent ones, else 0; prefetches
  // its table slot when it is not.
  std::uint32_t find_recent(const base::Point3& position, std::uint64_t hash) const {
    return table_.find_recent(position, hash);
  }

  // Adds `addend` to the sum of the vertex `index_plus_one` names, or when that is 0, of
  // `position`, which becomes a new vertex with `addend` as its sum when it is not yet there.
  void add(const base::Point3& position, std::uint64_t hash, std::uint32_t index_plus_one,
           const base::Point3& addend) {
    if (index_plus_one != 0) {
      add_to(vertices_[index_plus_one - 1].sum, addend);
      return;
    }
    const std::uint32_t index = table_.find_or_insert(position, hash, vertices_.size());
    if (index == vertices_.size()) {
      vertices_.push_back({position, addend});
    } else {
      add_to(vertices_[index].sum, addend);
    }
  }

  // Adds the sums of `later`, a partition of the same positions' faces further on in the file,
  // to these, position by position in its order (new positions appended); empties `later`.
  void absorb(Partition& later, const base::HashKeys& keys) {
    std::uint64_t hashes[LOOKUP_BATCH];
    std::uint32_t found[LOOKUP_BATCH];
    const std::size_t count = later.vertices_.size();
    for (std::size_t start = 0; start < count; start += LOOKUP_BATCH) {
      const std::size_t size = std::min(LOOKUP_BATCH, count - start);
      const Vertex* batch = later.vertices_.data() + start;
      reserve_for(size);
      for (std::size_t i = 0; i < size; ++i) {
        hashes[i] = base::position_hash(keys, batch[i].position);
        found[i] = find_recent(batch[i].position, hashes[i]);
      }
      for (std::size_t i = 0; i < size; ++i)
        add(batch[i].position, hashes[i], found[i], batch[i].sum);
    }
    later.clear();
  }

  // Writes one point per position to `out`, then drops everything.
  void take_points(PointWithNormal* out) {
    for (const Vertex& vertex : vertices_)
      *out++ = {vertex.position, normalize_or_zero(vertex.sum)};
    clear();
  }

  void clear() {
    vertices_ = {};
    table_.clear();
  }

 private:
  struct Vertex {
    base::Point3 position;
    base::Point3 sum;
  };
  // 256 slots (4 KiB) hold a small mesh's share without growing; larger ones double.
  static constexpr std::size_t FIRST_TABLE_CAPACITY = 256;
  // 8192 recent positions (128 KiB) per partition, one partition per worker: the second-level
  // cache of a core holds them.
  static constexpr std::size_t RECENT_POSITIONS = std::size_t{1} << 13;

  base::PodVector<Vertex> vertices_;
  base::PositionTable table_;
};

namespace {

// The faces of `faces` in order, each corner added to the table of its partition (of
// `partitions`, the table of partition p at tables[p]), straight from the faces: the way of a
// merge with one partition, and of a part of the records, which need no buckets. A face's
// corners with equal bits fall in one partition and are added once, with the face normal
// summed as often as they occur.
template <class Faces>
void merge_spread(VertexMerge::Partition* const* tables, std::size_t partitions,
                  const base::HashKeys& keys, const Faces& faces) {
  mesh_io::RawFace batch[LOOKUP_BATCH];
  std::uint64_t hashes[LOOKUP_BATCH][3];
  std::uint32_t found[LOOKUP_BATCH][3];  // index plus one from the recent positions, or 0
  std::uint8_t part[LOOKUP_BATCH][3];
  std::size_t corners[MAX_MERGE_PARTITIONS];
  const std::size_t count = faces.size();
  for (std::size_t start = 0; start < count; start += LOOKUP_BATCH) {
    const std::size_t size = std::min(LOOKUP_BATCH, count - start);
    std::fill_n(corners, partitions, 0);
    for (std::size_t i = 0; i < size; ++i) {
      faces.load(start + i, batch[i]);
      for (unsigned corner = 0; corner < 3; ++corner) {
        const std::uint64_t hash = base::position_hash(keys, batch[i].vertices[corner]);
        hashes[i][corner] = hash;
        part[i][corner] = static_cast<std::uint8_t>(partition_of(hash, partitions));
        ++corners[part[i][corner]];
      }
    }
    for (std::size_t p = 0; p < partitions; ++p) {
      if (corners[p] != 0) tables[p]->reserve_for(corners[p]);
    }
    for (std::size_t i = 0; i < size; ++i) {
      for (unsigned corner = 0; corner < 3; ++corner) {
        found[i][corner] =
            tables[part[i][corner]]->find_recent(batch[i].vertices[corner], hashes[i][corner]);
      }
    }
    for (std::size_t i = 0; i < size; ++i) {
      const FaceAddends addends = face_addends(batch[i]);
      for (unsigned corner = 0; corner < 3; ++corner) {
        if (!addends.adds[corner]) continue;
        tables[part[i][corner]]->add(batch[i].vertices[corner], hashes[i][corner], found[i][corner],
                                     addends.addend[corner]);
      }
    }
  }
}

// One face's contributions, one per distinct position it names (n, n + n or (n + n) + n),
// put into the bucket of the position's partition, in file order.
template <class Faces>
void scatter(const Faces& faces, std::size_t begin, std::size_t end, std::size_t partitions,
             const base::HashKeys& keys, std::vector<VertexMerge::Contribution>* buckets) {
  mesh_io::RawFace face;
  for (std::size_t i = begin; i < end; ++i) {
    faces.load(i, face);
    const FaceAddends addends = face_addends(face);
    for (unsigned corner = 0; corner < 3; ++corner) {
      if (!addends.adds[corner]) continue;
      const std::uint64_t hash = base::position_hash(keys, face.vertices[corner]);
      buckets[partition_of(hash, partitions)].push_back(
          {face.vertices[corner], addends.addend[corner], hash});
    }
  }
}

// A partition's contributions added in order, a batch at a time so that the table misses
// of a batch overlap.
void gather(VertexMerge::Partition& table,
            const std::vector<VertexMerge::Contribution>& contributions) {
  std::uint32_t found[LOOKUP_BATCH];
  for (std::size_t start = 0; start < contributions.size(); start += LOOKUP_BATCH) {
    const std::size_t size = std::min(LOOKUP_BATCH, contributions.size() - start);
    const VertexMerge::Contribution* batch = contributions.data() + start;
    table.reserve_for(size);
    for (std::size_t i = 0; i < size; ++i)
      found[i] = table.find_recent(batch[i].position, batch[i].hash);
    for (std::size_t i = 0; i < size; ++i) {
      table.add(batch[i].position, batch[i].hash, found[i], batch[i].addend);
    }
  }
}

}  // namespace

VertexMerge::VertexMerge() : keys_(base::next_hash_keys()) {}

VertexMerge::~VertexMerge() = default;

void VertexMerge::prepare() {
  if (!partitions_.empty()) return;
  const std::size_t count = std::min(parallel::pool_size(), MAX_MERGE_PARTITIONS);
  partitions_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) partitions_.push_back(std::make_unique<Partition>(keys_));
}

void VertexMerge::restart() {
  for (auto& partition : partitions_) partition->clear();
  part_partitions_.clear();
  part_faces_.clear();
  summed_ranges_.clear();
  face_count_ = 0;
}

void VertexMerge::expect_faces(std::uint64_t faces) { expected_faces_ = faces; }

void VertexMerge::size_after_first_block(Partition* const* tables, std::uint64_t block_faces,
                                         std::uint64_t faces) {
  // The positions of the first block, in proportion: about half a position a face for a
  // closed mesh, three for a soup, and next to none for a file of one face repeated, whose
  // tables stay small. Only the file's own faces count, so memory stays in proportion to it.
  if (block_faces == 0 || faces <= block_faces) return;
  for (std::size_t p = 0; p < partitions_.size(); ++p) {
    tables[p]->expect(static_cast<std::size_t>(tables[p]->size() * faces / block_faces));
  }
}

bool VertexMerge::begin_parts(std::size_t parts) {
  prepare();
  const std::size_t partitions = partitions_.size();
  part_partitions_.clear();
  part_partitions_.reserve((parts - 1) * partitions);
  for (std::size_t i = 0; i + partitions < parts * partitions; ++i) {
    part_partitions_.push_back(std::make_unique<Partition>(keys_));
  }
  part_faces_.assign(parts, 0);
  return true;
}

void VertexMerge::part_tables(std::size_t part, Partition** tables) {
  const std::size_t partitions = partitions_.size();
  for (std::size_t p = 0; p < partitions; ++p) {
    tables[p] =
        part == 0 ? partitions_[p].get() : part_partitions_[(part - 1) * partitions + p].get();
  }
}

void VertexMerge::add_part_records(std::size_t part, std::span<const std::byte> records) {
  Partition* tables[MAX_MERGE_PARTITIONS];
  part_tables(part, tables);
  const RecordFaces faces{records};
  merge_spread(tables, partitions_.size(), keys_, faces);
  size_part_after_first_block(part, tables, faces.size());
}

void VertexMerge::add_part_faces(std::size_t part, std::span<const mesh_io::RawFace> faces) {
  Partition* tables[MAX_MERGE_PARTITIONS];
  part_tables(part, tables);
  merge_spread(tables, partitions_.size(), keys_, DecodedFaces{faces});
  size_part_after_first_block(part, tables, faces.size());
}

void VertexMerge::size_part_after_first_block(std::size_t part, Partition* const* tables,
                                              std::uint64_t block_faces) {
  if (part_faces_[part] == 0) {
    // The first part's partitions receive every part's positions in the end.
    const std::size_t parts = part_faces_.size();
    size_after_first_block(tables, block_faces,
                           part == 0 ? expected_faces_ : expected_faces_ / parts);
  }
  part_faces_[part] += block_faces;
}

void VertexMerge::end_parts(std::size_t used) {
  const std::size_t partitions = partitions_.size();
  parallel::run_chunks(
      partitions,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
          for (std::size_t part = 1; part < used; ++part) {
            partitions_[p]->absorb(*part_partitions_[(part - 1) * partitions + p], keys_);
          }
        }
      },
      partitions);
  part_faces_.resize(used);
  for (std::uint64_t faces : part_faces_) face_count_ += faces;
  summed_ranges_ = std::move(part_faces_);
  part_faces_.clear();
  part_partitions_.clear();
}

template <class Faces>
void VertexMerge::merge_block(const Faces& faces) {
  if (faces.size() == 0) return;
  prepare();
  face_count_ += faces.size();
  const parallel::SequentialPasses small(faces.size() < parallel::SMALL_PASS_ITEMS);
  const std::size_t partitions = partitions_.size();
  if (partitions == 1) {
    Partition* table = partitions_[0].get();
    merge_spread(&table, 1, keys_, faces);
    if (face_count_ == faces.size()) size_after_first_block(&table, faces.size(), expected_faces_);
    return;
  }
  // First the faces, cut into one contiguous range per partition, have their contributions
  // sorted into buckets by partition; then each partition adds its buckets' contributions,
  // range by range, so in file order. Every item of both passes is one chunk.
  buckets_.resize(partitions * partitions);
  for (auto& bucket : buckets_) bucket.clear();
  parallel::run_chunks(
      partitions,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t range = begin; range < end; ++range) {
          scatter(faces, faces.size() * range / partitions, faces.size() * (range + 1) / partitions,
                  partitions, keys_, &buckets_[range * partitions]);
        }
      },
      partitions);
  parallel::run_chunks(
      partitions,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t part = begin; part < end; ++part) {
          for (std::size_t range = 0; range < partitions; ++range) {
            gather(*partitions_[part], buckets_[range * partitions + part]);
          }
        }
      },
      partitions);
  if (face_count_ == faces.size()) {
    Partition* tables[MAX_MERGE_PARTITIONS];
    part_tables(0, tables);
    size_after_first_block(tables, faces.size(), expected_faces_);
  }
}

void VertexMerge::add_records(std::span<const std::byte> records) {
  merge_block(RecordFaces{records});
}

void VertexMerge::add_faces(std::span<const mesh_io::RawFace> faces) {
  merge_block(DecodedFaces{faces});
}

std::size_t VertexMerge::part_count() {
  prepare();
  return partitions_.size();
}

void VertexMerge::run_parts(std::size_t parts, const std::function<void(std::size_t)>& task) {
  if (parts <= 1) {
    if (parts == 1) task(0);
    return;
  }
  parallel::run_chunks(
      parts,
      [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t part = begin; part < end; ++part) task(part);
      },
      parts);
}

PointList VertexMerge::take_points() {
  std::vector<std::size_t> offsets(partitions_.size() + 1, 0);
  for (std::size_t i = 0; i < partitions_.size(); ++i) {
    offsets[i + 1] = offsets[i] + partitions_[i]->size();
  }
  PointList points(offsets.back());
  const parallel::SequentialPasses small(points.size() < parallel::SMALL_PASS_ITEMS);
  parallel::parallel_for(partitions_.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t part = begin; part < end; ++part) {
      partitions_[part]->take_points(points.data() + offsets[part]);
    }
  });
  partitions_.clear();
  face_count_ = 0;
  return points;
}

}  // namespace vertisift::reduce
