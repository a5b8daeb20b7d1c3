// drisk._grouped: columns of sketches, one sketch per row or per list.
//
// estimates() gives one estimate per cell of a sketch column; union_lists()
// one union per list of a list column (what a group-by gathers), and
// check() refuses a column holding anything but sketches before any work is
// done on it. sketch_rows() and count_rows() make one sketch per group from
// raw rows (a values column and each row's group id); key_ids() numbers the
// distinct keys of any key columns, integer_key_ids() small-range integer
// keys without hashing. group_table(), add_rows(), table_sketches() and
// table_estimates() keep one group table across the batches of a stream
// (binding/group_table.cpp);
// take_views() copies a view column's chosen rows out, for their keys.
// Columns arrive through the Arrow
// PyCapsule interface; the reading is in binding/group_inputs.cpp, the
// arithmetic in sketch_cells.cpp, unions.cpp and group_rows.cpp. Large
// columns are read with the interpreter lock released.
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_import.hpp"
#include "buffer.hpp"
#include "columns/schema.hpp"
#include "cpus.hpp"
#include "entry.hpp"
#include "estimate_args.hpp"
#include "group_inputs.hpp"
#include "group_rows.hpp"
#include "group_table.hpp"
#include "key_rows.hpp"
#include "overlap_cells.hpp"
#include "sketch_cells.hpp"
#include "unions.hpp"

