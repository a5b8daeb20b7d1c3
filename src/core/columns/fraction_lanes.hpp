// drisk: float64 fractions written and hashed eight at a time in vector
// lanes.
//
// Where the CPU has AVX-512 (with CD), the fractions of a float64 column
// (the rows whole_floats.hpp sends to the text writer) are written as repr()
// writes them and hashed a vector at a time (fraction_lanes_avx512.cpp),
// with the items format_double() gives. fraction_run() picks it through
// cpu_features(); on any other CPU, and in a DRISK_SIMD=OFF build, it gives
// nothing and the values are written a row at a time.
#ifndef DRISK_COLUMNS_FRACTION_LANES_HPP
#define DRISK_COLUMNS_FRACTION_LANES_HPP

#include "integer_lanes.hpp"

namespace drisk::columns {

// Inserts rows [begin, end) of the contiguous float64 values (this
// machine's byte order) at base into core, as their text; no row may be
// whole (those are integers, whole_floats.hpp), NaN rows are skipped.
// Returns the rows absorbed and false. Allocates nothing. Null when this CPU
// has no such run.
IntegerRun fraction_run() noexcept;

// Splits the n contiguous float64 at base (this machine's byte order) into
// the whole ones below 2^63 in magnitude, converted to int64 in whole[], and
// the others, copied to others[], each in the order they came; returns how
// many were whole (the others are the rest of n). Each array needs room for
// n + 8 values: whole vectors are stored. Null when this CPU has no such
// split (whole_floats.hpp then tests a value at a time).
using FloatSplit = std::size_t (*)(const std::uint8_t* base, std::size_t n, std::int64_t* whole,
                                   double* others) noexcept;
FloatSplit float_split() noexcept;

namespace detail {
// Compiled for AVX-512 alone; call them only on a CPU that has it.
IntegerRun fraction_run_avx512() noexcept;
FloatSplit float_split_avx512() noexcept;
}  // namespace detail

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_FRACTION_LANES_HPP
