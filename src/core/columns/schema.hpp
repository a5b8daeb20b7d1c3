// drisk: a column's type, checked and described before anything is read.
//
// describe_column() reads an Arrow schema, describe_buffer_format() a
// buffer-protocol format string; each refuses, with a TypeError naming the
// type, anything drisk cannot count, so that a refused column leaves the
// sketch untouched.
#ifndef DRISK_COLUMNS_SCHEMA_HPP
#define DRISK_COLUMNS_SCHEMA_HPP

#include <cstddef>

#include "arrow_abi.hpp"
#include "value_kinds.hpp"

namespace drisk {

// Checks an Arrow schema and describes the column it holds. Refuses, with a
// TypeError naming the type, anything but text, binary, integers, floats,
// booleans, nulls, dates, timestamps, times of day, decimals and
// dictionaries of these (durations, intervals and nested types are
// refused); a struct is taken as a table and must have exactly one column.
ColumnFailure describe_column(const ArrowSchema& schema, ColumnType& out);

// Reads a buffer-protocol format string (struct module syntax: an optional
// byte-order character, then one type code) with its item size. Refuses
// (TypeError) formats that are not a single integer, float or boolean.
ColumnFailure describe_buffer_format(const char* format, std::size_t itemsize, NumberLayout& out);

}  // namespace drisk

#endif  // DRISK_COLUMNS_SCHEMA_HPP
