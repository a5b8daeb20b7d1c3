// drisk: the row views of a column and the loops that drive them.
//
// Every reader here is a small "view" functor that turns row r of a column
// into the bytes of its item: the column's own memory for text and binary,
// inserted at once (insert.hpp); for numbers, the item text (item_text.hpp)
// written into a per-batch arena on the stack and inserted once the batch is
// written. absorb_rows() and absorb_formatted() drive a view over a range of
// rows, skipping missing ones. Nothing in these loops allocates or locks.
//
// Layout checks that cost a few comparisons per row (offsets that must stay
// between the array's first and last, views that must stay inside their
// buffers) are made by the views; a row that fails one stops its range
// before anything is read through it. (The C data interface gives no buffer
// sizes except for views, so the producer is trusted for an array's first
// and last offsets, the two that pyarrow's readers check against the data;
// every other offset is checked here, against those two.)
#ifndef DRISK_COLUMNS_ROW_VIEWS_HPP
#define DRISK_COLUMNS_ROW_VIEWS_HPP

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#include "insert.hpp"
#include "item_text.hpp"
#include "platform.hpp"
#include "sketch_core.hpp"
#include "value_kinds.hpp"

namespace drisk::columns {

// What a view did with one row.
enum Seen : int { MALFORMED = -1, MISSING = 0, ABSORBED = 1 };

using ItemView = HyperLogLogCore::ItemView;

// The loops below are flattened: insert() and the hash are compiled into
// each of them rather than called per item.
//
// Numbers are written out as text a batch at a time, then hashed: hashing a
// text straight after writing it would read back bytes still on their way
// to the cache, and the processor stalls on such reads. The batch's texts
// and views (about 12 KiB) stay in the first-level cache.
constexpr std::size_t BATCH = 256;

// Rows ahead whose memory is requested before it is needed. The hardware
// prefetcher alone falls behind on some machines (virtual ones especially),
// and a loop that waits for memory wastes the second core too.
constexpr std::size_t PREFETCH_ROWS = 128;

inline bool bit_is_set(const std::uint8_t* bits, std::int64_t index) noexcept {
  return ((bits[index >> 3] >> (index & 7)) & 1) != 0;
}

template <class T>
T load(const std::uint8_t* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// IEEE half precision to double; exact for every half.
inline double half_to_double(std::uint16_t bits) noexcept {
  const double sign = (bits & 0x8000) != 0 ? -1.0 : 1.0;
  const int exponent = (bits >> 10) & 0x1F;
  const int fraction = bits & 0x3FF;
  if (exponent == 0x1F) {
    return fraction != 0 ? std::nan("") : sign * HUGE_VAL;
  }
  if (exponent == 0) {
    return sign * std::ldexp(fraction, -24);
  }
  return sign * std::ldexp(fraction + 1024, exponent - 25);
}

template <class T>
T byte_swapped(T value) noexcept {
  if constexpr (sizeof(T) == 1) {
    return value;
  } else if constexpr (sizeof(T) == 2) {
    return byteswap16(value);
  } else if constexpr (sizeof(T) == 4) {
    return byteswap32(value);
  } else {
    return byteswap64(value);
  }
}

// The decimal text of an integer of any width.
template <class Value>
inline std::size_t format_integer(Value value, char* out) noexcept {
  return std::is_signed_v<Value> ? format_int64(static_cast<std::int64_t>(value), out)
                                 : format_uint64(static_cast<std::uint64_t>(value), out);
}

inline void insert_text(std::uint8_t* registers, unsigned p, std::string_view text) noexcept {
  insert(registers, p, text.data(), text.size());
}

// Row r is the number at base + r * stride: its item text, written into
// `slot` (or a static text), or MISSING for NaN.
template <ValueKind K, bool Swap>
struct NumberView {
  // Writes the item's text into a slot rather than inserting it.
  static constexpr bool FORMATTED = true;
  const std::uint8_t* base;
  std::ptrdiff_t stride;

  void prefetch(std::size_t row) const noexcept {
    drisk::prefetch(base + static_cast<std::ptrdiff_t>(row) * stride);
  }

  Seen operator()(std::size_t row, ItemView& out, char* slot) const noexcept {
    using Bits = typename NumberTraits<K>::Bits;
    Bits bits = load<Bits>(base + static_cast<std::ptrdiff_t>(row) * stride);
    if constexpr (Swap) {
      bits = byte_swapped(bits);
    }
    if constexpr (K == ValueKind::ByteBool) {
      const std::string_view text = bool_text(bits != 0);
      out = {text.data(), text.size()};
    } else if constexpr (K == ValueKind::Float16 || K == ValueKind::Float32 ||
                         K == ValueKind::Float64) {
      double real = 0.0;
      if constexpr (K == ValueKind::Float16) {
        real = half_to_double(bits);
      } else {
        real = static_cast<double>(std::bit_cast<typename NumberTraits<K>::Value>(bits));
      }
      if (std::isnan(real)) {
        return MISSING;
      }
      out = {slot, format_double(real, slot)};
    } else {
      out = {slot, format_integer(static_cast<typename NumberTraits<K>::Value>(bits), slot)};
    }
    return ABSORBED;
  }
};

// Arrow booleans, one bit each.
struct BitBoolView {
  static constexpr bool FORMATTED = false;
  const std::uint8_t* bits;
  std::int64_t first;

  void prefetch(std::size_t row) const noexcept {
    drisk::prefetch(bits + ((first + static_cast<std::int64_t>(row)) >> 3));
  }

  bool malformed(std::size_t /*row*/) const noexcept { return false; }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    insert_text(registers, p, bool_text(bit_is_set(bits, first + static_cast<std::int64_t>(row))));
    return ABSORBED;
  }

  // Row `row`'s item, for a caller that hashes rather than absorbs.
  Seen item(std::size_t row, ItemView& out) const noexcept {
    const std::string_view text =
        bool_text(bit_is_set(bits, first + static_cast<std::int64_t>(row)));
    out = {text.data(), text.size()};
    return ABSORBED;
  }
};

// Whether the bytes [begin, end) of a row of a binary or string array lie
// between the array's first offset, `low`, and its last, `low + span`.
// Checking that a row's offsets do not go backwards is not enough: one
// damaged offset in the middle of an array can point far past its data, and
// the row before it then ascends into memory that is not there. Every row
// that passes lies within the bytes the producer vouches for, whatever rows
// are read and in whatever order (a range on one core, the rows a
// dictionary's indices pick). Two comparisons, as many as the check that
// offsets only ascend: the end's distance above `low` must be at most
// `span`, and the beginning's at most the end's; a value below `low` wraps
// round to a large unsigned distance and fails.
template <class Offset>
constexpr bool row_within(Offset begin, Offset end, Offset low,
                          std::make_unsigned_t<Offset> span) noexcept {
  using Unsigned = std::make_unsigned_t<Offset>;
  const Unsigned to_end = static_cast<Unsigned>(end) - static_cast<Unsigned>(low);
  const Unsigned to_begin = static_cast<Unsigned>(begin) - static_cast<Unsigned>(low);
  return to_end <= span && to_begin <= to_end;
}

// binary, string and their large forms: row r is data[offsets[r] .. offsets[r + 1]).
template <class Offset>
struct OffsetsView {
  static constexpr bool FORMATTED = false;
  const Offset* offsets;  // already advanced to the first row
  const char* data;
  Offset low;                         // the array's first offset, not negative
  std::make_unsigned_t<Offset> span;  // its last less its first

