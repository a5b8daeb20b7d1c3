// drisk: many sketches of one precision, one per group, in one store.
//
// The question asked most is per group (distinct users per day and page),
// and groups come in every size: a few with millions of items, most with a
// handful. A dense sketch for each would cost 2^p bytes a group whatever it
// holds (4 KiB at p = 12, 1.1 GiB for 285,000 groups), so a group here starts
// sparse and turns dense only when that pays.
//
// The steps, shaped like a database engine's aggregate:
//
//   state     GroupedSketches(p), then reserve(groups): a header per group,
//             no register storage yet;
//   update    update(group, hash): one item by its XXH3-64 hash, with the
//             same register and rank as insert.hpp gives a plain sketch;
//             update_many() for a batch, ordered by group first;
//   combine   combine_registers / combine_entries: another sketch's
//             registers, dense or as packed entries, folded to the store's
//             p when theirs is larger;
//   finalize  finalize(group, out): exactly the bytes that packed::write
//             gives for a plain sketch with the same registers.
//
// Sparse groups
// -------------
// A sparse group is a small open-addressing hash table of 32-bit entries
//
//     index << 6 | value
//
// one per register in use (the packed form's entry, packed.hpp), 0 marking
// an empty slot (no register in use holds 0). A slot is chosen by a
// multiplicative hash of the index (the index is already the top of a hash,
// but a crafted sketch could line its registers up on one slot), and
// collisions probe linearly. The table doubles when it would pass 3/4 full,
// from MIN_SLOTS. A table of 2^p / 4 slots would weigh as much as the dense
// registers, so the largest sparse table has 2^p / 8 slots (2 KiB at
// p = 12, at most 3/4 of that in use: 384 registers); the next growth makes
// the group dense. Below p = 5 sparse never pays and groups start dense.
//
// Dense groups
// ------------
// 2^p register bytes, one per register, as a plain sketch has them.
//
// Memory
// ------
// Every block (a table or a dense array) is a power of two in bytes, taken
// from an arena of large chunks; a block given up when its group grows goes
// onto a free list of its size and serves the next group that needs that
// size. So register storage is allocated a chunk at a time, never per item,
// and what a group weighs follows what it holds: a group of k registers in
// use takes at most 16 k bytes while sparse (a table is 3/8 to 3/4 full, so
// 5 to 11 bytes a register once past the smallest table), never more than
// 2^p. A header is 16 bytes. For 285,000 groups at p = 12 fed 10 million
// items, the worst case is every item a register of its own in a sparse
// group: at most 10^7 x 16 bytes (153 MiB), or 10^7 / 384 dense groups
// (100 MiB); the headers add 4.4 MiB. Zipf-distributed groups of that size
// (python -m bench grouped) take 18.7 MiB of registers.
//
// Nothing here takes a lock: a store belongs to one thread at a time.
#ifndef DRISK_GROUPED_HPP
#define DRISK_GROUPED_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "estimators.hpp"
#include "insert.hpp"
#include "packed.hpp"

namespace drisk {

class GroupedSketches {
 public:
  // Slots of the smallest sparse table (16 bytes).
  static constexpr std::size_t MIN_SLOTS = 4;
  // Bytes the arena takes from the system at a time: at least a dense block
  // of the largest precision (2^18 bytes), so every block fits in a chunk.
  static constexpr std::size_t CHUNK_BYTES = std::size_t{1} << 20;

  // A store of precision p (MIN_PRECISION .. MAX_PRECISION, checked by the
  // caller) with no groups.
  explicit GroupedSketches(unsigned p) noexcept;
  GroupedSketches(const GroupedSketches&) = delete;
  GroupedSketches& operator=(const GroupedSketches&) = delete;

  unsigned precision() const noexcept { return p_; }
  std::size_t groups() const noexcept { return groups_.size(); }

  // Makes groups 0 .. count - 1 exist (new ones empty). May throw
  // std::bad_alloc; amortized like a vector's growth.
  void reserve(std::size_t count);

  // Absorbs one item of `group` by its XXH3-64 hash. Allocates only when
  // the group's storage grows (a chunk at a time, from the arena); throws
  // std::bad_alloc if that fails.
  void update(std::size_t group, std::uint64_t hash) {
    const RegisterUpdate u = register_update(hash, p_);
    raise(group, static_cast<std::uint32_t>(u.index), u.rank);
  }

