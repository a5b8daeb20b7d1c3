// drisk: columns of values absorbed into a sketch without a Python object per
// value.
//
// Two sources: arrays of the Arrow C data interface (arrow_abi.hpp), and
// strided runs of fixed-width numbers such as a NumPy array's buffer. Every
// value is hashed as the item it stands for (see item_text.hpp); missing
// values (Arrow nulls, float NaN) are skipped and not counted.
//
// Nothing here knows the Python interpreter. Work happens in two steps: a
// column's type is checked and described first (schema.hpp), so that an
// unsupported type is refused before anything is absorbed; then ColumnSink
// absorbs arrays or buffers of that type, reading each row through a view
// (row_views.hpp), integers a vector at a time where the CPU can
// (integer_lanes.hpp).
#ifndef DRISK_COLUMNS_SINK_HPP
#define DRISK_COLUMNS_SINK_HPP

#include <cstddef>
#include <cstdint>

#include "arrow_abi.hpp"
#include "sketch_core.hpp"
#include "value_kinds.hpp"

namespace drisk {

// Feeds one sketch from one call's worth of columns, all or nothing: rows
// are absorbed into scratch cores, which commit() merges into the target
// once the whole call has succeeded, so that a refusal or an interruption
// halfway leaves the target as it was. Large arrays and buffers are hashed
// on two cores at once (splitter.hpp), the second core's rows into a scratch
// core of its own; the registers come out the same as from one core. The
// absorb_* functions touch no Python object, allocate nothing on their hot
// paths and throw nothing, so callers may run them with the interpreter lock
// released, and may absorb a long array a range of rows at a time, looking
// at pending signals in between.
class ColumnSink {
 public:
  // Rows from which an array or buffer is shared between two cores, and the
  // rows each core takes at a time.
  static constexpr std::size_t SPLIT_ROWS = 64 * 1024;
  static constexpr std::size_t SPLIT_CHUNK_ROWS = 16 * 1024;
  // A dictionary at least this many times larger than the rows that use it
  // is read entry by entry through the rows, not as a whole.
  static constexpr std::uint64_t SPARSE_FACTOR = 16;

  // `split`: whether a second core may be used at all.
  ColumnSink(HyperLogLogCore& target, bool split) noexcept : target_(target), split_(split) {}
  ColumnSink(const ColumnSink&) = delete;
  ColumnSink& operator=(const ColumnSink&) = delete;

  // Makes ready for ranges of up to `rows` rows: the scratch cores. The one
  // step that may throw (std::bad_alloc); call it before absorbing.
  void prepare(std::size_t rows);

  // Makes ready for one array or buffer of `rows` rows, the whole call
  // (`type` null for a buffer of numbers), read in one go: a small one
  // whose rows are checked before any is absorbed goes straight into the
  // target, with no scratch core to clear and merge; any other as
  // prepare(rows).
  void prepare_single(const ColumnType* type, std::size_t rows);

  // Absorbs the values of rows [begin, end) of one array of a column of type
  // `type` (checked by describe_column) and adds the number absorbed to
  // `absorbed`. Refuses an array whose layout contradicts its type, such as
  // too few buffers, descending offsets or a dictionary index out of range.
  ArrayFault absorb_array(const ColumnType& type, const ArrowArray& array, std::int64_t begin,
                          std::int64_t end, std::size_t& absorbed) noexcept;

  // Absorbs count numbers at base, base + stride, ... (stride in bytes, any
  // sign, unaligned allowed) and adds the number absorbed (NaN skipped).
  void absorb_numbers(const NumberLayout& layout, const void* base, std::ptrdiff_t stride,
                      std::size_t count, std::size_t& absorbed) noexcept;

  // Absorbs count dates or timestamps, int64 counts at base, base + stride,
  // ... as absorb_numbers does, INT64_MIN (NumPy's NaT) skipped.
  void absorb_times(const TimeLayout& layout, const void* base, std::ptrdiff_t stride,
                    std::size_t count, std::size_t& absorbed) noexcept;

  // Merges everything absorbed into the target. Call it once, when every
  // range of the call was absorbed.
  void commit() noexcept;

 private:
  struct Rows {
    std::size_t absorbed;
    bool malformed;
  };
  template <class Body>
  Rows run_rows(std::size_t rows, Body&& body) noexcept;
  template <class View>
  Rows run_view(std::size_t rows, const std::uint8_t* validity, std::int64_t validity_offset,
                const View& view) noexcept;
  Rows run_numbers(const NumberLayout& layout, const std::uint8_t* base, std::ptrdiff_t stride,
                   std::size_t rows, const std::uint8_t* validity,
                   std::int64_t validity_offset) noexcept;
  ArrayFault absorb_values(const ColumnType& type, const ArrowArray& array, std::int64_t start,
                           std::int64_t length, const std::uint8_t* validity,
                           std::int64_t validity_offset, std::size_t& absorbed) noexcept;
  ArrayFault absorb_dictionary(const ColumnType& type, const ArrowArray& array, std::int64_t start,
                               std::int64_t length, std::size_t& absorbed) noexcept;
  ArrayFault absorb_sparse(const ColumnType& type, const ArrowArray& indices, std::int64_t first,
                           std::int64_t length, std::size_t& absorbed) noexcept;

  // Where the calling thread's rows go.
  HyperLogLogCore& into() noexcept { return direct_ ? target_ : own_; }

  HyperLogLogCore& target_;
  HyperLogLogCore own_;     // the calling thread's rows
  HyperLogLogCore helper_;  // the helper thread's rows
  bool split_;
  bool helper_used_ = false;
  bool direct_ = false;  // see prepare_single()
};

}  // namespace drisk

#endif  // DRISK_COLUMNS_SINK_HPP
