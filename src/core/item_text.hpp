// drisk: the one identity of values that are not text.
//
// A sketch hashes bytes. A value that is not text is hashed as the text
// Python shows for it, so that the same value is the same item whichever way
// it arrives: 42 from an Arrow column, a NumPy array or a Python list, 42.0
// from a pandas column that went float for its missing values, the str "42"
// and the line "42" of a file are all one item. This table is the rule for
// every input path; the writers named in it are the only code that makes
// these texts.
//
//   integers    decimal, with a leading "-" when negative ("42", "-7").
//               format_int64, format_uint64 (below).
//   floats      a float equal to an integer is that integer, as in Python
//               (1.0 == 1): 2.0 is "2", -0.0 is "0", 1e20 is
//               "100000000000000000000", DBL_MAX its 309 digits (the exact
//               value the double holds, str(int(x))). Any other finite
//               float is what repr() gives: the shortest digits that read
//               back as the same double, laid out as repr lays them out
//               ("1.5", "0.1", "1e-05", "0.0001"). Infinities are "inf" and
//               "-inf". NaN has no text: it is a missing value and is never
//               hashed. A float16 or float32 is the double holding it.
//               format_double (below; digits from float_text.hpp).
//   booleans    "True" and "False". bool_text (below).
//   dates       date.isoformat(): "2024-01-02". Years outside 1..9999,
//               which Python's date cannot hold, are written with as many
//               digits as they need and a "-" before the year when it is
//               below zero (astronomical numbering: year 0 is 1 BC), as
//               NumPy writes them. format_date (item_time.hpp).
//   timestamps  datetime.isoformat(): "2024-01-02T03:04:05" when the
//               fraction of a second is zero, else six fractional digits
//               ("...T03:04:05.120000"), or nine when the value has
//               nanoseconds that are not whole microseconds (as
//               pandas.Timestamp.isoformat() writes them). The same instant
//               is the same item whatever the unit. A timestamp with a time
//               zone is taken in UTC and ends in "+00:00"; a naive one has
//               no suffix (Python holds the two unequal). format_timestamp
//               (item_time.hpp).
//   times       time.isoformat() of a time of day, by the same fraction
//               rule: "03:04:05", "03:04:05.120000". format_time_of_day
//               (item_time.hpp).
//   decimals    an integral value is the integer's text (Decimal("5.00") is
//               "5", like 5 and 5.0); any other value is its shortest plain
//               text, without exponent or trailing zeros (Decimal("1.50") is
//               "1.5", like the float 1.5). format_decimal (item_decimal.hpp).
//
// Durations, intervals and nested values have no text here: every path
// refuses them, naming the type.
//
// Every writer fills a caller's buffer of at least ITEM_TEXT_CAPACITY bytes
// and returns the length written. Nothing here allocates.
#ifndef DRISK_ITEM_TEXT_HPP
#define DRISK_ITEM_TEXT_HPP

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "float_text.hpp"
#include "platform.hpp"

