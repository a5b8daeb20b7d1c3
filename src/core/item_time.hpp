// drisk: the item texts of dates, timestamps and times of day.
//
// The rules are in item_text.hpp's table; these are their writers. A date is
// a count of days since 1970-01-01 (Arrow date32, NumPy datetime64[D]); a
// timestamp is a count of units since 1970-01-01T00:00:00 (Arrow timestamp,
// NumPy datetime64, Python's datetime once its fields are summed); a time of
// day is a count of units since midnight. Every int64 of every unit has a
// text: the calendar is the proleptic Gregorian one, extended both ways
// (H. Hinnant's civil_from_days, exact over the whole int64 range of days).
//
// Like the other writers, each fills a buffer of ITEM_TEXT_CAPACITY bytes
// (the longest text here is 46 bytes) and allocates nothing.
#ifndef DRISK_ITEM_TIME_HPP
#define DRISK_ITEM_TIME_HPP

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "item_text.hpp"

namespace drisk {

// The unit of a count: its number of nanoseconds, so that the units of Arrow
// and NumPy (s, ms, us, ns) map straight onto it.
enum class TimeUnit : std::int64_t {
  second = 1000000000,
  milli = 1000000,
  micro = 1000,
  nano = 1,
};

namespace item_time_detail {

constexpr std::int64_t DAY_SECONDS = 86400;

// floor(a / b) and the remainder that goes with it (0 <= r < b), for b > 0.
struct FloorDiv {
  std::int64_t quotient;
  std::int64_t remainder;
};
constexpr FloorDiv floor_div(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t q = a / b;
  std::int64_t r = a % b;
  if (r < 0) {
    --q;
    r += b;
  }
  return {q, r};
}

struct Civil {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// The date `days` after 1970-01-01: the calendar repeats every 400 years
// (146097 days), counted from 0000-03-01 so that the leap day ends a year.
constexpr Civil civil_from_days(std::int64_t days) noexcept {
  // The eras of `days` and of the shift to 0000-03-01 are found apart:
  // days + 719468 overflows for the last 719468 counts below INT64_MAX.
  const auto [whole_eras, rest] = floor_div(days, 146097);
  const auto [carry, day_of_era] = floor_div(rest + 719468, 146097);
  const std::int64_t era = whole_eras + carry;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  const auto day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const auto month =
      static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// The inverse: days after 1970-01-01 of year-month-day (month 1..12).
constexpr std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const auto [era, year_of_era] = floor_div(y, 400);
  const std::int64_t shifted_month = month > 2 ? month - 3 : month + 9;  // March is 0
  const std::int64_t day_of_year = (153 * shifted_month + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

inline char* two_digits(unsigned v, char* out) noexcept {
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
  return out + 2;
}

// The year as C's "%04d" writes it (and NumPy with it): at least four
// characters, a "-" counting as one; "2024", "0999", "-001", "12345".
inline char* write_year(std::int64_t year, char* out) noexcept {
  if (year >= 1000) {
    return out + format_int64(year, out);
  }
  if (year >= 0) {
    const auto y = static_cast<unsigned>(year);
    out[0] = '0';
    out[1] = static_cast<char>('0' + y / 100);
    return two_digits(y % 100, out + 2);
  }
  if (year > -1000) {
    const auto y = static_cast<unsigned>(-year);
    out[0] = '-';
    out[1] = static_cast<char>('0' + y / 100);
    return two_digits(y % 100, out + 2);
  }
  return out + format_int64(year, out);
}

// "00" to "99", two characters each: a pair of digits is one load.
inline constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline std::uint64_t digit_pair(unsigned v) noexcept {
  std::uint16_t pair = 0;
  std::memcpy(&pair, DIGIT_PAIRS + 2 * v, 2);
  return pair;
}

// The days from 0000-03-01 to 1970-01-01, and the last day of year 9999.
constexpr std::int64_t DAYS_FROM_MARCH_OF_YEAR_0 = 719468;
constexpr std::int64_t LAST_DAY_OF_9999 = 2932896;

// "YYYY-MM-DD" of a day from 0000-03-01 to 9999-12-31, built in registers
// and stored in two pieces: texts stored byte by byte and then read back
// whole (as a view's memory of its last date is) stall the processor. The
// calendar is C. Neri and L. Schneider's ("Euclidean affine functions and
// their application to calendar algorithms", 2022): 32-bit products
// instead of civil_from_days' 64-bit divisions, exact over this range.
struct ShortDate {
  std::uint64_t head;  // "YYYY-MM-", little-endian
  std::uint16_t tail;  // "DD"

  void store(char* out) const noexcept {
    std::memcpy(out, &head, 8);
    std::memcpy(out + 8, &tail, 2);
  }
};

inline bool short_date(std::int64_t days, ShortDate& out) noexcept {
  if (std::endian::native != std::endian::little || days < -DAYS_FROM_MARCH_OF_YEAR_0 ||
      days > LAST_DAY_OF_9999) {
    return false;
  }
  const auto n = static_cast<std::uint32_t>(days + DAYS_FROM_MARCH_OF_YEAR_0);
  const std::uint32_t n1 = 4 * n + 3;
  const std::uint32_t century = n1 / 146097;
  const std::uint32_t day_of_century = n1 % 146097 / 4;
  const std::uint64_t p2 = std::uint64_t{2939745} * (4 * day_of_century + 3);
  const auto year_of_century = static_cast<std::uint32_t>(p2 >> 32);
  const std::uint32_t day_of_year = static_cast<std::uint32_t>(p2) / 2939745 / 4;
  const std::uint32_t n3 = 2141 * day_of_year + 197913;  // March is month 3
  const bool january_or_february = day_of_year >= 306;
  const std::uint32_t year = 100 * century + year_of_century + (january_or_february ? 1 : 0);
  const std::uint32_t month = (n3 >> 16) - (january_or_february ? 12 : 0);
  const std::uint32_t day = (n3 & 0xFFFF) / 2141 + 1;
  out.head = digit_pair(year / 100) | digit_pair(year % 100) << 16 | std::uint64_t{'-'} << 32 |
             digit_pair(month) << 40 | std::uint64_t{'-'} << 56;
  out.tail = static_cast<std::uint16_t>(digit_pair(day));
  return true;
}

inline char* write_date(std::int64_t days, char* out) noexcept {
  if (ShortDate date{}; short_date(days, date)) {
    date.store(out);
    return out + 10;
  }
  const Civil civil = civil_from_days(days);
  out = write_year(civil.year, out);
  *out++ = '-';
  out = two_digits(civil.month, out);
  *out++ = '-';
  return two_digits(civil.day, out);
}

// "HH:MM:SS" and the fraction of a second by the rule: nothing when zero,
// six digits when whole microseconds, else nine.
inline char* write_clock(std::int64_t second_of_day, std::int64_t nanos, char* out) noexcept {
  const auto s = static_cast<unsigned>(second_of_day);
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t clock = digit_pair(s / 3600) | std::uint64_t{':'} << 16 |
                                digit_pair(s / 60 % 60) << 24 | std::uint64_t{':'} << 40 |
                                digit_pair(s % 60) << 48;
    std::memcpy(out, &clock, 8);
    out += 8;
  } else {
    out = two_digits(s / 3600, out);
    *out++ = ':';
    out = two_digits(s / 60 % 60, out);
    *out++ = ':';
    out = two_digits(s % 60, out);
  }
  if (nanos == 0) {
    return out;
  }
  *out++ = '.';
  if (nanos % 1000 == 0) {
    item_text_detail::write_padded(static_cast<std::uint64_t>(nanos / 1000), 6, out);
    return out + 6;
  }
  item_text_detail::write_padded(static_cast<std::uint64_t>(nanos), 9, out);
  return out + 9;
}

}  // namespace item_time_detail

// date.isoformat() of the day `days` after 1970-01-01.
inline std::size_t format_date(std::int64_t days, char* out) noexcept {
  return static_cast<std::size_t>(item_time_detail::write_date(days, out) - out);
}

// datetime.isoformat() of `seconds` after 1970-01-01T00:00:00 plus
// `nanos` (0 <= nanos < 10^9); `utc` for a timestamp with a time zone,
// counted from the UTC epoch (as Arrow and NumPy keep it): it ends in
// "+00:00".
inline std::size_t format_timestamp_parts(std::int64_t seconds, std::int64_t nanos, bool utc,
                                          char* out) noexcept {
  using namespace item_time_detail;
  const auto [days, second_of_day] = floor_div(seconds, DAY_SECONDS);
  char* cursor = write_date(days, out);
  *cursor++ = 'T';
  cursor = write_clock(second_of_day, nanos, cursor);
  if (utc) {
    std::memcpy(cursor, "+00:00", 6);
    cursor += 6;
  }
  return static_cast<std::size_t>(cursor - out);
}

// The same for `value` units after the epoch.
inline std::size_t format_timestamp(std::int64_t value, TimeUnit unit, bool utc,
                                    char* out) noexcept {
  const auto per_second =
      static_cast<std::int64_t>(TimeUnit::second) / static_cast<std::int64_t>(unit);
  const auto [seconds, part] = item_time_detail::floor_div(value, per_second);
  return format_timestamp_parts(seconds, part * static_cast<std::int64_t>(unit), utc, out);
}

// time.isoformat() of `value` units after midnight, 0 <= value < one day
// (the caller refuses other values).
inline std::size_t format_time_of_day(std::int64_t value, TimeUnit unit, char* out) noexcept {
  using namespace item_time_detail;
  const auto per_second =
      static_cast<std::int64_t>(TimeUnit::second) / static_cast<std::int64_t>(unit);
  const auto [seconds, part] = floor_div(value, per_second);
  return static_cast<std::size_t>(
      write_clock(seconds, part * static_cast<std::int64_t>(unit), out) - out);
}

}  // namespace drisk

#endif  // DRISK_ITEM_TIME_HPP
