// drisk: columns absorbed into a sketch, on one core or two.
#include "sink.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "array_views.hpp"
#include "date_lanes.hpp"
#include "fraction_lanes.hpp"
#include "integer_lanes.hpp"
#include "platform.hpp"
#include "row_views.hpp"
#include "splitter.hpp"
#include "value_views.hpp"
#include "whole_floats.hpp"

namespace drisk {

using namespace columns;

namespace {

// The dictionary entries used by rows [0, n) of an index buffer (`index`
// already advanced to the first row; its validity bit for row r at
// validity_first + r), leaving out null rows and entries that are missing
// (`present` bit clear), written to out; gathered is how many. False when an
// index is outside the dictionary.
template <class Index>
bool gather_entries(const Index* index, std::size_t n, const std::uint8_t* validity,
                    std::int64_t validity_first, const std::uint8_t* present,
                    std::int64_t present_offset, std::uint64_t entries, std::uint64_t* out,
                    std::size_t& gathered) noexcept {
  std::size_t k = 0;
  for (std::size_t row = 0; row < n; ++row) {
    drisk::prefetch(index + row + PREFETCH_ROWS);
    if (validity != nullptr &&
        !bit_is_set(validity, validity_first + static_cast<std::int64_t>(row))) {
      continue;
    }
    // Negative indices wrap to huge unsigned values and fail the same test.
    const auto entry = static_cast<std::uint64_t>(static_cast<std::int64_t>(index[row]));
    if (entry >= entries) {
      return false;
    }
    if (present != nullptr &&
        !bit_is_set(present, present_offset + static_cast<std::int64_t>(entry))) {
      continue;
    }
    out[k++] = entry;
  }
  gathered = k;
  return true;
}

// Marks, for each valid row of a dictionary-encoded slice, the dictionary
// entry it uses, unless that entry is missing (`present` bit clear); counts
// the rows marked. False when an index is outside the dictionary.
template <class Index>
bool mark_used_entries(const ArrowArray& indices, std::int64_t first, std::int64_t length,
                       const std::uint8_t* validity, std::int64_t entries_length,
                       const std::uint8_t* present, std::int64_t present_offset,
                       std::uint8_t* marks, std::size_t& counted) noexcept {
  const Index* index = static_cast<const Index*>(indices.buffers[1]) + first;
  const auto entries = static_cast<std::uint64_t>(entries_length);
  std::uint64_t batch[BATCH];
  for (std::int64_t row = 0; row < length; row += static_cast<std::int64_t>(BATCH)) {
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(BATCH), length - row));
    std::size_t gathered = 0;
    if (!gather_entries(index + row, n, validity, first + row, present, present_offset, entries,
                        batch, gathered)) {
      return false;
    }
    for (std::size_t k = 0; k < gathered; ++k) {
      marks[batch[k] >> 3] |= static_cast<std::uint8_t>(1u << (batch[k] & 7));
    }
    counted += gathered;
  }
  return true;
}

}  // namespace

const char OUT_OF_MEMORY[] = "out of memory";

// ---------------------------------------------------------------------------
// ColumnSink
// ---------------------------------------------------------------------------

void ColumnSink::prepare(std::size_t rows) {
  if (own_.size() == 0) {
    own_ = target_.empty_like();
  }
  if (split_ && rows >= SPLIT_ROWS && helper_.size() == 0) {
    helper_ = target_.empty_like();
  }
}

void ColumnSink::prepare_single(const ColumnType* type, std::size_t rows) {
  if (rows < SPLIT_ROWS && (type == nullptr || !type->dictionary)) {
    direct_ = true;
    return;
  }
  prepare(rows);
}

void ColumnSink::commit() noexcept {
  if (own_.size() != 0) {
    target_.merge_same_precision(own_);
  }
  if (helper_used_) {
    target_.merge_same_precision(helper_);
  }
}

template <class Body>
ColumnSink::Rows ColumnSink::run_rows(std::size_t rows, Body&& body) noexcept {
  struct Share {
    HyperLogLogCore* core;
    std::size_t absorbed = 0;
  };
  Share own{&into()};
  Share helper{&helper_};
  const bool split = split_ && rows >= SPLIT_ROWS && helper_.size() != 0;
  const SplitOutcome outcome =
      share_work(rows, SPLIT_CHUNK_ROWS, own, split ? &helper : nullptr,
                 [&](Share& share, std::size_t begin, std::size_t end) noexcept {
                   const auto [absorbed, bad] = body(*share.core, begin, end);
                   share.absorbed += absorbed;
                   return !bad;
                 });
  helper_used_ |= outcome.helped;
  return {own.absorbed + helper.absorbed, outcome.stopped};
}

