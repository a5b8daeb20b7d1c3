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

[[gnu::cold, gnu::noinline]] ColumnError not_sketch_column(std::string_view format, bool lists) {
  std::string message =
      lists ? "sketch lists must be a list column of binary cells (binary, large_binary or "
              "binary_view), got Arrow format '"
            : "a sketch column must hold binary cells (binary, large_binary or binary_view), "
              "got Arrow format '";
  message += format;
  message += "'";
  return ColumnError{ColumnError::Kind::Type, std::move(message)};
}

// No sketch takes more: a dense packed one at the largest precision.
constexpr std::size_t MAX_CELL_BYTES =
    packed::HEADER_SIZE + (std::size_t{1} << MAX_PRECISION) + packed::CHECKSUM_SIZE;

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

const char MALFORMED_CELL[] = "malformed Arrow array: a cell's bytes lie outside its buffers";

Failure Failure::refused(std::string message) { return Failure{true, false, std::move(message)}; }

Failure Failure::no_memory() { return Failure{true, true, {}}; }

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
      return not_sketch_column(format, true);
    }
    type.lists = true;
    type.large_lists = format == "+L";
    cells = schema.children[0];
  }
  const std::string_view cell_format = cells->format != nullptr ? cells->format : "";
  if (cells->dictionary != nullptr || !cell_layout(cell_format, type.layout, type.width)) {
    return not_sketch_column(lists ? format : cell_format, lists);
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
  if (const char* fault = shape_fault(array)) {
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
  if (const char* fault = shape_fault(c)) {
    return fault;
  }
  cells_ = static_cast<std::size_t>(c.length);
  if (c.null_count > 0 && (c.n_buffers < 1 || c.buffers == nullptr || c.buffers[0] == nullptr)) {
    return "malformed Arrow array: nulls counted but no validity buffer";
  }
  validity_ = bit_buffer(c);
  offset_ = c.offset;
  switch (type.layout) {
    case Layout::Binary:
    case Layout::LargeBinary:
      if (c.n_buffers != 3 || c.buffers == nullptr || (c.buffers[1] == nullptr && cells_ > 0)) {
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
      if (c.n_buffers < 3 || c.buffers == nullptr || (c.buffers[1] == nullptr && cells_ > 0)) {
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
          (c.buffers[1] == nullptr && type.width > 0 && cells_ > 0)) {
        return "malformed Arrow array: a fixed_size_binary array needs validity and data buffers";
      }
      data_ = static_cast<const std::uint8_t*>(c.buffers[1]);
      break;
  }
  return nullptr;
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
  return validity_ != nullptr && !bit_is_set(validity_, offset_ + static_cast<std::int64_t>(i));
}

bool Cells::cell(std::size_t i, std::span<const std::uint8_t>& out) const noexcept {
  const std::size_t j = static_cast<std::size_t>(offset_) + i;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  switch (type_.layout) {
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

Failure estimate_all(const Cells& cells, Method method, std::size_t row_base,
                     std::vector<double>& out) noexcept {
  try {
    std::vector<std::uint32_t> entries;
    out.reserve(out.size() + cells.rows());
    for (std::size_t i = 0; i < cells.rows(); ++i) {
      if (cells.cell_null(i)) {
        out.push_back(std::numeric_limits<double>::quiet_NaN());
        continue;
      }
      std::span<const std::uint8_t> bytes;
      if (!cells.cell(i, bytes)) {
        return Failure::refused(MALFORMED_CELL);
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
    rows.reserve(rows.size() + cells.rows());
    for (std::size_t i = 0; i < cells.rows(); ++i) {
      if (cells.cell_null(i)) {
        rows.push_back(Row{nullptr, 0, false});
        continue;
      }
      std::span<const std::uint8_t> bytes;
      if (!cells.cell(i, bytes)) {
        return Failure::refused(MALFORMED_CELL);
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