namespace drisk {

// Room for any text written here: the longest is a whole double near
// -DBL_MAX, a "-" and 309 digits. Rounded up to a multiple of eight, with
// room for the eight-byte stores of the integer writer.
inline constexpr std::size_t ITEM_TEXT_CAPACITY = 320;

inline constexpr std::string_view TRUE_TEXT = "True";
inline constexpr std::string_view FALSE_TEXT = "False";

inline std::string_view bool_text(bool value) noexcept { return value ? TRUE_TEXT : FALSE_TEXT; }

namespace item_text_detail {

// The eight decimal digits of v < 10^8, leading zeros included, as digit
// values 0..9 packed one per byte, the most significant in the lowest byte
// (so that a little-endian store writes them in reading order). Each step
// splits every lane in two with a multiply by a reciprocal: 10^4 per half,
// 10^2 per 32-bit lane (10486 / 2^20), 10 per 16-bit lane (103 / 2^10). The
// products stay inside their lanes for every value below the lane's bound.
inline std::uint64_t eight_digit_values(std::uint32_t v) noexcept {
  const std::uint64_t halves = (v / 10000) | (std::uint64_t{v % 10000} << 32);
  const std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007FULL;
  const std::uint64_t pairs = hundreds | ((halves - hundreds * 100) << 16);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
  return tens | ((pairs - tens * 10) << 8);
}

constexpr std::uint64_t ASCII_ZEROS = 0x3030303030303030ULL;

// Writes v < 10^8 without leading zeros (v > 0). May store 8 bytes.
inline std::size_t write_leading_group(std::uint32_t v, char* out) noexcept {
  const std::uint64_t digits = eight_digit_values(v);
  // The first non-zero digit is the lowest non-zero byte.
  const unsigned skip = static_cast<unsigned>(std::countr_zero(digits)) / 8;
  const std::uint64_t text = (digits + ASCII_ZEROS) >> (8 * skip);
  std::memcpy(out, &text, 8);
  return 8 - skip;
}

// Writes v < 10^8 as exactly eight digits.
inline void write_full_group(std::uint32_t v, char* out) noexcept {
  const std::uint64_t text = eight_digit_values(v) + ASCII_ZEROS;
  std::memcpy(out, &text, 8);
}

}  // namespace item_text_detail

// Decimal text of an unsigned integer.
inline std::size_t format_uint64(std::uint64_t value, char* out) noexcept {
  if (value < 10) {
    out[0] = static_cast<char>('0' + value);
    return 1;
  }
  if constexpr (std::endian::native == std::endian::little) {
    using namespace item_text_detail;
    constexpr std::uint64_t E8 = 100000000;
    if (value < E8) {
      return write_leading_group(static_cast<std::uint32_t>(value), out);
    }
    if (value < E8 * E8) {
      const std::size_t n = write_leading_group(static_cast<std::uint32_t>(value / E8), out);
      write_full_group(static_cast<std::uint32_t>(value % E8), out + n);
      return n + 8;
    }
    const std::uint64_t low16 = value % (E8 * E8);
    const std::size_t n = write_leading_group(static_cast<std::uint32_t>(value / (E8 * E8)), out);
    write_full_group(static_cast<std::uint32_t>(low16 / E8), out + n);
    write_full_group(static_cast<std::uint32_t>(low16 % E8), out + n + 8);
    return n + 16;
  } else {
    return static_cast<std::size_t>(std::to_chars(out, out + ITEM_TEXT_CAPACITY, value).ptr - out);
  }
}

// Decimal text of a signed integer.
inline std::size_t format_int64(std::int64_t value, char* out) noexcept {
  if (value >= 0) {
    return format_uint64(static_cast<std::uint64_t>(value), out);
  }
  out[0] = '-';
  // Negated in unsigned arithmetic, where INT64_MIN has a magnitude too.
  return 1 + format_uint64(std::uint64_t{0} - static_cast<std::uint64_t>(value), out + 1);
}

namespace item_text_detail {

inline constexpr std::uint64_t POW10_U64[20] = {1,
                                                10,
                                                100,
                                                1000,
                                                10000,
                                                100000,
                                                1000000,
                                                10000000,
                                                100000000,
                                                1000000000,
                                                10000000000,
                                                100000000000,
                                                1000000000000,
                                                10000000000000,
                                                100000000000000,
                                                1000000000000000,
                                                10000000000000000,
                                                100000000000000000,
                                                1000000000000000000,
                                                10000000000000000000u};

// How many decimal digits v > 0 has.
inline int digit_count(std::uint64_t v) noexcept {
  const int guess = (64 - std::countl_zero(v)) * 1233 >> 12;  // floor(log10(2^bits))
  return guess + (v >= POW10_U64[guess] ? 1 : 0);
}

// Writes v < 10^width as exactly `width` digits (1 <= width <= 16), with
// leading zeros. May store up to 8 bytes past the text. The digits are put
// in place from registers: copying them through a buffer written piecewise
// stalls on every load that straddles two of its stores.
inline void write_padded(std::uint64_t v, int width, char* out) noexcept {
  if (width <= 2) {
    // Cents and tenths: the tens digit by a multiply (v * 103 >> 10 is
    // v / 10 below 100), no digit group.
    const auto tens = static_cast<std::uint32_t>(v * 103 >> 10);
    const auto ones = static_cast<std::uint32_t>(v) - tens * 10;
    const std::uint16_t text = width == 2
                                   ? static_cast<std::uint16_t>(('0' + tens) | ('0' + ones) << 8)
                                   : static_cast<std::uint16_t>('0' + ones);
    std::memcpy(out, &text, 2);
    return;
  }
  if (width <= 8) {
    // One group: the usual case (a fraction of a second, cents).
    const std::uint64_t text =
        (eight_digit_values(static_cast<std::uint32_t>(v)) + ASCII_ZEROS) >> (8 * (8 - width));
    std::memcpy(out, &text, 8);
    return;
  }
  const std::uint64_t high =
      eight_digit_values(static_cast<std::uint32_t>(v / 100000000)) + ASCII_ZEROS;
  const std::uint64_t low =
      eight_digit_values(static_cast<std::uint32_t>(v % 100000000)) + ASCII_ZEROS;
  const int skip = 16 - width;  // leading digits of the sixteen not wanted, 0 to 7
  const std::uint64_t first = skip == 0 ? high : (high >> (8 * skip)) | (low << (64 - 8 * skip));
  const std::uint64_t second = low >> (8 * skip);
  std::memcpy(out, &first, 8);
  std::memcpy(out + 8, &second, 8);
}

}  // namespace item_text_detail

// Whether format_double() tries a fraction's short digits first
// (float_text.hpp's short_decimal(), which gives the same digits as the
// shortest-digits search when the value has at most fifteen), and how often
// that worked. The test costs a multiplication and a division; in a column
// of full-precision values it fails on every row, so a column reader that
// sees it fail turns it off for a while.
struct ShortTries {
  bool enabled = true;
  unsigned hits = 0;
};

namespace item_text_detail {

// Stores eight bytes whose first in reading order is the word's lowest, as
// the digit groups above are built, whatever this machine's byte order.
inline void store_text(char* out, std::uint64_t text) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    text = byteswap64(text);
  }
  std::memcpy(out, &text, 8);
}

