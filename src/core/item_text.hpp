// drisk: the text that stands for a number or a boolean as an item.
//
// A sketch hashes bytes. Values that are not text are hashed as the text
// Python shows for them, so that 42 from an Arrow column, a NumPy array or a
// Python list, the str "42" and the line "42" of a file are all one item:
//
//   integers   decimal, with a leading "-" when negative ("42", "-7")
//   floats     what repr() gives: the shortest digits that read back as the
//              same double, laid out as repr lays them out ("1.0", "1.5",
//              "1e+16", "1e-05", "0.0001", "inf", "-inf"); -0.0 is "0.0".
//              NaN has no text: it is a missing value and is never hashed.
//   booleans   "True" and "False"
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

namespace drisk {

// Room for any text written here ("-2.2250738585072014e-308" is 24 bytes,
// "-9223372036854775808" is 20), rounded up so that the eight-byte stores of
// the integer writer never run past the end.
inline constexpr std::size_t ITEM_TEXT_CAPACITY = 32;

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

// repr() of a double that is not NaN.
inline std::size_t format_double(double value, char* out) noexcept {
  if (value == 0.0) {  // -0.0 too
    std::memcpy(out, "0.0", 3);
    return 3;
  }
  char* cursor = out;
  if (std::signbit(value)) {
    *cursor++ = '-';
    value = -value;
  }
  if (std::isinf(value)) {
    std::memcpy(cursor, "inf", 3);
    return static_cast<std::size_t>(cursor + 3 - out);
  }
  // The shortest digits that read back as `value`, as "d[.ddd]e±xx".
  char sci[ITEM_TEXT_CAPACITY];
  const char* const sci_end =
      std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  char digits[20];
  std::size_t count = 0;
  const char* p = sci;
  for (; *p != 'e'; ++p) {
    if (*p != '.') {
      digits[count++] = *p;
    }
  }
  ++p;  // the 'e'
  const bool negative_exponent = *p == '-';
  int exponent = 0;
  for (++p; p < sci_end; ++p) {
    exponent = exponent * 10 + (*p - '0');
  }
  if (negative_exponent) {
    exponent = -exponent;
  }
  // repr's layout: the decimal point sits `point` digits in; exponent
  // notation when that is far out on either side.
  const int point = exponent + 1;
  if (point <= -4 || point > 16) {
    *cursor++ = digits[0];
    if (count > 1) {
      *cursor++ = '.';
      std::memcpy(cursor, digits + 1, count - 1);
      cursor += count - 1;
    }
    *cursor++ = 'e';
    *cursor++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude >= 100) {
      *cursor++ = static_cast<char>('0' + magnitude / 100);
    }
    *cursor++ = static_cast<char>('0' + magnitude / 10 % 10);
    *cursor++ = static_cast<char>('0' + magnitude % 10);
  } else if (point <= 0) {
    *cursor++ = '0';
    *cursor++ = '.';
    std::memset(cursor, '0', static_cast<std::size_t>(-point));
    cursor += -point;
    std::memcpy(cursor, digits, count);
    cursor += count;
  } else if (static_cast<std::size_t>(point) >= count) {
    std::memcpy(cursor, digits, count);
    cursor += count;
    std::memset(cursor, '0', static_cast<std::size_t>(point) - count);
    cursor += static_cast<std::size_t>(point) - count;
    std::memcpy(cursor, ".0", 2);
    cursor += 2;
  } else {
    const auto whole = static_cast<std::size_t>(point);
    std::memcpy(cursor, digits, whole);
    cursor += whole;
    *cursor++ = '.';
    std::memcpy(cursor, digits + whole, count - whole);
    cursor += count - whole;
  }
  return static_cast<std::size_t>(cursor - out);
}

}  // namespace drisk

#endif  // DRISK_ITEM_TEXT_HPP
