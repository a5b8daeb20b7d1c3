// drisk._bulk: many items into one sketch in one call.
//
// Built from the same sketch core and call frame as _drisk. The sketch
// argument is held exclusively for the whole call. The work is done in
// src/binding: items.cpp (update_many) and byte_inputs.cpp (update_lines,
// update_joined).
#include <array>

#include "byte_inputs.hpp"
#include "cpus.hpp"
#include "entry.hpp"
#include "items.hpp"
#include "lines.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 2> MANY_PARAMS{"sketch", "items"};
constexpr std::array<const char* const, 3> LINES_PARAMS{"sketch", "buffer", "final"};
constexpr std::array<const char* const, 2> JOINED_PARAMS{"sketch", "parts"};
constexpr FunctionDescription UPDATE_MANY_DESC{nullptr, "update_many", MANY_PARAMS, 2};
constexpr FunctionDescription UPDATE_LINES_DESC{nullptr, "update_lines", LINES_PARAMS, 2};
constexpr FunctionDescription UPDATE_JOINED_DESC{nullptr, "update_joined", JOINED_PARAMS, 2};

// update_many(sketch, items) -> int
PyObject* bulk_update_many(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return sketch_function<UPDATE_MANY_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_MANY_DESC>& slots) -> Expected<PyObject*> {
        return count_result(absorb_items(core, slots[1]));
      });
}

// update_lines(sketch, buffer, final=True) -> int
PyObject* bulk_update_lines(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return sketch_function<UPDATE_LINES_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_LINES_DESC>& slots) -> Expected<PyObject*> {
        // `final` first: once the buffer is held, nothing runs Python code
        // until it is given back.
        bool final = true;
        if (slots[2] != nullptr) {
          const int truth = PyObject_IsTrue(slots[2]);
          if (truth < 0) {
            return fetch_for("final");
          }
          final = truth != 0;
        }
        return count_result(absorb_buffer_lines(core, slots[1], final));
      });
}

// update_joined(sketch, parts) -> None
PyObject* bulk_update_joined(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return sketch_function<UPDATE_JOINED_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_JOINED_DESC>& slots) -> Expected<PyObject*> {
        if (Status joined = absorb_joined(core, slots[1]); !joined) {
          return std::move(joined).error();
        }
        return none_result();
      });
}

// usable_cpus() -> int: the CPUs the Python side may keep busy, as the
// entries above count them (affinity and cgroup quota).
PyObject* bulk_usable_cpus(PyObject* /*module*/, PyObject* /*unused*/) {
  return trampoline(
      []() -> Expected<PyObject*> { return checked(PyLong_FromUnsignedLong(usable_cpus())); });
}

int bulk_exec(PyObject* module) {
  return trampoline([&]() -> Expected<int> {
    if (Status imported = import_sketch_type(module); !imported) {
      return std::move(imported).error();
    }
    if (Status measured = measure_bytes_layout(); !measured) {
      return std::move(measured).error();
    }
    // The thresholds, for the tests and the curious.
    const std::pair<const char*, std::size_t> constants[] = {
        {"RELEASE_GIL_BYTES", RELEASE_GIL_BYTES},
        {"SPLIT_BYTES", SPLIT_BYTES},
        {"SHARED_LINES_CHUNK", SHARED_LINES_CHUNK},
        {"BATCH", ITEM_BATCH}};
    for (const auto& [name, value] : constants) {
      if (PyModule_AddIntConstant(module, name, static_cast<long>(value)) < 0) {
        return PyErr::fetch();
      }
    }
    return 0;
  });
}

PyMethodDef BULK_METHODS[] = {
    {"update_many", as_cfunction(bulk_update_many), METH_FASTCALL | METH_KEYWORDS,
     documented(
         UPDATE_MANY_DESC,
         "update_many(sketch, items)\n--\n\n"
         "Add every item of an iterable of bytes, str, int, float, bool, date, datetime, time\n"
         "and Decimal; return how many were added (None and NaN are skipped and not counted).")},
    {"update_lines", as_cfunction(bulk_update_lines), METH_FASTCALL | METH_KEYWORDS,
     documented(
         UPDATE_LINES_DESC,
         "update_lines(sketch, buffer, final=True)\n--\n\n"
         "Add every line of a bytes-like buffer as one item; return how many lines were added.")},
    {"update_joined", as_cfunction(bulk_update_joined), METH_FASTCALL | METH_KEYWORDS,
     documented(
         UPDATE_JOINED_DESC,
         "update_joined(sketch, parts)\n--\n\n"
         "Add one item: the bytes-like parts joined, hashed as they come, in bounded memory.")},
    {"usable_cpus", bulk_usable_cpus, METH_NOARGS,
     "usable_cpus()\n--\n\n"
     "How many CPUs this process may use: its affinity, bounded by its cgroup's CPU quota."},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition BULK_MODULE{"drisk._bulk", "Bulk ingestion into HyperLogLog sketches.",
                             BULK_METHODS, bulk_exec};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__bulk(void) { return drisk::BULK_MODULE.init(); }
