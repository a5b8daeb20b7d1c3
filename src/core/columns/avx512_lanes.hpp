// drisk: what the files compiled for AVX-512 alone share: a constant in
// every lane, 128-bit products, floor division by a constant, and the
// decimal digits of eight integers at once.
//
// Included after avx512_file.hpp. The functions live in an unnamed
// namespace and are always inlined, so that each file has its own copy,
// compiled for its own instruction set.
#ifndef DRISK_COLUMNS_AVX512_LANES_HPP
#define DRISK_COLUMNS_AVX512_LANES_HPP

#include <cstdint>

namespace drisk::columns {
namespace {

[[gnu::always_inline]] inline __m512i splat(std::uint64_t x) noexcept {
  return _mm512_set1_epi64(static_cast<long long>(x));
}

// The 128-bit product a x b in each lane, from four 32 x 32-bit products
// (there is no 64-bit high multiply).
struct Product {
  __m512i high;
  __m512i low;
};

[[gnu::always_inline]] inline Product multiply(__m512i a, __m512i b) noexcept {
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
  return {
      _mm512_add_epi64(_mm512_add_epi64(hh, _mm512_srli_epi64(lh, 32)),
                       _mm512_add_epi64(_mm512_srli_epi64(hl, 32), _mm512_srli_epi64(middle, 32))),
      _mm512_or_si512(_mm512_and_si512(ll, low32), _mm512_slli_epi64(middle, 32))};
}

// The two halves of a x b, xored: XXH3's mul128_fold64.
[[gnu::always_inline]] inline __m512i multiply_fold(__m512i a, __m512i b) noexcept {
  const Product product = multiply(a, b);
  return _mm512_xor_si512(product.high, product.low);
}

// XXH3's last step for the texts of 9 to 128 bytes (XXH3_avalanche).
[[gnu::always_inline]] inline __m512i xxh3_avalanche(__m512i acc) noexcept {
  acc = _mm512_xor_si512(acc, _mm512_srli_epi64(acc, 37));
  acc = _mm512_mullo_epi64(acc, splat(0x165667919E3779F9ULL));
  return _mm512_xor_si512(acc, _mm512_srli_epi64(acc, 32));
}

// floor(x / d) and x - d floor(x / d) for d > 0: the quotient of the
// doubles, rounded down, then corrected once by the remainder's sign and
// size. The doubles' quotient is within q 2^-52 of the true one q (three
// roundings, each of 2^-53 at most), so for q below 2^52 the first guess
// is off by at most one and the result is exact; the callers serve no lane
// whose quotient is larger.
[[gnu::always_inline]] inline __m512i floor_divide(__m512i x, std::int64_t d,
                                                   __m512i& remainder) noexcept {
  const __m512i divisor = splat(static_cast<std::uint64_t>(d));
  __m512i quotient = _mm512_cvt_roundpd_epi64(
      _mm512_mul_pd(_mm512_cvtepi64_pd(x), _mm512_set1_pd(1.0 / static_cast<double>(d))),
      _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  __m512i rest = _mm512_sub_epi64(x, _mm512_mullo_epi64(quotient, divisor));
  const __mmask8 under = _mm512_cmplt_epi64_mask(rest, _mm512_setzero_si512());
  const __mmask8 over = _mm512_cmpge_epi64_mask(rest, divisor);
  quotient = _mm512_mask_sub_epi64(quotient, under, quotient, splat(1));
  quotient = _mm512_mask_add_epi64(quotient, over, quotient, splat(1));
  rest = _mm512_mask_add_epi64(rest, under, rest, divisor);
  remainder = _mm512_mask_sub_epi64(rest, over, rest, divisor);
  return quotient;
}

// The eight digits of v < 10^8 as byte values 0..9, the most significant in
// the lowest byte (integer_lanes_impl.hpp's eight_digits, without the '0').
[[gnu::always_inline]] inline __m512i eight_digit_values(__m512i v) noexcept {
  const __m512i high = _mm512_srli_epi64(_mm512_mul_epu32(v, splat(0xD1B71759)), 45);
  const __m512i low = _mm512_sub_epi64(v, _mm512_mul_epu32(high, splat(10000)));
  const __m512i halves = _mm512_or_si512(high, _mm512_slli_epi64(low, 32));
  const __m512i hundreds =
      _mm512_srli_epi16(_mm512_mulhi_epu16(halves, _mm512_set1_epi16(5243)), 3);
  const __m512i below_hundred =
      _mm512_sub_epi16(halves, _mm512_mullo_epi16(hundreds, _mm512_set1_epi16(100)));
  const __m512i pairs = _mm512_or_si512(hundreds, _mm512_slli_epi32(below_hundred, 16));
  const __m512i tens = _mm512_mulhi_epu16(pairs, _mm512_set1_epi16(6554));
  const __m512i ones = _mm512_sub_epi16(pairs, _mm512_mullo_epi16(tens, _mm512_set1_epi16(10)));
  return _mm512_or_si512(tens, _mm512_slli_epi16(ones, 8));
}

}  // namespace
}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_AVX512_LANES_HPP
