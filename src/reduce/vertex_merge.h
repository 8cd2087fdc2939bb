// VertexMerge: the distinct vertex positions of a file's faces, each with the sum of the
// normals of the faces that use it, built by every worker at once as the faces arrive in
// blocks from read_stl_blocks, then turned into the point list of the reduction.
//
// Faces that come in blocks are summed in one sequence, in file order: each vertex
// receives one addend per face that uses it, in file order, and a face that names
// one position in two or three corners adds n + n, or (n + n) + n, as one addend. Positions
// are merged by their bits (+0.0 and -0.0 apart, NaNs by their payload). The order of the
// resulting points follows the keyed hash and differs from run to run.
//
// Each position belongs to one partition (one per worker), chosen by its keyed hash. A block
// takes two passes: each worker sorts the contributions of one contiguous range of its faces
// into per-partition buckets, then each worker adds the contributions of its partition's
// buckets, range after range, so in file order. No partition is touched by two workers.
//
// A regular file's faces come in parts instead (begin_parts): each worker reads one
// contiguous range of the file and merges it into partitions of its own, with no buckets;
// at the end each worker adds, partition by partition, the later ranges' sums to the first
// range's, in range order. A vertex's sum is then the sum, left to right, of its sums over
// contiguous ranges of the faces, each of those in file order: the sums of a pool that splits
// the faces into those ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "base/keyed_hash.h"
#include "reduce/point_with_normal.h"
#include "stl/stl_reader.h"

namespace vertisift::reduce {

// Partitions beyond this gain nothing on any machine this runs on, and each costs a table.
inline constexpr std::size_t MAX_MERGE_PARTITIONS = 64;

class VertexMerge final : public stl::FaceBlockSink {
 public:
  VertexMerge();
  ~VertexMerge() override;
  VertexMerge(const VertexMerge&) = delete;
  VertexMerge& operator=(const VertexMerge&) = delete;

  void restart() override;
  void add_records(std::span<const std::byte> records) override;
  void add_faces(std::span<const mesh_io::RawFace> faces) override;
  void expect_faces(std::uint64_t faces) override;
  bool begin_parts(std::size_t parts) override;
  void add_part_records(std::size_t part, std::span<const std::byte> records) override;
  void add_part_faces(std::size_t part, std::span<const mesh_io::RawFace> faces) override;
  void end_parts(std::size_t used) override;
  std::size_t part_count() override;
  void run_parts(std::size_t parts, const std::function<void(std::size_t)>& task) override;

  std::uint64_t face_count() const { return face_count_; }
  // How many faces each of the contiguous ranges held that the faces were split into, each
  // range summed in file order and the sums added left to right: one per part kept when they
  // came in parts, else none (one range of all faces).
  const std::vector<std::uint64_t>& summed_ranges() const { return summed_ranges_; }

  // One point per distinct position: the position and the normalize_or_zero of its sum.
  // Releases the merge's tables as it goes; the merge is empty afterwards.
  PointList take_points();

  class Partition;
  // One face's addend for one of its positions, on the way to the position's partition.
  struct Contribution {
    base::Point3 position;
    base::Point3 addend;
    std::uint64_t hash;
  };

 private:
  // Makes the partitions on first use, so that an empty file never starts the pool.
  void prepare();
  // The partitions part `part` merges into, one per partition.
  void part_tables(std::size_t part, Partition** tables);
  // Sizes `tables` (one per partition), which hold the positions of the first `block_faces`
  // faces they merged, for `faces` faces.
  void size_after_first_block(Partition* const* tables, std::uint64_t block_faces,
                              std::uint64_t faces);
  // Counts a block of part `part`, merged into `tables`, and sizes them after its first.
  void size_part_after_first_block(std::size_t part, Partition* const* tables,
                                   std::uint64_t block_faces);
  template <class Faces>
  void merge_block(const Faces& faces);

  base::HashKeys keys_;
  std::vector<std::unique_ptr<Partition>> partitions_;
  // Range r's contributions to partition p at r * partitions + p; reused from block to block.
  std::vector<std::vector<Contribution>> buckets_;
  // With faces in parts: the partitions of part r > 0 at (r - 1) * partitions + p (part 0
  // merges into `partitions_`), and the faces each part has merged.
  std::vector<std::unique_ptr<Partition>> part_partitions_;
  std::vector<std::uint64_t> part_faces_;
  std::uint64_t expected_faces_ = 0;
  std::vector<std::uint64_t> summed_ranges_;
  std::uint64_t face_count_ = 0;
};

}  // namespace vertisift::reduce
