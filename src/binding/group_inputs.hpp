// drisk: what sketches per group read from Python: group ids (an Arrow
// integer column per row), rows of values into per-group sketches
// (GroupRows, group_rows.hpp), and the numbering of small-range integer key
// columns. Every argument is checked before any row is read; large arrays
// are read with the interpreter lock released.
#ifndef DRISK_GROUP_INPUTS_HPP
#define DRISK_GROUP_INPUTS_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "arrow_import.hpp"
#include "call_frame.hpp"
#include "group_keys.hpp"
#include "group_rows.hpp"

namespace drisk {

// The failures of group ids: a static message from append_group_ids() or
// fold_integer_key(), raised as TypeError (not integers), MemoryError or
// ValueError; and two columns of different lengths.
[[gnu::cold, gnu::noinline]] PyErr bad_group_ids(const char* message);
[[gnu::cold, gnu::noinline]] PyErr lengths_differ(std::size_t sketches, std::size_t groups);

// The `count` argument: a number of groups, not negative.
Expected<std::size_t> extract_count(PyObject* obj);

// Each row's group id from an Arrow integer column (no nulls), every id
// below `groups`: data[k] for row k of `size`. One array of uint32 (what
// the package's group_ids() gives) is read where it lies, kept alive here;
// any other column is copied.
struct GroupIds {
  const std::uint32_t* data = nullptr;
  std::size_t size = 0;
  ImportedArrow imported;
  OwnedArray array;
  std::vector<std::uint32_t> copy;
};
Status read_group_ids(PyObject* data, std::size_t groups, GroupIds& ids);

// The sketches of precision p_arg of `count_arg` groups from an Arrow column
// of values and one group id per row (`groups`). The values' type and p are
// checked before the ids or any value are read.
Expected<std::unique_ptr<GroupRows>> read_group_rows(PyObject* values, PyObject* groups,
                                                     PyObject* count_arg, PyObject* p_arg);

// Absorbs an imported column of values of type `type` into `rows`, row k
// into group ids[k]; the column must have `size` rows.
Status absorb_values(GroupRows& rows, const ColumnType& type, ImportedArrow& imported,
                     const std::uint32_t* ids, std::size_t size);

// Group ids of small-range integer keys: `keys` holds (column, low, width,
// nulls) per key (see fold_integer_key()). `codes` gets each row's group,
// `first` the row where each group first appears.
Status integer_key_ids(PyObject* keys, std::vector<std::uint32_t>& codes,
                       std::vector<std::int64_t>& first);

// Group ids of any key columns (group_keys.hpp): `keys` exports a stream of
// record batches, one column per key. `ids` gets each row's group, `first`
// the row where each group first appears. A key column of a type keys are
// not read from is refused with a TypeError naming its position; a damaged
// array with a ValueError naming the row where its batch begins.
Status key_ids(PyObject* keys, std::vector<std::uint32_t>& ids, std::vector<std::int64_t>& first);

// The types of an imported table of key columns, refused as key_ids()
// refuses them.
Expected<std::vector<ColumnType>> key_types(const ArrowSchema& schema);

// Numbers the rows of an imported table of key columns (of the types
// key_types() gave) into `table`: ids[r] gets row r's group, `table`'s first
// rows the rows of this stream where its new groups first come.
Status number_keys(GroupKeys& table, ImportedArrow& imported, std::vector<std::uint32_t>& ids);

}  // namespace drisk

#endif  // DRISK_GROUP_INPUTS_HPP
