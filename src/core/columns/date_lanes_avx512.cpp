// drisk: date32 (and NumPy datetime64[D]) columns in eight 64-bit lanes,
// for CPUs with AVX-512 F, DQ and BW.
//
// A date's item is date.isoformat(), "YYYY-MM-DD" (item_text.hpp). The row
// views write it from the day count with 32-bit calendar arithmetic and hash
// the ten bytes straight from registers (item_time.hpp's short_date,
// value_views.hpp's hash_short_date); for a column of unsorted dates that is
// some 8 ns a row, most of it a chain of multiplies that the lanes can run
// eight at a time. Here each step of that arithmetic is done in the lanes:
//
//   calendar   C. Neri and L. Schneider's, as short_date does it, each
//              division by a constant a multiply and a shift, exact over the
//              days of 0000-03-01 to 9999-12-31 (checked for every day):
//                n1 / 146097        = n1 * 30103606 >> 42      (n1 < 2^24)
//                (p2 mod 2^32) / 4 / 2939745
//                                   = (p2 mod 2^32 >> 2) * 1531969483 >> 52
//                (n3 mod 2^16) / 2141 = (n3 mod 2^16) * 31345 >> 26
//   text       four pairs of ASCII digits (tens by v * 103 >> 10), placed
//              in a word "YYYY-MM-" and a tail "DD";
//   hash       XXH3_64bits of ten bytes (XXH3_len_9to16_64b, seed 0): the
//              first and the last eight bytes, xored with the secret, the
//              128-bit product of the two folded to 64 bits (four 32-bit
//              products here, there being no 64-bit high multiply), and the
//              avalanche.
//
// Vectors with a date outside those years (or, in the last rows, fewer than
// eight) go through the row view's own code, a row at a time. A vector equal
// in every lane to the row before it is skipped: a sorted column repeats
// its dates, and an item inserted again changes nothing. The hashes are kept
// for a batch and inserted after it, as the integer lanes do.
//
// This file is compiled with -mavx512f -mavx512dq -mavx512bw and called only
// on a CPU that has them (integer_lanes.cpp); like the integer lanes, it is
// flattened so that no shared inline function is emitted here out of line.
#include "avx512_file.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "date_lanes.hpp"
#include "insert.hpp"
#include "row_views.hpp"
#include "value_views.hpp"

