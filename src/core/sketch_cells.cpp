// drisk: columns whose cells are sketches (see sketch_cells.hpp).
#include "sketch_cells.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "columns/array_views.hpp"
#include "columns/row_views.hpp"

namespace drisk::cells {
namespace {

// Validity bits and unaligned values, read as the column reader reads them.
using columns::bit_is_set;
using columns::load;
using columns::row_within;
using columns::shape_fault;

bool cell_layout(std::string_view format, Layout& layout, std::int32_t& width) {
  if (format == "z") {
    layout = Layout::Binary;
  } else if (format == "Z") {
    layout = Layout::LargeBinary;
  } else if (format == "vz") {
    layout = Layout::BinaryView;
  } else if (format.starts_with("w:")) {
    const char* end = format.data() + format.size();
    const auto [ptr, ec] = std::from_chars(format.data() + 2, end, width);
    if (ec != std::errc() || ptr != end || width < 0) {
      return false;
    }
    layout = Layout::FixedBinary;
  } else {
    return false;
  }
  return true;
}

// What a type is called, for the refusals: Arrow's names of the common
// formats, or the format string itself.
std::string type_name(std::string_view format) {
  struct Named {
    std::string_view format;
    std::string_view name;
  };
  static constexpr Named NAMES[] = {
      {"n", "null"},     {"b", "bool"},         {"c", "int8"},         {"C", "uint8"},
      {"s", "int16"},    {"S", "uint16"},       {"i", "int32"},        {"I", "uint32"},
      {"l", "int64"},    {"L", "uint64"},       {"e", "float16"},      {"f", "float32"},
      {"g", "float64"},  {"u", "string"},       {"U", "large_string"}, {"vu", "string_view"},
      {"z", "binary"},   {"Z", "large_binary"}, {"vz", "binary_view"}, {"tdD", "date32"},
      {"tdm", "date64"}, {"+l", "list"},        {"+L", "large_list"},  {"+s", "struct"},
      {"+m", "map"},
  };
  for (const Named& named : NAMES) {
    if (named.format == format) {
      return std::string(named.name);
    }
  }
  if (format.starts_with("ts")) {
    return "timestamp (Arrow format '" + std::string(format) + "')";
  }
  if (format.starts_with("d:")) {
    return "decimal (Arrow format '" + std::string(format) + "')";
  }
  return "Arrow format '" + std::string(format) + "'";
}

[[gnu::cold, gnu::noinline]] ColumnError not_sketch_column(const ArrowSchema& schema, bool lists) {
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  std::string message;
  if (lists) {
    message =
        "sketch lists must be a list column of binary cells (binary, large_binary or binary_view), "
        "got ";
    const bool list = (format == "+l" || format == "+L") && schema.n_children == 1 &&
                      schema.children != nullptr && schema.children[0] != nullptr &&
                      schema.children[0]->format != nullptr;
    message += list ? "a list of " + type_name(schema.children[0]->format) : type_name(format);
  } else {
    message = "a sketch column must hold binary cells (binary, large_binary or binary_view), got " +
              type_name(format);
  }
  return ColumnError{ColumnError::Kind::Type, std::move(message)};
}

// The size and signedness of a dictionary index type.
bool index_type(std::string_view format, std::uint8_t& size, bool& is_signed) {
  static constexpr std::string_view SIGNED = "csil";
  static constexpr std::string_view UNSIGNED = "CSIL";
  if (format.size() != 1) {
    return false;
  }
  const std::size_t s = SIGNED.find(format[0]);
  const std::size_t u = UNSIGNED.find(format[0]);
  if (s == std::string_view::npos && u == std::string_view::npos) {
    return false;
  }
  is_signed = s != std::string_view::npos;
  size = static_cast<std::uint8_t>(1u << (is_signed ? s : u));
  return true;
}

// No sketch takes more: a packed one at the largest precision, its sparse
// body as long as open() accepts.
constexpr std::size_t MAX_CELL_BYTES = packed::max_packed_size(MAX_PRECISION);

// The first register of a raw sketch above what insertion stores, as a
// refusal; none when every register could come from insertion.
Refusal raw_too_high(const Sketch& sketch) {
  const std::size_t m = std::size_t{1} << sketch.p;
  const unsigned top = max_rank(sketch.p);
  for (std::size_t i = 0; i < m; ++i) {
    if (sketch.registers[i] > top) {
      return "cannot union this raw sketch: register " + std::to_string(i) + " holds " +
             std::to_string(sketch.registers[i]) + ", above " + std::to_string(top) +
             ", the largest value insertion stores at p=" + std::to_string(sketch.p);
    }
  }
  return std::nullopt;
}

// The bounds of a binary column's cells (columns::offset_bounds), widened.
template <class Offset>
ArrayFault bounds_of(const ArrowArray& array, std::int64_t& low, std::uint64_t& span) noexcept {
  Offset first = 0;
  Offset last = 0;
  const ArrayFault fault = columns::offset_bounds(array, first, last);
  low = first;
  span = static_cast<std::uint64_t>(std::int64_t{last} - first);
  return fault;
}

}  // namespace

const char MALFORMED_CELL[] =
    "malformed Arrow array: a cell's bytes lie outside its buffers (or its dictionary index "
    "outside the "
    "dictionary)";

Failure Failure::refused(std::string message) { return Failure{true, false, std::move(message)}; }

Failure Failure::no_memory() { return Failure{true, true, {}}; }

Failure Failure::stopped() { return Failure{true, false, {}, true}; }

std::string at_row(std::size_t row, std::string what) {
  return "row " + std::to_string(row) + ": " + what;
}

ColumnFailure describe(const ArrowSchema& schema, bool lists, ColumnType& out) {
  ColumnType type;
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  const ArrowSchema* cells = &schema;
  if (lists) {
    if ((format != "+l" && format != "+L") || schema.n_children != 1 ||
        schema.children == nullptr || schema.children[0] == nullptr) {
      return not_sketch_column(schema, true);
    }
    type.lists = true;
    type.large_lists = format == "+L";
    cells = schema.children[0];
  }
  const std::string_view cell_format = cells->format != nullptr ? cells->format : "";
  if (cells->dictionary != nullptr) {
    const ArrowSchema& values = *cells->dictionary;
    const std::string_view value_format = values.format != nullptr ? values.format : "";
    if (!index_type(cell_format, type.index_size, type.index_signed) ||
        !cell_layout(value_format, type.layout, type.width)) {
      return ColumnError{
          ColumnError::Kind::Type,
          "a sketch column must hold binary cells (binary, large_binary or binary_view), got a "
          "dictionary of " +
              type_name(value_format) + " indexed by " + type_name(cell_format)};
    }
  } else if (cell_format == "n") {
    type.layout = Layout::Null;
  } else if (!cell_layout(cell_format, type.layout, type.width)) {
    return not_sketch_column(schema, lists);
  }
  out = type;
  return std::nullopt;
}

const std::uint8_t* Cells::bit_buffer(const ArrowArray& array) const noexcept {
  if (array.null_count == 0 || array.n_buffers < 1 || array.buffers == nullptr) {
    return nullptr;
  }
  return static_cast<const std::uint8_t*>(array.buffers[0]);
}

ArrayFault Cells::bind(const ColumnType& type, const ArrowArray& array) noexcept {
  type_ = type;
  rows_ = 0;
  // (A column of the null type is checked below: its buffers say nothing.)
  if (const char* fault =
          type.lists || type.layout != Layout::Null ? shape_fault(array) : nullptr) {
    return fault;
  }
  rows_ = static_cast<std::size_t>(array.length);
  const ArrowArray* cells = &array;
  if (type.lists) {
    if (array.n_buffers != 2 || array.buffers == nullptr || array.n_children != 1 ||
        array.children == nullptr || array.children[0] == nullptr ||
        (array.buffers[1] == nullptr && rows_ > 0)) {
      return "malformed Arrow array: a list array needs validity and offset buffers and one child";
    }
    if (array.null_count > 0 && array.buffers[0] == nullptr) {
      return "malformed Arrow array: nulls counted but no validity buffer";
    }
    list_validity_ = bit_buffer(array);
    list_offset_ = array.offset;
    list_offsets_ = array.buffers[1];
    cells = array.children[0];
  }
  const ArrowArray& c = *cells;
  if (type.layout == Layout::Null) {
    // Every cell null by its type, whatever buffers the producer passes (none,
    // or one empty validity buffer).
    if (c.length < 0 || c.offset < 0) {
      return "malformed Arrow array: negative length or offset";
    }
    cells_ = static_cast<std::size_t>(c.length);
    indices_ = nullptr;
    return nullptr;
  }
  if (const char* fault = shape_fault(c)) {
    return fault;
  }
  cells_ = static_cast<std::size_t>(c.length);
  if (c.null_count > 0 && (c.n_buffers < 1 || c.buffers == nullptr || c.buffers[0] == nullptr)) {
    return "malformed Arrow array: nulls counted but no validity buffer";
  }
  if (type.index_size == 0) {
    indices_ = nullptr;
    return bind_values(c);
  }
  if (c.n_buffers != 2 || c.buffers == nullptr || (c.buffers[1] == nullptr && cells_ > 0) ||
      c.dictionary == nullptr) {
    return "malformed Arrow array: a dictionary array needs validity and index buffers and a "
           "dictionary";
  }
  index_validity_ = bit_buffer(c);
  index_offset_ = c.offset;
  indices_ = static_cast<const std::uint8_t*>(c.buffers[1]);
  if (const char* fault = shape_fault(*c.dictionary)) {
    return fault;
  }
  if (c.dictionary->null_count > 0 &&
      (c.dictionary->n_buffers < 1 || c.dictionary->buffers == nullptr ||
       c.dictionary->buffers[0] == nullptr)) {
    return "malformed Arrow array: nulls counted but no validity buffer";
  }
  return bind_values(*c.dictionary);
}

ArrayFault Cells::bind_values(const ArrowArray& c) noexcept {
  const ColumnType& type = type_;
  values_ = static_cast<std::size_t>(c.length);
  validity_ = bit_buffer(c);
  offset_ = c.offset;
  switch (type.layout) {
    case Layout::Null:
      break;
    case Layout::Binary:
    case Layout::LargeBinary:
      if (c.n_buffers != 3 || c.buffers == nullptr || (c.buffers[1] == nullptr && values_ > 0)) {
        return "malformed Arrow array: a binary array needs validity, offset and data buffers";
      }
      offsets_ = static_cast<const std::uint8_t*>(c.buffers[1]);
      data_ = static_cast<const std::uint8_t*>(c.buffers[2]);
      if (ArrayFault fault = type.layout == Layout::Binary
                                 ? bounds_of<std::int32_t>(c, low_, span_)
                                 : bounds_of<std::int64_t>(c, low_, span_)) {
        return fault;
      }
      break;
    case Layout::BinaryView: {
      if (c.n_buffers < 3 || c.buffers == nullptr || (c.buffers[1] == nullptr && values_ > 0)) {
        return "malformed Arrow array: a view array needs validity, views and buffer-size buffers";
      }
      offsets_ = static_cast<const std::uint8_t*>(c.buffers[1]);
      view_buffer_count_ = c.n_buffers - 3;
      view_buffers_ = reinterpret_cast<const char* const*>(c.buffers + 2);
      view_sizes_ = static_cast<const std::int64_t*>(c.buffers[c.n_buffers - 1]);
      if (view_buffer_count_ > 0 && view_sizes_ == nullptr) {
        return "malformed Arrow array: a view array has no buffer sizes";
      }
      break;
    }
    case Layout::FixedBinary:
      if (c.n_buffers != 2 || c.buffers == nullptr ||
          (c.buffers[1] == nullptr && type.width > 0 && values_ > 0)) {
        return "malformed Arrow array: a fixed_size_binary array needs validity and data buffers";
      }
      data_ = static_cast<const std::uint8_t*>(c.buffers[1]);
      break;
  }
  return nullptr;
}

bool Cells::value_row(std::size_t i, std::size_t& out) const noexcept {
  if (indices_ == nullptr) {
    out = i;
    return true;
  }
  const std::size_t j = static_cast<std::size_t>(index_offset_) + i;
  std::int64_t index = 0;
  switch (type_.index_size) {
    case 1:
      index = type_.index_signed ? std::int64_t{load<std::int8_t>(indices_ + j)}
                                 : std::int64_t{load<std::uint8_t>(indices_ + j)};
      break;
    case 2:
      index = type_.index_signed ? std::int64_t{load<std::int16_t>(indices_ + j * 2)}
                                 : std::int64_t{load<std::uint16_t>(indices_ + j * 2)};
      break;
    case 4:
      index = type_.index_signed ? std::int64_t{load<std::int32_t>(indices_ + j * 4)}
                                 : std::int64_t{load<std::uint32_t>(indices_ + j * 4)};
      break;
    default: {
      const std::uint64_t raw = load<std::uint64_t>(indices_ + j * 8);
      if (!type_.index_signed && raw > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
      }
      index = static_cast<std::int64_t>(raw);
    }
  }
  if (index < 0 || static_cast<std::uint64_t>(index) >= values_) {
    return false;
  }
  out = static_cast<std::size_t>(index);
  return true;
}

bool Cells::list_null(std::size_t row) const noexcept {
  return list_validity_ != nullptr &&
         !bit_is_set(list_validity_, list_offset_ + static_cast<std::int64_t>(row));
}

void Cells::list_range(std::size_t row, std::size_t& first, std::size_t& last) const noexcept {
  const auto at = static_cast<std::size_t>(list_offset_) + row;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  if (type_.large_lists) {
    const auto* offsets = static_cast<const std::int64_t*>(list_offsets_);
    begin = offsets[at];
    end = offsets[at + 1];
  } else {
    const auto* offsets = static_cast<const std::int32_t*>(list_offsets_);
    begin = offsets[at];
    end = offsets[at + 1];
  }
  // A malformed range comes back empty-handed: first past last.
  if (begin < 0 || end < begin || static_cast<std::uint64_t>(end) > cells_) {
    first = 1;
    last = 0;
    return;
  }
  first = static_cast<std::size_t>(begin);
  last = static_cast<std::size_t>(end);
}

bool Cells::cell_null(std::size_t i) const noexcept {
  if (type_.layout == Layout::Null) {
    return true;
  }
  if (indices_ != nullptr) {
    if (index_validity_ != nullptr &&
        !bit_is_set(index_validity_, index_offset_ + static_cast<std::int64_t>(i))) {
      return true;
    }
    // An index outside the dictionary is no null: cell() refuses it.
    if (!value_row(i, i)) {
      return false;
    }
  }
  return validity_ != nullptr && !bit_is_set(validity_, offset_ + static_cast<std::int64_t>(i));
}

bool Cells::cell(std::size_t i, std::span<const std::uint8_t>& out) const noexcept {
  if (type_.layout == Layout::Null || !value_row(i, i)) {
    return false;
  }
  const std::size_t j = static_cast<std::size_t>(offset_) + i;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  switch (type_.layout) {
    case Layout::Null:
      return false;
    case Layout::Binary:
      begin = load<std::int32_t>(offsets_ + j * 4);
      end = load<std::int32_t>(offsets_ + (j + 1) * 4);
      break;
    case Layout::LargeBinary:
      begin = load<std::int64_t>(offsets_ + j * 8);
      end = load<std::int64_t>(offsets_ + (j + 1) * 8);
      break;
    case Layout::FixedBinary:
      out = {data_ + j * static_cast<std::size_t>(type_.width),
             static_cast<std::size_t>(type_.width)};
      return true;
    case Layout::BinaryView: {
      const std::uint8_t* view = offsets_ + j * 16;
      const std::int32_t length = load<std::int32_t>(view);
      if (length < 0) {
        return false;
      }
      if (length <= 12) {
        out = {view + 4, static_cast<std::size_t>(length)};
        return true;
      }
      const std::int32_t index = load<std::int32_t>(view + 8);
      const std::int32_t offset = load<std::int32_t>(view + 12);
      if (index < 0 || index >= view_buffer_count_ || offset < 0 ||
          std::int64_t{offset} + length > view_sizes_[index] || view_buffers_[index] == nullptr) {
        return false;
      }
      out = {reinterpret_cast<const std::uint8_t*>(view_buffers_[index]) + offset,
             static_cast<std::size_t>(length)};
      return true;
    }
  }
  if (!row_within(begin, end, low_, span_) || (data_ == nullptr && end > begin)) {
    return false;
  }
  out = {data_ + begin, static_cast<std::size_t>(end - begin)};
  return true;
}

Refusal open(std::span<const std::uint8_t> data, Sketch& out) {
  // The raw form, exactly as drisk.load tells it from the packed one.
  if (data.size() > 1 && data[0] >= MIN_PRECISION && data[0] <= MAX_PRECISION &&
      data.size() == (std::size_t{1} << data[0]) + 1) {
    out = Sketch{data[0], false, true, {}, data.data() + 1, data};
    return std::nullopt;
  }
  packed::View view;
  if (Refusal refusal = packed::open(data, view)) {
    return refusal;
  }
  const bool sparse = view.encoding == packed::Encoding::sparse;
  out = Sketch{view.p, sparse, false, view, sparse ? nullptr : view.body.data(), data};
  return std::nullopt;
}

Refusal estimate(const Sketch& sketch, Method method, std::uint32_t* entries, double& out) {
  RegisterHistogram h;
  std::size_t n = 0;
  if (sketch.sparse) {
    if (Refusal refusal = packed::read_entries(sketch.view, entries, n)) {
      return refusal;
    }
    h.m = std::uint64_t{1} << sketch.p;
    h.q = 64 - sketch.p;
    h.count[0] = h.m - n;
    for (std::size_t i = 0; i < n; ++i) {
      h.count[entries[i] & ((1u << packed::ENTRY_VALUE_BITS) - 1)] += 1;
    }
  } else {
    h = register_histogram(sketch.registers, sketch.p);
  }
  if (method != Method::classic) {
    out = method == Method::ml ? ml_estimate(h) : improved_estimate(h);
    return std::nullopt;
  }
  // The classic estimate is the sketch's own count(): rebuild the sketch.
  HyperLogLogCore core;
  HyperLogLogCore::create(sketch.p, core);
  std::uint8_t* regs = core.mutable_registers();
  if (sketch.sparse) {
    for (std::size_t i = 0; i < n; ++i) {
      regs[entries[i] >> packed::ENTRY_VALUE_BITS] =
          static_cast<std::uint8_t>(entries[i] & ((1u << packed::ENTRY_VALUE_BITS) - 1));
    }
  } else {
    std::memcpy(regs, sketch.registers, core.size());
  }
  out = core.estimate();
  return std::nullopt;
}

Failure estimate_rows(const Cells& cells, std::size_t begin, std::size_t end, Method method,
                      std::size_t row_base, std::vector<double>& out) noexcept {
  try {
    std::vector<std::uint32_t> entries;
    out.reserve(out.size() + (end - begin));
    for (std::size_t i = begin; i < end; ++i) {
      if (cells.cell_null(i)) {
        out.push_back(std::numeric_limits<double>::quiet_NaN());
        continue;
      }
      std::span<const std::uint8_t> bytes;
      if (!cells.cell(i, bytes)) {
        return Failure::refused(at_row(row_base + i, MALFORMED_CELL));
      }
      Sketch sketch;
      if (Refusal refusal = open(bytes, sketch)) {
        return Failure::refused(at_row(row_base + i, std::move(*refusal)));
      }
      if (sketch.sparse && entries.size() < (std::size_t{1} << sketch.p)) {
        entries.resize(std::size_t{1} << sketch.p);
      }
      double value = 0.0;
      if (Refusal refusal = estimate(sketch, method, entries.data(), value)) {
        return Failure::refused(at_row(row_base + i, std::move(*refusal)));
      }
      out.push_back(value);
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

Refusal open_for_union(std::span<const std::uint8_t> bytes, Sketch& out) {
  if (Refusal refusal = open(bytes, out)) {
    return refusal;
  }
  // A raw sketch may hold registers that have no packed form.
  return out.raw ? raw_too_high(out) : std::nullopt;
}

Refusal CellColumn::open(std::size_t row, Sketch& out) const {
  const Row& cell = rows[row];
  if (cell.size > MAX_CELL_BYTES) {
    return "not a sketch: it is larger than any sketch";
  }
  return open_for_union({cell.data, cell.size}, out);
}

Failure CellColumn::add(const Cells& cells) noexcept {
  try {
    // Room for this array's rows, growing geometrically: a column of many
    // small chunks would otherwise be copied whole for each of them.
    if (rows.capacity() < rows.size() + cells.rows()) {
      rows.reserve(std::max(rows.size() + cells.rows(), 2 * rows.capacity()));
    }
    for (std::size_t i = 0; i < cells.rows(); ++i) {
      if (cells.cell_null(i)) {
        rows.push_back(Row{nullptr, 0, false});
        continue;
      }
      std::span<const std::uint8_t> bytes;
      if (!cells.cell(i, bytes)) {
        return Failure::refused(at_row(rows.size(), MALFORMED_CELL));
      }
      // A cell too large for any sketch keeps a size no sketch has, for
      // open_row() to refuse.
      const std::size_t size = std::min(bytes.size(), MAX_CELL_BYTES + 1);
      rows.push_back(Row{bytes.data(), static_cast<std::uint32_t>(size), true});
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

Failure CellColumn::check() const noexcept {
  try {
    std::vector<std::uint32_t> entries;
    for (std::size_t row = 0; row < rows.size(); ++row) {
      if (!rows[row].present) {
        continue;
      }
      Sketch sketch;
      Refusal refusal = open(row, sketch);
      if (!refusal && sketch.sparse) {
        entries.resize(std::max(entries.size(), sketch.view.body.size()));
        std::size_t n = 0;
        refusal = packed::read_entries(sketch.view, entries.data(), n);
      }
      if (refusal) {
        return Failure::refused(at_row(row, std::move(*refusal)));
      }
    }
  } catch (const std::bad_alloc&) {
    return Failure::no_memory();
  }
  return {};
}

}  // namespace drisk::cells
