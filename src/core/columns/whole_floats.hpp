// drisk: float64 columns of whole numbers, hashed as the integers they are.
//
// A float equal to an integer is that integer's item (item_text.hpp), and
// such columns are common: an integer column that pandas turned to float64
// for one missing value, counts and identifiers exported as doubles. Rather
// than writing each value's text, a chunk of rows is converted to int64 on
// the stack and handed to the integer lanes (integer_lanes.hpp), which write
// and hash a vector of integers at a time. Rows that are not whole (or are
// NaN, or beyond the int64 range) are written as text, a batch at a time; a
// chunk of mostly such rows goes through absorb_formatted() whole, as
// before, so a column of fractions pays one comparison per row for the
// attempt.
#ifndef DRISK_COLUMNS_WHOLE_FLOATS_HPP
#define DRISK_COLUMNS_WHOLE_FLOATS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "integer_lanes.hpp"
#include "row_views.hpp"

namespace drisk::columns {

// Rows converted at a time: the int64 copy (2 KiB) stays in the first-level
// cache, and a chunk's row numbers fit in 16 bits.
constexpr std::size_t WHOLE_CHUNK = 256;

// The rows of a chunk that are not whole, as a view of their own for
// absorb_formatted(): row j is the chunk's row others[j].
struct PickedRows {
  static constexpr bool FORMATTED = true;
  NumberView<ValueKind::Float64, false> text_of;
  const std::uint16_t* others;
  std::size_t first;

  void prefetch(std::size_t) const noexcept {}
  Seen operator()(std::size_t j, ItemView& out, char* slot) const noexcept {
    return text_of(first + others[j], out, slot);
  }
};

// Inserts rows [begin, end) of the float64 values at base + r * stride
// (this machine's byte order) into core, the whole ones through `integers`
// (the vector run of int64 on this CPU); with Nullable, skips rows whose
// validity bit is clear. Returns the rows absorbed (NaN skipped) and false:
// such a column is never malformed.
template <bool Nullable>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_whole_floats(
    HyperLogLogCore& core, IntegerRun integers, const std::uint8_t* validity,
    std::int64_t validity_offset, const std::uint8_t* base, std::ptrdiff_t stride,
    std::size_t begin, std::size_t end) noexcept {
  const NumberView<ValueKind::Float64, false> text_of{base, stride};
  std::int64_t whole[WHOLE_CHUNK];
  std::uint16_t others[WHOLE_CHUNK];
  std::size_t absorbed = 0;
  for (std::size_t row = begin; row < end; row += WHOLE_CHUNK) {
    const std::size_t n = std::min(WHOLE_CHUNK, end - row);
    std::size_t k = 0;
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if constexpr (Nullable) {
        if (!bit_is_set(validity, validity_offset + static_cast<std::int64_t>(row + i))) {
          continue;
        }
      }
      const double value = load<double>(base + static_cast<std::ptrdiff_t>(row + i) * stride);
      // Below 2^63 in magnitude the conversion is exact for whole values
      // (and defined for all); NaN fails the comparison.
      const bool in_range = std::fabs(value) < 0x1p63;
      const auto integer = static_cast<std::int64_t>(in_range ? value : 0.0);
      if (in_range && static_cast<double>(integer) == value) {
        whole[k++] = integer;
      } else {
        others[m++] = static_cast<std::uint16_t>(i);
      }
    }
    if (2 * k < n) {
      // Mostly fractions: the whole chunk as text, a batch at a time.
      absorbed +=
          absorb_formatted<Nullable>(core, validity, validity_offset, row, row + n, text_of).first;
      continue;
    }
    absorbed += integers(core, reinterpret_cast<const std::uint8_t*>(whole), 0, k).first;
    if (m > 0) {
      const PickedRows picked{text_of, others, row};
      absorbed += absorb_formatted<false>(core, nullptr, 0, 0, m, picked).first;
    }
  }
  return {absorbed, false};
}

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_WHOLE_FLOATS_HPP
