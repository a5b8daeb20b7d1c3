// drisk: float64 columns of whole numbers, hashed as the integers they are.
//
// A float equal to an integer is that integer's item (item_text.hpp), and
// such columns are common: an integer column that pandas turned to float64
// for one missing value, counts and identifiers exported as doubles. Rather
// than writing each value's text, a chunk of rows is converted to int64 on
// the stack and handed to the integer lanes (integer_lanes.hpp), which write
// and hash a vector of integers at a time.
//
// Prices come next: a value that is n / 100 for an integer n below 10^15
// (exactly: the double nearest to n / 100 is the value) has repr()'s text
// n / 100 in fixed point, since no other decimal of at most fifteen digits
// reads back as the same double, and repr's digits are the fewest that do.
// Such rows go to the price lanes (integer_lanes.hpp's cents_run), which
// write and hash a vector of them at a time from n, with no shortest-digits
// search. A chunk where few rows are cents stops the test for the chunks
// after it, and a later chunk tries again.
//
// Other rows (fractions, NaN, values beyond the int64 range) are copied to
// a list of their own and written as text, through the fraction lanes
// (fraction_lanes.hpp) where the CPU has them, else a batch at a time by
// absorb_formatted(). That writer tries a fraction's short digits first
// (ShortTries, item_text.hpp); a chunk where that rarely worked (values of
// full precision: measurements, ratios) turns the try off for the chunks
// after it, and a later chunk tries again.
#ifndef DRISK_COLUMNS_WHOLE_FLOATS_HPP
#define DRISK_COLUMNS_WHOLE_FLOATS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "fraction_lanes.hpp"
#include "integer_lanes.hpp"
#include "row_views.hpp"

namespace drisk::columns {

// Rows converted at a time: the int64 copy (2 KiB) stays in the first-level
// cache, and a chunk's row numbers fit in 16 bits.
constexpr std::size_t WHOLE_CHUNK = 256;

// Chunks after one with few cents before the test is tried again; the
// same for a fraction's short digits.
constexpr unsigned CENTS_RETRY_CHUNKS = 16;
constexpr unsigned SHORT_RETRY_CHUNKS = 16;

// Row j is the float64 others[j], none of them whole, written as text (NaN
// missing), a fraction's short digits tried as `tries` says.
struct OtherFloats {
  static constexpr bool FORMATTED = true;
  const double* others;
  ShortTries* tries;

