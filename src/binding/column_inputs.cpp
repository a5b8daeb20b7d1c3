// drisk: Arrow exports and number buffers, read.
#include "column_inputs.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "arrow_import.hpp"
#include "buffer.hpp"
#include "columns/schema.hpp"
#include "columns/sink.hpp"
#include "cpus.hpp"

namespace drisk {
namespace {

// The rows of the next slice: as many as take about SLICE_TIME at the pace of
// the last full slice, from FIRST_SLICE_ROWS and growing at most eightfold a
// step.
class SlicePacer {
 public:
  static constexpr std::chrono::nanoseconds SLICE_TIME = std::chrono::milliseconds(20);
  static constexpr std::size_t FIRST_SLICE_ROWS = 64 * 1024;
  static constexpr std::size_t MAX_SLICE_ROWS = std::size_t{1} << 26;

  std::size_t rows() const noexcept { return rows_; }

  void record(std::size_t rows, std::chrono::nanoseconds took) noexcept {
    if (rows < FIRST_SLICE_ROWS) {
      return;  // too short to tell the pace
    }
    const auto nanos = static_cast<double>(std::max<std::int64_t>(took.count(), 1000));
    const double paced =
        static_cast<double>(rows) * static_cast<double>(SLICE_TIME.count()) / nanos;
    const double bounded = std::clamp(paced, static_cast<double>(FIRST_SLICE_ROWS),
                                      static_cast<double>(std::min(MAX_SLICE_ROWS, rows_ * 8)));
    rows_ = static_cast<std::size_t>(bounded);
  }

