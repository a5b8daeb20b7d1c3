// drisk: float64 fractions written and hashed in eight 64-bit lanes, for
// CPUs with AVX-512 F, DQ, BW and CD.
//
// A fraction's item is repr()'s text (item_text.hpp): its shortest digits,
// laid out in fixed point from 10^-4 up. A row at a time that is some 30 ns
// (the digits search, the writing and the hash, each a chain of dependent
// multiplies); here every step runs in the lanes, eight values at a time:
//
//   digits   float_text.hpp's Schubfach, step for step: the boundaries
//            scaled by 10^-k (the multiplier looked up by permutes from a
//            table of the 64 binary exponents served), the 64 x 64-bit
//            product made of four 32-bit ones, the candidates chosen with
//            masks. The result has 16 or 17 digits, scaled to 17.
//   text     the 17 digits split by 10^16 and 10^8 (a quotient in doubles,
//            corrected once), two groups of eight ASCII digits (as the
//            integer lanes make them), then laid out in three words: the
//            point inserted, or "0." and zeros put before, then the sign.
//            Trailing zeros are counted (a leading-zero count of the digit
//            groups), not removed: the length leaves them out.
//   hash     XXH3_64bits of 9 to 32 bytes, both of its paths computed (9 to
//            16 bytes: the first and last words, one 128-bit product; 17 to
//            32: the first two words and the last two, two products) and
//            the one for the length kept, then the avalanche.
//
// Served: normal doubles from 2^-12 to below 2^52 (fixed notation, 0.000244
// up; from 2^52 every double is whole) that are not powers of two (whose
// lower rounding gap is the smaller, float_text.hpp's LowerCloser), not
// whole, and whose text has at least nine bytes. Other lanes (NaN, infinities, tiny and
// huge values, short texts such as "0.5") go through format_double() a row
// at a time, as do the last rows that do not fill two vectors.
//
// Each step is a chain of some hundred dependent instructions, which no
// out-of-order window holds twice over: two vectors are run side by side,
// and GCC is asked (CMakeLists.txt) to schedule the file's instructions,
// which interleaves the two chains. Together they took the column from 30
// to some 7 ns a value.
//
// This file is compiled with -mavx512f -mavx512dq -mavx512bw -mavx512cd and
// called only on a CPU that has them (integer_lanes.cpp); like the integer
// lanes, it is flattened so that no shared inline function is emitted here
// out of line.
#include "avx512_file.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "avx512_lanes.hpp"
#include "float_text.hpp"
#include "fraction_lanes.hpp"
#include "insert.hpp"
#include "item_text.hpp"
#include "row_views.hpp"

