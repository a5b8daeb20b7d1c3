// drisk: the row views of dates, timestamps, times of day and decimals.
//
// Each of these columns holds integers whose meaning is the column's: a
// count of days or of some unit of time since an origin, or a decimal
// coefficient with the column's scale. A view reads row r's integer and
// writes the value's item text (item_time.hpp, item_decimal.hpp) into the
// row's slot of the batch arena, exactly as NumberView does for numbers, so
// these run through absorb_formatted() like any number column. Dates of the
// years 0 to 9999 skip even that: their ten bytes are built and hashed in
// registers (absorb_hashed()).
//
// Timestamps sorted or clustered in time (the common case: logs, events)
// share their date, and often their minute, with the row before; a view
// keeps the last date and minute it wrote and copies them rather than
// working out the calendar and the clock again. A row equal to the last one
// (a run of one date, events logged in the same microsecond) is not written
// or hashed at all: its item is the last row's, already in the sketch. Each
// call of absorb_formatted() and absorb_hashed() has its own copy of the
// view, so the two cores never share that memory.
#ifndef DRISK_COLUMNS_VALUE_VIEWS_HPP
#define DRISK_COLUMNS_VALUE_VIEWS_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "integer_lanes.hpp"
#include "item_decimal.hpp"
#include "item_time.hpp"
#include "platform.hpp"
#include "row_views.hpp"

namespace drisk::columns {

// The counts of a unit in a second and in a day.
template <TimeUnit U>
inline constexpr std::int64_t PER_SECOND = static_cast<std::int64_t>(TimeUnit::second) /
                                           static_cast<std::int64_t>(U);
template <TimeUnit U>
inline constexpr std::int64_t PER_DAY = PER_SECOND<U>* item_time_detail::DAY_SECONDS;

// NumPy's NaT: the smallest int64, a missing value.
inline constexpr std::int64_t NOT_A_TIME = INT64_MIN;

// A run of Count integers, base + r * stride; with Nat, INT64_MIN is missing.
template <class Count, bool Nat>
struct CountColumn {
  const std::uint8_t* base;
  std::ptrdiff_t stride;

  void prefetch(std::size_t row) const noexcept {
    drisk::prefetch(base + static_cast<std::ptrdiff_t>(row) * stride);
  }
  Count at(std::size_t row) const noexcept {
    return load<Count>(base + static_cast<std::ptrdiff_t>(row) * stride);
  }
  static bool missing(std::int64_t value) noexcept { return Nat && value == NOT_A_TIME; }
};

// The last date a view wrote, and its text, kept in registers (see
// ShortDate); dates outside the years 0 to 9999 are written each time.
struct DateMemo {
  std::int64_t day = INT64_MIN;
  item_time_detail::ShortDate text{};

  // Whether text holds the date `days` (in the years 0 to 9999).
  bool hold(std::int64_t days) noexcept {
    if (days != day) {
      if (!item_time_detail::short_date(days, text)) {
        day = INT64_MIN;
        return false;
      }
      day = days;
    }
    return true;
  }

  // Writes the text of `days` at out; returns the length.
  std::size_t write(std::int64_t days, char* out) noexcept {
    if (!hold(days)) {
      return format_date(days, out);
    }
    text.store(out);
    return 10;
  }
};

// XXH3_64bits of a date's ten bytes, straight from the registers that
// hold them: XXH3's path for 9 to 16 bytes (xxhash.h, XXH3_len_9to16_64b,
// seed 0), whose two reads are the first eight bytes and the last eight
// (bytes 2 to 9).
inline std::uint64_t hash_short_date(const item_time_detail::ShortDate& date) noexcept {
  const std::uint64_t bitflip1 = XXH_readLE64(XXH3_kSecret + 24) ^ XXH_readLE64(XXH3_kSecret + 32);
  const std::uint64_t bitflip2 = XXH_readLE64(XXH3_kSecret + 40) ^ XXH_readLE64(XXH3_kSecret + 48);
  const std::uint64_t low = date.head ^ bitflip1;
  const std::uint64_t high = ((date.head >> 16) | std::uint64_t{date.tail} << 48) ^ bitflip2;
  const std::uint64_t acc = 10 + XXH_swap64(low) + high + XXH3_mul128_fold64(low, high);
  return XXH3_avalanche(acc);
}

// Dates: a count of days, or of units of which a day holds PerDay (Arrow's
// date64 counts milliseconds), written as date.isoformat(). Dates of the
// years 0 to 9999 are hashed without being written (hash_short_date);
// absorb_hashed() drives them.
template <class Count, std::int64_t PerDay, bool Nat>
struct DateView : CountColumn<Count, Nat> {
  static constexpr bool FORMATTED = true;
  static constexpr bool HASHED = true;
  DateMemo memo{};
  // The last value insert_row() inserted (when `inserted`).
  std::int64_t last = 0;
  bool inserted = false;

