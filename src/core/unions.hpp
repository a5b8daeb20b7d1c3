// drisk: unions of the sketches of a column, per list or per group.
//
// A union is at the smallest precision among the sketches it takes (the
// others folded to it), skips null cells, and is null when it takes no
// sketch at all; it is packed exactly as pack() packs the same registers.
// A union of sparse sketches is made from their entries (gathered by
// register index), one taking a dense sketch in dense registers; one packed
// sketch alone is its own union, copied as it is when pack() would write the
// same bytes.
#ifndef DRISK_UNIONS_HPP
#define DRISK_UNIONS_HPP

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "large_buffers.hpp"
#include "sketch_cells.hpp"

namespace drisk::cells {

// The output of unions: a binary column being built (offsets from 0, the
// cells' bytes, and one validity byte per row, 0 for null).
struct BinaryBuilder {
  std::vector<std::int64_t> offsets{0};
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> valid;
  std::size_t nulls = 0;
};

// Group ids, one per row: reads an Arrow integer array (int8 to int64,
// unsigned too, no nulls) whose every value is below `groups`, appending to
// `out`. A static message when it is not such an array: NOT_INTEGERS when it
// does not hold integers at all.
extern const char NOT_INTEGERS[];
const char* append_group_ids(const ArrowSchema& schema, const ArrowArray& array, std::size_t groups,
                             LargeVector<std::uint32_t>& out) noexcept;

// Unions into `out`; scratch is kept from one union to the next.
class Unions {
 public:
  // One union per list of a list column of sketches.
  Failure lists(const Cells& cells, std::size_t row_base, BinaryBuilder& out) noexcept;

  // One union per group of the rows of `column`: `group_of_row` has one id
  // per row, each below `groups`. Runs on two cores when the process may use
  // two and there is enough work; the result is the same.
  static Failure groups(const CellColumn& column, std::span<const std::uint32_t> group_of_row,
                        std::size_t groups, BinaryBuilder& out) noexcept;

 private:
  struct Member {
    const Sketch* sketch;  // null for a null cell
    std::size_t row;       // for the messages
  };
  Refusal union_of(std::span<const Member> members, BinaryBuilder& out, std::size_t& bad_row);
  // Fails (without a message: CellColumn::check() names the row) at the
  // first cell that is not a sketch.
  Failure group_range(const CellColumn& column, const std::uint32_t* order,
                      const std::uint32_t* starts, std::size_t first, std::size_t last,
                      BinaryBuilder& out) noexcept;

  // Makes entries_[0 .. n) (registers of precision p in any order, repeats
  // allowed) one per register in use, holding its largest value, in index
  // order; returns how many are left.
  std::size_t gather(std::size_t n, unsigned p);

  std::vector<Member> members_;
  std::vector<Sketch> opened_;
  std::vector<std::uint32_t> entries_;
  std::vector<std::uint8_t> registers_;
  // gather()'s scratch, all zero between unions.
  std::vector<std::uint8_t> held_;
  std::vector<std::uint64_t> marks_;
  std::vector<std::uint64_t> summary_;
};

}  // namespace drisk::cells

#endif  // DRISK_UNIONS_HPP