  // Absorbs hashes[k] into group groups[k] (each below groups()) for k < n,
  // as update() does one by one. The items are first ordered by group (a
  // counting sort over batches of BATCH_ROWS, each item kept as the 4-byte
  // entry it makes, in scratch kept by the store), so that each group's
  // storage is visited once a batch instead of once an item: with many
  // groups, a visit is a cache miss (10 million items into 290,000 groups at
  // p = 12: 1.5 times faster). May throw std::bad_alloc.
  static constexpr std::size_t BATCH_ROWS = std::size_t{1} << 20;
  void update_many(const std::uint32_t* groups, const std::uint64_t* hashes, std::size_t n);

  // Raises register `index` of `group` to at least `value` (1 .. 65 - p).
  void raise(std::size_t group, std::uint32_t index, unsigned value);

  // Unions into `group` a sketch of precision source_p >= p given by its
  // 2^source_p registers, folding it to p when source_p is larger.
  void combine_registers(std::size_t group, const std::uint8_t* registers, unsigned source_p);

  // The same for a sketch given by its registers in use, as packed entries
  // (index << 6 | value, see packed.hpp) of precision source_p >= p.
  void combine_entries(std::size_t group, std::span<const std::uint32_t> entries,
                       unsigned source_p);

  // Whether a group holds no register in use.
  bool empty(std::size_t group) const noexcept { return groups_[group].used == 0; }

  // Appends the packed form of a group to `out`: exactly the bytes that
  // packed::write gives for a plain sketch with the same registers. Refuses,
  // as packed::plan does, a register above 65 - p (only registers combined
  // from raw bytes can hold one). May throw std::bad_alloc (growing `out`).
  Refusal finalize(std::size_t group, std::vector<std::uint8_t>& out);

  // The register histogram of a group, as register_histogram() gives for a
  // plain sketch with the same registers: for estimates without packing.
  RegisterHistogram histogram(std::size_t group) const noexcept;

  // Empties a group and gives its storage back to the arena.
  void clear(std::size_t group) noexcept;

  // Bytes of register storage in use by groups, and taken from the system.
  std::size_t bytes_in_use() const noexcept { return in_use_; }
  std::size_t bytes_reserved() const noexcept { return chunks_.size() * CHUNK_BYTES; }

 private:
  // A group: its block (null until the first register is raised), the
  // number of registers in use, and the log2 of its sparse table's slots
  // (0 when dense).
  struct Group {
    std::uint8_t* block = nullptr;
    std::uint32_t used = 0;
    std::uint8_t slots_log = 0;
    bool dense = false;
  };
  static_assert(sizeof(Group) == 16);

  struct FreeDeleter {
    void operator()(std::uint8_t* ptr) const noexcept;
  };

  std::uint8_t* allocate(unsigned size_log);
  void release(std::uint8_t* block, unsigned size_log) noexcept;
  void start(Group& g);
  void grow(Group& g);
  void make_dense(Group& g);
  static bool insert_entry(std::uint32_t* slots, unsigned slots_log, std::uint32_t index,
                           unsigned value) noexcept;

  std::vector<Group> groups_;
  std::vector<std::unique_ptr<std::uint8_t[], FreeDeleter>> chunks_;
  // Free blocks by log2 of their size, each linked through its first bytes.
  std::uint8_t* free_[32] = {};
  std::uint8_t* bump_ = nullptr;
  std::size_t bump_left_ = 0;
  std::size_t in_use_ = 0;
  unsigned p_;
  // log2 of the largest sparse table's slots; below MIN_SLOTS' log, none.
  unsigned max_slots_log_;
  bool sparse_pays_;
  // Registers of a source folded to p (combine_registers), and a sparse
  // group's entries in order (finalize); made on first use.
  std::unique_ptr<std::uint8_t[]> folded_;
  std::unique_ptr<std::uint32_t[]> sorted_;
  // update_many(): per-group counts, then the batch's entries in group order.
  std::vector<std::uint32_t> batch_starts_;
  std::vector<std::uint32_t> batch_entries_;
};

}  // namespace drisk

#endif  // DRISK_GROUPED_HPP