  std::int64_t days_of(std::int64_t value) const noexcept {
    if constexpr (PerDay != 1) {
      return item_time_detail::floor_div(value, PerDay).quotient;
    } else {
      return value;
    }
  }

  Seen operator()(std::size_t row, ItemView& out, char* slot) noexcept {
    const std::int64_t value = this->at(row);
    if (this->missing(value)) {
      return MISSING;
    }
    out = {slot, memo.write(days_of(value), slot)};
    return ABSORBED;
  }

  // Row r's item straight into the registers; nothing to do for a row
  // equal to the last one inserted (checked first: one comparison, and
  // the branch is predicted both in runs and in columns without them).
  Seen insert_row(std::size_t row, std::uint8_t* registers, unsigned p) noexcept {
    const std::int64_t value = this->at(row);
    if (value == last && inserted) {
      return ABSORBED;
    }
    if (this->missing(value)) {
      return MISSING;
    }
    last = value;
    inserted = true;
    const std::int64_t days = days_of(value);
    if (item_time_detail::ShortDate date{}; item_time_detail::short_date(days, date)) {
      insert_hash(registers, p, hash_short_date(date));
    } else {
      char text[ITEM_TEXT_CAPACITY];
      insert(registers, p, text, format_date(days, text));
    }
    return ABSORBED;
  }
};

// The loop for views that insert a row's item themselves (HASHED): no text
// goes through memory. absorb_rows() drives them, each row's step being the
// view's insert_row(), which never finds a row malformed.
template <class View>
struct HashedRows {
  View& view;

  void prefetch(std::size_t row) const noexcept { view.prefetch(row); }
  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    return view.insert_row(row, registers, p);
  }
};

template <bool Nullable, class View>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_hashed(HyperLogLogCore& core,
                                                            const std::uint8_t* validity,
                                                            std::int64_t validity_offset,
                                                            std::size_t begin, std::size_t end,
                                                            const View& shared) noexcept {
  View view = shared;  // this call's own memory of the last row
  return absorb_rows<Nullable>(core, validity, validity_offset, begin, end, HashedRows<View>{view});
}

// Timestamps: a count of U since 1970-01-01T00:00:00, written as
// datetime.isoformat(), in UTC with "+00:00" when the column has a zone.
template <TimeUnit U, bool Nat>
struct TimestampView : CountColumn<std::int64_t, Nat> {
  static constexpr bool FORMATTED = true;
  bool utc = false;
  DateMemo memo{};
  // The last minute written ("YYYY-MM-DDTHH:MM" in two words, for dates the
  // memo keeps in registers): rows of the same minute copy it and write
  // only their seconds and fraction.
  std::int64_t minute = INT64_MIN;
  std::uint64_t minute_text[2] = {};
  // The last value written (when `wrote`).
  std::int64_t last = 0;
  bool wrote = false;

  bool repeats_last(std::size_t row) const noexcept { return this->at(row) == last && wrote; }