namespace drisk::columns {
namespace {

using namespace float_text_detail;

constexpr std::size_t BATCH = 64;  // hashes kept before they are inserted

// The binary exponents served: biased 1011 (2^-12, the first above 10^-4)
// to 1074 (2^51), one table row each.
constexpr int FIRST_BIASED = 1011;
constexpr int ROWS = 64;
constexpr int BIAS_AND_WIDTH = 1075;  // exponent bias 1023 + 52 fraction bits

// Per row, g (10^-k rounded up, float_text.hpp) for the row's binary
// exponent q: k = floor(q log10(2)), from -20 to -1 here. Those g are 10^1
// to 10^20 exactly, 5^-k < 2^64 shifted to the top of 128 bits: their low
// words are zero (checked below), so only the high words are kept, and
// the products and sums below are of 128 bits, not 192.
struct Multipliers {
  std::uint64_t high[ROWS];
};

constexpr Multipliers make_multipliers() noexcept {
  Multipliers table{};
  for (int row = 0; row < ROWS; ++row) {
    const int k = floor_log10_pow2(FIRST_BIASED + row - BIAS_AND_WIDTH);
    table.high[row] = POW10[-k - POW10_E_MIN][0];
  }
  return table;
}

constexpr bool low_words_are_zero() noexcept {
  for (int row = 0; row < ROWS; ++row) {
    if (POW10[-floor_log10_pow2(FIRST_BIASED + row - BIAS_AND_WIDTH) - POW10_E_MIN][1] != 0) {
      return false;
    }
  }
  return true;
}
static_assert(low_words_are_zero());

alignas(64) constexpr Multipliers MULTIPLIERS = make_multipliers();

// table[row] in each lane, rows below 64: four two-register permutes of
// sixteen rows each, and a choice among them by bits 4 and 5 of the row. (A
// gather takes several times longer.)
[[gnu::always_inline]] inline __m512i look_up(const std::uint64_t* table, __m512i row) noexcept {
  const auto* t = reinterpret_cast<const __m512i*>(table);
  const __m512i rows_0 =
      _mm512_permutex2var_epi64(_mm512_load_si512(t), row, _mm512_load_si512(t + 1));
  const __m512i rows_16 =
      _mm512_permutex2var_epi64(_mm512_load_si512(t + 2), row, _mm512_load_si512(t + 3));
  const __m512i rows_32 =
      _mm512_permutex2var_epi64(_mm512_load_si512(t + 4), row, _mm512_load_si512(t + 5));
  const __m512i rows_48 =
      _mm512_permutex2var_epi64(_mm512_load_si512(t + 6), row, _mm512_load_si512(t + 7));
  const __mmask8 bit4 = _mm512_test_epi64_mask(row, splat(16));
  const __mmask8 bit5 = _mm512_test_epi64_mask(row, splat(32));
  return _mm512_mask_mov_epi64(_mm512_mask_mov_epi64(rows_0, bit4, rows_16), bit5,
                               _mm512_mask_mov_epi64(rows_32, bit4, rows_48));
}

// float_text.hpp's Wide192 in lanes, its low word zero (see above): the
// sum, difference and rounding of the upper two.
struct Wide {
  __m512i high;
  __m512i middle;
};

[[gnu::always_inline]] inline Wide plus(Wide a, Wide b) noexcept {
  const __m512i middle = _mm512_add_epi64(a.middle, b.middle);
  const __mmask8 carry = _mm512_cmplt_epu64_mask(middle, a.middle);
  const __m512i high = _mm512_add_epi64(a.high, b.high);
  return {_mm512_mask_add_epi64(high, carry, high, splat(1)), middle};
}

[[gnu::always_inline]] inline Wide minus(Wide a, Wide b) noexcept {
  const __mmask8 borrow = _mm512_cmplt_epu64_mask(a.middle, b.middle);
  const __m512i high = _mm512_sub_epi64(a.high, b.high);
  return {_mm512_mask_sub_epi64(high, borrow, high, splat(1)),
          _mm512_sub_epi64(a.middle, b.middle)};
}

[[gnu::always_inline]] inline __m512i round_to_odd(Wide w) noexcept {
  return _mm512_mask_or_epi64(w.high, _mm512_test_epi64_mask(w.middle, w.middle), w.high, splat(1));
}

std::uint64_t secret_word(int at) noexcept { return XXH_readLE64(XXH3_kSecret + at); }

// XXH3_64bits of repr() of the eight doubles whose bits are `bits`, into
// `hashes`; returns the mask of the lanes served (see above). The other
// lanes' hashes mean nothing.
[[gnu::always_inline]] inline __mmask8 hash_fractions(__m512i bits, __m512i& hashes) noexcept {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i one = splat(1);
  const __m512i all = splat(~std::uint64_t{0});
  // The value c 2^q, c with its hidden bit.
  const __m512i fraction = _mm512_and_si512(bits, splat((std::uint64_t{1} << 52) - 1));
  const __m512i biased = _mm512_and_si512(_mm512_srli_epi64(bits, 52), splat(0x7FF));
  const __m512i row = _mm512_sub_epi64(biased, splat(FIRST_BIASED));
  __mmask8 served =
      _mm512_cmplt_epu64_mask(row, splat(ROWS)) & _mm512_test_epi64_mask(fraction, fraction);
  const __mmask8 negative = _mm512_movepi64_mask(bits);
  const __m512i c = _mm512_or_si512(fraction, splat(std::uint64_t{1} << 52));
  const __m512i q = _mm512_sub_epi64(biased, splat(BIAS_AND_WIDTH));
  const __m512i out = _mm512_and_si512(c, one);  // odd: boundaries excluded
  // k and h as floor_log10_pow2 and floor_log2_pow10 compute them.
  const __m512i k = _mm512_srai_epi64(_mm512_mullo_epi64(q, splat(661971961083)), 41);
  const __m512i h = _mm512_add_epi64(
      _mm512_add_epi64(q, one),
      _mm512_srai_epi64(_mm512_mullo_epi64(_mm512_sub_epi64(zero, k), splat(913124641741)), 38));
  const __m512i g = look_up(MULTIPLIERS.high, row);
  // The middle product g (cb << h), cb = c << 2, and the gap g << (h + 1).
  const Product product = multiply(g, _mm512_sllv_epi64(c, _mm512_add_epi64(h, splat(2))));
  const Wide middle{product.high, product.low};
  const Wide gap{_mm512_srlv_epi64(g, _mm512_sub_epi64(splat(63), h)),
                 _mm512_sllv_epi64(g, _mm512_add_epi64(h, one))};
  const __m512i vb = round_to_odd(middle);
  const __m512i vbl_out = _mm512_add_epi64(round_to_odd(minus(middle, gap)), out);
  const __m512i vbr = round_to_odd(plus(middle, gap));
  // The candidates s and s + 1, then s / 10 x 10 and the ten above it.
  const __m512i s = _mm512_srli_epi64(vb, 2);
  const __m512i t = _mm512_add_epi64(s, one);
  const __mmask8 u_inside = _mm512_cmple_epu64_mask(vbl_out, _mm512_slli_epi64(s, 2));
  const __mmask8 w_inside =
      _mm512_cmple_epu64_mask(_mm512_add_epi64(_mm512_slli_epi64(t, 2), out), vbr);
  const __m512i cmp = _mm512_sub_epi64(vb, _mm512_slli_epi64(_mm512_add_epi64(s, t), 1));
  const __mmask8 closer_up = _mm512_cmpgt_epi64_mask(cmp, zero) |
                             (_mm512_cmpeq_epi64_mask(cmp, zero) & _mm512_test_epi64_mask(s, one));
  const __mmask8 either = u_inside ^ w_inside;
  const __mmask8 round_up = (closer_up & ~either) | (w_inside & either);
  __m512i digits = _mm512_mask_add_epi64(s, round_up, s, one);
  const __m512i sp10 = _mm512_mullo_epi64(
      _mm512_srli_epi64(multiply(s, splat(0xCCCCCCCCCCCCCCCDULL)).high, 3), splat(10));
  const __mmask8 up10_inside = _mm512_cmple_epu64_mask(vbl_out, _mm512_slli_epi64(sp10, 2));
  const __mmask8 wp10_inside = _mm512_cmple_epu64_mask(
      _mm512_add_epi64(_mm512_slli_epi64(_mm512_add_epi64(sp10, splat(10)), 2), out), vbr);
  const __mmask8 fewer = up10_inside ^ wp10_inside;  // s >= 10 always
  digits = _mm512_mask_mov_epi64(
      digits, fewer,
      _mm512_mask_add_epi64(sp10, static_cast<__mmask8>(~up10_inside), sp10, splat(10)));
  // Seventeen digits, and the digits before the point.
  const __mmask8 sixteen = _mm512_cmplt_epu64_mask(digits, splat(10000000000000000ULL));
  digits = _mm512_mask_mullo_epi64(digits, sixteen, digits, splat(10));
  const __m512i point = _mm512_mask_sub_epi64(_mm512_add_epi64(k, splat(17)), sixteen,
                                              _mm512_add_epi64(k, splat(17)), one);
  // lead | high | low, 1 + 8 + 8 digits; the two divisions side by side.
  __m512i below_lead;
  __m512i low;
  const __m512i lead = floor_divide(digits, 10000000000000000, below_lead);
  const __m512i top = floor_divide(digits, 100000000, low);
  const __m512i high = _mm512_sub_epi64(top, _mm512_mullo_epi64(lead, splat(100000000)));
  const __m512i high_digits = eight_digit_values(high);
  const __m512i low_digits = eight_digit_values(low);
  // Trailing zero digits are zero bytes at the top of the groups.
  const __m512i trailing =
      _mm512_add_epi64(_mm512_srli_epi64(_mm512_lzcnt_epi64(low_digits), 3),
                       _mm512_maskz_srli_epi64(_mm512_testn_epi64_mask(low_digits, low_digits),
                                               _mm512_lzcnt_epi64(high_digits), 3));
  // The 17 ASCII digits in three words, the first in the lowest byte.
  const __m512i ascii_high = _mm512_add_epi64(high_digits, splat(0x3030303030303030ULL));
  const __m512i ascii_low = _mm512_add_epi64(low_digits, splat(0x3030303030303030ULL));
  const __m512i w0 =
      _mm512_or_si512(_mm512_add_epi64(lead, splat('0')), _mm512_slli_epi64(ascii_high, 8));
  const __m512i w1 =
      _mm512_or_si512(_mm512_srli_epi64(ascii_high, 56), _mm512_slli_epi64(ascii_low, 8));
  const __m512i w2 = _mm512_srli_epi64(ascii_low, 56);
  // The point after digit `point` (1 to 16); 24, past the text, for values
  // below one, which get "0." before their digits instead. Bytes below the
  // point stay, the others move up one byte.
  const __mmask8 at_least_one = _mm512_cmpgt_epi64_mask(point, zero);
  const __m512i at = _mm512_mask_mov_epi64(splat(24), at_least_one, point);
  const auto below_point = [&](int word) noexcept {
    const __m512i bytes =
        _mm512_min_epi64(_mm512_max_epi64(_mm512_sub_epi64(at, splat(8 * word)), zero), splat(8));
    return _mm512_srlv_epi64(all, _mm512_sub_epi64(splat(64), _mm512_slli_epi64(bytes, 3)));
  };
  const auto dot = [&](int word) noexcept {
    return _mm512_sllv_epi64(splat('.'),
                             _mm512_slli_epi64(_mm512_sub_epi64(at, splat(8 * word)), 3));
  };
  const __m512i keep0 = below_point(0);
  const __m512i keep1 = below_point(1);
  const __m512i keep2 = below_point(2);
  const __m512i move0 = _mm512_andnot_si512(keep0, w0);
  const __m512i move1 = _mm512_andnot_si512(keep1, w1);
  const __m512i move2 = _mm512_andnot_si512(keep2, w2);
  const __m512i p0 = _mm512_or_si512(
      _mm512_or_si512(_mm512_and_si512(w0, keep0), _mm512_slli_epi64(move0, 8)), dot(0));
  const __m512i p1 = _mm512_or_si512(
      _mm512_or_si512(_mm512_and_si512(w1, keep1),
                      _mm512_or_si512(_mm512_slli_epi64(move1, 8), _mm512_srli_epi64(move0, 56))),
      dot(1));
  const __m512i p2 = _mm512_or_si512(
      _mm512_or_si512(_mm512_and_si512(w2, keep2),
                      _mm512_or_si512(_mm512_slli_epi64(move2, 8), _mm512_srli_epi64(move1, 56))),
      dot(2));
  // Then the prefix: a '-' for negatives, "0." and -point zeros below one;
  // the text moves up by its length (0 to 6 bytes).
  __m512i prefix_length =
      _mm512_maskz_sub_epi64(static_cast<__mmask8>(~at_least_one), splat(2), point);
  prefix_length = _mm512_mask_add_epi64(prefix_length, negative, prefix_length, one);
  const __m512i shift = _mm512_slli_epi64(prefix_length, 3);
  const __m512i back = _mm512_sub_epi64(splat(64), shift);
  const __m512i prefix = _mm512_and_si512(
      _mm512_mask_mov_epi64(splat(0x3030303030302E30ULL), negative, splat(0x30303030302E302DULL)),
      _mm512_srlv_epi64(all, back));
  const __m512i x0 = _mm512_or_si512(_mm512_sllv_epi64(p0, shift), prefix);
  const __m512i x1 = _mm512_or_si512(_mm512_sllv_epi64(p1, shift), _mm512_srlv_epi64(p0, back));
  const __m512i x2 = _mm512_or_si512(_mm512_sllv_epi64(p2, shift), _mm512_srlv_epi64(p1, back));
  // The text's length: prefix, significant digits, point.
  __m512i length = _mm512_sub_epi64(_mm512_add_epi64(prefix_length, splat(17)), trailing);
  length = _mm512_mask_add_epi64(length, at_least_one, length, one);
  // A whole value (which the caller keeps from here) would have no digit
  // after its point: such lanes are left to format_double too.
  const __m512i significant = _mm512_sub_epi64(splat(17), trailing);
  served &= _mm512_cmpge_epu64_mask(length, splat(9)) &
            (static_cast<__mmask8>(~at_least_one) | _mm512_cmpgt_epi64_mask(significant, point));
  // The word at byte `offset` (0 to 15) of the text.
  const auto word_at = [&](__m512i offset) noexcept {
    const __mmask8 second = _mm512_cmpge_epu64_mask(offset, splat(8));
    const __m512i bit = _mm512_slli_epi64(_mm512_and_si512(offset, splat(7)), 3);
    const __m512i from = _mm512_mask_mov_epi64(x0, second, x1);
    const __m512i next = _mm512_mask_mov_epi64(x1, second, x2);
    return _mm512_or_si512(_mm512_srlv_epi64(from, bit),
                           _mm512_sllv_epi64(next, _mm512_sub_epi64(splat(64), bit)));
  };
  const __m512i last = word_at(_mm512_sub_epi64(length, splat(8)));
  const __m512i before_last = word_at(_mm512_sub_epi64(length, splat(16)));
  const __mmask8 long_text = _mm512_cmpge_epu64_mask(length, splat(17));
  // 17 to 32 bytes: len x PRIME64_1 + fold(w0 ^ s0, w1 ^ s8) +
  // fold(w[len-16] ^ s16, w[len-8] ^ s24). 9 to 16 bytes: len + swap(lo) +
  // hi + fold(lo, hi), lo = w0 ^ (s24 ^ s32), hi = w[len-8] ^ (s40 ^ s48).
  // The second fold serves both.
  const __m512i first_fold = multiply_fold(_mm512_xor_si512(x0, splat(secret_word(0))),
                                           _mm512_xor_si512(x1, splat(secret_word(8))));
  const __m512i a =
      _mm512_mask_mov_epi64(_mm512_xor_si512(x0, splat(secret_word(24) ^ secret_word(32))),
                            long_text, _mm512_xor_si512(before_last, splat(secret_word(16))));
  const __m512i b =
      _mm512_xor_si512(last, _mm512_mask_mov_epi64(splat(secret_word(40) ^ secret_word(48)),
                                                   long_text, splat(secret_word(24))));
  const __m512i second_fold = multiply_fold(a, b);
  // The byte order of each 64-bit lane reversed (shuffles work within 128
  // bits, so the pattern repeats per 16 bytes).
  const __m512i reverse = _mm512_set4_epi32(0x08090A0B, 0x0C0D0E0F, 0x00010203, 0x04050607);
  const __m512i short_sum = _mm512_add_epi64(
      _mm512_add_epi64(length, _mm512_shuffle_epi8(a, reverse)), _mm512_add_epi64(b, second_fold));
  const __m512i long_sum = _mm512_add_epi64(_mm512_mullo_epi64(length, splat(XXH_PRIME64_1)),
                                            _mm512_add_epi64(first_fold, second_fold));
  const __m512i acc = _mm512_mask_mov_epi64(short_sum, long_text, long_sum);
  hashes = xxh3_avalanche(acc);
  return served;
}

// One double a row at a time: NaN skipped, anything else its text.
[[gnu::always_inline]] inline std::size_t insert_one(double value, std::uint8_t* registers,
                                                     unsigned p) noexcept {
  if (value != value) {
    return 0;
  }
  char text[ITEM_TEXT_CAPACITY];
  insert(registers, p, text, format_double(value, text));
  return 1;
}

// Rows [begin, end) of the contiguous float64 values at base, none of them
// whole: see fraction_lanes.hpp.
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_fractions(HyperLogLogCore& core,
                                                               const std::uint8_t* base,
                                                               std::size_t begin,
                                                               std::size_t end) noexcept {
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  const auto value_at = [&](std::size_t row) noexcept { return load<double>(base + row * 8); };
  alignas(64) std::uint64_t hashes[BATCH + 16];
  std::size_t absorbed = 0;
  std::size_t row = begin;
  while (row + 16 <= end) {
    std::size_t hashed = 0;
    for (; row + 16 <= end && hashed < BATCH; row += 16) {
      __m512i first_hashes;
      __m512i second_hashes;
      const __mmask8 first = hash_fractions(_mm512_loadu_si512(base + row * 8), first_hashes);
      const __mmask8 second =
          hash_fractions(_mm512_loadu_si512(base + (row + 8) * 8), second_hashes);
      // Compressed in registers and stored whole: a compressing store to
      // memory is microcoded, and slow, on some CPUs (Zen 4).
      _mm512_storeu_si512(hashes + hashed, _mm512_maskz_compress_epi64(first, first_hashes));
      hashed += static_cast<std::size_t>(std::popcount(first));
      _mm512_storeu_si512(hashes + hashed, _mm512_maskz_compress_epi64(second, second_hashes));
      hashed += static_cast<std::size_t>(std::popcount(second));
      const unsigned others = ~(first | static_cast<unsigned>(second) << 8) & 0xFFFF;
      for (unsigned left = others; left != 0; left &= left - 1) {
        absorbed += insert_one(value_at(row + static_cast<std::size_t>(std::countr_zero(left))),
                               registers, p);
      }
    }
    for (std::size_t k = 0; k < hashed; ++k) {
      insert_hash(registers, p, hashes[k]);
    }
    absorbed += hashed;
  }
  for (; row < end; ++row) {
    absorbed += insert_one(value_at(row), registers, p);
  }
  return {absorbed, false};
}

// The n contiguous float64 at base, split as fraction_lanes.hpp says.
std::size_t split_floats(const std::uint8_t* base, std::size_t n, std::int64_t* whole,
                         double* others) noexcept {
  std::size_t k = 0;
  std::size_t m = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m512d values = _mm512_loadu_pd(base + i * 8);
    // Below 2^63 in magnitude the conversion is exact for whole values;
    // NaN fails both comparisons.
    const __mmask8 in_range =
        _mm512_cmp_pd_mask(_mm512_abs_pd(values), _mm512_set1_pd(0x1p63), _CMP_LT_OQ);
    const __m512i integers = _mm512_maskz_cvttpd_epi64(in_range, values);
    const __mmask8 is_whole =
        in_range & _mm512_cmp_pd_mask(_mm512_cvtepi64_pd(integers), values, _CMP_EQ_OQ);
    _mm512_storeu_si512(whole + k, _mm512_maskz_compress_epi64(is_whole, integers));
    k += static_cast<std::size_t>(std::popcount(is_whole));
    const auto other = static_cast<__mmask8>(~is_whole);
    _mm512_storeu_pd(others + m, _mm512_maskz_compress_pd(other, values));
    m += static_cast<std::size_t>(std::popcount(other));
  }
  for (; i < n; ++i) {
    const double value = load<double>(base + i * 8);
    const bool in_range = std::fabs(value) < 0x1p63;
    const auto integer = static_cast<std::int64_t>(in_range ? value : 0.0);
    if (in_range && static_cast<double>(integer) == value) {
      whole[k++] = integer;
    } else {
      others[m++] = value;
    }
  }
  return k;
}

}  // namespace

IntegerRun detail::fraction_run_avx512() noexcept { return absorb_fractions; }

FloatSplit detail::float_split_avx512() noexcept { return split_floats; }

}  // namespace drisk::columns
