// drisk._grouped: columns of sketches, one sketch per row or per list.
//
// estimates() gives one estimate per cell of a sketch column; union_lists()
// one union per list of a list column (what a group-by gathers), and
// check() refuses a column holding anything but sketches before any work is
// done on it. Columns arrive through the Arrow PyCapsule interface; all the
// reading and arithmetic is in sketch_cells.cpp and unions.cpp. Large
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
#include "entry.hpp"
#include "sketch_cells.hpp"
#include "unions.hpp"

namespace drisk {
namespace {

// Rows from which a column is read with the interpreter lock released.
constexpr std::size_t RELEASE_GIL_ROWS = 4096;

constexpr std::array<const char* const, 2> ESTIMATES_PARAMS{"sketches", "method"};
constexpr std::array<const char* const, 1> CHECK_PARAMS{"sketches"};
constexpr std::array<const char* const, 1> UNION_PARAMS{"lists"};
constexpr FunctionDescription ESTIMATES_DESC{nullptr, "estimates", ESTIMATES_PARAMS, 1};
constexpr FunctionDescription CHECK_DESC{nullptr, "check", CHECK_PARAMS, 1};
constexpr FunctionDescription UNION_DESC{nullptr, "union_lists", UNION_PARAMS, 1};
constexpr std::array<const char* const, 3> UNION_GROUPS_PARAMS{"sketches", "groups", "count"};
constexpr FunctionDescription UNION_GROUPS_DESC{nullptr, "union_groups", UNION_GROUPS_PARAMS, 3};

[[gnu::cold, gnu::noinline]] PyErr unknown_method(std::string_view given) {
  return value_error("method must be 'improved', 'ml' or 'classic', got '" + std::string(given) +
                     "'")
      .with_argument_note("method");
}

Expected<Method> extract_method(PyObject* obj) {
  if (obj == nullptr) {
    return Method::improved;
  }
  Expected<std::string_view> name = extract_str(obj, "method");
  if (!name) {
    return std::move(name).error();
  }
  if (*name == "improved") {
    return Method::improved;
  }
  if (*name == "ml") {
    return Method::ml;
  }
  if (*name == "classic") {
    return Method::classic;
  }
  return unknown_method(*name);
}

[[gnu::cold, gnu::noinline]] PyErr cells_failure(cells::Failure failure) {
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
        Status done =
            is_list_or_tuple(slots[0])
                ? estimate_sequence(slots[0], *method, out)
                : for_each_array(slots[0], "sketches", false,
                                 [&](const cells::Cells& cells, std::size_t base) {
                                   return run_step(cells.rows(), [&]() noexcept {
                                     return cells::estimate_all(cells, *method, base, out);
                                   });
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
        Status read = for_each_array(
            slots[0], "sketches", false,
            [&](const cells::Cells& cells, std::size_t) { return column.add(cells); }, &held);
        if (!read) {
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

[[gnu::cold, gnu::noinline]] PyErr bad_group_ids(const char* message) {
  if (message == OUT_OF_MEMORY) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  if (message == cells::NOT_INTEGERS) {
    return type_error(message).with_argument_note("groups");
  }
  return value_error(message).with_argument_note("groups");
}

[[gnu::cold, gnu::noinline]] PyErr lengths_differ(std::size_t sketches, std::size_t groups) {
  return value_error("sketches has " + std::to_string(sketches) + " rows but groups has " +
                     std::to_string(groups));
}

// union_groups(sketches, groups, count) -> (rows, nulls, validity, offsets, data)
PyObject* grouped_union_groups(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return bound_call<UNION_GROUPS_DESC>(
      args, nargs, kwnames, [](Slots<UNION_GROUPS_DESC>& slots) -> Expected<PyObject*> {
        const Py_ssize_t count = PyNumber_AsSsize_t(slots[2], PyExc_OverflowError);
        if (count == -1 && PyErr_Occurred() != nullptr) {
          return fetch_for("count");
        }
        if (count < 0) {
          return value_error("count must not be negative").with_argument_note("count");
        }
        const auto groups = static_cast<std::size_t>(count);
        // The arrays stay imported (and their cells valid) until the unions
        // are made.
        HeldArrays held;
        cells::CellColumn column;
        Status read = for_each_array(
            slots[0], "sketches", false,
            [&](const cells::Cells& cells, std::size_t) { return column.add(cells); }, &held);
        if (!read) {
          return std::move(read).error();
        }
        std::vector<std::uint32_t> ids;
        ImportedArrow imported;
        if (Status ok = import_arrow(slots[1], "groups", imported); !ok) {
          return std::move(ok).error();
        }
        for (bool first = true;;) {
          OwnedArray array;
          if (Status ok = next_array(imported, array, first); !ok) {
            return std::move(ok).error();
          }
          if (!array.held()) {
            break;
          }
          if (const char* message =
                  cells::append_group_ids(*imported.schema, *array, groups, ids)) {
            return bad_group_ids(message);
          }
        }
        if (ids.size() != column.rows.size()) {
          return lengths_differ(column.rows.size(), ids.size());
        }
        cells::BinaryBuilder built;
        if (cells::Failure failure = run_step(
                ids.size(),
                [&]() noexcept { return cells::Unions::groups(column, ids, groups, built); });
            failure.failed) {
          return cells_failure(std::move(failure));
        }
        return built_column(built);
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
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyModuleDef GROUPED_DEF = {
    PyModuleDef_HEAD_INIT,
    "drisk._grouped",
    "Columns of HyperLogLog sketches: estimates and unions per row or per list.",
    0,
    GROUPED_METHODS,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__grouped(void) { return PyModuleDef_Init(&drisk::GROUPED_DEF); }
