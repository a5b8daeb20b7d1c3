// drisk._colread: Arrow columns and number buffers into one sketch in one
// call, without a Python object per value.
//
// update_arrow() takes any object that exports the Arrow PyCapsule interface
// (__arrow_c_stream__ or __arrow_c_array__), moves the exported structures
// out of their capsules into owners that release them on every way out,
// checks the schema before anything is absorbed, and absorbs the stream's
// arrays one by one. update_buffer() takes a one-dimensional buffer of
// numbers or booleans of any width, byte order and stride; update_times() a
// buffer of int64 dates or timestamps (NumPy's datetime64 seen as int64). Large arrays and
// buffers are read with the interpreter lock released, on two cores where
// the process may use two (see ColumnSink).
//
// Built from the same sketch core and call frame as _drisk; the sketch
// argument is checked against _drisk.HyperLogLog and held exclusively for the
// whole call. The work is done in src/binding/column_inputs.cpp.
#include <array>

#include "column_inputs.hpp"
#include "entry.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 2> PARAMS{"sketch", "data"};
constexpr FunctionDescription UPDATE_ARROW_DESC{nullptr, "update_arrow", PARAMS, 2};
constexpr FunctionDescription UPDATE_BUFFER_DESC{nullptr, "update_buffer", PARAMS, 2};
constexpr std::array<const char* const, 4> TIME_PARAMS{"sketch", "data", "unit", "utc"};
constexpr FunctionDescription UPDATE_TIMES_DESC{nullptr, "update_times", TIME_PARAMS, 4};

// update_arrow(sketch, data) -> int
PyObject* columns_update_arrow(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return sketch_function<UPDATE_ARROW_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_ARROW_DESC>& slots) -> Expected<PyObject*> {
        return count_result(absorb_arrow(core, slots[1]));
      });
}

// update_buffer(sketch, data) -> int
PyObject* columns_update_buffer(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return sketch_function<UPDATE_BUFFER_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_BUFFER_DESC>& slots) -> Expected<PyObject*> {
        return count_result(absorb_number_buffer(core, slots[1]));
      });
}

// update_times(sketch, data, unit, utc) -> int
PyObject* columns_update_times(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return sketch_function<UPDATE_TIMES_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_TIMES_DESC>& slots) -> Expected<PyObject*> {
        Expected<std::size_t> absorbed = absorb_time_buffer(core, slots[1], slots[2], slots[3]);
        if (!absorbed) {
          return std::move(absorbed).error();
        }
        return checked(PyLong_FromSize_t(*absorbed));
      });
}

PyMethodDef COLUMNS_METHODS[] = {
    {"update_arrow", as_cfunction(columns_update_arrow), METH_FASTCALL | METH_KEYWORDS,
     documented(UPDATE_ARROW_DESC,
                "update_arrow(sketch, data)\n--\n\n"
                "Add every value of an Arrow column (any object with __arrow_c_stream__ or\n"
                "__arrow_c_array__); return how many were added, nulls not counted.")},
    {"update_buffer", as_cfunction(columns_update_buffer), METH_FASTCALL | METH_KEYWORDS,
     documented(UPDATE_BUFFER_DESC,
                "update_buffer(sketch, data)\n--\n\n"
                "Add every number of a one-dimensional buffer of integers, floats or booleans;\n"
                "return how many were added, NaN not counted.")},
    {"update_times", as_cfunction(columns_update_times), METH_FASTCALL | METH_KEYWORDS,
     documented(UPDATE_TIMES_DESC,
                "update_times(sketch, data, unit, utc)\n--\n\n"
                "Add every date or timestamp of a one-dimensional buffer of int64 counts of\n"
                "unit ('D' for dates, else 's', 'ms', 'us' or 'ns') since 1970-01-01, in UTC\n"
                "when utc is true; return how many were added, NaT (the smallest int64) not\n"
                "counted.")},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition COLREAD_MODULE{"drisk._colread", "Columnar ingestion into HyperLogLog sketches.",
                                COLUMNS_METHODS};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__colread(void) { return drisk::COLREAD_MODULE.init(); }