  Seen operator()(std::size_t row, ItemView& out, char* slot) noexcept {
    using namespace item_time_detail;
    const std::int64_t value = this->at(row);
    if (this->missing(value)) {
      return MISSING;
    }
    last = value;
    wrote = true;
    const auto [seconds, part] = floor_div(value, PER_SECOND<U>);
    const auto [minutes, second] = floor_div(seconds, 60);
    char* cursor = slot;
    if (minutes != minute) {
      const auto [days, minute_of_day] = floor_div(minutes, 1440);
      if (!memo.hold(days)) {
        // A year beyond 0 to 9999: written in full each time.
        minute = INT64_MIN;
        cursor = slot + format_date(days, slot);
        *cursor++ = 'T';
        // The second of the day from its small parts: seconds - days * DAY_SECONDS
        // would overflow at the far ends of the int64 range.
        cursor =
            write_clock(minute_of_day * 60 + second, part * static_cast<std::int64_t>(U), cursor);
        return finish(cursor, slot, out);
      }
      const auto m = static_cast<unsigned>(minute_of_day);
      minute = minutes;
      minute_text[0] = memo.text.head;
      minute_text[1] = memo.text.tail | std::uint64_t{'T'} << 16 | digit_pair(m / 60) << 24 |
                       std::uint64_t{':'} << 40 | digit_pair(m % 60) << 48;
    }
    std::memcpy(cursor, minute_text, 16);
    const std::uint32_t tail =
        ':' | static_cast<std::uint32_t>(digit_pair(static_cast<unsigned>(second))) << 8;
    std::memcpy(cursor + 16, &tail, 4);
    cursor += 19;
    const std::int64_t nanos = part * static_cast<std::int64_t>(U);
    if (nanos != 0) {
      *cursor++ = '.';
      if (nanos % 1000 == 0) {
        item_text_detail::write_padded(static_cast<std::uint64_t>(nanos / 1000), 6, cursor);
        cursor += 6;
      } else {
        item_text_detail::write_padded(static_cast<std::uint64_t>(nanos), 9, cursor);
        cursor += 9;
      }
    }
    return finish(cursor, slot, out);
  }

  Seen finish(char* cursor, char* slot, ItemView& out) const noexcept {
    if (utc) {
      std::memcpy(cursor, "+00:00", 6);
      cursor += 6;
    }
    out = {slot, static_cast<std::size_t>(cursor - slot)};
    return ABSORBED;
  }
};

// Times of day: a count of U since midnight, written as time.isoformat();
// a count outside the day is malformed.
template <class Count, TimeUnit U>
struct TimeOfDayView : CountColumn<Count, false> {
  static constexpr bool FORMATTED = true;

  bool malformed(std::size_t row) const noexcept {
    const std::int64_t value = this->at(row);
    return value < 0 || value >= PER_DAY<U>;
  }

  Seen operator()(std::size_t row, ItemView& out, char* slot) const noexcept {
    const std::int64_t value = this->at(row);
    if (value < 0 || value >= PER_DAY<U>) {
      return MALFORMED;
    }
    out = {slot, format_time_of_day(value, U, slot)};
    return ABSORBED;
  }
};

// Decimals: a little-endian two's complement coefficient of Bytes bytes
// (4, 8, 16 or 32) times 10^-scale. Coefficients that fit in 64 bits (every
// decimal of up to 18 digits) take the short way.

// The coefficient at `at` as an int64 in `out`, and whether it fits: every
// limb above the first is the first's sign.
template <std::size_t Bytes>
bool narrow_coefficient(const std::uint8_t* at, std::int64_t& out) noexcept {
  if constexpr (Bytes <= 8) {
    out = Bytes == 4 ? load<std::int32_t>(at) : load<std::int64_t>(at);
    return true;
  } else {
    std::uint64_t limbs[Bytes / 8];
    std::memcpy(limbs, at, Bytes);
    const std::uint64_t sign =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(limbs[0]) >> 63);
    bool fits = true;
    for (std::size_t i = 1; i < Bytes / 8; ++i) {
      fits &= limbs[i] == sign;
    }
    out = static_cast<std::int64_t>(limbs[0]);
    return fits;
  }
}

template <std::size_t Bytes>
struct DecimalView {
  static constexpr bool FORMATTED = true;
  const std::uint8_t* data;
  std::int32_t scale;

  void prefetch(std::size_t row) const noexcept { drisk::prefetch(data + row * Bytes); }

  Seen operator()(std::size_t row, ItemView& out, char* slot) const noexcept {
    const std::uint8_t* at = data + row * Bytes;
    std::int64_t narrow = 0;
    if (narrow_coefficient<Bytes>(at, narrow)) {
      out = {slot, format_scaled_int64(narrow, scale, slot)};
    } else if constexpr (Bytes > 8) {  // narrower coefficients always fit
      std::uint64_t limbs[Bytes / 8];
      std::memcpy(limbs, at, Bytes);
      out = {slot, format_scaled_integer(limbs, static_cast<int>(Bytes / 8), scale, slot)};
    }
    return ABSORBED;
  }
};

