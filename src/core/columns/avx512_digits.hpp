// drisk: what the files compiled for AVX-512 alone share: a constant in
// every lane, and the decimal digits of eight integers at once.
//
// Included after avx512_file.hpp. The functions live in an unnamed
// namespace and are always inlined, so that each file has its own copy,
// compiled for its own instruction set.
#ifndef DRISK_COLUMNS_AVX512_DIGITS_HPP
#define DRISK_COLUMNS_AVX512_DIGITS_HPP

#include <cstdint>

namespace drisk::columns {
namespace {

[[gnu::always_inline]] inline __m512i splat(std::uint64_t x) noexcept {
  return _mm512_set1_epi64(static_cast<long long>(x));
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

#endif  // DRISK_COLUMNS_AVX512_DIGITS_HPP
