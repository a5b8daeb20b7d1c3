// drisk: the items of a Python iterable absorbed into a sketch (update_many).
//
// Lists and tuples are walked by index a group at a time, any other iterable
// one item at a time. Each element is viewed as the bytes of its item
// (item_text.hpp: bytes as they are, str as UTF-8, numbers and booleans as
// their text); None and NaN are skipped and not counted.
#ifndef DRISK_ITEMS_HPP
#define DRISK_ITEMS_HPP

#include <cstddef>

#include "call_frame.hpp"

namespace drisk {

// Elements viewed and hashed together, a group at a time.
inline constexpr std::size_t ITEM_BATCH = 64;

// Measures, once, where an exact bytes object keeps its data; run at module
// execution, before any absorb_items().
Status measure_bytes_layout();

// Absorbs every item of `items` into core; returns how many were absorbed.
// On a bad element, the elements before it stay absorbed and the error
// names it ("items[3]").
Expected<std::size_t> absorb_items(HyperLogLogCore& core, PyObject* items);

}  // namespace drisk

#endif  // DRISK_ITEMS_HPP
