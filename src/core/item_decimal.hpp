// drisk: the item texts of decimals.
//
// The rule is in item_text.hpp's table: an integral value is the integer's
// text, any other value its shortest plain text (no exponent, no trailing
// zeros), so that Decimal("5.00"), 5 and 5.0 are one item, and so are
// Decimal("1.50") and 1.5. A decimal arrives as a coefficient and a power
// of ten: Arrow's decimal128 and decimal256 as a two's complement integer
// with the column's scale (value = coefficient x 10^-scale, the scale may be
// negative), Python's Decimal as its digits and exponent. Both end in
// format_decimal().
#ifndef DRISK_ITEM_DECIMAL_HPP
#define DRISK_ITEM_DECIMAL_HPP

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "item_text.hpp"
#include "platform.hpp"

namespace drisk {

// Room for the digits of any 256-bit magnitude (78 digits), rounded up.
inline constexpr std::size_t DECIMAL_DIGITS_CAPACITY = 80;

// The decimal digits of an unsigned integer held in `count` 64-bit limbs,
// least significant first (the limbs are consumed: divided down to zero).
// Returns how many digits were written, "0" for zero.
inline std::size_t write_magnitude(std::uint64_t* limbs, int count, char* out) noexcept {
  while (count > 1 && limbs[count - 1] == 0) {
    --count;
  }
  if (count == 1) {
    return format_uint64(limbs[0], out);
  }
  // Groups of 19 digits from the bottom, by long division by 10^19.
  constexpr std::uint64_t E19 = 10000000000000000000u;
  char groups[DECIMAL_DIGITS_CAPACITY];
  std::size_t end = sizeof groups;
  while (count > 1 || limbs[0] >= E19) {
    std::uint64_t remainder = 0;
    for (int i = count - 1; i >= 0; --i) {
      const Division step = divide_wide(remainder, limbs[i], E19);
      limbs[i] = step.quotient;
      remainder = step.remainder;
    }
    std::uint64_t group = remainder;
    for (int d = 0; d < 19; ++d) {
      groups[--end] = static_cast<char>('0' + group % 10);
      group /= 10;
    }
    while (count > 1 && limbs[count - 1] == 0) {
      --count;
    }
  }
  const std::size_t lead = format_uint64(limbs[0], out);
  const std::size_t rest = sizeof groups - end;
  if (lead == 1 && out[0] == '0') {
    std::memcpy(out, groups + end, rest);  // nothing above the groups
    return rest;
  }
  std::memcpy(out + lead, groups + end, rest);
  return lead + rest;
}

// The text of (-1 if negative) x digits x 10^exponent, digits being ASCII
// decimal digits (leading and trailing zeros allowed). Returns the length
// written, or 0 when the text would not fit in ITEM_TEXT_CAPACITY (a
// Decimal("1e400") is 401 characters; no column type comes near).
inline std::size_t format_decimal(bool negative, const char* digits, std::size_t count,
                                  std::int64_t exponent, char* out) noexcept {
  while (count > 0 && digits[0] == '0') {
    ++digits;
    --count;
  }
  if (count == 0) {
    out[0] = '0';  // -0 and 0E+5 too
    return 1;
  }
  while (digits[count - 1] == '0') {
    --count;
    ++exponent;
  }
  const auto n = static_cast<std::int64_t>(count);
  // Sign, then the digits with either trailing zeros or a point and maybe
  // leading zeros: the length, before anything is written.
  const std::int64_t length = (negative ? 1 : 0) + (exponent >= 0   ? n + exponent
                                                    : -exponent < n ? n + 1
                                                                    : 2 - exponent);
  if (length > static_cast<std::int64_t>(ITEM_TEXT_CAPACITY)) {
    return 0;
  }
  char* cursor = out;
  if (negative) {
    *cursor++ = '-';
  }
  if (exponent >= 0) {
    std::memcpy(cursor, digits, count);
    std::memset(cursor + count, '0', static_cast<std::size_t>(exponent));
  } else if (-exponent < n) {
    const auto whole = static_cast<std::size_t>(n + exponent);
    std::memcpy(cursor, digits, whole);
    cursor[whole] = '.';
    std::memcpy(cursor + whole + 1, digits + whole, count - whole);
  } else {
    const auto zeros = static_cast<std::size_t>(-exponent - n);
    cursor[0] = '0';
    cursor[1] = '.';
    std::memset(cursor + 2, '0', zeros);
    std::memcpy(cursor + 2 + zeros, digits, count);
  }
  return static_cast<std::size_t>(length);
}

// The text of a two's complement integer of `count` 64-bit limbs (least
// significant first; 2 for decimal128, 4 for decimal256) times 10^-scale.
inline std::size_t format_scaled_integer(const std::uint64_t* twos_complement, int count,
                                         std::int32_t scale, char* out) noexcept {
  std::uint64_t limbs[4];
  const bool negative = (twos_complement[count - 1] >> 63) != 0;
  // The magnitude: negated (complement, plus one) when negative.
  std::uint64_t carry = 1;
  for (int i = 0; i < count; ++i) {
    limbs[i] = negative ? ~twos_complement[i] + carry : twos_complement[i];
    carry = negative && carry != 0 && limbs[i] == 0 ? 1 : 0;
  }
  char digits[DECIMAL_DIGITS_CAPACITY];
  const std::size_t n = write_magnitude(limbs, count, digits);
  return format_decimal(negative, digits, n, -std::int64_t{scale}, out);
}

namespace item_decimal_detail {

// The text of magnitude x 10^-Scale (0 < Scale <= 16) with a "-" before it
// when negative and not zero. The scale is a constant here, so that the
// split into whole part and fraction is a multiplication, not a division.
//
// A magnitude below 10^8 with a scale of at most seven (prices, most
// measurements) is one group of eight digits: the whole part is those after
// the leading zeros (at least one), the fraction the last Scale, and its
// trailing zeros are counted in the digit bytes. Two overlapping stores, no
// division and no loop.
template <int Scale>
std::size_t write_small_fixed_point(std::uint32_t magnitude, char* out) noexcept {
  using namespace item_text_detail;
  static_assert(Scale >= 1 && Scale <= 7);
  const std::uint64_t digits = eight_digit_values(magnitude);  // the first in the lowest byte
  const std::uint64_t text = digits + ASCII_ZEROS;
  const int leading = std::min(std::countr_zero(digits | (std::uint64_t{1} << 63)) / 8, 7 - Scale);
  const int whole_length = 8 - Scale - leading;
  store_text(out, text >> (8 * leading));
  if (digits >> (8 * (8 - Scale)) == 0) {
    return static_cast<std::size_t>(whole_length);  // an integral value
  }
  out[whole_length] = '.';
  store_text(out + whole_length + 1, text >> (8 * (8 - Scale)));
  const int trailing = std::countl_zero(digits) / 8;  // the last digits' zeros, fewer than Scale
  return static_cast<std::size_t>(whole_length + 1 + Scale - trailing);
}

template <int Scale>
std::size_t write_fixed_point(std::uint64_t magnitude, bool negative, char* out) noexcept {
  constexpr std::uint64_t POWER = item_text_detail::POW10_U64[Scale];
  // The sign without a branch: in data it is a coin toss.
  out[0] = '-';
  char* cursor = out + (negative && magnitude != 0 ? 1 : 0);
  if constexpr (Scale <= 7) {
    if (magnitude < 100000000) {
      return static_cast<std::size_t>(cursor - out) +
             write_small_fixed_point<Scale>(static_cast<std::uint32_t>(magnitude), cursor);
    }
  }
  const std::uint64_t whole = magnitude / POWER;
  std::uint64_t fraction = magnitude % POWER;
  cursor += format_uint64(whole, cursor);
  if (fraction == 0) {
    return static_cast<std::size_t>(cursor - out);
  }
  int width = Scale;
  while (fraction % 10 == 0) {
    fraction /= 10;
    --width;
  }
  *cursor++ = '.';
  item_text_detail::write_padded(fraction, width, cursor);
  return static_cast<std::size_t>(cursor - out) + static_cast<std::size_t>(width);
}

template <int... Scales>
std::size_t write_fixed_point_of(std::integer_sequence<int, Scales...>, int scale,
                                 std::uint64_t magnitude, bool negative, char* out) noexcept {
  std::size_t length = 0;
  // The one Scale that equals scale writes; the others are skipped.
  (void)((scale == Scales + 1
              ? (length = write_fixed_point<Scales + 1>(magnitude, negative, out), true)
              : false) ||
         ...);
  return length;
}

}  // namespace item_decimal_detail

// The same for a coefficient that fits in an int64 (decimals of up to 18
// digits, the common case): the whole part and the fraction are split by one
// multiplication and written from registers.
inline std::size_t format_scaled_int64(std::int64_t coefficient, std::int32_t scale,
                                       char* out) noexcept {
  if (scale == 0) {
    return format_int64(coefficient, out);
  }
  if (scale < 0 || scale > 16) {
    const std::uint64_t limb[1] = {static_cast<std::uint64_t>(coefficient)};
    return format_scaled_integer(limb, 1, scale, out);
  }
  // The magnitude, in unsigned arithmetic where INT64_MIN has one too.
  const bool negative = coefficient < 0;
  const std::uint64_t magnitude = negative
                                      ? std::uint64_t{0} - static_cast<std::uint64_t>(coefficient)
                                      : static_cast<std::uint64_t>(coefficient);
  return item_decimal_detail::write_fixed_point_of(std::make_integer_sequence<int, 16>(), scale,
                                                   magnitude, negative, out);
}

}  // namespace drisk

#endif  // DRISK_ITEM_DECIMAL_HPP
