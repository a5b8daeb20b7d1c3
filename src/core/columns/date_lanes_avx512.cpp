// drisk: timestamp columns in eight 64-bit lanes, for CPUs with AVX-512 F,
// DQ, BW and CD.
//
// Dates themselves take integer_lanes_impl.hpp's absorb_dates, over the
// integer lanes of each instruction set. A timestamp's text starts with the
// same date, "YYYY-MM-DD", written here by date_text() with that kernel's
// calendar (C. Neri and L. Schneider's, each division by a constant a
// multiply and a shift, exact over the days of 0000-03-01 to 9999-12-31,
// checked for every day) in AVX-512's own operations, then the clock.
//
// This file is compiled with -mavx512f -mavx512dq -mavx512bw -mavx512cd
// (and GCC's scheduling, CMakeLists.txt) and called only on a CPU that has
// them (integer_lanes.cpp); like the integer lanes, it is flattened so that
// no shared inline function is emitted here out of line.
#include "avx512_file.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "avx512_lanes.hpp"
#include "date_lanes.hpp"
#include "insert.hpp"
#include "platform.hpp"
#include "row_views.hpp"
#include "value_views.hpp"

namespace drisk::columns {
namespace {

constexpr std::size_t BATCH = 64;  // hashes kept before they are inserted
constexpr std::int64_t FIRST_DAY = -item_time_detail::DAYS_FROM_MARCH_OF_YEAR_0;  // 0000-03-01
constexpr std::int64_t LAST_DAY = item_time_detail::LAST_DAY_OF_9999;

// The ASCII digits of v < 100 in each lane: tens in the low byte.
__m512i digit_pair(__m512i v) noexcept {
  const __m512i tens = _mm512_srli_epi64(_mm512_mullo_epi64(v, splat(103)), 10);
  const __m512i ones = _mm512_sub_epi64(v, _mm512_mullo_epi64(tens, splat(10)));
  return _mm512_add_epi64(_mm512_or_si512(tens, _mm512_slli_epi64(ones, 8)), splat(0x3030));
}

// date.isoformat() of eight days from 0000-03-01 to 9999-12-31 (see
// above): "YYYY-MM-" in `head`, "DD" in the low bytes of `tail`.
struct DateText {
  __m512i head;
  __m512i tail;
};

[[gnu::always_inline]] inline DateText date_text(__m512i days) noexcept {
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
  return {head, digit_pair(day)};
}

// Timestamps, a count of unit U since 1970-01-01T00:00:00, written as
// datetime.isoformat() (value_views.hpp's TimestampView) in the lanes:
//
//   split    the count into days, second of the day and the fraction, each
//            a floor division by a constant in doubles, corrected once
//            (avx512_lanes.hpp: exact for every lane served); hours,
//            minutes and seconds by multiplies and shifts;
//   text     date_text()'s "YYYY-MM-", then "DDTHH:MM", ":SS", ".ffffff"
//            when the fraction is not zero, "+00:00" for a zoned column:
//            19, 25, 26 or 32 bytes in four words;
//   hash     XXH3_64bits of 17 to 32 bytes, the last two words read at
//            offsets fixed by the length, both lengths' words made and the
//            lane's kept.
//
// Served: days from 0000-03-01 to 9999-12-31, and for nanosecond counts a
// fraction of whole microseconds (nine fraction digits make 29 or 35
// bytes). Other rows (NaT among them) go through the row view.

// The word at byte `at` of the text in words x[0..3], `at` a constant.
template <int At>
[[gnu::always_inline]] inline __m512i word_at(const __m512i* x) noexcept {
  if constexpr (At % 8 == 0) {
    return x[At / 8];
  } else {
    return _mm512_or_si512(_mm512_srli_epi64(x[At / 8], 8 * (At % 8)),
                           _mm512_slli_epi64(x[At / 8 + 1], 64 - 8 * (At % 8)));
  }
}

// XXH3_64bits of datetime.isoformat() for eight counts of U, into `hashes`;
// returns the mask of the lanes served (see above).
template <TimeUnit U, bool Utc>
[[gnu::always_inline]] inline __mmask8 hash_timestamps(__m512i counts, __m512i& hashes) noexcept {
  constexpr std::int64_t PER = PER_SECOND<U>;
  __m512i seconds = counts;
  __m512i part = _mm512_setzero_si512();
  if constexpr (PER != 1) {
    seconds = floor_divide(counts, PER, part);
  }
  __m512i second_of_day;
  const __m512i days = floor_divide(seconds, item_time_detail::DAY_SECONDS, second_of_day);
  __mmask8 served = _mm512_cmpge_epi64_mask(days, splat(static_cast<std::uint64_t>(FIRST_DAY))) &
                    _mm512_cmple_epi64_mask(days, splat(LAST_DAY));
  // The fraction in microseconds.
  __m512i micros = part;
  if constexpr (U == TimeUnit::milli) {
    micros = _mm512_mullo_epi64(part, splat(1000));
  } else if constexpr (U == TimeUnit::nano) {
    __m512i nanos;
    micros = floor_divide(part, 1000, nanos);
    served &= _mm512_testn_epi64_mask(nanos, nanos);
  }
  const __mmask8 fraction = _mm512_test_epi64_mask(micros, micros);
  // Hours (x / 3600 = x * 1193047 >> 32 below 86400), minutes (x / 60 =
  // x * 71582789 >> 32 below 3600) and seconds.
  const __m512i hours = _mm512_srli_epi64(_mm512_mul_epu32(second_of_day, splat(1193047)), 32);
  const __m512i second_of_hour =
      _mm512_sub_epi64(second_of_day, _mm512_mullo_epi64(hours, splat(3600)));
  const __m512i minutes = _mm512_srli_epi64(_mm512_mul_epu32(second_of_hour, splat(71582789)), 32);
  const __m512i second = _mm512_sub_epi64(second_of_hour, _mm512_mullo_epi64(minutes, splat(60)));
  const auto [head, tail] = date_text(days);
  __m512i x[4];
  x[0] = head;
  x[1] = _mm512_or_si512(
      _mm512_or_si512(tail, splat(std::uint64_t{'T'} << 16 | std::uint64_t{':'} << 40)),
      _mm512_or_si512(_mm512_slli_epi64(digit_pair(hours), 24),
                      _mm512_slli_epi64(digit_pair(minutes), 48)));
  // ":SS", then ".ffffff" (the six low digits of eight, after a point).
  const __m512i clock = _mm512_or_si512(splat(':'), _mm512_slli_epi64(digit_pair(second), 8));
  const __m512i point_digits = _mm512_or_si512(
      splat('.'),
      _mm512_slli_epi64(
          _mm512_srli_epi64(
              _mm512_add_epi64(eight_digit_values(micros), splat(0x3030303030303030ULL)), 16),
          8));
  x[2] = _mm512_mask_or_epi64(clock, fraction, clock, _mm512_slli_epi64(point_digits, 24));
  x[3] = _mm512_maskz_srli_epi64(fraction, point_digits, 40);
  if constexpr (Utc) {
    constexpr std::uint64_t ZONE = 0x30303A30302BULL;  // "+00:00"
    // After ":SS" (byte 19), or after the fraction (byte 26).
    x[2] = _mm512_mask_or_epi64(x[2], static_cast<__mmask8>(~fraction), x[2], splat(ZONE << 24));
    x[3] = _mm512_or_si512(x[3],
                           _mm512_mask_mov_epi64(splat(ZONE >> 40), fraction, splat(ZONE << 16)));
  }
  // The lengths without and with a fraction, and their last two words.
  constexpr int PLAIN = Utc ? 25 : 19;
  const __m512i length = _mm512_mask_mov_epi64(splat(PLAIN), fraction, splat(PLAIN + 7));
  const __m512i before_last =
      _mm512_mask_mov_epi64(word_at<PLAIN - 16>(x), fraction, word_at<PLAIN - 9>(x));
  const __m512i last =
      _mm512_mask_mov_epi64(word_at<PLAIN - 8>(x), fraction, word_at<PLAIN - 1>(x));
  // XXH3 of 17 to 32 bytes: len x PRIME64_1 + fold(w0 ^ s0, w1 ^ s8) +
  // fold(w[len-16] ^ s16, w[len-8] ^ s24), then the avalanche.
  const auto secret = [](int at) noexcept { return splat(XXH_readLE64(XXH3_kSecret + at)); };
  const __m512i acc = _mm512_add_epi64(
      _mm512_mullo_epi64(length, splat(XXH_PRIME64_1)),
      _mm512_add_epi64(
          multiply_fold(_mm512_xor_si512(x[0], secret(0)), _mm512_xor_si512(x[1], secret(8))),
          multiply_fold(_mm512_xor_si512(before_last, secret(16)),
                        _mm512_xor_si512(last, secret(24)))));
  hashes = xxh3_avalanche(acc);
  return served;
}

// Rows [begin, end) of contiguous int64 counts of U, inserted as
// timestamps; NaT skipped (when Nat) and not counted. A row equal to the one
// before it is skipped: logs repeat their timestamps, and an item inserted
// again changes nothing.
template <TimeUnit U, bool Nat, bool Utc>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_timestamps(HyperLogLogCore& core,
                                                                const std::uint8_t* base,
                                                                std::size_t begin,
                                                                std::size_t end) noexcept {
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  TimestampView<U, Nat> rows{{base, 8}, Utc};
  const auto insert_row = [&](std::size_t row) noexcept {
    char text[ITEM_TEXT_CAPACITY];
    ItemView item{};
    if (rows(row, item, text) == MISSING) {
      return std::size_t{0};
    }
    insert(registers, p, item.data, item.len);
    return std::size_t{1};
  };
  alignas(64) std::uint64_t hashes[BATCH + 16];
  __m512i previous = _mm512_set1_epi64(INT64_MIN);
  std::size_t absorbed = 0;
  std::size_t row = begin;
  // Two vectors a step: each is a long chain of dependent instructions,
  // and two side by side keep the processor busy (see
  // fraction_lanes_avx512.cpp).
  while (row + 16 <= end) {
    std::size_t hashed = 0;
    for (; row + 16 <= end && hashed < BATCH; row += 16) {
      drisk::prefetch(base + (row + 128) * 8);
      const __m512i first = _mm512_loadu_si512(base + row * 8);
      const __m512i second = _mm512_loadu_si512(base + (row + 8) * 8);
      // Each lane beside the one before it (the last lane of the vector
      // before for the first).
      const __mmask8 first_repeated =
          _mm512_cmpeq_epi64_mask(first, _mm512_alignr_epi64(first, previous, 7));
      const __mmask8 second_repeated =
          _mm512_cmpeq_epi64_mask(second, _mm512_alignr_epi64(second, first, 7));
      previous = second;
      if constexpr (U == TimeUnit::nano) {
        // Clocks that count nanoseconds rarely land on whole microseconds,
        // which the lanes alone serve: when no lane does, the rows go to
        // the row view without being written in the lanes first. (Past
        // 2^52 microseconds from 1970, in the years 2112 and 1827, a
        // remainder here may be wrong: it only picks the way, and
        // hash_timestamps() decides for itself.)
        __m512i first_nanos;
        __m512i second_nanos;
        floor_divide(first, 1000, first_nanos);
        floor_divide(second, 1000, second_nanos);
        if ((_mm512_testn_epi64_mask(first_nanos, first_nanos) |
             _mm512_testn_epi64_mask(second_nanos, second_nanos)) == 0) {
          for (std::size_t r = row; r < row + 16; ++r) {
            absorbed += insert_row(r);
          }
          continue;
        }
      }
      __m512i first_hashes;
      __m512i second_hashes;
      const __mmask8 first_served = hash_timestamps<U, Utc>(first, first_hashes);
      const __mmask8 second_served = hash_timestamps<U, Utc>(second, second_hashes);
      const auto first_fresh = static_cast<__mmask8>(first_served & ~first_repeated);
      const auto second_fresh = static_cast<__mmask8>(second_served & ~second_repeated);
      _mm512_storeu_si512(hashes + hashed, _mm512_maskz_compress_epi64(first_fresh, first_hashes));
      hashed += static_cast<std::size_t>(std::popcount(first_fresh));
      _mm512_storeu_si512(hashes + hashed,
                          _mm512_maskz_compress_epi64(second_fresh, second_hashes));
      hashed += static_cast<std::size_t>(std::popcount(second_fresh));
      absorbed += static_cast<std::size_t>(
          std::popcount(static_cast<__mmask8>(first_served & first_repeated)) +
          std::popcount(static_cast<__mmask8>(second_served & second_repeated)));
      const unsigned others = ~(first_served | static_cast<unsigned>(second_served) << 8) & 0xFFFF;
      for (unsigned left = others; left != 0; left &= left - 1) {
        absorbed += insert_row(row + static_cast<std::size_t>(std::countr_zero(left)));
      }
    }
    for (std::size_t k = 0; k < hashed; ++k) {
      insert_hash(registers, p, hashes[k]);
    }
    absorbed += hashed;
  }
  for (; row < end; ++row) {
    absorbed += insert_row(row);
  }
  return {absorbed, false};
}

template <TimeUnit U, bool Nat>
IntegerRun timestamp_run_of(bool utc) noexcept {
  return utc ? absorb_timestamps<U, Nat, true> : absorb_timestamps<U, Nat, false>;
}

template <TimeUnit U>
IntegerRun timestamp_run_of(bool nat, bool utc) noexcept {
  return nat ? timestamp_run_of<U, true>(utc) : timestamp_run_of<U, false>(utc);
}

}  // namespace

IntegerRun detail::timestamp_run_avx512(TimeUnit unit, bool nat, bool utc) noexcept {
  switch (unit) {
    case TimeUnit::second:
      return timestamp_run_of<TimeUnit::second>(nat, utc);
    case TimeUnit::milli:
      return timestamp_run_of<TimeUnit::milli>(nat, utc);
    case TimeUnit::micro:
      return timestamp_run_of<TimeUnit::micro>(nat, utc);
    case TimeUnit::nano:
      return timestamp_run_of<TimeUnit::nano>(nat, utc);
  }
  return nullptr;
}

}  // namespace drisk::columns
