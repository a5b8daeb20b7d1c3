// drisk: an Arrow array's buffers seen as row views.
//
// The checks every reader of a column makes before reading rows (the basic
// shape of an array, the buffers its kind needs) and the dispatch from a
// value kind to its view (row_views.hpp), shared by the sink, which absorbs
// rows into a sketch, and row_hashes, which gives each row's hash.
#ifndef DRISK_COLUMNS_ARRAY_VIEWS_HPP
#define DRISK_COLUMNS_ARRAY_VIEWS_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arrow_abi.hpp"
#include "row_views.hpp"
#include "value_kinds.hpp"
#include "value_views.hpp"

namespace drisk::columns {

// Whether bits [first, first + count) of a bitmap are all set.
inline bool all_bits_set(const std::uint8_t* bits, std::int64_t first,
                         std::int64_t count) noexcept {
  std::int64_t i = first;
  const std::int64_t end = first + count;
  for (; i < end && (i & 7) != 0; ++i) {
    if (!bit_is_set(bits, i)) {
      return false;
    }
  }
  for (; end - i >= 64; i += 64) {
    std::uint64_t word = 0;
    std::memcpy(&word, bits + i / 8, sizeof word);
    if (word != ~std::uint64_t{0}) {
      return false;
    }
  }
  for (; i < end; ++i) {
    if (!bit_is_set(bits, i)) {
      return false;
    }
  }
  return true;
}

// The validity bitmap to honour: null when the array says it has no nulls,
// or does not say (a null count of -1, as Parquet's reader leaves it) and
// its bitmap has none: a look at a bit in 64, so that such columns take the
// paths of columns without nulls.
inline const std::uint8_t* validity_of(const ArrowArray& array) noexcept {
  if (array.null_count == 0 || array.n_buffers < 1 || array.buffers == nullptr) {
    return nullptr;
  }
  const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (array.null_count < 0 && bits != nullptr && array.offset >= 0 && array.length >= 0 &&
      array.length <= INT64_MAX - array.offset && all_bits_set(bits, array.offset, array.length)) {
    return nullptr;
  }
  return bits;
}

// The basic shape every array must have; null when it has it.
inline const char* shape_fault(const ArrowArray& array) noexcept {
  if (array.length < 0 || array.offset < 0 || array.n_buffers < 0 || array.n_children < 0) {
    return "malformed Arrow array: negative length, offset or count";
  }
  if (array.length > INT64_MAX - array.offset) {
    return "malformed Arrow array: offset plus length overflows";
  }
  // (A null array has no buffers at all: every row is null by its type.)
  if (array.null_count > 0 && array.n_buffers > 0 && validity_of(array) == nullptr) {
    return "malformed Arrow array: nulls counted but no validity buffer";
  }
  return nullptr;
}

// The first and last offsets of a binary or string array (int32 or int64
// offsets, its offsets buffer there): the bounds every row's bytes are kept
// within (row_within). The producer vouches for these two alone, and they
// cost two reads, where checking every offset would cost a pass over the
// array before its rows are read. The fault when they go backwards or below
// zero; an empty array reads none.
template <class Offset>
ArrayFault offset_bounds(const ArrowArray& array, Offset& low, Offset& high) noexcept {
  low = 0;
  high = 0;
  if (array.length == 0) {
    return nullptr;
  }
  const auto* offsets = static_cast<const std::uint8_t*>(array.buffers[1]);
  low = load<Offset>(offsets + static_cast<std::size_t>(array.offset) * sizeof(Offset));
  high = load<Offset>(offsets +
                      static_cast<std::size_t>(array.offset + array.length) * sizeof(Offset));
  if (low < 0 || high < low) {
    return "malformed Arrow array: its offsets go backwards";
  }
  return nullptr;
}

// The array holding the column's rows and the row of it where row 0 of
// `array` is (its own shape already checked): `array` itself, or the one
// child of a one-column table, whose rows [offset, offset + length) it holds.
inline ArrayFault column_of(const ColumnType& type, const ArrowArray& array,
                            const ArrowArray*& column, std::int64_t& start) noexcept {
  column = &array;
  start = 0;
  if (type.table) {
    if (array.n_children != 1 || array.children == nullptr || array.children[0] == nullptr) {
      return "malformed Arrow array: a table's array does not have exactly one child";
    }
    if (validity_of(array) != nullptr) {
      return "a struct array with null rows cannot be counted: pass one column";
    }
    column = array.children[0];
    if (const char* fault = shape_fault(*column)) {
      return fault;
    }
    if (column->length < array.offset + array.length) {
      return "malformed Arrow array: a table's column is shorter than the table";
    }
    start = array.offset;
  }
  return nullptr;
}

// Calls f.template operator()<I>() with I the C type of the dictionary index
// kind `kind` (an integer kind, checked by describe_column).
template <class F>
decltype(auto) with_index_type(ValueKind kind, F&& f) {
  switch (kind) {
    case ValueKind::Int8:
      return f.template operator()<std::int8_t>();
    case ValueKind::Int16:
      return f.template operator()<std::int16_t>();
    case ValueKind::Int32:
      return f.template operator()<std::int32_t>();
    case ValueKind::Int64:
      return f.template operator()<std::int64_t>();
    case ValueKind::UInt8:
      return f.template operator()<std::uint8_t>();
    case ValueKind::UInt16:
      return f.template operator()<std::uint16_t>();
    case ValueKind::UInt32:
      return f.template operator()<std::uint32_t>();
    default:
      return f.template operator()<std::uint64_t>();
  }
}

// Calls f(view) with the row view of the values of `array` (of the column
// type's value kind), row 0 being row `first` of its buffers, once the array
// is seen to have the buffers its kind needs; the fault when it has not.
// `length` rows will be read.
template <class F>
ArrayFault with_values_view(const ColumnType& type, const ArrowArray& array, std::int64_t first,
                            std::int64_t length, F&& f) noexcept {
  const ValueKind kind = type.values;
  const std::int32_t width = type.fixed_width;
  const auto buffer = [&](std::int64_t i) {
    return static_cast<const std::uint8_t*>(array.buffers[i]);
  };
  // `count` buffers, every one after the validity bitmap present.
  const auto has_buffers = [&](std::int64_t count) {
    if (array.n_buffers != count || array.buffers == nullptr) {
      return false;
    }
    for (std::int64_t i = 1; i < count; ++i) {
      if (array.buffers[i] == nullptr) {
        return false;
      }
    }
    return true;
  };
  switch (kind) {
    case ValueKind::Null:
      return nullptr;  // no values to view
    case ValueKind::Binary:
    case ValueKind::LargeBinary: {
      if (array.n_buffers != 3 || array.buffers == nullptr || array.buffers[1] == nullptr) {
        return "malformed Arrow array: a binary or string array needs validity, offsets and data "
               "buffers";
      }
      static const char EMPTY[1] = {};
      const char* data =
          array.buffers[2] != nullptr ? static_cast<const char*>(array.buffers[2]) : EMPTY;
      // Rows are kept within the whole array's bounds, not the range's:
      // the range may be a slice of it, whose ends the producer never saw.
      // It must be rows of the array, for those bounds to hold for it.
      if (first < array.offset || length > array.offset + array.length - first) {
        return "malformed Arrow array: rows outside the array";
      }
      const auto run = [&]<class Offset>() -> ArrayFault {
        Offset low = 0;
        Offset high = 0;
        if (ArrayFault fault = offset_bounds(array, low, high)) {
          return fault;
        }
        if (array.buffers[2] == nullptr && high != low) {
          return "malformed Arrow array: a binary or string array has no data buffer";
        }
        using Span = std::make_unsigned_t<Offset>;
        f(OffsetsView<Offset>{static_cast<const Offset*>(array.buffers[1]) + first, data, low,
                              static_cast<Span>(high - low)});
        return nullptr;
      };
      return kind == ValueKind::Binary ? run.template operator()<std::int32_t>()
                                       : run.template operator()<std::int64_t>();
    }
    case ValueKind::BinaryView: {
      if (array.n_buffers < 3 || array.buffers == nullptr || array.buffers[1] == nullptr) {
        return "malformed Arrow array: a view array needs validity, views and buffer-size buffers";
      }
      const std::int64_t count = array.n_buffers - 3;
      const auto* sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
      if (count > 0 && sizes == nullptr) {
        return "malformed Arrow array: a view array has no buffer sizes";
      }
      for (std::int64_t i = 0; i < count; ++i) {
        if (array.buffers[2 + i] == nullptr && sizes[i] != 0) {
          return "malformed Arrow array: a view array has a missing data buffer";
        }
      }
      f(ViewsView{buffer(1) + first * 16, reinterpret_cast<const char* const*>(array.buffers + 2),
                  sizes, count});
      return nullptr;
    }
    case ValueKind::FixedBinary: {
      if (array.n_buffers != 2 || array.buffers == nullptr ||
          (array.buffers[1] == nullptr && width > 0)) {
        return "malformed Arrow array: a fixed_size_binary array needs validity and data buffers";
      }
      const auto w = static_cast<std::size_t>(width);
      f(FixedBinaryView{buffer(1) + static_cast<std::size_t>(first) * w, w});
      return nullptr;
    }
    case ValueKind::Bool:
      if (!has_buffers(2)) {
        return "malformed Arrow array: a boolean array needs validity and value buffers";
      }
      f(BitBoolView{buffer(1), first});
      return nullptr;
    case ValueKind::Date32:
    case ValueKind::Date64:
    case ValueKind::Timestamp:
    case ValueKind::Time32:
    case ValueKind::Time64: {
      if (!has_buffers(2)) {
        return "malformed Arrow array: a date or time array needs validity and value buffers";
      }
      const bool narrow = kind == ValueKind::Date32 || kind == ValueKind::Time32;
      const std::ptrdiff_t stride = narrow ? 4 : 8;
      visit_time_view<false>(kind, type.unit, type.utc, buffer(1) + first * stride, stride, f);
      return nullptr;
    }
    case ValueKind::Decimal: {
      if (!has_buffers(2)) {
        return "malformed Arrow array: a decimal array needs validity and value buffers";
      }
      const std::uint8_t* data = buffer(1) + first * width;
      switch (width) {
        case 4:
          f(DecimalView<4>{data, type.scale});
          break;
        case 8:
          f(DecimalView<8>{data, type.scale});
          break;
        case 16:
          f(DecimalView<16>{data, type.scale});
          break;
        default:
          f(DecimalView<32>{data, type.scale});
          break;
      }
      return nullptr;
    }
    default: {
      if (!has_buffers(2)) {
        return "malformed Arrow array: a numeric array needs validity and value buffers";
      }
      // Arrow numbers are a run whose stride is their width.
      const auto stride = static_cast<std::ptrdiff_t>(number_width(kind));
      visit_number_view(NumberLayout{kind, false}, buffer(1) + first * stride, stride, f);
      return nullptr;
    }
  }
}

[[gnu::cold, gnu::noinline]] inline ArrayFault malformed_rows(ValueKind kind) noexcept {
  if (kind == ValueKind::Time32 || kind == ValueKind::Time64) {
    return "malformed Arrow array: a time of day outside 00:00:00 to 24:00:00";
  }
  return kind == ValueKind::BinaryView
             ? "malformed Arrow array: a view points outside its data buffer"
             : "malformed Arrow array: its offsets go backwards";
}

}  // namespace drisk::columns

#endif  // DRISK_COLUMNS_ARRAY_VIEWS_HPP
