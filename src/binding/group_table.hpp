// drisk: a group table fed batch by batch (sketch_by() of a stream).
//
// The state of a GROUP BY's aggregate that lives across calls: the keys
// numbered so far (GroupKeys) and each group's sketch (GroupRows). Each
// call adds one batch of key columns and their values and says which of its
// rows started a new group, so that the caller keeps just those rows' keys,
// in their own types; the sketches are packed once, at the end. Memory
// follows the groups and one batch, whatever the length of the stream.
//
// Python holds the table as a capsule, used by one call at a time (a second
// one while the first runs without the interpreter lock is refused). After
// a failed call the table is only fit to be thrown away, and says so.
#ifndef DRISK_GROUP_TABLE_HPP
#define DRISK_GROUP_TABLE_HPP

#include "call_frame.hpp"
#include "group_rows.hpp"

namespace drisk {

// A new, empty table of sketches of precision p_arg, as a capsule.
Expected<PyObject*> new_group_table(PyObject* p_arg);

// Adds a batch: `keys` exports record batches of the key columns (their
// types fixed by the first call), `values` the column of values, as long.
// Or, with `local` (not null or None: an Arrow integer column as long as
// `values`), the batch's groups were numbered by the caller: `keys` holds
// one row per such group and `local` each row's group. Returns the rows of
// `keys` where new groups first came, as int64 bytes, in the order of their
// group ids (which follow the earlier ones').
Expected<PyObject*> add_to_group_table(PyObject* table, PyObject* keys, PyObject* values,
                                       PyObject* local);

// The table's sketches (null before the first batch), held for the caller
// alone until this is destroyed: for packing them.
struct GroupTableRows {
  GroupRows* rows;
  ExclusiveBorrow borrow;
};
Expected<GroupTableRows> group_table_rows(PyObject* table);

}  // namespace drisk

#endif  // DRISK_GROUP_TABLE_HPP