namespace {

// Which views are timestamps, and of what unit.
template <class View>
struct TimestampKind {
  static constexpr bool IS = false;
};

template <TimeUnit U, bool Nat>
struct TimestampKind<TimestampView<U, Nat>> {
  static constexpr bool IS = true;
  static constexpr TimeUnit UNIT = U;
  static constexpr bool NAT = Nat;
};

}  // namespace

template <class View>
ColumnSink::Rows ColumnSink::run_view(std::size_t rows, const std::uint8_t* validity,
                                      std::int64_t validity_offset, const View& view) noexcept {
  // Arrow date32 and NumPy datetime64[D] without nulls: a vector of dates
  // at a time where the CPU can.
  constexpr bool date32 = std::is_same_v<View, DateView<std::int32_t, 1, false>>;
  if constexpr (date32 || std::is_same_v<View, DateView<std::int64_t, 1, true>>) {
    const IntegerRun dates = date32 ? date32_run() : date_days64_run();
    if (dates != nullptr && validity == nullptr && view.stride == (date32 ? 4 : 8)) {
      return run_rows(rows,
                      [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
                        return dates(core, view.base, begin, end);
                      });
    }
  }
  // Timestamps without nulls: a vector at a time where the CPU can.
  if constexpr (TimestampKind<View>::IS) {
    if (const IntegerRun timestamps =
            timestamp_run(TimestampKind<View>::UNIT, TimestampKind<View>::NAT, view.utc);
        timestamps != nullptr && validity == nullptr && view.stride == 8) {
      return run_rows(rows,
                      [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
                        return timestamps(core, view.base, begin, end);
                      });
    }
  }
  // Decimals of scale 2 without nulls: prices, a vector at a time where the
  // CPU can.
  if constexpr (requires { view.scale; }) {
    if (const IntegerRun prices = cents_run();
        prices != nullptr && validity == nullptr && view.scale == 2) {
      return run_rows(rows,
                      [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
                        return absorb_decimal_prices(core, prices, view, begin, end);
                      });
    }
  }
  if constexpr (requires { View::HASHED; }) {
    if (validity != nullptr) {
      return run_rows(
          rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
            return absorb_hashed<true>(core, validity, validity_offset, begin, end, view);
          });
    }
    return run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
      return absorb_hashed<false>(core, nullptr, 0, begin, end, view);
    });
  } else if constexpr (View::FORMATTED) {
    if (validity != nullptr) {
      return run_rows(
          rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
            return absorb_formatted<true>(core, validity, validity_offset, begin, end, view);
          });
    }
    return run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
      return absorb_formatted<false>(core, nullptr, 0, begin, end, view);
    });
  } else {
    if (validity != nullptr) {
      return run_rows(rows,
                      [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
                        return absorb_rows<true>(core, validity, validity_offset, begin, end, view);
                      });
    }
    return run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin, std::size_t end) noexcept {
      return absorb_rows<false>(core, nullptr, 0, begin, end, view);
    });
  }
}

ColumnSink::Rows ColumnSink::run_numbers(const NumberLayout& layout, const std::uint8_t* base,
                                         std::ptrdiff_t stride, std::size_t rows,
                                         const std::uint8_t* validity,
                                         std::int64_t validity_offset) noexcept {
  // Contiguous integers without nulls, in this machine's byte order: a
  // vector of them at a time where the CPU can.
  if (validity == nullptr && !layout.swap_bytes && is_integer(layout.kind) &&
      stride == static_cast<std::ptrdiff_t>(number_width(layout.kind))) {
    if (const IntegerRun run = integer_run(layout.kind)) {
      return run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin,
                                std::size_t end) noexcept { return run(core, base, begin, end); });
    }
  }
  // float64 in this machine's byte order: the whole values through the
  // integer lanes, prices and other fractions through theirs.
  if (!layout.swap_bytes && layout.kind == ValueKind::Float64) {
    const FloatLanes lanes{integer_run(ValueKind::Int64), cents_run(), fraction_run(),
                           float_split()};
    if (lanes.integers != nullptr && lanes.prices != nullptr) {
      return run_rows(rows, [&](HyperLogLogCore& core, std::size_t begin,
                                std::size_t end) noexcept {
        return validity != nullptr
                   ? absorb_whole_floats<true>(core, lanes, validity, validity_offset, base, stride,
                                               begin, end)
                   : absorb_whole_floats<false>(core, lanes, nullptr, 0, base, stride, begin, end);
      });
    }
  }
  Rows done{0, false};
  visit_number_view(layout, base, stride, [&](const auto& view) {
    done = run_view(rows, validity, validity_offset, view);
  });
  return done;
}