namespace drisk {
namespace {

// Rows from which a column is read with the interpreter lock released.
constexpr std::size_t RELEASE_GIL_ROWS = 4096;
// Sketches unioned by group between two looks at Ctrl-C: some
// milliseconds of sparse ones.
constexpr std::size_t UNION_SLICE_ROWS = std::size_t{1} << 16;

constexpr std::array<const char* const, 2> ESTIMATES_PARAMS{"sketches", "method"};
constexpr std::array<const char* const, 1> CHECK_PARAMS{"sketches"};
constexpr std::array<const char* const, 1> UNION_PARAMS{"lists"};
constexpr FunctionDescription ESTIMATES_DESC{nullptr, "estimates", ESTIMATES_PARAMS, 1};
constexpr FunctionDescription CHECK_DESC{nullptr, "check", CHECK_PARAMS, 1};
constexpr FunctionDescription UNION_DESC{nullptr, "union_lists", UNION_PARAMS, 1};
constexpr std::array<const char* const, 3> UNION_GROUPS_PARAMS{"sketches", "groups", "count"};
constexpr FunctionDescription UNION_GROUPS_DESC{nullptr, "union_groups", UNION_GROUPS_PARAMS, 3};
constexpr std::array<const char* const, 4> SKETCH_ROWS_PARAMS{"values", "groups", "count", "p"};
constexpr FunctionDescription SKETCH_ROWS_DESC{nullptr, "sketch_rows", SKETCH_ROWS_PARAMS, 4};
constexpr std::array<const char* const, 5> COUNT_ROWS_PARAMS{"values", "groups", "count", "p",
                                                             "confidence"};
constexpr FunctionDescription COUNT_ROWS_DESC{nullptr, "count_rows", COUNT_ROWS_PARAMS, 4};
constexpr std::array<const char* const, 3> OVERLAPS_PARAMS{"a", "b", "confidence"};
constexpr FunctionDescription OVERLAPS_DESC{nullptr, "overlaps", OVERLAPS_PARAMS, 2};
constexpr std::array<const char* const, 1> KEY_IDS_PARAMS{"keys"};
constexpr FunctionDescription KEY_IDS_DESC{nullptr, "integer_key_ids", KEY_IDS_PARAMS, 1};
constexpr FunctionDescription ANY_KEY_IDS_DESC{nullptr, "key_ids", KEY_IDS_PARAMS, 1};
constexpr std::array<const char* const, 1> GROUP_TABLE_PARAMS{"p"};
constexpr FunctionDescription GROUP_TABLE_DESC{nullptr, "group_table", GROUP_TABLE_PARAMS, 1};
constexpr std::array<const char* const, 4> ADD_ROWS_PARAMS{"table", "keys", "values", "local"};
constexpr FunctionDescription ADD_ROWS_DESC{nullptr, "add_rows", ADD_ROWS_PARAMS, 3};
constexpr std::array<const char* const, 2> TAKE_VIEWS_PARAMS{"column", "rows"};
constexpr FunctionDescription TAKE_VIEWS_DESC{nullptr, "take_views", TAKE_VIEWS_PARAMS, 2};
constexpr std::array<const char* const, 2> TABLE_ESTIMATES_PARAMS{"table", "confidence"};
constexpr FunctionDescription TABLE_ESTIMATES_DESC{nullptr, "table_estimates",
                                                   TABLE_ESTIMATES_PARAMS, 1};
constexpr std::array<const char* const, 1> TABLE_SKETCHES_PARAMS{"table"};
constexpr FunctionDescription TABLE_SKETCHES_DESC{nullptr, "table_sketches", TABLE_SKETCHES_PARAMS,
                                                  1};

[[gnu::cold, gnu::noinline]] PyErr cells_failure(cells::Failure failure) {
  if (failure.interrupted) {
    return PyErr::fetch();
  }
  if (failure.out_of_memory) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  return value_error(std::move(failure.message));
}

// Runs a column-wide step, without the interpreter lock when it is large.
template <class Work>
cells::Failure run_step(std::size_t rows, Work&& work) {
  return rows >= RELEASE_GIL_ROWS ? without_gil(work) : work();
}

// The arrays of a column kept alive while spans into them are in use.
using HeldArrays = std::vector<std::unique_ptr<OwnedArray>>;

// Calls each(cells, row_base) for every array of an imported column of the
// given kind (lists or plain cells), stopping at the first failure. With
// `held`, the arrays are kept there instead of released one by one.
template <class Each>
Status for_each_array(PyObject* data, const char* param, bool lists, Each&& each,
                      HeldArrays* held = nullptr) {
  ImportedArrow imported;
  if (Status ok = import_arrow(data, param, imported); !ok) {
    return ok;
  }
  cells::ColumnType type;
  if (ColumnFailure failure = cells::describe(*imported.schema, lists, type)) {
    return column_error(std::move(*failure)).with_argument_note(param);
  }
  std::size_t row_base = 0;
  bool first = true;
  for (;;) {
    auto array = std::make_unique<OwnedArray>();
    if (Status ok = next_array(imported, *array, first); !ok) {
      return ok;
    }
    if (!array->held()) {
      return success();
    }
    cells::Cells cells;
    if (ArrayFault fault = cells.bind(type, **array)) {
      return array_fault(fault);
    }
    if (cells::Failure failure = each(cells, row_base); failure.failed) {
      return cells_failure(std::move(failure));
    }
    row_base += cells.rows();
    if (held != nullptr) {
      held->push_back(std::move(array));
    }
    if (PyErr_CheckSignals() < 0) {
      return PyErr::fetch();
    }
  }
}

// Every cell of the column `sketches` in one CellColumn, its arrays kept in
// `held` while the column is in use.
Status read_column(PyObject* sketches, cells::CellColumn& column, HeldArrays& held) {
  return for_each_array(
      sketches, "sketches", false,
      [&](const cells::Cells& cells, std::size_t) { return column.add(cells); }, &held);
}

[[gnu::cold, gnu::noinline]] PyErr not_a_sketch(std::size_t row, std::string message) {
  return value_error("row " + std::to_string(row) + ": " + message);
}

// Estimates of a list or tuple of bytes-like objects and None.
Status estimate_sequence(PyObject* seq, Method method, std::vector<double>& out) {
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) {
    return fetch_for("sketches");
  }
  std::vector<std::uint32_t> entries;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(seq, i));
    if (!item) {
      return fetch_for("sketches");
    }
    if (item.get() == Py_None) {
      out.push_back(std::numeric_limits<double>::quiet_NaN());
      continue;
    }
    BufferView view;
    if (!view.acquire(item.get())) {
      return fetch_for("sketches");
    }
    cells::Sketch sketch;
    Refusal refusal = cells::open(view.bytes(), sketch);
    double value = 0.0;
    if (!refusal) {
      if (sketch.sparse) {
        entries.resize(std::max(entries.size(), std::size_t{1} << sketch.p));
      }
      refusal = cells::estimate(sketch, method, entries.data(), value);
    }
    view.release();
    if (refusal) {
      return not_a_sketch(static_cast<std::size_t>(i), std::move(*refusal));
    }
    out.push_back(value);
  }
  return success();
}

bool is_list_or_tuple(PyObject* obj) noexcept { return PyList_Check(obj) || PyTuple_Check(obj); }

// Cells estimated between two looks at Ctrl-C: a few milliseconds of dense
// p = 18 sketches.
constexpr std::size_t ESTIMATE_SLICE_ROWS = 2048;