namespace drisk::columns {
namespace {

constexpr std::size_t BATCH = 64;  // hashes kept before they are inserted
constexpr std::int64_t FIRST_DAY = -item_time_detail::DAYS_FROM_MARCH_OF_YEAR_0;  // 0000-03-01
constexpr std::int64_t LAST_DAY = item_time_detail::LAST_DAY_OF_9999;

__m512i splat(std::uint64_t x) noexcept { return _mm512_set1_epi64(static_cast<long long>(x)); }

// The ASCII digits of v < 100 in each lane: tens in the low byte.
__m512i digit_pair(__m512i v) noexcept {
  const __m512i tens = _mm512_srli_epi64(_mm512_mullo_epi64(v, splat(103)), 10);
  const __m512i ones = _mm512_sub_epi64(v, _mm512_mullo_epi64(tens, splat(10)));
  return _mm512_add_epi64(_mm512_or_si512(tens, _mm512_slli_epi64(ones, 8)), splat(0x3030));
}

// The low and high halves of the 128-bit product a x b, xored (XXH3's
// mul128_fold64), from four 32 x 32-bit products.
__m512i multiply_fold(__m512i a, __m512i b) noexcept {
  const __m512i low32 = splat(0xFFFFFFFF);
  const __m512i a_high = _mm512_srli_epi64(a, 32);
  const __m512i b_high = _mm512_srli_epi64(b, 32);
  const __m512i ll = _mm512_mul_epu32(a, b);
  const __m512i lh = _mm512_mul_epu32(a, b_high);
  const __m512i hl = _mm512_mul_epu32(a_high, b);
  const __m512i hh = _mm512_mul_epu32(a_high, b_high);
  // Bits 32 to 95 of the product, before their carry into the high half.
  const __m512i middle =
      _mm512_add_epi64(_mm512_add_epi64(_mm512_srli_epi64(ll, 32), _mm512_and_si512(lh, low32)),
                       _mm512_and_si512(hl, low32));
  const __m512i low = _mm512_or_si512(_mm512_and_si512(ll, low32), _mm512_slli_epi64(middle, 32));
  const __m512i high =
      _mm512_add_epi64(_mm512_add_epi64(hh, _mm512_srli_epi64(lh, 32)),
                       _mm512_add_epi64(_mm512_srli_epi64(hl, 32), _mm512_srli_epi64(middle, 32)));
  return _mm512_xor_si512(low, high);
}

// XXH3_64bits of date.isoformat() for eight days from 0000-03-01 to
// 9999-12-31 (see above).
__m512i hash_dates(__m512i days) noexcept {
  const __m512i n1 =
      _mm512_add_epi64(_mm512_slli_epi64(_mm512_add_epi64(days, splat(-FIRST_DAY)), 2), splat(3));
  const __m512i century = _mm512_srli_epi64(_mm512_mul_epu32(n1, splat(30103606)), 42);
  const __m512i day_of_century =
      _mm512_srli_epi64(_mm512_sub_epi64(n1, _mm512_mul_epu32(century, splat(146097))), 2);
  const __m512i p2 = _mm512_mul_epu32(
      _mm512_add_epi64(_mm512_slli_epi64(day_of_century, 2), splat(3)), splat(2939745));
  const __m512i year_of_century = _mm512_srli_epi64(p2, 32);
  const __m512i day_of_year = _mm512_srli_epi64(
      _mm512_mul_epu32(_mm512_srli_epi64(_mm512_and_si512(p2, splat(0xFFFFFFFF)), 2),
                       splat(1531969483)),
      52);
  const __m512i n3 = _mm512_add_epi64(_mm512_mullo_epi64(day_of_year, splat(2141)), splat(197913));
  const __mmask8 january_or_february = _mm512_cmpge_epu64_mask(day_of_year, splat(306));
  __m512i year = _mm512_add_epi64(_mm512_mullo_epi64(century, splat(100)), year_of_century);
  year = _mm512_mask_add_epi64(year, january_or_february, year, splat(1));
  __m512i month = _mm512_srli_epi64(n3, 16);
  month = _mm512_mask_sub_epi64(month, january_or_february, month, splat(12));
  const __m512i day = _mm512_add_epi64(
      _mm512_srli_epi64(_mm512_mul_epu32(_mm512_and_si512(n3, splat(0xFFFF)), splat(31345)), 26),
      splat(1));
  const __m512i hundreds = _mm512_srli_epi64(_mm512_mullo_epi64(year, splat(5243)), 19);
  const __m512i below_hundred = _mm512_sub_epi64(year, _mm512_mullo_epi64(hundreds, splat(100)));
  const __m512i dashes = splat(std::uint64_t{'-'} << 32 | std::uint64_t{'-'} << 56);
  const __m512i head = _mm512_or_si512(
      _mm512_or_si512(digit_pair(hundreds), _mm512_slli_epi64(digit_pair(below_hundred), 16)),
      _mm512_or_si512(dashes, _mm512_slli_epi64(digit_pair(month), 40)));
  const __m512i tail = digit_pair(day);
  // XXH3 of 9 to 16 bytes: the first eight and the last eight (bytes 2 to 9).
  const __m512i low = _mm512_xor_si512(
      head, splat(XXH_readLE64(XXH3_kSecret + 24) ^ XXH_readLE64(XXH3_kSecret + 32)));
  const __m512i high =
      _mm512_xor_si512(_mm512_or_si512(_mm512_srli_epi64(head, 16), _mm512_slli_epi64(tail, 48)),
                       splat(XXH_readLE64(XXH3_kSecret + 40) ^ XXH_readLE64(XXH3_kSecret + 48)));
  // The byte order of each 64-bit lane reversed (shuffles work within 128
  // bits, so the pattern repeats per 16 bytes).
  const __m512i reverse = _mm512_set4_epi32(0x08090A0B, 0x0C0D0E0F, 0x00010203, 0x04050607);
  const __m512i swapped = _mm512_shuffle_epi8(low, reverse);
  __m512i acc = _mm512_add_epi64(_mm512_add_epi64(splat(10), swapped),
                                 _mm512_add_epi64(high, multiply_fold(low, high)));
  acc = _mm512_xor_si512(acc, _mm512_srli_epi64(acc, 37));
  acc = _mm512_mullo_epi64(acc, splat(0x165667919E3779F9ULL));
  return _mm512_xor_si512(acc, _mm512_srli_epi64(acc, 32));
}

// Eight day counts of type T from `at`, widened to 64 bits.
template <class T>
__m512i load_days(const std::uint8_t* at) noexcept {
  if constexpr (sizeof(T) == 4) {
    return _mm512_cvtepi32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
  } else {
    return _mm512_loadu_si512(at);
  }
}

// Rows [begin, end) of contiguous day counts of type T (int32 for Arrow
// date32; int64 for NumPy datetime64[D], whose NaT is missing), inserted as
// dates. A NaT is outside the years served, so its vector takes the row
// view, which skips it.
template <class T, bool Nat>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_dates(HyperLogLogCore& core,
                                                           const std::uint8_t* base,
                                                           std::size_t begin,
                                                           std::size_t end) noexcept {
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  const __m512i first_day = splat(static_cast<std::uint64_t>(FIRST_DAY));
  const __m512i last_day = splat(LAST_DAY);
  DateView<T, 1, Nat> rows{{base, sizeof(T)}};
  alignas(64) std::uint64_t hashes[BATCH];
  __m512i previous = _mm512_set1_epi64(INT64_MIN);  // no day served is this
  std::size_t absorbed = 0;
  std::size_t row = begin;
  while (row + 8 <= end) {
    std::size_t hashed = 0;
    for (; row + 8 <= end && hashed < BATCH; row += 8) {
      __builtin_prefetch(base + (row + 256) * sizeof(T));
      const __m512i days = load_days<T>(base + row * sizeof(T));
      const __mmask8 short_dates =
          _mm512_cmpge_epi64_mask(days, first_day) & _mm512_cmple_epi64_mask(days, last_day);
      if (short_dates == 0xFF && _mm512_cmpeq_epi64_mask(days, previous) == 0xFF) {
        absorbed += 8;
        continue;  // the same date as the row before, eight times
      }
      previous = _mm512_permutexvar_epi64(splat(7), days);
      if (short_dates == 0xFF) {
        _mm512_store_si512(hashes + hashed, hash_dates(days));
        hashed += 8;
      } else {
        for (std::size_t r = row; r < row + 8; ++r) {
          absorbed += static_cast<std::size_t>(rows.insert_row(r, registers, p));
        }
      }
    }
    for (std::size_t k = 0; k < hashed; ++k) {
      insert_hash(registers, p, hashes[k]);
    }
    absorbed += hashed;
  }
  for (; row < end; ++row) {
    absorbed += static_cast<std::size_t>(rows.insert_row(row, registers, p));
  }
  return {absorbed, false};
}

}  // namespace

IntegerRun detail::date32_run_avx512() noexcept { return absorb_dates<std::int32_t, false>; }

IntegerRun detail::date_days64_run_avx512() noexcept { return absorb_dates<std::int64_t, true>; }

}  // namespace drisk::columns