void ColumnSink::absorb_numbers(const NumberLayout& layout, const void* base, std::ptrdiff_t stride,
                                std::size_t count, std::size_t& absorbed) noexcept {
  absorbed += run_numbers(layout, static_cast<const std::uint8_t*>(base), stride, count, nullptr, 0)
                  .absorbed;
}

void ColumnSink::absorb_times(const TimeLayout& layout, const void* base, std::ptrdiff_t stride,
                              std::size_t count, std::size_t& absorbed) noexcept {
  visit_time_view<true>(
      layout.kind, layout.unit, layout.utc, static_cast<const std::uint8_t*>(base), stride,
      [&](const auto& view) { absorbed += run_view(count, nullptr, 0, view).absorbed; });
}

ArrayFault ColumnSink::absorb_values(const ColumnType& type, const ArrowArray& array,
                                     std::int64_t start, std::int64_t length,
                                     const std::uint8_t* validity, std::int64_t validity_offset,
                                     std::size_t& absorbed) noexcept {
  const ValueKind kind = type.values;
  if (kind == ValueKind::Null || length == 0) {
    return nullptr;
  }
  const std::int64_t first = array.offset + start;
  const auto rows = static_cast<std::size_t>(length);
  Rows done{0, false};
  if (kind >= ValueKind::ByteBool && kind <= ValueKind::Float64) {
    // Numbers go through run_numbers, for the vector path of integers.
    if (ArrayFault fault = with_values_view(type, array, first, length, [](const auto&) {})) {
      return fault;
    }
    const auto stride = static_cast<std::ptrdiff_t>(number_width(kind));
    done = run_numbers(NumberLayout{kind, false},
                       static_cast<const std::uint8_t*>(array.buffers[1]) + first * stride, stride,
                       rows, validity, validity_offset);
  } else if (ArrayFault fault = with_values_view(type, array, first, length, [&](const auto& view) {
               // Straight into the target, a malformed row must be found
               // before the first row is absorbed.
               if constexpr (requires { view.malformed(std::size_t{0}); }) {
                 if (direct_ && any_row_malformed(validity, validity_offset, rows, view)) {
                   done = {0, true};
                   return;
                 }
               }
               done = run_view(rows, validity, validity_offset, view);
             })) {
    return fault;
  }
  absorbed += done.absorbed;
  return done.malformed ? malformed_rows(kind) : nullptr;
}

ArrayFault ColumnSink::absorb_sparse(const ColumnType& type, const ArrowArray& indices,
                                     std::int64_t first, std::int64_t length,
                                     std::size_t& absorbed) noexcept {
  const ArrowArray& dictionary = *indices.dictionary;
  const std::uint8_t* validity = validity_of(indices);
  const std::uint8_t* present = validity_of(dictionary);
  const auto entries = static_cast<std::uint64_t>(dictionary.length);
  std::uint8_t* const registers = into().mutable_registers();
  const unsigned p = into().precision();
  bool in_range = true;
  bool malformed = false;
  std::size_t count = 0;
  const ArrayFault fault = with_values_view(
      type, dictionary, dictionary.offset, dictionary.length, [&](const auto& shared) {
        auto view = shared;  // views that keep what they wrote last are changed by reading
        using View = std::decay_t<decltype(view)>;
        std::uint64_t batch[BATCH];
        for (std::int64_t row = 0; row < length && in_range && !malformed;
             row += static_cast<std::int64_t>(BATCH)) {
          const auto n = static_cast<std::size_t>(
              std::min<std::int64_t>(static_cast<std::int64_t>(BATCH), length - row));
          std::size_t gathered = 0;
          in_range = with_index_type(type.index, [&]<class Index>() {
            return gather_entries<Index>(
                static_cast<const Index*>(indices.buffers[1]) + first + row, n, validity,
                first + row, present, dictionary.offset, entries, batch, gathered);
          });
          for (std::size_t k = 0; k < gathered && in_range; ++k) {
            if constexpr (View::FORMATTED) {
              ItemView item{};
              char slot[ITEM_TEXT_CAPACITY];
              const Seen seen = view(batch[k], item, slot);
              if (seen == MALFORMED) {
                malformed = true;
                break;
              }
              if (seen == ABSORBED) {
                insert(registers, p, item.data, item.len);
                ++count;
              }
            } else {
              const Seen seen = view(batch[k], registers, p);
              if (seen == MALFORMED) {
                malformed = true;
                break;
              }
              count += static_cast<std::size_t>(seen);
            }
          }
        }
      });
  if (fault != nullptr) {
    return fault;
  }
  if (!in_range) {
    return "malformed Arrow array: a dictionary index is out of range";
  }
  if (malformed) {
    return malformed_rows(type.values);
  }
  absorbed += count;
  return nullptr;
}

