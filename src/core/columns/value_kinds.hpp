// drisk: the kinds of value a column holds, and how a column is refused.
//
// A column is checked and described once (schema.hpp) before anything is
// absorbed: the description is a ColumnType for Arrow data, a NumberLayout
// for a buffer of numbers. The fixed-width number kinds, ByteBool to
// Float64, are consecutive, so that with_number_kind() can turn a run-time
// kind into a compile-time one and NumberTraits can find each kind's C type
// by its position.
#ifndef DRISK_COLUMNS_VALUE_KINDS_HPP
#define DRISK_COLUMNS_VALUE_KINDS_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "item_time.hpp"

namespace drisk {

// ---------------------------------------------------------------------------
// Refusals
// ---------------------------------------------------------------------------

// Why a column's type was refused: the kind of Python exception to raise and
// its message. Built only on failure paths.
struct ColumnError {
  enum class Kind { Type, Value };
  Kind kind;
  std::string message;
};
using ColumnFailure = std::optional<ColumnError>;

// What went wrong reading an array's values: null when nothing did, else a
// static message, which the binding raises as MemoryError when it is
// OUT_OF_MEMORY and as ValueError otherwise. Static, so that reporting it
// allocates nothing and cannot fail.
using ArrayFault = const char*;
extern const char OUT_OF_MEMORY[];

// ---------------------------------------------------------------------------
// Kinds
// ---------------------------------------------------------------------------

// The physical kinds of value drisk reads.
enum class ValueKind : std::uint8_t {
  Null,      // Arrow "n": every value missing
  Bool,      // Arrow bit-packed booleans
  ByteBool,  // one byte per boolean (NumPy "?")
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float16,
  Float32,
  Float64,
  Binary,       // 32-bit offsets: binary and string
  LargeBinary,  // 64-bit offsets: large_binary and large_string
  BinaryView,   // binary_view and string_view
  FixedBinary,  // fixed_size_binary
  // Dates, times and decimals: integers read as their value's text
  // (item_time.hpp, item_decimal.hpp), the unit, zone and scale being the
  // column's.
  Date32,     // days since 1970-01-01, int32
  Date64,     // milliseconds since 1970-01-01, int64: the day they fall in
  Timestamp,  // units since 1970-01-01T00:00:00, int64
  Time32,     // units since midnight, int32
  Time64,     // units since midnight, int64
  Decimal,    // a two's complement coefficient of 4 to 32 bytes, times 10^-scale
};

// A column's checked description.
struct ColumnType {
  ValueKind values = ValueKind::Null;
  std::int32_t fixed_width = 0;       // FixedBinary, and Decimal's bytes per value
  TimeUnit unit = TimeUnit::second;   // Timestamp, Time32, Time64
  bool utc = false;                   // Timestamp with a time zone
  std::int32_t scale = 0;             // Decimal
  bool dictionary = false;            // values reached through integer indices
  ValueKind index = ValueKind::Null;  // the index kind when dictionary-encoded
  bool table = false;                 // a one-column table: a struct of one child

  bool operator==(const ColumnType&) const = default;
};

// A strided run of fixed-width numbers.
struct NumberLayout {
  ValueKind kind = ValueKind::Int64;  // a fixed-width kind: ByteBool, ints, floats
  bool swap_bytes = false;            // stored in the other byte order
};

// A strided run of int64 counts of time (NumPy datetime64 seen as int64):
// dates (Date32 kind, days, read 64 bits wide) or timestamps, INT64_MIN
// (NumPy's NaT) missing.
struct TimeLayout {
  ValueKind kind = ValueKind::Timestamp;  // Date32 (days) or Timestamp
  TimeUnit unit = TimeUnit::second;
  bool utc = false;
};

constexpr bool is_integer(ValueKind kind) noexcept {
  return kind >= ValueKind::Int8 && kind <= ValueKind::UInt64;
}

constexpr bool is_float(ValueKind kind) noexcept {
  return kind >= ValueKind::Float16 && kind <= ValueKind::Float64;
}

// Bytes per value of a fixed-width number kind.
constexpr std::size_t number_width(ValueKind kind) noexcept {
  switch (kind) {
    case ValueKind::ByteBool:
    case ValueKind::Int8:
    case ValueKind::UInt8:
      return 1;
    case ValueKind::Int16:
    case ValueKind::UInt16:
    case ValueKind::Float16:
      return 2;
    case ValueKind::Int32:
    case ValueKind::UInt32:
    case ValueKind::Float32:
      return 4;
    default:
      return 8;
  }
}

// The storage and meaning of each fixed-width number kind, in the order of
// ValueKind from ByteBool to Float64: Value is what the bits mean (a byte
// boolean and a half-precision float are read from their bits by hand), Bits
// the unsigned integer of the same width that is loaded and byte-swapped.
using NumberValues =
    std::tuple<std::uint8_t, std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t,
               std::uint16_t, std::uint32_t, std::uint64_t, std::uint16_t, float, double>;

template <ValueKind K>
struct NumberTraits {
  using Value = std::tuple_element_t<
      static_cast<std::size_t>(K) - static_cast<std::size_t>(ValueKind::ByteBool), NumberValues>;
  using Bits = std::conditional_t<
      sizeof(Value) == 1, std::uint8_t,
      std::conditional_t<sizeof(Value) == 2, std::uint16_t,
                         std::conditional_t<sizeof(Value) == 4, std::uint32_t, std::uint64_t>>>;
};

// Calls f.template operator()<K>() with K the fixed-width number kind
// `kind` (ByteBool to Float64): the one place that turns a run-time kind
// into a compile-time one.
template <ValueKind K = ValueKind::ByteBool, class F>
decltype(auto) with_number_kind(ValueKind kind, F&& f) {
  if constexpr (K == ValueKind::Float64) {
    return f.template operator()<K>();
  } else {
    if (kind == K) {
      return f.template operator()<K>();
    }
    return with_number_kind<static_cast<ValueKind>(static_cast<unsigned>(K) + 1)>(
        kind, std::forward<F>(f));
  }
}

}  // namespace drisk

#endif  // DRISK_COLUMNS_VALUE_KINDS_HPP