// The estimates of one array's cells, a slice at a time.
cells::Failure estimate_slices(const cells::Cells& cells, Method method, std::size_t base,
                               std::vector<double>& out) {
  // A large array's slices run without the interpreter lock, each.
  const bool release = cells.rows() >= RELEASE_GIL_ROWS;
  for (std::size_t begin = 0; begin < cells.rows(); begin += ESTIMATE_SLICE_ROWS) {
    const std::size_t end = std::min(cells.rows(), begin + ESTIMATE_SLICE_ROWS);
    const auto slice = [&]() noexcept {
      return cells::estimate_rows(cells, begin, end, method, base, out);
    };
    if (cells::Failure failure = release ? without_gil(slice) : slice(); failure.failed) {
      return failure;
    }
    if (PyErr_CheckSignals() < 0) {
      return cells::Failure::stopped();
    }
  }
  return {};
}

// estimates(sketches, method="improved") -> bytearray of float64
PyObject* grouped_estimates(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return bound_call<ESTIMATES_DESC>(
      args, nargs, kwnames, [](Slots<ESTIMATES_DESC>& slots) -> Expected<PyObject*> {
        Expected<Method> method = extract_method(slots[1]);
        if (!method) {
          return std::move(method).error();
        }
        std::vector<double> out;
        Status done = is_list_or_tuple(slots[0])
                          ? estimate_sequence(slots[0], *method, out)
                          : for_each_array(slots[0], "sketches", false,
                                           [&](const cells::Cells& cells, std::size_t base) {
                                             return estimate_slices(cells, *method, base, out);
                                           });
        if (!done) {
          return std::move(done).error();
        }
        const auto bytes = static_cast<Py_ssize_t>(out.size() * sizeof(double));
        PyObject* result = checked(PyByteArray_FromStringAndSize(nullptr, bytes));
        if (bytes > 0) {
          std::memcpy(PyByteArray_AsString(result), out.data(), static_cast<std::size_t>(bytes));
        }
        return result;
      });
}

// check(sketches) -> None
PyObject* grouped_check(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return bound_call<CHECK_DESC>(
      args, nargs, kwnames, [](Slots<CHECK_DESC>& slots) -> Expected<PyObject*> {
        HeldArrays held;
        cells::CellColumn column;
        if (Status read = read_column(slots[0], column, held); !read) {
          return std::move(read).error();
        }
        if (cells::Failure failure =
                run_step(column.rows.size(), [&]() noexcept { return column.check(); });
            failure.failed) {
          return cells_failure(std::move(failure));
        }
        return none_result();
      });
}

