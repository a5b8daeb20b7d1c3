// drisk: integer columns in eight 64-bit lanes, for CPUs with AVX-512 F, DQ
// and BW.
//
// This file is compiled with -mavx512f -mavx512dq -mavx512bw and called only
// on a CPU that has them (integer_lanes.cpp); see integer_lanes_impl.hpp for
// what it may hold. 64-bit multiplies, rotations and per-lane masks are
// single instructions here.
#include "avx512_file.hpp"

#include "date_lanes.hpp"
#include "integer_lanes_impl.hpp"

namespace drisk::columns {
namespace {

struct Avx512Lanes {
  using Vec = __m512i;
  static constexpr std::size_t COUNT = 8;

  template <ValueKind K>
  static Vec load(const std::uint8_t* at) noexcept {
    if constexpr (K == ValueKind::Int64 || K == ValueKind::UInt64) {
      return _mm512_loadu_si512(at);
    } else if constexpr (K == ValueKind::Int32 || K == ValueKind::UInt32) {
      const __m256i eight = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
      return K == ValueKind::Int32 ? _mm512_cvtepi32_epi64(eight) : _mm512_cvtepu32_epi64(eight);
    } else if constexpr (K == ValueKind::Int16 || K == ValueKind::UInt16) {
      const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      return K == ValueKind::Int16 ? _mm512_cvtepi16_epi64(eight) : _mm512_cvtepu16_epi64(eight);
    } else {
      const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
      return K == ValueKind::Int8 ? _mm512_cvtepi8_epi64(eight) : _mm512_cvtepu8_epi64(eight);
    }
  }
  static void store(void* to, Vec v) noexcept { _mm512_storeu_si512(to, v); }

  static Vec splat64(long long x) noexcept { return _mm512_set1_epi64(x); }
  static Vec splat16(short x) noexcept { return _mm512_set1_epi16(x); }
  static Vec splat8(char x) noexcept { return _mm512_set1_epi8(x); }

  static Vec add64(Vec a, Vec b) noexcept { return _mm512_add_epi64(a, b); }
  static Vec sub64(Vec a, Vec b) noexcept { return _mm512_sub_epi64(a, b); }
  static Vec sub16(Vec a, Vec b) noexcept { return _mm512_sub_epi16(a, b); }
  static Vec add8(Vec a, Vec b) noexcept { return _mm512_add_epi8(a, b); }
  static Vec and_(Vec a, Vec b) noexcept { return _mm512_and_si512(a, b); }
  static Vec or_(Vec a, Vec b) noexcept { return _mm512_or_si512(a, b); }
  static Vec xor_(Vec a, Vec b) noexcept { return _mm512_xor_si512(a, b); }
  template <int N>
  static Vec slli64(Vec a) noexcept {
    return _mm512_slli_epi64(a, N);
  }
  template <int N>
  static Vec srli64(Vec a) noexcept {
    return _mm512_srli_epi64(a, N);
  }
  template <int N>
  static Vec slli32(Vec a) noexcept {
    return _mm512_slli_epi32(a, N);
  }
  template <int N>
  static Vec slli16(Vec a) noexcept {
    return _mm512_slli_epi16(a, N);
  }
  template <int N>
  static Vec srli16(Vec a) noexcept {
    return _mm512_srli_epi16(a, N);
  }
  static Vec srlv64(Vec a, Vec count) noexcept { return _mm512_srlv_epi64(a, count); }
  static Vec sllv64(Vec a, Vec count) noexcept { return _mm512_sllv_epi64(a, count); }
  static Vec byte_swap64(Vec a) noexcept {
    const __m512i reversed =
        _mm512_broadcast_i32x4(_mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8));
    return _mm512_shuffle_epi8(a, reversed);
  }
  static Vec mul_low32(Vec a, Vec b) noexcept { return _mm512_mul_epu32(a, b); }
  static Vec mulhi16(Vec a, Vec b) noexcept { return _mm512_mulhi_epu16(a, b); }
  static Vec mullo16(Vec a, Vec b) noexcept { return _mm512_mullo_epi16(a, b); }
  static Vec mul64(Vec a, std::uint64_t c) noexcept {
    return _mm512_mullo_epi64(a, _mm512_set1_epi64(static_cast<long long>(c)));
  }
  template <int R>
  static Vec rotl(Vec x) noexcept {
    return _mm512_rol_epi64(x, R);
  }

  static unsigned greater(Vec a, Vec b) noexcept { return _mm512_cmpgt_epi64_mask(a, b); }
  static Vec select_greater(Vec v, Vec t, Vec a, Vec b) noexcept {
    return _mm512_mask_blend_epi64(_mm512_cmpgt_epi64_mask(v, t), b, a);
  }
  static Vec count_greater(Vec n, Vec v, Vec t) noexcept {
    return _mm512_mask_add_epi64(n, _mm512_cmpgt_epi64_mask(v, t), n, _mm512_set1_epi64(1));
  }
  static void compress_store(void* to, Vec v, unsigned lanes) noexcept {
    _mm512_storeu_si512(to, _mm512_maskz_compress_epi64(static_cast<__mmask8>(lanes), v));
  }
  static std::uint64_t bytes_equal(Vec a, Vec b) noexcept { return _mm512_cmpeq_epi8_mask(a, b); }
};

}  // namespace

IntegerRun detail::integer_run_avx512(ValueKind kind) noexcept {
  return integer_run_for<Avx512Lanes>(kind);
}

IntegerRun detail::cents_run_avx512() noexcept { return &absorb_cents<Avx512Lanes>; }

IntegerHashes detail::integer_hashes_avx512(ValueKind kind) noexcept {
  return integer_hashes_for<Avx512Lanes>(kind);
}

IntegerRun detail::date32_run_avx512() noexcept {
  return &absorb_dates<Avx512Lanes, std::int32_t, false>;
}

IntegerRun detail::date_days64_run_avx512() noexcept {
  return &absorb_dates<Avx512Lanes, std::int64_t, true>;
}

}  // namespace drisk::columns
