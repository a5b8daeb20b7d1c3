// drisk: contiguous date and timestamp columns hashed eight at a time in
// vector lanes.
//
// Where the CPU has AVX-512 or AVX2, a run of Arrow date32 day counts
// without nulls (or of NumPy datetime64[D] ones, 64 bits wide, NaT skipped)
// is written and hashed a vector at a time (date_lanes_avx512.cpp; with
// AVX2, integer_lanes_impl.hpp's absorb_dates), with the items the row
// views give (value_views.hpp's DateView). date32_run() picks it through
// cpu_features(); on any other CPU, and in a DRISK_SIMD=OFF build, it gives
// nothing and the row views do the work. timestamp_run() does the same for
// timestamps (date_lanes_avx512.cpp; with AVX2, integer_lanes_impl.hpp's
// absorb_timestamps).
#ifndef DRISK_COLUMNS_DATE_LANES_HPP
#define DRISK_COLUMNS_DATE_LANES_HPP

#include "integer_lanes.hpp"
#include "item_time.hpp"

namespace drisk::columns {

// Inserts rows [begin, end) of the contiguous int32 day counts at base into
// core, as dates; returns the rows absorbed (all of them) and false.
// Allocates nothing. Null when this CPU has no such run.
IntegerRun date32_run() noexcept;

// The same for contiguous int64 day counts (NumPy datetime64[D]), NaT
// (INT64_MIN) skipped: returns the rows absorbed, NaT not counted.
IntegerRun date_days64_run() noexcept;

// The same for contiguous int64 timestamps of `unit` (Arrow timestamp,
// NumPy datetime64; NaT skipped when `nat`), written as in a zoned column
// when `utc`.
IntegerRun timestamp_run(TimeUnit unit, bool nat, bool utc) noexcept;

namespace detail {
// Compiled for AVX-512 alone; call them only on a CPU that has it.
IntegerRun date32_run_avx512() noexcept;
IntegerRun date_days64_run_avx512() noexcept;
// Compiled for AVX2 alone (integer_lanes_avx2.cpp, over the integer lanes).
IntegerRun date32_run_avx2() noexcept;
IntegerRun date_days64_run_avx2() noexcept;
IntegerRun timestamp_run_avx2(TimeUnit unit, bool nat, bool utc) noexcept;
IntegerRun timestamp_run_avx512(TimeUnit unit, bool nat, bool utc) noexcept;
}  // namespace detail

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_DATE_LANES_HPP