  // Reads offsets[row], so row must be a row of the range.
  void prefetch(std::size_t row) const noexcept {
    drisk::prefetch(offsets + row + 4 * PREFETCH_ROWS);
    drisk::prefetch(data + offsets[row]);
  }

  bool malformed(std::size_t row) const noexcept {
    return !row_within(offsets[row], offsets[row + 1], low, span);
  }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    const Offset begin = offsets[row];
    const Offset end = offsets[row + 1];
    if (!row_within(begin, end, low, span)) {
      return MALFORMED;
    }
    insert(registers, p, data + begin, static_cast<std::size_t>(end - begin));
    return ABSORBED;
  }

  Seen item(std::size_t row, ItemView& out) const noexcept {
    const Offset begin = offsets[row];
    const Offset end = offsets[row + 1];
    if (!row_within(begin, end, low, span)) {
      return MALFORMED;
    }
    out = {data + begin, static_cast<std::size_t>(end - begin)};
    return ABSORBED;
  }
};

// binary_view and string_view: 16-byte views, the bytes inline when at most
// 12 long, otherwise in one of the variadic data buffers.
struct ViewsView {
  static constexpr bool FORMATTED = false;
  const std::uint8_t* views;  // already advanced to the first row
  const char* const* buffers;
  const std::int64_t* sizes;
  std::int64_t buffer_count;