 private:
  std::size_t rows_ = FIRST_SLICE_ROWS;
};

// Runs absorb(begin, end) -> ArrayFault over [0, rows) a slice at a time:
// without the interpreter lock for a large slice, with pending signals
// (Ctrl-C) looked at between slices, so that a long column stays
// interruptible whatever a row costs. The sink keeps the target untouched
// until the whole call succeeds.
template <class Absorb>
Status absorb_in_slices(SlicePacer& pacer, std::size_t rows, Absorb&& absorb) {
  std::size_t begin = 0;
  do {
    const std::size_t end = begin + std::min(pacer.rows(), rows - begin);
    const auto run = [&]() noexcept { return absorb(begin, end); };
    const auto started = std::chrono::steady_clock::now();
    const ArrayFault fault = end - begin >= RELEASE_GIL_ROWS ? without_gil(run) : run();
    if (fault != nullptr) {
      return array_fault(fault);
    }
    pacer.record(end - begin, std::chrono::steady_clock::now() - started);
    begin = end;
    if (begin < rows && PyErr_CheckSignals() < 0) {
      return PyErr::fetch();
    }
  } while (begin < rows);
  return success();
}

// Absorbs one array (the sink prepared for it).
Status absorb_chunk(ColumnSink& sink, SlicePacer& pacer, const ColumnType& type,
                    const ArrowArray& array, std::size_t& absorbed) {
  const auto rows = static_cast<std::size_t>(std::max<std::int64_t>(array.length, 0));
  return absorb_in_slices(pacer, rows, [&](std::size_t begin, std::size_t end) noexcept {
    return sink.absorb_array(type, array, static_cast<std::int64_t>(begin),
                             static_cast<std::int64_t>(end), absorbed);
  });
}

Expected<std::size_t> absorb_imported(HyperLogLogCore& core, ImportedArrow& imported) {
  ColumnType type;
  if (ColumnFailure failure = describe_column(*imported.schema, type)) {
    return column_error(std::move(*failure));
  }
  ColumnSink sink(core, usable_cpus() > 1);
  SlicePacer pacer;
  std::size_t absorbed = 0;
  if (!imported.is_stream) {
    const auto rows = static_cast<std::size_t>(std::max<std::int64_t>(imported.array->length, 0));
    sink.prepare_single(&type, std::min(rows, SlicePacer::MAX_SLICE_ROWS));
    if (Status done = absorb_chunk(sink, pacer, type, *imported.array, absorbed); !done) {
      return std::move(done).error();
    }
    sink.commit();
    return absorbed;
  }
  for (bool first = true;;) {
    OwnedArray chunk;
    if (Status ok = next_array(imported, chunk, first); !ok) {
      return std::move(ok).error();
    }
    if (!chunk.held()) {
      sink.commit();  // the end of the stream
      return absorbed;
    }
    const auto rows = static_cast<std::size_t>(std::max<std::int64_t>(chunk->length, 0));
    sink.prepare(std::min(rows, SlicePacer::MAX_SLICE_ROWS));
    if (Status done = absorb_chunk(sink, pacer, type, *chunk, absorbed); !done) {
      return std::move(done).error();
    }
    // A long stream (a large Parquet file, say) stays interruptible.
    if (PyErr_CheckSignals() < 0) {
      return PyErr::fetch();
    }
  }
}

[[gnu::cold, gnu::noinline]] PyErr not_one_dimensional(int ndim) {
  return value_error("a buffer of " + std::to_string(ndim) +
                     " dimensions cannot be counted: pass a one-dimensional one")
      .with_argument_note("data");
}

// The items of a one-dimensional buffer, absorbed slice by slice into one
// sink: prepare(sink, rows) once for the largest slice, then
// slice(sink, first item, stride, rows, absorbed) per slice.
template <class Prepare, class Slice>
Expected<std::size_t> absorb_strided(HyperLogLogCore& core, const Py_buffer& buffer,
                                     Prepare&& prepare, Slice&& slice) {
  const auto count = static_cast<std::size_t>(buffer.shape[0]);
  const std::ptrdiff_t stride = buffer.strides != nullptr ? buffer.strides[0] : buffer.itemsize;
  ColumnSink sink(core, usable_cpus() > 1);
  prepare(sink, std::min(count, SlicePacer::MAX_SLICE_ROWS));
  SlicePacer pacer;
  std::size_t absorbed = 0;
  const auto* base = static_cast<const std::uint8_t*>(buffer.buf);
  Status done = absorb_in_slices(pacer, count,
                                 [&](std::size_t begin, std::size_t end) noexcept -> ArrayFault {
                                   slice(sink, base + static_cast<std::ptrdiff_t>(begin) * stride,
                                         stride, end - begin, absorbed);
                                   return nullptr;
                                 });
  if (!done) {
    return std::move(done).error();
  }
  sink.commit();
  return absorbed;
}

// Acquires `data`'s buffer into `view` and describes its items: a
// one-dimensional buffer of numbers in a format the columns know.
Expected<NumberLayout> number_buffer(BufferView& view, PyObject* data) {
  if (!view.acquire(data, PyBUF_RECORDS_RO)) {
    return PyErr::fetch().with_argument_note("data");
  }
  const Py_buffer& buffer = view.view();
  if (buffer.ndim != 1) {
    return not_one_dimensional(buffer.ndim);
  }
  NumberLayout layout;
  if (ColumnFailure failure = describe_buffer_format(
          buffer.format, static_cast<std::size_t>(buffer.itemsize), layout)) {
    return column_error(std::move(*failure));
  }
  return layout;
}

}  // namespace

Expected<std::size_t> absorb_arrow(HyperLogLogCore& core, PyObject* data) {
  ImportedArrow imported;
  if (Status ok = import_arrow(data, "data", imported); !ok) {
    return std::move(ok).error();
  }
  return absorb_imported(core, imported);
}

Expected<std::size_t> absorb_number_buffer(HyperLogLogCore& core, PyObject* data) {
  BufferView view;
  Expected<NumberLayout> layout = number_buffer(view, data);
  if (!layout) {
    return std::move(layout).error();
  }
  return absorb_strided(
      core, view.view(),
      [](ColumnSink& sink, std::size_t rows) { sink.prepare_single(nullptr, rows); },
      [&](ColumnSink& sink, const std::uint8_t* first, std::ptrdiff_t stride, std::size_t rows,
          std::size_t& absorbed) noexcept {
        sink.absorb_numbers(*layout, first, stride, rows, absorbed);
      });
}

Expected<std::size_t> absorb_time_buffer(HyperLogLogCore& core, PyObject* data, PyObject* unit,
                                         PyObject* utc) {
  Expected<std::string_view> unit_text = extract_str(unit, "unit");
  if (!unit_text) {
    return std::move(unit_text).error();
  }
  TimeLayout layout;
  layout.utc = PyObject_IsTrue(utc) == 1;
  if (*unit_text == "D") {
    layout.kind = ValueKind::Date32;
  } else if (*unit_text == "s") {
    layout.unit = TimeUnit::second;
  } else if (*unit_text == "ms") {
    layout.unit = TimeUnit::milli;
  } else if (*unit_text == "us") {
    layout.unit = TimeUnit::micro;
  } else if (*unit_text == "ns") {
    layout.unit = TimeUnit::nano;
  } else {
    return value_error("unit must be 'D', 's', 'ms', 'us' or 'ns'").with_argument_note("unit");
  }
  if (layout.kind == ValueKind::Date32 && layout.utc) {
    return value_error("dates have no time zone").with_argument_note("utc");
  }
  BufferView view;
  Expected<NumberLayout> counts = number_buffer(view, data);
  if (!counts) {
    return std::move(counts).error();
  }
  if (counts->kind != ValueKind::Int64 || counts->swap_bytes) {
    return type_error("dates and timestamps must come as int64 counts in this machine's byte order")
        .with_argument_note("data");
  }
  return absorb_strided(
      core, view.view(), [](ColumnSink& sink, std::size_t rows) { sink.prepare(rows); },
      [&](ColumnSink& sink, const std::uint8_t* first, std::ptrdiff_t stride, std::size_t rows,
          std::size_t& absorbed) noexcept {
        sink.absorb_times(layout, first, stride, rows, absorbed);
      });
}

}  // namespace drisk