ArrayFault ColumnSink::absorb_dictionary(const ColumnType& type, const ArrowArray& array,
                                         std::int64_t start, std::int64_t length,
                                         std::size_t& absorbed) noexcept {
  if (array.dictionary == nullptr) {
    return "malformed Arrow array: a dictionary-encoded array has no dictionary";
  }
  const ArrowArray& dictionary = *array.dictionary;
  if (const char* fault = shape_fault(dictionary)) {
    return fault;
  }
  if (length == 0) {
    return nullptr;
  }
  if (array.n_buffers != 2 || array.buffers == nullptr || array.buffers[1] == nullptr) {
    return "malformed Arrow array: dictionary indices need validity and index buffers";
  }
  if (type.values == ValueKind::Null) {
    return nullptr;  // every entry is missing: nothing to absorb, nothing to count
  }
  const std::int64_t first = array.offset + start;
  // Few rows over a large dictionary: each row's entry is read, so that the
  // cost follows the rows and not the dictionary (a stream of small chunks
  // sharing one dictionary is common).
  if (static_cast<std::uint64_t>(length) * SPARSE_FACTOR <
      static_cast<std::uint64_t>(dictionary.length)) {
    return absorb_sparse(type, array, first, length, absorbed);
  }
  // The dictionary's entries in use, each absorbed once: the sketch is the
  // same as from every row (absorbing an item twice changes nothing), and
  // the count is the rows'.
  const auto entries = static_cast<std::size_t>(dictionary.length);
  std::unique_ptr<std::uint8_t[]> marks(new (std::nothrow) std::uint8_t[entries / 8 + 1]());
  if (!marks) {
    return OUT_OF_MEMORY;
  }
  const std::uint8_t* validity = validity_of(array);
  // The entries that are there: not null, and for floats not NaN either.
  const std::uint8_t* present = validity_of(dictionary);
  std::int64_t present_offset = dictionary.offset;
  std::unique_ptr<std::uint8_t[]> floats_present;
  if (type.values == ValueKind::Float16 || type.values == ValueKind::Float32 ||
      type.values == ValueKind::Float64) {
    if (dictionary.n_buffers != 2 || dictionary.buffers == nullptr ||
        dictionary.buffers[1] == nullptr) {
      return "malformed Arrow array: a numeric array needs validity and value buffers";
    }
    floats_present.reset(new (std::nothrow) std::uint8_t[entries / 8 + 1]());
    if (!floats_present) {
      return OUT_OF_MEMORY;
    }
    const auto* values = static_cast<const std::uint8_t*>(dictionary.buffers[1]);
    for (std::size_t i = 0; i < entries; ++i) {
      const std::int64_t at = dictionary.offset + static_cast<std::int64_t>(i);
      if (present != nullptr && !bit_is_set(present, at)) {
        continue;
      }
      const double value =
          type.values == ValueKind::Float16   ? half_to_double(load<std::uint16_t>(values + at * 2))
          : type.values == ValueKind::Float32 ? static_cast<double>(load<float>(values + at * 4))
                                              : load<double>(values + at * 8);
      if (!std::isnan(value)) {
        floats_present[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
      }
    }
    present = floats_present.get();
    present_offset = 0;
  }
  std::size_t counted = 0;
  const auto mark = [&]<class Index>() {
    return mark_used_entries<Index>(array, first, length, validity, dictionary.length, present,
                                    present_offset, marks.get(), counted);
  };
  const bool in_range = with_index_type(type.index, mark);
  if (!in_range) {
    return "malformed Arrow array: a dictionary index is out of range";
  }
  std::size_t entries_absorbed = 0;
  const ArrayFault fault =
      absorb_values(type, dictionary, 0, dictionary.length, marks.get(), 0, entries_absorbed);
  if (fault == nullptr) {
    absorbed += counted;
  }
  return fault;
}

ArrayFault ColumnSink::absorb_array(const ColumnType& type, const ArrowArray& array,
                                    std::int64_t begin, std::int64_t end,
                                    std::size_t& absorbed) noexcept {
  if (const char* fault = shape_fault(array)) {
    return fault;
  }
  if (begin < 0 || end < begin || end > array.length) {
    return "malformed Arrow array: rows outside the array";
  }
  const ArrowArray* column = nullptr;
  std::int64_t start = 0;
  if (ArrayFault fault = column_of(type, array, column, start)) {
    return fault;
  }
  start += begin;
  if (type.dictionary) {
    return absorb_dictionary(type, *column, start, end - begin, absorbed);
  }
  return absorb_values(type, *column, start, end - begin, validity_of(*column),
                       column->offset + start, absorbed);
}

}  // namespace drisk
