// drisk: columnar inputs absorbed into a sketch: Arrow data exported through
// the Arrow PyCapsule interface, and one-dimensional buffers of numbers.
//
// An Arrow export's structures are moved out of their capsules into owners
// that release them on every way out; the schema is checked before anything
// is absorbed; a stream's arrays are absorbed one by one. Large arrays and
// buffers are read with the interpreter lock released, on two cores where
// the process may use two (see ColumnSink).
#ifndef DRISK_COLUMN_INPUTS_HPP
#define DRISK_COLUMN_INPUTS_HPP

#include <cstddef>

#include "call_frame.hpp"

namespace drisk {

// Arrays and buffers of at least this many rows are read with the
// interpreter lock released.
inline constexpr std::size_t RELEASE_GIL_ROWS = 16 * 1024;

// Absorbs every value of `data`, any object with __arrow_c_stream__ or
// __arrow_c_array__; returns how many were absorbed, nulls not counted.
Expected<std::size_t> absorb_arrow(HyperLogLogCore& core, PyObject* data);

// Absorbs every number of the one-dimensional buffer `data` (integers,
// floats or booleans of any width, byte order and stride); returns how many
// were absorbed, NaN not counted.
Expected<std::size_t> absorb_number_buffer(HyperLogLogCore& core, PyObject* data);

// Absorbs every date or timestamp of the one-dimensional buffer `data` of
// int64 counts (a NumPy datetime64 array seen as int64): `unit` is "D" for
// dates, else "s", "ms", "us" or "ns" for timestamps, `utc` whether they are
// instants of a zone (then written in UTC). INT64_MIN (NaT) is skipped.
Expected<std::size_t> absorb_time_buffer(HyperLogLogCore& core, PyObject* data, PyObject* unit,
                                         PyObject* utc);

}  // namespace drisk

#endif  // DRISK_COLUMN_INPUTS_HPP