// The text of digits x 10^exponent, a decimal that is not whole, laid out as
// repr lays it out (exponent notation when the point is four or more places
// left of the first digit, or more than sixteen right of it, which no
// fraction reaches). Writes up to 32 bytes more than its text.
//
// The shortest digits of a double are fewer than 10^17, and those of a
// normal double that needed the full search have sixteen or seventeen. Such
// digits are scaled to exactly seventeen, split once into a leading digit
// and two groups of eight, and written from registers: no division, no loop
// and no branch that depends on the digits. Trailing zeros (the one added by
// the scaling among them) are found in the digit bytes rather than by
// dividing, and only counted: they are written, but left out of the length.
// Fewer digits (a short decimal, a subnormal) are first scaled to sixteen.
inline std::size_t write_fraction(ShortestDecimal decimal, char* cursor) noexcept {
  constexpr std::uint64_t E8 = 100000000;
  std::uint64_t digits = decimal.digits;
  int exponent = decimal.exponent;
  if (digits < E8 * E8 / 10) {
    const int missing = 16 - digit_count(digits);
    digits *= POW10_U64[missing];
    exponent -= missing;
  }
  // Sixteen digits are made seventeen with a zero at the end (sixteen or
  // seventeen is a coin toss: a multiplier picked, not a branch).
  const bool sixteen = digits < E8 * E8;
  digits *= sixteen ? 10 : 1;
  exponent -= sixteen ? 1 : 0;
  // Digits before the point; zeros after "0." when not positive.
  const int point = 17 + exponent;
  // The three groups come from two independent splits, to keep the chain of
  // multiplications short.
  const std::uint64_t top = digits / E8;
  const std::uint64_t lead = top / E8;
  const std::uint64_t high = eight_digit_values(static_cast<std::uint32_t>(top - lead * E8));
  const std::uint64_t low = eight_digit_values(static_cast<std::uint32_t>(digits - top * E8));
  // Zero digits are zero bytes; the last digit is the highest byte of the
  // last group. A decimal that is not whole has a non-zero digit after the
  // first, so the groups are not both zero.
  const int trailing = low != 0 ? std::countl_zero(low) / 8 : 8 + std::countl_zero(high) / 8;
  const int significant = 17 - trailing;
  // The digits in reading order: the first sixteen in a 128-bit register,
  // the seventeenth on its own.
  const std::uint64_t head = high + ASCII_ZEROS;
  const std::uint64_t tail = low + ASCII_ZEROS;
  const Wide128 first = {(tail << 8) | (head >> 56), (head << 8) | (lead + '0')};
  const auto last = static_cast<char>(tail >> 56);
  if (point >= 1) {
    // "123.456": the digits, then the fraction's digits again one place
    // further on, then the point between them: stores from registers,
    // overlapping, and no byte moved in a loop. The fraction's first digit
    // is digit `point` (at most sixteen, as a fraction is below 2^53); at
    // sixteen the shift wraps to none, and what that writes after the
    // seventeenth digit lies past the text.
    const Wide128 fraction = wide_shift_right(first, static_cast<unsigned>(8 * point) & 127);
    store_text(cursor, first.low);
    store_text(cursor + 8, first.high);
    store_text(cursor + point + 1, fraction.low);
    store_text(cursor + point + 9, fraction.high);
    cursor[17] = last;
    cursor[point] = '.';
    return static_cast<std::size_t>(significant) + 1;
  }
  if (point > -4) {
    // "0.000123"
    std::memcpy(cursor, "0.000000", 8);
    char* const start = cursor + 2 - point;
    store_text(start, first.low);
    store_text(start + 8, first.high);
    start[16] = last;
    return static_cast<std::size_t>(2 - point + significant);
  }
  // "1.2345e-05", "5e-324": rare, so through a buffer.
  char text[24];
  store_text(text, first.low);
  store_text(text + 8, first.high);
  text[16] = last;
  char* const start = cursor;
  *cursor++ = text[0];
  if (significant > 1) {
    *cursor++ = '.';
    std::memcpy(cursor, text + 1, static_cast<std::size_t>(significant - 1));
    cursor += significant - 1;
  }
  const int magnitude = 1 - point;  // the exponent is point - 1 < -4
  std::memcpy(cursor, "e-", 2);
  cursor += 2;
  if (magnitude >= 100) {
    *cursor++ = static_cast<char>('0' + magnitude / 100);
  }
  *cursor++ = static_cast<char>('0' + magnitude / 10 % 10);
  *cursor++ = static_cast<char>('0' + magnitude % 10);
  return static_cast<std::size_t>(cursor - start);
}

