// drisk: columns whose cells are sketches.
//
// A table of sketches per group keeps each group's sketch in one cell of a
// binary column, usually in the packed form (packed.hpp), possibly in the
// raw form of to_bytes(); a null cell is a missing sketch. This file reads
// such columns from Arrow arrays (binary, large_binary, binary_view,
// fixed_size_binary, and lists of them) cell by cell, in place, and does the
// column-wide work on them: one estimate per cell (unions are in
// unions.hpp).
//
// What a missing sketch does: an estimate of a null cell is NaN; a union
// skips null cells, and a union of no sketch at all (an empty list, or only
// nulls) is null. A union folds to the smallest precision among the
// sketches it unions, as drisk.union does, so that its result does not
// depend on how rows are batched.
//
// Nothing here knows the Python interpreter; failures come back as texts.
#ifndef DRISK_SKETCH_CELLS_HPP
#define DRISK_SKETCH_CELLS_HPP

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "columns/arrow_abi.hpp"
#include "columns/value_kinds.hpp"
#include "estimators.hpp"
#include "insert.hpp"
#include "packed.hpp"

namespace drisk::cells {

// Null: Arrow's null type, a column with no sketch at all (every cell null).
enum class Layout : std::uint8_t { Binary, LargeBinary, BinaryView, FixedBinary, Null };

// A checked column type: the cells' layout, whether they are
// dictionary-encoded (the layout is then the dictionary's, and the cells
// are indices into it) and whether they come in lists (list or large_list
// of such cells).
struct ColumnType {
  Layout layout = Layout::Binary;
  std::int32_t width = 0;       // FixedBinary only
  std::uint8_t index_size = 0;  // bytes of a dictionary index, 0 when not dictionary-encoded
  bool index_signed = false;
  bool lists = false;
  bool large_lists = false;
};

// Checks a schema: a binary column of sketches (possibly dictionary-encoded,
// or of Arrow's null type), or with `lists` a list column of them. Refuses
// anything else with a TypeError naming the type.
ColumnFailure describe(const ArrowSchema& schema, bool lists, ColumnType& out);

// The cells of one Arrow array of a described type, read in place.
class Cells {
 public:
  // Checks the array's buffers against its type; a static message when they
  // do not fit.
  ArrayFault bind(const ColumnType& type, const ArrowArray& array) noexcept;

  // Rows of the array: cells, or lists for a list column.
  std::size_t rows() const noexcept { return rows_; }

  // For a list column: whether list `row` is null, and its cells as a range
  // of child cells [first, last).
  bool list_null(std::size_t row) const noexcept;
  void list_range(std::size_t row, std::size_t& first, std::size_t& last) const noexcept;

  // Whether cell `i` (a row, or a child cell of a list column) is null, and
  // its bytes. A cell's bytes are checked against its buffers: false when
  // they do not fit (a malformed array).
  bool cell_null(std::size_t i) const noexcept;
  bool cell(std::size_t i, std::span<const std::uint8_t>& out) const noexcept;

 private:
  const std::uint8_t* bit_buffer(const ArrowArray& array) const noexcept;
  // Binds the arrays holding the cells' bytes: the cells themselves, or a
  // dictionary's values.
  ArrayFault bind_values(const ArrowArray& values) noexcept;
  // Cell i's row in the values: itself, or its dictionary index (false for
  // an index outside the dictionary).
  bool value_row(std::size_t i, std::size_t& out) const noexcept;

  ColumnType type_{};
  std::size_t rows_ = 0;
  // The lists (list columns only).
  const std::uint8_t* list_validity_ = nullptr;
  std::int64_t list_offset_ = 0;
  const void* list_offsets_ = nullptr;
  // The cells.
  std::size_t cells_ = 0;
  // Dictionary-encoded cells: their indices, and the dictionary's size;
  // what follows then describes the dictionary's values.
  const std::uint8_t* index_validity_ = nullptr;
  std::int64_t index_offset_ = 0;
  const std::uint8_t* indices_ = nullptr;
  std::size_t values_ = 0;
  const std::uint8_t* validity_ = nullptr;
  std::int64_t offset_ = 0;
  const std::uint8_t* offsets_ = nullptr;  // int32 or int64, or the views
  // The cells' first offset and their last less it: every cell's bytes must
  // lie between the two (binary and large_binary).
  std::int64_t low_ = 0;
  std::uint64_t span_ = 0;
  const std::uint8_t* data_ = nullptr;
  const char* const* view_buffers_ = nullptr;
  const std::int64_t* view_sizes_ = nullptr;
  std::int64_t view_buffer_count_ = 0;
};

// One sketch cell opened in place: its precision, and either its 2^p
// registers (packed dense, or the raw form) or its packed sparse body.
struct Sketch {
  unsigned p = 0;
  bool sparse = false;
  bool raw = false;   // the raw form, whose registers are taken as they are
  packed::View view;  // the packed view when sparse
  const std::uint8_t* registers = nullptr;
  std::span<const std::uint8_t> bytes;  // the whole cell
};

// Opens a cell holding either form (told apart as drisk.load does); the
// packed form is checked through its checksum. A text on refusal.
Refusal open(std::span<const std::uint8_t> data, Sketch& out);

// The estimate of an opened sketch by `method`. `entries` is scratch for
// 2^MAX_PRECISION entries. Equal to drisk.estimate of the unpacked sketch.
Refusal estimate(const Sketch& sketch, Method method, std::uint32_t* entries, double& out);

// What a column-wide call gives back: the failure text and the row it names,
// or nothing.
struct Failure {
  bool failed = false;
  bool out_of_memory = false;
  std::string message;
  // Stopped between two steps by a signal the caller saw (Ctrl-C): the
  // caller's exception is pending, no message here.
  bool interrupted = false;

  [[gnu::cold, gnu::noinline]] static Failure refused(std::string message);
  [[gnu::cold, gnu::noinline]] static Failure no_memory();
  [[gnu::cold, gnu::noinline]] static Failure stopped();
};

// "row N: what", the form of every refusal that names a row.
[[gnu::cold, gnu::noinline]] std::string at_row(std::size_t row, std::string what);

// What a cell whose bytes lie outside its array's buffers gives.
extern const char MALFORMED_CELL[];

// Opens a cell as a union takes it: open(), and a raw sketch's registers
// must all be values insertion stores (others have no packed form).
Refusal open_for_union(std::span<const std::uint8_t> data, Sketch& out);

// Estimates cells [begin, end) of `cells` (not a list column), appending
// them to `out` (NaN for a null cell). `row_base` counts the rows of earlier
// arrays, for the messages.
Failure estimate_rows(const Cells& cells, std::size_t begin, std::size_t end, Method method,
                      std::size_t row_base, std::vector<double>& out) noexcept;

// A whole sketch column, its cells in row order (spans into the arrays,
// which must outlive it).
struct CellColumn {
  struct Row {
    const std::uint8_t* data;
    std::uint32_t size;
    bool present;  // false for a null cell
  };
  std::vector<Row> rows;

  // Appends the rows of `cells` (not a list column).
  Failure add(const Cells& cells) noexcept;

  // Opens the cell of a row (not null) as open_for_union() does.
  Refusal open(std::size_t row, Sketch& out) const;

  // Checks every cell as a union would (header, checksum, a sparse body's
  // entries, a raw sketch's registers), refusing the first that is not a
  // sketch, naming its row.
  Failure check() const noexcept;
};

}  // namespace drisk::cells

#endif  // DRISK_SKETCH_CELLS_HPP
