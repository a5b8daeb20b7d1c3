// drisk: integer columns in four 64-bit lanes, for CPUs with AVX2.
//
// This file is compiled with -mavx2 and called only on a CPU that has it
// (integer_lanes.cpp); see integer_lanes_impl.hpp for what it may hold.
#include <immintrin.h>

#include <array>

#include "date_lanes.hpp"
#include "integer_lanes_impl.hpp"

namespace drisk::columns {
namespace {

struct Avx2Lanes {
  using Vec = __m256i;
  static constexpr std::size_t COUNT = 4;

  template <ValueKind K>
  static Vec load(const std::uint8_t* at) noexcept {
    if constexpr (K == ValueKind::Int64 || K == ValueKind::UInt64) {
      return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    } else if constexpr (K == ValueKind::Int32 || K == ValueKind::UInt32) {
      const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      return K == ValueKind::Int32 ? _mm256_cvtepi32_epi64(four) : _mm256_cvtepu32_epi64(four);
    } else if constexpr (K == ValueKind::Int16 || K == ValueKind::UInt16) {
      const __m128i four = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
      return K == ValueKind::Int16 ? _mm256_cvtepi16_epi64(four) : _mm256_cvtepu16_epi64(four);
    } else {
      const __m128i four = _mm_cvtsi32_si128(columns::load<std::int32_t>(at));
      return K == ValueKind::Int8 ? _mm256_cvtepi8_epi64(four) : _mm256_cvtepu8_epi64(four);
    }
  }
  static void store(void* to, Vec v) noexcept { _mm256_storeu_si256(static_cast<__m256i*>(to), v); }

  static Vec splat64(long long x) noexcept { return _mm256_set1_epi64x(x); }
  static Vec splat16(short x) noexcept { return _mm256_set1_epi16(x); }
  static Vec splat8(char x) noexcept { return _mm256_set1_epi8(x); }

  static Vec add64(Vec a, Vec b) noexcept { return _mm256_add_epi64(a, b); }
  static Vec sub64(Vec a, Vec b) noexcept { return _mm256_sub_epi64(a, b); }
  static Vec sub16(Vec a, Vec b) noexcept { return _mm256_sub_epi16(a, b); }
  static Vec add8(Vec a, Vec b) noexcept { return _mm256_add_epi8(a, b); }
  static Vec and_(Vec a, Vec b) noexcept { return _mm256_and_si256(a, b); }
  static Vec or_(Vec a, Vec b) noexcept { return _mm256_or_si256(a, b); }
  static Vec xor_(Vec a, Vec b) noexcept { return _mm256_xor_si256(a, b); }
  template <int N>
  static Vec slli64(Vec a) noexcept {
    return _mm256_slli_epi64(a, N);
  }
  template <int N>
  static Vec srli64(Vec a) noexcept {
    return _mm256_srli_epi64(a, N);
  }
  template <int N>
  static Vec slli32(Vec a) noexcept {
    return _mm256_slli_epi32(a, N);
  }
  template <int N>
  static Vec slli16(Vec a) noexcept {
    return _mm256_slli_epi16(a, N);
  }
  template <int N>
  static Vec srli16(Vec a) noexcept {
    return _mm256_srli_epi16(a, N);
  }
  static Vec srlv64(Vec a, Vec count) noexcept { return _mm256_srlv_epi64(a, count); }
  static Vec sllv64(Vec a, Vec count) noexcept { return _mm256_sllv_epi64(a, count); }
  static Vec byte_swap64(Vec a) noexcept {
    const __m256i reversed = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                              7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    return _mm256_shuffle_epi8(a, reversed);
  }
  static Vec mul_low32(Vec a, Vec b) noexcept { return _mm256_mul_epu32(a, b); }
  static Vec mulhi16(Vec a, Vec b) noexcept { return _mm256_mulhi_epu16(a, b); }
  static Vec mullo16(Vec a, Vec b) noexcept { return _mm256_mullo_epi16(a, b); }

  // AVX2 has no 64-bit multiply: three 32-bit products of the halves.
  static Vec mul64(Vec a, std::uint64_t c) noexcept {
    const __m256i c_low = _mm256_set1_epi64x(static_cast<long long>(c & 0xFFFFFFFF));
    const __m256i c_high = _mm256_set1_epi64x(static_cast<long long>(c >> 32));
    const __m256i low_low = _mm256_mul_epu32(a, c_low);
    const __m256i high_low = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), c_low);
    const __m256i low_high = _mm256_mul_epu32(a, c_high);
    return _mm256_add_epi64(low_low, _mm256_slli_epi64(_mm256_add_epi64(high_low, low_high), 32));
  }
  // Nor a rotation: two shifts.
  template <int R>
  static Vec rotl(Vec x) noexcept {
    return _mm256_or_si256(_mm256_slli_epi64(x, R), _mm256_srli_epi64(x, 64 - R));
  }

  static unsigned greater(Vec a, Vec b) noexcept {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(a, b))));
  }
  static Vec select_greater(Vec v, Vec t, Vec a, Vec b) noexcept {
    return _mm256_blendv_epi8(b, a, _mm256_cmpgt_epi64(v, t));
  }
  // A true compare is all ones, -1: subtracting it adds one.
  static Vec count_greater(Vec n, Vec v, Vec t) noexcept {
    return _mm256_sub_epi64(n, _mm256_cmpgt_epi64(v, t));
  }
  // The lanes of v named in `lanes`, in order, to the start of `to` (all
  // four lanes are stored): a permutation from a table of the 16 masks.
  static void compress_store(void* to, Vec v, unsigned lanes) noexcept {
    static constexpr auto PICKS = [] {
      std::array<std::array<int, 8>, 16> picks{};
      for (unsigned mask = 0; mask < 16; ++mask) {
        unsigned out = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
          if ((mask >> lane) & 1) {
            picks[mask][2 * out] = static_cast<int>(2 * lane);
            picks[mask][2 * out + 1] = static_cast<int>(2 * lane + 1);
            ++out;
          }
        }
      }
      return picks;
    }();
    const __m256i pick =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(PICKS[lanes & 15].data()));
    _mm256_storeu_si256(static_cast<__m256i*>(to), _mm256_permutevar8x32_epi32(v, pick));
  }
  static std::uint64_t bytes_equal(Vec a, Vec b) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, b)));
  }
};

}  // namespace

IntegerRun detail::integer_run_avx2(ValueKind kind) noexcept {
  return integer_run_for<Avx2Lanes>(kind);
}

IntegerRun detail::cents_run_avx2() noexcept { return &absorb_cents<Avx2Lanes>; }

IntegerHashes detail::integer_hashes_avx2(ValueKind kind) noexcept {
  return integer_hashes_for<Avx2Lanes>(kind);
}

IntegerRun detail::date32_run_avx2() noexcept {
  return &absorb_dates<Avx2Lanes, std::int32_t, false>;
}

IntegerRun detail::date_days64_run_avx2() noexcept {
  return &absorb_dates<Avx2Lanes, std::int64_t, true>;
}

IntegerRun detail::timestamp_run_avx2(TimeUnit unit, bool nat, bool utc) noexcept {
  return timestamp_run_for<Avx2Lanes>(unit, nat, utc);
}

}  // namespace drisk::columns