  void prefetch(std::size_t) const noexcept {}
  Seen operator()(std::size_t j, ItemView& out, char* slot) const noexcept {
    const double value = others[j];
    if (std::isnan(value)) {
      return MISSING;
    }
    // No row here is whole, so one below 2^63 in magnitude (not NaN, not
    // infinite) is a fraction: its writer is called without format_double's
    // test for whole values, done already.
    out = {slot, std::fabs(value) < 0x1p63 ? item_text_detail::format_fraction(value, slot, *tries)
                                           : format_double(value, slot, *tries)};
    return ABSORBED;
  }
};

// After a chunk whose `fractions` rows were written with short digits
// tried: when fewer than half of them had such digits, the chunks after it
// go straight to the shortest-digits search.
inline void judge_short_tries(const ShortTries& tries, std::size_t fractions,
                              unsigned& skip_short) noexcept {
  if (tries.enabled && 2 * tries.hits < fractions) {
    skip_short = SHORT_RETRY_CHUNKS;
  }
}

// The vector runs a float64 column goes through: the whole values (as
// int64), the prices (cents_run) and, where the CPU has them, the other
// values (fraction_run) and the split of a chunk (float_split), which may
// be null.
struct FloatLanes {
  IntegerRun integers;
  IntegerRun prices;
  IntegerRun fractions;
  FloatSplit split;
};

// Inserts rows [begin, end) of the float64 values at base + r * stride
// (this machine's byte order) into core through `lanes`; with Nullable,
// skips rows whose validity bit is clear. Returns the rows absorbed (NaN
// skipped) and false: such a column is never malformed.
template <bool Nullable>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_whole_floats(
    HyperLogLogCore& core, const FloatLanes& lanes, const std::uint8_t* validity,
    std::int64_t validity_offset, const std::uint8_t* base, std::ptrdiff_t stride,
    std::size_t begin, std::size_t end) noexcept {
  ShortTries tries;
  // Room for a vector more: float_split stores whole vectors.
  std::int64_t whole[WHOLE_CHUNK + 8];
  std::int64_t cents[WHOLE_CHUNK];
  double others[WHOLE_CHUNK + 8];
  std::size_t absorbed = 0;
  unsigned skip_cents = 0;  // chunks left before cents are tried again
  unsigned skip_short = 0;  // the same for short digits
  bool mixed = false;       // the last chunk had whole rows and others
  for (std::size_t row = begin; row < end; row += WHOLE_CHUNK) {
    const std::size_t n = std::min(WHOLE_CHUNK, end - row);
    const bool try_cents = skip_cents == 0;
    skip_cents -= skip_cents > 0 ? 1 : 0;
    tries = {skip_short == 0, 0};
    skip_short -= skip_short > 0 ? 1 : 0;
    std::size_t k = 0;
    std::size_t c = 0;
    std::size_t m = 0;
    const bool split = !Nullable && !try_cents && lanes.split != nullptr &&
                       stride == static_cast<std::ptrdiff_t>(sizeof(double));
    if (split) {
      k = lanes.split(base + static_cast<std::ptrdiff_t>(row) * stride, n, whole, others);
      m = n - k;
    }
    for (std::size_t i = 0; i < n && !split; ++i) {
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
      const bool is_whole = in_range && static_cast<double>(integer) == value;
      if (!try_cents && mixed) {
        // Whole or not is a coin toss in columns like the last chunk (n / 7
        // is whole one time in seven): both lists are written and one count
        // moves, rather than a branch mispredicted that often.
        whole[k] = integer;
        others[m] = value;
        k += is_whole ? 1 : 0;
        m += is_whole ? 0 : 1;
        continue;
      }
      if (is_whole) {
        whole[k++] = integer;
        continue;
      }
      if (try_cents && std::fabs(value) < 1e13) {
        // n below 10^15, so exact as a double; the division is rounded
        // correctly, so equality means the value is the double nearest n / 100.
        // n is rounded by conversion, half away from zero (llrint is a call
        // into the C library): when the value is some n / 100, value x 100
        // is within 0.1 of n (half an ulp of a value below 10^13 is under
        // 0.001, times 100), and the product and the added half each round
        // by at most 0.0625 (half an ulp below 2^50), so the truncation
        // lands on n; a wrong neighbour of any other value fails the check.
        const auto hundredths =
            static_cast<std::int64_t>(value * 100.0 + std::copysign(0.5, value));
        if (static_cast<double>(hundredths) / 100.0 == value) {
          cents[c++] = hundredths;
          continue;
        }
      }
      others[m++] = value;
    }
    if (try_cents && 2 * c < n) {
      skip_cents = CENTS_RETRY_CHUNKS;
    }
    mixed = k > 0 && m > 0;
    if (k > 0) {
      absorbed += lanes.integers(core, reinterpret_cast<const std::uint8_t*>(whole), 0, k).first;
    }
    if (c > 0) {
      absorbed += lanes.prices(core, reinterpret_cast<const std::uint8_t*>(cents), 0, c).first;
    }
    if (m > 0 && lanes.fractions != nullptr) {
      absorbed += lanes.fractions(core, reinterpret_cast<const std::uint8_t*>(others), 0, m).first;
    } else if (m > 0) {
      const OtherFloats text_of{others, &tries};
      absorbed += absorb_formatted<false>(core, nullptr, 0, 0, m, text_of).first;
      judge_short_tries(tries, m, skip_short);
    }
  }
  return {absorbed, false};
}

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_WHOLE_FLOATS_HPP
