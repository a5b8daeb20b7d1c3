// drisk._bulk: many items into one sketch in one call.
//
// Built from the same sketch core and call frame as _drisk. The sketch
// argument is held exclusively for the whole call. The work is done in
// src/binding: items.cpp (update_many) and byte_inputs.cpp (update_lines,
// update_joined).
#include <array>
#include <climits>

#include "byte_inputs.hpp"
#include "cpus.hpp"
#include "entry.hpp"
#include "file_inputs.hpp"
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

constexpr std::array<const char* const, 5> FIELDS_PARAMS{"sketch", "buffer", "fields", "delimiter",
                                                         "final"};
constexpr std::array<const char* const, 4> JOINED_FIELDS_PARAMS{"sketch", "parts", "fields",
                                                                "delimiter"};
constexpr std::array<const char* const, 10> REGULAR_PARAMS{
    "sketch", "fd",     "start",    "size",   "block",
    "region", "helper", "progress", "fields", "delimiter"};
constexpr FunctionDescription UPDATE_FIELDS_DESC{nullptr, "update_fields", FIELDS_PARAMS, 4};
constexpr FunctionDescription UPDATE_JOINED_FIELDS_DESC{nullptr, "update_joined_fields",
                                                        JOINED_FIELDS_PARAMS, 4};
constexpr FunctionDescription READ_REGULAR_DESC{nullptr, "read_regular", REGULAR_PARAMS, 10};

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

// update_fields(sketch, buffer, fields, delimiter, final=True) -> (items, skipped)
PyObject* bulk_update_fields(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return sketch_function<UPDATE_FIELDS_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_FIELDS_DESC>& slots) -> Expected<PyObject*> {
        Expected<FieldChoice> choice = extract_field_choice(slots[2], slots[3]);
        if (!choice) {
          return std::move(choice).error();
        }
        bool final = true;
        if (slots[4] != nullptr) {
          const int truth = PyObject_IsTrue(slots[4]);
          if (truth < 0) {
            return fetch_for("final");
          }
          final = truth != 0;
        }
        Expected<FieldCounts> counts = absorb_buffer_fields(core, slots[1], *choice, final);
        if (!counts) {
          return std::move(counts).error();
        }
        return checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(counts->items),
                                     static_cast<Py_ssize_t>(counts->skipped)));
      });
}

// update_joined_fields(sketch, parts, fields, delimiter) -> bool
PyObject* bulk_update_joined_fields(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return sketch_function<UPDATE_JOINED_FIELDS_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<UPDATE_JOINED_FIELDS_DESC>& slots) -> Expected<PyObject*> {
        Expected<FieldChoice> choice = extract_field_choice(slots[2], slots[3]);
        if (!choice) {
          return std::move(choice).error();
        }
        Expected<bool> added = absorb_joined_fields(core, slots[1], *choice);
        if (!added) {
          return std::move(added).error();
        }
        return checked(PyBool_FromLong(*added ? 1 : 0));
      });
}

// read_regular(sketch, fd, start, size, block, region, helper, progress, fields, delimiter)
//   -> (items, skipped, shrank, helped)
PyObject* bulk_read_regular(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return sketch_function<READ_REGULAR_DESC, Access::exclusive>(
      args, nargs, kwnames,
      [](HyperLogLogCore& core, Slots<READ_REGULAR_DESC>& slots) -> Expected<PyObject*> {
        Expected<FieldChoice> choice = extract_field_choice(slots[8], slots[9]);
        if (!choice) {
          return std::move(choice).error();
        }
        const long fd = PyLong_AsLong(slots[1]);
        const unsigned long long start = PyLong_AsUnsignedLongLong(slots[2]);
        const unsigned long long size = PyLong_AsUnsignedLongLong(slots[3]);
        const unsigned long long block = PyLong_AsUnsignedLongLong(slots[4]);
        const unsigned long long region = PyLong_AsUnsignedLongLong(slots[5]);
        const int helper = PyObject_IsTrue(slots[6]);
        if (PyErr_Occurred() != nullptr) {
          return PyErr::fetch();
        }
        if (fd < 0 || fd > INT_MAX || block == 0 || block > (1ULL << 30) || region < block ||
            start > size) {
          return value_error("read_regular: bad file span");
        }
        if (slots[7] != Py_None && PyCallable_Check(slots[7]) == 0) {
          return type_error("progress must be callable or None").with_argument_note("progress");
        }
        const RegularRead read{
            static_cast<int>(fd), start,   size, static_cast<std::size_t>(block), region,
            helper != 0,          slots[7]};
        Expected<RegularCounts> counts = absorb_regular_file(core, read, *choice);
        if (!counts) {
          return std::move(counts).error();
        }
        return checked(Py_BuildValue("(nnOO)", static_cast<Py_ssize_t>(counts->counts.items),
                                     static_cast<Py_ssize_t>(counts->counts.skipped),
                                     counts->shrank ? Py_True : Py_False,
                                     counts->helped ? Py_True : Py_False));
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
    {"update_fields", as_cfunction(bulk_update_fields), METH_FASTCALL | METH_KEYWORDS,
     documented(UPDATE_FIELDS_DESC,
                "update_fields(sketch, buffer, fields, delimiter, final=True)\n--\n\n"
                "Add the chosen fields of every line of a bytes-like buffer (fields: ascending\n"
                "1-based numbers; delimiter: a byte value, or -1 for runs of blanks), joined with\n"
                "the delimiter; return (items added, lines skipped for lack of a field).")},
    {"update_joined_fields", as_cfunction(bulk_update_joined_fields), METH_FASTCALL | METH_KEYWORDS,
     documented(UPDATE_JOINED_FIELDS_DESC,
                "update_joined_fields(sketch, parts, fields, delimiter)\n--\n\n"
                "Add the chosen fields of one line given as bytes-like parts, in bounded memory;\n"
                "return whether the line had them.")},
    {"read_regular", as_cfunction(bulk_read_regular), METH_FASTCALL | METH_KEYWORDS,
     documented(
         READ_REGULAR_DESC,
         "read_regular(sketch, fd, start, size, block, region, helper, progress, fields, "
         "delimiter)\n--\n\n"
         "Add the lines (or their chosen fields) of bytes start..size of a regular file,\n"
         "read with pread() in blocks, by a helper thread too when `helper`; the lock is\n"
         "released per region of bytes, after which signals are checked and progress(bytes)\n"
         "called. Return (items, skipped, shrank, helped).")},
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