  // Reads view `row`, so row must be a row of the range.
  void prefetch(std::size_t row) const noexcept {
    drisk::prefetch(views + (row + 4 * PREFETCH_ROWS) * 16);
    const std::uint8_t* view = views + row * 16;
    const std::int32_t length = load<std::int32_t>(view);
    const std::int32_t index = load<std::int32_t>(view + 8);
    if (length > 12 && index >= 0 && index < buffer_count) {
      drisk::prefetch(buffers[index] + load<std::int32_t>(view + 12));
    }
  }

  bool malformed(std::size_t row) const noexcept {
    const std::uint8_t* view = views + row * 16;
    const std::int32_t length = load<std::int32_t>(view);
    if (length <= 12) {
      return length < 0;
    }
    const std::int32_t index = load<std::int32_t>(view + 8);
    const std::int32_t offset = load<std::int32_t>(view + 12);
    return index < 0 || index >= buffer_count || offset < 0 ||
           std::int64_t{offset} + length > sizes[index];
  }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    const std::uint8_t* view = views + row * 16;
    const std::int32_t length = load<std::int32_t>(view);
    if (length <= 12) {
      if (length < 0) {
        return MALFORMED;
      }
      insert(registers, p, view + 4, static_cast<std::size_t>(length));
      return ABSORBED;
    }
    const std::int32_t index = load<std::int32_t>(view + 8);
    const std::int32_t offset = load<std::int32_t>(view + 12);
    if (index < 0 || index >= buffer_count || offset < 0 ||
        std::int64_t{offset} + length > sizes[index]) {
      return MALFORMED;
    }
    insert(registers, p, buffers[index] + offset, static_cast<std::size_t>(length));
    return ABSORBED;
  }

  Seen item(std::size_t row, ItemView& out) const noexcept {
    const std::uint8_t* view = views + row * 16;
    const std::int32_t length = load<std::int32_t>(view);
    if (length <= 12) {
      if (length < 0) {
        return MALFORMED;
      }
      out = {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length)};
      return ABSORBED;
    }
    if (malformed(row)) {
      return MALFORMED;
    }
    const std::int32_t index = load<std::int32_t>(view + 8);
    const std::int32_t offset = load<std::int32_t>(view + 12);
    out = {buffers[index] + offset, static_cast<std::size_t>(length)};
    return ABSORBED;
  }
};

struct FixedBinaryView {
  static constexpr bool FORMATTED = false;
  const std::uint8_t* data;  // already advanced to the first row
  std::size_t width;

  void prefetch(std::size_t row) const noexcept { drisk::prefetch(data + row * width); }

  bool malformed(std::size_t /*row*/) const noexcept { return false; }

  Seen operator()(std::size_t row, std::uint8_t* registers, unsigned p) const noexcept {
    insert(registers, p, data + row * width, width);
    return ABSORBED;
  }

  Seen item(std::size_t row, ItemView& out) const noexcept {
    out = {reinterpret_cast<const char*>(data + row * width), width};
    return ABSORBED;
  }
};

// Calls f with the NumberView for a layout.
template <class F>
void visit_number_view(const NumberLayout& layout, const std::uint8_t* base, std::ptrdiff_t stride,
                       F&& f) {
  const auto with = [&]<ValueKind K>() {
    if (layout.swap_bytes) {
      f(NumberView<K, true>{base, stride});
    } else {
      f(NumberView<K, false>{base, stride});
    }
  };
  with_number_kind(layout.kind, with);  // describe_* gives only number kinds here
}

