// drisk: contiguous integer columns hashed several at a time in vector lanes.
//
// An integer's item is its decimal text. Where the CPU has AVX2 (four 64-bit
// lanes) or AVX-512 (eight), a run of integers of one width, without nulls
// and in this machine's byte order, is turned into texts and hashes a vector
// at a time instead of one by one: integer_lanes_impl.hpp is the one
// algorithm, written once over the lane width, and integer_lanes_avx2.cpp
// and integer_lanes_avx512.cpp compile it for each instruction set alone.
// integer_run() picks one through cpu_features(); on any other CPU, and in a
// DRISK_SIMD=OFF build, it gives nothing and the portable row views
// (row_views.hpp) do the work, with the same result.
#ifndef DRISK_COLUMNS_INTEGER_LANES_HPP
#define DRISK_COLUMNS_INTEGER_LANES_HPP

#include <cstddef>
#include <cstdint>
#include <utility>

#include "sketch_core.hpp"
#include "value_kinds.hpp"

namespace drisk::columns {

// Inserts rows [begin, end) of the contiguous integers at base into core, as
// their decimal text; returns the rows absorbed (all of them) and false (an
// integer column is never malformed). Allocates nothing.
using IntegerRun = std::pair<std::size_t, bool> (*)(HyperLogLogCore& core, const std::uint8_t* base,
                                                    std::size_t begin, std::size_t end) noexcept;

// The vector run for the integer kind `kind` on this CPU, or null when there
// is none.
IntegerRun integer_run(ValueKind kind) noexcept;

// The vector run for prices on this CPU, or null when there is none: rows
// of int64 n, each standing for n / 100 (a float64 price, never whole, from
// whole_floats.hpp; a decimal of scale 2, from value_views.hpp), inserted as
// the text both give it. The same signature as an integer run.
IntegerRun cents_run() noexcept;

// The n whose text the price lanes make themselves, when n / 100 has a
// fraction: PRICE_LANES_FIRST to PRICE_LANES_END - 1 (10.00 to 99999.99),
// texts of 4 to 8 bytes. Other rows go to the decimal writer.
inline constexpr std::uint64_t PRICE_LANES_FIRST = 1000;
inline constexpr std::uint64_t PRICE_LANES_END = 10000000;

// The same texts hashed but not inserted, for readers that route each row to
// a sketch of its own (row_hashes.hpp): hashes[k] is the XXH3-64 hash of the
// decimal text of row begin + k of the contiguous integers at base. Every
// row is hashed, whatever its validity; the caller skips the missing ones.
// Allocates nothing.
using IntegerHashes = void (*)(const std::uint8_t* base, std::size_t begin, std::size_t end,
                               std::uint64_t* hashes) noexcept;

// The vector hashing for the integer kind `kind` on this CPU, or null when
// there is none (the row views then hash one row at a time, alike).
IntegerHashes integer_hashes(ValueKind kind) noexcept;

namespace detail {
// Each in its own file, compiled for its instruction set; null for a kind
// that is not an integer. Call them only on a CPU that has the instructions.
IntegerRun integer_run_avx2(ValueKind kind) noexcept;
IntegerRun integer_run_avx512(ValueKind kind) noexcept;
IntegerRun cents_run_avx2() noexcept;
IntegerRun cents_run_avx512() noexcept;
IntegerHashes integer_hashes_avx2(ValueKind kind) noexcept;
IntegerHashes integer_hashes_avx512(ValueKind kind) noexcept;
}  // namespace detail

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_INTEGER_LANES_HPP
