// drisk: group ids for rows of key columns (a GROUP BY's keys).
//
// Each row's keys become one byte string, its group key: for each key
// column a tag (missing, NaN or a value) and, for a value, its length and
// bytes. A value's bytes are its item under the identity rules, the text
// every counting path hashes (item_text.hpp, through the column reader's
// views), so keys group exactly as values count as equal: -0.0 with 0.0,
// every NaN in one group of its own, apart from the missing keys. Integers, no two of which share
// their bytes within a column's type, are taken as those bytes rather than
// written out. A dictionary's entries are written once, when it first comes.
//
// Group keys are numbered by a KeyTable (key_table.hpp) in the order they
// first come, which is the order pyarrow's dictionary encoding and a
// GROUP BY's first appearance give; the row where each group first comes is
// kept, so that the caller takes the groups' keys from its own columns, in
// their own types.
//
// Rows are taken a slice at a time (SLICE_ROWS rows of every column, their
// items gathered column by column, then joined and numbered row by row);
// scratch is a few hundred KiB per column, whatever the number of rows.
// Memory otherwise follows the groups: their keys' bytes, a slot each in
// the table and one first row. A single plain integer key, the commonest,
// is numbered by a table of the values themselves: a 16-byte slot a group,
// one probe a row.
#ifndef DRISK_GROUP_KEYS_HPP
#define DRISK_GROUP_KEYS_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "columns/arrow_abi.hpp"
#include "columns/value_kinds.hpp"
#include "key_table.hpp"

namespace drisk {

class GroupKeys {
 public:
  // Rows whose items are gathered at a time.
  static constexpr std::size_t SLICE_ROWS = 1024;

  // Keys of the given types (checked by describe_column, none a table).
  // May throw std::bad_alloc.
  explicit GroupKeys(const std::vector<ColumnType>& types);

  // Rows [begin, end) of one batch: row r of key column k is row
  // firsts[k] + r of the buffers of columns[k] (its shape checked by the
  // caller). ids[r - begin] is set to each row's group; `row_base` is the
  // batch's first row in the whole input, for first_rows(). Refuses an
  // array whose layout contradicts its type; OUT_OF_MEMORY when the table
  // cannot grow (the groups are then only fit to be thrown away).
  ArrayFault add(const ArrowArray* const* columns, const std::int64_t* firsts, std::size_t begin,
                 std::size_t end, std::uint32_t* ids, std::int64_t row_base) noexcept;

  std::size_t groups() const noexcept { return first_rows_.size(); }

  // Forgets which dictionaries the written-out entries are of: before a
  // call whose arrays may sit where an earlier call's freed ones did.
  void forget_dictionaries() noexcept {
    for (const std::unique_ptr<Column>& column : columns_) {
      column->entries_of = nullptr;
    }
  }

  // The row of the whole input where each group first came, in id order.
  const std::vector<std::int64_t>& first_rows() const noexcept { return first_rows_; }

 private:
  enum Tag : std::uint8_t { MISSING = 0, NOT_A_NUMBER = 1, VALUE = 2 };

  // One key column's items for the slice being read.
  struct Column {
    ColumnType type;
    Tag tags[SLICE_ROWS];
    const char* data[SLICE_ROWS];
    std::size_t lens[SLICE_ROWS];
    std::unique_ptr<char[]> arena;  // written-out texts: SLICE_ROWS slots
    // A dictionary's entries, written out once: the dictionary they are of,
    // each entry's tag and where its bytes end in `entry_bytes`.
    const void* entries_of = nullptr;
    std::int64_t entries_offset = -1;
    std::int64_t entries_length = -1;
    std::vector<Tag> entry_tags;
    std::vector<std::size_t> entry_ends;
    std::vector<char> entry_bytes;
    // A lone dictionary key's shortcut: each entry's group once a row has
    // used it (UNNUMBERED before), and the entry of each row of the slice
    // (NO_ENTRY for a missing row, NUMBERED for one whose id is set), so that
    // a row takes its entry's group without joining or hashing its key.
    std::vector<std::uint32_t> entry_ids;
    std::uint32_t row_entries[SLICE_ROWS];
  };
  static constexpr std::uint32_t UNNUMBERED = ~std::uint32_t{0};
  static constexpr std::uint32_t NO_ENTRY = ~std::uint32_t{0};
  // A row of a lone key given its entry's group while the entries were read.
  static constexpr std::uint32_t NUMBERED = NO_ENTRY - 1;

  ArrayFault gather(Column& column, const ArrowArray& array, std::int64_t first,
                    std::size_t rows) noexcept;
  template <class Value>
  ArrayFault add_integers(const ArrowArray& array, std::int64_t first, std::size_t begin,
                          std::size_t end, std::uint32_t* ids, std::int64_t row_base);
  std::uint32_t integer_id(std::uint64_t value, std::int64_t row);
  ArrayFault gather_entries(Column& column, const ArrowArray& dictionary) noexcept;

  std::vector<std::unique_ptr<Column>> columns_;
  // One plain integer column, the commonest key (ids, codes), is numbered
  // by a table of its values themselves: one probe a row, no key bytes.
  struct IntegerSlot {
    std::uint64_t value;
    std::uint32_t id_plus_one;  // 0: empty
  };
  bool integers_ = false;
  std::vector<IntegerSlot> integer_slots_;
  std::uint32_t missing_id_plus_one_ = 0;
  KeyTable table_;
  std::uint64_t seed_;
  std::vector<std::uint8_t> key_;  // the group key being joined
  std::vector<std::int64_t> first_rows_;
};

}  // namespace drisk

#endif  // DRISK_GROUP_KEYS_HPP
