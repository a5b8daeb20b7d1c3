// drisk: the exact decimal text of a whole double of 2^63 or more.
//
// A double that large is m x 2^e with m < 2^53 and 11 <= e <= 971: an
// integer of up to 309 digits. It is built in base 10^9 limbs (least
// significant first) by shifting m left 32 bits at a time, each limb times
// 2^32 plus the carry staying below 2^64, then written limb by limb. At most
// 35 limbs and 31 passes: rare values, so no table and no cleverness.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "float_text.hpp"

namespace drisk {

std::size_t write_whole_double(double value, char* out) noexcept {
  constexpr std::uint32_t LIMB = 1000000000;  // 10^9
  constexpr int MAX_LIMBS = 36;               // 309 digits, rounded up
  char* cursor = out;
  if (std::signbit(value)) {
    *cursor++ = '-';
    value = -value;
  }
  const auto bits = std::bit_cast<std::uint64_t>(value);
  std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  int e = static_cast<int>(bits >> 52) - 1075;
  // Fewer significant bits where m ends in zeros; e stays >= 0 for whole
  // values of this size.
  const int zeros = std::countr_zero(m);
  m >>= zeros;
  e += zeros;
  std::uint32_t limbs[MAX_LIMBS];
  int count = 0;
  while (m != 0) {
    limbs[count++] = static_cast<std::uint32_t>(m % LIMB);
    m /= LIMB;
  }
  while (e > 0) {
    const int shift = e < 32 ? e : 32;
    e -= shift;
    std::uint64_t carry = 0;
    for (int i = 0; i < count; ++i) {
      const std::uint64_t wide = (std::uint64_t{limbs[i]} << shift) + carry;
      limbs[i] = static_cast<std::uint32_t>(wide % LIMB);
      carry = wide / LIMB;
    }
    while (carry != 0) {
      limbs[count++] = static_cast<std::uint32_t>(carry % LIMB);
      carry /= LIMB;
    }
  }
  // The top limb without leading zeros, the others with all nine digits.
  char top[10];
  int top_len = 0;
  for (std::uint32_t v = limbs[count - 1]; v != 0; v /= 10) {
    top[top_len++] = static_cast<char>('0' + v % 10);
  }
  for (int i = top_len - 1; i >= 0; --i) {
    *cursor++ = top[i];
  }
  for (int i = count - 2; i >= 0; --i) {
    std::uint32_t v = limbs[i];
    for (int d = 8; d >= 0; --d) {
      cursor[d] = static_cast<char>('0' + v % 10);
      v /= 10;
    }
    cursor += 9;
  }
  return static_cast<std::size_t>(cursor - out);
}

}  // namespace drisk