PyObject* bytes_of(const void* data, std::size_t size) {
  return checked(
      PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

// bytes_of() for a result as long as the input (a group id a row), copied a
// slice at a time with Ctrl-C looked at in between: faulting in that much
// fresh memory can take seconds. Null, with the exception set, when Ctrl-C
// came.
PyObject* long_bytes_of(const void* data, std::size_t size) {
  constexpr std::size_t COPY_SLICE = std::size_t{32} << 20;
  if (size <= COPY_SLICE) {
    return bytes_of(data, size);
  }
  PyObject* bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  char* into = PyBytes_AsString(bytes);
  for (std::size_t done = 0; done < size; done += COPY_SLICE) {
    const std::size_t n = std::min(COPY_SLICE, size - done);
    std::memcpy(into + done, static_cast<const char*>(data) + done, n);
    if (done + n < size && PyErr_CheckSignals() < 0) {
      Py_DECREF(bytes);
      return nullptr;
    }
  }
  return bytes;
}

// The built column as (rows, nulls, validity bitmap or None, int64 offsets,
// data), the buffers of an Arrow large_binary array.
PyObject* built_column(const cells::BinaryBuilder& built) {
  const std::size_t rows = built.valid.size();
  PyRef validity = PyRef::steal(Py_NewRef(Py_None));
  if (built.nulls > 0) {
    std::vector<std::uint8_t> bits((rows + 7) / 8, 0);
    for (std::size_t i = 0; i < rows; ++i) {
      bits[i / 8] |= static_cast<std::uint8_t>(built.valid[i] << (i % 8));
    }
    validity = PyRef::steal(bytes_of(bits.data(), bits.size()));
  }
  PyRef offsets =
      PyRef::steal(bytes_of(built.offsets.data(), built.offsets.size() * sizeof(std::int64_t)));
  PyRef data = PyRef::steal(bytes_of(built.data.data(), built.data.size()));
  return checked(Py_BuildValue("(nnOOO)", static_cast<Py_ssize_t>(rows),
                               static_cast<Py_ssize_t>(built.nulls), validity.get(), offsets.get(),
                               data.get()));
}

// union_lists(lists) -> (rows, nulls, validity, offsets, data)
PyObject* grouped_union_lists(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return bound_call<UNION_DESC>(
      args, nargs, kwnames, [](Slots<UNION_DESC>& slots) -> Expected<PyObject*> {
        cells::Unions unions;
        cells::BinaryBuilder built;
        Status done = for_each_array(
            slots[0], "lists", true, [&](const cells::Cells& cells, std::size_t base) {
              return run_step(cells.rows(),
                              [&]() noexcept { return unions.lists(cells, base, built); });
            });
        if (!done) {
          return std::move(done).error();
        }
        return built_column(built);
      });
}

// union_groups(sketches, groups, count) -> (rows, nulls, validity, offsets, data)
PyObject* grouped_union_groups(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return bound_call<UNION_GROUPS_DESC>(
      args, nargs, kwnames, [](Slots<UNION_GROUPS_DESC>& slots) -> Expected<PyObject*> {
        Expected<std::size_t> count = extract_count(slots[2]);
        if (!count) {
          return std::move(count).error();
        }
        const std::size_t groups = *count;
        // The arrays stay imported (and their cells valid) until the unions
        // are made.
        HeldArrays held;
        cells::CellColumn column;
        if (Status read = read_column(slots[0], column, held); !read) {
          return std::move(read).error();
        }
        GroupIds ids;
        if (Status ok = read_group_ids(slots[1], groups, ids); !ok) {
          return std::move(ok).error();
        }
        if (ids.size != column.rows.size()) {
          return lengths_differ(column.rows.size(), ids.size);
        }
        cells::Unions::GroupPlan plan;
        if (cells::Failure failure =
                cells::Unions::plan(column, {ids.data, ids.size}, groups, plan);
            failure.failed) {
          return cells_failure(std::move(failure));
        }
        // A slice of groups at a time (about UNION_SLICE_ROWS rows of
        // sketches), with Ctrl-C looked at in between.
        cells::BinaryBuilder built;
        for (std::size_t first = 0; first < groups;) {
          const std::size_t last = plan.end_of_slice(first, UNION_SLICE_ROWS);
          if (cells::Failure failure = run_step(ids.size,
                                                [&]() noexcept {
                                                  return cells::Unions::group_slice(
                                                      column, plan, first, last, built);
                                                });
              failure.failed) {
            return cells_failure(std::move(failure));
          }
          if (last < groups && PyErr_CheckSignals() < 0) {
            return PyErr::fetch();
          }
          first = last;
        }
        return built_column(built);
      });
}

// Groups packed or estimated between two looks at Ctrl-C: a few
// milliseconds of work.
constexpr std::size_t GROUP_SLICE = std::size_t{1} << 15;

// Runs step(first, last) over groups [0, count), a slice at a time, with
// Ctrl-C looked at in between; a call with no groups runs it once, empty.
template <class Step>
cells::Failure by_group_slices(std::size_t count, Step&& step) {
  std::size_t first = 0;
  do {
    const std::size_t last = std::min(count, first + GROUP_SLICE);
    if (cells::Failure failure =
            run_step(last - first, [&]() noexcept { return step(first, last); });
        failure.failed) {
      return failure;
    }
    if (last < count && PyErr_CheckSignals() < 0) {
      return cells::Failure::stopped();
    }
    first = last;
  } while (first < count);
  return {};
}

// sketch_rows(values, groups, count, p) -> (rows, nulls, validity, offsets, data)
PyObject* grouped_sketch_rows(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return bound_call<SKETCH_ROWS_DESC>(
      args, nargs, kwnames, [](Slots<SKETCH_ROWS_DESC>& slots) -> Expected<PyObject*> {
        Expected<std::unique_ptr<GroupRows>> rows =
            read_group_rows(slots[0], slots[1], slots[2], slots[3]);
        if (!rows) {
          return std::move(rows).error();
        }
        cells::BinaryBuilder built;
        if (cells::Failure failure =
                by_group_slices((*rows)->groups(),
                                [&](std::size_t first, std::size_t last) noexcept {
                                  return (*rows)->finalize(built, first, last);
                                });
            failure.failed) {
          return cells_failure(std::move(failure));
        }
        return built_column(built);
      });
}

PyObject* doubles_of(const std::vector<double>& values) {
  return bytes_of(values.data(), values.size() * sizeof(double));
}

// (estimates, lower, upper) as float64 bytes, the bounds None without a
// confidence.
PyObject* estimates_of(const std::vector<double>& estimate, const std::vector<double>& lower,
                       const std::vector<double>& upper, double confidence) {
  PyRef e = PyRef::steal(doubles_of(estimate));
  if (confidence == 0.0) {
    return checked(Py_BuildValue("(OOO)", e.get(), Py_None, Py_None));
  }
  PyRef lo = PyRef::steal(doubles_of(lower));
  PyRef hi = PyRef::steal(doubles_of(upper));
  return checked(Py_BuildValue("(OOO)", e.get(), lo.get(), hi.get()));
}

// count_rows(values, groups, count, p, confidence=None) -> (estimates, lower, upper)
PyObject* grouped_count_rows(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return bound_call<COUNT_ROWS_DESC>(
      args, nargs, kwnames, [](Slots<COUNT_ROWS_DESC>& slots) -> Expected<PyObject*> {
        double confidence = 0.0;  // no interval
        if (slots[4] != nullptr && slots[4] != Py_None) {
          Expected<double> given = extract_confidence(slots[4]);
          if (!given) {
            return std::move(given).error();
          }
          confidence = *given;
        }
        Expected<std::unique_ptr<GroupRows>> rows =
            read_group_rows(slots[0], slots[1], slots[2], slots[3]);
        if (!rows) {
          return std::move(rows).error();
        }
        std::vector<double> estimate;
        std::vector<double> lower;
        std::vector<double> upper;
        if (cells::Failure failure = by_group_slices(
                (*rows)->groups(),
                [&](std::size_t first, std::size_t last) noexcept {
                  return (*rows)->estimates(confidence, estimate, lower, upper, first, last);
                });
            failure.failed) {
          return cells_failure(std::move(failure));
        }
        return estimates_of(estimate, lower, upper, confidence);
      });
}

// (ids, first) of a key numbering (integer_key_ids or key_ids) as bytes:
// each row's group as uint32, the row where each group first appears as
// int64.
template <const FunctionDescription& Desc, auto Number>
PyObject* numbered_keys(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bound_call<Desc>(args, nargs, kwnames, [](Slots<Desc>& slots) -> Expected<PyObject*> {
    std::vector<std::uint32_t> codes;
    std::vector<std::int64_t> first;
    if (Status ok = Number(slots[0], codes, first); !ok) {
      return std::move(ok).error();
    }
    PyRef ids = PyRef::steal(long_bytes_of(codes.data(), codes.size() * sizeof(std::uint32_t)));
    if (!ids) {
      return PyErr::fetch();  // Ctrl-C while it was copied
    }
    PyRef rows = PyRef::steal(bytes_of(first.data(), first.size() * sizeof(std::int64_t)));
    return checked(Py_BuildValue("(OO)", ids.get(), rows.get()));
  });
}

// integer_key_ids(keys) -> (ids, first)
PyObject* grouped_integer_key_ids(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return numbered_keys<KEY_IDS_DESC, integer_key_ids>(args, nargs, kwnames);
}

// key_ids(keys) -> (ids, first)
PyObject* grouped_key_ids(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return numbered_keys<ANY_KEY_IDS_DESC, key_ids>(args, nargs, kwnames);
}

// group_table(p) -> table
PyObject* grouped_group_table(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return bound_call<GROUP_TABLE_DESC>(args, nargs, kwnames,
                                      [](Slots<GROUP_TABLE_DESC>& slots) -> Expected<PyObject*> {
                                        return new_group_table(slots[0]);
                                      });
}

// add_rows(table, keys, values, local=None) -> first
PyObject* grouped_add_rows(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return bound_call<ADD_ROWS_DESC>(
      args, nargs, kwnames, [](Slots<ADD_ROWS_DESC>& slots) -> Expected<PyObject*> {
        return add_to_group_table(slots[0], slots[1], slots[2], slots[3]);
      });
}

// table_sketches(table) -> (rows, nulls, validity, offsets, data)
PyObject* grouped_table_sketches(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return bound_call<TABLE_SKETCHES_DESC>(
      args, nargs, kwnames, [](Slots<TABLE_SKETCHES_DESC>& slots) -> Expected<PyObject*> {
        Expected<GroupTableRows> held = group_table_rows(slots[0]);
        if (!held) {
          return std::move(held).error();
        }
        GroupRows* rows = held->rows;
        cells::BinaryBuilder built;
        if (rows != nullptr) {
          if (cells::Failure failure =
                  by_group_slices(rows->groups(),
                                  [&](std::size_t first, std::size_t last) noexcept {
                                    return rows->finalize(built, first, last);
                                  });
              failure.failed) {
            return cells_failure(std::move(failure));
          }
        }
        return built_column(built);
      });
}

// table_estimates(table, confidence=None) -> (estimates, lower, upper)
PyObject* grouped_table_estimates(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return bound_call<TABLE_ESTIMATES_DESC>(
      args, nargs, kwnames, [](Slots<TABLE_ESTIMATES_DESC>& slots) -> Expected<PyObject*> {
        double confidence = 0.0;  // no interval
        if (slots[1] != nullptr && slots[1] != Py_None) {
          Expected<double> given = extract_confidence(slots[1]);
          if (!given) {
            return std::move(given).error();
          }
          confidence = *given;
        }
        Expected<GroupTableRows> held = group_table_rows(slots[0]);
        if (!held) {
          return std::move(held).error();
        }
        GroupRows* rows = held->rows;
        std::vector<double> estimate;
        std::vector<double> lower;
        std::vector<double> upper;
        if (rows != nullptr) {
          if (cells::Failure failure = by_group_slices(
                  rows->groups(),
                  [&](std::size_t first, std::size_t last) noexcept {
                    return rows->estimates(confidence, estimate, lower, upper, first, last);
                  });
              failure.failed) {
            return cells_failure(std::move(failure));
          }
        }
        return estimates_of(estimate, lower, upper, confidence);
      });
}

// take_views(column, rows) -> (rows, nulls, validity, offsets, data)
PyObject* grouped_take_views(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return bound_call<TAKE_VIEWS_DESC>(
      args, nargs, kwnames, [](Slots<TAKE_VIEWS_DESC>& slots) -> Expected<PyObject*> {
        Expected<std::span<const std::uint8_t>> rows = extract_bytes(slots[1], "rows");
        if (!rows) {
          return std::move(rows).error();
        }
        // The positions, copied: bytes need not be aligned for int64.
        std::vector<std::int64_t> positions(rows->size() / sizeof(std::int64_t));
        std::memcpy(positions.data(), rows->data(), positions.size() * sizeof(std::int64_t));
        ImportedArrow imported;
        if (Status ok = import_arrow(slots[0], "column", imported); !ok) {
          return std::move(ok).error();
        }
        ColumnType type;
        if (ColumnFailure failure = describe_column(*imported.schema, type)) {
          return column_error(std::move(*failure)).with_argument_note("column");
        }
        cells::BinaryBuilder built;
        std::size_t next = 0;
        std::int64_t base = 0;
        for (bool first = true;;) {
          OwnedArray array;
          if (Status ok = next_array(imported, array, first); !ok) {
            return std::move(ok).error();
          }
          if (!array.held()) {
            break;
          }
          if (ArrayFault fault = take_view_rows(type, *array, base, positions.data(),
                                                positions.size(), next, built)) {
            return array_fault(fault);
          }
          base += array->length;
        }
        if (next != positions.size()) {
          return value_error("rows must be ascending positions of the column")
              .with_argument_note("rows");
        }
        return built_column(built);
      });
}

// Rows fitted between two looks at Ctrl-C, and from which the helper
// thread takes part (a fit takes a few microseconds).
constexpr std::size_t OVERLAP_SLICE_ROWS = 16384;
constexpr std::size_t OVERLAP_SPLIT_ROWS = 512;

// The views of a list or tuple of bytes-like objects and None, held while
// the cells they back are in use.
using HeldViews = std::vector<std::unique_ptr<BufferView>>;

Status read_sequence(PyObject* seq, const char* param, cells::CellColumn& column,
                     HeldViews& views) {
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) {
    return fetch_for(param);
  }
  column.rows.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(seq, i));
    if (!item) {
      return fetch_for(param);
    }
    if (item.get() == Py_None) {
      column.rows.push_back({nullptr, 0, false});
      continue;
    }
    auto view = std::make_unique<BufferView>();
    if (!view->acquire(item.get())) {
      return fetch_for(param);
    }
    const std::span<const std::uint8_t> bytes = view->bytes();
    // Too large for any sketch: kept at a size no sketch has, for open() to refuse.
    const std::size_t size = std::min<std::size_t>(bytes.size(), UINT32_MAX);
    column.rows.push_back({bytes.data(), static_cast<std::uint32_t>(size), true});
    views.push_back(std::move(view));
  }
  return success();
}