// repr() of a finite double that is not whole: its shortest digits, laid
// out by write_fraction().
inline std::size_t format_fraction(double value, char* out, ShortTries& tries) noexcept {
  // The sign without a branch: in data it is a coin toss.
  out[0] = '-';
  const std::size_t sign = value < 0 ? 1 : 0;
  value = std::fabs(value);
  ShortestDecimal decimal{};
  const bool short_digits = tries.enabled && float_text_detail::short_decimal(value, decimal);
  tries.hits += short_digits ? 1 : 0;
  if (!short_digits) {
    decimal = shortest_decimal(value);
  }
  return sign + write_fraction(decimal, out + sign);
}

}  // namespace item_text_detail

// The text of a double that is not NaN (see the table above).
inline std::size_t format_double(double value, char* out, ShortTries& tries) noexcept {
  // Whole values below 2^63 in magnitude go through the integer writer; the
  // conversion is exact there, and -0.0 becomes 0.
  if (std::fabs(value) < 0x1p63) {
    const auto whole = static_cast<std::int64_t>(value);
    if (static_cast<double>(whole) == value) {
      return format_int64(whole, out);
    }
    return item_text_detail::format_fraction(value, out, tries);
  }
  if (std::isinf(value)) {
    const std::string_view text = value > 0 ? std::string_view("inf") : std::string_view("-inf");
    std::memcpy(out, text.data(), text.size());
    return text.size();
  }
  return write_whole_double(value, out);  // every double this large is whole
}

inline std::size_t format_double(double value, char* out) noexcept {
  ShortTries tries;
  return format_double(value, out, tries);
}

}  // namespace drisk

#endif  // DRISK_ITEM_TEXT_HPP