// Decimals of scale 2 (prices) without nulls, through the price lanes
// (integer_lanes.hpp's cents_run), which write the same text as
// format_scaled_int64 does: a chunk of coefficients narrowed to int64 on the
// stack at a time. A chunk holding one too wide for that, or where fewer than
// half are prices the lanes take (10.01 to 99999.99: amounts with signs and
// large ones), goes through the view a row at a time, and after the latter
// the next PRICE_RETRY_CHUNKS chunks go there straight.
constexpr unsigned PRICE_RETRY_CHUNKS = 16;

template <std::size_t Bytes>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_decimal_prices(HyperLogLogCore& core,
                                                                    IntegerRun prices,
                                                                    const DecimalView<Bytes>& view,
                                                                    std::size_t begin,
                                                                    std::size_t end) noexcept {
  constexpr std::size_t CHUNK = 256;
  std::int64_t narrow[CHUNK];
  std::size_t absorbed = 0;
  unsigned skip = 0;
  for (std::size_t row = begin; row < end; row += CHUNK) {
    const std::size_t n = std::min(CHUNK, end - row);
    bool fits = skip == 0;
    std::size_t in_lanes = 0;
    for (std::size_t i = 0; i < n && fits; ++i) {
      fits = narrow_coefficient<Bytes>(view.data + (row + i) * Bytes, narrow[i]);
      in_lanes += static_cast<std::uint64_t>(narrow[i]) - PRICE_LANES_FIRST <
                          PRICE_LANES_END - PRICE_LANES_FIRST
                      ? 1
                      : 0;
    }
    skip -= skip > 0 ? 1 : 0;
    if (fits && 2 * in_lanes < n) {
      skip = PRICE_RETRY_CHUNKS;
      fits = false;
    }
    absorbed += fits ? prices(core, reinterpret_cast<const std::uint8_t*>(narrow), 0, n).first
                     : absorb_formatted<false>(core, nullptr, 0, row, row + n, view).first;
  }
  return {absorbed, false};
}

// Calls f with the view of the column type's dates, timestamps or times
// (Date32 to Time64) over the counts at base + r * stride; Nat when
// INT64_MIN stands for a missing value.
template <bool Nat, class F>
void visit_time_view(ValueKind kind, TimeUnit unit, bool utc, const std::uint8_t* base,
                     std::ptrdiff_t stride, F&& f) {
  const auto timestamps = [&]<TimeUnit U>() {
    return f(TimestampView<U, Nat>{{base, stride}, utc});
  };
  switch (kind) {
    case ValueKind::Date32:
      // Arrow's date32 is 32 bits wide; NumPy's datetime64[D] (Nat) 64.
      if constexpr (Nat) {
        return f(DateView<std::int64_t, 1, true>{{base, stride}});
      } else {
        return f(DateView<std::int32_t, 1, false>{{base, stride}});
      }
    case ValueKind::Date64:
      return f(DateView<std::int64_t, PER_DAY<TimeUnit::milli>, Nat>{{base, stride}});
    case ValueKind::Timestamp:
      switch (unit) {
        case TimeUnit::second:
          return timestamps.template operator()<TimeUnit::second>();
        case TimeUnit::milli:
          return timestamps.template operator()<TimeUnit::milli>();
        case TimeUnit::micro:
          return timestamps.template operator()<TimeUnit::micro>();
        default:
          return timestamps.template operator()<TimeUnit::nano>();
      }
    case ValueKind::Time32:
      if (unit == TimeUnit::second) {
        return f(TimeOfDayView<std::int32_t, TimeUnit::second>{{base, stride}});
      }
      return f(TimeOfDayView<std::int32_t, TimeUnit::milli>{{base, stride}});
    default:
      if (unit == TimeUnit::micro) {
        return f(TimeOfDayView<std::int64_t, TimeUnit::micro>{{base, stride}});
      }
      return f(TimeOfDayView<std::int64_t, TimeUnit::nano>{{base, stride}});
  }
}

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_VALUE_VIEWS_HPP