Status read_any_column(PyObject* data, const char* param, cells::CellColumn& column,
                       HeldArrays& held, HeldViews& views) {
  if (is_list_or_tuple(data)) {
    return read_sequence(data, param, column, views);
  }
  return for_each_array(
      data, param, false, [&](const cells::Cells& cells, std::size_t) { return column.add(cells); },
      &held);
}

// overlaps(a, b, confidence=None) -> tuple of float64 bytes
PyObject* grouped_overlaps(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return bound_call<OVERLAPS_DESC>(
      args, nargs, kwnames, [](Slots<OVERLAPS_DESC>& slots) -> Expected<PyObject*> {
        double confidence = 0.0;  // no interval
        if (slots[2] != nullptr && slots[2] != Py_None) {
          Expected<double> given = extract_confidence(slots[2]);
          if (!given) {
            return std::move(given).error();
          }
          confidence = *given;
        }
        HeldArrays held;
        HeldViews views;
        cells::CellColumn columns[2];
        if (Status read = read_any_column(slots[0], "a", columns[0], held, views); !read) {
          return std::move(read).error();
        }
        if (Status read = read_any_column(slots[1], "b", columns[1], held, views); !read) {
          return std::move(read).error();
        }
        const std::size_t rows = columns[0].rows.size();
        if (columns[1].rows.size() != rows) {
          return value_error("a has " + std::to_string(rows) + " rows but b has " +
                             std::to_string(columns[1].rows.size()) +
                             ": the columns must be aligned");
        }
        cells::OverlapColumns out;
        if (cells::Failure failure = out.resize(rows, confidence > 0.0); failure.failed) {
          return cells_failure(std::move(failure));
        }
        const bool two_threads = rows >= OVERLAP_SPLIT_ROWS && usable_cpus() > 1;
        for (std::size_t begin = 0; begin < rows; begin += OVERLAP_SLICE_ROWS) {
          const std::size_t end = std::min(rows, begin + OVERLAP_SLICE_ROWS);
          if (cells::Failure failure = run_step(end - begin,
                                                [&]() noexcept {
                                                  return cells::overlap_rows(columns[0], columns[1],
                                                                             begin, end, confidence,
                                                                             two_threads, out);
                                                });
              failure.failed) {
            return cells_failure(std::move(failure));
          }
          if (PyErr_CheckSignals() < 0) {
            return PyErr::fetch();
          }
        }
        std::vector<const std::vector<double>*> parts{&out.a_only, &out.b_only, &out.intersection,
                                                      &out.union_size, &out.jaccard};
        if (confidence > 0.0) {
          parts.insert(parts.end(), {&out.intersection_lower, &out.intersection_upper,
                                     &out.jaccard_lower, &out.jaccard_upper});
        }
        PyRef result = PyRef::steal(checked(PyTuple_New(static_cast<Py_ssize_t>(parts.size()))));
        for (std::size_t i = 0; i < parts.size(); ++i) {
          PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(i), doubles_of(*parts[i]));
        }
        return result.release();
      });
}

