// drisk: sketches per group straight from rows (a GROUP BY's aggregate).
//
// Rows arrive as a column of values (any column the reader counts) and one
// group id per row (the caller numbers the distinct keys 0 .. groups - 1).
// A batch of rows is read in two phases, each on two cores:
//
//   1. hashes: the rows are cut into chunks that both cores claim
//      (splitter.hpp), each row's value hashed through the column reader's
//      views (columns/row_hashes.hpp) into scratch, or marked missing;
//   2. updates: the groups are dealt out by the parity of their id, each
//      parity to a store of its own (grouped.hpp), so the two cores update
//      disjoint stores with no lock and nothing to merge afterwards.
//
// A missing value is skipped, but its group exists all the same: a group
// whose every value is missing ends with an empty sketch. Each group's
// registers are exactly those a plain sketch gets from the group's values
// (the same hash and register update as insert.hpp).
//
// Scratch is bounded by the batch (BATCH_ROWS rows, 9 bytes a row for the
// hashes, 12 for each store's share), whatever the length of the column.
#ifndef DRISK_GROUP_ROWS_HPP
#define DRISK_GROUP_ROWS_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "columns/arrow_abi.hpp"
#include "columns/row_hashes.hpp"
#include "columns/value_kinds.hpp"
#include "estimators.hpp"
#include "grouped.hpp"
#include "unions.hpp"

namespace drisk {

class GroupRows {
 public:
  // Rows read and hashed at a time: large enough that starting the second
  // core is paid for, small enough that the scratch stays a few MiB.
  static constexpr std::size_t BATCH_ROWS = std::size_t{1} << 20;
  // Rows each core claims at a time in the hashing phase.
  static constexpr std::size_t CHUNK_ROWS = 16 * 1024;

  // Sketches of precision p (checked by the caller) for `groups` groups, on
  // two cores when `two_cores`; scratch for up to `rows` rows a batch (at
  // most BATCH_ROWS). May throw std::bad_alloc.
  GroupRows(unsigned p, std::size_t groups, std::size_t rows, bool two_cores);

  // Absorbs rows [begin, end) of one array of a column of type `type`;
  // ids[k] is the group of its row begin + k (each below groups()). Refuses
  // an array whose layout contradicts its type; OUT_OF_MEMORY when a store
  // cannot grow. A long array may be absorbed a range at a time.
  ArrayFault add(const ColumnType& type, const ArrowArray& array, std::size_t begin,
                 std::size_t end, const std::uint32_t* ids) noexcept;

  std::size_t groups() const noexcept { return groups_; }

  // Makes groups up to `groups` exist (new ones empty), for ids numbered
  // after construction, and scratch for batches of up to `rows` rows (at
  // most BATCH_ROWS): a table of groups fed batch by batch. May throw
  // std::bad_alloc; amortized like a vector's growth.
  void grow(std::size_t groups, std::size_t rows);

  // Forgets which dictionary the kept entry hashes are of: before a batch
  // whose arrays may sit where the last call's freed ones did.
  void forget_dictionary() noexcept { entries_ = DictionaryHashes{}; }

  // The sketches of groups [first, last) in the packed form, in id order,
  // appended to `out` (never null: an empty group packs to an empty
  // sketch). Called over consecutive ranges, it packs every group.
  cells::Failure finalize(cells::BinaryBuilder& out, std::size_t first, std::size_t last) noexcept;

  // The estimates of groups [first, last) (the improved estimator), and
  // with a confidence in (0, 1) their intervals, into those rows of the
  // vectors, which are sized for every group on the first call; no packing.
  cells::Failure estimates(double confidence, std::vector<double>& estimate,
                           std::vector<double>& lower, std::vector<double>& upper,
                           std::size_t first, std::size_t last) noexcept;

  // Bytes of register storage the stores took from the system.
  std::size_t bytes_reserved() const noexcept;

 private:
  struct Share {
    std::vector<std::uint32_t> ids;
    std::vector<std::uint64_t> hashes;
    ArrayFault fault = nullptr;
  };
  GroupedSketches& store_of(std::size_t group) noexcept { return *stores_[group & 1]; }

  std::size_t groups_;
  std::size_t batch_rows_;
  bool two_cores_;
  std::unique_ptr<GroupedSketches> stores_[2];
  DictionaryHashes entries_;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint8_t> present_;
  Share shares_[2];
};

// Group ids of integer keys whose ranges are small (days, page ids), without
// hashing: each row's combination of keys is one number, its code, below the
// product of the keys' ranges, and a table of that many slots numbers the
// codes. The caller keeps the product near the rows.
//
// fold_integer_key() folds rows [begin, end) of one key column's array
// into their codes (codes[r] for row r): code = code * width + c, where c is 0 for a missing key
// when `nulls` (1 + value - low otherwise), value - low without nulls. `codes` starts at 0 for the
// first key. A static message when the array is not an integer array or a value is outside [low,
// low + width).
const char* fold_integer_key(const ArrowSchema& schema, const ArrowArray& array, std::uint64_t low,
                             std::uint32_t width, bool nulls, std::uint32_t* codes,
                             std::int64_t begin, std::int64_t end) noexcept;

// Turns the codes of rows [begin, end) (each below the size of `number`, a
// table of one slot per code, filled with UNNUMBERED before the first call)
// into group ids, the groups numbered in the order they first appear;
// first[g] is the row where group g first appears. Called over consecutive
// ranges, it numbers every row. May throw std::bad_alloc.
inline constexpr std::uint32_t UNNUMBERED = ~std::uint32_t{0};
void number_codes(std::uint32_t* codes, std::size_t begin, std::size_t end,
                  std::vector<std::uint32_t>& number, std::vector<std::int64_t>& first);

}  // namespace drisk

#endif  // DRISK_GROUP_ROWS_HPP
