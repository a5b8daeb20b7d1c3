// drisk: chosen rows of a string_view or binary_view column, copied out in
// the plain layout (64-bit offsets and one data buffer).
//
// The grouped path keeps each group's key from the row where the group
// first came, and pyarrow has no take() for view layouts: casting the whole
// column to a plain layout to take a few rows of it cost more than grouping
// it. Each view is checked against its buffers as the readers check it.
#ifndef DRISK_KEY_ROWS_HPP
#define DRISK_KEY_ROWS_HPP

#include <cstddef>
#include <cstdint>

#include "columns/arrow_abi.hpp"
#include "columns/value_kinds.hpp"
#include "unions.hpp"

namespace drisk {

// Appends to `out` the rows of `array` (a view column of type `type`, row 0
// at the array's offset) whose positions rows[k] - base lie in the array,
// for k from `next` on, rows ascending; returns the first k past the array.
// A null row is a null. The fault of a malformed array or view
// (OUT_OF_MEMORY when `out` cannot grow).
ArrayFault take_view_rows(const ColumnType& type, const ArrowArray& array, std::int64_t base,
                          const std::int64_t* rows, std::size_t count, std::size_t& next,
                          cells::BinaryBuilder& out) noexcept;

}  // namespace drisk

#endif  // DRISK_KEY_ROWS_HPP