// Inserts rows [begin, end) of `view` into core; with Nullable, skips rows
// whose validity bit is clear. Stops at the first malformed row.
template <bool Nullable, class View>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_rows(HyperLogLogCore& core,
                                                          const std::uint8_t* validity,
                                                          std::int64_t validity_offset,
                                                          std::size_t begin, std::size_t end,
                                                          const View& view) noexcept {
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  std::size_t absorbed = 0;
  for (std::size_t row = begin; row < end; ++row) {
    if (row + PREFETCH_ROWS < end) {
      view.prefetch(row + PREFETCH_ROWS);
    }
    if constexpr (Nullable) {
      if (!bit_is_set(validity, validity_offset + static_cast<std::int64_t>(row))) {
        continue;
      }
    }
    const Seen seen = view(row, registers, p);
    if (seen == MALFORMED) {
      return {absorbed, true};
    }
    absorbed += static_cast<std::size_t>(seen);
  }
  return {absorbed, false};
}

// Whether a valid row of [0, rows) of `view` is malformed, without
// absorbing anything: for a caller that must know before it absorbs.
template <class View>
bool any_row_malformed(const std::uint8_t* validity, std::int64_t validity_offset, std::size_t rows,
                       const View& view) noexcept {
  for (std::size_t row = 0; row < rows; ++row) {
    if (validity != nullptr &&
        !bit_is_set(validity, validity_offset + static_cast<std::int64_t>(row))) {
      continue;
    }
    if (view.malformed(row)) {
      return true;
    }
  }
  return false;
}

// Room for a batch's texts, packed one after another: most texts are short
// (an integer, a date, a price), so a batch fills a few kilobytes and stays
// in the first-level cache with its views. A batch ends early when the room
// left could not take the longest text.
constexpr std::size_t BATCH_TEXT_BYTES = BATCH * 32 + ITEM_TEXT_CAPACITY;

// The same for views that write item texts (NumberView, the views of
// value_views.hpp): each batch of rows is written out first, then inserted.
// Each call works on its own copy of the view, which may keep what it wrote
// last (a timestamp's date) from row to row. A view that can tell a row
// holding the same value as the last row it wrote (repeats_last(), for
// columns where runs of equal values are common) has that row counted and
// not written: its item is already in the registers, or will be when the
// batch is inserted.
template <bool Nullable, class View>
[[gnu::flatten]] std::pair<std::size_t, bool> absorb_formatted(HyperLogLogCore& core,
                                                               const std::uint8_t* validity,
                                                               std::int64_t validity_offset,
                                                               std::size_t begin, std::size_t end,
                                                               const View& shared) noexcept {
  std::uint8_t* const registers = core.mutable_registers();
  const unsigned p = core.precision();
  View view = shared;
  ItemView items[BATCH];
  char arena[BATCH_TEXT_BYTES];
  std::size_t absorbed = 0;
  std::size_t repeated = 0;
  bool malformed = false;
  for (std::size_t row = begin; row < end && !malformed;) {
    const std::size_t stop = std::min(row + BATCH, end);
    std::size_t n = 0;
    std::size_t used = 0;
    for (; row < stop && used <= BATCH_TEXT_BYTES - ITEM_TEXT_CAPACITY; ++row) {
      if (row + PREFETCH_ROWS < end) {
        view.prefetch(row + PREFETCH_ROWS);
      }
      if constexpr (Nullable) {
        if (!bit_is_set(validity, validity_offset + static_cast<std::int64_t>(row))) {
          continue;
        }
      }
      if constexpr (requires { view.repeats_last(row); }) {
        if (view.repeats_last(row)) {
          ++repeated;
          continue;
        }
      }
      const Seen seen = view(row, items[n], arena + used);
      if (seen == MALFORMED) {
        malformed = true;
        break;
      }
      // (A static text, such as "True", takes room it does not use.)
      used += seen == ABSORBED ? items[n].len : 0;
      n += static_cast<std::size_t>(seen);
    }
    for (std::size_t k = 0; k < n; ++k) {
      insert(registers, p, items[k].data, items[k].len);
    }
    absorbed += n;
  }
  return {absorbed + repeated, malformed};
}

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_ROW_VIEWS_HPP