PyMethodDef GROUPED_METHODS[] = {
    {"estimates", as_cfunction(grouped_estimates), METH_FASTCALL | METH_KEYWORDS,
     documented(ESTIMATES_DESC,
                "estimates(sketches, method='improved')\n--\n\n"
                "The estimate of every cell of a sketch column (an Arrow binary column, or a\n"
                "list or tuple of bytes and None) as float64 values in a bytearray; NaN for a\n"
                "null cell. Raises ValueError naming the first row that is not a sketch.")},
    {"check", as_cfunction(grouped_check), METH_FASTCALL | METH_KEYWORDS,
     documented(CHECK_DESC,
                "check(sketches)\n--\n\n"
                "Raise ValueError naming the first row of an Arrow sketch column that is not a\n"
                "sketch (null rows pass).")},
    {"union_lists", as_cfunction(grouped_union_lists), METH_FASTCALL | METH_KEYWORDS,
     documented(UNION_DESC,
                "union_lists(lists)\n--\n\n"
                "The union of each list of an Arrow list column of sketches, at the smallest\n"
                "precision in the list, packed; null for a list without sketches. Returns the\n"
                "buffers of an Arrow large_binary array: (rows, nulls, validity, offsets, data).")},
    {"union_groups", as_cfunction(grouped_union_groups), METH_FASTCALL | METH_KEYWORDS,
     documented(UNION_GROUPS_DESC,
                "union_groups(sketches, groups, count)\n--\n\n"
                "The union of the sketches of each group 0 .. count - 1, where groups (an Arrow\n"
                "integer column) holds each row's group: packed, at the smallest precision in\n"
                "the group, null for a group without sketches. Every cell is checked first\n"
                "(ValueError naming the row). Returns the buffers of an Arrow large_binary\n"
                "array: (rows, nulls, validity, offsets, data).")},
    {"sketch_rows", as_cfunction(grouped_sketch_rows), METH_FASTCALL | METH_KEYWORDS,
     documented(SKETCH_ROWS_DESC,
                "sketch_rows(values, groups, count, p)\n--\n\n"
                "One sketch of precision p per group 0 .. count - 1 of the values of an Arrow\n"
                "column, groups (an Arrow integer column) holding each row's group; missing\n"
                "values are skipped, so a group may get an empty sketch. Returns the buffers of\n"
                "an Arrow large_binary array: (rows, nulls, validity, offsets, data).")},
    {"count_rows", as_cfunction(grouped_count_rows), METH_FASTCALL | METH_KEYWORDS,
     documented(COUNT_ROWS_DESC,
                "count_rows(values, groups, count, p, confidence=None)\n--\n\n"
                "The estimate of each group's distinct values, as sketch_rows() would sketch\n"
                "them, without packing: (estimates, lower, upper) as float64 bytes, the bounds\n"
                "None unless a confidence is given.")},
    {"overlaps", as_cfunction(grouped_overlaps), METH_FASTCALL | METH_KEYWORDS,
     documented(OVERLAPS_DESC,
                "overlaps(a, b, confidence=None)\n--\n\n"
                "The joint maximum-likelihood fit of each row's pair of sketches, a[i] and b[i]\n"
                "(two aligned Arrow binary columns, or lists or tuples of bytes and None):\n"
                "(a_only, b_only, intersection, union, jaccard) as float64 bytes, then with a\n"
                "confidence (intersection_lower, intersection_upper, jaccard_lower,\n"
                "jaccard_upper). NaN where either cell is null; ValueError naming the first\n"
                "row that is not a sketch.")},
    {"integer_key_ids", as_cfunction(grouped_integer_key_ids), METH_FASTCALL | METH_KEYWORDS,
     documented(KEY_IDS_DESC,
                "integer_key_ids(keys)\n--\n\n"
                "Group ids of integer key columns of small range: keys holds (column, low,\n"
                "width, nulls) per key, each value in [low, low + width - nulls) and code 0 a\n"
                "missing key when nulls. Returns (ids, first): each row's group as uint32 bytes,\n"
                "numbered in order of first appearance, and the row where each group first\n"
                "appears, as int64 bytes.")},
    {"key_ids", as_cfunction(grouped_key_ids), METH_FASTCALL | METH_KEYWORDS,
     documented(ANY_KEY_IDS_DESC,
                "key_ids(keys)\n--\n\n"
                "Group ids of any key columns: keys exports a stream of record batches, one\n"
                "column per key. Keys are equal as the values they hold count as equal (-0.0\n"
                "and 0.0 one key, NaN one key, a missing key one of its own). Returns (ids,\n"
                "first) as integer_key_ids() does; Ctrl-C stops it between slices of rows.")},
    {"group_table", as_cfunction(grouped_group_table), METH_FASTCALL | METH_KEYWORDS,
     documented(GROUP_TABLE_DESC,
                "group_table(p)\n--\n\n"
                "A new, empty table of sketches of precision p per group, fed batch by batch\n"
                "with add_rows() and packed by table_sketches().")},
    {"add_rows", as_cfunction(grouped_add_rows), METH_FASTCALL | METH_KEYWORDS,
     documented(ADD_ROWS_DESC,
                "add_rows(table, keys, values, local=None)\n--\n\n"
                "Adds a batch to a group table: keys exports record batches of the key columns\n"
                "(the same types for every batch), values the column of values, as long; or,\n"
                "with local (an Arrow integer column as long as values), keys holds one row per\n"
                "group of the batch and local each row's group. Keys group as key_ids()\n"
                "numbers them. Returns the rows of keys where new groups first came, as int64\n"
                "bytes, in the order of their ids. After a failed batch the table refuses\n"
                "further use.")},
    {"table_estimates", as_cfunction(grouped_table_estimates), METH_FASTCALL | METH_KEYWORDS,
     documented(TABLE_ESTIMATES_DESC,
                "table_estimates(table, confidence=None)\n--\n\n"
                "Every group's estimate of a group table, in id order, as count_rows() gives\n"
                "them, without packing: (estimates, lower, upper) as float64 bytes, the bounds\n"
                "None unless a confidence is given.")},
    {"take_views", as_cfunction(grouped_take_views), METH_FASTCALL | METH_KEYWORDS,
     documented(TAKE_VIEWS_DESC,
                "take_views(column, rows)\n--\n\n"
                "The rows of a string_view or binary_view column at the positions rows (int64\n"
                "bytes, ascending): the buffers of an Arrow large_binary array, (rows, nulls,\n"
                "validity, offsets, data).")},
    {"table_sketches", as_cfunction(grouped_table_sketches), METH_FASTCALL | METH_KEYWORDS,
     documented(TABLE_SKETCHES_DESC,
                "table_sketches(table)\n--\n\n"
                "Every group's packed sketch of a group table, in id order: the buffers of an\n"
                "Arrow large_binary array, (rows, nulls, validity, offsets, data).")},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition GROUPED_MODULE{
    "drisk._grouped", "Columns of HyperLogLog sketches: estimates and unions per row or per list.",
    GROUPED_METHODS, nullptr};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__grouped(void) { return drisk::GROUPED_MODULE.init(); }
