// drisk: unions of the sketches of a column, per list or per group.
//
// A union is at the smallest precision among the sketches it takes (the
// others folded to it), skips null cells, and is null when it takes no
// sketch at all; it is packed exactly as pack() packs the same registers.
//
// Members are taken one at a time, and what a union holds between them
// follows its result, not how many members it has:
//
//   - while every member is sparse, their entries (packed.hpp's, four bytes
//     each), one member's after another, gathered by register index at the
//     end;
//   - from the first dense member on, or once a sparse member's body would
//     take the entries past 2^p, the 2^p registers, each later member's
//     maxed into them.
//
// So a union of any number of members holds 2^p registers or 2^p entries
// (64 KiB at p = 14), and one member's entries beside them. It turns dense
// at 2^p entries, not at the 2^p / 4 that weigh as much as the registers,
// for speed: packing a union held in registers walks all 2^p of them twice,
// which costs more than gathering the entries while they are fewer than the
// registers (forty sparse sketches of 100 items at p = 14 took a fifth
// longer turned dense at 2^p / 4). Both ways pack to the same bytes
// (plan_entries() and plan() agree), so when a union turns dense changes
// its speed, never its result. A member of a smaller precision than the
// union so far folds the union down to it (folding commutes with the
// maximum). One packed sketch alone is its own union, copied as it is when
// pack() would write the same bytes.
#ifndef DRISK_UNIONS_HPP
#define DRISK_UNIONS_HPP

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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
                             std::vector<std::uint32_t>& out) noexcept;

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

  // The same a slice of groups at a time, for a caller that looks at
  // Ctrl-C in between: plan() sorts the rows by group once, group_slice()
  // appends the unions of groups [first, last); called over consecutive
  // slices from 0, it gives what groups() gives.
  struct GroupPlan {
    std::size_t groups = 0;
    std::size_t input = 0;              // bytes of cells in the column
    std::vector<std::uint32_t> starts;  // group g's rows: order[starts[g] .. starts[g + 1])
    std::vector<std::uint32_t> order;   // empty when the rows are in group order

    // Where a slice from group `first` ends to hold about `rows` rows (at
    // least one group).
    std::size_t end_of_slice(std::size_t first, std::size_t rows) const noexcept;
  };
  static Failure plan(const CellColumn& column, std::span<const std::uint32_t> group_of_row,
                      std::size_t groups, GroupPlan& plan) noexcept;
  static Failure group_slice(const CellColumn& column, const GroupPlan& plan, std::size_t first,
                             std::size_t last, BinaryBuilder& out) noexcept;

 private:
  // The union being made: begin(), add() for each sketch (null cells are
  // not members), then finish(). add() refuses a sparse sketch whose
  // entries are damaged; the union is then left half made, to be begun
  // again.
  void begin() noexcept;
  Refusal add(const Sketch& sketch);
  Refusal finish(BinaryBuilder& out);

  // The unions of groups first .. last - 1, the rows of group g being
  // order[starts[g] .. starts[g + 1]) (with `order` null, those rows
  // themselves). Fails (without a message: CellColumn::check() names the
  // row) at the first cell that is not a sketch.
  Failure group_range(const CellColumn& column, const std::uint32_t* order,
                      const std::uint32_t* starts, std::size_t first, std::size_t last,
                      BinaryBuilder& out) noexcept;

  // What the union holds so far.
  enum class Held : std::uint8_t {
    nothing,    // no member yet
    entries,    // entries_[0 .. count_) at p_, repeats allowed
    lone,       // one dense member alone: its registers, read in place
    registers,  // registers_[0 .. 2^p_)
  };
  // A sparse sketch's entries at entries_[at ..), folded to p_; how many.
  Refusal read(const Sketch& sketch, std::size_t at, std::size_t& count);
  // The union so far into registers_.
  void to_registers();
  // The union so far folded to precision p, below p_.
  void lower(unsigned p);

  // Makes entries_[0 .. n) (registers of precision p in any order, repeats
  // allowed) one per register in use, holding its largest value, in index
  // order; returns how many are left.
  std::size_t gather(std::size_t n, unsigned p);

  Held holds_ = Held::nothing;
  unsigned p_ = 0;
  std::size_t members_ = 0;
  std::size_t count_ = 0;
  // Whether entries_ may repeat a register: from two sparse sketches, or
  // one folded.
  bool repeats_ = false;
  Sketch first_;  // the first member, for a union of one
  std::vector<std::uint32_t> entries_;
  std::vector<std::uint8_t> registers_;
  std::vector<std::uint8_t> spare_;  // lower()'s
  // gather()'s scratch, all zero between unions.
  std::vector<std::uint8_t> held_;
  std::vector<std::uint64_t> marks_;
  std::vector<std::uint64_t> summary_;
};

}  // namespace drisk::cells

#endif  // DRISK_UNIONS_HPP
